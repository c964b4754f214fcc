// SPDX-License-Identifier: GPL-3.0-or-later
#include "EngineScriptedSlave.h"

#include <QHostAddress>
#include <QTimer>

namespace zorptest {

EngineScriptedSlave::EngineScriptedSlave(QObject* parent) : QObject(parent)
{
    connect(&FServer, &QTcpServer::newConnection, this, &EngineScriptedSlave::onConnection);
    FServer.listen(QHostAddress::LocalHost, 0);
}

void EngineScriptedSlave::onConnection()
{
    while (QTcpSocket* s = FServer.nextPendingConnection()) {
        ++connections;
        if (FClient) FClient->deleteLater();
        FClient = s;
        s->setParent(this);
        connect(s, &QTcpSocket::readyRead, this, &EngineScriptedSlave::onReadyRead);
    }
}

void EngineScriptedSlave::onReadyRead()
{
    auto* s = qobject_cast<QTcpSocket*>(sender());
    if (!s) return;
    const QByteArray data = s->readAll();
    std::vector<uint8_t> request(data.begin(), data.end());
    requests.push_back(request);
    if (responder) writeChunks(responder(request));
}

void EngineScriptedSlave::writeChunks(Chunks chunks)
{
    if (chunks.empty() || !FClient) return;
    const std::vector<uint8_t> first = chunks.front();
    chunks.erase(chunks.begin());
    FClient->write(reinterpret_cast<const char*>(first.data()), qint64(first.size()));
    FClient->flush();
    if (!chunks.empty())
        QTimer::singleShot(chunkPauseMs, this, [this, chunks] { writeChunks(chunks); });
}

void EngineScriptedSlave::dropClient()
{
    if (FClient) FClient->disconnectFromHost();
}

} // namespace zorptest
