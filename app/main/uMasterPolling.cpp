// SPDX-License-Identifier: GPL-3.0-or-later
// Main window: the Read operation, the four response handlers, the Real-time
// cycle, the error counter, and the Start Address and Length fields keeping
// the grid's rows and addresses in step.
#include "uMaster.h"

#include <QCheckBox>
#include <QComboBox>
#include <QMetaMethod>
#include <QTimer>
#include <algorithm>
#include <exception>
#include <utility>

#include "AppErrors.h"
#include "LabeledEdit.h"
#include "LinkRecovery.h"
#include "LinkScheduler.h"
#include "ModbusFrames.h"
#include "StringGrid.h"
#include "VexaModbus.h"

namespace {

const QString kFuncTexts[4] = {
    QStringLiteral("01: Read Coil Status"),
    QStringLiteral("02: Read Input Status"),
    QStringLiteral("03: Read Holding Registers"),
    QStringLiteral("04: Read Input Registers"),
};

// One request carries at most 255 items (Count is one byte); user addresses
// run from 1 to 65536 (0 stands for the wire address 65535 as well).
constexpr int kMaxCount = 255;
constexpr int kMaxAddress = 65536;

// The next Read of a Real-time cycle, made from inside an engine read event.
// A failure (a field emptied meanwhile) must not leave the engine's event:
// the message is shown through the guard once the event has returned, and
// the cycle ends there.
void readAgainFromEvent(TfrmModbusMaster* w)
{
    QString message;
    try {
        w->btnReadClick(w);
        return;
    } catch (const EAppError& e) {
        message = e.Message();
    } catch (const std::exception& e) {
        message = QString::fromLocal8Bit(e.what());
    } catch (...) {
        message = QStringLiteral("Unknown error");
    }
    QTimer::singleShot(0, w, [message] { RunGuarded([&] { throw EAppError(message); }); });
}

} // namespace

void TfrmModbusMaster::btnReadClick(QObject*)
{
    if (!mdb->Connected())
        return;
    // Every slave carries out a write to unit 0 and none answers it.
    if (mdb->DeviceID() == 0)
        throw EAppError(QStringLiteral("Slave ID 0 is the broadcast address: it can be written to, but not read"));
    // A write is in flight: the engine would drop it for the read, so the
    // read follows its answer instead.
    if (FInFlight == TInFlight::Write) {
        FReadAfterWrite = true;
        return;
    }
    // Poll windows on this link: the read waits for its turn.
    if (Scheduler && FInFlight == TInFlight::None && !Scheduler->DesignedMayGo()) {
        FDeferredRead = true;
        return;
    }
    ++FPolls;
    ShowCounters();

    // No item chosen: the poll is counted, nothing is sent.
    const int i = ChosenFunc();
    if (i < 0)
        return;
    if (!FReadCountField)
        FReadCountField = StrToInt(leLength->text());
    if (!FReadAddressField)
        FReadAddressField = StartAddressField(leStartAddress->text());
    const int count = *FReadCountField;
    const int address = *FReadAddressField;
    // Every read asks the unit the Slave ID field names now, not the one it
    // named at Connect.
    const int unit = SlaveIdField();
    // Refused rather than cut to the low bits, which would read other
    // items than the ones asked for.
    if (count < 0 || count > kMaxCount)
        throw EAppError(QStringLiteral("Length %1 is out of range (0 to %2)").arg(count).arg(kMaxCount));
    if (address < 0 || address > kMaxAddress)
        throw EAppError(
            QStringLiteral("Start Address %1 is out of range (0 to %2)").arg(address).arg(kMaxAddress));
    const auto a = static_cast<uint16_t>(address);
    const auto n = static_cast<uint8_t>(count);
    mdb->SetDeviceID(static_cast<uint8_t>(unit));
    FInFlight = TInFlight::Read;
    FInFlightFunc = i + 1;
    FReadAddress = address;
    FReadCount = count;
    switch (i) {
    case 0:
        mdb->ReadCoils(a, n);
        break;
    case 1:
        mdb->ReadDiscreteInputs(a, n);
        break;
    case 2:
        mdb->ReadHoldingRegs(a, n);
        break;
    default:
        mdb->ReadInputRegs(a, n);
        break;
    }
}

int TfrmModbusMaster::ChosenFunc()
{
    // The function the text of cbFunc names: looked up again only when the
    // text changed (the combo box tells), not on every poll.
    if (FFuncChoice < -1) {
        const QString func = cbFunc->currentText();
        FFuncChoice = -1;
        for (int i = 0; i < 4 && FFuncChoice < 0; ++i)
            if (func == kFuncTexts[i])
                FFuncChoice = i;
    }
    return FFuncChoice;
}

void TfrmModbusMaster::mdbError(QObject*, int32_t ErrorCode)
{
    ++FErrors;
    ShowCounters();
    const TInFlight was = std::exchange(FInFlight, TInFlight::None);
    // What the grid shows was not read again: it is old from now on (a
    // failed write leaves the last read as current as it was).
    if (was != TInFlight::Write)
        ReadsEnded(TGridFreshness::TCause::ReadFailed);
    if (Recovery)
        Recovery->ErrorReported();
    const int func = FInFlightFunc;
    // An error that takes the link down (the engine is on its way to closing
    // it, or has closed it) ends the cycle even with Keep polling: a read
    // made now would keep the engine from closing and fail at once, again
    // and again. What follows the link's end is LinkEnded's.
    const auto state = mdb->GetState();
    const bool linkEnding = state == msDisconnect || state == msNone || !mdb->Connected();
    const bool keepPolling = FOptions.KeepPollingAfterErrors && !linkEnding;
    if (was == TInFlight::Read) {
        RecordError(ErrorCode, cbRealTime->isChecked() && !keepPolling);
        if (!StartPendingWrite(keepPolling ? func : 0) && keepPolling)
            ContinueCycle(func);
    } else if (was == TInFlight::Write) {
        const bool resumes = cbRealTime->isChecked() && (FResumeFunc != 0 || FReadAfterWrite);
        RecordError(ErrorCode, resumes && !keepPolling);
        mdbWriteFinished(false);
    } else {
        RecordError(ErrorCode, false);
    }
}

