// TCP side of the port object.
#include "TcpSide.h"

#include <QNetworkProxy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#endif

#include "CommPort.h"

namespace zorp {

namespace {

[[noreturn]] void Fail(const QString& text)
{
    throw ECommPortError(text.toStdString());
}

QHostAddress Plain(const QHostAddress& a)
{
    bool ok = false;
    const quint32 v4 = a.toIPv4Address(&ok);
    return ok ? QHostAddress(v4) : a;
}

// True when the client has closed its end (or the connection failed) even
// though the socket has not yet noticed: its end-of-stream is still waiting
// among the events to come.
bool PeerHasLeft(QTcpSocket* s)
{
    if (s->state() != QAbstractSocket::ConnectedState)
        return true;
#ifdef Q_OS_UNIX
    const qintptr fd = s->socketDescriptor();
    if (fd < 0)
        return true;
    pollfd p{int(fd), POLLIN | POLLRDHUP, 0};
    if (::poll(&p, 1, 0) <= 0)
        return false;
    return (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
#else
    return false;
#endif
}

} // namespace

uint16_t ResolveTcpPort(const QString& text, bool allowZero)
{
    const QString t = text.trimmed();
    if (t.isEmpty())
        Fail(QStringLiteral("no TCP port given"));
    bool digits = true;
    for (QChar c : t)
        digits = digits && c >= u'0' && c <= u'9';
    if (digits) {
        bool ok = false;
        const uint v = t.toUInt(&ok);
        if (!ok || v > 65535)
            Fail(QStringLiteral("TCP port %1 out of range").arg(t));
        if (v == 0 && !allowZero)
            Fail(QStringLiteral("TCP port 0 cannot be connected to"));
        return static_cast<uint16_t>(v);
    }
#ifdef Q_OS_UNIX
    const QByteArray name = t.toLatin1();
    if (const servent* s = getservbyname(name.constData(), "tcp"))
        return ntohs(static_cast<uint16_t>(s->s_port));
#endif
    Fail(QStringLiteral("unknown TCP service %1").arg(t));
}

QHostAddress ResolveHost(const QString& text, int timeoutMs)
{
    const QString t = text.trimmed();
    if (t.isEmpty())
        Fail(QStringLiteral("no host given"));
    QHostAddress literal;
    if (literal.setAddress(t))
        return literal;

#ifdef Q_OS_UNIX
    // getaddrinfo has no time limit of its own: run it on a thread of its
    // own and stop waiting after timeoutMs. A lookup that overruns finishes
    // on its detached thread, touching nothing but its own shared state.
    using Result = std::vector<QHostAddress>;
    auto promise = std::make_shared<std::promise<Result>>();
    std::future<Result> future = promise->get_future();
    const std::string name = t.toStdString();
    std::thread([promise, name] {
        Result out;
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* list = nullptr;
        if (getaddrinfo(name.c_str(), nullptr, &hints, &list) == 0) {
            for (addrinfo* p = list; p; p = p->ai_next)
                if (p->ai_addr)
                    out.emplace_back(p->ai_addr);
            freeaddrinfo(list);
        }
        promise->set_value(std::move(out));
    }).detach();
    if (future.wait_for(std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 1)) != std::future_status::ready)
        Fail(QStringLiteral("host %1 could not be resolved in time").arg(t));
    const Result found = future.get();
    for (const QHostAddress& a : found)
        if (a.protocol() == QAbstractSocket::IPv4Protocol)
            return a;
    for (const QHostAddress& a : found)
        if (!a.isNull())
            return a;
#else
    Q_UNUSED(timeoutMs);
#endif
    Fail(QStringLiteral("host %1 cannot be resolved").arg(t));
}

TcpSide::TcpSide(TCommPort* port) : QObject(port), FPort(port) {}

TcpSide::~TcpSide() { Shutdown(); }

void TcpSide::OpenClient(const QHostAddress& host, uint16_t port, int connectTimeoutMs, int inSize)
{
    FInSize = inSize;
    FSocket = new QTcpSocket(this);
    FSocket->setProxy(QNetworkProxy::NoProxy);
    if (inSize > 0)
        FSocket->setReadBufferSize(inSize);
    WireSocket(FSocket);
    connect(FSocket, &QTcpSocket::connected, this, [this] {
        if (FLost)
            return;
        if (FConnectTimer)
            FConnectTimer->stop();
        FEstablished = true;
        // Modbus is request/response: Nagle's delay would hold every frame.
        FSocket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        FPort->PostConnect();
    });
    if (connectTimeoutMs > 0) {
        FConnectTimer = new QTimer(this);
        FConnectTimer->setSingleShot(true);
        connect(FConnectTimer, &QTimer::timeout, this, [this] {
            if (!FEstablished)
                ClientLost(QAbstractSocket::SocketTimeoutError);
        });
        FConnectTimer->start(connectTimeoutMs);
    }
    // May fail at once (an address that cannot be reached): the error
    // signal is handled like any later one, through the event queue.
    FSocket->connectToHost(host, port);
}

void TcpSide::OpenServer(const QHostAddress& bind, uint16_t port, int inSize)
{
    FInSize = inSize;
    FServer = new QTcpServer(this);
    FServer->setProxy(QNetworkProxy::NoProxy);
    FServer->setMaxPendingConnections(4);
    if (!FServer->listen(bind, port)) {
        const QString why = FServer->errorString();
        delete FServer;
        FServer = nullptr;
        Fail(QStringLiteral("cannot listen on %1 port %2: %3").arg(bind.toString()).arg(port).arg(why));
    }
    connect(FServer, &QTcpServer::newConnection, this, &TcpSide::TakePending);
    connect(FServer, &QTcpServer::acceptError, this, [this](QAbstractSocket::SocketError e) {
        FPort->PostError(static_cast<int>(e));
        if (FServer)
            FServer->resumeAccepting();
    });
}

void TcpSide::WireSocket(QTcpSocket* s)
{
    // channelReadyRead rather than readyRead: the socket emits it again for
    // bytes that arrive while a handler of the first one runs the event loop.
    connect(s, &QTcpSocket::channelReadyRead, this, [this](int) {
        if (FSocket && !FLost)
            FPort->ReceiveReady(FSocket);
    });
    connect(s, &QTcpSocket::errorOccurred, this,
            [this](QAbstractSocket::SocketError e) { ClientLost(static_cast<int>(e)); });
    connect(s, &QTcpSocket::disconnected, this,
            [this] { ClientLost(QAbstractSocket::RemoteHostClosedError); });
}

void TcpSide::Shutdown()
{
    if (FConnectTimer) {
        FConnectTimer->stop();
        FConnectTimer->deleteLater();
        FConnectTimer = nullptr;
    }
    // Signals are cut before abort(), which emits disconnected at once.
    for (QTcpSocket** p : {&FPending, &FSocket}) {
        if (QTcpSocket* s = *p) {
            s->disconnect(this);
            s->abort();
            s->deleteLater();
            *p = nullptr;
        }
    }
    if (FServer) {
        FServer->disconnect(this);
        FServer->close();
        FServer->deleteLater();
        FServer = nullptr;
    }
    FEstablished = false;
}

void TcpSide::ClientLost(int error)
{
    if (!FSocket || FLost)
        return;
    // Bytes that came before the end are delivered before the end is reported.
    Drain(true);
    const bool wasEstablished = FEstablished;
    FEstablished = false;
    // Never deleted inside one of its own signals.
    FSocket->disconnect(this);
    if (FServer) {
        // Server mode: the client is gone, the server goes on listening.
        FSocket->abort();
        FSocket->deleteLater();
        FSocket = nullptr;
        FPort->PostDisconnect();
        if (error != QAbstractSocket::RemoteHostClosedError)
            FPort->PostError(error);
        return;
    }
    FLost = true;
    if (FConnectTimer)
        FConnectTimer->stop();
    FSocket->abort();
    if (wasEstablished && error == QAbstractSocket::RemoteHostClosedError)
        FPort->PostSelfClose(-1); // the peer closed the connection
    else
        FPort->PostSelfClose(error);
}

void TcpSide::TakePending()
{
    while (FServer && FServer->hasPendingConnections()) {
        QTcpSocket* s = FServer->nextPendingConnection();
        if (!s)
            break;
        // A client that reconnects at once may arrive before its old
        // connection's end was handled: that one is gone, so it ends now
        // and the new client takes its place.
        if (FSocket && !FLost && !FPending && PeerHasLeft(FSocket))
            ClientLost(QAbstractSocket::RemoteHostClosedError);
        if (FSocket || FPending) {
            // One client at a time: a second one is closed at once.
            s->abort();
            s->deleteLater();
            continue;
        }
        FPending = s;
        s->setParent(this);
        uint8_t address[4] = {0, 0, 0, 0};
        bool ok = false;
        const quint32 v4 = s->peerAddress().toIPv4Address(&ok);
        if (ok) {
            address[0] = static_cast<uint8_t>(v4 >> 24);
            address[1] = static_cast<uint8_t>(v4 >> 16);
            address[2] = static_cast<uint8_t>(v4 >> 8);
            address[3] = static_cast<uint8_t>(v4);
        }
        FPort->PostAccept(address);
    }
}

void TcpSide::FinishAccept(bool accept)
{
    QTcpSocket* s = FPending;
    FPending = nullptr;
    if (!s)
        return;
    if (!accept || s->state() != QAbstractSocket::ConnectedState || FSocket) {
        s->abort();
        s->deleteLater();
        return;
    }
    FSocket = s;
    FEstablished = true;
    FSocket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    if (FInSize > 0)
        FSocket->setReadBufferSize(FInSize);
    WireSocket(FSocket);
    FPort->PostConnect();
    // Bytes the client sent while it waited for the verdict.
    ReadAvailable();
}

QString TcpSide::PeerAddress() const
{
    if (!FSocket)
        return {};
    return Plain(FSocket->peerAddress()).toString();
}

uint16_t TcpSide::ServerPort() const
{
    return FServer ? FServer->serverPort() : 0;
}

qint64 TcpSide::Write(const char* data, qint64 size)
{
    if (!FSocket || FLost)
        return FServer ? 0 : -1;
#ifdef Q_OS_UNIX
    // Straight to the connection while nothing waits in the socket's own
    // write buffer: going through that buffer switches its write notifier on
    // and off again, two wake-ups of the event loop for every frame. A full
    // send buffer or an error is left to the socket, which queues the rest
    // or reports the error as usual.
    if (size > 0 && FSocket->state() == QAbstractSocket::ConnectedState && FSocket->bytesToWrite() == 0) {
        const qintptr fd = FSocket->socketDescriptor();
        if (fd >= 0) {
            ssize_t sent;
            do
                sent = ::send(int(fd), data, size_t(size), MSG_NOSIGNAL | MSG_DONTWAIT);
            while (sent < 0 && errno == EINTR);
            if (sent == size)
                return size;
            if (sent > 0) {
                const qint64 rest = FSocket->write(data + sent, size - sent);
                return rest < 0 ? sent : sent + rest;
            }
        }
    }
#endif
    const qint64 n = FSocket->write(data, size);
    if (n > 0 && FSocket->state() == QAbstractSocket::ConnectedState)
        FSocket->flush(); // send now rather than on the next loop pass
    return n;
}

qint64 TcpSide::BytesAvailable() const
{
    return FSocket && !FLost ? FSocket->bytesAvailable() : 0;
}

void TcpSide::ReadAvailable()
{
    if (FSocket && !FLost)
        Drain(false);
}

void TcpSide::Drain(bool all)
{
    FPort->ReceiveFrom(FSocket, all);
}

} // namespace zorp
