// SPDX-License-Identifier: GPL-3.0-or-later
// The engine in listening mode, in process, over a real pseudo-terminal and
// real loopback sockets: every answer byte for byte, what is not answered,
// the order of image, answer and event, refusals, and the TCP client's
// arrival and departure.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QStringList>
#include <stdexcept>

#include "CommPort.h"
#include "SlaveSupport.h"
#include "TestSupport.h"
#include "VexaModbus.h"

using slavetest::Hex;
using slavetest::ToHex;
using slavetest::WithCrc;

namespace {

// How long a request that gets no answer is given before the next one.
constexpr int kSilenceMs = 150;

struct Listener {
    TVexaModbus mdb;
    QStringList events;
    bool listening = false;

    Listener()
    {
        mdb.OnListen = [this](QObject*) { listening = true; };
        mdb.OnWriteSingleReg = [this](QObject*) { events << QStringLiteral("06"); };
        mdb.OnWriteSingleCoil = [this](QObject*) { events << QStringLiteral("05"); };
        mdb.OnWriteSingleSpecialReg = [this](QObject*) { events << QStringLiteral("102"); };
        mdb.OnWriteMultiRegs = [this](QObject*) { events << QStringLiteral("16"); };
        mdb.OnWriteMultiCoils = [this](QObject*) { events << QStringLiteral("15"); };
        mdb.OnClientConnect = [this](QObject* sender, const QString& ip) {
            events << QStringLiteral("connect %1 %2").arg(ip).arg(sender == mdb.CommPort() ? "port" : "other");
        };
        mdb.OnClientDisconnect = [this](QObject* sender) {
            events << QStringLiteral("leave %1").arg(sender == mdb.CommPort() ? "port" : "other");
        };
        mdb.OnError = [this](QObject*, int32_t code) { events << QStringLiteral("error %1").arg(code); };
    }

    // Register image 10, 258 at 0 and 1; coils 0-9 = 1011001110.
    void FillImages()
    {
        mdb.Set_MapData({10, 258});
        mdb.Set_CoilData({true, false, true, true, false, false, true, true, true, false});
    }

    bool ListenRtu(const QString& device)
    {
        mdb.SetInterfaceType(mbiRS485);
        mdb.SetProtocol(mbpRTU);
        mdb.CommPort()->SetDevicePathOverride(device);
        mdb.Listen();
        return zorptest::waitUntil([this] { return listening; }, 5000);
    }

    // Listens on a free loopback port; returns it, or 0.
    quint16 ListenTcp(TModbusProtocol protocol)
    {
        mdb.SetInterfaceType(mbiEthernet);
        mdb.SetProtocol(protocol);
        mdb.SetEthPort(0);
        mdb.CommPort()->WsBindAddress = QStringLiteral("127.0.0.1");
        mdb.Listen();
        if (!zorptest::waitUntil([this] { return listening; }, 5000)) return 0;
        return mdb.CommPort()->ServerPort();
    }

    uint16_t Reg(int i)
    {
        std::vector<uint16_t> m(size_t(i) + 1);
        mdb.Get_MapData(m);
        return m[size_t(i)];
    }
    bool Coil(int i)
    {
        std::vector<bool> c(size_t(i) + 1);
        mdb.Get_CoilData(c);
        return c[size_t(i)];
    }
};

class ListenRtuPty : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(pty.Ok());
        s.FillImages();
        ASSERT_TRUE(s.ListenRtu(pty.SlavePath()));
        EXPECT_EQ(s.mdb.GetState(), int(msIdleSlave));
        EXPECT_FALSE(s.mdb.Connected());
    }
    // Sends a request and returns exactly the bytes of the expected answer.
    QString Ask(const QByteArray& request, int answerLength)
    {
        pty.Write(request);
        return ToHex(pty.Read(answerLength));
    }
    QString AskSilent(const QByteArray& request)
    {
        pty.Write(request);
        return ToHex(pty.ReadFor(kSilenceMs));
    }
    slavetest::Pty pty;
    Listener s;
};

} // namespace

