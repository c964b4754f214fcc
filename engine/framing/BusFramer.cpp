// SPDX-License-Identifier: GPL-3.0-or-later
// RTU framing of both directions of a bus, for a passive listener.
#include "BusFramer.h"

#include <algorithm>
#include <cstring>

#include "ModbusCRC.h"
#include "RtuFramer.h"

namespace zorp::framing {

namespace {
bool Valid(std::span<const uint8_t> b, size_t length)
{
    return length >= 4 && length <= kMaxRtuAdu && length <= b.size() && CrcMatches(b.data(), length - 2);
}
// The request rules are the listener's, the answer rules the master's.
Direction DirOf(Side s) { return s == Side::Listener ? Direction::Request : Direction::Answer; }
} // namespace

BusFramer::BusFramer(BusMode mode, const LineTiming& timing) : FMode(mode), FTiming(timing) {}

void BusFramer::Reset()
{
    FSize = 0;
    FConsumed = 0;
    FStartCount = 0;
    FLastArrival = kNoTime;
    FWaitUntil = kNoTime;
    FExpectUnit = 0;
    FExpectFunction = 0;
}

void BusFramer::ExpectAnswer(uint8_t unit, uint8_t function)
{
    FExpectUnit = unit;
    FExpectFunction = unit ? static_cast<uint8_t>(function & 0x7F) : 0;
}

void BusFramer::DropFront(size_t n)
{
    if (n == 0) return;
    if (n >= FSize) {
        FSize = 0;
        FStartCount = 0;
        return;
    }
    std::memmove(FBuf, FBuf + n, FSize - n);
    std::memmove(FEnd, FEnd + n, (FSize - n) * sizeof FEnd[0]);
    FSize -= n;
    size_t kept = 0;
    for (size_t i = 0; i < FStartCount; ++i)
        if (FStarts[i] > n) FStarts[kept++] = FStarts[i] - n;
    FStartCount = kept;
}

void BusFramer::DropConsumed()
{
    DropFront(FConsumed);
    FConsumed = 0;
}

void BusFramer::Feed(const uint8_t* data, size_t size, int64_t arrivalNs)
{
    DropConsumed();
    if (!data || size == 0) return;
    if (size > kMaxHeld) {
        data += size - kMaxHeld;
        size = kMaxHeld;
    }
    if (FSize + size > kMaxHeld) DropFront(FSize + size - kMaxHeld);
    const int64_t ch = FTiming.charNs;
    if (arrivalNs != kNoTime) {
        // The block's bytes came back to back up to its arrival: a silence
        // of t3.5 before its first byte may start a frame.
        const int64_t first = arrivalNs - int64_t(size) * ch;
        if (FSize > 0 && FLastArrival != kNoTime && first - FLastArrival >= FTiming.silenceNs) {
            if (FStartCount == kMaxStarts) {
                std::memmove(FStarts, FStarts + 1, (kMaxStarts - 1) * sizeof FStarts[0]);
                --FStartCount;
            }
            FStarts[FStartCount++] = FSize;
        }
        FLastArrival = arrivalNs;
    }
    int64_t prev = FSize > 0 ? FEnd[FSize - 1] : kNoTime;
    for (size_t i = 0; i < size; ++i) {
        int64_t e = arrivalNs == kNoTime ? kNoTime : arrivalNs - int64_t(size - 1 - i) * ch;
        // One byte at a time on the line, none after its arrival.
        if (e != kNoTime && prev != kNoTime) e = std::min(std::max(e, prev + ch), arrivalNs);
        FEnd[FSize + i] = e;
        prev = e;
    }
    std::memcpy(FBuf + FSize, data, size);
    FSize += size;
}

int BusFramer::Order(Side out[2]) const
{
    switch (FMode) {
    case BusMode::Requests: out[0] = Side::Listener; return 1;
    case BusMode::Answers: out[0] = Side::Master; return 1;
    case BusMode::Both: break;
    }
    out[0] = Expecting() ? Side::Master : Side::Listener;
    out[1] = Expecting() ? Side::Listener : Side::Master;
    return 2;
}

BusFramer::Found BusFramer::ValidAt(size_t s, bool& wait, int64_t nowNs)
{
    const std::span<const uint8_t> b{FBuf + s, FSize - s};
    wait = false;
    Side order[2];
    const int k = Order(order);
    bool byCrc = false;
    const size_t n0 = RtuLength(b, order[0], byCrc);
    const bool v0 = Valid(b, n0);
    size_t n1 = 0;
    bool v1 = false;
    if (k == 2) {
        n1 = RtuLength(b, order[1], byCrc);
        v1 = Valid(b, n1);
    }
    const uint8_t fc = b.size() > 1 ? b[1] : 0;
    if (v0) {
        Found f{n0, DirOf(order[0])};
        // No request has bit 7 of its function set.
        if (fc & 0x80) f.dir = Direction::Answer;
        // An answer other than the one expected, which reads as a request
        // too (a write of one register: both are the same bytes), is the
        // master's next request.
        else if (f.dir == Direction::Answer && v1 && (b[0] != FExpectUnit || fc != FExpectFunction))
            f = {n1, Direction::Request};
        return f;
    }
    if (!v1) return {};
    // Bytes that read as the other direction's frame may be the start of
    // the preferred one that is still coming: wait for more bytes or the
    // line's quiet.
    const bool silenceBehind = FStartCount > 0 && FStarts[FStartCount - 1] > s;
    const bool mayComplete = !silenceBehind && (n0 == 0 || (n0 > b.size() && n0 <= kMaxRtuAdu));
    if (mayComplete && OnLine()) {
        const int64_t quietAt = SilenceAfter(true);
        if (nowNs == kNoTime || nowNs < quietAt) {
            wait = true;
            FWaitUntil = quietAt;
            return {};
        }
    }
    return {n1, (fc & 0x80) ? Direction::Answer : DirOf(order[1])};
}

bool BusFramer::HeadDead() const
{
    Side order[2];
    const int k = Order(order);
    for (int i = 0; i < k; ++i) {
        bool byCrc = false;
        const size_t n = RtuLength({FBuf, FSize}, order[i], byCrc);
        const bool complete = n > 0 && n <= FSize;
        if (!(complete || n > kMaxRtuAdu || byCrc)) return false;
    }
    return true;
}

void BusFramer::Readings(std::span<const uint8_t> b, size_t& complete, bool& mayComplete) const
{
    Side order[2];
    const int k = Order(order);
    complete = 0;
    mayComplete = false;
    for (int i = 0; i < k; ++i) {
        bool byCrc = false;
        const size_t n = RtuLength(b, order[i], byCrc);
        if (n > 0 && n <= b.size() && n <= kMaxRtuAdu) {
            if (!complete) complete = n;
        } else if (n == 0 || n <= kMaxRtuAdu) {
            mayComplete = true;
        }
    }
}

BusOutput BusFramer::FaultOf(Fault fault, size_t n)
{
    BusOutput o;
    o.what = Output::What::Fault;
    o.fault = fault;
    o.bytes = {FBuf, n};
    Side order[2];
    Order(order);
    o.dir = DirOf(order[0]);
    if (n > 0 && FEnd[0] != kNoTime) {
        o.startNs = FEnd[0] - FTiming.charNs;
        o.endNs = FEnd[n - 1];
    }
    FConsumed = n;
    return o;
}

BusOutput BusFramer::FrameAt(size_t start, const Found& f)
{
    if (start > 0) {
        // What lies before the frame: a frame of its own whose CRC is
        // wrong when some reading makes it end right there, else noise.
        Side order[2];
        const int k = Order(order);
        for (int i = 0; i < k; ++i) {
            bool byCrc = false;
            if (RtuLength({FBuf, start}, order[i], byCrc) == start && start >= 4)
                return FaultOf(Fault::BadCrc, start);
        }
        return FaultOf(Fault::Noise, start);
    }
    BusOutput o;
    o.what = Output::What::Frame;
    o.dir = f.dir;
    o.adu.unit = FBuf[0];
    o.adu.pdu = Pdu(FBuf + 1, f.length - 3);
    o.adu.frame = {FBuf, f.length};
    o.bytes = o.adu.frame;
    if (FEnd[0] != kNoTime) {
        o.startNs = FEnd[0] - FTiming.charNs;
        o.endNs = FEnd[f.length - 1];
    }
    if (f.dir == Direction::Request) ExpectAnswer(FBuf[0], FBuf[1]);
    else ExpectAnswer(0, 0);
    FConsumed = f.length;
    return o;
}

int64_t BusFramer::SilenceAfter(bool completeByLength) const
{
    if (FLastArrival == kNoTime) return kNoTime;
    const int64_t quiet = FTiming.silenceNs + FTiming.marginNs;
    return FLastArrival + (completeByLength ? quiet : std::max(quiet, kFragmentNs));
}

BusOutput BusFramer::Next(int64_t nowNs)
{
    DropConsumed();
    FWaitUntil = kNoTime;
    if (FSize == 0) return {};
    bool wait = false;
    for (size_t i = 0; i <= FStartCount; ++i) {
        const size_t s = i == 0 ? 0 : FStarts[i - 1];
        if (s >= FSize) break;
        const Found f = ValidAt(s, wait, nowNs);
        if (f.length) return FrameAt(s, f);
        if (wait) return {};
    }
    const bool dead = HeadDead();
    if (dead) {
        // A valid frame behind bytes that can never become one, wherever it starts.
        for (size_t s = 1; s + 4 <= FSize; ++s) {
            const Found f = ValidAt(s, wait, nowNs);
            if (f.length) return FrameAt(s, f);
            if (wait) return {};
        }
    }
    size_t complete = 0;
    bool mayComplete = false;
    Readings({FBuf, FSize}, complete, mayComplete);
    const size_t nextStart = FStartCount > 0 ? FStarts[0] : FSize;
    // A reading that may still complete waits as long as an adapter may
    // hold bytes back; bytes complete by every reading only for t3.5.
    const int64_t judgeAt = SilenceAfter(complete > 0 && !mayComplete);
    if (judgeAt == kNoTime) {
        // Content alone: a head that no reading can complete is bad at once.
        if (dead && complete) return FaultOf(Fault::BadCrc, complete);
        if (dead && FSize >= kMaxRtuAdu) return FaultOf(Fault::BadLength, FSize);
        return {};
    }
    if (nowNs == kNoTime || nowNs < judgeAt) {
        if (dead && !complete && FSize >= kMaxRtuAdu) return FaultOf(Fault::BadLength, nextStart);
        return {};
    }
    if (complete) return FaultOf(Fault::BadCrc, complete);
    return FaultOf(Fault::Noise, nextStart);
}

int64_t BusFramer::JudgeAtNs() const
{
    if (Held() == 0) return kNoTime;
    // As Next sees the bytes once the frame handed out is dropped.
    size_t complete = 0;
    bool mayComplete = false;
    Readings({FBuf + FConsumed, FSize - FConsumed}, complete, mayComplete);
    const int64_t at = SilenceAfter(complete > 0 && !mayComplete);
    return FWaitUntil != kNoTime && FWaitUntil < at ? FWaitUntil : at;
}

} // namespace zorp::framing
