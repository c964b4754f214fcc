// SPDX-License-Identifier: GPL-3.0-or-later
// One poll of a link: its turns, counters and last answer.
#include "Poll.h"

#include <QDateTime>
#include <QTimer>
#include <algorithm>

#include "ErrorText.h"
#include "LinkScheduler.h"
#include "VexaModbus.h"

namespace {
const char* const kFuncNames[4] = {"Coils", "Inputs", "Holding Registers", "Input Registers"};
}

QString TPollSettings::Problem() const
{
    if (Unit < 0 || Unit > 255) return QStringLiteral("Slave ID %1 is out of range 0..255").arg(Unit);
    if (Unit == 0)
        return QStringLiteral("Slave ID 0 is the broadcast address: it can be written to, but not read");
    if (Func < 1 || Func > 4) return QStringLiteral("Function %1 is not a read function (1 to 4)").arg(Func);
    if (Start < 0 || Start > 65536) return QStringLiteral("Start Address %1 is out of range (0 to 65536)").arg(Start);
    if (Length < 1 || Length > 255) return QStringLiteral("Length %1 is out of range (1 to 255)").arg(Length);
    if (IntervalMs < 0) return QStringLiteral("The interval %1 ms is negative").arg(IntervalMs);
    return QString();
}

TPoll::TPoll(TLinkScheduler* Link, QObject* Parent) : QObject(Parent), FLink(Link), FTimer(new QTimer(this))
{
    FTimer->setSingleShot(true);
    FTimer->setTimerType(Qt::PreciseTimer);
    connect(FTimer, &QTimer::timeout, this, [this] { Due(); });
    if (FLink) FLink->Add(this);
}

TPoll::~TPoll()
{
    if (FLink) FLink->Remove(this);
}

QString TPoll::Title() const
{
    const TPollSettings& s = Settings;
    const QString func = s.Func >= 1 && s.Func <= 4 ? QStringLiteral("%1 %2").arg(s.Func, 2, 10, QLatin1Char('0')).arg(QLatin1String(kFuncNames[s.Func - 1]))
                                                   : QStringLiteral("function %1").arg(s.Func);
    return QStringLiteral("unit %1, %2 %3-%4").arg(s.Unit).arg(func).arg(s.Start).arg(s.Start + s.Length - 1);
}

void TPoll::Read()
{
    FReadWanted = true;
    if (FLink) FLink->Request(this);
}

void TPoll::SetRealTime(bool On)
{
    if (FRealTime == On) return;
    FRealTime = On;
    if (!On) {
        FTimer->stop();
        return;
    }
    if (!FInFlight) Read();
}

void TPoll::Write(const TWriteRequest& W)
{
    FWrite = W;
    if (FLink) FLink->Request(this);
}

bool TPoll::Start(TVexaModbus* Engine)
{
    if (!Engine || !Engine->Connected()) {
        FReadWanted = false;
        FWrite.reset();
        return false;
    }
    if (FWrite) {
        const TWriteRequest w = std::move(*FWrite);
        FWrite.reset();
        Engine->SetDeviceID(uint8_t(Settings.Unit));
        ++Polls;
        FInFlight = 2;
        FInFlightText = w.Description;
        bool accepted = true;
        switch (w.Func) {
        case 5: Engine->WriteSingleCoil(w.Address, w.Bits.at(0), false); break;
        case 6: Engine->WriteSingleReg(w.Address, w.Words.at(0)); break;
        case 15: accepted = Engine->WriteMultiCoils(w.Address, uint16_t(w.Bits.size()), w.Bits, false); break;
        default: accepted = Engine->WriteMultiRegs(w.Address, uint16_t(w.Words.size()), w.Words); break;
        }
        emit CountersChanged();
        if (!accepted) {
            FInFlight = 0;
            return false;
        }
        // A read follows, to show what the write changed.
        FReadWanted = true;
        return true;
    }
    if (!FReadWanted) return false;
    FReadWanted = false;
    const QString problem = Settings.Problem();
    if (!problem.isEmpty()) {
        ++Polls;
        ++Errors;
        ErrorTexts.push_back(problem);
        if (ErrorTexts.size() > MaxErrorTexts) ErrorTexts.pop_front();
        emit CountersChanged();
        if (FRealTime) {
            FRealTime = false;
            emit RealTimeChanged(false);
        }
        return false;
    }
    Engine->SetDeviceID(uint8_t(Settings.Unit));
    ++Polls;
    FInFlight = 1;
    FInFlightText = Title();
    FLastStartMs = QDateTime::currentMSecsSinceEpoch();
    const auto a = uint16_t(Settings.Start);
    const auto n = uint8_t(Settings.Length);
    switch (Settings.Func) {
    case 1: Engine->ReadCoils(a, n); break;
    case 2: Engine->ReadDiscreteInputs(a, n); break;
    case 3: Engine->ReadHoldingRegs(a, n); break;
    default: Engine->ReadInputRegs(a, n); break;
    }
    emit CountersChanged();
    return true;
}

void TPoll::Answered(int Func, uint8_t Unit, uint16_t Addr, const std::vector<uint8_t>& Bytes,
                     const std::vector<bool>& BitValues)
{
    FInFlight = 0;
    ++Responses;
    AnsweredFunc = Func;
    AnsweredUnit = Unit;
    AnsweredAddress = Addr;
    if (Func <= 2) Bits = BitValues;
    else Data = Bytes;
    emit CountersChanged();
    emit AnswerArrived();
    Next();
}

void TPoll::WriteDone()
{
    FInFlight = 0;
    ++Responses;
    emit CountersChanged();
    Next();
}

void TPoll::Failed(int32_t Code)
{
    const int was = FInFlight;
    FInFlight = 0;
    ++Errors;
    TVexaModbus* e = FLink ? FLink->Engine() : nullptr;
    const QString meaning =
        QString::fromStdString(zorp::ExplainError(Code, e ? e->MaxRepeat() : 3, e ? e->Timeout() : 3000));
    ErrorTexts.push_back(QStringLiteral("%1 error %2 (%3): %4")
                             .arg(QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss.zzz")))
                             .arg(Code)
                             .arg(FInFlightText, meaning));
    if (ErrorTexts.size() > MaxErrorTexts) ErrorTexts.pop_front();
    emit CountersChanged();
    if (was == 1) emit ReadFailed();
    // An error ends this poll's cycle, and only this one's, unless the
    // window keeps polling after errors.
    FReadWanted = false;
    if (FRealTime && KeepRealTime && KeepRealTime(Code)) {
        Next();
        return;
    }
    if (FRealTime) {
        FRealTime = false;
        FTimer->stop();
        emit RealTimeChanged(false);
    }
    if (FWrite && FLink) FLink->Request(this);
}

void TPoll::Resume()
{
    if (FRealTime && !FInFlight) Read();
}

void TPoll::LinkClosed()
{
    FInFlight = 0;
    FReadWanted = false;
    FWrite.reset();
}

void TPoll::Next()
{
    if (FWrite || (FReadWanted && !FRealTime)) {
        FLink->Request(this);
        return;
    }
    if (!FRealTime) return;
    const qint64 wait = FLastStartMs + Settings.IntervalMs - QDateTime::currentMSecsSinceEpoch();
    if (wait <= 0) {
        Due();
    } else {
        FTimer->start(int(std::min<qint64>(wait, Settings.IntervalMs)));
    }
}

void TPoll::Due()
{
    if (FRealTime) Read();
}
