// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TCP side of the port object: a non-blocking socket connecting to a slave
// (client mode), or a QTcpServer taking one client at a time (server mode).
// The connection itself is read and written straight through the socket,
// watched by socket notifiers on the owner's event loop, with no buffering
// layer of its own: received bytes go straight into the port's buffer.
#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

class QSocketNotifier;
class QTcpServer;
class QTimer;
class TCommPort;

namespace zorp {

// Milliseconds of the monotonic clock: how long a server's connections were silent.
inline int64_t TcpClockMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Port text: a decimal number or a service name of /etc/services. Throws
// ECommPortError when it names no port (0 only when allowZero).
uint16_t ResolveTcpPort(const QString& text, bool allowZero);
// Host text: an IPv4 or IPv6 address, or a host name looked up for at most
// timeoutMs (an IPv4 address preferred). Throws ECommPortError when it
// cannot be resolved.
QHostAddress ResolveHost(const QString& text, int timeoutMs);

class TcpSide : public QObject {
    Q_OBJECT
public:
    explicit TcpSide(TCommPort* port);
    ~TcpSide() override;

    // Starts connecting; the outcome arrives as port notifications. Throws
    // ECommPortError when no socket can be created.
    void OpenClient(const QHostAddress& host, uint16_t port, int connectTimeoutMs, int inSize);
    // Listens; throws ECommPortError when the address cannot be bound.
    void OpenServer(const QHostAddress& bind, uint16_t port, int inSize);
    // Closes every socket at once and stops all notifications to the port.
    void Shutdown();

    bool IsServer() const { return FServer != nullptr; }
    // A connection is established (client connected, or client accepted).
    bool Established() const { return Multi() ? !FClients.empty() : FEstablished; }
    QString PeerAddress() const;
    uint16_t ServerPort() const;

    // Sends on the connection, queueing what the socket cannot take now
    // (and, while a client connection is still being made, everything until
    // it is). Returns size, 0 in server mode without a client, -1 when the
    // connection is gone or has just failed (the failure is reported
    // through the port's notifications).
    qint64 Write(const char* data, qint64 size);
    // Nonzero when received bytes may be waiting in the socket that the
    // port's buffer had no room for.
    qint64 BytesAvailable() const;
    // Moves the waiting bytes into the port's receive buffer, as far as it
    // has room.
    void ReadAvailable();

    // Server mode: the port object's verdict on the client announced by
    // PostAccept.
    void FinishAccept(bool accept);
    // Server mode: keep-alive of accepted connections (seconds; idle 0: off).
    void SetKeepAlive(int idle, int interval, int count);
    // Server mode: closes the accepted client at once (its unread bytes are
    // dropped) and posts its disconnection; the server goes on listening.
    void DropClient();
    uint16_t PeerPort() const;

    // Server mode, several masters at once (set before OpenServer; 1: one
    // client at a time). Each accepted client is a connection of its own:
    // its bytes go to the port's OnClientData, never into the port's
    // buffer, and Write sends to the client chosen by SelectClient.
    void SetMaxClients(int n) { FMaxClients = n < 1 ? 1 : n; }
    bool Multi() const { return FMaxClients > 1; }
    void SelectClient(int id) { FActive = id; }
    // Server mode: a connection silent this long (ms) gives its place to a
    // newcomer when all are taken (below 0: never).
    void SetIdleAfter(int ms) { FIdleAfter = ms; }

private:
    void Incoming(qintptr fd);
    void Attach(int fd);
    void Detach();
    void Readable();
    void ReadInto(bool fromReadyRead);
    void Writable();
    void Connected();
    bool FlushOut();
    // One recv of up to want bytes into the port's buffer: the bytes taken,
    // or -1 when the connection has ended (error: the code to report).
    qint64 ReadStep(qint64 want, bool fromReadyRead, int& error);
    void LoseLater(int error);
    void ClientLost(int error);
    void Drain();

    TCommPort* FPort;
    int FFd = -1;                    // the connection (client mode, or the accepted client)
    QSocketNotifier* FRead = nullptr;
    QSocketNotifier* FWrite = nullptr;
    QByteArray FOut;                 // bytes the socket has not taken yet
    QTcpServer* FServer = nullptr;
    int FPendingFd = -1;             // server mode: a client waiting for the accept verdict
    QTimer* FConnectTimer = nullptr;
    int FInSize = 8192;
    bool FEstablished = false;
    bool FLost = false;              // client mode: the connection ended, the port closes itself
    bool FHeldBack = false;          // the last read stopped for want of room in the port
    uint64_t FLink = 0;              // bumps with every connection attached or detached
    // Several masters at once (TcpSideClients.cpp).
    struct Client {
        int id = 0;
        int fd = -1;
        QSocketNotifier* read = nullptr;
        QSocketNotifier* write = nullptr;
        QByteArray out;          // bytes the socket has not taken yet
        bool accepted = false;   // the accept verdict came: its bytes are read
        int64_t lastRx = 0;      // when it last sent (or connected)
    };
    void CloseAllClients();
    void IncomingMulti(int fd, const uint8_t address[4]);
    void FinishAcceptMulti(bool accept);
    Client* FindClient(int id) const;
    void ClientReadable(int id);
    void ClientWritable(int id);
    void CloseClient(int id, bool announce);
    qint64 WriteMulti(const char* data, qint64 size);
    void ConfigureAccepted(int fd) const;
    int PeerOf(int fd, uint16_t* port, QString* address) const;
    int PeerFd() const;              // the connection PeerAddress describes
    QString PeerText(int fd) const;  // "address:port" of a connection's peer
    bool IdleSince(int64_t lastRx) const; // silent for FIdleAfter since lastRx
    int64_t FLastRx = 0;             // single client: when it last sent (or was taken)
    int FIdleAfter = 1000;
    std::vector<std::unique_ptr<Client>> FClients;
    std::vector<int> FAwaiting;      // clients announced, waiting for the accept verdict (in order)
    int FMaxClients = 1;
    int FNextClient = 0;
    int FActive = -1;                // the client Write sends to
    int FLastAccepted = -1;

    int FKeepIdle = 0;               // server mode: keep-alive of accepted connections
    int FKeepInterval = 0;
    int FKeepCount = 0;
};

} // namespace zorp
