// SPDX-License-Identifier: GPL-3.0-or-later
// The listening side's TCP places: an idle master gives its place to a new
// one (zorp-slave says so), RTU over TCP serves several masters too, and
// requests that come while a handler runs the event loop are answered.
#include <gtest/gtest.h>

#include <QEventLoop>
#include <QTimer>
#include <csignal>
#include <memory>
#include <vector>

#include "CommPort.h"
#include "SlaveSupport.h"
#include "TestSupport.h"
#include "VexaModbus.h"

namespace {

std::string Hex(const QByteArray& b) { return slavetest::ToHex(b).toStdString(); }

// A request or answer in the framing of the link: Modbus TCP with its
// header, or RTU with its CRC.
QByteArray Frame(bool tcp, int tid, const std::vector<int>& pdu)
{
    QByteArray f;
    for (int v : pdu) f.append(char(v));
    if (!tcp) return slavetest::WithCrc(f);
    QByteArray h;
    for (int v : {tid >> 8, tid & 0xFF, 0, 0, 0, int(pdu.size())}) h.append(char(v));
    return h + f;
}

} // namespace

// One place (--max-clients 1): a master silent for a second gives it to the next one, and
// zorp-slave names the connection it closed; a master arriving while the
// place is in use is refused, with a line too.
TEST(TcpPlaces, AnIdleMasterMakesRoomForTheNextOne)
{
    ASSERT_TRUE(slavetest::HaveProgram(slavetest::SlaveToolPath()));
    for (const bool tcp : {true, false}) {
        SCOPED_TRACE(tcp ? "--tcp" : "--rtu-tcp");
        slavetest::SlaveProcess slave;
        ASSERT_TRUE(slave.Start(
            {tcp ? "--tcp" : "--rtu-tcp", "0", "--bind", "127.0.0.1", "--registers", "0=42", "--max-clients", "1"}));
        const QByteArray read = Frame(tcp, 1, {1, 3, 0, 0, 0, 1});
        const QByteArray answer = Frame(tcp, 1, {1, 3, 2, 0, 42});
        slavetest::RawClient first;
        ASSERT_TRUE(first.Connect(slave.Port()));
        first.Write(read);
        EXPECT_EQ(Hex(first.Read(answer.size())), Hex(answer));
        const QString firstPeer = QStringLiteral("127.0.0.1:%1").arg(first.Socket().localPort());

        zorptest::spin(1200); // the first master falls silent
        slavetest::RawClient second;
        ASSERT_TRUE(second.Connect(slave.Port()));
        EXPECT_TRUE(slave.WaitForLine(QStringLiteral("closed idle connection of %1 to take a new master").arg(firstPeer)));
        second.Write(read);
        EXPECT_EQ(Hex(second.Read(answer.size())), Hex(answer));
        EXPECT_TRUE(zorptest::waitUntil([&] { return first.Socket().state() == QAbstractSocket::UnconnectedState; }));

        // The second one is busy: a third is refused, and says so.
        slavetest::RawClient third;
        third.Connect(slave.Port(), 1000);
        EXPECT_TRUE(slave.WaitForLineStarting(QStringLiteral("refused connection of 127.0.0.1:")));
        second.Write(read);
        EXPECT_EQ(Hex(second.Read(answer.size())), Hex(answer));
        EXPECT_EQ(slave.Stop(SIGTERM), 0);
    }
}

// --max-clients serves RTU over TCP as it serves Modbus TCP.
TEST(TcpPlaces, RtuOverTcpServesSeveralMasters)
{
    ASSERT_TRUE(slavetest::HaveProgram(slavetest::SlaveToolPath()));
    slavetest::SlaveProcess slave;
    ASSERT_TRUE(slave.Start({"--rtu-tcp", "0", "--bind", "127.0.0.1", "--max-clients", "2", "--registers", "0=0"}));
    slavetest::RawClient a, b;
    ASSERT_TRUE(a.Connect(slave.Port()));
    ASSERT_TRUE(b.Connect(slave.Port()));
    const QByteArray wa = Frame(false, 0, {1, 6, 0, 7, 0, 1});
    const QByteArray wb = Frame(false, 0, {1, 6, 0, 8, 0, 2});
    a.Write(wa);
    b.Write(wb);
    EXPECT_EQ(Hex(a.Read(8)), Hex(wa));
    EXPECT_EQ(Hex(b.Read(8)), Hex(wb));
    b.Write(Frame(false, 0, {1, 3, 0, 7, 0, 2}));
    EXPECT_EQ(Hex(b.Read(9)), Hex(Frame(false, 0, {1, 3, 4, 0, 1, 0, 2})));
    EXPECT_EQ(slave.Lines().filter(QStringLiteral("client connected")).size(), 2);
    EXPECT_EQ(slave.Stop(SIGTERM), 0);
}

// A write's handler runs the event loop; meanwhile the same master and
// another one send reads. Both are answered once the handler has returned.
TEST(TcpPlaces, RequestsDuringANestedLoopAreAnswered)
{
    TVexaModbus mdb;
    bool listening = false;
    mdb.OnListen = [&](QObject*) { listening = true; };
    mdb.SetInterfaceType(mbiEthernet);
    mdb.SetProtocol(mbpTCP);
    mdb.SetEthPort(0);
    mdb.SetMaxClients(2);
    mdb.Set_MapData({5, 6});
    mdb.CommPort()->WsBindAddress = QStringLiteral("127.0.0.1");
    mdb.Listen();
    ASSERT_TRUE(zorptest::waitUntil([&] { return listening; }));
    slavetest::RawClient a, b;
    ASSERT_TRUE(a.Connect(mdb.CommPort()->ServerPort()));
    ASSERT_TRUE(b.Connect(mdb.CommPort()->ServerPort()));
    const QByteArray write = Frame(true, 1, {1, 6, 0, 0, 0, 9});
    int handled = 0;
    mdb.OnWriteSingleReg = [&](QObject*) {
        if (handled++) return;
        a.Write(Frame(true, 2, {1, 3, 0, 0, 0, 2}));
        b.Write(Frame(true, 3, {1, 3, 0, 1, 0, 1}));
        QEventLoop loop;
        QTimer::singleShot(300, &loop, &QEventLoop::quit);
        loop.exec();
    };
    zorptest::spin(50); // both connections taken
    a.Write(write);
    EXPECT_EQ(Hex(a.Read(12 + 13)), Hex(write + Frame(true, 2, {1, 3, 4, 0, 9, 0, 6})));
    EXPECT_EQ(Hex(b.Read(11)), Hex(Frame(true, 3, {1, 3, 2, 0, 6})));
    EXPECT_EQ(handled, 1);
}
