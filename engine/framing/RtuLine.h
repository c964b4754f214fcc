// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Timing of RTU on a serial line, as small pure functions.
//
// On a serial line an RTU frame is delimited by silence: the master must
// leave the line quiet for 3.5 character times (t3.5) before every request,
// and a silence of t3.5 ends whatever was being received. Above 19200 baud
// t3.5 is fixed at 1.75 ms. A character is a start bit, the data bits, the
// parity bit if any and the stop bits.
#include <cstddef>
#include <cstdint>

#include "ModbusTypes.h"

namespace zorp::rtu {

// Nanoseconds one character occupies the line (0 for a baud rate of 0 or less).
int64_t CharTimeNs(int32_t baud, int dataBits, TParity parity, int stopBits);
// t3.5 in nanoseconds: 3.5 character times, 1.75 ms above 19200 baud.
int64_t SilenceNs(int32_t baud, int dataBits, TParity parity, int stopBits);

} // namespace zorp::rtu
