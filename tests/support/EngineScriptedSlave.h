// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A scripted TCP slave on 127.0.0.1 (port chosen by the system): every chunk
// the master sends is recorded as one request and answered with what the
// responder returns, chunk by chunk with a short pause between chunks.
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <cstdint>
#include <functional>
#include <vector>

namespace zorptest {

class EngineScriptedSlave : public QObject {
    Q_OBJECT
public:
    using Chunks = std::vector<std::vector<uint8_t>>;

    explicit EngineScriptedSlave(QObject* parent = nullptr);
    uint16_t port() const { return FServer.serverPort(); }

    // Answer for a request: chunks written in order (none: stay silent).
    std::function<Chunks(const std::vector<uint8_t>& request)> responder;
    int chunkPauseMs = 5;

    std::vector<std::vector<uint8_t>> requests;
    int connections = 0;

    // Closes the connected client (the master sees the peer close).
    void dropClient();
    bool hasClient() const { return FClient && FClient->state() == QAbstractSocket::ConnectedState; }

private:
    void onConnection();
    void onReadyRead();
    void writeChunks(Chunks chunks);

    QTcpServer FServer;
    QPointer<QTcpSocket> FClient;
};

} // namespace zorptest
