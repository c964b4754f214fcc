// SPDX-License-Identifier: GPL-3.0-or-later
// Listening over TCP with several masters at once (MaxClients above 1): the
// port object hands over each client's bytes with its number; each client
// keeps a receive buffer of its own, which stands in FBuffer while its
// requests are delimited and answered, and the answers go back to it.
// Requests are answered as they complete, inside the client's notification.
//
// An event handler of one request may run the event loop (a dialog, a
// blocking write elsewhere): bytes that come meanwhile, from any master, the
// one being served included, wait aside and are served once that handler
// has returned, in the order they came.
#include "VexaModbus.h"

#include <QMetaObject>
#include <QTimer>

#include "CommPort.h"
#include "EngineLife.h"

void TVexaModbus::ClientData(TCommPort* port, int client, const uint8_t* data, int size)
{
    if (!port || !data || size <= 0 || FMode != mbmSlave)
        return;
    FRxCounter += size;
    RaiseSwallowed(OnReceiveData, this, data, size);
    ServeBytes(client, data, size);
}

void TVexaModbus::ServeBytes(int client, const uint8_t* data, int size)
{
    auto& state = FClientStates[client];
    if (!state)
        state = std::make_unique<ClientState>();
    if (FServing >= 0 || InMainLoop) {
        state->waiting.insert(state->waiting.end(), data, data + size);
        FWaitingOrder.push_back(client);
        // Served when the request being handled is done; a pass on the stack
        // (its handler runs the event loop) is looked at again shortly.
        if (FServing < 0)
            QTimer::singleShot(10, this, [this] { ServeWaiting(); });
        return;
    }
    if (!FComPort)
        return;
    {
        LifeFrame life(this);
        struct Restore {
            TVexaModbus* e;
            LifeFrame& life;
            int client;
            TCommPort* p;
            bool completed;
            ~Restore()
            {
                if (life.dead)
                    return;
                auto& s = e->FClientStates[client];
                if (s) {
                    std::swap(e->FBuffer, s->buffer);
                    std::swap(e->FTimeout, s->lastArrival);
                }
                e->FFrameCompleted = completed;
                e->FServing = -1;
                p->SelectClient(-1);
                // A client closed while it was served (its header was broken)
                // leaves its state only now.
                if (e->FServingClosed)
                    e->FClientStates.erase(client);
                if (!e->FWaitingOrder.empty())
                    QMetaObject::invokeMethod(e, [e = e] { e->ServeWaiting(); }, Qt::QueuedConnection);
            }
        } restore{this, life, client, FComPort, FFrameCompleted};
        FRxChunk = size_t(size);
        FServing = client;
        FServingClosed = false;
        std::swap(FBuffer, state->buffer);
        std::swap(FTimeout, state->lastArrival);
        FFrameCompleted = false;
        FComPort->SelectClient(client);
        FBuffer.Write(data, size_t(size));
        if (State != msIdleSlave)
            return;
        DelimitListening();
        while (FFrameCompleted && State == msIdleSlave)
            ListeningPass();
    }
}

void TVexaModbus::ServeWaiting()
{
    try {
        // One arrival at a time, oldest first; each may run handlers that
        // bring in more.
        while (!FWaitingOrder.empty() && FServing < 0 && !InMainLoop) {
            const int client = FWaitingOrder.front();
            FWaitingOrder.erase(FWaitingOrder.begin());
            auto it = FClientStates.find(client);
            if (it == FClientStates.end() || it->second->waiting.empty())
                continue;
            // Everything of this client that waits goes at once (the arrivals
            // of one client are one byte stream).
            std::vector<uint8_t> bytes;
            bytes.swap(it->second->waiting);
            ServeBytes(client, bytes.data(), int(bytes.size()));
        }
        // A pass on the stack (its handler runs the event loop) holds them back.
        if (!FWaitingOrder.empty() && FServing < 0 && InMainLoop)
            QTimer::singleShot(10, this, [this] { ServeWaiting(); });
    } catch (const zorp::EngineGone&) {
    } catch (...) {
        zorp::HandleUnhandledException(std::current_exception());
    }
}

void TVexaModbus::ClientClosed(int client)
{
    if (client == FServing)
        FServingClosed = true;
    else
        FClientStates.erase(client);
}
