// SPDX-License-Identifier: GPL-3.0-or-later
// The engine's side of the port object: the receive path and the link
// handlers.
#include "VexaModbus.h"

#include <algorithm>

#include "CommPort.h"
#include "EngineLife.h"
#include "LineClock.h"
#include "MbapFraming.h"
#include "ModbusFrames.h"
#include "VexaStates.h"
#include "framing/Framer.h"

void TVexaModbus::PortDataAvailable(TCommPort* port, uint16_t Count)
{
    if (!port) return;
    // Take what was announced, but never more than is waiting: a stale
    // announcement must not turn into invented zero bytes.
    const int waiting = port->InBuffUsed();
    const int n = Count < waiting ? int(Count) : waiting;
    if (n <= 0) return;
    // A block of its own per call: a handler that runs the event loop may
    // bring the next notification in before this one is done.
    uint8_t small[512];
    std::vector<uint8_t> large;
    uint8_t* block = small;
    if (n > int(sizeof small)) {
        large.resize(size_t(n));
        block = large.data();
    }
    // In one piece: the same bytes that n GetChar calls would take.
    const int got = port->GetBlock(block, n);
    ReceiveBlock(block, got);
}

void TVexaModbus::ReceiveBlock(const uint8_t* block, int count)
{
    if (!block || count <= 0) return;
    FRxCounter += count;
    LineReceived();
    // Stored before the handler runs: a handler that runs the event loop can
    // bring later bytes in, and those must land behind these.
    FBuffer.Write(block, size_t(count));
    const bool listeningLine = State == msIdleSlave && ListenerFramed();
    const int64_t now = (listeningLine ? ListenerLineTimed() : LineTimed()) ? FLine->LastReceivedNs() : -1;
    if (listeningLine) Framer().Feed(block, size_t(count), now);
    else if (State == msIdleSlave) FeedListening(block, size_t(count));
    else FeedMaster(block, size_t(count), now);
    // The bytes are kept whatever the log handler does.
    RaiseSwallowed(OnReceiveData, this, block, count);
    // The framers (VexaFraming.cpp) took the bytes above; a complete frame
    // is not examined again.
    if (FFrameCompleted) return;
    if (listeningLine) DelimitListeningLine(now);
    else if (State == msIdleSlave) DelimitListening();
    else if (zorp::states::IsWait(State)) DelimitMaster(now);
    if (FFrameCompleted) SchedulePass();
    if (!InMainLoop) UpdateTimer();
}

namespace {
// Raises an event from inside the opening pass's SetOpen(true): the
// exception is kept for the pass to rethrow once the port call is done.
template <typename F>
void DuringOpening(bool opening, std::exception_ptr& keep, F&& f)
{
    if (!opening) { f(); return; }
    try {
        f();
    } catch (const zorp::EngineGone&) {
        throw;
    } catch (...) {
        if (!keep) keep = std::current_exception();
    }
}
} // namespace

void TVexaModbus::PortOpened(TCommPort* port)
{
    (void)port;
    DuringOpening(FOpening, FOpeningException, [this] {
        AttachTerminal();
        // A TCP client link is up once connected (PortConnected).
        if (FMode == mbmMaster && FInterfaceType != mbiRS485) return;
        LinkUp(QStringLiteral("Zestawiono połączenie RS485"));
    });
}

void TVexaModbus::PortConnected(TCommPort* port)
{
    (void)port;
    AttachTerminal();
    LinkUp(QStringLiteral("Zestawiono połączenie TCP/IP"));
}

void TVexaModbus::LinkUp(const QString& masterLog)
{
    if (FMode == mbmMaster) {
        FConnected = true;
        AddLog(masterLog);
        SetState(msIdle);
        Raise(OnConnect, this);
    } else {
        if (FInterfaceType == mbiRS485) AddLog(QStringLiteral("Nasłuch RS485 aktywny"));
        else if (FInterfaceType == mbiEthernet) AddLog(QStringLiteral("Nasłuch TCP/IP aktywny"));
        SetState(msIdleSlave);
        Raise(OnListen, this);
    }
}

void TVexaModbus::PortDisconnected(TCommPort* port)
{
    AddLog(QStringLiteral("Rozłączono"));
    if (FMode == mbmSlave) {
        Raise(OnClientDisconnect, port);
        FClientIP.clear();
    } else if (zorp::states::IsWait(State)) {
        // A transaction waits for an answer that cannot come: its pass ends it.
        SchedulePass();
        if (!InMainLoop) UpdateTimer();
    }
}

void TVexaModbus::PortError(TCommPort* port, int code)
{
    (void)code; // the kind of socket error does not change what follows
    // With the standard profile a listener outlives its clients: a master
    // whose connection was reset or timed out is gone, the next one is served.
    if (FMode == mbmSlave && FStandardProfile && State == msIdleSlave && port && port->Open() &&
        FInterfaceType == mbiEthernet) {
        AddLog(QStringLiteral("Błąd połączenia klienta"));
        return;
    }
    SetState(msSystemError);
}
