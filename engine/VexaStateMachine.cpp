// SPDX-License-Identifier: GPL-3.0-or-later
// The transaction state machine: one short pass per tick or posted call.
#include "VexaModbus.h"

#include <QString>
#include <algorithm>
#include <functional>

#include "CommPort.h"
#include "EngineLife.h"
#include "LineClock.h"
#include "LineTimer.h"
#include "ModbusFrames.h"
#include "VexaStates.h"
#include "framing/Framer.h"

using namespace zorp::states;

void TVexaModbus::ResetReceive()
{
    FBuffer.Clear();
    const uint32_t now = zorp::GetTickCount();
    FTx.Restart(now);
    FLastArrival = now;
    FFrameCompleted = false;
    FFrameLength = 0;
    FFrameFault = 0;
    FEchoPending = false;
    FEchoHeld = false;
    FEchoMatched = 0;
    // The master starts every request afresh; a listener's framer keeps
    // what followed the request it has answered.
    if (FFramer && FMode == mbmMaster) FFramer->Reset();
    if (FSilenceTimer) FSilenceTimer->Cancel();
}

void TVexaModbus::Fail(int32_t code, TMachineStates after)
{
    if (code == 10) FSendConfirm = true;
    FTx.Settle(zorp::Transaction::Outcome::Failed);
    if (const char* msg = zorp::ErrorMessage(code)) AddLog(QString::fromUtf8(msg));
    SetState(after);
    ReportError(code);
}

void TVexaModbus::DisconnectCheck()
{
    if (FTryDisconnect) SetState(msDisconnect);
}

void TVexaModbus::StateMachine()
{
    if (InMainLoop) return;
    InMainLoop = true;
    // Clears the pass guard however the pass ends (a handler may throw), and
    // lets the timer follow the state the pass left behind; a handler that
    // destroyed the engine leaves nothing to clear.
    LifeFrame life(this);
    struct PassGuard {
        TVexaModbus* e;
        const LifeFrame& life;
        ~PassGuard()
        {
            if (life.dead) return;
            e->InMainLoop = false;
            try { e->UpdateTimer(); } catch (...) {}
        }
    } guard{this, life};

    switch (State) {
    case msNone:
    case msDone:
    case msReadHoldingRegsSlave:
        break;
    case msInit:
    case msInitSlave:
        OpeningPass();
        break;
    case msIdle:
        DisconnectCheck();
        break;
    case msIdleSlave:
        ListeningPass();
        break;
    case msDisconnect:
        ClosingPass();
        break;
    case msSystemError:
        SystemErrorPass();
        break;
    default:
        MasterPass();
        break;
    }
}

void TVexaModbus::MasterPass()
{
    if (IsWait(State)) WaitPass();
    else RequestPass();
}

void TVexaModbus::OpeningPass()
{
    const bool slave = State == msInitSlave;
    if (!FComPort) {
        AddLog(QStringLiteral("Error: Port nie istnieje !!!"));
        ReportError(0);
        SetState(msDone);
    } else {
        bool failed = false;
        try {
            FConnected = false;
            FComPort->DataBits = FDataBits;
            FComPort->Parity = FParity;
            FComPort->StopBits = FStopBits;
            FComPort->Baud = FComSpeed;
            if (FInterfaceType == mbiRS485) {
                FComPort->DeviceLayer = dlSerial;
            } else if (FInterfaceType == mbiEthernet) {
                FComPort->DeviceLayer = dlTcp;
                FComPort->WsMode = slave ? wsServer : wsClient;
                FComPort->WsMaxClients = slave ? FMaxClients : 1;
                FComPort->WsAddress = FEthIP;
                FComPort->WsPort = QString::number(FEthPort);
                // A host that never answers is given up after the time-out,
                // like a refused connection, not after the system's minutes.
                FComPort->WsConnectTimeout = int(std::min<uint32_t>(FFixedTimeout, 24u * 3600u * 1000u));
            }
            LineOpened();
            ResetReceive();
            SetState(slave ? msIdleSlave : msIdle);
            AddLog(QStringLiteral("Otwieranie portu..."));
            if (FComPort->Open()) FComPort->SetOpen(false);
            // Opening a serial port announces it from inside this call;
            // whatever an event handler throws there is kept apart from
            // the port's own failures and ends the pass afterwards.
            FOpening = true;
            FOpeningException = nullptr;
            try {
                FComPort->SetOpen(true);
            } catch (const zorp::EngineGone&) {
                throw;
            } catch (...) {
                FOpening = false;
                throw;
            }
            FOpening = false;
        } catch (const zorp::EngineGone&) {
            throw;
        } catch (...) {
            failed = true;
        }
        if (failed) {
            FOpeningException = nullptr;
            AddLog(QStringLiteral("Exception: Nie można otworzyć portu !!!"));
            ReportError(1);
            SetState(msNone);
        } else if (FOpeningException) {
            std::exception_ptr e = FOpeningException;
            FOpeningException = nullptr;
            std::rethrow_exception(e);
        }
    }
    if (FTryDisconnect) SetState(msDone);
}

