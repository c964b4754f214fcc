// SPDX-License-Identifier: GPL-3.0-or-later
// The transaction state machine driven pass by pass through the test seam,
// with a replaceable clock: time-outs and retries, checks of complete
// responses, disconnects, replaced and nested transactions, throwing
// handlers, and the exact frames of every operation.
#include <gtest/gtest.h>

#include <QTimer>
#include <stdexcept>

#include "CommPort.h"
#include "EngineAccess.h"
#include "EngineFixture.h"
#include "EngineRecorder.h"
#include "EngineTestUtil.h"
#include "ModbusFrames.h"
#include "TestSupport.h"

using A = TVexaModbusTestAccess;
using zorptest::EngineMemo;
using zorptest::EngineRecorder;
using zorptest::Hex;
using zorptest::ToHex;
using zorptest::WithCrc;

namespace {

uint32_t& gNow = zorptest::gEngineNow;

class Machine : public zorptest::EngineFixture {
protected:
    void SetUp() override
    {
        EngineFixture::SetUp();
        e->CommPort()->SetDevicePathOverride(QStringLiteral("/nonexistent/zorp-no-such-tty"));
    }

    void FeedCrc(const char* hex) { Feed(WithCrc(Hex(hex))); }
    std::string Sent(size_t i) const { return i < rec.sent.size() ? ToHex(rec.sent[i]) : std::string(); }
    std::string LastSent() const { return rec.sent.empty() ? std::string() : ToHex(rec.sent.back()); }
    int State() const { return e->GetState(); }
    void Clear() { rec.events.clear(); rec.sent.clear(); memo->lines.clear(); }
    QStringList LogWithout(const QString& prefix) const
    {
        QStringList out;
        for (const QString& l : memo->lines)
            if (!l.startsWith(prefix)) out << l;
        return out;
    }
};

} // namespace

TEST_F(Machine, SilentSlaveGetsMaxRepeatPlusOneRequestsThenErrorFour)
{
    Up();
    e->ReadHoldingRegs(1, 10);
    std::vector<uint32_t> sentAt;
    for (int attempt = 0; attempt < 4; ++attempt) {
        Pass(); // request
        ASSERT_EQ(State(), msWaitForReadHoldingRegs);
        sentAt.push_back(gNow);
        gNow += 3000;
        Pass(); // exactly Timeout elapsed: still waiting
        ASSERT_EQ(State(), msWaitForReadHoldingRegs);
        gNow += 1;
        Pass(); // 3001 ms: time-out
    }
    EXPECT_EQ(rec.sent.size(), 4u);
    for (size_t i = 0; i < rec.sent.size(); ++i) EXPECT_EQ(Sent(i), "01 03 00 00 00 0A C5 CD");
    for (size_t i = 1; i < sentAt.size(); ++i) EXPECT_GE(sentAt[i] - sentAt[i - 1], 3001u);
    EXPECT_EQ(State(), msIdle);
    EXPECT_EQ(rec.Outcomes(), std::vector<std::string>{"error 4"});
    // The report follows the state change.
    ASSERT_GE(rec.events.size(), 2u);
    EXPECT_EQ(rec.events[rec.events.size() - 2], "state 15");

    const QStringList log = LogWithout(QStringLiteral("Status:"));
    QStringList expect;
    for (int i = 0; i < 3; ++i) expect << QStringLiteral("not FrameCompleted...") << QStringLiteral("Ponowienie");
    expect << QStringLiteral("not FrameCompleted...") << QStringLiteral("Error: Nie odebrano poprawnych danych !!!");
    EXPECT_EQ(log, expect);
}

TEST_F(Machine, MaxRepeatZeroFailsAtTheFirstTimeout)
{
    Up();
    e->SetMaxRepeat(0);
    e->ReadCoils(1, 8);
    Pass();
    gNow += 3001;
    Pass();
    EXPECT_EQ(rec.sent.size(), 1u);
    EXPECT_EQ(rec.Outcomes(), std::vector<std::string>{"error 4"});
    EXPECT_FALSE(memo->lines.contains(QStringLiteral("Ponowienie")));
}

