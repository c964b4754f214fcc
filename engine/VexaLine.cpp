// SPDX-License-Identifier: GPL-3.0-or-later
// Serial line timing of the master: RTU on a serial line is delimited by
// silence, so the engine keeps track of when the line was last busy.
//
// - Before a request goes out the line must have been quiet for t3.5 since
//   the last byte received or sent (a slave still driving a two-wire bus,
//   the CRC of an exception answer still on its way). The request pass is
//   then held back on a precise one-shot timer; nothing runs meanwhile and
//   the event loop goes on. What arrived before the request is dropped.
// - A response whose length is known and whose CRC is right is complete at
//   once. Bytes that do not form one are judged once the line has been
//   silent for t3.5 and a margin (the kernel of a busy machine can hold
//   received bytes back for milliseconds): a frame that is complete by its
//   length then goes to the usual checks (and is reported like any bad
//   frame); anything shorter is dropped (noise, a fragment, another
//   slave's tail).
// - Bytes that follow a silence of t3.5 start a frame of their own: the
//   offsets where they begin are kept, so that a valid answer behind noise
//   is found even when the judgement of the noise has not run yet (a busy
//   machine can delay a timer as much as it delays the bytes).
//
// - Listening on a serial line, the answer to a request addressed to the
//   engine goes out only once the line has been quiet for t3.5 after the
//   request's last byte, as a frame must be preceded by that silence: a
//   master's two-wire adapter needs the time to release the bus, and a
//   master that delimits by silence would take an earlier answer as part
//   of its own request. Requests for other units are handled at once.
//
// RTU over TCP has no line, and nothing here applies to it.
#include "VexaModbus.h"

#include <algorithm>

#include "CommPort.h"
#include "LineTimer.h"
#include "ModbusFrames.h"
#include "RtuLine.h"
#include "VexaStates.h"

bool TVexaModbus::LineTimed() const
{
    if (FMode != mbmMaster || FInterfaceType != mbiRS485 || zorp::IsTcpFraming(FProtocol)) return false;
    if (FLineTimingForTests) return true;
    return FComPort && FComPort->Open() && FComPort->DeviceLayer == dlSerial;
}

void TVexaModbus::LineOpened()
{
    FCharNs = zorp::rtu::CharTimeNs(FComSpeed, FDataBits, FParity, FStopBits);
    FSilenceNs = zorp::rtu::SilenceNs(FComSpeed, FDataBits, FParity, FStopBits);
    FLineQuietFrom = 0;
    FLastRxNs = 0;
    FFrameStarts.clear();
    FLineWaiting = false;
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
    if (!LineTimed()) return false;
    return HoldForQuiet();
}

bool TVexaModbus::AnswerMustWait()
{
    // Only a request that is answered waits: one for another unit (or a
    // broadcast) is taken at once, so that it cannot hold up the master's
    // next request behind it.
    if (!ListenerLineTimed() || FBuffer.Size() == 0 || FBuffer[0] != FDeviceID) return false;
    return HoldForQuiet();
}

bool TVexaModbus::HoldForQuiet()
{
    const int64_t now = zorp::LineClockNs();
    int64_t due = FLineQuietFrom + FSilenceNs;
    // Bytes the event loop has not brought in yet were on the line: look
    // again once they are in.
    if (now >= due && PortInputWaiting()) due = now + std::max<int64_t>(FCharNs, 100000);
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
    // The frame leaves the port at once and occupies the line for its
    // characters' time.
    const int64_t now = zorp::LineClockNs();
    FLineQuietFrom = std::max(FLineQuietFrom, now) + int64_t(length) * FCharNs;
}

void TVexaModbus::LineReceived(size_t sizeBefore, size_t count)
{
    if (ListenerLineTimed()) {
        const int64_t now = zorp::LineClockNs();
        FLastRxNs = now;
        FLineQuietFrom = std::max(FLineQuietFrom, now);
        return;
    }
    if (!LineTimed()) return;
    const int64_t now = zorp::LineClockNs();
    // The block's first byte began no later than its characters' time
    // before now: a silence longer than t3.5 before it starts a new frame.
    const int64_t firstByte = now - int64_t(count) * FCharNs;
    if (sizeBefore > 0 && !FFrameCompleted && FLastRxNs > 0 && firstByte - FLastRxNs >= FSilenceNs
        && (FFrameStarts.empty() || FFrameStarts.back() < sizeBefore))
        FFrameStarts.push_back(sizeBefore);
    FLastRxNs = now;
    FLineQuietFrom = std::max(FLineQuietFrom, now);
}

