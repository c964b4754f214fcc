// SPDX-License-Identifier: GPL-3.0-or-later
// Listening over Modbus TCP with several masters at once (MaxClients above
// 1): the port object hands over each client's bytes with its number; each
// client keeps a receive buffer of its own, which stands in FBuffer while
// its requests are delimited and answered, and the answers go back to it.
// Requests are answered as they complete, inside the client's notification.
#include "VexaModbus.h"

#include <QMetaObject>

#include "CommPort.h"

void TVexaModbus::ClientData(TCommPort* port, int client, const uint8_t* data, int size)
{
    if (!port || !data || size <= 0 || FMode != mbmSlave)
        return;
    auto& state = FClientStates[client];
    if (!state)
        state = std::make_unique<ClientState>();
    FRxCounter += size;
    if (OnReceiveData) {
        try {
            OnReceiveData(this, data, size);
        } catch (...) {
            // the bytes are kept whatever the log handler does
        }
    }
    if (FServing >= 0 || InMainLoop) {
        // An event handler of another request runs (and ran the event loop):
        // these bytes wait in their buffer and are served right after it.
        state->buffer.Write(data, size_t(size));
        QMetaObject::invokeMethod(this, [this, client] { ServeClient(client); }, Qt::QueuedConnection);
        return;
    }
    FRxChunk = size_t(size);
    FServing = client;
    FServingClosed = false;
    struct Restore {
        TVexaModbus* e;
        int client;
        TCommPort* p;
        bool completed;
        ~Restore()
        {
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
        }
    } restore{this, client, port, FFrameCompleted};
    std::swap(FBuffer, state->buffer);
    std::swap(FTimeout, state->lastArrival);
    FFrameCompleted = false;
    port->SelectClient(client);
    FBuffer.Write(data, size_t(size));
    if (State != msIdleSlave)
        return;
    DelimitListening();
    while (FFrameCompleted && State == msIdleSlave)
        ListeningPass();
}

void TVexaModbus::ServeClient(int client)
{
    auto it = FClientStates.find(client);
    if (it == FClientStates.end() || FServing >= 0 || InMainLoop || !FComPort || State != msIdleSlave)
        return;
    ClientState* state = it->second.get();
    if (state->buffer.Size() == 0)
        return;
    // The waiting bytes are delimited as if they had just come; they were
    // counted and announced when they came.
    std::vector<uint8_t> waiting(state->buffer.Data(), state->buffer.Data() + state->buffer.Size());
    state->buffer.Clear();
    FRxCounter -= int64_t(waiting.size());
    TOnReceiveData announce = std::move(OnReceiveData);
    OnReceiveData = nullptr;
    struct Back {
        TOnReceiveData& slot;
        TOnReceiveData& saved;
        ~Back() { slot = std::move(saved); }
    } back{OnReceiveData, announce};
    ClientData(FComPort, client, waiting.data(), int(waiting.size()));
}

void TVexaModbus::ClientClosed(int client)
{
    if (client == FServing)
        FServingClosed = true;
    else
        FClientStates.erase(client);
}
