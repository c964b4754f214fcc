// SPDX-License-Identifier: GPL-3.0-or-later
// The master's receive path and response checks: one transaction of any
// kind (every wait state), RTU or TCP, the response stream cut into chunks
// of any size with passes and clock steps between them, so that time-outs,
// retries and partial frames are reached too.
//
// Input: protocol (bits 0-1; bit 2 RemoveEcho; bit 3 serial line timing;
// bit 4 carried over TCP), operation, device, address, count, time-out, retries,
// three value bytes; then chunks, each led by a control byte:
//   bits 0-4  length - 1 (31: the next byte + 32)
//   bit 5     run a pass before the chunk arrives
//   bit 6     run a pass after it
//   bit 7     move the clock forward (next byte x 8 ms) before the pass
// Checked: never more than one outcome per transaction, exactly one once the
// clock has run out, the receive buffer within its cap, read events with
// the counts asked for; and after all that, a read whose valid answer comes
// is answered with its data (each request starts the framing afresh).
#include <algorithm>
#include <memory>

#include "CommPort.h"
#include "EngineAccess.h"
#include "FuzzSupport.h"
#include "ModbusCRC.h"
#include "ReceiveBuffer.h"

using A = TVexaModbusTestAccess;
using namespace zorpfuzz;

ZORP_FUZZ_ENGINE_INITIALIZE()

namespace {

struct Outcomes {
    int count = 0;
    int requested = 0; // count asked for by a read
    bool coils = false;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Reader in{data, size};
    const uint8_t proto = in.Byte();
    const uint8_t op = in.Byte() % 10;
    const uint8_t device = in.Byte();
    const uint16_t address = in.Word();
    const uint8_t count = in.Byte();
    const uint32_t timeout = 1 + in.Byte() * 4u;
    const uint16_t retries = in.Byte() & 3;
    const uint8_t v0 = in.Byte(), v1 = in.Byte(), v2 = in.Byte();

    auto e = std::make_unique<TVexaModbus>();
    static const TModbusProtocol kProtocols[] = {mbpRTU, mbpTCP, mbpASCII, mbpNone};
    e->SetProtocol(kProtocols[proto & 3]);
    e->SetInterfaceType((proto & 16) ? mbiEthernet : mbiRS485);
    e->SetRemoveEcho((proto & 4) != 0);
    A::SetLineTimingForTests(*e, (proto & 8) != 0);
    e->SetDeviceID(device);
    e->SetTimeout(timeout);
    e->SetMaxRepeat(retries);

    Outcomes out;
    e->OnError = [&](QObject*, int32_t) { ++out.count; };
    std::vector<uint8_t> lastData;
    auto readData = [&](QObject*, uint8_t, uint16_t, uint16_t n, const std::vector<uint8_t>& d) {
        ++out.count;
        ZORP_FUZZ_CHECK(n == out.requested);
        ZORP_FUZZ_CHECK(d.size() <= 255);
        lastData = d;
    };
    std::vector<std::vector<uint8_t>> sent;
    e->OnSendData = [&](QObject*, const void* b, int32_t n) {
        const auto* q = static_cast<const uint8_t*>(b);
        sent.emplace_back(q, q + n);
    };
    e->OnReadDiscreteInputs = readData;
    e->OnReadHoldingRegs = readData;
    e->OnReadInputRegs = readData;
    e->OnReadFileRecord = [&](QObject*, uint8_t, uint16_t, uint16_t, uint16_t, const std::vector<uint8_t>& d) {
        ++out.count;
        ZORP_FUZZ_CHECK(d.size() <= 255);
    };
    e->OnReadCoils = [&](QObject*, uint8_t, uint16_t, uint16_t n, const std::vector<bool>& c) {
        ++out.count;
        ZORP_FUZZ_CHECK(n == out.requested);
        ZORP_FUZZ_CHECK(c.size() == size_t(out.requested));
    };
    auto ack = [&](QObject*) { ++out.count; };
    e->OnWriteSingleReg = ack;
    e->OnWriteMultiRegs = ack;
    e->OnWriteSingleCoil = ack;
    e->OnWriteMultiCoils = ack;
    e->OnWriteSingleSpecialReg = ack;

