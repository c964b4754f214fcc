// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The bytes an RTU framer holds while it looks for frames in them: at most
// kMaxHeld, the newest kept; where a silence of t3.5 came before an arrival
// (a frame may start there); when the last arrival was; optionally each
// byte's estimated end on the line. What Next handed out (Consume) stays
// valid until the next Feed or Next, which drop it first.
#include <cstdint>
#include <span>

#include "Framer.h"

namespace zorp::framing {

// A complete RTU frame of this length at the head of b, its CRC right.
bool ValidRtu(std::span<const uint8_t> b, size_t length);

class HeldBytes {
public:
    // Bytes that followed a silence of t3.5 start a frame of their own
    // (at most this many such places are kept).
    static constexpr size_t kMaxStarts = 8;
    // Bytes that cannot be completed after this much silence are dropped:
    // longer than any USB adapter holds received bytes back.
    static constexpr int64_t kFragmentNs = 100000000;

    // endTimes: keep each byte's estimated end on the line (End).
    explicit HeldBytes(bool endTimes = false) : FEndTimes(endTimes) {}

    void Reset();
    // Drops what was handed out, then appends the block (only its last
    // kMaxHeld bytes can still be part of a frame; the oldest held bytes
    // make room). arrivalNs (kNoTime: none) is when the block's last byte
    // came: its bytes are taken to have come back to back up to then.
    void Feed(const uint8_t* data, size_t size, int64_t arrivalNs, const LineTiming& timing);
    void DropFront(size_t n);
    void DropConsumed();
    // The n bytes at the head were handed out: dropped at the next call.
    void Consume(size_t n) { FConsumed = n; }

    const uint8_t* Data() const { return FBuf; }
    size_t Size() const { return FSize; }
    size_t Consumed() const { return FConsumed; }
    size_t Held() const { return FSize - FConsumed; }
    std::span<const uint8_t> From(size_t s) const { return {FBuf + s, FSize - s}; }

    // Offsets where bytes followed a silence, in order.
    size_t StartCount() const { return FStartCount; }
    size_t Start(size_t i) const { return FStarts[i]; }
    size_t NextStart() const { return FStartCount > 0 ? FStarts[0] : FSize; }
    // A silence lies behind offset s (bytes after it start a frame of their own).
    bool SilenceBehind(size_t s) const { return FStartCount > 0 && FStarts[FStartCount - 1] > s; }
    // A silence lies inside the n bytes from offset `from`.
    bool SilenceInside(size_t from, size_t n) const;

    int64_t LastArrival() const { return FLastArrival; }
    bool Timed() const { return FLastArrival != kNoTime; }
    // Estimated end of byte i on the line (kNoTime without arrival times).
    int64_t End(size_t i) const { return FEnd[i]; }
    // When the silence after the last arrival lets a framer decide:
    // t3.5 (and the host's margin) for bytes complete by their length,
    // as long as an adapter may hold bytes back otherwise; kNoTime without
    // arrival times.
    int64_t SilenceAfter(bool completeByLength, const LineTiming& timing) const;

private:
    bool FEndTimes;
    uint8_t FBuf[kMaxHeld];
    int64_t FEnd[kMaxHeld];
    size_t FSize = 0;
    size_t FConsumed = 0;
    size_t FStarts[kMaxStarts];
    size_t FStartCount = 0;
    int64_t FLastArrival = kNoTime;
};

} // namespace zorp::framing
