// SPDX-License-Identifier: GPL-3.0-or-later
// The engine over a real loopback TCP link against a scripted slave: link
// up and down, transactions end to end, chunked answers, time-outs in real
// time, a refused connection, a peer that closes, throwing handlers reached
// from the event loop, and the timer resting while idle.
#include <gtest/gtest.h>

#include <QTcpServer>
#include <stdexcept>

#include "CommPort.h"
#include "EngineAccess.h"
#include "EngineRecorder.h"
#include "EngineScriptedSlave.h"
#include "EngineTestUtil.h"
#include "PortPty.h"
#include "TestSupport.h"

using A = TVexaModbusTestAccess;
using zorptest::EngineMemo;
using zorptest::EngineRecorder;
using zorptest::EngineScriptedSlave;
using zorptest::Hex;
using zorptest::ToHex;
using zorptest::spin;
using zorptest::waitUntil;
using zorptest::WithCrc;

namespace {

class Link : public ::testing::Test {
protected:
    EngineRecorder rec;
    EngineScriptedSlave slave;
    QObject owner;
    EngineMemo* memo = nullptr;
    TVexaModbus* e = nullptr;

    void SetUp() override
    {
        ASSERT_NE(slave.port(), 0);
        memo = new EngineMemo(&owner);
        e = new TVexaModbus(&owner);
        rec.Attach(*e);
        e->SetInterfaceType(mbiEthernet);
        e->SetEthIP(QStringLiteral("127.0.0.1"));
        e->SetEthPort(slave.port());
    }

    bool ConnectUp(TModbusProtocol p)
    {
        e->SetProtocol(p);
        e->Connect();
        return waitUntil([&] { return e->Connected(); });
    }
    bool WaitOutcome(size_t n = 1)
    {
        return waitUntil([&] { return rec.Outcomes().size() >= n; });
    }
};

// Echo for writes, a two-register answer for reads, in the framing asked.
EngineScriptedSlave::Chunks TcpAnswer(const std::vector<uint8_t>& req)
{
    if (req.size() < 12) return {};
    std::vector<uint8_t> out(req.begin(), req.begin() + 4);
    if (req[7] == 3) {
        const std::vector<uint8_t> pdu = {req[6], 3, 4, 0x00, 0x0A, 0x01, 0x02};
        out.push_back(0);
        out.push_back(uint8_t(pdu.size()));
        out.insert(out.end(), pdu.begin(), pdu.end());
        return {out};
    }
    return {req};
}

} // namespace

TEST_F(Link, ModbusTcpReadEndToEnd)
{
    slave.responder = TcpAnswer;
    ASSERT_TRUE(ConnectUp(mbpTCP));
    EXPECT_EQ(rec.Outcomes(), std::vector<std::string>{"connect"});
    EXPECT_EQ(e->GetState(), msIdle);
    EXPECT_TRUE(memo->lines.contains(QStringLiteral("Zestawiono połączenie TCP/IP")));

    e->ReadHoldingRegs(1, 10);
    ASSERT_TRUE(WaitOutcome(2));
    EXPECT_EQ(rec.Outcomes().back(), "holding");
    ASSERT_EQ(slave.requests.size(), 1u);
    EXPECT_EQ(ToHex(slave.requests[0]), "00 01 00 00 00 06 01 03 00 00 00 0A");
    EXPECT_EQ(ToHex(rec.lastData), "00 0A 01 02");
    EXPECT_EQ(e->RxCounter(), 13);
    EXPECT_EQ(e->TxCounter(), 12);

    e->WriteSingleReg(1, 3);
    ASSERT_TRUE(WaitOutcome(3));
    EXPECT_EQ(rec.Outcomes().back(), "wrote reg");
    EXPECT_EQ(ToHex(slave.requests[1]), "00 02 00 00 00 06 01 06 00 00 00 03");

    // Resting in msIdle with nothing pending, the timer does not run.
    EXPECT_FALSE(A::TimerActive(*e));

    e->Disconnect();
    ASSERT_TRUE(WaitOutcome(4));
    EXPECT_EQ(rec.Outcomes().back(), "disconnect");
    EXPECT_FALSE(e->CommPort()->Open());
    EXPECT_EQ(e->GetState(), msNone);
    EXPECT_FALSE(A::TimerActive(*e));
}