    A::FakeLinkUp(*e);
    A::SetRawState(*e, msIdle);
    bool armed = true;
    out.requested = count;
    switch (op) {
    case 0: e->ReadCoils(address, count); break;
    case 1: e->ReadDiscreteInputs(address, count); break;
    case 2: e->ReadHoldingRegs(address, count); break;
    case 3: e->ReadInputRegs(address, count); break;
    case 4: e->ReadFileRecord(uint16_t(v0 << 8 | v1), address, count); break;
    case 5: e->WriteSingleReg(address, uint16_t(v0 << 8 | v1)); break;
    case 6: {
        const uint16_t n = v0 % 130; // past the limit too: such a call is refused
        std::vector<uint16_t> values(v1 % 130, uint16_t(v2 * 257));
        armed = e->WriteMultiRegs(address, n, values);
        break;
    }
    case 7: e->WriteSingleCoil(address, v0 & 1, false); break;
    case 8: {
        const uint16_t n = v0 + (v1 & 1); // 0 .. 256: both ends refused
        std::vector<bool> values(n, v2 & 1);
        armed = e->WriteMultiCoils(address, n, values, false);
        break;
    }
    default: e->WriteSingleSpecialReg(address, uint16_t(v0 << 8 | v1)); break;
    }
    if (!armed) {
        ZORP_FUZZ_CHECK(A::State(*e) == msIdle);
        return 0;
    }
    A::Pass(*e); // sends the request and enters the wait

    while (in.More()) {
        const uint8_t c = in.Byte();
        size_t len = (c & 0x1F) + 1u;
        if (len == 32) len = 32u + in.Byte();
        if (c & 0x20) A::Pass(*e);
        const std::vector<uint8_t> chunk = in.Take(len);
        if (!chunk.empty()) A::Deliver(*e, chunk);
        ZORP_FUZZ_CHECK(A::Buffer(*e).size() <= zorp::ReceiveBuffer::kCapacity);
        if (c & 0x80) Clock() += in.Byte() * 8u;
        if (c & 0x40) A::Pass(*e);
        ZORP_FUZZ_CHECK(out.count <= 1);
    }

    // Let the clock run out: every retry is sent and times out in turn (a
    // broadcast ends after its own delay, which may be the longer one).
    for (int i = 0; i < 4 * (retries + 2) && out.count == 0; ++i) {
        A::Pass(*e);
        Clock() += std::max(timeout, e->BroadcastDelay()) + 1;
        A::Pass(*e);
    }
    ZORP_FUZZ_CHECK(out.count == 1);
    ZORP_FUZZ_CHECK(A::State(*e) == msIdle);

    // Then a read of one register, and its valid answer (unit 0 is a
    // broadcast, never answered; ASCII and no protocol build no frames).
    const TModbusProtocol p = kProtocols[proto & 3];
    if (device == 0 || (p != mbpRTU && p != mbpTCP)) return 0;
    out = {};
    out.requested = 1;
    sent.clear();
    e->ReadHoldingRegs(address, 1);
    // (RTU over TCP: after a time-out the request may wait up to one more
    // time-out for the late answer.)
    for (int i = 0; i < 3 && sent.empty(); ++i) {
        A::Pass(*e);
        if (sent.empty()) Clock() += timeout + 1;
    }
    ZORP_FUZZ_CHECK(sent.size() == 1);
    std::vector<uint8_t> answer = {device, 3, 2, v0, v1};
    if (p == mbpTCP) {
        ZORP_FUZZ_CHECK(sent[0].size() >= 2);
        answer.insert(answer.begin(), {sent[0][0], sent[0][1], 0, 0, 0, uint8_t(answer.size())});
    } else {
        const uint16_t crc = zorp::ModbusCRC16(answer.data(), answer.size());
        answer.push_back(uint8_t(crc));
        answer.push_back(uint8_t(crc >> 8));
    }
    A::Deliver(*e, answer);
    A::Pass(*e);
    ZORP_FUZZ_CHECK(out.count == 1);
    ZORP_FUZZ_CHECK((lastData == std::vector<uint8_t>{v0, v1}));
    ZORP_FUZZ_CHECK(A::State(*e) == msIdle);
    return 0;
}
