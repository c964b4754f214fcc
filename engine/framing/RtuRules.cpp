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

// PDU length from a byte count at offset `at` plus `fixed` bytes (0 while
// the count is missing).
size_t Counted(Pdu p, size_t at, size_t fixed)
{
    return p.Size() > at ? fixed + p[at] : 0;
}

// The PDU length each function's response has, as far as the bytes tell.
size_t ResponseLayout(Pdu p)
{
    const uint8_t fc = p.Function();
    if (fc & 0x80) return 2;
    switch (fc) {
    case 1: case 2: case 3: case 4: case 12: case 17: case 20: case 21: case 23:
        return Counted(p, 1, 2);
    case 5: case 6: case 11: case 15: case 16: case 102:
        return 5;
    case 7:
        return 2;
    case 22:
        return 9;
    case 24: // byte count in two bytes
        return p.Size() > 2 ? 3 + size_t(p.Word(1)) : 0;
    default:
        return kByCrc;
    }
}

// The PDU length each function's request has.
size_t RequestLayout(Pdu p)
{
    const uint8_t fc = p.Function();
    if (fc & 0x80) return kByCrc; // no request has the bit: whatever it is ends at its CRC
    switch (fc) {
    case 1: case 2: case 3: case 4: case 5: case 6: case 102:
        return 5;
    case 7: case 11: case 12: case 17:
        return 1;
    case 15: case 16:
        return Counted(p, 5, 6);
    case 20: case 21:
        return Counted(p, 1, 2);
    case 22:
        return 7;
    case 23:
        return Counted(p, 9, 10);
    case 24:
        return 3;
    case 43:
        if (p.Size() < 2) return 0;
        return p[1] == 14 ? 4 : kByCrc;
    default:
        return kByCrc;
    }
}

size_t Length(std::span<const uint8_t> b, size_t (*layout)(Pdu), bool* byCrc = nullptr)
{
    if (byCrc) *byCrc = false;
    if (b.size() < 2) return 0;
    const size_t n = layout(Pdu(b.data() + 1, b.size() - 1));
    if (n == kByCrc) {
        if (byCrc) *byCrc = true;
        return LengthByCrc(b);
    }
    return n == 0 ? 0 : n + 3; // the address and the CRC around the PDU
}

} // namespace

size_t RtuResponseLength(std::span<const uint8_t> bytes) { return Length(bytes, ResponseLayout); }
size_t RtuRequestLength(std::span<const uint8_t> bytes) { return Length(bytes, RequestLayout); }

size_t RtuLength(std::span<const uint8_t> bytes, Side side, bool& byCrc)
{
    return Length(bytes, side == Side::Master ? ResponseLayout : RequestLayout, &byCrc);
}

bool ResponseFitsPdu(Pdu pdu)
{
    if (pdu.Empty()) return false;
    const size_t n = ResponseLayout(pdu);
    return n == kByCrc || n == pdu.Size();
}

} // namespace zorp::framing
