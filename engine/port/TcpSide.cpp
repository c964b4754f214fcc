// SPDX-License-Identifier: GPL-3.0-or-later
// TCP side of the port object.
#include "TcpSide.h"
#include "StrictInt.h"

#include <QNetworkProxy>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QAbstractSocket>
#include <QEvent>
#include <QTimer>

#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include <cerrno>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include "CommPort.h"
#include "DirectNotifier.h"

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

// True when the peer has closed its end (or the connection failed) even
// though the connection has not yet noticed: its end-of-stream is still
// waiting among the events to come.
bool PeerHasLeft(int fd)
{
    if (fd < 0)
        return true;
    pollfd p{fd, POLLIN | POLLRDHUP, 0};
    if (::poll(&p, 1, 0) <= 0)
        return false;
    return (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

// The socket error code reported for a system error on a connection (the
// codes of QAbstractSocket::SocketError, as the socket classes report them).
int SocketErrorFor(int err)
{
    switch (err) {
    case ECONNREFUSED:
        return QAbstractSocket::ConnectionRefusedError;
    case ECONNRESET:
    case EPIPE:
        return QAbstractSocket::RemoteHostClosedError;
    case EACCES:
    case EPERM:
        return QAbstractSocket::SocketAccessError;
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
        return QAbstractSocket::SocketResourceError;
    case EADDRINUSE:
        return QAbstractSocket::AddressInUseError;
    case EADDRNOTAVAIL:
        return QAbstractSocket::SocketAddressNotAvailableError;
    default:
        // Unreachable networks and hosts, time-outs and anything else.
        return QAbstractSocket::NetworkError;
    }
}

// A client connection the peer reset (or that broke while sending) is a
// failed link, not an orderly close: it is reported as an error. In server
// mode the lost client is only announced, as before.
int ConnectionErrorFor(int err, bool server)
{
    if (!server && (err == ECONNRESET || err == EPIPE))
        return QAbstractSocket::NetworkError;
    return SocketErrorFor(err);
}

// The system's text for an error number ("Connection refused").
QString SystemText(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

void CloseFd(int fd)
{
    if (fd >= 0)
        ::close(fd);
}

// A socket notifier that calls its owner's function straight from the
// notification event, without the two signal emissions of QSocketNotifier:
// on a connection that carries one frame each way per transaction, they
// cost more than the engine's own work on the frame.
class Watch : public DirectNotifier {
public:
    using Handler = void (TcpSide::*)();
    Watch(int fd, Type type, TcpSide* side, Handler handler)
        : DirectNotifier(qintptr(fd), type, side), FSide(side), FHandler(handler) {}
    // No more calls, also from inside the one that runs.
    void Forget() { FSide = nullptr; }
    void Activated() override
    {
        if (FSide)
            (FSide->*FHandler)();
    }

private:
    TcpSide* FSide;
    Handler FHandler;
};

// A QTcpServer that hands over each accepted connection as a descriptor,
// instead of wrapping it in a QTcpSocket.
class DescriptorServer : public QTcpServer {
public:
    std::function<void(qintptr)> OnIncoming;
    using QTcpServer::QTcpServer;

protected:
    void incomingConnection(qintptr fd) override
    {
        if (OnIncoming)
            OnIncoming(fd);
        else
            CloseFd(int(fd));
    }
};

} // namespace

uint16_t ResolveTcpPort(const QString& text, bool allowZero)
{
    const QString t = text.trimmed();
    if (t.isEmpty())
        Fail(QStringLiteral("no TCP port given"));
    int64_t v = 0;
    const zorp::TIntResult r = zorp::ParseInteger(t, 0, 65535, v, zorp::IntDigitsOnly);
    if (r != zorp::TIntResult::NotANumber) {
        if (r == zorp::TIntResult::OutOfRange)
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
    sockaddr_storage address{};
    socklen_t length = 0;
    bool ok = false;
    const quint32 v4 = host.toIPv4Address(&ok);
    if (ok) {
        auto* a = reinterpret_cast<sockaddr_in*>(&address);
        a->sin_family = AF_INET;
        a->sin_port = htons(port);
        a->sin_addr.s_addr = htonl(v4);
        length = sizeof(sockaddr_in);
    } else {
        auto* a = reinterpret_cast<sockaddr_in6*>(&address);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(port);
        const Q_IPV6ADDR v6 = host.toIPv6Address();
        std::memcpy(&a->sin6_addr, &v6, sizeof v6);
        // A scope is a number or an interface name ("fe80::1%eth0").
        const QString scope = host.scopeId();
        bool numeric = false;
        a->sin6_scope_id = scope.toUInt(&numeric);
        if (!numeric && !scope.isEmpty())
            a->sin6_scope_id = ::if_nametoindex(scope.toLocal8Bit().constData());
        length = sizeof(sockaddr_in6);
    }
    const int fd = ::socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        Fail(QStringLiteral("cannot create a socket: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
    Attach(fd);
    if (connectTimeoutMs > 0) {
        FConnectTimer = new QTimer(this);
        FConnectTimer->setSingleShot(true);
        FConnectTimer->setTimerType(Qt::PreciseTimer); // never before the time-out
        connect(FConnectTimer, &QTimer::timeout, this, [this] {
            if (FEstablished || FFd < 0 || FLost)
                return;
            // The outcome may be waiting behind this timer in a busy loop:
            // a connection already made (or refused) is taken as such.
            pollfd p{FFd, POLLOUT, 0};
            if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLOUT | POLLERR | POLLHUP))) {
                Writable();
                return;
            }
            FPort->SetLastError(QStringLiteral("no answer to the connection attempt within %1 ms").arg(FConnectTimer->interval()));
            ClientLost(QAbstractSocket::SocketTimeoutError);
        });
        FConnectTimer->start(connectTimeoutMs);
    }
    int rc;
    do
        rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), length);
    while (rc < 0 && errno == EINTR);
    if (rc == 0) {
        Connected();
    } else if (errno == EINPROGRESS) {
        // Writable once the connection is made or has failed.
        FWrite->setEnabled(true);
    } else {
        // Fails at once (an address that cannot be reached): reported like
        // any later failure, through the event queue.
        FPort->SetLastError(SystemText(errno));
        LoseLater(SocketErrorFor(errno));
    }
}

