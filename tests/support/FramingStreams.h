// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Seeded byte streams for the framing tests: valid frames of both sides
// (requests, responses) in RTU and Modbus TCP, mixed with noise, truncated
// and padded frames, wrong CRCs and lying lengths, cut into reads at random
// places, with the silences of a serial line between bursts where asked.
// The same seed gives the same streams on every machine (no standard
// library distributions, whose results differ between implementations).
// An RTU stream holds no frame by chance: no span of it but the frames
// placed (and the lying frames, on purpose) ends in a right CRC, so a
// framer that finds any other frame made it up.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zorptest::streams {

// A small generator with a fixed algorithm (splitmix64).
class Rng {
public:
    explicit Rng(uint64_t seed) : FState(seed) {}
    uint64_t Next();
    // Uniform in [0, n) (0 for n == 0).
    uint32_t Below(uint32_t n) { return n ? uint32_t(Next() % n) : 0; }
    uint32_t Range(uint32_t lo, uint32_t hi) { return lo + Below(hi - lo + 1); }
    bool Chance(uint32_t percent) { return Below(100) < percent; }
    uint8_t Byte() { return uint8_t(Next()); }

private:
    uint64_t FState;
};

enum class Wire { RtuLine, RtuTcp, Tcp };
enum class Side { Master /* hears responses */, Listener /* hears requests */ };

// One read as the link hands it over. silenceBefore: the serial line was
// quiet for more than t3.5 (and the host's margin) before its first byte.
struct Read {
    std::vector<uint8_t> bytes;
    bool silenceBefore = false;
};

struct Stream {
    Wire wire = Wire::Tcp;
    Side side = Side::Master;
    std::vector<Read> reads;
    // The valid frames placed, in stream order, as "UU:PDU" (Modbus TCP:
    // "TTTT/UU:PDU"), lower-case hex: no stack may find any other.
    std::vector<std::string> expected;
    // Those of them that every stack must find: each has only valid frames
    // before it in its burst (RTU over TCP: in the whole stream), so that
    // nothing but the frames' own length rules decide where it starts.
    // Behind junk inside a burst the RTU framings are not defined alike:
    // pymodbus's drops its whole buffer at the first bad CRC (and so
    // resynchronises at the next read by chance), ours takes the bytes up
    // to the next silence as one piece of noise.
    std::vector<std::string> required;
    // Modbus TCP: the walk by the length fields met a header whose length
    // cannot be (outside 2..254); `expected` ends before it. What comes
    // after it is not defined alike for both stacks.
    bool lost = false;
    // Modbus TCP: bytes left behind the last whole frame (an incomplete one).
    size_t leftover = 0;
    std::string what; // the pieces, for failure messages
};

// Makes stream number `index` of a seeded series for a wire and side.
Stream MakeStream(uint64_t seed, size_t index, Wire wire, Side side);

// All bytes of a stream, in order.
std::vector<uint8_t> Joined(const Stream& s);

// "UU:PDU" / "TTTT/UU:PDU" of one frame.
std::string FrameToken(uint8_t unit, const uint8_t* pdu, size_t size, int transactionId = -1);

} // namespace zorptest::streams
