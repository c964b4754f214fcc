// SPDX-License-Identifier: GPL-3.0-or-later
// Timing of RTU on a serial line.
#include "RtuLine.h"

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

} // namespace zorp::rtu
