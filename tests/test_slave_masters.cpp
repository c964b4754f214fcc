// SPDX-License-Identifier: GPL-3.0-or-later
// Masters as a slave meets them on real links: several Modbus TCP masters
// at once over one image (zorp-slave --max-clients), a master that vanished
// without closing its connection, and broadcast writes on a serial line.
#include <gtest/gtest.h>

#include <QByteArray>
#include <QElapsedTimer>
#include <csignal>
#include <memory>
#include <vector>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "CommPort.h"
#include "SlaveSupport.h"
#include "TestSupport.h"
#include "VexaModbus.h"

namespace {

std::string Hex(const QByteArray& b) { return slavetest::ToHex(b).toStdString(); }

QByteArray Tcp(int tid, const std::vector<int>& pdu)
{
    QByteArray f;
    for (int v : {tid >> 8, tid & 0xFF, 0, 0, 0, int(pdu.size())}) f.append(char(v));
    for (int v : pdu) f.append(char(v));
    return f;
}

} // namespace

// Every master keeps its own connection, buffer and transaction
// identifiers; all see one image. A master beyond the limit is closed at
// once, and takes a freed place.
TEST(SeveralMasters, TwoAndFiveAtOnce)
{
    ASSERT_TRUE(slavetest::HaveProgram(slavetest::SlaveToolPath()));
    for (const int n : {2, 5}) {
        slavetest::SlaveProcess slave;
        ASSERT_TRUE(slave.Start({"--tcp", "0", "--bind", "127.0.0.1", "--max-clients", QString::number(n),
                                 "--registers", "0=0"}));
        std::vector<std::unique_ptr<slavetest::RawClient>> masters;
        for (int i = 0; i < n; ++i) {
            masters.push_back(std::make_unique<slavetest::RawClient>());
            ASSERT_TRUE(masters.back()->Connect(slave.Port()));
        }
        // Each writes its register, half a request at a time, interleaved.
        std::vector<QByteArray> writes;
        for (int i = 0; i < n; ++i) writes.push_back(Tcp(7, {1, 6, 0, 100 + i, 0, 10 + i}));
        for (int half : {0, 1})
            for (int i = 0; i < n; ++i) masters[size_t(i)]->Write(writes[size_t(i)].mid(half * 5, half ? -1 : 5));
        for (int i = 0; i < n; ++i) EXPECT_EQ(Hex(masters[size_t(i)]->Read(12)), Hex(writes[size_t(i)])) << i;
        // Each reads what all wrote, with its own transaction identifier.
        for (int i = 0; i < n; ++i) masters[size_t(i)]->Write(Tcp(0x300 + i, {1, 3, 0, 100, 0, n}));
        std::vector<int> pdu = {1, 3, 2 * n};
        for (int k = 0; k < n; ++k) pdu.insert(pdu.end(), {0, 10 + k});
        for (int i = 0; i < n; ++i) EXPECT_EQ(Hex(masters[size_t(i)]->Read(9 + 2 * n)), Hex(Tcp(0x300 + i, pdu))) << i;
        // One more is closed at once; once a master leaves, it is served.
        slavetest::RawClient extra;
        extra.Connect(slave.Port(), 1000); // it may be closed again before the wait looks
        EXPECT_TRUE(zorptest::waitUntil([&] { return extra.Socket().state() == QAbstractSocket::UnconnectedState; }));
        EXPECT_EQ(slave.Lines().filter(QStringLiteral("client connected")).size(), n);
        masters.front()->Close();
        ASSERT_TRUE(slave.WaitForLine("client disconnected"));
        slavetest::RawClient later;
        ASSERT_TRUE(later.Connect(slave.Port()));
        later.Write(Tcp(9, {1, 3, 0, 100, 0, 1}));
        EXPECT_EQ(Hex(later.Read(11)), Hex(Tcp(9, {1, 3, 2, 0, 10})));
        EXPECT_EQ(slave.Stop(SIGTERM), 0);
    }
}

