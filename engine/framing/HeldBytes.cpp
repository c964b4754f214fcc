// SPDX-License-Identifier: GPL-3.0-or-later
#include "HeldBytes.h"

#include <algorithm>
#include <cstring>

#include "ModbusCRC.h"

namespace zorp::framing {

bool ValidRtu(std::span<const uint8_t> b, size_t length)
{
    return length >= 4 && length <= kMaxRtuAdu && length <= b.size() && CrcMatches(b.data(), length - 2);
}

void HeldBytes::Reset()
{
    FSize = 0;
    FConsumed = 0;
    FStartCount = 0;
    FLastArrival = kNoTime;
}

void HeldBytes::DropFront(size_t n)
{
    if (n == 0) return;
    if (n >= FSize) {
        FSize = 0;
        FStartCount = 0;
        return;
    }
    std::memmove(FBuf, FBuf + n, FSize - n);
    if (FEndTimes) std::memmove(FEnd, FEnd + n, (FSize - n) * sizeof FEnd[0]);
    FSize -= n;
    size_t kept = 0;
    for (size_t i = 0; i < FStartCount; ++i)
        if (FStarts[i] > n) FStarts[kept++] = FStarts[i] - n;
    FStartCount = kept;
}

void HeldBytes::DropConsumed()
{
    DropFront(FConsumed);
    FConsumed = 0;
}

void HeldBytes::Feed(const uint8_t* data, size_t size, int64_t arrivalNs, const LineTiming& timing)
{
    DropConsumed();
    if (!data || size == 0) return;
    if (size > kMaxHeld) {
        data += size - kMaxHeld;
        size = kMaxHeld;
    }
    if (FSize + size > kMaxHeld) DropFront(FSize + size - kMaxHeld);
    const int64_t ch = timing.charNs;
    if (arrivalNs != kNoTime) {
        // The block's first byte began no later than its characters' time
        // before it came in: a silence of t3.5 before it may start a frame.
        const int64_t first = arrivalNs - int64_t(size) * ch;
        if (FSize > 0 && FLastArrival != kNoTime && first - FLastArrival >= timing.silenceNs) {
            if (FStartCount == kMaxStarts) {
                std::memmove(FStarts, FStarts + 1, (kMaxStarts - 1) * sizeof FStarts[0]);
                --FStartCount;
            }
            FStarts[FStartCount++] = FSize;
        }
        FLastArrival = arrivalNs;
    }
    if (FEndTimes) {
        int64_t prev = FSize > 0 ? FEnd[FSize - 1] : kNoTime;
        for (size_t i = 0; i < size; ++i) {
            int64_t e = arrivalNs == kNoTime ? kNoTime : arrivalNs - int64_t(size - 1 - i) * ch;
            // One byte at a time on the line, none after its arrival.
            if (e != kNoTime && prev != kNoTime) e = std::min(std::max(e, prev + ch), arrivalNs);
            FEnd[FSize + i] = e;
            prev = e;
        }
    }
    std::memcpy(FBuf + FSize, data, size);
    FSize += size;
}

bool HeldBytes::SilenceInside(size_t from, size_t n) const
{
    for (size_t i = 0; i < FStartCount; ++i)
        if (FStarts[i] > from && FStarts[i] < from + n) return true;
    return false;
}

int64_t HeldBytes::SilenceAfter(bool completeByLength, const LineTiming& timing) const
{
    if (FLastArrival == kNoTime) return kNoTime;
    const int64_t quiet = timing.silenceNs + timing.marginNs;
    return FLastArrival + (completeByLength ? quiet : std::max(quiet, kFragmentNs));
}

} // namespace zorp::framing