TEST_F(ListenRtuPty, ReadsAnsweredFromTheImages)
{
    EXPECT_EQ(Ask(Hex("01 03 00 00 00 02 C4 0B"), 9), "01 03 04 00 0A 01 02 5A 60");
    EXPECT_EQ(Ask(Hex("01 01 00 00 00 0A BC 0D"), 7), "01 01 02 CD 01 2C AC");
    // The highest register is reachable; nothing else was sent meanwhile.
    s.mdb.Set_MapData(std::vector<uint16_t>(65536, 0x1234));
    EXPECT_EQ(Ask(WithCrc(Hex("01 03 FF FF 00 01")), 7), ToHex(WithCrc(Hex("01 03 02 12 34"))));
    EXPECT_EQ(ToHex(pty.ReadFor(50)), "");
    EXPECT_TRUE(s.events.isEmpty());
}

TEST_F(ListenRtuPty, WritesStoreAnswerThenRaiseTheirEvent)
{
    // Image written before the answer goes out, the event after it.
    QStringList order;
    s.mdb.OnSendData = [&](QObject*, const void*, int32_t) { order << QStringLiteral("send reg1=%1").arg(s.Reg(1)); };
    s.mdb.OnWriteSingleReg = [&](QObject*) { order << QStringLiteral("event"); };
    EXPECT_EQ(Ask(Hex("01 06 00 01 00 03 98 0B"), 8), "01 06 00 01 00 03 98 0B");
    EXPECT_TRUE(zorptest::waitUntil([&] { return order.size() == 2; }, 2000));
    EXPECT_EQ(order, (QStringList{"send reg1=3", "event"}));
    s.mdb.OnSendData = nullptr;
    EXPECT_EQ(Ask(Hex("01 03 00 01 00 01 D5 CA"), 7), "01 03 02 00 03 F8 45");

    EXPECT_EQ(Ask(Hex("01 05 00 00 FF 00 8C 3A"), 8), "01 05 00 00 FF 00 8C 3A");
    EXPECT_TRUE(s.Coil(0));
    // Any other value clears the coil and is echoed unchanged.
    const QByteArray other = WithCrc(Hex("01 05 00 00 12 34"));
    EXPECT_EQ(Ask(other, 8), ToHex(other));
    EXPECT_FALSE(s.Coil(0));

    EXPECT_EQ(Ask(Hex("01 66 00 00 00 05 C9 C1"), 8), "01 66 00 00 00 05 C9 C1");
    EXPECT_EQ(s.Reg(0), 5);

    EXPECT_EQ(Ask(Hex("01 10 00 00 00 02 04 00 0A 01 02 53 FC"), 8), "01 10 00 00 00 02 41 C8");
    EXPECT_EQ(s.Reg(0), 10);
    EXPECT_EQ(s.Reg(1), 258);

    s.mdb.Set_CoilData({});
    EXPECT_EQ(Ask(Hex("01 0F 00 13 00 0A 02 CD 01 72 CB"), 8), "01 0F 00 13 00 0A 24 09");
    const bool expected[10] = {true, false, true, true, false, false, true, true, true, false};
    for (int k = 0; k < 10; ++k)
        EXPECT_EQ(s.Coil(0x13 + k), expected[k]) << k;
    EXPECT_FALSE(s.Coil(0x13 + 10));
    EXPECT_EQ(s.events, (QStringList{"05", "05", "102", "16", "15"}));
}

