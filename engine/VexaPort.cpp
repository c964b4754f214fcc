// SPDX-License-Identifier: GPL-3.0-or-later
// The engine's side of the port object: the receive path and the link
// handlers.
#include "VexaModbus.h"

#include <algorithm>

#include "CommPort.h"
#include "EngineLife.h"
#include "MbapFraming.h"
#include "ModbusFrames.h"
#include "VexaStates.h"

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
    FRxChunk = size_t(count);
    LineReceived(FBuffer.Size(), size_t(count));
    // Stored before the handler runs: a handler that runs the event loop can
    // bring later bytes in, and those must land behind these.
    FBuffer.Write(block, size_t(count));
    // The bytes are kept whatever the log handler does.
    RaiseSwallowed(OnReceiveData, this, block, count);
    if (FFrameCompleted) return; // a complete frame is not examined again
    if (State == msIdleSlave) DelimitListening();
    else if (StripEcho()) DelimitMaster();
    if (FFrameCompleted) SchedulePass();
    if (!InMainLoop) UpdateTimer();
}

void TVexaModbus::DelimitMaster()
{
    if (zorp::IsTcpFraming(FProtocol)) {
        DelimitTcp();
        return;
    }
    if (LineTimed()) {
        DelimitLine();
        return;
    }
    const zorp::ResponseKind kind = zorp::states::IsAckWait(State) ? zorp::ResponseKind::Ack : zorp::ResponseKind::Read;
    const zorp::Delimitation d = zorp::DelimitResponse(FBuffer.Data(), FBuffer.Size(), false, kind);
    if (!d.flagKnown) return;
    FIsException = d.exception;
    if (!d.complete) return;
    FFrameCompleted = true;
}

void TVexaModbus::DelimitTcp()
{
    // Modbus TCP frames are delimited by their header's length field, and an
    // answer belongs to the request only through its transaction identifier:
    // a late answer to an earlier request, or a frame of another protocol,
    // is dropped whole (OnReceiveData has shown it) and the wait goes on
    // under the same time-out.
    for (;;) {
        const zorp::mbap::Frame f = zorp::mbap::Delimit({FBuffer.Data(), FBuffer.Size()});
        if (f.status == zorp::mbap::Status::Invalid) {
            // No length to go by: nothing in these bytes can be found again.
            FBuffer.Clear();
            return;
        }
        if (f.status == zorp::mbap::Status::Incomplete) {
            if (FBuffer.Size() >= zorp::mbap::kHeaderSize + 2) FIsException = (FBuffer[7] & 0x80) != 0;
            return;
        }
        if (f.transactionId != FLastTransaction_ID || f.protocolId != 0) {
            FBuffer.RemoveFront(f.frameSize);
            continue;
        }
        FIsException = (FBuffer[7] & 0x80) != 0;
        FBuffer.RemoveFront(zorp::mbap::kPrefixSize);
        FFrameCompleted = true;
        return;
    }
}

bool TVexaModbus::StripEcho()
{
    if (!FEchoPending || !FRemoveEcho) return true;
    const size_t size = FBuffer.Size();
    const size_t n = std::min(size, FLastRequest.size());
    if (!std::equal(FLastRequest.begin(), FLastRequest.begin() + std::ptrdiff_t(n), FBuffer.Data())) {
        FEchoPending = false; // not an echo: the answer itself
        return true;
    }
    if (size < FLastRequest.size()) return false; // more of the echo to come
    FEchoPending = false;
    // A single write's acknowledgement is byte for byte its request: the
    // first copy is the echo only if another one follows. It is kept aside,
    // and taken as the acknowledgement if the wait ends without another
    // (TakeHeldEcho), so that a line without an echo never repeats a write.
    FEchoHeld = zorp::states::IsAckWait(State) && FLastRequest.size() == 8;
    DropFront(FLastRequest.size());
    return FBuffer.Size() > 0;
}

bool TVexaModbus::TakeHeldEcho()
{
    if (!FEchoHeld || FFrameCompleted) return false;
    FEchoHeld = false;
    FBuffer.Clear();
    FFrameStarts.clear();
    FBuffer.Write(FLastRequest.data(), FLastRequest.size());
    FIsException = false;
    FFrameCompleted = true;
    return true;
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
        if (FMode == mbmMaster) {
            if (FInterfaceType != mbiRS485) return; // a TCP link is up once connected
            FConnected = true;
            AddLog(QStringLiteral("Zestawiono połączenie RS485"));
            SetState(msIdle);
            Raise(OnConnect, this);
        } else {
            if (FInterfaceType == mbiRS485) AddLog(QStringLiteral("Nasłuch RS485 aktywny"));
            else if (FInterfaceType == mbiEthernet) AddLog(QStringLiteral("Nasłuch TCP/IP aktywny"));
            SetState(msIdleSlave);
            Raise(OnListen, this);
        }
    });
}

void TVexaModbus::PortConnected(TCommPort* port)
{
    (void)port;
    AttachTerminal();
    if (FMode == mbmMaster) {
        FConnected = true;
        AddLog(QStringLiteral("Zestawiono połączenie TCP/IP"));
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