void TcpSide::OpenServer(const QHostAddress& bind, uint16_t port, int inSize)
{
    FInSize = inSize;
    auto* server = new DescriptorServer(this);
    FServer = server;
    FServer->setProxy(QNetworkProxy::NoProxy);
    if (!FServer->listen(bind, port)) {
        const QString why = FServer->errorString();
        delete FServer;
        FServer = nullptr;
        Fail(QStringLiteral("cannot listen on %1 port %2: %3").arg(bind.toString()).arg(port).arg(why));
    }
    server->OnIncoming = [this](qintptr fd) { Incoming(fd); };
    connect(FServer, &QTcpServer::acceptError, this, [this](QAbstractSocket::SocketError e) {
        FPort->PostError(static_cast<int>(e));
        if (FServer)
            FServer->resumeAccepting();
    });
}

void TcpSide::Attach(int fd)
{
    FFd = fd;
    ++FLink;
    FHeldBack = false;
    FOut.clear();
    FRead = new Watch(fd, QSocketNotifier::Read, this, &TcpSide::Readable);
    FWrite = new Watch(fd, QSocketNotifier::Write, this, &TcpSide::Writable);
    // Reading starts once the connection is established.
    FRead->setEnabled(false);
    FWrite->setEnabled(false);
}

void TcpSide::Detach()
{
    // The notifiers may be the ones whose signal is running: switched off
    // now, deleted once it has returned.
    for (QSocketNotifier** n : {&FRead, &FWrite}) {
        if (*n) {
            (*n)->setEnabled(false);
            static_cast<Watch*>(*n)->Forget();
            (*n)->deleteLater();
            *n = nullptr;
        }
    }
    CloseFd(FFd);
    FFd = -1;
    ++FLink;
    FOut.clear();
    FHeldBack = false;
}

