// SPDX-License-Identifier: GPL-3.0-or-later
// The framing backends fed byte streams directly (frames back to back, bad
// CRCs, garbage around frames, split frames, other sides' frames, bad
// headers), and the master over RTU over TCP and Modbus TCP driven pass by
// pass with a replaceable clock: exceptions checked by their CRC, late
// answers, answers whose byte count does not fit their frame.
#include <gtest/gtest.h>

#include "CommPort.h"
#include "EngineAccess.h"
#include "EngineFixture.h"
#include "EngineRecorder.h"
#include "EngineTestUtil.h"
#include "TestSupport.h"
#include "framing/Framer.h"

using A = TVexaModbusTestAccess;
using zorptest::EngineMemo;
using zorptest::EngineRecorder;
using zorptest::Hex;
using zorptest::ToHex;
using zorptest::WithCrc;
using namespace zorp::framing;

namespace {

using Bytes = std::vector<uint8_t>;

// Everything a framer gives for a stream fed in the chunks given (with
// arrival times 1 ms apart on a line, or none), then judged at `judgeAt`
// ms after the last chunk: "frame <hex>" (other side: "other <hex>") or
// "<fault> <n>".
// gapsMs: the time before each chunk where it is not 1 ms (the framer is
// asked for frames when a chunk is due, before it is fed, as well).
std::vector<std::string> FrameStream(Framer& f, const std::vector<Bytes>& chunks, bool timed, int64_t judgeAfterMs = -1,
                                     const std::vector<int64_t>& gapsMs = {})
{
    std::vector<std::string> out;
    int64_t now = 1000000000;
    auto drain = [&](int64_t at) {
        for (;;) {
            const Output o = f.Next(at);
            if (o.what == Output::What::Nothing) return;
            if (o.what == Output::What::Frame)
                out.push_back(std::string(o.adu.otherSide ? "other " : "frame ") + ToHex(Bytes(o.adu.frame.begin(), o.adu.frame.end())));
            else
                out.push_back(std::string(o.fault == Fault::BadCrc ? "badcrc " : o.fault == Fault::Noise ? "noise "
                                          : o.fault == Fault::BadLength ? "badlength " : "badheader ") +
                              std::to_string(o.bytes.size()));
        }
    };
    for (size_t i = 0; i < chunks.size(); ++i) {
        const Bytes& c = chunks[i];
        now += (i < gapsMs.size() ? gapsMs[i] : 1) * 1000000;
        drain(timed ? now : kNoTime);
        f.Feed(c.data(), c.size(), timed ? now : kNoTime);
        drain(timed ? now : kNoTime);
    }
    if (judgeAfterMs >= 0) drain(now + judgeAfterMs * 1000000);
    return out;
}

struct StreamCase {
    const char* name;
    Kind kind;
    Side side;
    std::vector<Bytes> chunks;
    int64_t judgeAfterMs;
    std::vector<std::string> expect;
    std::vector<int64_t> gapsMs = {};
};

TEST(Framers, Streams)
{
    const Bytes answer = WithCrc(Hex("01 03 04 00 0A 01 02"));
    const std::string answerHex = ToHex(answer);
    const Bytes request = WithCrc(Hex("01 03 00 00 00 02"));
    const std::string requestHex = ToHex(request);
    Bytes bad = answer;
    bad.back() ^= 0x55;
    const Bytes exception = WithCrc(Hex("01 83 02"));
    auto cat = [](std::vector<Bytes> parts) {
        Bytes all;
        for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
        return all;
    };
    LineTiming timing;
    timing.charNs = 1041666;
    timing.silenceNs = 3645833;
    const StreamCase cases[] = {
        {"two answers back to back", Kind::RtuTcp, Side::Master, {cat({answer, answer})}, -1, {"frame " + answerHex, "frame " + answerHex}},
        {"answer in three pieces", Kind::RtuTcp, Side::Master,
         {Bytes(answer.begin(), answer.begin() + 2), Bytes(answer.begin() + 2, answer.begin() + 5), Bytes(answer.begin() + 5, answer.end())},
         -1, {"frame " + answerHex}},
        {"exception needs its CRC", Kind::RtuTcp, Side::Master, {Bytes(exception.begin(), exception.begin() + 3)}, -1, {}},
        {"exception with its CRC", Kind::RtuTcp, Side::Master, {exception}, -1, {"frame " + ToHex(exception)}},
        {"bad CRC by content alone", Kind::RtuTcp, Side::Master, {bad}, -1, {"badcrc 9"}},
        {"a listener takes requests", Kind::RtuTcp, Side::Listener, {cat({request, request})}, -1, {"frame " + requestHex, "frame " + requestHex}},
        {"line: bad CRC waits for the silence", Kind::RtuLine, Side::Master, {bad}, 0, {}},
        {"line: then it is judged", Kind::RtuLine, Side::Master, {bad}, 20, {"badcrc 9"}},
        {"line: garbage, then an answer", Kind::RtuLine, Side::Master, {cat({Hex("FF 00 13"), answer})}, -1, {"noise 3", "frame " + answerHex}},
        {"line: the master hears a request", Kind::RtuLine, Side::Master, {cat({request, answer})}, -1, {"other " + requestHex, "frame " + answerHex}},
        {"line: a listener hears another slave", Kind::RtuLine, Side::Listener, {cat({WithCrc(Hex("02 03 04 00 01 00 02")), request})}, -1,
         {"other " + ToHex(WithCrc(Hex("02 03 04 00 01 00 02"))), "frame " + requestHex}},
        // An adapter's pause (25 ms) after an answer's first byte, which
        // followed noise and a silence: noise and that byte look like one
        // bad exception frame, but the answer's rest still comes.
        {"line: noise, a silence, an answer's first byte alone", Kind::RtuLine, Side::Master,
         {Hex("55 FF 35 C0"), Bytes(answer.begin(), answer.begin() + 1), Bytes(answer.begin() + 1, answer.end())}, 200,
         {"noise 4", "frame " + answerHex}, {1, 6, 25}},
        // A late read inside one bad frame is no silence on the line.
        {"line: a bad frame read in two bunches", Kind::RtuLine, Side::Master,
         {Bytes(bad.begin(), bad.begin() + 1), Bytes(bad.begin() + 1, bad.end())}, 200, {"badcrc 9"}, {1, 25}},
        {"line: a fragment is dropped after a long silence", Kind::RtuLine, Side::Master, {Hex("01 03 04 00")}, 200, {"noise 4"}},
        {"mbap: two frames in one segment", Kind::Mbap, Side::Master, {Hex("00 01 00 00 00 05 01 03 02 00 07 00 02 00 00 00 03 01 83 02")}, -1,
         {"frame 00 01 00 00 00 05 01 03 02 00 07", "frame 00 02 00 00 00 03 01 83 02"}},
        {"mbap: a length out of range loses the stream", Kind::Mbap, Side::Master, {Hex("00 01 00 00 01 00 01 03")}, -1, {"badheader 8"}},
    };
    for (const StreamCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto f = MakeFramer(c.kind, c.side, timing);
        EXPECT_EQ(FrameStream(*f, c.chunks, c.kind == Kind::RtuLine, c.judgeAfterMs, c.gapsMs), c.expect);
    }
}

TEST(Framers, ResponsePduFitsItsByteCount)
{
    const Bytes fits = Hex("03 04 00 0A 01 02"), shortOne = Hex("03 04 00 0A"), exception = Hex("83 02");
    EXPECT_TRUE(ResponseFitsPdu(Pdu(fits.data(), fits.size())));
    EXPECT_FALSE(ResponseFitsPdu(Pdu(shortOne.data(), shortOne.size())));
    EXPECT_TRUE(ResponseFitsPdu(Pdu(exception.data(), exception.size())));
    EXPECT_FALSE(ResponseFitsPdu(Pdu()));
}

// ---- the master over TCP links, pass by pass ----------------------------------

uint32_t& gNow = zorptest::gEngineNow;

class TcpMaster : public zorptest::EngineFixture {
protected:
    void SetUp() override
    {
        EngineFixture::SetUp();
        e->SetInterfaceType(mbiEthernet);
        e->SetMaxRepeat(0);
        e->SetTimeout(1000);
    }
    std::vector<std::string> Outcomes() const { return rec.Outcomes(); }
};

// An RTU exception is five bytes, its CRC included: it is not taken before
// its CRC, and a CRC that comes late cannot spoil the next answer.
TEST_F(TcpMaster, RtuExceptionWaitsForItsCrc)
{
    Up(mbpRTU);
    const Bytes x = WithCrc(Hex("01 83 02"));
    e->ReadHoldingRegs(1, 2);
    Pass();
    Feed(Bytes(x.begin(), x.begin() + 3));
    Pass();
    EXPECT_TRUE(Outcomes().empty());
    Feed(Bytes(x.begin() + 3, x.end()));
    Pass();
    e->ReadHoldingRegs(1, 2);
    Pass();
    Feed(WithCrc(Hex("01 03 04 00 0A 01 02")));
    Pass();
    EXPECT_EQ(Outcomes(), (std::vector<std::string>{"error 21", "holding"}));
}

// RTU over TCP has no transaction identifier: after a time-out the next
// request waits for the late answer and drops it, so that no later poll
// takes an answer that belongs to the one before.
TEST_F(TcpMaster, LateRtuAnswerIsNotTakenForTheNextRequest)
{
    Up(mbpRTU);
    e->ReadHoldingRegs(1, 1);
    Pass();
    gNow += 1001;
    Pass();
    ASSERT_EQ(Outcomes(), std::vector<std::string>{"error 4"});
    e->ReadHoldingRegs(2, 1);
    Pass();
    Feed(WithCrc(Hex("01 03 02 00 01"))); // the first request's answer, late
    Pass();
    Pass();
    Feed(WithCrc(Hex("01 03 02 00 02")));
    Pass();
    ASSERT_EQ(Outcomes(), (std::vector<std::string>{"error 4", "holding"}));
    EXPECT_EQ(ToHex(rec.lastData), "00 02");
    EXPECT_TRUE(memo->lines.contains(QStringLiteral("Odrzucono spóźnioną odpowiedź")));
}

// An answer that comes even later, once the next request has gone out, is
// passed over when it cannot be that request's (its function, its byte
// count, its echo), so that the request still takes its own answer.
TEST_F(TcpMaster, VeryLateRtuAnswerThatCannotBeThePendingOnesIsPassedOver)
{
    struct Case {
        const char* name;
        bool firstWrite;   // the first request: WriteSingleReg(10, 7), else ReadHoldingRegs(1, 2)
        bool write;        // the next request: WriteSingleReg(5, 7), else ReadHoldingRegs(2, 1)
        const char* stale; // the first request's late answer, without its CRC
    };
    const Case cases[] = {
        {"another function", false, true, "01 03 04 00 01 00 02"},
        {"another byte count", false, false, "01 03 04 00 01 00 02"},
        {"another echo", true, true, "01 06 00 09 00 07"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        rec.events.clear();
        Up(mbpRTU);
        if (c.firstWrite) e->WriteSingleReg(10, 7);
        else e->ReadHoldingRegs(1, 2);
        Pass();
        gNow += 1001;
        Pass();
        ASSERT_EQ(Outcomes(), std::vector<std::string>{"error 4"});
        if (c.write) e->WriteSingleReg(5, 7);
        else e->ReadHoldingRegs(2, 1);
        Pass();
        gNow += 1001; // no late answer within the time-out: the request goes
        Pass();
        Feed(WithCrc(Hex(c.stale)));
        Pass();
        Feed(WithCrc(Hex(c.write ? "01 06 00 04 00 07" : "01 03 02 00 02")));
        Pass();
        EXPECT_EQ(Outcomes(), (std::vector<std::string>{"error 4", c.write ? "wrote reg" : "holding"}));
        if (!c.write) {
            EXPECT_EQ(ToHex(rec.lastData), "00 02");
        }
    }
}

// A Modbus TCP answer whose header's length is shorter than its byte count
// is refused; it never takes its missing data from the frame behind it.
TEST_F(TcpMaster, MbapAnswerWhoseByteCountDoesNotFitItsFrameIsRefused)
{
    Up(mbpTCP);
    e->ReadHoldingRegs(1, 2);
    Pass();
    Feed(Hex("00 01 00 00 00 05 01 03 04 00 0A 00 01 00 00 00 06 01 03 04 00 0B"));
    Pass();
    EXPECT_TRUE(Outcomes().empty());
    gNow += 1001;
    Pass();
    EXPECT_EQ(Outcomes(), std::vector<std::string>{"error 4"});
}

} // namespace
