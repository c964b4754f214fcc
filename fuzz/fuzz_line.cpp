// SPDX-License-Identifier: GPL-3.0-or-later
// The engine on a serial line whose timing is kept (RTU, RS-485, the line's
// timers made as when the port opens): requests held back for the line's
// quiet, answers held back until the request's end has had its quiet. The
// input plays the line, cut into chunks with passes and clock steps
// between them, as in fuzz_master, and then two liveness checks run:
//
// - master: the line is never quiet again (a byte arrives before every
//   pass, as from a chattering bus); once the transaction's time has run
//   out, with every retry, it has ended with exactly one outcome. Then a
//   read goes out after a quiet line and its valid answer is taken.
// - listening side: after whatever came, a quiet line and one valid read
//   of the probe address is answered once with the image's word.
//
// Time: the engine's one time base, the line clock, is replaced by a clock
// the input moves (the tick count of the time-outs follows it), so every
// wait, the line's quiet included, is played out without waiting.
//
// Input: flags (bit 0 listening side, bit 1 RemoveEcho, bit 2 115200 baud
// instead of 19200), device, time-out, retries, probe address (2 bytes),
// then chunks led by a control byte:
//   bits 0-4  length - 1 (31: the next byte + 32)
//   bit 5     run a pass before the chunk arrives
//   bit 6     run a pass after it
//   bit 7     move the clock forward (next byte x 8 ms) before the pass
#include <memory>

#include "CommPort.h"
#include "EngineAccess.h"
#include "FuzzSupport.h"
#include "LineTimer.h"
#include "ModbusCRC.h"
#include "ReceiveBuffer.h"

using A = TVexaModbusTestAccess;
using namespace zorpfuzz;

namespace {

// Nanoseconds of the line clock, moved only by the input.
int64_t& Now()
{
    static int64_t now = 1000000000;
    return now;
}

void Advance(uint32_t ms) { Now() += int64_t(ms) * 1000000; }

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    EnsureApplication();
    zorp::SetLineClockSource([] { return Now(); });
    zorp::SetTickCountSource([] { return uint32_t(uint64_t(Now()) / 1000000u); });
    return 0;
}