TEST_F(ListenRtuPty, WhatIsNotAnswered)
{
    // Function 4, then function 3 is answered normally.
    EXPECT_EQ(AskSilent(WithCrc(Hex("01 04 00 00 00 01"))), "");
    EXPECT_EQ(Ask(Hex("01 03 00 00 00 02 C4 0B"), 9), "01 03 04 00 0A 01 02 5A 60");
    // Another device, function 2, a bad CRC on a write multiple.
    EXPECT_EQ(AskSilent(WithCrc(Hex("02 03 00 00 00 02"))), "");
    EXPECT_EQ(AskSilent(WithCrc(Hex("01 02 00 00 00 08"))), "");
    QByteArray multi = Hex("01 10 00 00 00 02 04 00 0A 01 02 53 FC");
    multi[12] = char(0xFD);
    s.mdb.Set_MapData({});
    EXPECT_EQ(AskSilent(multi), "");
    EXPECT_EQ(s.Reg(0), 0);
    // A single-word request with a bad CRC gets the error frame.
    EXPECT_EQ(Ask(Hex("01 03 00 00 00 02 C4 0C"), 5), "01 50 04 1D C3");
    EXPECT_EQ(ToHex(pty.ReadFor(50)), "");
    EXPECT_EQ(Ask(Hex("01 03 00 00 00 01 84 0A"), 7), "01 03 02 00 00 B8 44");
    EXPECT_TRUE(s.events.isEmpty());
}

TEST_F(ListenRtuPty, RequestInPiecesIsAnsweredOnce)
{
    pty.Write(Hex("01 03 00 00 00 02"));
    EXPECT_EQ(ToHex(pty.ReadFor(100)), "");
    pty.Write(Hex("C4 0B"));
    EXPECT_EQ(ToHex(pty.Read(9)), "01 03 04 00 0A 01 02 5A 60");
    EXPECT_EQ(ToHex(pty.ReadFor(100)), "");
    // A write multiple in three pieces.
    pty.Write(Hex("01 10 00 00"));
    pty.Write(Hex("00 02 04 00 0A"));
    EXPECT_EQ(ToHex(pty.ReadFor(50)), "");
    pty.Write(Hex("01 02 53 FC"));
    EXPECT_EQ(ToHex(pty.Read(8)), "01 10 00 00 00 02 41 C8");
}

TEST_F(ListenRtuPty, RefusesPastTheImagesAndOverTheLimits)
{
    // Past the end: illegal data address; then the next request is served.
    EXPECT_EQ(Ask(WithCrc(Hex("01 03 FF FF 00 02")), 5), ToHex(WithCrc(Hex("01 83 02"))));
    EXPECT_EQ(Ask(WithCrc(Hex("01 01 FF FA 00 08")), 5), ToHex(WithCrc(Hex("01 81 02"))));
    EXPECT_EQ(Ask(WithCrc(Hex("01 10 FF FF 00 02 04 00 01 00 02")), 5), ToHex(WithCrc(Hex("01 90 02"))));
    // Over the limits of the answer: illegal data value.
    EXPECT_EQ(Ask(WithCrc(Hex("01 03 00 00 00 FE")), 5), ToHex(WithCrc(Hex("01 83 03"))));
    EXPECT_EQ(Ask(WithCrc(Hex("01 01 00 00 0F D8")), 5), ToHex(WithCrc(Hex("01 81 03"))));
    EXPECT_EQ(Ask(WithCrc(Hex("01 03 00 00 00 00")), 5), ToHex(WithCrc(Hex("01 83 03"))));
    // Byte count inconsistent with the quantity.
    EXPECT_EQ(Ask(WithCrc(Hex("01 10 00 00 00 03 04 00 01 00 02")), 5), ToHex(WithCrc(Hex("01 90 03"))));
    EXPECT_EQ(Ask(WithCrc(Hex("01 0F 00 00 00 10 01 FF")), 5), ToHex(WithCrc(Hex("01 8F 03"))));
    EXPECT_EQ(s.Reg(0), 10); // nothing written by refused requests
    EXPECT_TRUE(s.events.isEmpty());
    EXPECT_EQ(Ask(Hex("01 03 00 00 00 02 C4 0B"), 9), "01 03 04 00 0A 01 02 5A 60");
}