void TVexaModbus::RequestPass()
{
    // On a serial line the request waits for t3.5 of quiet; the pass comes
    // again when it has passed.
    if (LateAnswerOwed()) {
        DisconnectCheck();
        return;
    }
    if (LineBusy()) {
        // The hold counts against the transaction's time-out: a line that
        // is never quiet ends it.
        if (zorp::GetTickCount() - FLine->HoldStart() > FFixedTimeout) {
            FLine->EndHold();
            FLineWaiting = false;
            if (FRequestTimer) FRequestTimer->Cancel();
            AddLog(QStringLiteral("Linia zajęta: brak ciszy przed zapytaniem"));
            ResetReceive();
            Fail(4, msIdle);
        }
        DisconnectCheck();
        return;
    }
    ResetReceive();
    if (FLine->Holding()) {
        FTx.Restart(FLine->HoldStart());
        FLine->EndHold();
    }
    const TMachineStates request = State;
    // Unit 0 is the broadcast address: every slave carries out a write sent
    // to it and none answers, so a read can never be answered.
    FTx.Sending(request, FDeviceID);
    if (FTx.Unanswerable(FDeviceID) && FConnected && PortIsOpen()) {
        Fail(17, msIdle);
        DisconnectCheck();
        return;
    }
    if (FConnected && PortIsOpen()) {
        switch (request) {
        case msReadCoils:
            SendRequest(1, FTx.address, FTx.count);
            SetState(msWaitForReadCoils);
            break;
        case msReadDiscreteInputs:
            SendRequest(2, FTx.address, FTx.count);
            SetState(msWaitForReadDiscreteInputs);
            break;
        case msReadHoldingRegs:
            SendRequest(3, FTx.address, FTx.count);
            SetState(msWaitForReadHoldingRegs);
            break;
        case msReadInputRegs:
            SendRequest(4, FTx.address, FTx.count);
            SetState(msWaitForReadInputRegs);
            break;
        case msWriteSingleReg:
            SendRequest(6, FTx.address, FTx.count);
            SetState(msWaitForWriteSingleReg);
            break;
        case msWriteMultiRegs:
            SendMultiRegsRequest(16, FTx.address, FTx.values, FTx.count);
            SetState(msWaitForWriteMultiRegs);
            break;
        case msWriteSingleCoil:
            SendRequest(5, FTx.address, FTx.count);
            SetState(msWaitForWriteSingleCoil);
            break;
        case msWriteMultiCoils:
            SendMultiCoilsRequest(15, FTx.address, FTx.bytes, FTx.count);
            SetState(msWaitForWriteMultiCoils);
            break;
        case msReadFileRecord:
            SendFileRecordRequest(20, FTx.fileNumber, FTx.address, FTx.count);
            SetState(msWaitForReadFileRecord);
            break;
        case msWriteSingleSpecialReg:
            SendRequest(102, FTx.address, FTx.count);
            SetState(msWaitForWriteSingleSpecialReg);
            break;
        default:
            break;
        }
    } else {
        Fail(16, msDisconnect);
    }
    DisconnectCheck();
}