TEST_F(Machine, TickCountWrapDoesNotEndTheWaitEarly)
{
    Up();
    e->SetTimeout(100);
    gNow = 0xFFFFFFF0u;
    e->ReadInputRegs(1, 1);
    Pass();
    gNow += 0x40; // wrapped: 64 ms elapsed
    Pass();
    EXPECT_EQ(State(), msWaitForReadInputRegs);
    gNow += 37; // 101 ms
    Pass();
    EXPECT_EQ(State(), msReadInputRegs); // retry
}

TEST_F(Machine, AckTimeoutRetriesTheIdenticalRequestWithoutTheReadLine)
{
    Up();
    const std::vector<bool> coils = {true, false, true, true, false, false, true, true, true, false};
    ASSERT_TRUE(e->WriteMultiCoils(20, 10, coils, false));
    Pass();
    gNow += 3001;
    Pass();
    EXPECT_EQ(State(), msWriteMultiCoils);
    Pass();
    ASSERT_EQ(rec.sent.size(), 2u);
    EXPECT_EQ(Sent(0), "01 0F 00 13 00 0A 02 CD 01 72 CB");
    EXPECT_EQ(Sent(1), Sent(0));
    EXPECT_TRUE(memo->lines.contains(QStringLiteral("Ponowienie")));
    EXPECT_FALSE(memo->lines.contains(QStringLiteral("not FrameCompleted...")));
    Feed(Hex("01 0F 00 13 00 0A 24 09"));
    Pass();
    EXPECT_EQ(rec.Outcomes(), std::vector<std::string>{"wrote coils"});
    EXPECT_TRUE(A::SendConfirm(*e));
}

TEST_F(Machine, ResponseInThreeChunksCompletesWithTheLast)
{
    Up();
    e->ReadHoldingRegs(1, 2);
    Pass();
    const auto resp = WithCrc(Hex("01 03 04 00 0A 01 02")); // 9 bytes
    Feed({resp.begin(), resp.begin() + 2});
    Pass();
    EXPECT_FALSE(A::FrameCompleted(*e)); // byte count not yet known
    Feed({resp.begin() + 2, resp.begin() + 5});
    Pass();
    EXPECT_FALSE(A::FrameCompleted(*e));
    EXPECT_EQ(State(), msWaitForReadHoldingRegs);
    Feed({resp.begin() + 5, resp.end()});
    EXPECT_TRUE(A::FrameCompleted(*e));
    EXPECT_EQ(rec.received.size(), 3u);
    EXPECT_EQ(e->RxCounter(), 9);
    Pass();
    EXPECT_EQ(State(), msIdle);
    EXPECT_EQ(rec.Outcomes(), std::vector<std::string>{"holding"});
    EXPECT_EQ(ToHex(rec.lastData), "00 0A 01 02");
    EXPECT_EQ(rec.lastAddr, 1);
    EXPECT_EQ(rec.lastCount, 2);
    EXPECT_EQ(e->TxCounter(), 8);
}