namespace {

std::vector<uint8_t> Rtu(std::vector<uint8_t> b)
{
    const uint16_t crc = zorp::ModbusCRC16(b.data(), b.size());
    b.push_back(uint8_t(crc));
    b.push_back(uint8_t(crc >> 8));
    return b;
}

// Longer than t3.5 and the host's margin at the speeds used here.
void QuietLine() { Advance(15); }

struct Outcomes {
    int count = 0;
    std::vector<uint8_t> lastRead;
};

void Chunks(Reader& in, TVexaModbus& e, const std::function<void()>& check)
{
    while (in.More()) {
        const uint8_t c = in.Byte();
        size_t len = (c & 0x1F) + 1u;
        if (len == 32) len = 32u + in.Byte();
        if (c & 0x20) A::Pass(e);
        const std::vector<uint8_t> chunk = in.Take(len);
        if (!chunk.empty()) A::Deliver(e, chunk);
        ZORP_FUZZ_CHECK(A::Buffer(e).size() <= zorp::ReceiveBuffer::kCapacity);
        if (c & 0x80) Advance(in.Byte() * 8u);
        if (c & 0x40) A::Pass(e);
        check();
    }
}

void Master(Reader& in, TVexaModbus& e, uint8_t device, uint32_t timeout, uint16_t retries, uint16_t probe)
{
    Outcomes out;
    std::vector<std::vector<uint8_t>> sent;
    e.OnError = [&](QObject*, int32_t) { ++out.count; };
    e.OnReadHoldingRegs = [&](QObject*, uint8_t, uint16_t, uint16_t, const std::vector<uint8_t>& d) {
        ++out.count;
        out.lastRead = d;
    };
    e.OnSendData = [&](QObject*, const void* b, int32_t n) {
        const auto* p = static_cast<const uint8_t*>(b);
        sent.emplace_back(p, p + n);
    };
    A::FakeLinkUp(e);
    A::SetRawState(e, msIdle);
    e.ReadHoldingRegs(probe, 2);
    A::Pass(e);
    Chunks(in, e, [&] { ZORP_FUZZ_CHECK(out.count <= 1); });

    // A line that is never quiet: the transaction still ends once its
    // time has run out, retries included, and with one outcome only.
    for (int i = 0; i < 4 * (retries + 2) && out.count == 0; ++i) {
        A::Deliver(e, {uint8_t(0xFF - i)});
        A::Pass(e);
        Advance(timeout + 1);
        A::Deliver(e, {uint8_t(i)});
        A::Pass(e);
    }
    ZORP_FUZZ_CHECK(out.count == 1);
    ZORP_FUZZ_CHECK(A::State(e) == msIdle);

    // Then the line goes quiet: a read goes out and its answer is taken.
    out = {};
    sent.clear();
    e.ReadHoldingRegs(probe, 1);
    for (int i = 0; i < 3 && sent.empty(); ++i) {
        QuietLine();
        A::Pass(e);
    }
    ZORP_FUZZ_CHECK(sent.size() == 1);
    const uint16_t wire = uint16_t(probe - 1);
    ZORP_FUZZ_CHECK(sent[0] == Rtu({device, 3, uint8_t(wire >> 8), uint8_t(wire), 0, 1}));
    A::Deliver(e, Rtu({device, 3, 2, 0xAB, uint8_t(probe)}));
    A::Pass(e);
    ZORP_FUZZ_CHECK(out.count == 1);
    ZORP_FUZZ_CHECK((out.lastRead == std::vector<uint8_t>{0xAB, uint8_t(probe)}));
    ZORP_FUZZ_CHECK(A::State(e) == msIdle);
}

void Listener(Reader& in, TVexaModbus& e, uint8_t device, uint16_t probe)
{
    std::vector<std::vector<uint8_t>> sent;
    e.OnSendData = [&](QObject*, const void* b, int32_t n) {
        const auto* p = static_cast<const uint8_t*>(b);
        sent.emplace_back(p, p + n);
    };
    A::SetMode(e, mbmSlave);
    A::SetRawState(e, msIdleSlave);
    Chunks(in, e, [&] { ZORP_FUZZ_CHECK(A::State(e) == msIdleSlave); });

    // What is pending is answered or dropped once the line is quiet (the
    // silence timer's judgement made here: no event loop runs), also
    // bytes that wait for as long as an adapter may hold some back.
    Advance(120);
    const size_t most = zorp::ReceiveBuffer::kCapacity / 3 + 1;
    for (size_t i = 0; i < most; ++i) {
        A::LineSilence(e);
        if (!A::FrameCompleted(e)) break;
        A::Pass(e);
    }
    ZORP_FUZZ_CHECK(!A::FrameCompleted(e));

    // A quiet line, one valid read: answered once, with the image's word
    // (by a master that waits long enough for the answer's turnaround).
    e.SetTimeout(1000);
    Advance(1000);
    QuietLine();
    sent.clear();
    A::Deliver(e, Rtu({device, 3, uint8_t(probe >> 8), uint8_t(probe), 0, 1}));
    for (int i = 0; i < 3 && sent.empty(); ++i) {
        A::Pass(e);
        if (sent.empty()) QuietLine();
    }
    const uint16_t want = A::MapWord(e, probe);
    ZORP_FUZZ_CHECK(sent.size() == 1);
    ZORP_FUZZ_CHECK(sent[0] == Rtu({device, 3, 2, uint8_t(want >> 8), uint8_t(want)}));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Reader in{data, size};
    const uint8_t flags = in.Byte();
    // Unit 0 is a broadcast, never answered: the probes need an address.
    const uint8_t device = uint8_t(1 + in.Byte() % 247);
    const uint32_t timeout = 1 + in.Byte() * 4u;
    const uint16_t retries = in.Byte() & 3;
    const uint16_t probe = in.Word();

    auto e = std::make_unique<TVexaModbus>();
    e->SetProtocol(mbpRTU);
    e->SetInterfaceType(mbiRS485);
    e->SetComSpeed((flags & 4) ? 115200 : 19200);
    e->SetRemoveEcho((flags & 2) != 0);
    e->SetDeviceID(device);
    e->SetTimeout(timeout);
    e->SetMaxRepeat(retries);
    A::SetLineTimingForTests(*e, true);
    if (flags & 1) {
        A::SetMode(*e, mbmSlave);
        A::OpenLine(*e);
        Listener(in, *e, device, probe);
    } else {
        A::OpenLine(*e);
        Master(in, *e, device, timeout, retries, probe);
    }
    return 0;
}
