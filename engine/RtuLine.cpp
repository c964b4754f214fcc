// SPDX-License-Identifier: GPL-3.0-or-later
// Timing and framing of RTU on a serial line.
#include "RtuLine.h"

#include "ModbusCRC.h"

namespace zorp::rtu {

int64_t CharTimeNs(int32_t baud, int dataBits, TParity parity, int stopBits)
{
    if (baud <= 0) return 0;
    const int bits = 1 + dataBits + (parity == pNone ? 0 : 1) + stopBits;
    return int64_t(bits) * 1000000000LL / baud;
}

int64_t SilenceNs(int32_t baud, int dataBits, TParity parity, int stopBits)
{
    if (baud > 19200) return 1750000;
    return CharTimeNs(baud, dataBits, parity, stopBits) * 7 / 2;
}

size_t ResponseLength(const uint8_t* buf, size_t size, ResponseKind kind)
{
    if (size < 3) return 0;
    if (buf[1] & 0x80) return 5;
    return kind == ResponseKind::Read ? size_t(buf[2]) + 5 : 8;
}

bool ResponseValid(const uint8_t* buf, size_t size, ResponseKind kind)
{
    const size_t n = ResponseLength(buf, size, kind);
    if (n == 0 || size < n) return false;
    const uint16_t crc = ModbusCRC16(buf, n - 2);
    return buf[n - 2] == (crc & 0xFF) && buf[n - 1] == (crc >> 8);
}

} // namespace zorp::rtu