TEST_F(Machine, CheckFailuresAreReportedAtOnceAndNotRetried)
{
    struct Case { const char* name; TMachineStates arm; std::vector<uint8_t> response; int code; };
    auto bad = WithCrc(Hex("02 03 02 00 01"));
    bad.back() ^= 0x55;
    auto badCrc = WithCrc(Hex("01 03 02 00 01"));
    badCrc.back() ^= 0x55;
    const Case cases[] = {
        // Every RTU frame is checked by its CRC before anything in it is
        // believed: its address, its exception bit.
        {"bad CRC wins over another device", msReadHoldingRegs, bad, 7},
        {"other device", msReadHoldingRegs, WithCrc(Hex("02 03 02 00 01")), 9},
        {"bad CRC", msReadHoldingRegs, badCrc, 7},
        {"wrong function", msReadInputRegs, WithCrc(Hex("01 03 02 00 01")), 10},
        {"file record answered with 03", msReadFileRecord, WithCrc(Hex("01 03 02 00 01")), 10},
        {"exception 1", msReadCoils, WithCrc(Hex("01 81 01")), 20},
        {"exception 2 with a bad CRC is a bad frame", msReadHoldingRegs, Hex("01 83 02 00 00"), 7},
        {"exception with a bad CRC in a write", msWriteSingleReg, Hex("01 86 02 00 00"), 5},
        {"exception 3", msReadDiscreteInputs, WithCrc(Hex("01 82 03")), 22},
        {"exception 4 in a read", msReadHoldingRegs, WithCrc(Hex("01 83 04")), 23},
        {"exception 4 in a write", msWriteSingleReg, WithCrc(Hex("01 86 04")), 30},
        {"echo of another value", msWriteSingleReg, WithCrc(Hex("01 06 00 00 00 08")), 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Up();
        Clear();
        switch (c.arm) {
        case msReadHoldingRegs: e->ReadHoldingRegs(1, 1); break;
        case msReadInputRegs: e->ReadInputRegs(1, 1); break;
        case msReadFileRecord: e->ReadFileRecord(1, 0, 1); break;
        case msReadCoils: e->ReadCoils(1, 1); break;
        case msReadDiscreteInputs: e->ReadDiscreteInputs(1, 1); break;
        case msWriteSingleReg: e->WriteSingleReg(1, 7); break;
        default: FAIL();
        }
        Pass();
        Feed(c.response);
        Pass();
        EXPECT_EQ(State(), msIdle);
        const std::vector<std::string> expect = {"state 15", "error " + std::to_string(c.code)};
        ASSERT_GE(rec.events.size(), 2u);
        EXPECT_EQ(std::vector<std::string>(rec.events.end() - 2, rec.events.end()), expect);
        EXPECT_TRUE(memo->lines.contains(QString::fromUtf8(zorp::ErrorMessage(c.code))));
        gNow += 10000;
        Pass();
        EXPECT_EQ(rec.sent.size(), 1u); // no retry after a failed check
    }
}

TEST_F(Machine, ExceptionCodeFiveIsRetriedAfterAFreshTimeout)
{
    Up();
    e->SetMaxRepeat(1);
    e->ReadHoldingRegs(1, 1);
    Pass();
    gNow += 2000;
    Feed(WithCrc(Hex("01 83 05")));
    Pass();
    EXPECT_TRUE(rec.Outcomes().empty());
    EXPECT_EQ(State(), msWaitForReadHoldingRegs);
    EXPECT_FALSE(A::FrameCompleted(*e));
    EXPECT_TRUE(A::Buffer(*e).empty());
    EXPECT_EQ(A::TimeoutStamp(*e), gNow);
    gNow += 3000;
    Pass();
    EXPECT_EQ(State(), msWaitForReadHoldingRegs); // counted afresh from the exception
    gNow += 1;
    Pass();
    Pass();
    EXPECT_EQ(rec.sent.size(), 2u);
}

TEST_F(Machine, ModbusTcpTakesOnlyTheAnswerCarryingTheRequestsIdentifier)
{
    e->SetProtocol(mbpTCP);
    e->Connect();
    Up(mbpTCP);
    e->ReadHoldingRegs(1, 10);
    Pass();
    EXPECT_EQ(Sent(0), "00 01 00 00 00 06 01 03 00 00 00 0A");
    // Another transaction identifier, or another protocol identifier, is
    // dropped by its length field, whole, even with an answer behind it in
    // the same segment; the wait goes on under the same time-out.
    const uint32_t stamp = A::TimeoutStamp(*e);
    gNow += 5;
    Feed(Hex("12 34 00 00 00 07 01 03 04 00 0A 01 02"));
    Feed(Hex("00 01 56 78 00 07 01 03 04 00 0A 01 02  00 01 00 00 00 07 01 03"));
    EXPECT_FALSE(A::FrameCompleted(*e));
    EXPECT_EQ(A::TimeoutStamp(*e), stamp);
    Feed(Hex("04 00 0A 01 02"));
    EXPECT_TRUE(A::FrameCompleted(*e));
    EXPECT_EQ(ToHex(A::Buffer(*e)), "01 03 04 00 0A 01 02");
    Feed(Hex("AA BB CC DD EE FF 01")); // trailing bytes are only appended
    EXPECT_EQ(A::Buffer(*e).size(), 14u);
    Pass();
    EXPECT_EQ(rec.Outcomes(), std::vector<std::string>{"holding"});
    EXPECT_EQ(ToHex(rec.lastData), "00 0A 01 02");
    // Every request takes a fresh identifier, retries included.
    e->SetTimeout(10);
    e->SetMaxRepeat(1);
    e->WriteSingleReg(1, 3);
    Pass();
    gNow += 11;
    Pass();
    Pass();
    EXPECT_EQ(Sent(1), "00 02 00 00 00 06 01 06 00 00 00 03");
    EXPECT_EQ(Sent(2), "00 03 00 00 00 06 01 06 00 00 00 03");
    Feed(Hex("00 03 00 00 00 06 01 06 00 00 00 03"));
    Pass();
    EXPECT_EQ(rec.Outcomes().back(), "wrote reg");
    // A TCP exception is complete at 9 bytes.
    e->ReadCoils(1, 1);
    Pass();
    Feed(Hex("00 04 00 00 00 03 01 81 02"));
    Pass();
    EXPECT_EQ(rec.Outcomes().back(), "error 21");
}

TEST_F(Machine, RemoveEchoDropsAnExactCopyOfTheRequestOnly)
{
    struct Case { const char* name; TModbusProtocol protocol; bool removeEcho; std::vector<const char*> chunks; const char* outcome; };
    const Case cases[] = {
        // The echo may come in pieces; the answer behind it is then taken.
        {"echo in pieces", mbpRTU, true, {"01 03 00 00", "00 01 84 0A 01 03 02 00 07 F9 86"}, "holding"},
        {"no echo", mbpRTU, true, {"01 03 02 00 07 F9 86"}, "holding"},
        {"echo kept", mbpRTU, false, {"01 03 00 00 00 01 84 0A", "01 03 02 00 07 F9 86"}, "error 7"},
        {"copy with one byte changed", mbpRTU, true, {"01 03 00 00 00 02 C4 0B 01 03 02 00 07 F9 86"}, "error 7"},
        // Modbus TCP has no echo: nothing of the answer is taken for one.
        {"Modbus TCP", mbpTCP, true, {"00 01 00 00 00 05 01 03 02 00 07"}, "holding"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Clear();
        e->SetRemoveEcho(c.removeEcho);
        A::SetLastTransactionID(*e, 0);
        Up(c.protocol);
        e->ReadHoldingRegs(1, 1);
        Pass();
        for (const char* chunk : c.chunks) Feed(Hex(chunk));
        Pass();
        ASSERT_FALSE(rec.Outcomes().empty());
        EXPECT_EQ(rec.Outcomes().back(), c.outcome);
        if (std::string(c.outcome) == "holding") {
            EXPECT_EQ(ToHex(rec.lastData), "00 07");
        }
    }
}

TEST_F(Machine, ResponseByteCountTellsAShortCoilAnswer)
{
    Up();
    for (const char* answer : {"01 01 02 CD 01", "01 01 01 CD"}) {
        e->ReadCoils(20, 10);
        Pass();
        FeedCrc(answer);
        Pass();
        EXPECT_EQ(rec.Outcomes().back(), "coils");
        // Ten coils need two bytes: a caller refuses the answer that has one.
        EXPECT_EQ(e->ResponseByteCount(), Hex(answer)[2]);
    }
}

TEST_F(Machine, TransactionIdentifierWrapsToZero)
{
    A::SetLastTransactionID(*e, 0xFFFE);
    EXPECT_EQ(A::NextTransactionID(*e), 0xFFFF);
    EXPECT_EQ(A::NextTransactionID(*e), 0);
    EXPECT_EQ(A::NextTransactionID(*e), 1);
    e->Connect();
    EXPECT_EQ(A::LastTransactionID(*e), 0);
}

TEST_F(Machine, EveryWriteFrameAndItsAcknowledgement)
{
    struct Case { const char* name; std::function<void()> arm; const char* request; const char* ack; const char* event; };
    const Case cases[] = {
        {"coil on", [&] { e->WriteSingleCoil(1, true, false); }, "01 05 00 00 FF 00 8C 3A", "01 05 00 00 FF 00 8C 3A", "wrote coil"},
        {"coil off", [&] { e->WriteSingleCoil(1, false, false); }, "01 05 00 00 00 00 CD CA", "01 05 00 00 00 00 CD CA", "wrote coil"},
        {"relay", [&] { e->SetSingleRelay(1, true); }, "01 05 00 10 FF 00 8D FF", "01 05 00 10 FF 00 8D FF", "wrote coil"},
        {"register", [&] { e->WriteSingleReg(1, 3); }, "01 06 00 00 00 03 C9 CB", "01 06 00 00 00 03 C9 CB", "wrote reg"},
        {"special", [&] { e->WriteSingleSpecialReg(1, 5); }, "01 66 00 00 00 05 C9 C1", "01 66 00 00 00 05 C9 C1", "wrote special"},
        {"registers", [&] { EXPECT_TRUE(e->WriteMultiRegs(1, 2, {10, 258})); },
         "01 10 00 00 00 02 04 00 0A 01 02 53 FC", "01 10 00 00 00 02 41 C8", "wrote regs"},
        {"coils", [&] { EXPECT_TRUE(e->WriteMultiCoils(20, 10, {true, false, true, true, false, false, true, true, true, false}, false)); },
         "01 0F 00 13 00 0A 02 CD 01 72 CB", "01 0F 00 13 00 0A 24 09", "wrote coils"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Up();
        Clear();
        c.arm();
        Pass();
        EXPECT_EQ(LastSent(), c.request);
        Feed(Hex(c.ack));
        Pass();
        EXPECT_EQ(rec.Outcomes(), std::vector<std::string>{c.event});
        EXPECT_EQ(State(), msIdle);
    }
    EXPECT_TRUE(A::SendConfirm(*e)); // set by the coil writes
}

TEST_F(Machine, WrongEchoIsErrorFiveWithoutEvent)
{
    Up();
    e->WriteSingleReg(1, 3);
    Pass();
    FeedCrc("01 06 00 00 00 04");
    Pass();
    EXPECT_EQ(rec.Outcomes(), std::vector<std::string>{"error 5"});
}

TEST_F(Machine, ReadEventsCarryWhatTheResponseHeld)
{
    Up();
    e->ReadCoils(20, 10);
    Pass();
    EXPECT_EQ(LastSent(), "01 01 00 13 00 0A " + ToHex(std::vector<uint8_t>(rec.sent.back().end() - 2, rec.sent.back().end())));
    FeedCrc("01 01 02 CD 01");
    Pass();
    const std::vector<bool> expect = {true, false, true, true, false, false, true, true, true, false};
    EXPECT_EQ(rec.lastCoils, expect);
    EXPECT_EQ(rec.lastAddr, 20);
    EXPECT_EQ(rec.lastCount, 10);
    EXPECT_EQ(A::CoilsCount(*e), 0);

    e->ReadDiscreteInputs(20, 10);
    Pass();
    FeedCrc("01 02 02 CD 01");
    Pass();
    EXPECT_EQ(rec.Outcomes().back(), "inputs");
    EXPECT_EQ(ToHex(rec.lastData), "CD 01");
    EXPECT_EQ(rec.lastCount, 10);

    // A register response shorter than asked for is passed on as it is.
    e->ReadHoldingRegs(1, 2);
    Pass();
    FeedCrc("01 03 02 00 0A");
    Pass();
    EXPECT_EQ(ToHex(rec.lastData), "00 0A");
    EXPECT_EQ(rec.lastCount, 2);

    // A coil response with fewer bits than asked for: the rest read False.
    e->ReadCoils(1, 12);
    Pass();
    FeedCrc("01 01 01 FF");
    Pass();
    ASSERT_EQ(rec.lastCoils.size(), 12u);
    for (size_t k = 0; k < 12; ++k) EXPECT_EQ(rec.lastCoils[k], k < 8) << k;

    // The relays are the coils at 17 to 22.
    Clear();
    e->ReadRelayState();
    Pass();
    EXPECT_EQ(LastSent(), "01 01 00 10 00 06 BD CD");
    FeedCrc("01 01 01 05");
    Pass();
    EXPECT_EQ(rec.Outcomes(), std::vector<std::string>{"coils"});
    EXPECT_EQ(rec.lastAddr, 17);
    EXPECT_EQ(rec.lastCount, 6);

    e->ReadFileRecord(4, 0, 10);
    Pass();
    EXPECT_EQ(LastSent(), ToHex(WithCrc(Hex("01 14 07 06 00 04 00 00 00 0A"))));
    FeedCrc("01 14 04 03 06 00 07");
    Pass();
    EXPECT_EQ(rec.Outcomes().back(), "file 4");
    EXPECT_EQ(ToHex(rec.lastData), "03 06 00 07");

    e->ReadCoils(1, 0); // quantity 0 goes out as it is
    Pass();
    EXPECT_EQ(ToHex(std::vector<uint8_t>(rec.sent.back().begin(), rec.sent.back().begin() + 6)), "01 01 00 00 00 00");
}

TEST_F(Machine, OperationsDoNothingWhileNotConnected)
{
    e->ReadHoldingRegs(1, 1);
    e->WriteSingleReg(1, 1);
    e->WriteSingleCoil(1, true, true);
    EXPECT_TRUE(e->WriteMultiRegs(1, 1, {1}));
    EXPECT_TRUE(e->WriteMultiCoils(1, 1, {true}, true));
    Pass();
    EXPECT_EQ(State(), msNone);
    EXPECT_TRUE(rec.events.empty());
    EXPECT_TRUE(rec.sent.empty());
}

TEST_F(Machine, MultipleWritesOutsideTheirBoundsAreRefused)
{
    Up();
    e->ReadHoldingRegs(1, 1);
    Pass();
    const std::vector<uint16_t> regs(200, 1);
    EXPECT_FALSE(e->WriteMultiRegs(1, 0, regs));
    EXPECT_FALSE(e->WriteMultiRegs(1, 124, regs));
    EXPECT_FALSE(e->WriteMultiRegs(1, 3, {1, 2}));
    EXPECT_TRUE(e->WriteMultiRegs(1, 123, regs));
    EXPECT_EQ(State(), msWriteMultiRegs);
    Pass();
    EXPECT_EQ(rec.sent.back().size(), 9u + 246u);
    const std::vector<bool> coils(300, true);
    EXPECT_FALSE(e->WriteMultiCoils(1, 0, coils, true));
    EXPECT_FALSE(e->WriteMultiCoils(1, 256, coils, true));
    EXPECT_FALSE(e->WriteMultiCoils(1, 9, std::vector<bool>(8, true), true));
    EXPECT_EQ(State(), msWaitForWriteMultiRegs); // the pending write is left alone
    EXPECT_TRUE(e->WriteMultiCoils(1, 255, coils, false));
    Pass();
    EXPECT_EQ(ToHex(std::vector<uint8_t>(rec.sent.back().begin(), rec.sent.back().begin() + 7)), "01 0F 00 00 00 FF 20");
}

TEST_F(Machine, DisconnectDuringAWait)
{
    Up();
    e->ReadHoldingRegs(1, 1);
    Pass();
    e->Disconnect();
    Pass();
    EXPECT_EQ(State(), msDisconnect);
    Pass();
    EXPECT_EQ(State(), msNone);
    EXPECT_FALSE(e->Connected());
    EXPECT_EQ(rec.Outcomes(), std::vector<std::string>{"disconnect"});
    EXPECT_TRUE(memo->lines.contains(QStringLiteral("Rozłączenie")));

    // A response already complete in that pass still raises its event.
    Up();
    Clear();
    e->ReadHoldingRegs(1, 1);
    Pass();
    FeedCrc("01 03 02 00 07");
    e->Disconnect();
    Pass();
    EXPECT_EQ(State(), msDisconnect);
    Pass();
    EXPECT_EQ(rec.Outcomes(), (std::vector<std::string>{"holding", "disconnect"}));
}

TEST_F(Machine, LostLinkIsErrorSixteenThenDisconnect)
{
    Up();
    A::SetPortOpenForTests(*e, false); // the port closed under the link
    e->ReadHoldingRegs(1, 1);
    Pass();
    EXPECT_TRUE(rec.sent.empty());
    EXPECT_EQ(State(), msDisconnect);
    ASSERT_GE(rec.events.size(), 2u);
    EXPECT_EQ(rec.events[rec.events.size() - 2], "state 14");
    EXPECT_EQ(rec.events.back(), "error 16");
    Pass();
    EXPECT_EQ(rec.Outcomes(), (std::vector<std::string>{"error 16", "disconnect"}));
}

TEST_F(Machine, TransportErrorIsErrorFifteenWithTheLinkDown)
{
    Up();
    bool connectedInHandler = true;
    e->OnError = [&](QObject*, int32_t code) {
        rec.events.push_back("error " + std::to_string(code));
        connectedInHandler = e->Connected();
    };
    A::SetState(*e, msSystemError); // what the port's error notification does
    Pass();
    EXPECT_EQ(State(), msNone);
    EXPECT_EQ(rec.Outcomes(), std::vector<std::string>{"error 15"});
    EXPECT_FALSE(connectedInHandler);
}

TEST_F(Machine, ANewReadReplacesThePendingOne)
{
    Up();
    e->ReadHoldingRegs(1, 1);
    Pass();
    e->ReadHoldingRegs(5, 1);
    Pass();
    EXPECT_EQ(rec.sent.size(), 2u);
    // The late answer to the first request fits the second one and is taken.
    FeedCrc("01 03 02 00 2A");
    Pass();
    EXPECT_EQ(rec.Outcomes(), std::vector<std::string>{"holding"});
    EXPECT_EQ(rec.lastAddr, 5);
}

TEST_F(Machine, BytesArrivingWhileIdleAreDiscardedByTheNextRequest)
{
    Up();
    FeedCrc("01 03 02 00 2A");
    EXPECT_EQ(rec.received.size(), 1u);
    Pass();
    EXPECT_TRUE(rec.Outcomes().empty());
    e->ReadHoldingRegs(1, 1);
    Pass();
    EXPECT_TRUE(A::Buffer(*e).empty());
    EXPECT_FALSE(A::FrameCompleted(*e));
}

TEST_F(Machine, AReadIssuedInsideAReadEventIsTaken)
{
    Up();
    e->OnReadHoldingRegs = [&](QObject*, uint8_t, uint16_t, uint16_t, const std::vector<uint8_t>&) {
        rec.events.push_back("holding");
        EXPECT_EQ(State(), msIdle);
        e->ReadCoils(3, 1);
    };
    e->ReadHoldingRegs(1, 1);
    Pass();
    FeedCrc("01 03 02 00 01");
    Pass();
    EXPECT_EQ(State(), msReadCoils);
    Pass();
    EXPECT_EQ(ToHex(std::vector<uint8_t>(rec.sent.back().begin(), rec.sent.back().begin() + 6)), "01 01 00 02 00 01");
}

TEST_F(Machine, AThrowingHandlerEndsThePassButNotTheMachine)
{
    Up();
    int calls = 0;
    e->OnReadHoldingRegs = [&](QObject*, uint8_t, uint16_t, uint16_t, const std::vector<uint8_t>&) {
        ++calls;
        throw std::runtime_error("handler failed");
    };
    e->OnSendData = [](QObject*, const void*, int32_t) { throw 42; };  // swallowed
    e->OnReceiveData = [](QObject*, const uint8_t*, int32_t) { throw 43; }; // swallowed
    e->ReadHoldingRegs(1, 1);
    Pass();
    EXPECT_EQ(e->TxCounter(), 8);
    FeedCrc("01 03 02 00 01");
    EXPECT_TRUE(A::FrameCompleted(*e)); // the bytes were kept
    e->Disconnect();
    EXPECT_THROW(Pass(), std::runtime_error);
    EXPECT_FALSE(A::InMainLoop(*e));
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(State(), msIdle); // the disconnect check of that pass was skipped
    Pass();
    EXPECT_EQ(State(), msDisconnect);
    Pass();
    EXPECT_EQ(State(), msNone);
    // And everything keeps working afterwards.
    Up();
    e->ReadHoldingRegs(1, 1);
    Pass();
    EXPECT_EQ(State(), msWaitForReadHoldingRegs);
}

TEST_F(Machine, ErrorsAreReportedAfterTheStateExceptZeroAndOne)
{
    std::vector<std::pair<int, int>> seen; // (code, state seen by the handler)
    e->OnError = [&](QObject*, int32_t code) { seen.emplace_back(code, e->GetState()); };
    e->Connect();
    Pass(); // the port cannot open: error 1 while still in msIdle
    Up();
    e->ReadHoldingRegs(1, 1);
    Pass();
    FeedCrc("02 03 02 00 01");
    Pass();
    const std::vector<std::pair<int, int>> expect = {{1, msIdle}, {9, msIdle}};
    EXPECT_EQ(seen, expect);
    EXPECT_EQ(State(), msIdle);
}

TEST_F(Machine, BlockingCoilWriteWaitsForItsAcknowledgement)
{
    e->Connect();
    Pass(); // the opening fails; the machine stays enabled
    Up();
    Clear();
    e->OnSendData = [&](QObject*, const void* b, int32_t n) {
        const auto* p = static_cast<const uint8_t*>(b);
        rec.sent.emplace_back(p, p + n);
        const std::vector<uint8_t> echo(p, p + n);
        QTimer::singleShot(5, e, [this, echo] { Feed(echo); });
    };
    e->WriteSingleCoil(1, true, true);
    // Returned because the acknowledgement came, after its event.
    EXPECT_TRUE(A::SendConfirm(*e));
    EXPECT_EQ(rec.Outcomes(), std::vector<std::string>{"wrote coil"});
    EXPECT_EQ(State(), msIdle);

    Clear();
    e->OnSendData = nullptr;
    ASSERT_TRUE(e->WriteMultiCoils(1, 3, {true, true, false}, true));
    EXPECT_FALSE(A::SendConfirm(*e)); // silent slave: all 200 rounds, no outcome yet
    EXPECT_TRUE(rec.Outcomes().empty());
}

TEST_F(Machine, BlockingCoilWriteEndsAtOnceWhenThePortIsClosed)
{
    Up();
    A::SetPortOpenForTests(*e, false);
    e->WriteSingleCoil(1, true, true);
    EXPECT_EQ(State(), msWriteSingleCoil);
    EXPECT_FALSE(A::SendConfirm(*e));
}

TEST(EngineImages, SetClearsFirstAndGetCopiesWhatFits)
{
    TVexaModbus e;
    e.Set_MapData({1, 2, 3});
    std::vector<uint16_t> five(5, 9);
    e.Get_MapData(five);
    EXPECT_EQ(five, (std::vector<uint16_t>{1, 2, 3, 0, 0}));
    e.Set_MapData(std::vector<uint16_t>(65537, 7)); // too many: the image stays cleared
    e.Get_MapData(five);
    EXPECT_EQ(five, std::vector<uint16_t>(5, 0));
    std::vector<uint16_t> huge(65537, 9);
    e.Get_MapData(huge); // too many: nothing copied
    EXPECT_EQ(huge[0], 9);
    std::vector<uint16_t> all(65536, 9);
    e.Set_MapData({5});
    e.Get_MapData(all);
    EXPECT_EQ(all[0], 5);
    EXPECT_EQ(all[65535], 0);

    e.Set_CoilData({true, false, true});
    std::vector<bool> coils(4, true);
    e.Get_CoilData(coils);
    EXPECT_EQ(coils, (std::vector<bool>{true, false, true, false}));
    EXPECT_TRUE(A::Coil(e, 2));
    e.Set_CoilData(std::vector<bool>(65537, true));
    EXPECT_FALSE(A::Coil(e, 0));
}

