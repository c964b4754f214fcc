// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What a frame says, in words: the function, addresses, counts, values
// and exception meanings (an answer to a read is decoded with the
// addresses of its request).
#include <string>

#include "BusEvent.h"

namespace zorp::monitor {

// "read holding registers", "write single coil", ... ("function 65").
std::string FunctionName(uint8_t function);
// "illegal data address", ... for an exception code.
std::string ExceptionMeaning(uint8_t code);
// The content of the event's frame, e.g. "read holding registers 100-109 (10)",
// "100=1 101=2 ...", "exception 02: illegal data address".
std::string DescribeEvent(const BusEvent& e);
// Bytes as "01 03 00 00".
std::string HexBytes(const std::vector<uint8_t>& bytes, size_t max = 64);

} // namespace zorp::monitor
