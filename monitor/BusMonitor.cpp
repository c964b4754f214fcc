// SPDX-License-Identifier: GPL-3.0-or-later
// The monitor's core: framing, pairing and time-outs.
#include "BusMonitor.h"

#include <algorithm>
#include <chrono>

namespace zorp::monitor {

using framing::BusFramer;
using framing::BusMode;
using framing::BusOutput;
using framing::Direction;
using framing::kNoTime;
using framing::Output;

const char* KindName(BusEvent::Kind k)
{
    switch (k) {
    case BusEvent::Kind::Request: return "request";
    case BusEvent::Kind::Answer: return "answer";
    case BusEvent::Kind::Fault: return "fault";
    case BusEvent::Kind::NoAnswer: return "no-answer";
    }
    return "?";
}

const char* FaultName(framing::Fault f)
{
    switch (f) {
    case framing::Fault::None: return "";
    case framing::Fault::BadCrc: return "bad CRC";
    case framing::Fault::BadLength: return "bad length";
    case framing::Fault::Noise: return "noise";
    case framing::Fault::BadHeader: return "bad header";
    }
    return "?";
}

int64_t BusMonitor::NowNs()
{
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

BusMonitor::BusMonitor(Sink sink) : FSink(std::move(sink))
{
    using namespace std::chrono;
    const int64_t wall = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
    FWallOffset = wall - NowNs();
}

int BusMonitor::AddLine(BusMode mode, const framing::LineTiming& timing)
{
    FLines.push_back({std::make_unique<BusFramer>(mode, timing), -1, {}});
    return int(FLines.size());
}

void BusMonitor::Emit(BusEvent& e)
{
    e.seq = ++FSeq;
    e.wallNs = WallOf(e.startNs >= 0 ? e.startNs : NowNs());
    if (FSink) FSink(e);
}

void BusMonitor::Unanswered(uint64_t key, int64_t nowNs)
{
    auto it = FPending.find(key);
    if (it == FPending.end()) return;
    const Pending& p = it->second;
    BusEvent e;
    e.kind = BusEvent::Kind::NoAnswer;
    e.channel = p.channel;
    e.tcp = p.tcp;
    e.unit = p.unit;
    e.function = p.function;
    e.transactionId = p.transactionId;
    e.requestSeq = p.seq;
    e.pdu = p.pdu;
    e.startNs = e.endNs = nowNs;
    FPending.erase(it);
    Emit(e);
}

void BusMonitor::OnFrame(BusEvent& e, uint64_t key)
{
    if (e.kind == BusEvent::Kind::Request) {
        // On a serial bus the master asks again: the last request got no answer.
        Unanswered(key, e.startNs >= 0 ? e.startNs : NowNs());
        Emit(e);
        if (e.unit != 0) // a broadcast is never answered
            FPending[key] = {e.seq, e.unit, e.function, e.endNs, e.channel, e.transactionId, e.tcp, e.pdu};
        return;
    }
    auto it = FPending.find(key);
    if (it != FPending.end() && it->second.unit == e.unit && it->second.function == (e.function & 0x7F)) {
        e.requestSeq = it->second.seq;
        e.requestPdu = std::move(it->second.pdu);
        // Never below 0: bytes handed over late together cannot be told apart in time.
        if (e.startNs >= 0 && it->second.endNs >= 0) {
            e.turnaroundNs = std::max<int64_t>(0, e.startNs - it->second.endNs);
            if (e.startNs <= it->second.endNs) e.bunched = true;
        }
        FPending.erase(it);
    }
    Emit(e);
}

void BusMonitor::Drain(int channel, int64_t nowNs)
{
    Line& line = FLines[size_t(channel - 1)];
    for (;;) {
        const BusOutput o = line.framer->Next(nowNs);
        if (o.what == Output::What::Nothing) break;
        BusEvent& e = line.ready.emplace_back();
        e.channel = channel;
        e.startNs = o.startNs;
        e.endNs = o.endNs;
        e.frame.assign(o.bytes.begin(), o.bytes.end());
        if (o.what == Output::What::Fault) {
            e.kind = BusEvent::Kind::Fault;
            e.fault = o.fault;
            if (!e.frame.empty()) e.unit = e.frame[0];
            if (e.frame.size() > 1) e.function = e.frame[1];
            continue;
        }
        e.kind = o.dir == Direction::Request ? BusEvent::Kind::Request : BusEvent::Kind::Answer;
        e.unit = o.adu.unit;
        e.function = o.adu.pdu.Function();
        e.pdu.assign(o.adu.pdu.Bytes().begin(), o.adu.pdu.Bytes().end());
    }
    Release(nowNs);
}

namespace {
// Whether a came on the bus before b. Bytes handed over late and together
// (a USB adapter on each pair of a four-wire bus) get estimated times that
// are off by as much as an adapter holds bytes back. The master asks again
// only after the answer: an answer to the request still waiting came
// before a request that the estimates put up to that much before it. Any
// other answer comes after a request that asks for it (it answers that
// request), and after any request that it overlaps.
bool Before(const BusEvent& a, const BusEvent& b, const BusEvent* waiting)
{
    if (a.startNs < 0 || b.startNs < 0) return false;
    const bool aAnswer = a.kind == BusEvent::Kind::Answer, bAnswer = b.kind == BusEvent::Kind::Answer;
    if (aAnswer != bAnswer && a.channel != b.channel) {
        const BusEvent& ans = aAnswer ? a : b;
        const BusEvent& req = aAnswer ? b : a;
        if (req.kind == BusEvent::Kind::Request) {
            const bool answersWaiting =
                waiting && waiting->unit == ans.unit && waiting->function == (ans.function & 0x7F);
            const bool asks = req.unit == ans.unit && req.function == (ans.function & 0x7F);
            const bool ansFirst = answersWaiting ? ans.startNs < req.endNs + BusFramer::kFragmentNs
                                                 : !asks && ans.endNs <= req.startNs;
            return aAnswer == ansFirst;
        }
    }
    if (a.endNs <= b.startNs) return true;
    if (b.endNs <= a.startNs) return false;
    return a.startNs < b.startNs;
}
} // namespace

bool BusMonitor::HeldBack(const BusEvent& e, int64_t nowNs) const
{
    if (FFlushing || FLines.size() < 2 || e.startNs < 0) return false;
    if (nowNs != kNoTime && nowNs >= e.endNs + BusFramer::kFragmentNs) return false;
    if (e.kind == BusEvent::Kind::Request) {
        // Four-wire: the slaves' pair may still hand over the answer to the
        // request that waits, which came before this next request; the
        // master's request waits until that pair has been heard from since
        // it began, or as long as an adapter may hold bytes back.
        if (!FPending.count(0)) return false;
        for (const Line& l : FLines)
            if (l.framer->Mode() == BusMode::Answers && l.lastArrivalNs < e.startNs) return true;
        return false;
    }
    if (e.kind != BusEvent::Kind::Answer) return false;
    // An answer that no waiting request asks for may have been read before
    // its request, which the master's pair (another adapter) still holds:
    // it waits until that pair has been read past the answer's end (a
    // block read then holds every byte before it), or as long as an
    // adapter may hold bytes back.
    const auto p = FPending.find(0);
    if (p != FPending.end() && p->second.unit == e.unit && p->second.function == (e.function & 0x7F)) return false;
    for (const Line& l : FLines)
        if (l.framer->Mode() == BusMode::Requests && l.lastArrivalNs < e.endNs) return true;
    return false;
}

void BusMonitor::Release(int64_t nowNs)
{
    for (;;) {
        BusEvent waiting;
        const auto p = FPending.find(0);
        if (p != FPending.end()) {
            waiting.unit = p->second.unit;
            waiting.function = p->second.function;
        }
        Line* first = nullptr;
        for (Line& l : FLines)
            if (!l.ready.empty() &&
                (!first || Before(l.ready.front(), first->ready.front(), p != FPending.end() ? &waiting : nullptr)))
                first = &l;
        if (!first || HeldBack(first->ready.front(), nowNs)) return;
        BusEvent e = std::move(first->ready.front());
        first->ready.pop_front();
        Report(e);
    }
}

void BusMonitor::Report(BusEvent& e)
{
    if (FLastEnd >= 0 && e.startNs >= 0) {
        e.gapNs = e.startNs - FLastEnd;
        // Bytes are taken to come back to back up to their arrival: a frame
        // that starts right at (or before) the end of the last came with it.
        e.bunched = e.gapNs <= 0;
    }
    if (e.endNs >= 0) FLastEnd = std::max(FLastEnd, e.endNs);
    if (e.kind == BusEvent::Kind::Fault) {
        Emit(e);
        return;
    }
    // Four-wire: the slaves' pair learns which answer comes next.
    if (e.kind == BusEvent::Kind::Request)
        for (Line& l : FLines)
            if (l.framer->Mode() == BusMode::Answers) l.framer->ExpectAnswer(e.unit, e.function);
    OnFrame(e, 0);
}

void BusMonitor::FeedLine(int channel, const uint8_t* data, size_t size, int64_t arrivalNs)
{
    if (channel < 1 || size_t(channel) > FLines.size()) return;
    BusFramer& f = *FLines[size_t(channel - 1)].framer;
    if (arrivalNs != kNoTime) FLines[size_t(channel - 1)].lastArrivalNs = arrivalNs;
    // In pieces the framer can hold beside what it holds already, each
    // with the time its last byte came in at (the bytes back to back up to
    // the arrival), every frame taken out between them.
    const int64_t ch = f.Timing().charNs;
    while (size > 0) {
        const size_t n = std::min(size, framing::kMaxRtuAdu);
        size -= n;
        const int64_t at = arrivalNs == kNoTime ? kNoTime : arrivalNs - int64_t(size) * ch;
        f.Feed(data, n, at);
        data += n;
        Drain(channel, at);
    }
}

namespace {
uint64_t TcpKey(int connection, uint16_t tid) { return (uint64_t(uint32_t(connection)) << 16 | tid) + 1; }
} // namespace

void BusMonitor::OnTcpFrame(int connection, Direction dir, const framing::Adu& adu, int64_t atNs)
{
    BusEvent e;
    e.kind = dir == Direction::Request ? BusEvent::Kind::Request : BusEvent::Kind::Answer;
    e.channel = connection;
    e.tcp = true;
    e.startNs = e.endNs = atNs;
    e.unit = adu.unit;
    e.function = adu.pdu.Function();
    e.transactionId = adu.transactionId;
    e.frame.assign(adu.frame.begin(), adu.frame.end());
    e.pdu.assign(adu.pdu.Bytes().begin(), adu.pdu.Bytes().end());
    const uint64_t key = TcpKey(connection, adu.transactionId);
    if (e.kind == BusEvent::Kind::Request) {
        // Over TCP a request is answered even when sent to unit 0.
        Unanswered(key, atNs);
        Emit(e);
        FPending[key] = {e.seq, e.unit, e.function, e.endNs, e.channel, e.transactionId, true, e.pdu};
        return;
    }
    OnFrame(e, key);
}

void BusMonitor::OnTcpFault(int connection, Direction dir, std::span<const uint8_t> bytes, int64_t atNs)
{
    BusEvent e;
    e.kind = BusEvent::Kind::Fault;
    e.fault = framing::Fault::BadHeader;
    e.channel = connection;
    e.tcp = true;
    e.startNs = e.endNs = atNs;
    e.frame.assign(bytes.begin(), bytes.end());
    (void)dir;
    Emit(e);
}

void BusMonitor::CloseConnection(int connection, int64_t nowNs)
{
    std::vector<uint64_t> keys;
    for (const auto& [key, p] : FPending)
        if (p.tcp && p.channel == connection) keys.push_back(key);
    for (uint64_t k : keys) Unanswered(k, nowNs);
}

void BusMonitor::Poll(int64_t nowNs)
{
    for (size_t i = 0; i < FLines.size(); ++i) Drain(int(i + 1), nowNs);
    std::vector<uint64_t> late;
    for (const auto& [key, p] : FPending)
        if (p.endNs >= 0 && nowNs - p.endNs >= FTimeoutNs) late.push_back(key);
    for (uint64_t k : late) Unanswered(k, nowNs);
}

int64_t BusMonitor::NextWakeNs() const
{
    int64_t at = -1;
    auto take = [&at](int64_t t) {
        if (t >= 0 && (at < 0 || t < at)) at = t;
    };
    for (const Line& l : FLines) {
        take(l.framer->JudgeAtNs());
        if (!l.ready.empty() && l.ready.front().endNs >= 0) take(l.ready.front().endNs + BusFramer::kFragmentNs);
    }
    for (const auto& [key, p] : FPending) take(p.endNs >= 0 ? p.endNs + FTimeoutNs : -1);
    return at;
}

void BusMonitor::Finish(int64_t nowNs)
{
    // Far enough ahead that every silence is over; nothing is held back.
    FFlushing = true;
    Poll(nowNs + 2 * BusFramer::kFragmentNs);
    FFlushing = false;
    std::vector<uint64_t> keys;
    for (const auto& [key, p] : FPending) keys.push_back(key);
    for (uint64_t k : keys) Unanswered(k, nowNs);
}

} // namespace zorp::monitor
