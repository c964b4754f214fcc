// SPDX-License-Identifier: GPL-3.0-or-later
#include "HostilePeer.h"

#include <QHostAddress>
#include <QTimer>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

#include "TestSupport.h"

namespace hostile {

size_t ResidentBytes()
{
    FILE* f = std::fopen("/proc/self/statm", "r");
    if (!f) return 0;
    unsigned long size = 0, resident = 0;
    const int n = std::fscanf(f, "%lu %lu", &size, &resident);
    std::fclose(f);
    return n == 2 ? size_t(resident) * size_t(sysconf(_SC_PAGESIZE)) : 0;
}

Bytes Garbage(size_t n, uint32_t seed)
{
    Bytes out(n);
    uint32_t x = seed ? seed : 1;
    for (auto& b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = uint8_t(x);
    }
    return out;
}

// ---- Flooder ------------------------------------------------------------------

namespace {
constexpr size_t kSlice = 64 * 1024;
}

Flooder::Flooder(QTcpSocket* socket, size_t total, uint32_t seed, std::function<void()> done)
    : QObject(socket), FSocket(socket), FTotal(total), FSeed(seed), FDone(std::move(done))
{
    connect(socket, &QTcpSocket::bytesWritten, this, [this] { Pump(); });
    QTimer::singleShot(0, this, [this] { Pump(); });
}

void Flooder::Pump()
{
    if (!FSocket || FSocket->state() != QAbstractSocket::ConnectedState) return;
    while (FSent < FTotal && FSocket->bytesToWrite() < qint64(kSlice)) {
        const size_t n = std::min(kSlice, FTotal - FSent);
        const Bytes slice = Garbage(n, FSeed + uint32_t(FSent / kSlice));
        FSocket->write(reinterpret_cast<const char*>(slice.data()), qint64(n));
        FSent += n;
    }
    if (FSent >= FTotal && FDone) {
        auto done = std::move(FDone);
        FDone = nullptr;
        done();
    }
}

// ---- HostileSlave ---------------------------------------------------------------

HostileSlave::HostileSlave(QObject* parent) : QObject(parent)
{
    connect(&FServer, &QTcpServer::newConnection, this, &HostileSlave::OnConnection);
    FServer.listen(QHostAddress::LocalHost, 0);
}

void HostileSlave::OnConnection()
{
    while (QTcpSocket* s = FServer.nextPendingConnection()) {
        ++connections;
        if (FClient) FClient->deleteLater();
        FClient = s;
        s->setParent(this);
        connect(s, &QTcpSocket::readyRead, this, &HostileSlave::OnReadyRead);
    }
}

void HostileSlave::OnReadyRead()
{
    auto* s = qobject_cast<QTcpSocket*>(sender());
    if (!s) return;
    const QByteArray data = s->readAll();
    if (s != FClient) return;
    requests.emplace_back(data.begin(), data.end());
    if (onRequest) onRequest(*this, requests.back());
}

bool HostileSlave::HasClient() const { return FClient && FClient->state() == QAbstractSocket::ConnectedState; }

void HostileSlave::Send(const Bytes& bytes)
{
    if (!FClient) return;
    FClient->write(reinterpret_cast<const char*>(bytes.data()), qint64(bytes.size()));
    FClient->flush();
}

void HostileSlave::SendLater(int ms, const Bytes& bytes)
{
    QTimer::singleShot(ms, this, [this, bytes] { Send(bytes); });
}

void HostileSlave::Flood(size_t total, uint32_t seed)
{
    if (!FClient) return;
    delete FFlooder;
    FFlooder = new Flooder(FClient, total, seed);
}

void HostileSlave::Reset()
{
    if (!FClient) return;
    // SO_LINGER with a zero time turns the close into a reset.
    const qintptr fd = FClient->socketDescriptor();
    if (fd >= 0) {
        struct linger l = {1, 0};
        ::setsockopt(int(fd), SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    FClient->abort();
}

void HostileSlave::Close()
{
    if (FClient) FClient->disconnectFromHost();
}

// ---- HostileClient --------------------------------------------------------------

HostileClient::HostileClient(QObject* parent) : QObject(parent)
{
    connect(&FSocket, &QTcpSocket::readyRead, this, [this] {
        const QByteArray d = FSocket.readAll();
        FReceived += size_t(d.size());
        // Keep at most what a test reads back; a flood's answers are dropped.
        if (FPending.size() < 1024 * 1024) FPending.insert(FPending.end(), d.begin(), d.end());
    });
}

bool HostileClient::Connect(uint16_t port, int timeoutMs)
{
    FSocket.connectToHost(QHostAddress::LocalHost, port);
    return zorptest::waitUntil([&] { return FSocket.state() == QAbstractSocket::ConnectedState; }, timeoutMs);
}

void HostileClient::Write(const Bytes& bytes)
{
    FSocket.write(reinterpret_cast<const char*>(bytes.data()), qint64(bytes.size()));
    FSocket.flush();
}

bool HostileClient::Flood(size_t total, uint32_t seed, int timeoutMs)
{
    bool done = false;
    auto* f = new Flooder(&FSocket, total, seed, [&] { done = true; });
    const bool ok = zorptest::waitUntil([&] { return done && FSocket.bytesToWrite() == 0; }, timeoutMs);
    delete f;
    return ok;
}

Bytes HostileClient::Read(size_t count, int timeoutMs)
{
    zorptest::waitUntil([&] { return FPending.size() >= count; }, timeoutMs);
    Bytes out;
    out.swap(FPending);
    return out;
}

Bytes HostileClient::ReadFor(int ms)
{
    zorptest::spin(ms);
    Bytes out;
    out.swap(FPending);
    return out;
}

void HostileClient::Discard() { FPending.clear(); }

void HostileClient::Abort() { FSocket.abort(); }

void HostileClient::Close()
{
    FSocket.disconnectFromHost();
    if (FSocket.state() != QAbstractSocket::UnconnectedState)
        zorptest::waitUntil([&] { return FSocket.state() == QAbstractSocket::UnconnectedState; }, 1000);
}

} // namespace hostile
