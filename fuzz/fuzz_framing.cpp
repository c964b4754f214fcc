// SPDX-License-Identifier: GPL-3.0-or-later
// The framing backends on their own: any framing, either side, bytes cut
// into reads of any size arriving at any times, valid frames among them,
// resets in between.
//
// Input: flags (bits 0-1 framing: RTU line, RTU over TCP, Modbus TCP;
// bit 2 listening side; bits 3-4 the line's speed), then chunks, each led by
// a control byte:
//   bits 0-3  length - 1 (15: the next byte + 16)
//   bit 4     the chunk becomes a valid frame: its first byte the unit, the
//             rest the PDU (RTU: CRC behind it; Modbus TCP: header in front)
//   bit 5     reset the framer before the chunk
//   bit 6     take what the framer has after the chunk
//   bit 7     move the clock forward (next byte x 100 us) before the chunk
// Checked: every frame is one whole frame by its framing's rules (RTU: the
// length rule of its function and a right CRC; Modbus TCP: exactly its
// header's length), nothing held beyond the bound, the framer runs dry; and
// at the end, liveness: on the line, a silence judges everything held and a
// valid frame behind it is found; on every framing, after a reset a valid
// frame is found, exactly it and nothing else.
#include <algorithm>
#include <memory>

#include "FuzzSupport.h"
#include "ModbusCRC.h"
#include "ModbusTypes.h"
#include "RtuLine.h"
#include "framing/Framer.h"

using namespace zorpfuzz;
namespace zf = zorp::framing;

