// SPDX-License-Identifier: GPL-3.0-or-later
// The engine's side of the framing backends (framing/Framer.h): which
// backend a link gets, and what the master and the listener do with the
// frames and faults it gives.
//
// Master: a frame that is the answer goes to the checks of the wait, alone
// and exactly as long as its frame gave (FBuffer holds just that frame,
// TCP without its header). Everything else is passed over and the wait goes
// on under the same time-out: a frame valid only as a request (an echo,
// another master), a Modbus TCP answer to another transaction, an answer
// whose byte count does not fit its own frame, and, on a serial line, an
// answer from another address (other slaves share the bus). An RTU frame
// whose CRC is wrong is reported as one (error 7, or 5 for an
// acknowledgement), whatever its address and function code say. RTU over
// TCP has no transaction identifier: what arrived before a request was sent
// is dropped with the framer's bytes, and an answer that does not fit the
// pending request (Transaction::Fits) is a late one and is passed over.
#include "VexaModbus.h"

#include <algorithm>

#include "LineClock.h"
#include "LineTimer.h"
#include "ModbusFrames.h"
#include "VexaStates.h"
#include "framing/Framer.h"

using namespace zorp::framing;

zorp::framing::Framer& TVexaModbus::Framer()
{
    const Kind kind = zorp::IsTcpFraming(FProtocol) ? Kind::Mbap
                      : FInterfaceType == mbiEthernet ? Kind::RtuTcp
                                                      : Kind::RtuLine;
    const Side side = FMode == mbmSlave || State == msIdleSlave ? Side::Listener : Side::Master;
    if (!FFramer || FFramer->GetKind() != kind || FFramer->GetSide() != side) {
        LineTiming timing;
        timing.charNs = FLine->CharNs();
        timing.silenceNs = FLine->SilenceNs();
        FFramer = MakeFramer(kind, side, timing);
    }
    return *FFramer;
}

size_t TVexaModbus::EchoPrefix(const uint8_t* block, size_t count)
{
    if (!FEchoPending || !FRemoveEcho) return 0;
    size_t i = 0;
    const std::span<const uint8_t> request = FTx.Frame();
    while (i < count && FEchoMatched < request.size() && block[i] == request[FEchoMatched]) {
        ++i;
        ++FEchoMatched;
    }
    if (FEchoMatched == request.size()) {
        FEchoPending = false; // the whole copy is gone
        // A single write's acknowledgement is byte for byte its request: the
        // first copy is the echo only if another one follows. It is kept
        // aside and taken as the acknowledgement if the wait ends without
        // another (TakeHeldEcho), so that a line without an echo never
        // repeats a write.
        FEchoHeld = zorp::states::IsAckWait(State) && request.size() == 8;
        return i;
    }
    if (i == count) return i; // more of the copy may follow
    // Not an echo: the bytes taken for one so far were the answer's.
    FEchoPending = false;
    const size_t earlier = FEchoMatched - i;
    if (earlier) Framer().Feed(request.data(), earlier, kNoTime);
    return 0;
}

bool TVexaModbus::TakeHeldEcho()
{
    if (!FEchoHeld || FFrameCompleted) return false;
    FEchoHeld = false;
    const std::span<const uint8_t> request = FTx.Frame();
    TakeFrame(request.data(), request.size(), false);
    return true;
}

void TVexaModbus::FeedMaster(const uint8_t* block, size_t count, int64_t nowNs)
{
    const size_t echo = EchoPrefix(block, count);
    zorp::framing::Framer& framer = Framer();
    if (echo < count) framer.Feed(block + echo, count - echo, nowNs);
}

void TVexaModbus::TakeFrame(const uint8_t* bytes, size_t size, bool exception)
{
    FBuffer.Clear();
    FBuffer.Write(bytes, size);
    FFrameLength = size;
    FIsException = exception;
    FFrameCompleted = true;
    if (FSilenceTimer) FSilenceTimer->Cancel();
}

