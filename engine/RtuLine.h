// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Timing and framing of RTU on a serial line, as small pure functions.
//
// On a serial line an RTU frame is delimited by silence: the master must
// leave the line quiet for 3.5 character times (t3.5) before every request,
// and a silence of t3.5 ends whatever was being received. Above 19200 baud
// t3.5 is fixed at 1.75 ms. A character is a start bit, the data bits, the
// parity bit if any and the stop bits.
//
// The frame checks here are the "fast path" of the line: a response whose
// length is known and whose CRC is right is complete at once, without
// waiting for the silence behind it.
#include <cstddef>
#include <cstdint>

#include "ModbusFrames.h"
#include "ModbusTypes.h"

namespace zorp::rtu {

// Nanoseconds one character occupies the line (0 for a baud rate of 0 or less).
int64_t CharTimeNs(int32_t baud, int dataBits, TParity parity, int stopBits);
// t3.5 in nanoseconds: 3.5 character times, 1.75 ms above 19200 baud.
int64_t SilenceNs(int32_t baud, int dataBits, TParity parity, int stopBits);

// Length of the RTU response at the head of buf (an exception: 5 bytes,
// its CRC included), or 0 while fewer than 3 bytes tell it.
size_t ResponseLength(const uint8_t* buf, size_t size, ResponseKind kind);
// The head of buf is a whole response of this kind with a right CRC.
bool ResponseValid(const uint8_t* buf, size_t size, ResponseKind kind);

} // namespace zorp::rtu
