// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Misbehaving peers on 127.0.0.1 for the hostile-peer tests: a slave that the
// test scripts request by request (answer, part of an answer, a late answer,
// a flood, a reset, a close) and a raw master client that floods, cuts
// requests short and drops in and out. Floods are written in slices as the
// socket drains, so that the peer itself never holds megabytes at once.
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <cstdint>
#include <functional>
#include <vector>

namespace hostile {

using Bytes = std::vector<uint8_t>;

// Resident set size of this process in bytes (0 where it cannot be read).
size_t ResidentBytes();

// Deterministic garbage (xorshift), the same for the same seed.
Bytes Garbage(size_t n, uint32_t seed);

// Writes `total` bytes of garbage to the socket in slices, each once the
// previous one has left; `done` (if set) runs after the last slice.
class Flooder : public QObject {
    Q_OBJECT
public:
    Flooder(QTcpSocket* socket, size_t total, uint32_t seed, std::function<void()> done = {});
    bool Finished() const { return FSent >= FTotal; }
    size_t Sent() const { return FSent; }

private:
    void Pump();
    QPointer<QTcpSocket> FSocket;
    size_t FTotal;
    size_t FSent = 0;
    uint32_t FSeed;
    std::function<void()> FDone;
};

class HostileSlave : public QObject {
    Q_OBJECT
public:
    explicit HostileSlave(QObject* parent = nullptr);
    uint16_t Port() const { return FServer.serverPort(); }

    // Called with every chunk the master sends (one request as a rule).
    std::function<void(HostileSlave& self, const Bytes& request)> onRequest;
    std::vector<Bytes> requests;
    int connections = 0;

    bool HasClient() const;
    void Send(const Bytes& bytes);
    void SendLater(int ms, const Bytes& bytes);
    // Starts a flood of garbage to the client (replaces a running one).
    void Flood(size_t total, uint32_t seed);
    bool FloodFinished() const { return !FFlooder || FFlooder->Finished(); }
    // Closes the connection with a TCP reset (no orderly shutdown).
    void Reset();
    // Closes the connection in the orderly way.
    void Close();

private:
    void OnConnection();
    void OnReadyRead();
    QTcpServer FServer;
    QPointer<QTcpSocket> FClient;
    QPointer<Flooder> FFlooder;
};

// A raw master: connects to 127.0.0.1:port, writes bytes, floods, reads.
class HostileClient : public QObject {
    Q_OBJECT
public:
    explicit HostileClient(QObject* parent = nullptr);
    bool Connect(uint16_t port, int timeoutMs = 3000);
    void Write(const Bytes& bytes);
    // Floods `total` bytes of garbage and returns once they left (or timeoutMs).
    bool Flood(size_t total, uint32_t seed, int timeoutMs = 20000);
    // Collects until `count` bytes came (or timeoutMs); returns them all.
    Bytes Read(size_t count, int timeoutMs = 3000);
    // Whatever comes within ms.
    Bytes ReadFor(int ms);
    // Drops everything received so far.
    void Discard();
    void Abort();
    void Close();
    QTcpSocket& Socket() { return FSocket; }
    size_t Received() const { return FReceived; }

private:
    QTcpSocket FSocket;
    Bytes FPending;
    size_t FReceived = 0;
};

} // namespace hostile