void TcpSide::Connected()
{
    if (FLost || FFd < 0)
        return;
    if (FConnectTimer)
        FConnectTimer->stop();
    FEstablished = true;
    // Modbus is request/response: Nagle's delay would hold every frame.
    const int one = 1;
    ::setsockopt(FFd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    FRead->setEnabled(true);
    FWrite->setEnabled(false);
    FPort->PostConnect();
    // What was written while the connection was being made.
    FlushOut();
}

void TcpSide::Shutdown()
{
    if (FConnectTimer) {
        FConnectTimer->stop();
        FConnectTimer->deleteLater();
        FConnectTimer = nullptr;
    }
    CloseFd(FPendingFd);
    FPendingFd = -1;
    CloseAllClients();
    Detach();
    if (FServer) {
        FServer->disconnect(this);
        static_cast<DescriptorServer*>(FServer)->OnIncoming = nullptr;
        FServer->close();
        FServer->deleteLater();
        FServer = nullptr;
    }
    FEstablished = false;
}

void TcpSide::LoseLater(int error)
{
    const uint64_t link = FLink;
    QMetaObject::invokeMethod(this, [this, link, error] {
        if (link == FLink)
            ClientLost(error);
    }, Qt::QueuedConnection);
}

void TcpSide::ClientLost(int error)
{
    if (FFd < 0 || FLost)
        return;
    // Bytes that came before the end are delivered before the end is reported.
    if (FEstablished)
        Drain();
    const bool wasEstablished = FEstablished;
    FEstablished = false;
    Detach();
    if (FServer) {
        // Server mode: the client is gone, the server goes on listening.
        FPort->PostDisconnect();
        if (error != QAbstractSocket::RemoteHostClosedError)
            FPort->PostError(error);
        return;
    }
    FLost = true;
    if (FConnectTimer)
        FConnectTimer->stop();
    if (wasEstablished && error == QAbstractSocket::RemoteHostClosedError)
        FPort->PostSelfClose(-1); // the peer closed the connection
    else
        FPort->PostSelfClose(error);
}

namespace {
// The IPv4 address of a connected socket's peer, 0.0.0.0 when it has none.
void PeerIPv4(int fd, uint8_t address[4])
{
    address[0] = address[1] = address[2] = address[3] = 0;
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0)
        return;
    bool ok = false;
    const quint32 v4 = QHostAddress(reinterpret_cast<const sockaddr*>(&peer)).toIPv4Address(&ok);
    if (!ok)
        return;
    address[0] = static_cast<uint8_t>(v4 >> 24);
    address[1] = static_cast<uint8_t>(v4 >> 16);
    address[2] = static_cast<uint8_t>(v4 >> 8);
    address[3] = static_cast<uint8_t>(v4);
}
} // namespace