// A master whose machine vanished sends no close: the slave learns of it by
// keep-alive probes and then serves the next master. The vanished master
// is made by closing a socket in repair mode, which sends nothing.
TEST(VanishedMaster, IsReplacedByTheNextOne)
{
    TVexaModbus mdb;
    bool listening = false;
    int arrivals = 0, departures = 0;
    mdb.OnListen = [&](QObject*) { listening = true; };
    mdb.OnClientConnect = [&](QObject*, const QString&) { ++arrivals; };
    mdb.OnClientDisconnect = [&](QObject*) { ++departures; };
    mdb.SetStandardProfile(true);
    mdb.SetInterfaceType(mbiEthernet);
    mdb.SetProtocol(mbpTCP);
    mdb.SetEthPort(0);
    mdb.Set_MapData({42});
    mdb.CommPort()->WsBindAddress = QStringLiteral("127.0.0.1");
    mdb.CommPort()->WsKeepAliveIdle = 1;
    mdb.CommPort()->WsKeepAliveInterval = 1;
    mdb.CommPort()->WsKeepAliveCount = 2;
    mdb.Listen();
    ASSERT_TRUE(zorptest::waitUntil([&] { return listening; }));
    const quint16 port = mdb.CommPort()->ServerPort();

    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    ASSERT_TRUE(zorptest::waitUntil([&] { return arrivals == 1; }));
    const int on = 1;
    if (::setsockopt(fd, IPPROTO_TCP, TCP_REPAIR, &on, sizeof on) != 0) {
        ::close(fd);
        GTEST_SKIP() << "closing a connection silently needs CAP_NET_ADMIN";
    }
    ::close(fd);

    // The next master tries until it is served, for at most 20 s.
    bool served = false;
    QElapsedTimer clock;
    clock.start();
    while (!served && clock.elapsed() < 20000) {
        slavetest::RawClient next;
        if (!next.Connect(port, 1000)) continue;
        next.Write(Tcp(1, {1, 3, 0, 0, 0, 1}));
        served = Hex(next.Read(11, 500)) == Hex(Tcp(1, {1, 3, 2, 0, 42}));
    }
    EXPECT_TRUE(served);
    EXPECT_GE(departures, 1);
    EXPECT_EQ(mdb.GetState(), msIdleSlave);
}

// On a serial line a write for unit 0 reaches every slave: carried out,
// never answered. Reads for unit 0 are ignored, and a bad CRC gets no answer.
TEST(SerialBroadcast, WritesAreCarriedOutUnanswered)
{
    for (const bool standard : {true, false}) {
        slavetest::Pty pty;
        ASSERT_TRUE(pty.Ok());
        TVexaModbus mdb;
        bool listening = false;
        std::vector<int> written;
        mdb.OnListen = [&](QObject*) { listening = true; };
        mdb.OnSlaveWrite = [&](QObject*, uint8_t fc, uint16_t, uint16_t) { written.push_back(fc); };
        mdb.SetStandardProfile(standard);
        mdb.SetInterfaceType(mbiRS485);
        mdb.SetProtocol(mbpRTU);
        mdb.CommPort()->SetDevicePathOverride(pty.SlavePath());
        mdb.Listen();
        ASSERT_TRUE(zorptest::waitUntil([&] { return listening; }));

        pty.Write(slavetest::WithCrc(QByteArray::fromHex("0006000700FF")));
        EXPECT_EQ(Hex(pty.ReadFor(300)), "");
        pty.Write(slavetest::WithCrc(QByteArray::fromHex("0010000A000204ABCD1234")));
        EXPECT_EQ(Hex(pty.ReadFor(300)), "");
        pty.Write(slavetest::WithCrc(QByteArray::fromHex("000300000001")));
        EXPECT_EQ(Hex(pty.ReadFor(300)), "");
        QByteArray bad = slavetest::WithCrc(QByteArray::fromHex("010300070001"));
        bad[7] = char(bad[7] ^ 0x01);
        pty.Write(bad);
        // The designed mode answers a bad CRC with its error frame 01 50 04.
        EXPECT_EQ(Hex(pty.ReadFor(300)), standard ? "" : "01 50 04 1D C3");
        std::vector<uint16_t> regs(12);
        mdb.Get_MapData(regs);
        if (standard) {
            EXPECT_EQ(regs[7], 0xFF);
            EXPECT_EQ(regs[10], 0xABCD);
            EXPECT_EQ(regs[11], 0x1234);
            EXPECT_EQ(written, (std::vector<int>{6, 16}));
        } else {
            EXPECT_EQ(regs[7], 0);
            EXPECT_TRUE(written.empty());
        }
        // Unit 1 is answered as ever.
        pty.Write(slavetest::WithCrc(QByteArray::fromHex("010300070001")));
        const QByteArray want = slavetest::WithCrc(standard ? QByteArray::fromHex("01030200FF") : QByteArray::fromHex("0103020000"));
        EXPECT_EQ(Hex(pty.Read(want.size())), Hex(want));
    }
}