namespace {

struct Run {
    zf::Kind kind = zf::Kind::RtuLine;
    zf::Side side = zf::Side::Master;
    zf::LineTiming timing;
    std::unique_ptr<zf::Framer> framer;
    int64_t now = 1000000000;
    std::vector<std::vector<uint8_t>> frames; // frames taken since the last Clear
    bool Line() const { return kind == zf::Kind::RtuLine; }
};

std::vector<uint8_t> MakeFrame(const Run& run, const std::vector<uint8_t>& body)
{
    if (run.kind == zf::Kind::Mbap) {
        std::vector<uint8_t> f(6 + body.size());
        f[0] = 0x12;
        f[1] = 0x34;
        f[4] = uint8_t(body.size() >> 8);
        f[5] = uint8_t(body.size());
        std::copy(body.begin(), body.end(), f.begin() + 6);
        return f;
    }
    std::vector<uint8_t> f = body;
    const uint16_t crc = zorp::ModbusCRC16(f.data(), f.size());
    f.push_back(uint8_t(crc));
    f.push_back(uint8_t(crc >> 8));
    return f;
}

void CheckFrame(const Run& run, const zf::Adu& a)
{
    const std::span<const uint8_t> f = a.frame;
    ZORP_FUZZ_CHECK(a.pdu.Size() >= 1 && a.pdu.Size() <= zf::kMaxPdu);
    if (run.kind == zf::Kind::Mbap) {
        ZORP_FUZZ_CHECK(f.size() >= 8 && f.size() <= zf::kMaxMbapAdu);
        ZORP_FUZZ_CHECK(size_t(f[4] << 8 | f[5]) == f.size() - 6);
        ZORP_FUZZ_CHECK(a.transactionId == (f[0] << 8 | f[1]) && a.protocolId == (f[2] << 8 | f[3]));
        ZORP_FUZZ_CHECK(a.unit == f[6] && a.pdu.Data() == f.data() + 7 && a.pdu.Size() == f.size() - 7);
        return;
    }
    ZORP_FUZZ_CHECK(f.size() >= 4 && f.size() <= zf::kMaxRtuAdu);
    ZORP_FUZZ_CHECK(a.unit == f[0] && a.pdu.Data() == f.data() + 1 && a.pdu.Size() == f.size() - 3);
    const uint16_t crc = zorp::ModbusCRC16(f.data(), f.size() - 2);
    ZORP_FUZZ_CHECK(f[f.size() - 2] == uint8_t(crc) && f[f.size() - 1] == uint8_t(crc >> 8));
    // Exactly one frame: as long as its side's length rule says.
    const bool master = (run.side == zf::Side::Master) != a.otherSide;
    const size_t rule = master ? zf::RtuResponseLength(f) : zf::RtuRequestLength(f);
    ZORP_FUZZ_CHECK(rule == f.size());
}

// Takes everything the framer has to give at `at`.
void Drain(Run& run, int64_t at)
{
    const size_t most = 2 * zf::kMaxHeld + 16;
    for (size_t i = 0; i < most; ++i) {
        const zf::Output o = run.framer->Next(run.Line() ? at : zf::kNoTime);
        ZORP_FUZZ_CHECK(run.framer->Held() <= zf::kMaxHeld);
        switch (o.what) {
        case zf::Output::What::Nothing:
            return;
        case zf::Output::What::Frame:
            CheckFrame(run, o.adu);
            if (!o.adu.otherSide) run.frames.emplace_back(o.adu.frame.begin(), o.adu.frame.end());
            break;
        case zf::Output::What::Fault:
            ZORP_FUZZ_CHECK(o.fault != zf::Fault::None);
            ZORP_FUZZ_CHECK(o.bytes.size() <= zf::kMaxHeld + zf::kMaxMbapAdu);
            break;
        }
    }
    Fail("the framer never runs dry");
}

void Feed(Run& run, const std::vector<uint8_t>& bytes)
{
    if (run.Line()) run.now += int64_t(bytes.size()) * run.timing.charNs;
    run.framer->Feed(bytes.data(), bytes.size(), run.Line() ? run.now : zf::kNoTime);
    ZORP_FUZZ_CHECK(run.framer->Held() <= zf::kMaxHeld);
}

// The line goes quiet until everything held is judged.
void Quiet(Run& run)
{
    for (int i = 0; i < 8; ++i) {
        const int64_t due = run.framer->JudgeAtNs();
        if (due == zf::kNoTime) break;
        if (due > run.now) run.now = due;
        Drain(run, run.now);
    }
    ZORP_FUZZ_CHECK(run.framer->JudgeAtNs() == zf::kNoTime);
    run.now += run.timing.silenceNs + run.timing.marginNs + 1;
    Drain(run, run.now);
    ZORP_FUZZ_CHECK(run.framer->Held() == 0);
}

// A valid frame of the side, cut in two reads, is found: exactly it.
void ExpectProbe(Run& run, uint8_t unit, uint16_t address)
{
    const std::vector<uint8_t> body =
        run.side == zf::Side::Listener
            ? std::vector<uint8_t>{unit, 3, uint8_t(address >> 8), uint8_t(address), 0, 1}
            : std::vector<uint8_t>{unit, 3, 2, uint8_t(address >> 8), uint8_t(address)};
    const std::vector<uint8_t> probe = MakeFrame(run, body);
    const size_t cut = 1 + address % (probe.size() - 1);
    run.frames.clear();
    Feed(run, {probe.begin(), probe.begin() + long(cut)});
    Drain(run, run.now);
    Feed(run, {probe.begin() + long(cut), probe.end()});
    Drain(run, run.now);
    ZORP_FUZZ_CHECK(run.frames.size() == 1);
    ZORP_FUZZ_CHECK(run.frames[0] == probe);
    ZORP_FUZZ_CHECK(run.framer->Held() == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Reader in{data, size};
    const uint8_t flags = in.Byte();
    static const zf::Kind kKinds[] = {zf::Kind::RtuLine, zf::Kind::RtuTcp, zf::Kind::Mbap, zf::Kind::Mbap};
    static const int32_t kBauds[] = {9600, 19200, 115200, 1200};
    Run run;
    run.kind = kKinds[flags & 3];
    run.side = (flags & 4) ? zf::Side::Listener : zf::Side::Master;
    const int32_t baud = kBauds[(flags >> 3) & 3];
    run.timing.charNs = zorp::rtu::CharTimeNs(baud, 8, pNone, 1);
    run.timing.silenceNs = zorp::rtu::SilenceNs(baud, 8, pNone, 1);
    run.framer = zf::MakeFramer(run.kind, run.side, run.timing);
    ZORP_FUZZ_CHECK(run.framer && run.framer->GetKind() == run.kind && run.framer->GetSide() == run.side);

    while (in.More()) {
        const uint8_t c = in.Byte();
        size_t len = (c & 0x0F) + 1u;
        if (len == 16) len = 16u + in.Byte();
        if (c & 0x80) run.now += int64_t(in.Byte()) * 100000;
        if (c & 0x20) {
            run.framer->Reset();
            ZORP_FUZZ_CHECK(run.framer->Held() == 0);
        }
        std::vector<uint8_t> chunk = in.Take(len);
        if ((c & 0x10) && chunk.size() >= 2) chunk = MakeFrame(run, chunk);
        if (!chunk.empty()) Feed(run, chunk);
        if (c & 0x40) Drain(run, run.now);
    }
    const uint8_t unit = uint8_t(size), hi = uint8_t(size >> 8);
    if (run.Line()) {
        Drain(run, run.now);
        Quiet(run);
        ExpectProbe(run, unit, uint16_t(hi << 8 | flags));
    }
    run.framer->Reset();
    ZORP_FUZZ_CHECK(run.framer->Held() == 0);
    ExpectProbe(run, unit, uint16_t(flags << 8 | hi));
    return 0;
}