void TcpSide::Incoming(qintptr descriptor)
{
    const int fd = int(descriptor);
    if (Multi()) {
        uint8_t address[4];
        PeerIPv4(fd, address);
        IncomingMulti(fd, address);
        return;
    }
    // A client that reconnects at once may arrive before its old
    // connection's end was handled: that one is gone, so it ends now and
    // the new client takes its place.
    if (FFd >= 0 && FPendingFd < 0 && PeerHasLeft(FFd))
        ClientLost(QAbstractSocket::RemoteHostClosedError);
    if (FFd >= 0 && FPendingFd < 0 && IdleSince(FLastRx)) {
        // One client at a time, and it has been silent: it makes room.
        FPort->PostFull(PeerText(FFd), true);
        DropClient();
    }
    if (FFd >= 0 || FPendingFd >= 0) {
        // One client at a time: a second one is closed at once.
        FPort->PostFull(PeerText(fd), false);
        CloseFd(fd);
        return;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    FPendingFd = fd;
    uint8_t address[4];
    PeerIPv4(fd, address);
    FPort->PostAccept(address);
}

void TcpSide::FinishAccept(bool accept)
{
    if (Multi()) {
        FinishAcceptMulti(accept);
        return;
    }
    const int fd = FPendingFd;
    FPendingFd = -1;
    if (fd < 0)
        return;
    // A client that left while it waited for the verdict is not taken.
    if (!accept || FFd >= 0 || PeerHasLeft(fd)) {
        CloseFd(fd);
        // The owner was told of this client when it accepted it: a client
        // gone before it was taken is announced as gone too.
        if (accept && FFd < 0)
            FPort->PostDisconnect();
        return;
    }
    Attach(fd);
    FEstablished = true;
    FLastRx = TcpClockMs();
    ConfigureAccepted(fd);
    FPort->PostConnect();
    // Bytes the client sent while it waited for the verdict.
    ReadAvailable();
}

void TcpSide::SetKeepAlive(int idle, int interval, int count)
{
    FKeepIdle = std::max(idle, 0);
    FKeepInterval = std::max(interval, 1);
    FKeepCount = std::max(count, 1);
}

void TcpSide::ConfigureAccepted(int fd) const
{
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (FKeepIdle > 0) {
        // A master gone without a close is noticed by the probes going
        // unanswered; the read then fails and the client is lost as usual.
        ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &FKeepIdle, sizeof FKeepIdle);
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &FKeepInterval, sizeof FKeepInterval);
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &FKeepCount, sizeof FKeepCount);
        // Probes only go while nothing is unacknowledged: an answer sent to
        // a master that vanished would be retransmitted for many minutes.
        // Data unacknowledged for as long as the probes take fails the
        // connection just as soon.
        const unsigned userTimeout = unsigned(FKeepIdle + FKeepInterval * FKeepCount) * 1000u;
        ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, sizeof userTimeout);
    }
}

void TcpSide::DropClient()
{
    if (Multi()) {
        CloseClient(FActive, true);
        return;
    }
    if (!FServer || FFd < 0)
        return;
    FEstablished = false;
    Detach();
    FPort->PostDisconnect();
}

int TcpSide::PeerOf(int fd, uint16_t* port, QString* address) const
{
    if (fd < 0)
        return -1;
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0)
        return -1;
    if (port)
        *port = ntohs(peer.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6*>(&peer)->sin6_port
                                                 : reinterpret_cast<const sockaddr_in*>(&peer)->sin_port);
    if (address)
        *address = Plain(QHostAddress(reinterpret_cast<const sockaddr*>(&peer))).toString();
    return 0;
}

QString TcpSide::PeerText(int fd) const
{
    uint16_t port = 0;
    QString address;
    if (PeerOf(fd, &port, &address) != 0)
        return QStringLiteral("?");
    return QStringLiteral("%1:%2").arg(address).arg(port);
}

bool TcpSide::IdleSince(int64_t lastRx) const
{
    return FIdleAfter >= 0 && TcpClockMs() - lastRx >= FIdleAfter;
}

uint16_t TcpSide::PeerPort() const
{
    uint16_t port = 0;
    PeerOf(PeerFd(), &port, nullptr);
    return port;
}

QString TcpSide::PeerAddress() const
{
    QString address;
    PeerOf(PeerFd(), nullptr, &address);
    return address;
}

uint16_t TcpSide::ServerPort() const
{
    return FServer ? FServer->serverPort() : 0;
}

qint64 TcpSide::Write(const char* data, qint64 size)
{
    if (Multi())
        return WriteMulti(data, size);
    if (FFd < 0 || FLost)
        return FServer ? 0 : -1;
    if (size <= 0)
        return 0;
    if (!FEstablished || !FOut.isEmpty()) {
        // Behind what is queued already, or until the connection is made.
        FOut.append(data, size);
        return size;
    }
    ssize_t sent;
    do
        sent = ::send(FFd, data, size_t(size), MSG_NOSIGNAL | MSG_DONTWAIT);
    while (sent < 0 && errno == EINTR);
    if (sent == size)
        return size;
    if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        FPort->SetLastError(SystemText(errno));
        LoseLater(ConnectionErrorFor(errno, FServer != nullptr));
        return -1;
    }
    // The socket's send buffer is full: the rest goes when it has room.
    FOut.append(data + std::max<ssize_t>(sent, 0), size - std::max<ssize_t>(sent, 0));
    FWrite->setEnabled(true);
    return size;
}

