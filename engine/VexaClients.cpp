// SPDX-License-Identifier: GPL-3.0-or-later
// Listening over TCP with several masters at once (MaxClients above 1): the
// port object hands over each client's bytes with its number; each client
// has a framer of its own (ListeningClients), from which its requests are
// taken one at a time and answered, and the answers go back to it.
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
#include "ListeningClients.h"
#include "ModbusFrames.h"

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
    using namespace zorp::framing;
    auto& state = FClients->Get(client, zorp::IsTcpFraming(FProtocol) ? Kind::Mbap : Kind::RtuTcp);
    if (FClients->Serving() >= 0 || InMainLoop) {
        FClients->Hold(client, data, size_t(size));
        // Served when the request being handled is done; a pass on the stack
        // (its handler runs the event loop) is looked at again shortly.
        if (FClients->Serving() < 0)
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
                if (auto* s = e->FClients->Find(client))
                    std::swap(e->FLastArrival, s->lastArrival);
                e->FFrameCompleted = completed;
                e->FClients->EndServing();
                p->SelectClient(-1);
                if (e->FClients->AnyHeld())
                    QMetaObject::invokeMethod(e, [e = e] { e->ServeWaiting(); }, Qt::QueuedConnection);
            }
        } restore{this, life, client, FComPort, FFrameCompleted};
        FClients->BeginServing(client);
        std::swap(FLastArrival, state.lastArrival);
        FFrameCompleted = false;
        FComPort->SelectClient(client);
        FeedListening(data, size_t(size));
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
        int client = -1;
        std::vector<uint8_t> bytes;
        while (FClients->Serving() < 0 && !InMainLoop && FClients->TakeHeld(client, bytes))
            ServeBytes(client, bytes.data(), int(bytes.size()));
        // A pass on the stack (its handler runs the event loop) holds them back.
        if (FClients->AnyHeld() && FClients->Serving() < 0 && InMainLoop)
            QTimer::singleShot(10, this, [this] { ServeWaiting(); });
    } catch (const zorp::EngineGone&) {
    } catch (...) {
        zorp::HandleUnhandledException(std::current_exception());
    }
}

void TVexaModbus::ClientClosed(int client)
{
    FClients->Close(client);
}
