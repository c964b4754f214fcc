// SPDX-License-Identifier: GPL-3.0-or-later
// The framing backends and their factory.
#include "RtuFramer.h"

#include <algorithm>
#include <cstring>

#include "MbapFramer.h"
#include "ModbusCRC.h"

namespace zorp::framing {

// ---- RTU ------------------------------------------------------------------------

RtuFramer::RtuFramer(Side side, bool timed, const LineTiming& timing)
    : FSide(side), FTimed(timed), FTiming(timing)
{
}

void RtuFramer::Reset()
{
    FHeld.Reset();
    FWaitUntil = kNoTime;
}

void RtuFramer::Feed(const uint8_t* data, size_t size, int64_t arrivalNs)
{
    FHeld.Feed(data, size, FTimed ? arrivalNs : kNoTime, FTiming);
}

namespace {
Side OtherOf(Side s) { return s == Side::Master ? Side::Listener : Side::Master; }
} // namespace

size_t RtuFramer::ValidAt(size_t s, bool& other, bool& wait, int64_t nowNs)
{
    const std::span<const uint8_t> b = FHeld.From(s);
    bool byCrc = false;
    other = false;
    wait = false;
    const size_t n = RtuLength(b, FSide, byCrc);
    if (ValidRtu(b, n) || !OnLine()) return ValidRtu(b, n) ? n : 0;
    bool otherByCrc = false;
    const size_t m = RtuLength(b, OtherOf(FSide), otherByCrc);
    if (!ValidRtu(b, m)) return 0;
    // A listener hears other slaves' answers, but a request of its own cut
    // by the link may begin with bytes that form one by chance: while the
    // request can still complete (its length rule wants more bytes) the
    // answer is taken only once the line has been quiet.
    // A silence behind s (bytes after it start a frame of their own) has
    // ended it.
    const bool silenceBehind = FHeld.SilenceBehind(s);
    const bool ownMayComplete = !silenceBehind && (n == 0 || (n > b.size() && n <= kMaxRtuAdu));
    if (FSide == Side::Listener && ownMayComplete) {
        const int64_t quietAt = SilenceAfter(true);
        if (nowNs == kNoTime || nowNs < quietAt) {
            wait = true;
            FWaitUntil = quietAt;
            return 0;
        }
    }
    other = true;
    return m;
}

Output RtuFramer::FaultOf(Fault fault, size_t n)
{
    Output o;
    o.what = Output::What::Fault;
    o.fault = fault;
    o.bytes = {FHeld.Data(), n};
    FHeld.Consume(n);
    return o;
}

Output RtuFramer::FrameAt(size_t start, size_t length, bool other)
{
    // What lies before the frame formed none: it goes first, the frame
    // comes out at the next call.
    if (start > 0) return FaultOf(Fault::Noise, start);
    Output o;
    o.what = Output::What::Frame;
    const uint8_t* buf = FHeld.Data();
    o.adu.unit = buf[0];
    o.adu.pdu = Pdu(buf + 1, length - 3);
    o.adu.frame = {buf, length};
    o.adu.otherSide = other;
    FHeld.Consume(length);
    return o;
}

Output RtuFramer::Next(int64_t nowNs)
{
    FHeld.DropConsumed();
    FWaitUntil = kNoTime;
    const size_t size = FHeld.Size();
    if (size == 0) return {};
    // Content first: a valid frame at the head, or where bytes followed a
    // silence; by this side's rules, else by the other side's.
    bool other = false;
    bool wait = false;
    for (size_t i = 0; i <= FHeld.StartCount(); ++i) {
        const size_t s = i == 0 ? 0 : FHeld.Start(i - 1);
        if (s >= size) break;
        if (const size_t n = ValidAt(s, other, wait, nowNs)) return FrameAt(s, n, other);
        if (wait) return {};
    }
    bool byCrc = false;
    const size_t n = RtuLength(FHeld.From(0), FSide, byCrc);
    const bool complete = n > 0 && n <= size;
    // A head that can never become a frame (complete by its length with a
    // wrong CRC, too long, or no CRC found where one must end it): a valid
    // frame behind it, wherever it starts, is taken.
    if (OnLine() && (complete || n > kMaxRtuAdu || byCrc)) {
        for (size_t s = 1; s + 4 <= size; ++s) {
            if (const size_t m = ValidAt(s, other, wait, nowNs)) return FrameAt(s, m, other);
            if (wait) return {};
        }
    }
    const size_t nextStart = FHeld.NextStart();
    if (n > kMaxRtuAdu) return FaultOf(Fault::BadLength, nextStart);
    // Without line timing content decides alone: a frame complete by its
    // length whose CRC is wrong is bad at once. On the line, one that a
    // silence cuts is judged only as late as a fragment: the silence may be
    // real (noise, then an answer whose first bytes an adapter handed over
    // alone: the answer's rest is still coming and is found behind the
    // noise by its content) or a late read inside one bad frame (reported
    // whole once nothing more comes).
    const int64_t judgeAt = SilenceAfter(complete && !FHeld.SilenceInside(0, n));
    if (judgeAt == kNoTime) {
        if (complete) return FaultOf(Fault::BadCrc, n);
        return {};
    }
    if (nowNs == kNoTime || nowNs < judgeAt) return {};
    if (complete) return FaultOf(Fault::BadCrc, n);
    return FaultOf(Fault::Noise, size);
}

int64_t RtuFramer::JudgeAtNs() const
{
    if (Held() == 0) return kNoTime;
    const std::span<const uint8_t> b = FHeld.From(FHeld.Consumed());
    bool byCrc = false;
    const size_t n = RtuLength(b, FSide, byCrc);
    const int64_t at = SilenceAfter(n > 0 && n <= b.size() && !FHeld.SilenceInside(FHeld.Consumed(), n));
    return FWaitUntil != kNoTime && FWaitUntil < at ? FWaitUntil : at;
}

// ---- factory ----------------------------------------------------------------------

std::unique_ptr<Framer> MakeFramer(Kind kind, Side side, const LineTiming& timing)
{
    switch (kind) {
    case Kind::RtuLine: return std::make_unique<RtuLineFramer>(side, timing);
    case Kind::RtuTcp: return std::make_unique<RtuTcpFramer>(side);
    case Kind::Mbap: return std::make_unique<MbapFramer>(side);
    }
    return nullptr;
}

} // namespace zorp::framing