TEST_F(Link, RtuOverTcpAnswerInThreeChunks)
{
    slave.responder = [](const std::vector<uint8_t>&) {
        const auto r = WithCrc(Hex("01 03 04 00 0A 01 02"));
        return EngineScriptedSlave::Chunks{{r.begin(), r.begin() + 2}, {r.begin() + 2, r.begin() + 5}, {r.begin() + 5, r.end()}};
    };
    slave.chunkPauseMs = 20;
    ASSERT_TRUE(ConnectUp(mbpRTU));
    e->ReadHoldingRegs(1, 2);
    ASSERT_TRUE(WaitOutcome(2));
    EXPECT_EQ(rec.Outcomes().back(), "holding");
    EXPECT_EQ(ToHex(slave.requests.at(0)), "01 03 00 00 00 02 C4 0B");
    EXPECT_EQ(rec.received.size(), 3u);
    EXPECT_EQ(e->RxCounter(), 9);
    EXPECT_EQ(ToHex(rec.lastData), "00 0A 01 02");
}

TEST_F(Link, SilentSlaveTimesOutAfterTheRetries)
{
    ASSERT_TRUE(ConnectUp(mbpRTU));
    e->SetTimeout(30);
    e->SetMaxRepeat(2);
    e->ReadCoils(1, 8);
    ASSERT_TRUE(WaitOutcome(2));
    EXPECT_EQ(rec.Outcomes().back(), "error 4");
    EXPECT_EQ(slave.requests.size(), 3u);
    EXPECT_EQ(e->GetState(), msIdle);
    EXPECT_FALSE(A::TimerActive(*e));
}

TEST_F(Link, WaitFollowsATimeoutShortenedWhileItRuns)
{
    ASSERT_TRUE(ConnectUp(mbpRTU));
    e->SetTimeout(60000);
    e->SetMaxRepeat(0);
    e->ReadCoils(1, 8);
    ASSERT_TRUE(waitUntil([&] { return slave.requests.size() == 1; }));
    spin(20);
    e->SetTimeout(30);
    ASSERT_TRUE(WaitOutcome(2));
    EXPECT_EQ(rec.Outcomes().back(), "error 4");
    EXPECT_EQ(slave.requests.size(), 1u);
}

TEST_F(Link, AnswerCompletedInsideAHandlersNestedLoopIsTakenThere)
{
    // The first chunk's handler runs the event loop itself (a dialog, say);
    // the rest of the answer arrives meanwhile, and the transaction ends
    // there rather than at its time-out.
    slave.responder = [](const std::vector<uint8_t>&) {
        const auto r = WithCrc(Hex("01 03 04 00 0A 01 02"));
        return EngineScriptedSlave::Chunks{{r.begin(), r.begin() + 3}, {r.begin() + 3, r.end()}};
    };
    slave.chunkPauseMs = 20;
    ASSERT_TRUE(ConnectUp(mbpRTU));
    e->SetTimeout(60000);
    bool nested = false, endedInside = false;
    auto record = e->OnReceiveData;
    e->OnReceiveData = [&](QObject* sender, const uint8_t* block, int32_t size) {
        if (record) record(sender, block, size);
        if (nested) return;
        nested = true;
        endedInside = waitUntil([&] { return rec.Outcomes().size() >= 2; }, 3000);
    };
    e->ReadHoldingRegs(1, 2);
    ASSERT_TRUE(WaitOutcome(2));
    EXPECT_TRUE(endedInside);
    EXPECT_EQ(rec.Outcomes().back(), "holding");
    EXPECT_EQ(ToHex(rec.lastData), "00 0A 01 02");
}

TEST_F(Link, RefusedConnectionEndsWithErrorFifteen)
{
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
    const uint16_t closedPort = probe.serverPort();
    probe.close();
    e->SetEthPort(closedPort);
    e->SetProtocol(mbpTCP);
    e->Connect();
    ASSERT_TRUE(WaitOutcome());
    EXPECT_EQ(rec.Outcomes(), std::vector<std::string>{"error 15"});
    EXPECT_EQ(e->GetState(), msNone);
    EXPECT_FALSE(e->Connected());
}

TEST_F(Link, PeerCloseIsNoticedByTheNextRequest)
{
    ASSERT_TRUE(ConnectUp(mbpTCP));
    ASSERT_TRUE(waitUntil([&] { return slave.hasClient(); }));
    slave.dropClient();
    ASSERT_TRUE(waitUntil([&] { return memo->lines.contains(QStringLiteral("Rozłączono")); }));
    EXPECT_TRUE(e->Connected());
    EXPECT_EQ(e->GetState(), msIdle);
    e->ReadHoldingRegs(1, 1);
    ASSERT_TRUE(WaitOutcome(3));
    EXPECT_EQ(rec.Outcomes(), (std::vector<std::string>{"connect", "error 16", "disconnect"}));
    EXPECT_FALSE(e->Connected());
}