TEST_F(ListenRtuPty, SilentPartialRequestIsDroppedBeforeTheNext)
{
    uint32_t now = 1000;
    zorp::SetTickCountSource([&] { return now; });
    struct Restore {
        ~Restore() { zorp::SetTickCountSource(nullptr); }
    } restore;
    s.mdb.SetTimeout(500);
    pty.Write(Hex("01 03 00")); // a broken request left on the line
    EXPECT_EQ(ToHex(pty.ReadFor(100)), "");
    now += 501;
    EXPECT_EQ(Ask(Hex("01 03 00 00 00 02 C4 0B"), 9), "01 03 04 00 0A 01 02 5A 60");
    // Within the time-out the pieces still belong together.
    pty.Write(Hex("01 03 00 00"));
    EXPECT_EQ(ToHex(pty.ReadFor(50)), "");
    now += 400;
    EXPECT_EQ(Ask(Hex("00 02 C4 0B"), 9), "01 03 04 00 0A 01 02 5A 60");
}

TEST_F(ListenRtuPty, ThrowingHandlerDoesNotReplayTheRequest)
{
    int raised = 0;
    s.mdb.OnWriteSingleReg = [&](QObject*) {
        ++raised;
        throw std::runtime_error("handler failure");
    };
    EXPECT_EQ(Ask(Hex("01 06 00 01 00 03 98 0B"), 8), "01 06 00 01 00 03 98 0B");
    EXPECT_EQ(ToHex(pty.ReadFor(kSilenceMs)), "");
    EXPECT_EQ(raised, 1);
    EXPECT_EQ(Ask(Hex("01 03 00 01 00 01 D5 CA"), 7), "01 03 02 00 03 F8 45");
    EXPECT_EQ(raised, 1);
}

TEST_F(ListenRtuPty, MasterOperationsDoNothingAndDisconnectEndsListening)
{
    bool disconnected = false;
    s.mdb.OnDisconnect = [&](QObject*) { disconnected = true; };
    s.mdb.ReadHoldingRegs(1, 2);
    s.mdb.WriteSingleReg(1, 7);
    EXPECT_EQ(ToHex(pty.ReadFor(kSilenceMs)), "");
    EXPECT_EQ(s.mdb.GetState(), int(msIdleSlave));
    EXPECT_EQ(s.Reg(0), 10);
    s.mdb.Disconnect();
    EXPECT_TRUE(zorptest::waitUntil([&] { return disconnected; }, 3000));
    EXPECT_EQ(s.mdb.GetState(), int(msNone));
    EXPECT_EQ(AskSilent(Hex("01 03 00 00 00 02 C4 0B")), "");
}

TEST(ListenTcp, EchoKeepsTheTransactionIdentifier)
{
    Listener s;
    const quint16 port = s.ListenTcp(mbpTCP);
    ASSERT_NE(port, 0);
    slavetest::RawClient c;
    ASSERT_TRUE(c.Connect(port));
    EXPECT_TRUE(zorptest::waitUntil([&] { return s.events.contains("connect 127.0.0.1 port"); }, 3000));
    EXPECT_EQ(s.mdb.ClientIP(), "127.0.0.1");

    c.Write(Hex("00 05 00 00 00 06 01 06 00 01 00 03"));
    EXPECT_EQ(ToHex(c.Read(12)), "00 05 00 00 00 06 01 06 00 01 00 03");
    EXPECT_EQ(s.Reg(1), 3);
    c.Write(Hex("12 34 00 00 00 06 01 03 00 00 00 02"));
    EXPECT_EQ(ToHex(c.Read(13)), "12 34 00 00 00 07 01 03 04 00 00 00 03");
    c.Write(Hex("00 07 00 00 00 06 01 01 00 00 00 0A"));
    EXPECT_EQ(ToHex(c.Read(11)), "00 07 00 00 00 05 01 01 02 00 00");
    // Split after the header, and a write multiple whose data has bit 7 set.
    c.Write(Hex("00 08 00 00 00 09"));
    EXPECT_EQ(ToHex(c.ReadFor(50)), "");
    c.Write(Hex("01 10 00 05 00 01 02 80 01"));
    EXPECT_EQ(ToHex(c.Read(12)), "00 08 00 00 00 06 01 10 00 05 00 01");
    EXPECT_EQ(s.Reg(5), 0x8001);
    // Not answered: function 4, another unit. Refused: past the end.
    c.Write(Hex("00 09 00 00 00 06 01 04 00 00 00 01"));
    c.Write(Hex("00 0A 00 00 00 06 02 03 00 00 00 01"));
    EXPECT_EQ(ToHex(c.ReadFor(kSilenceMs)), "");
    c.Write(Hex("00 0B 00 00 00 06 01 03 FF FF 00 02"));
    EXPECT_EQ(ToHex(c.Read(9)), "00 0B 00 00 00 03 01 83 02");
    EXPECT_EQ(s.events, (QStringList{"connect 127.0.0.1 port", "06", "16"}));
}

