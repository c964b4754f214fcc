// SPDX-License-Identifier: GPL-3.0-or-later
// A coil write with Wait true keeps the event loop running while it waits:
// against a silent slave it returns after its rounds, with the engine still
// waiting for the acknowledgement; a reply with a wrong function code ends
// the wait early.
#include <gtest/gtest.h>

#include <QSocketNotifier>
#include <QTimer>
#include <unistd.h>

#include "CommPort.h"
#include "SlaveSupport.h"
#include "TestSupport.h"
#include "VexaModbus.h"

using slavetest::Hex;
using slavetest::ToHex;
using slavetest::WithCrc;

namespace {

struct Master {
    slavetest::Pty pty;
    TVexaModbus mdb;
    QStringList errors;

    bool Connect()
    {
        bool connected = false;
        mdb.SetInterfaceType(mbiRS485);
        mdb.SetProtocol(mbpRTU);
        mdb.SetTimeout(20000); // no time-out can end the waits below
        mdb.CommPort()->SetDevicePathOverride(pty.SlavePath());
        mdb.OnConnect = [&](QObject*) { connected = true; };
        mdb.OnError = [this](QObject*, int32_t code) { errors << QString::number(code); };
        mdb.Connect();
        const bool ok = zorptest::waitUntil([&] { return connected; }, 5000);
        mdb.OnConnect = nullptr;
        return ok;
    }
};

} // namespace

TEST(CoilWriteWait, SilentSlaveReturnsAfterItsRoundsWithTheLoopRunning)
{
    Master m;
    ASSERT_TRUE(m.pty.Ok());
    ASSERT_TRUE(m.Connect());
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(10);

    m.mdb.WriteSingleCoil(1, true, true);
    const int during = ticks;
    ticker.stop();

    // The request went out from inside the wait.
    EXPECT_EQ(ToHex(m.pty.Read(8)), "01 05 00 00 FF 00 8C 3A");
    EXPECT_GT(during, 50); // the loop kept dispatching for the whole wait
    EXPECT_TRUE(m.errors.isEmpty());
    EXPECT_EQ(m.mdb.GetState(), int(msWaitForWriteSingleCoil));
}

TEST(CoilWriteWait, WrongFunctionCodeEndsTheWaitEarly)
{
    Master m;
    ASSERT_TRUE(m.pty.Ok());
    ASSERT_TRUE(m.Connect());
    // The slave echoes a coil write's address and word under function 6.
    QByteArray request;
    QSocketNotifier readable(m.pty.MasterFd(), QSocketNotifier::Read);
    QObject::connect(&readable, &QSocketNotifier::activated, [&] {
        char buf[64];
        const ssize_t n = ::read(m.pty.MasterFd(), buf, sizeof buf);
        if (n > 0) request.append(buf, n);
        const int need = request.size() > 6 && uint8_t(request[1]) == 15 ? 9 + uint8_t(request[6]) : 8;
        if (request.size() >= need) {
            m.pty.Write(WithCrc(QByteArray("\x01\x06", 2) + request.mid(2, 4)));
            request.clear();
        }
    });
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(10);

    QStringList seenInsideTheCall;
    m.mdb.WriteSingleCoil(1, true, true);
    seenInsideTheCall = m.errors;
    ticker.stop();

    EXPECT_EQ(seenInsideTheCall, QStringList{"10"});
    EXPECT_LT(ticks, 150); // well before the 200 rounds were used up
    EXPECT_EQ(m.mdb.GetState(), int(msIdle));

    // Multiple coils behave the same.
    m.errors.clear();
    ASSERT_TRUE(m.mdb.WriteMultiCoils(1, 3, {true, true, false}, true));
    EXPECT_EQ(m.errors, QStringList{"10"});
}
