#pragma once
// TCP side of the port object: a QTcpSocket connecting to a slave (client
// mode) or a QTcpServer taking one client at a time (server mode).
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <cstdint>

class QTcpServer;
class QTcpSocket;
class QTimer;
class TCommPort;

namespace zorp {

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

    // Starts connecting; the outcome arrives as port notifications.
    void OpenClient(const QHostAddress& host, uint16_t port, int connectTimeoutMs, int inSize);
    // Listens; throws ECommPortError when the address cannot be bound.
    void OpenServer(const QHostAddress& bind, uint16_t port, int inSize);
    // Closes every socket at once and stops all notifications to the port.
    void Shutdown();

    bool IsServer() const { return FServer != nullptr; }
    // A connection is established (client connected, or client accepted).
    bool Established() const { return FEstablished; }
    QString PeerAddress() const;
    uint16_t ServerPort() const;

    // Writes to the connected socket; 0 in server mode without a client.
    qint64 Write(const char* data, qint64 size);
    qint64 BytesAvailable() const;
    // Moves the waiting bytes into the port's receive buffer, as far as it
    // has room (all of them when the connection is ending).
    void ReadAvailable();

    // Server mode: the port object's verdict on the client announced by
    // PostAccept.
    void FinishAccept(bool accept);

private:
    void WireSocket(QTcpSocket* s);
    void ClientLost(int error);
    void TakePending();
    void Drain(bool all);

    TCommPort* FPort;
    QTcpSocket* FSocket = nullptr;   // the connection (client mode, or the accepted client)
    QTcpServer* FServer = nullptr;
    QTcpSocket* FPending = nullptr;  // server mode: a client waiting for the accept verdict
    QTimer* FConnectTimer = nullptr;
    int FInSize = 8192;
    bool FEstablished = false;
    bool FLost = false;              // client mode: the connection ended, the port closes itself
};

} // namespace zorp
