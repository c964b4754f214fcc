// SPDX-License-Identifier: GPL-3.0-or-later
// The master's write frames and their acknowledgements on a real
// pseudo-terminal, byte for byte, with the test playing the slave.
#include <gtest/gtest.h>

#include <functional>

#include "CommPort.h"
#include "SlaveSupport.h"
#include "TestSupport.h"
#include "VexaModbus.h"

using slavetest::Hex;
using slavetest::ToHex;
using slavetest::WithCrc;

namespace {

class WireWrites : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(pty.Ok());
        bool connected = false;
        mdb.SetInterfaceType(mbiRS485);
        mdb.SetProtocol(mbpRTU);
        mdb.SetTimeout(400);
        mdb.SetMaxRepeat(1);
        mdb.CommPort()->SetDevicePathOverride(pty.SlavePath());
        mdb.OnConnect = [&](QObject*) { connected = true; };
        mdb.OnError = [this](QObject*, int32_t code) { events << QStringLiteral("error %1").arg(code); };
        mdb.OnWriteSingleCoil = [this](QObject*) { events << QStringLiteral("05"); };
        mdb.OnWriteSingleReg = [this](QObject*) { events << QStringLiteral("06"); };
        mdb.OnWriteSingleSpecialReg = [this](QObject*) { events << QStringLiteral("102"); };
        mdb.OnWriteMultiRegs = [this](QObject*) { events << QStringLiteral("16"); };
        mdb.OnWriteMultiCoils = [this](QObject*) { events << QStringLiteral("15"); };
        mdb.Connect();
        ASSERT_TRUE(zorptest::waitUntil([&] { return connected; }, 5000));
        mdb.OnConnect = nullptr;
    }
    QString Outcome()
    {
        zorptest::waitUntil([this] { return !events.isEmpty(); }, 5000);
        return events.isEmpty() ? QStringLiteral("nothing") : events.takeFirst();
    }
    slavetest::Pty pty;
    TVexaModbus mdb;
    QStringList events;
};

} // namespace

TEST_F(WireWrites, EveryWriteFrameAndItsAcknowledgement)
{
    struct Row {
        const char* name;
        std::function<void()> start;
        const char* request;
        const char* ack;
        const char* event;
    };
    const std::vector<Row> rows = {
        {"coil on", [&] { mdb.WriteSingleCoil(1, true, false); }, "01 05 00 00 FF 00 8C 3A", "01 05 00 00 FF 00 8C 3A", "05"},
        {"coil off", [&] { mdb.WriteSingleCoil(1, false, false); }, "01 05 00 00 00 00 CD CA", "01 05 00 00 00 00 CD CA", "05"},
        {"relay", [&] { mdb.SetSingleRelay(1, true); }, "01 05 00 10 FF 00 8D FF", "01 05 00 10 FF 00 8D FF", "05"},
        {"register", [&] { mdb.WriteSingleReg(1, 3); }, "01 06 00 00 00 03 C9 CB", "01 06 00 00 00 03 C9 CB", "06"},
        {"special", [&] { mdb.WriteSingleSpecialReg(1, 5); }, "01 66 00 00 00 05 C9 C1", "01 66 00 00 00 05 C9 C1", "102"},
        {"registers", [&] { mdb.WriteMultiRegs(1, 2, {10, 258}); }, "01 10 00 00 00 02 04 00 0A 01 02 53 FC",
         "01 10 00 00 00 02 41 C8", "16"},
        {"coils", [&] { mdb.WriteMultiCoils(20, 10, {true, false, true, true, false, false, true, true, true, false}, false); },
         "01 0F 00 13 00 0A 02 CD 01 72 CB", "01 0F 00 13 00 0A 24 09", "15"},
    };
    for (const Row& r : rows) {
        r.start();
        const QByteArray expected = Hex(r.request);
        EXPECT_EQ(ToHex(pty.Read(int(expected.size()))), r.request) << r.name;
        pty.Write(Hex(r.ack));
        EXPECT_EQ(Outcome(), r.event) << r.name;
        EXPECT_EQ(mdb.GetState(), int(msIdle)) << r.name;
    }
}

TEST_F(WireWrites, BadEchoesAndRetries)
{
    // Another value in the echo: error 5, no event.
    mdb.WriteSingleReg(1, 3);
    EXPECT_EQ(ToHex(pty.Read(8)), "01 06 00 00 00 03 C9 CB");
    pty.Write(WithCrc(Hex("01 06 00 00 00 04")));
    EXPECT_EQ(Outcome(), "error 5");

    // Address 0 goes out as FF FF, and its echo is the acknowledgement.
    mdb.WriteSingleReg(0, 1);
    const QByteArray req = pty.Read(8);
    EXPECT_EQ(ToHex(req), ToHex(WithCrc(Hex("01 06 FF FF 00 01"))));
    pty.Write(req);
    EXPECT_EQ(Outcome(), "06");

    // After a time-out the retry sends the identical 11 bytes.
    mdb.WriteMultiCoils(20, 10, {true, false, true, true, false, false, true, true, true, false}, false);
    EXPECT_EQ(ToHex(pty.Read(11)), "01 0F 00 13 00 0A 02 CD 01 72 CB");
    EXPECT_EQ(ToHex(pty.Read(11, 3000)), "01 0F 00 13 00 0A 02 CD 01 72 CB");
    pty.Write(Hex("01 0F 00 13 00 0A 24 09"));
    EXPECT_EQ(Outcome(), "15");
}