TEST_F(Link, DisconnectBeforeTheFirstPassStillEndsTheLink)
{
    e->SetProtocol(mbpTCP);
    e->Connect();
    e->Disconnect();
    ASSERT_TRUE(waitUntil([&] { return rec.Count("disconnect") == 1; }));
    EXPECT_EQ(e->GetState(), msNone);
    EXPECT_FALSE(e->CommPort()->Open());
}

TEST_F(Link, ThrowingHandlersNeverStopTheEngine)
{
    std::vector<std::string> caught;
    zorp::SetUnhandledExceptionHandler([&](std::exception_ptr p) {
        try { std::rethrow_exception(p); } catch (const std::exception& x) { caught.push_back(x.what()); } catch (...) {}
    });
    slave.responder = TcpAnswer;
    e->OnConnect = [&](QObject*) {
        rec.events.push_back("connect");
        throw std::runtime_error("connect handler");
    };
    ASSERT_TRUE(ConnectUp(mbpTCP));
    ASSERT_TRUE(waitUntil([&] { return !caught.empty(); }));
    e->OnReadHoldingRegs = [&](QObject*, uint8_t, uint16_t, uint16_t, const std::vector<uint8_t>&) {
        rec.events.push_back("holding");
        throw std::runtime_error("read handler");
    };
    e->ReadHoldingRegs(1, 1);
    ASSERT_TRUE(WaitOutcome(2));
    ASSERT_TRUE(waitUntil([&] { return caught.size() == 2; }));
    EXPECT_EQ(caught[1], "read handler");
    e->ReadHoldingRegs(1, 1);
    ASSERT_TRUE(WaitOutcome(3));
    e->Disconnect();
    ASSERT_TRUE(WaitOutcome(4));
    EXPECT_EQ(rec.Outcomes(), (std::vector<std::string>{"connect", "holding", "holding", "disconnect"}));
    zorp::SetUnhandledExceptionHandler(nullptr);
}

TEST_F(Link, BlockingCoilWriteReturnsAfterTheAcknowledgement)
{
    // The acknowledgement: address, quantity or value, and its own CRC.
    slave.responder = [](const std::vector<uint8_t>& req) {
        return EngineScriptedSlave::Chunks{WithCrc({req.begin(), req.begin() + 6})};
    };
    ASSERT_TRUE(ConnectUp(mbpRTU));
    e->WriteSingleCoil(1, true, true);
    EXPECT_EQ(rec.Outcomes().back(), "wrote coil");
    EXPECT_EQ(ToHex(slave.requests.at(0)), "01 05 00 00 FF 00 8C 3A");
    ASSERT_TRUE(e->WriteMultiCoils(20, 10, {true, false, true, true, false, false, true, true, true, false}, true));
    EXPECT_EQ(rec.Outcomes().back(), "wrote coils");
}

TEST(SerialLink, SerialMasterComesUpInsideTheOpeningPass)
{
    zorptest::PortPty pty;
    ASSERT_TRUE(pty.ok());
    EngineRecorder rec;
    TVexaModbus e;
    rec.Attach(e);
    bool insidePass = false;
    e.OnConnect = [&](QObject*) {
        rec.events.push_back("connect");
        insidePass = A::InMainLoop(e);
    };
    e.CommPort()->SetDevicePathOverride(pty.slavePath());
    e.SetComSpeed(115200);
    e.Connect();
    ASSERT_TRUE(waitUntil([&] { return e.Connected(); }));
    EXPECT_TRUE(insidePass);
    EXPECT_EQ(e.GetState(), msIdle);

    e.ReadHoldingRegs(1, 10);
    EXPECT_EQ(pty.read(8).toHex(' ').toUpper().toStdString(), "01 03 00 00 00 0A C5 CD");
    const auto resp = WithCrc(Hex("01 03 02 12 34"));
    pty.write(QByteArray(reinterpret_cast<const char*>(resp.data()), qsizetype(resp.size())));
    ASSERT_TRUE(waitUntil([&] { return rec.Count("holding") == 1; }));
    EXPECT_EQ(ToHex(rec.lastData), "12 34");
}

TEST(SerialLink, NoInterfaceOpensTheSerialLayerButNeverComesUp)
{
    zorptest::PortPty pty;
    ASSERT_TRUE(pty.ok());
    EngineRecorder rec;
    TVexaModbus e;
    rec.Attach(e);
    e.SetInterfaceType(mbiNone);
    e.CommPort()->SetDevicePathOverride(pty.slavePath());
    e.Connect();
    ASSERT_TRUE(waitUntil([&] { return e.CommPort()->Open(); }));
    zorptest::spin(20);
    EXPECT_EQ(e.CommPort()->DeviceLayer, dlSerial);
    EXPECT_FALSE(e.Connected());
    EXPECT_TRUE(rec.Outcomes().empty());
    EXPECT_EQ(e.GetState(), msIdle);
}