bool TcpSide::FlushOut()
{
    while (!FOut.isEmpty()) {
        ssize_t sent;
        do
            sent = ::send(FFd, FOut.constData(), size_t(FOut.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
        while (sent < 0 && errno == EINTR);
        if (sent < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                break;
            FPort->SetLastError(SystemText(errno));
            ClientLost(ConnectionErrorFor(errno, FServer != nullptr));
            return false;
        }
        FOut.remove(0, sent);
    }
    if (FWrite)
        FWrite->setEnabled(!FOut.isEmpty());
    return true;
}

void TcpSide::Writable()
{
    if (FFd < 0 || FLost)
        return;
    if (!FEstablished) {
        // The outcome of the connection attempt.
        int err = 0;
        socklen_t length = sizeof err;
        if (::getsockopt(FFd, SOL_SOCKET, SO_ERROR, &err, &length) != 0)
            err = errno;
        if (err == 0) {
            Connected();
        } else {
            FPort->SetLastError(SystemText(err));
            ClientLost(SocketErrorFor(err));
        }
        return;
    }
    FlushOut();
}

qint64 TcpSide::ReadStep(qint64 want, bool fromReadyRead, int& error)
{
    char* into = FPort->BeginIn(want);
    ssize_t got;
    do
        got = ::recv(FFd, into, size_t(want), MSG_DONTWAIT);
    while (got < 0 && errno == EINTR);
    const int err = errno;
    FPort->FinishIn(want, std::max<ssize_t>(got, 0), fromReadyRead);
    if (got > 0) {
        FLastRx = TcpClockMs();
        return got;
    }
    if (got < 0 && (err == EAGAIN || err == EWOULDBLOCK))
        return 0;
    error = got == 0 ? int(QAbstractSocket::RemoteHostClosedError) : ConnectionErrorFor(err, FServer != nullptr);
    FPort->SetLastError(got == 0 ? QStringLiteral("the peer closed the connection") : SystemText(err));
    return -1;
}

void TcpSide::Readable()
{
    if (FFd >= 0 && !FLost && FEstablished)
        ReadInto(true);
}

qint64 TcpSide::BytesAvailable() const
{
    return FFd >= 0 && !FLost && FEstablished && FHeldBack ? 1 : 0;
}

void TcpSide::ReadAvailable()
{
    if (FFd < 0 || FLost || !FEstablished)
        return;
    FRead->setEnabled(true);
    ReadInto(false);
}

void TcpSide::ReadInto(bool fromReadyRead)
{
    const qint64 room = FPort->InRoom();
    if (room <= 0) {
        // The port's buffer is full: the bytes wait in the socket until it
        // has room again (ReadAvailable), and the notifier rests meanwhile.
        FHeldBack = true;
        FRead->setEnabled(false);
        return;
    }
    const uint64_t link = FLink;
    int error = 0;
    const qint64 got = ReadStep(room, fromReadyRead, error);
    if (link != FLink)
        return; // a handler closed the port or the connection
    if (got < 0)
        ClientLost(error);
    else
        FHeldBack = got == room;
}

void TcpSide::Drain()
{
    // At the end of a connection the bytes still in the socket are taken
    // whatever room the buffer has left, up to one buffer's worth more.
    qint64 left = std::max(FInSize, 1);
    while (left > 0 && FFd >= 0) {
        int error = 0;
        const qint64 got = ReadStep(left, false, error);
        if (got <= 0)
            break;
        left -= got;
    }
}

} // namespace zorp
