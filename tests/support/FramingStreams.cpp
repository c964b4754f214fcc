// SPDX-License-Identifier: GPL-3.0-or-later
#include "FramingStreams.h"

#include <algorithm>
#include <cstdio>

#include "ModbusCRC.h"

namespace zorptest::streams {

uint64_t Rng::Next()
{
    uint64_t z = (FState += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

std::string FrameToken(uint8_t unit, const uint8_t* pdu, size_t size, int transactionId)
{
    char b[16];
    std::string s;
    if (transactionId >= 0) {
        std::snprintf(b, sizeof b, "%04x/", unsigned(transactionId) & 0xFFFFu);
        s += b;
    }
    std::snprintf(b, sizeof b, "%02x:", unsigned(unit));
    s += b;
    for (size_t i = 0; i < size; ++i) {
        std::snprintf(b, sizeof b, "%02x", unsigned(pdu[i]));
        s += b;
    }
    return s;
}

std::vector<uint8_t> Joined(const Stream& s)
{
    std::vector<uint8_t> all;
    for (const Read& r : s.reads) all.insert(all.end(), r.bytes.begin(), r.bytes.end());
    return all;
}

namespace {

using Bytes = std::vector<uint8_t>;

void Put16(Bytes& b, uint16_t w)
{
    b.push_back(uint8_t(w >> 8));
    b.push_back(uint8_t(w));
}

void PutRandom(Bytes& b, Rng& r, size_t n)
{
    for (size_t i = 0; i < n; ++i) b.push_back(r.Byte());
}

// A request PDU of a function whose length both stacks take from the
// function's layout (fixed, or a byte count at a fixed place).
Bytes RequestPdu(Rng& r)
{
    static const uint8_t kFunctions[] = {1, 2, 3, 4, 5, 6, 15, 16, 22, 23, 43, 7, 11, 12, 17, 24};
    const uint8_t fc = kFunctions[r.Below(sizeof kFunctions)];
    Bytes p{fc};
    switch (fc) {
    case 1: case 2: case 3: case 4: case 6:
        Put16(p, uint16_t(r.Next()));
        Put16(p, uint16_t(r.Range(1, 125)));
        break;
    case 5:
        Put16(p, uint16_t(r.Next()));
        Put16(p, r.Chance(50) ? 0xFF00 : 0x0000);
        break;
    case 15: {
        const uint16_t q = uint16_t(r.Range(1, 80));
        Put16(p, uint16_t(r.Next()));
        Put16(p, q);
        p.push_back(uint8_t((q + 7) / 8));
        PutRandom(p, r, (q + 7) / 8);
        break;
    }
    case 16: case 23: {
        const uint16_t q = uint16_t(r.Range(1, 30));
        if (fc == 23) {
            Put16(p, uint16_t(r.Next()));
            Put16(p, uint16_t(r.Range(1, 125)));
        }
        Put16(p, uint16_t(r.Next()));
        Put16(p, q);
        p.push_back(uint8_t(2 * q));
        PutRandom(p, r, 2 * q);
        break;
    }
    case 22: PutRandom(p, r, 6); break;
    case 43: p.insert(p.end(), {14, uint8_t(r.Range(1, 4)), uint8_t(r.Below(3))}); break;
    case 24: Put16(p, uint16_t(r.Next())); break;
    default: break; // 7, 11, 12, 17: the function code alone
    }
    return p;
}

// A response PDU of the functions the master asks, or an exception.
Bytes ResponsePdu(Rng& r)
{
    static const uint8_t kFunctions[] = {1, 2, 3, 4, 5, 6, 15, 16, 20, 0x80};
    uint8_t fc = kFunctions[r.Below(sizeof kFunctions)];
    if (fc == 0x80) {
        static const uint8_t kAsked[] = {1, 2, 3, 4, 5, 6, 15, 16, 20};
        return {uint8_t(0x80 | kAsked[r.Below(sizeof kAsked)]), uint8_t(r.Range(1, 11))};
    }
    Bytes p{fc};
    if (fc <= 4 || fc == 20) {
        const size_t n = fc == 3 || fc == 4 ? 2 * r.Range(1, 40) : r.Range(1, 60);
        p.push_back(uint8_t(n));
        PutRandom(p, r, n);
    } else {
        PutRandom(p, r, 4);
    }
    return p;
}

bool HasByteCount(const Bytes& pdu, Side side)
{
    const uint8_t fc = pdu[0];
    if (side == Side::Master) return fc <= 4 || fc == 20;
    return fc == 15 || fc == 16 || fc == 23;
}

Bytes RtuFrame(uint8_t unit, const Bytes& pdu)
{
    Bytes f{unit};
    f.insert(f.end(), pdu.begin(), pdu.end());
    const uint16_t crc = zorp::ModbusCRC16(f.data(), f.size());
    f.push_back(uint8_t(crc));
    f.push_back(uint8_t(crc >> 8));
    return f;
}

Bytes TcpFrame(uint16_t tid, uint16_t pid, int length, uint8_t unit, const Bytes& pdu)
{
    Bytes f;
    Put16(f, tid);
    Put16(f, pid);
    Put16(f, uint16_t(length));
    f.push_back(unit);
    f.insert(f.end(), pdu.begin(), pdu.end());
    return f;
}

enum class Piece { Valid, Noise, Truncated, Padded, BadCrc, Lying, OtherPid };
const char* const kPieceNames[] = {"valid", "noise", "truncated", "padded", "bad-crc", "lying", "pid"};

Piece PickPiece(Rng& r, Wire wire)
{
    const uint32_t k = r.Below(100);
    if (k < 45) return Piece::Valid;
    if (k < 55) return Piece::Noise;
    if (k < 65) return Piece::Truncated;
    if (k < 75) return wire == Wire::Tcp ? Piece::OtherPid : Piece::Padded;
    if (k < 85) return wire == Wire::Tcp ? Piece::Valid : Piece::BadCrc;
    return Piece::Lying;
}

// Cuts `bytes` into reads at random places (sometimes not at all).
void Cut(Rng& r, const Bytes& bytes, bool silenceBefore, std::vector<Read>& reads)
{
    size_t at = 0;
    bool first = true;
    while (at < bytes.size()) {
        const size_t left = bytes.size() - at;
        size_t n = r.Chance(30) ? left : r.Range(1, uint32_t(std::min<size_t>(left, 24)));
        reads.push_back({Bytes(bytes.begin() + long(at), bytes.begin() + long(at + n)), first && silenceBefore});
        at += n;
        first = false;
    }
}

// Modbus TCP: the frames as a reader that goes by the length fields finds
// them.
void WalkMbap(const Bytes& all, Stream& s)
{
    size_t at = 0;
    while (all.size() - at >= 6) {
        const uint8_t* h = all.data() + at;
        const size_t length = size_t(h[4] << 8 | h[5]);
        if (length < 2 || length > 254) {
            s.lost = true;
            return;
        }
        if (all.size() - at < 6 + length) break;
        s.expected.push_back(FrameToken(h[6], h + 7, length - 1, h[0] << 8 | h[1]));
        at += 6 + length;
    }
    s.leftover = all.size() - at;
}

// Spans of a stream: where a frame may be found (offset, length).
using Spans = std::vector<std::pair<size_t, size_t>>;

// A span other than those allowed ends in a right CRC: random bytes (with
// frames around them) that form a frame by chance, about once in 65536
// spans. Such a frame is one, and a framer that finds it is right to.
bool HasStrayFrame(const Bytes& b, const Spans& allowed)
{
    for (size_t s = 0; s + 4 <= b.size(); ++s) {
        uint16_t crc = 0xFFFF;
        for (size_t k = 0; s + k + 1 < b.size() && k + 2 <= 256; ++k) {
            if (k >= 2 && b[s + k] == uint8_t(crc) && b[s + k + 1] == uint8_t(crc >> 8)
                && std::find(allowed.begin(), allowed.end(), std::make_pair(s, k + 2)) == allowed.end())
                return true;
            crc = uint16_t((crc >> 8) ^ zorp::ModbusCRCTable[(crc ^ b[s + k]) & 0xFF]);
        }
    }
    return false;
}

Stream Draw(Rng& r, Wire wire, Side side, Spans& spans)
{
    Stream s;
    s.wire = wire;
    s.side = side;
    const size_t pieces = r.Range(1, 5);
    Bytes burst;
    bool burstAfterSilence = false;
    bool clean = true; // only valid frames so far in this burst
    size_t before = 0;  // bytes of the bursts already cut
    for (size_t i = 0; i < pieces; ++i) {
        const Piece piece = PickPiece(r, wire);
        const bool silence = wire == Wire::RtuLine && i > 0 && r.Chance(60);
        if (silence) {
            before += burst.size();
            Cut(r, burst, burstAfterSilence, s.reads);
            burst.clear();
            burstAfterSilence = true;
            clean = true;
        }
        s.what += std::string(i ? (silence ? " | " : " + ") : "") + kPieceNames[int(piece)];
        const uint8_t unit = r.Byte();
        const Bytes pdu = side == Side::Master ? ResponsePdu(r) : RequestPdu(r);
        Bytes f;
        if (wire == Wire::Tcp) {
            const uint16_t tid = uint16_t(r.Next());
            const int length = int(pdu.size()) + 1;
            if (piece == Piece::Lying) {
                const int lie = int(r.Range(1, 6));
                f = TcpFrame(tid, 0, r.Chance(50) ? length + lie : std::max(0, length - lie), unit, pdu);
            } else {
                f = TcpFrame(tid, piece == Piece::OtherPid ? uint16_t(r.Range(1, 0xFFFF)) : 0, length, unit, pdu);
            }
        } else {
            f = RtuFrame(unit, pdu);
            if (piece == Piece::Valid || piece == Piece::Padded) {
                s.expected.push_back(FrameToken(unit, pdu.data(), pdu.size()));
                if (clean) s.required.push_back(s.expected.back());
            }
            if (piece == Piece::BadCrc) f[f.size() - 1 - r.Below(2)] ^= uint8_t(r.Range(1, 255));
            if (piece == Piece::Padded) PutRandom(f, r, r.Range(1, 4));
            if (piece == Piece::Lying) {
                // The frame is not as long as its function's layout or its
                // byte count tells; the CRC is right for the bytes as sent.
                f.resize(f.size() - 2);
                if (HasByteCount(pdu, side)) {
                    const size_t at = side == Side::Master ? 2 : pdu[0] == 23 ? 10 : 6;
                    f[at] = uint8_t(f[at] + (r.Chance(50) ? r.Range(1, 3) : 256 - r.Range(1, 3)));
                } else {
                    f.push_back(r.Byte()); // a fixed layout and one byte more
                }
                const uint16_t crc = zorp::ModbusCRC16(f.data(), f.size());
                f.push_back(uint8_t(crc));
                f.push_back(uint8_t(crc >> 8));
            }
            // Where a CRC is right on purpose: the frames, and the lying
            // frames (which no length rule may take).
            if (piece == Piece::Valid || piece == Piece::Lying) spans.emplace_back(before + burst.size(), f.size());
            if (piece == Piece::Padded) spans.emplace_back(before + burst.size(), pdu.size() + 3);
        }
        if (piece == Piece::Noise) {
            f.clear();
            PutRandom(f, r, r.Range(1, 12));
        }
        if (piece == Piece::Truncated) f.resize(r.Range(1, uint32_t(f.size() - 1)));
        burst.insert(burst.end(), f.begin(), f.end());
        clean = clean && piece == Piece::Valid;
    }
    Cut(r, burst, burstAfterSilence, s.reads);
    if (wire == Wire::Tcp) {
        WalkMbap(Joined(s), s);
        s.required = s.expected;
    }
    return s;
}

} // namespace

Stream MakeStream(uint64_t seed, size_t index, Wire wire, Side side)
{
    // RTU streams are drawn again until no frame is in them by chance.
    Stream s;
    for (uint64_t attempt = 0; attempt < 256; ++attempt) {
        Rng r(seed * 1000003u + index * 7919u + uint64_t(wire) * 31u + uint64_t(side) + attempt * 0x51ED27u);
        Spans spans;
        s = Draw(r, wire, side, spans);
        if (wire == Wire::Tcp || !HasStrayFrame(Joined(s), spans)) break;
    }
    return s;
}

} // namespace zorptest::streams