void TVexaModbus::WaitPass()
{
    const TMachineStates wait = State;
    const bool read = IsReadWait(wait);
    const uint32_t elapsed = FTx.Elapsed(zorp::GetTickCount());
    if (FTx.Broadcast()) {
        BroadcastWait(elapsed);
        return;
    }
    const bool timedOut = elapsed > FFixedTimeout;
    // The one copy of a single write that came was its acknowledgement.
    if (timedOut) TakeHeldEcho();

    bool takeTimeout = !FFrameCompleted && timedOut;
    if (!FFrameCompleted && !PortIsOpen()) {
        // The peer closed the connection (the port closed itself): no answer
        // can come any more, so the transaction ends now as a lost link.
        Fail(16, msDisconnect);
        DisconnectCheck();
        return;
    }
    if (FFrameCompleted && FFrameFault) {
        // A frame whose CRC is wrong: nothing in it is believed.
        const int32_t code = FFrameFault;
        FFrameFault = 0;
        Fail(code, msIdle);
    } else if (FFrameCompleted) {
        // The frame exactly, never what came in behind it.
        const size_t size = FFrameLength ? std::min(FFrameLength, FBuffer.Size()) : FBuffer.Size();
        const bool tcp = zorp::IsTcpFraming(FProtocol);
        const uint8_t fc = FunctionOf(wait);
        const zorp::CheckResult r = read
            ? zorp::CheckReadResponse(FBuffer.Data(), size, tcp, FIsException, FDeviceID, fc)
            : zorp::CheckAckResponse(FBuffer.Data(), size, tcp, FIsException, FDeviceID, fc,
                                     FTx.address, FTx.EchoWord(wait));
        switch (r.verdict) {
        case zorp::Verdict::Wait:
            // A complete frame that is still too short to decide on: the
            // time-out still applies, so a line that stops mid-frame cannot
            // hold the transaction for ever.
            takeTimeout = timedOut;
            break;
        case zorp::Verdict::Ignore:
            // An exception code without a report now: keep waiting, time-out
            // afresh. Busy (06) and acknowledge (05) are what the transaction
            // ends in should no retry be left.
            FTx.NoteRetried(r.code);
            ResetReceive();
            break;
        case zorp::Verdict::Report:
            // The receive buffer is emptied before the report so that nothing
            // of the failed frame outlives a handler that throws.
            if (r.resetFirst) ResetReceive();
            Fail(r.code, msIdle);
            break;
        case zorp::Verdict::Accept:
            if (read) AcceptRead();
            else AcceptAck();
            break;
        }
    }
    if (takeTimeout) {
        if (FInterfaceType == mbiEthernet && !zorp::IsTcpFraming(FProtocol)) {
            FLateOwed = true;
            FLateSince = zorp::GetTickCount();
        }
        if (read) AddLog(QStringLiteral("not FrameCompleted..."));
        if (FTx.Retry(FMaxRepeat)) {
            AddLog(QStringLiteral("Ponowienie"));
            SetState(RequestOf(wait));
        } else {
            Fail(FTx.TimeoutError(), msIdle);
        }
    }
    DisconnectCheck();
}

void TVexaModbus::BroadcastWait(uint32_t elapsed)
{
    // Nothing answers a broadcast: whatever arrives (an echo, another
    // master's traffic) is dropped, and once the slaves have had the
    // turnaround delay to carry the write out, it is done.
    if (FFrameCompleted || FBuffer.Size()) {
        FBuffer.Clear();
        FFrameCompleted = false;
        FFrameLength = 0;
        FFrameFault = 0;
    }
    if (elapsed > FBroadcastDelay) AcceptAck();
    DisconnectCheck();
}

void TVexaModbus::ClosingPass()
{
    if (FComPort) {
        try {
            FComPort->SetOpen(false);
        } catch (...) {
            // closing a port never fails in a way the engine could act on
        }
    }
    FTryDisconnect = false;
    SetState(msNone);
    FValueType = vtNone;
    AddLog(QStringLiteral("Rozłączenie"));
    FConnected = false;
    Raise(OnDisconnect, this);
}

void TVexaModbus::SystemErrorPass()
{
    // Like every report, the state after is set before OnError fires, so
    // the handler already sees the link down.
    FTryDisconnect = false;
    SetState(msNone);
    FConnected = false;
    ReportError(15);
}