TEST(ListenTcp, RequestsSentBackToBackAreAllAnswered)
{
    Listener s;
    s.FillImages();
    const quint16 port = s.ListenTcp(mbpTCP);
    ASSERT_NE(port, 0);
    slavetest::RawClient c;
    ASSERT_TRUE(c.Connect(port));
    c.Write(Hex("00 01 00 00 00 06 01 03 00 00 00 01"
                "00 02 00 00 00 06 01 06 00 02 00 2A"
                "00 03 00 00 00 06 01 03 00 02 00 01"));
    EXPECT_EQ(ToHex(c.Read(11 + 12 + 11)), "00 01 00 00 00 05 01 03 02 00 0A "
                                           "00 02 00 00 00 06 01 06 00 02 00 2A "
                                           "00 03 00 00 00 05 01 03 02 00 2A");
}

TEST(ListenTcp, ClientArrivalAndDepartureResetCountersAndAddress)
{
    Listener s;
    s.FillImages();
    const quint16 port = s.ListenTcp(mbpRTU); // RTU frames over TCP
    ASSERT_NE(port, 0);
    {
        slavetest::RawClient c;
        ASSERT_TRUE(c.Connect(port));
        ASSERT_TRUE(zorptest::waitUntil([&] { return !s.mdb.ClientIP().isEmpty(); }, 3000));
        c.Write(Hex("01 03 00 00 00 02 C4 0B"));
        EXPECT_EQ(ToHex(c.Read(9)), "01 03 04 00 0A 01 02 5A 60");
        EXPECT_EQ(s.mdb.RxCounter(), 8);
        EXPECT_EQ(s.mdb.TxCounter(), 9);
        c.Write(Hex("01 03 00 00 00")); // a request broken off by leaving
        EXPECT_TRUE(zorptest::waitUntil([&] { return s.mdb.RxCounter() == 13; }, 2000));
        c.Close();
    }
    EXPECT_TRUE(zorptest::waitUntil([&] { return s.events.contains("leave port"); }, 3000));
    EXPECT_EQ(s.mdb.ClientIP(), "");
    EXPECT_EQ(s.mdb.GetState(), int(msIdleSlave));

    // A client from another loopback address.
    slavetest::RawClient c2;
    ASSERT_TRUE(c2.Connect(port, 3000, QStringLiteral("127.0.0.20")));
    ASSERT_TRUE(zorptest::waitUntil([&] { return s.events.contains("connect 127.0.0.20 port"); }, 3000));
    EXPECT_EQ(s.mdb.RxCounter(), 0);
    EXPECT_EQ(s.mdb.TxCounter(), 0);
    EXPECT_EQ(s.mdb.ClientIP(), "127.0.0.20");
    // The first client's broken request is gone.
    c2.Write(Hex("01 03 00 00 00 02 C4 0B"));
    EXPECT_EQ(ToHex(c2.Read(9)), "01 03 04 00 0A 01 02 5A 60");
    // The bad-CRC error frame exists in RTU framing over TCP too.
    c2.Write(Hex("01 03 00 00 00 02 C4 0C"));
    EXPECT_EQ(ToHex(c2.Read(5)), "01 50 04 1D C3");
    EXPECT_EQ(s.mdb.RxCounter(), 16);
    EXPECT_EQ(s.mdb.TxCounter(), 14);
}