QString TfrmModbusMaster::RequestText() const
{
    if (FInFlightFunc >= 1 && FInFlightFunc <= 4)
        return QStringLiteral("read %1, address %2, count %3")
            .arg(kFuncTexts[FInFlightFunc - 1])
            .arg(FReadAddress)
            .arg(FReadCount);
    return FRequestText;
}

void TfrmModbusMaster::ContinueCycle(int Func)
{
    if (FOptions.RealTimePauseMs < 0) {
        // As designed: the 50 ms pause after function 03 decides about the
        // next read when it ends; the other functions read again at once.
        if (Func == 3) {
            ReadAgainTimer->setInterval(50);
            ReadAgainTimer->start();
        } else if (cbRealTime->isChecked()) {
            readAgainFromEvent(this);
        }
    } else if (cbRealTime->isChecked()) {
        ReadAgainTimer->setInterval(FOptions.RealTimePauseMs);
        ReadAgainTimer->start();
    }
}

void TfrmModbusMaster::mdbReadCoils(QObject*, uint8_t DeviceID, uint16_t Addr, uint16_t, const std::vector<bool>& Data)
{
    FInFlight = TInFlight::None;
    FShownFunc = 1;
    FShownAddress = Addr;
    ++FResponses;
    ShowCounters();
    ReadDataBool = Data;
    ReadAnswered(1, DeviceID, Addr, int(Data.size()));
    ShowBitData();
    NotifyValuesShown();
    if (!StartPendingWrite(1))
        ContinueCycle(1);
}

void TfrmModbusMaster::mdbReadDiscreteInputs(QObject*, uint8_t DeviceID, uint16_t Addr, uint16_t Count,
                                             const std::vector<uint8_t>& Data)
{
    FInFlight = TInFlight::None;
    FShownFunc = 2;
    FShownAddress = Addr;
    ++FResponses;
    ShowCounters();
    // Value k is bit k mod 8 of byte k div 8, least significant bit first;
    // bits the data does not hold read as off.
    ReadDataBool = zorp::UnpackBits(Data.data(), Data.size(), Count);
    ReadAnswered(2, DeviceID, Addr, Count);
    ShowBitData();
    NotifyValuesShown();
    if (!StartPendingWrite(2))
        ContinueCycle(2);
}

void TfrmModbusMaster::mdbReadHoldingRegs(QObject*, uint8_t DeviceID, uint16_t Addr, uint16_t, const std::vector<uint8_t>& Data)
{
    FInFlight = TInFlight::None;
    FShownFunc = 3;
    FShownAddress = Addr;
    ++FResponses;
    ShowCounters();
    ReadData = Data;
    ReadAnswered(3, DeviceID, Addr, int((Data.size() + 1) / 2));
    ShowRegisterData();
    NotifyValuesShown();
    if (!StartPendingWrite(3))
        ContinueCycle(3);
}

void TfrmModbusMaster::mdbReadInputRegs(QObject*, uint8_t DeviceID, uint16_t Addr, uint16_t, const std::vector<uint8_t>& Data)
{
    FInFlight = TInFlight::None;
    FShownFunc = 4;
    FShownAddress = Addr;
    ++FResponses;
    ShowCounters();
    ReadData = Data;
    ReadAnswered(4, DeviceID, Addr, int((Data.size() + 1) / 2));
    ShowRegisterData();
    NotifyValuesShown();
    if (!StartPendingWrite(4))
        ContinueCycle(4);
}

void TfrmModbusMaster::NotifyValuesShown()
{
    if (OnValuesShown)
        OnValuesShown();
    // Emitting costs even without receivers: only when someone listens.
    static const QMetaMethod signal = QMetaMethod::fromSignal(&TfrmModbusMaster::ValuesShown);
    if (isSignalConnected(signal))
        emit ValuesShown();
}

void TfrmModbusMaster::ReadAgainTimerTimer(QObject*)
{
    ReadAgainTimer->stop();
    if (!cbRealTime->isChecked())
        return;
    if (FInFlight == TInFlight::Write) {
        FReadAfterWrite = true;
        return;
    }
    btnReadClick(ReadAgainTimer);
}

void TfrmModbusMaster::leStartAddressKeyUp(QObject*, int&, Qt::KeyboardModifiers)
{
    int v = 0;
    if (TryStartAddressField(leStartAddress->text(), v) && v > 0)
        FillAddresses();
}

void TfrmModbusMaster::leLengthKeyUp(QObject*, int&, Qt::KeyboardModifiers)
{
    // The field holds three digits; the bound only keeps n + 1 in range.
    const int n = std::min(StrToIntDef(leLength->text(), 2), 65535);
    sgData->SetRowCount(n < 2 ? 2 : n + 1);
    FillAddresses();
}

void TfrmModbusMaster::leLengthExit(QObject*)
{
    if (StrToIntDef(leLength->text(), 101) > 100) {
        leLength->setText(QStringLiteral("100"));
        FillAddresses();
    }
}

void TfrmModbusMaster::DesignedTurn()
{
    const bool read = std::exchange(FDeferredRead, false);
    if (FInFlight != TInFlight::None)
        return;
    if (FPendingWrite) {
        if (read)
            FReadAfterWrite = true;
        StartPendingWrite(0);
        return;
    }
    if (read)
        btnReadClick(this);
}