void TVexaModbus::DropFront(size_t n)
{
    if (n == 0) return;
    FBuffer.RemoveFront(n);
    std::vector<size_t> kept;
    for (size_t s : FFrameStarts)
        if (s > n) kept.push_back(s - n);
    FFrameStarts.swap(kept);
}

void TVexaModbus::DelimitLine()
{
    const zorp::ResponseKind kind = zorp::states::IsAckWait(State) ? zorp::ResponseKind::Ack : zorp::ResponseKind::Read;
    const size_t size = FBuffer.Size();
    // A valid frame at the head, or at a place where bytes followed a silence.
    size_t starts[1 + 8];
    size_t n = 0;
    starts[n++] = 0;
    for (size_t s : FFrameStarts)
        if (n < sizeof starts / sizeof starts[0] && s < size) starts[n++] = s;
    for (size_t i = 0; i < n; ++i) {
        const size_t s = starts[i];
        if (zorp::rtu::ResponseValid(FBuffer.Data() + s, size - s, kind)) {
            DropFront(s);
            FFrameStarts.clear();
            FIsException = (FBuffer[1] & 0x80) != 0;
            FFrameCompleted = true;
            if (FSilenceTimer) FSilenceTimer->Cancel();
            return;
        }
    }
    if (size >= 3) FIsException = (FBuffer[1] & 0x80) != 0;
    if (size > 0 && FSilenceTimer) FSilenceTimer->Arm(FLastRxNs + JudgeAfterNs());
}

int64_t TVexaModbus::JudgeAfterNs() const
{
    // An exception answer that is still missing its CRC is given longer:
    // slaves are seen to send the CRC a few milliseconds late, and a request
    // sent meanwhile would collide with it on the bus and lose the next
    // answer to those two bytes.
    constexpr int64_t kExceptionCrcGraceNs = 20000000;
    // Bytes can sit in the kernel's tty buffers for milliseconds on a busy
    // machine before the port can see them: a silence only that long may
    // be the machine's, so judging waits that much beyond t3.5. Valid
    // frames are taken at once all the same, also behind a silence.
    constexpr int64_t kMachineMarginNs = 10000000;
    const size_t size = FBuffer.Size();
    if (FFrameStarts.empty() && size >= 3 && size < 5 && (FBuffer[1] & 0x80))
        return std::max(FSilenceNs + kMachineMarginNs, kExceptionCrcGraceNs);
    return FSilenceNs + kMachineMarginNs;
}

void TVexaModbus::LineSilence()
{
    if (FFrameCompleted || FBuffer.Size() == 0 || State == msIdleSlave) return;
    // Bytes may have come in after the timer was set: judge only after t3.5
    // of real silence.
    const int64_t now = zorp::LineClockNs();
    const int64_t due = FLastRxNs + JudgeAfterNs();
    if (now < due) {
        FSilenceTimer->Arm(due);
        return;
    }
    // The silence may only be that of a busy machine: bytes that are
    // waiting to be read were not silence on the line.
    if (PortInputWaiting()) {
        FSilenceTimer->Arm(now + std::max<int64_t>(FCharNs, 100000));
        return;
    }
    const zorp::ResponseKind kind =
        zorp::states::IsAckWait(State) ? zorp::ResponseKind::Ack : zorp::ResponseKind::Read;
    // What is complete by its length from the head is judged as one frame
    // (a pause inside it may be the machine's, not the line's); otherwise
    // the burst since the last silence is what the line delivered last, and
    // whatever came before it ended without forming a frame.
    if (!FFrameStarts.empty()
        && !zorp::DelimitResponse(FBuffer.Data(), FBuffer.Size(), false, kind).complete)
        DropFront(FFrameStarts.back());
    FFrameStarts.clear();
    if (zorp::states::IsWait(State)) {
        const zorp::Delimitation d = zorp::DelimitResponse(FBuffer.Data(), FBuffer.Size(), false, kind);
        if (d.complete) {
            // Complete by its length but not valid: it goes to the checks,
            // which report it as any bad answer.
            FIsException = d.exception;
            FFrameCompleted = true;
            SchedulePass();
            if (!InMainLoop) UpdateTimer();
            return;
        }
    }
    // A fragment: dropped, and the time-out of the wait goes on.
    FBuffer.Clear();
}
