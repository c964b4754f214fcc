// SPDX-License-Identifier: GPL-3.0-or-later
// RTU framing of both directions of a bus, for a passive listener.
#include "BusFramer.h"

#include <algorithm>
#include <cstring>

#include "ModbusCRC.h"
#include "RtuFramer.h"

namespace zorp::framing {

namespace {
// The request rules are the listener's, the answer rules the master's.
Direction DirOf(Side s) { return s == Side::Listener ? Direction::Request : Direction::Answer; }
} // namespace

BusFramer::BusFramer(BusMode mode, const LineTiming& timing) : FMode(mode), FTiming(timing) {}

void BusFramer::Reset()
{
    FHeld.Reset();
    FWaitUntil = kNoTime;
    FExpectUnit = 0;
    FExpectFunction = 0;
}

void BusFramer::ExpectAnswer(uint8_t unit, uint8_t function)
{
    FExpectUnit = unit;
    FExpectFunction = unit ? static_cast<uint8_t>(function & 0x7F) : 0;
}

void BusFramer::Feed(const uint8_t* data, size_t size, int64_t arrivalNs)
{
    FHeld.Feed(data, size, arrivalNs, FTiming);
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
    const std::span<const uint8_t> b = FHeld.From(s);
    wait = false;
    Side order[2];
    const int k = Order(order);
    bool byCrc = false;
    const size_t n0 = RtuLength(b, order[0], byCrc);
    const bool v0 = ValidRtu(b, n0);
    size_t n1 = 0;
    bool v1 = false;
    if (k == 2) {
        n1 = RtuLength(b, order[1], byCrc);
        v1 = ValidRtu(b, n1);
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
    const bool silenceBehind = FHeld.SilenceBehind(s);
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
        const size_t n = RtuLength(FHeld.From(0), order[i], byCrc);
        const bool complete = n > 0 && n <= FHeld.Size();
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
    o.bytes = {FHeld.Data(), n};
    Side order[2];
    Order(order);
    o.dir = DirOf(order[0]);
    if (n > 0 && FHeld.End(0) != kNoTime) {
        o.startNs = FHeld.End(0) - FTiming.charNs;
        o.endNs = FHeld.End(n - 1);
    }
    FHeld.Consume(n);
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
            if (RtuLength({FHeld.Data(), start}, order[i], byCrc) == start && start >= 4)
                return FaultOf(Fault::BadCrc, start);
        }
        return FaultOf(Fault::Noise, start);
    }
    BusOutput o;
    o.what = Output::What::Frame;
    o.dir = f.dir;
    const uint8_t* buf = FHeld.Data();
    o.adu.unit = buf[0];
    o.adu.pdu = Pdu(buf + 1, f.length - 3);
    o.adu.frame = {buf, f.length};
    o.bytes = o.adu.frame;
    if (FHeld.End(0) != kNoTime) {
        o.startNs = FHeld.End(0) - FTiming.charNs;
        o.endNs = FHeld.End(f.length - 1);
    }
    if (f.dir == Direction::Request) ExpectAnswer(buf[0], buf[1]);
    else ExpectAnswer(0, 0);
    FHeld.Consume(f.length);
    return o;
}

BusOutput BusFramer::Next(int64_t nowNs)
{
    FHeld.DropConsumed();
    FWaitUntil = kNoTime;
    const size_t size = FHeld.Size();
    if (size == 0) return {};
    bool wait = false;
    for (size_t i = 0; i <= FHeld.StartCount(); ++i) {
        const size_t s = i == 0 ? 0 : FHeld.Start(i - 1);
        if (s >= size) break;
        const Found f = ValidAt(s, wait, nowNs);
        if (f.length) return FrameAt(s, f);
        if (wait) return {};
    }
    const bool dead = HeadDead();
    if (dead) {
        // A valid frame behind bytes that can never become one, wherever it starts.
        for (size_t s = 1; s + 4 <= size; ++s) {
            const Found f = ValidAt(s, wait, nowNs);
            if (f.length) return FrameAt(s, f);
            if (wait) return {};
        }
    }
    size_t complete = 0;
    bool mayComplete = false;
    Readings(FHeld.From(0), complete, mayComplete);
    const size_t nextStart = FHeld.NextStart();
    // Bytes that form no frame are judged only as late as an adapter may
    // hold bytes back, even those complete by every reading: the start of
    // a frame may have come in one bunch with noise before it (the head
    // then reads as a frame with a wrong CRC), its rest a bunch later, to
    // be found behind the noise by content.
    const int64_t judgeAt = SilenceAfter(false);
    if (judgeAt == kNoTime) {
        // Content alone: a head that no reading can complete is bad at once.
        if (dead && complete) return FaultOf(Fault::BadCrc, complete);
        if (dead && size >= kMaxRtuAdu) return FaultOf(Fault::BadLength, size);
        return {};
    }
    if (nowNs == kNoTime || nowNs < judgeAt) {
        // Bytes that keep coming: once a frame starting inside the head would be whole, none does.
        if (dead && complete && size >= complete + kMaxRtuAdu) return FaultOf(Fault::BadCrc, complete);
        if (dead && !complete && size >= kMaxRtuAdu) return FaultOf(Fault::BadLength, nextStart);
        return {};
    }
    if (complete) return FaultOf(Fault::BadCrc, complete);
    return FaultOf(Fault::Noise, nextStart);
}

int64_t BusFramer::JudgeAtNs() const
{
    if (Held() == 0) return kNoTime;
    const int64_t at = SilenceAfter(false);
    return FWaitUntil != kNoTime && FWaitUntil < at ? FWaitUntil : at;
}

} // namespace zorp::framing
