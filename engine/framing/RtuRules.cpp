// SPDX-License-Identifier: GPL-3.0-or-later
// RTU frame lengths by content: the layout each function code gives its
// requests and its responses.
#include "Framer.h"

#include <algorithm>

#include "ModbusCRC.h"

namespace zorp::framing {
namespace {

// Marks a function without a fixed layout: its frame ends where a CRC matches.
constexpr size_t kByCrc = SIZE_MAX;

// The first length from 4 on whose last two bytes are the CRC of the bytes
// before them; kMaxRtuAdu + 1 when none does within kMaxRtuAdu; 0 while
// undecided.
size_t LengthByCrc(std::span<const uint8_t> b)
{
    const size_t limit = std::min(b.size(), kMaxRtuAdu);
    uint16_t crc = 0xFFFF;
    for (size_t n = 0; n + 2 <= limit; ++n) {
        if (n >= 2 && b[n] == uint8_t(crc) && b[n + 1] == uint8_t(crc >> 8)) return n + 2;
        crc = static_cast<uint16_t>((crc >> 8) ^ ModbusCRCTable[(crc ^ b[n]) & 0xFF]);
    }
    return b.size() >= kMaxRtuAdu ? kMaxRtuAdu + 1 : 0;
}

// Length from a byte count at offset `at` plus `fixed` bytes (0 while the
// count is missing).
size_t Counted(std::span<const uint8_t> b, size_t at, size_t fixed)
{
    return b.size() > at ? fixed + b[at] : 0;
}

size_t ResponseLayout(std::span<const uint8_t> b)
{
    const uint8_t fc = b[1];
    if (fc & 0x80) return 5;
    switch (fc) {
    case 1: case 2: case 3: case 4: case 12: case 17: case 20: case 21: case 23:
        return Counted(b, 2, 5);
    case 5: case 6: case 11: case 15: case 16: case 102:
        return 8;
    case 7:
        return 5;
    case 22:
        return 10;
    case 24: // byte count in two bytes
        return b.size() > 3 ? 6 + size_t((b[2] << 8) | b[3]) : 0;
    default:
        return kByCrc;
    }
}

size_t RequestLayout(std::span<const uint8_t> b)
{
    const uint8_t fc = b[1];
    if (fc & 0x80) return kByCrc; // no request has the bit: whatever it is ends at its CRC
    switch (fc) {
    case 1: case 2: case 3: case 4: case 5: case 6: case 102:
        return 8;
    case 7: case 11: case 12: case 17:
        return 4;
    case 15: case 16:
        return Counted(b, 6, 9);
    case 20: case 21:
        return Counted(b, 2, 5);
    case 22:
        return 10;
    case 23:
        return Counted(b, 10, 13);
    case 24:
        return 6;
    case 43:
        if (b.size() < 3) return 0;
        return b[2] == 14 ? 7 : kByCrc;
    default:
        return kByCrc;
    }
}

size_t Length(std::span<const uint8_t> b, size_t (*layout)(std::span<const uint8_t>))
{
    if (b.size() < 2) return 0;
    const size_t n = layout(b);
    if (n == kByCrc) return LengthByCrc(b);
    return n;
}

} // namespace

size_t RtuResponseLength(std::span<const uint8_t> bytes) { return Length(bytes, ResponseLayout); }
size_t RtuRequestLength(std::span<const uint8_t> bytes) { return Length(bytes, RequestLayout); }

} // namespace zorp::framing
