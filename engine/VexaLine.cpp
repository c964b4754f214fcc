// SPDX-License-Identifier: GPL-3.0-or-later
// Serial line timing: RTU on a serial line needs t3.5 of quiet before every
// frame, so the engine keeps track of when the line was last busy.
//
// - Before a request goes out the line must have been quiet for t3.5 since
//   the last byte received or sent (a slave still driving a two-wire bus,
//   the CRC of an exception answer still on its way). The request pass is
//   then held back on a precise one-shot timer; nothing runs meanwhile and
//   the event loop goes on. The hold counts against the transaction's
//   time-out: a line that is never quiet ends the transaction with error 4.
// - Received bytes are framed by the line framer (framing/RtuFramer.h):
//   by content first, by silence only where content cannot decide. The
//   silence timer brings the framer's judgement when its time comes.
// - Listening on a serial line, the answer to a request addressed to the
//   engine goes out only once the line has been quiet for t3.5 after the
//   request's last byte: a master's two-wire adapter needs the time to
//   release the bus, and a master that delimits by silence would take an
//   earlier answer as part of its own request. A slave answers within its
//   turnaround or not at all: an answer the line's traffic keeps back
//   longer is dropped. Requests for other units are handled at once; the
//   units a request hook answers count as the engine's own.
//
// RTU over TCP has no line, and nothing here applies to it.
#include "VexaModbus.h"

#include <algorithm>

#include "CommPort.h"
#include "LineClock.h"
#include "LineTimer.h"
#include "ModbusFrames.h"
#include "RtuLine.h"
#include "VexaStates.h"
#include "framing/Framer.h"

namespace {
// The longest a listener's answer may wait for the line's quiet after its
// request (never longer than the time-out).
constexpr int64_t kTurnaroundLimitNs = 300000000;
} // namespace

bool TVexaModbus::LineTimed() const
{
    if (FMode != mbmMaster || FInterfaceType != mbiRS485 || zorp::IsTcpFraming(FProtocol)) return false;
    if (FLineTimingForTests) return true;
    return FComPort && FComPort->Open() && FComPort->DeviceLayer == dlSerial;
}

void TVexaModbus::LineOpened()
{
    FLine->Open(zorp::rtu::CharTimeNs(FComSpeed, FDataBits, FParity, FStopBits),
                zorp::rtu::SilenceNs(FComSpeed, FDataBits, FParity, FStopBits));
    FLineWaiting = false;
    FLateOwed = false;
    FFramer.reset(); // made afresh for this link's framing and timing
    if (FRequestTimer) FRequestTimer->Cancel();
    if (FSilenceTimer) FSilenceTimer->Cancel();
    if (FInterfaceType != mbiRS485) return; // no line to time
    if (!FRequestTimer) {
        FRequestTimer = new zorp::LineTimer(this);
        FRequestTimer->OnDue = [this] {
            FLineWaiting = false;
            MainTimerTimer(); // the held-back request pass (exceptions end there)
        };
    }
    if (!FSilenceTimer) {
        FSilenceTimer = new zorp::LineTimer(this);
        FSilenceTimer->OnDue = [this] {
            try {
                LineSilence();
            } catch (...) {
                zorp::HandleUnhandledException(std::current_exception());
            }
        };
    }
}

bool TVexaModbus::ListenerLineTimed() const
{
    if (FMode != mbmSlave || FInterfaceType != mbiRS485 || zorp::IsTcpFraming(FProtocol)) return false;
    if (FLineTimingForTests) return true;
    return FComPort && FComPort->Open() && FComPort->DeviceLayer == dlSerial;
}

bool TVexaModbus::LineBusy()
{
    if (!LineTimed() || !HoldForQuiet()) {
        return false;
    }
    FLine->Hold(zorp::GetTickCount());
    return true;
}

bool TVexaModbus::AnswerMustWait()
{
    // Only a request that is answered waits: one for another unit (or a
    // broadcast) is taken at once, so that it cannot hold up the master's
    // next request behind it.
    if (!ListenerLineTimed() || FBuffer.Size() == 0 || !AnswersUnit(FBuffer[0])) return false;
    if (!HoldForQuiet()) return false;
    const int64_t limit = std::min<int64_t>(int64_t(FFixedTimeout) * 1000000, kTurnaroundLimitNs);
    if (FLine->SinceRequestDoneNs() <= limit) return true;
    // Too late for the master to take it: the request goes unanswered.
    FLineWaiting = false;
    if (FRequestTimer) FRequestTimer->Cancel();
    AddLog(QStringLiteral("Linia zajęta: brak ciszy przed odpowiedzią, odpowiedź pominięta"));
    ResetReceive();
    return true;
}

bool TVexaModbus::HoldForQuiet()
{
    const int64_t now = zorp::LineClockNs();
    int64_t due = FLine->QuietAtNs();
    // Bytes the event loop has not brought in yet were on the line: look
    // again once they are in.
    if (now >= due && PortInputWaiting()) due = now + FLine->RecheckNs();
    if (now >= due) {
        FLineWaiting = false;
        return false;
    }
    if (FRequestTimer) {
        FLineWaiting = true;
        FRequestTimer->Arm(due);
        return true;
    }
    return false;
}

bool TVexaModbus::PortInputWaiting() const
{
    return !FLineTimingForTests && FComPort && FComPort->InputWaiting();
}

void TVexaModbus::LineSent(size_t length)
{
    if (!LineTimed()) return;
    FLine->Sent(length);
}

void TVexaModbus::LineReceived()
{
    if (!LineTimed() && !ListenerLineTimed()) return;
    FLine->Received();
}

void TVexaModbus::ArmSilence()
{
    if (!FSilenceTimer) return;
    const int64_t at = FFramer ? FFramer->JudgeAtNs() : zorp::framing::kNoTime;
    if (at == zorp::framing::kNoTime) FSilenceTimer->Cancel();
    else FSilenceTimer->Arm(at);
}

void TVexaModbus::LineSilence()
{
    if (FFrameCompleted || !FFramer || FFramer->Held() == 0) return;
    const bool listening = State == msIdleSlave;
    if (!listening && !zorp::states::IsWait(State)) return;
    // The silence may only be that of a busy machine: bytes that are
    // waiting to be read were not silence on the line.
    const int64_t now = zorp::LineClockNs();
    if (PortInputWaiting()) {
        FSilenceTimer->Arm(now + FLine->RecheckNs());
        return;
    }
    if (listening) DelimitListeningLine(now);
    else DelimitMaster(now);
    if (FFrameCompleted) SchedulePass();
    if (!InMainLoop) UpdateTimer();
}
