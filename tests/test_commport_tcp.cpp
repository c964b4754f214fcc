// SPDX-License-Identifier: GPL-3.0-or-later
// The port object over TCP on loopback: client and server mode.
#include <gtest/gtest.h>

#include <QTcpServer>
#include <QTcpSocket>

#include <memory>
#include <stdexcept>

#include "CommPort.h"
#include "TestSupport.h"

using zorptest::spin;
using zorptest::waitUntil;

namespace {

// Records every notification of a port; takes the announced bytes.
struct Recorder {
    explicit Recorder(TCommPort& p, bool take = true) : port(p)
    {
        p.OnPortOpen = [this](TCommPort*) { ++opened; };
        p.OnWsConnect = [this](TCommPort*) { ++connects; };
        p.OnWsDisconnect = [this](TCommPort*) { ++disconnects; };
        p.OnWsError = [this](TCommPort*, int code) { ++errors; lastError = code; };
        p.OnWsAccept = [this](TCommPort*, const uint8_t a[4], bool& accept) {
            ++accepts;
            address = QByteArray(reinterpret_cast<const char*>(a), 4);
            accept = acceptClients;
        };
        p.OnTriggerAvail = [this, take](TCommPort* sender, uint16_t count) {
            ++triggers;
            EXPECT_GE(count, 1);
            EXPECT_LE(count, sender->InBuffUsed());
            maxCount = std::max<int>(maxCount, count);
            if (take)
                for (int i = 0; i < count; ++i)
                    data.append(static_cast<char>(sender->GetChar()));
        };
    }
    TCommPort& port;
    int opened = 0, connects = 0, disconnects = 0, errors = 0, accepts = 0, triggers = 0;
    int lastError = -1, maxCount = 0;
    bool acceptClients = true;
    QByteArray data, address;
};

// A loopback server for the client-mode tests, keeping its accepted socket.
struct TestServer {
    TestServer()
    {
        EXPECT_TRUE(server.listen(QHostAddress::LocalHost, 0));
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* s = server.nextPendingConnection())
                peer = s;
        });
    }
    QString port() const { return QString::number(server.serverPort()); }
    bool waitPeer() { return waitUntil([this] { return peer != nullptr; }); }
    QByteArray readPeer(int want)
    {
        QByteArray got;
        waitUntil([&] {
            if (peer)
                got += peer->readAll();
            return got.size() >= want;
        });
        return got;
    }
    QTcpServer server;
    QTcpSocket* peer = nullptr;
};

void clientTo(TCommPort& p, const QString& port)
{
    p.DeviceLayer = dlTcp;
    p.WsMode = wsClient;
    p.WsAddress = QStringLiteral("127.0.0.1");
    p.WsPort = port;
}

// A port number on which nothing listens (bound once, then released).
QString closedPort()
{
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    const QString port = QString::number(s.serverPort());
    s.close();
    return port;
}

} // namespace

TEST(CommPortTcpClient, OpensConnectsSendsAndReceivesChunks)
{
    TestServer srv;
    TCommPort port;
    Recorder rec(port);
    clientTo(port, srv.port());

    port.SetOpen(true);
    // Raised inside SetOpen; the connection comes later, through the queue.
    EXPECT_EQ(rec.opened, 1);
    EXPECT_EQ(rec.connects, 0);
    EXPECT_TRUE(port.Open());
    ASSERT_TRUE(waitUntil([&] { return rec.connects == 1; }));
    EXPECT_TRUE(port.WsConnected());
    EXPECT_EQ(port.PeerAddress(), QStringLiteral("127.0.0.1"));
    ASSERT_TRUE(srv.waitPeer());

    const char request[] = "\x01\x03\x00\x00\x00\x02\xC4\x0B";
    EXPECT_EQ(port.PutBlock(request, 8), 8);
    EXPECT_EQ(srv.readPeer(8), QByteArray(request, 8));

    // Three chunks arrive in order and are announced as they come.
    const QByteArray response("\x01\x03\x04\x00\x0A\x00\x0B\x2B\xF6", 9);
    srv.peer->write(response.left(2));
    srv.peer->flush();
    ASSERT_TRUE(waitUntil([&] { return rec.data.size() == 2; }));
    srv.peer->write(response.mid(2, 3));
    srv.peer->flush();
    ASSERT_TRUE(waitUntil([&] { return rec.data.size() == 5; }));
    srv.peer->write(response.mid(5));
    srv.peer->flush();
    ASSERT_TRUE(waitUntil([&] { return rec.data.size() == 9; }));
    EXPECT_EQ(rec.data, response);
    EXPECT_EQ(rec.triggers, 3);
    EXPECT_EQ(port.InBuffUsed(), 0);
    EXPECT_EQ(port.GetChar(), 0);

    port.SetOpen(false);
    EXPECT_FALSE(port.Open());
    // The end of the established connection is announced, but not inside SetOpen.
    EXPECT_EQ(rec.disconnects, 0);
    EXPECT_TRUE(waitUntil([&] { return rec.disconnects == 1; }));
    EXPECT_EQ(rec.errors, 0);
    EXPECT_EQ(port.PutBlock(request, 8), -1);
}