void TVexaModbus::DelimitMaster(int64_t nowNs)
{
    zorp::framing::Framer& framer = Framer();
    const bool tcp = framer.GetKind() == Kind::Mbap;
    const bool line = LineTimed();
    // Bounded: every round consumes bytes, and the framer holds at most kMaxHeld.
    for (size_t round = 0; round <= kMaxHeld; ++round) {
        const Output o = framer.Next(line ? nowNs : kNoTime);
        if (o.what == Output::What::Nothing) break;
        if (o.what == Output::What::Fault) {
            if (o.fault != Fault::BadCrc) continue; // noise: dropped
            TakeFrame(o.bytes.data(), o.bytes.size(), false);
            FFrameFault = zorp::states::IsAckWait(State) ? 5 : 7;
            return;
        }
        const Adu& a = o.adu;
        if (a.otherSide) continue; // a request on the line: an echo, or another master's
        if (tcp && (a.transactionId != FLastTransaction_ID || a.protocolId != 0)) continue;
        if (!ResponseFitsPdu(a.pdu)) {
            AddLog(QStringLiteral("Odrzucono ramkę: liczba bajtów nie pasuje do długości ramki"));
            continue;
        }
        if (line && a.unit != FDeviceID) {
            AddLog(QStringLiteral("Pominięto odpowiedź innego urządzenia (DeviceID %1)").arg(unsigned(a.unit)));
            continue;
        }
        if (framer.GetKind() == Kind::RtuTcp && !FTx.Fits(a.pdu, State)) {
            AddLog(QStringLiteral("Odrzucono spóźnioną odpowiedź"));
            continue;
        }
        if (tcp) TakeFrame(a.frame.data() + 6, a.frame.size() - 6, a.pdu.IsException());
        else TakeFrame(a.frame.data(), a.frame.size(), a.pdu.IsException());
        return;
    }
    if (line) ArmSilence();
}

bool TVexaModbus::ListenerFramed() const
{
    return FMode == mbmSlave && FInterfaceType != mbiEthernet && !zorp::IsTcpFraming(FProtocol);
}

void TVexaModbus::DelimitListeningLine(int64_t nowNs)
{
    if (FFrameCompleted) return; // the request in hand is answered first
    zorp::framing::Framer& framer = Framer();
    for (size_t round = 0; round <= kMaxHeld; ++round) {
        const Output o = framer.Next(nowNs);
        if (o.what == Output::What::Nothing) break;
        if (o.what == Output::What::Fault) {
            // A request of ours with a bad CRC goes to the checks, which
            // answer it as designed (the error frame); anything else is noise.
            if (o.fault != Fault::BadCrc || o.bytes.empty() || o.bytes[0] != FDeviceID) continue;
            TakeRequest(o.bytes.data(), o.bytes.size());
        } else {
            if (o.adu.otherSide) continue; // another slave's answer
            TakeRequest(o.adu.frame.data(), o.adu.frame.size());
        }
        return;
    }
    if (nowNs != kNoTime) ArmSilence();
}

void TVexaModbus::TakeRequest(const uint8_t* bytes, size_t size)
{
    FBuffer.Clear();
    FBuffer.Write(bytes, size);
    FRequestLength = size;
    FIsException = size > 1 && (bytes[1] & 0x80) != 0;
    FFrameCompleted = true;
    FLine->RequestDone();
    if (FSilenceTimer) FSilenceTimer->Cancel();
    SchedulePass();
}

bool TVexaModbus::LateAnswerOwed()
{
    if (!FLateOwed) return false;
    // RTU over TCP has no transaction identifier: an answer that comes after
    // its request timed out would be taken as the next request's, and every
    // answer after it one poll late. The next request waits for it (or for
    // one time-out) and the late answer is dropped.
    zorp::framing::Framer& framer = Framer();
    for (size_t round = 0; round <= kMaxHeld; ++round) {
        const Output o = framer.Next();
        if (o.what == Output::What::Nothing) break;
        if (o.what == Output::What::Frame || o.fault == Fault::BadCrc) {
            AddLog(QStringLiteral("Odrzucono spóźnioną odpowiedź"));
            FLateOwed = false;
            return false;
        }
    }
    if (zorp::GetTickCount() - FLateSince > FFixedTimeout) FLateOwed = false;
    return FLateOwed;
}