TEST(CommPortTcpClient, WritesBeforeTheConnectionAndBeyondTheSocketBufferArriveWhole)
{
    TestServer srv;
    TCommPort port;
    Recorder rec(port);
    clientTo(port, srv.port());
    port.SetOpen(true);
    // Written while the connection is still being made: sent once it is.
    EXPECT_EQ(port.PutBlock("early", 5), 5);
    ASSERT_TRUE(waitUntil([&] { return rec.connects == 1; }));
    ASSERT_TRUE(srv.waitPeer());
    // Far more than the socket takes at once; the peer reads only later.
    QByteArray big(8 << 20, '\0');
    for (int i = 0; i < big.size(); ++i) big[i] = char(i * 7 + (i >> 12));
    EXPECT_EQ(port.PutBlock(big.constData(), int(big.size())), big.size());
    EXPECT_EQ(port.PutBlock("end", 3), 3);
    const QByteArray want = QByteArray("early") + big + QByteArray("end");
    const QByteArray got = srv.readPeer(int(want.size()));
    EXPECT_EQ(got.size(), want.size());
    EXPECT_TRUE(got == want);
    EXPECT_EQ(rec.errors, 0);
}

TEST(CommPortTcpClient, RefusedConnectionReportsErrorAndCloses)
{
    TCommPort port;
    Recorder rec(port);
    clientTo(port, closedPort());
    port.SetOpen(true);
    EXPECT_EQ(rec.opened, 1);
    EXPECT_EQ(rec.errors, 0);
    ASSERT_TRUE(waitUntil([&] { return rec.errors == 1; }));
    EXPECT_EQ(rec.lastError, QAbstractSocket::ConnectionRefusedError);
    EXPECT_FALSE(port.Open());
    spin(50);
    EXPECT_EQ(rec.errors, 1);
    EXPECT_EQ(rec.connects, 0);
    EXPECT_EQ(rec.disconnects, 0);
}

TEST(CommPortTcpClient, PeerCloseDeliversLastBytesThenDisconnects)
{
    TestServer srv;
    TCommPort port;
    Recorder rec(port);
    clientTo(port, srv.port());
    port.SetOpen(true);
    ASSERT_TRUE(waitUntil([&] { return rec.connects == 1; }));
    ASSERT_TRUE(srv.waitPeer());

    srv.peer->write("abc");
    srv.peer->flush();
    srv.peer->disconnectFromHost();
    ASSERT_TRUE(waitUntil([&] { return rec.disconnects == 1; }));
    EXPECT_EQ(rec.data, QByteArray("abc"));
    EXPECT_FALSE(port.Open());
    spin(50);
    EXPECT_EQ(rec.disconnects, 1);
    EXPECT_EQ(rec.errors, 0);
}

TEST(CommPortTcpClient, LargeStreamArrivesWholeWithinBufferLimits)
{
    TestServer srv;
    TCommPort port;
    port.InSize = 1024;
    Recorder rec(port);
    clientTo(port, srv.port());
    port.SetOpen(true);
    ASSERT_TRUE(srv.waitPeer());
    ASSERT_TRUE(waitUntil([&] { return rec.connects == 1; }));

    QByteArray blob(200000, Qt::Uninitialized);
    for (int i = 0; i < blob.size(); ++i)
        blob[i] = static_cast<char>(i * 7 + i / 251);
    srv.peer->write(blob);
    ASSERT_TRUE(waitUntil([&] { return rec.data.size() >= blob.size(); }, 10000));
    EXPECT_EQ(rec.data, blob);
    EXPECT_LE(rec.maxCount, 1024);
}

TEST(CommPortTcpClient, CloseDiscardsBufferedBytesAndStaleNotifications)
{
    TestServer srv;
    TCommPort port;
    Recorder rec(port, /*take=*/false);
    clientTo(port, srv.port());
    port.SetOpen(true);
    ASSERT_TRUE(srv.waitPeer());
    srv.peer->write("hello");
    srv.peer->flush();
    ASSERT_TRUE(waitUntil([&] { return port.InBuffUsed() == 5; }));
    port.SetOpen(false);
    EXPECT_EQ(port.InBuffUsed(), 0);
    EXPECT_EQ(port.GetChar(), 0);

    // Bytes announced before a close and reopen are never announced after it.
    port.WsMode = wsServer;
    port.WsBindAddress = QStringLiteral("127.0.0.1");
    port.WsPort = QStringLiteral("0");
    port.SetOpen(true);
    const int before = rec.triggers;
    port.DeliverReceived("xyz", 3);
    port.SetOpen(false);
    port.SetOpen(true);
    spin(50);
    EXPECT_EQ(rec.triggers, before);
    EXPECT_EQ(port.InBuffUsed(), 0);
    port.DeliverReceived("xyz", 3);
    EXPECT_TRUE(waitUntil([&] { return rec.triggers == before + 1; }));
}

TEST(CommPortTcpClient, HandlerExceptionsStayInsideThePort)
{
    TestServer srv;
    TCommPort port;
    int calls = 0;
    port.OnTriggerAvail = [&](TCommPort* p, uint16_t n) {
        ++calls;
        for (int i = 0; i < n; ++i)
            p->GetChar();
        throw std::runtime_error("handler failure");
    };
    clientTo(port, srv.port());
    port.SetOpen(true);
    ASSERT_TRUE(srv.waitPeer());
    srv.peer->write("a");
    srv.peer->flush();
    ASSERT_TRUE(waitUntil([&] { return calls == 1; }));
    srv.peer->write("b");
    srv.peer->flush();
    EXPECT_TRUE(waitUntil([&] { return calls == 2; }));
}

TEST(CommPortTcpOpen, UnresolvableTargetsThrow)
{
    TCommPort port;
    Recorder rec(port);
    port.DeviceLayer = dlTcp;
    port.WsResolveTimeout = 3000;

    port.WsAddress = QStringLiteral("no-such-host.invalid");
    port.WsPort = QStringLiteral("502");
    EXPECT_THROW(port.SetOpen(true), ECommPortError);
    EXPECT_FALSE(port.Open());

    port.WsAddress = QStringLiteral("127.0.0.1");
    for (const char* bad : {"", "0", "65536", "no-such-service-zorp", "-1"}) {
        port.WsPort = QString::fromLatin1(bad);
        EXPECT_THROW(port.SetOpen(true), ECommPortError) << bad;
        EXPECT_FALSE(port.Open());
    }
    EXPECT_EQ(rec.opened, 0);
    spin(20);
    EXPECT_EQ(rec.errors + rec.disconnects + rec.connects, 0);

    // A host name that resolves works like its address.
    TestServer srv;
    port.WsAddress = QStringLiteral("localhost");
    port.WsPort = srv.port();
    port.SetOpen(true);
    EXPECT_TRUE(waitUntil([&] { return rec.connects == 1; }));
}

TEST(CommPortTcpOpen, ServerPortInUseThrows)
{
    QTcpServer taken;
    ASSERT_TRUE(taken.listen(QHostAddress::LocalHost, 0));
    TCommPort port;
    port.DeviceLayer = dlTcp;
    port.WsMode = wsServer;
    port.WsBindAddress = QStringLiteral("127.0.0.1");
    port.WsPort = QString::number(taken.serverPort());
    EXPECT_THROW(port.SetOpen(true), ECommPortError);
    EXPECT_FALSE(port.Open());
}

namespace {

struct ServerPort {
    ServerPort() : rec(port)
    {
        port.DeviceLayer = dlTcp;
        port.WsMode = wsServer;
        port.WsBindAddress = QStringLiteral("127.0.0.1");
    port.WsBindAddress = QStringLiteral("127.0.0.1");
        port.WsPort = QStringLiteral("0");
        port.SetOpen(true);
    }
    std::unique_ptr<QTcpSocket> connectClient()
    {
        auto s = std::make_unique<QTcpSocket>();
        s->connectToHost(QHostAddress::LocalHost, port.ServerPort());
        return s;
    }
    TCommPort port;
    Recorder rec;
};

} // namespace

TEST(CommPortTcpServer, AcceptsOneClientAtATime)
{
    ServerPort sp;
    EXPECT_EQ(sp.rec.opened, 1);
    ASSERT_NE(sp.port.ServerPort(), 0);
    EXPECT_EQ(sp.port.PutBlock("x", 1), 0); // no client yet

    auto first = sp.connectClient();
    ASSERT_TRUE(waitUntil([&] { return sp.rec.connects == 1; }));
    EXPECT_EQ(sp.rec.accepts, 1);
    EXPECT_EQ(sp.rec.address, QByteArray("\x7F\x00\x00\x01", 4));
    EXPECT_EQ(sp.port.PeerAddress(), QStringLiteral("127.0.0.1"));

    first->write("\x01\x03\x00\x00\x00\x01", 6);
    first->flush();
    ASSERT_TRUE(waitUntil([&] { return sp.rec.data.size() == 6; }));
    EXPECT_EQ(sp.port.PutBlock("\x01\x03\x02\x00\x07", 5), 5);
    QByteArray echo;
    ASSERT_TRUE(waitUntil([&] { echo += first->readAll(); return echo.size() == 5; }));

    // A second client is closed at once; the first goes on working.
    auto second = sp.connectClient();
    EXPECT_TRUE(waitUntil([&] { return second->state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_EQ(sp.rec.accepts, 1);
    first->write("z");
    first->flush();
    EXPECT_TRUE(waitUntil([&] { return sp.rec.data.endsWith('z'); }));

    // The client leaves: announced, and the server listens on.
    first->disconnectFromHost();
    ASSERT_TRUE(waitUntil([&] { return sp.rec.disconnects == 1; }));
    EXPECT_TRUE(sp.port.Open());
    EXPECT_FALSE(sp.port.WsConnected());
    auto third = sp.connectClient();
    EXPECT_TRUE(waitUntil([&] { return sp.rec.connects == 2; }));
    EXPECT_EQ(sp.rec.errors, 0);

    sp.port.SetOpen(false);
    EXPECT_TRUE(waitUntil([&] { return sp.rec.disconnects == 2; }));
    EXPECT_TRUE(waitUntil([&] { return third->state() == QAbstractSocket::UnconnectedState; }));
}

TEST(CommPortTcpServer, RefusedClientIsClosed)
{
    ServerPort sp;
    sp.rec.acceptClients = false;
    auto client = sp.connectClient();
    ASSERT_TRUE(waitUntil([&] { return sp.rec.accepts == 1; }));
    EXPECT_TRUE(waitUntil([&] { return client->state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_EQ(sp.rec.connects, 0);
    // The place is free again.
    sp.rec.acceptClients = true;
    auto next = sp.connectClient();
    EXPECT_TRUE(waitUntil([&] { return sp.rec.connects == 1; }));
}

TEST(CommPortTcpServer, ClosingAnnouncesDisconnectEvenWithoutClient)
{
    ServerPort sp;
    sp.port.SetOpen(false);
    EXPECT_EQ(sp.rec.disconnects, 0);
    EXPECT_TRUE(waitUntil([&] { return sp.rec.disconnects == 1; }));
    EXPECT_EQ(sp.port.ServerPort(), 0);
}
