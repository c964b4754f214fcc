// SPDX-License-Identifier: GPL-3.0-or-later
// TVexaModbus: construction, properties, link operations and the building
// blocks shared by the rest of the engine (state, error reports, log lines,
// the terminal, the tick count and the pass timer).
#include "VexaModbus.h"

#include <QCoreApplication>
#include <QEvent>
#include <QLocale>
#include <QMetaMethod>
#include <QMetaObject>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <ctime>

#include "CommPort.h"
#include "EngineLife.h"
#include "LineClock.h"
#include "LineTimer.h"
#include "ListeningClients.h"
#include "VexaStates.h"
#include "framing/Framer.h"

namespace zorp {
namespace {
std::function<uint32_t()>& TickSource()
{
    static std::function<uint32_t()> source;
    return source;
}
std::function<void(std::exception_ptr)>& UnhandledHandler()
{
    static std::function<void(std::exception_ptr)> handler;
    return handler;
}
} // namespace

namespace {
// Set while a replacement source is installed: the common call then costs a
// test and a clock read, read several times per transaction.
bool gTickSourceSet = false;
} // namespace

uint32_t GetTickCount()
{
    if (gTickSourceSet) {
        if (auto& s = TickSource()) return s();
    }
    // The engine's one time base, in wrapping milliseconds.
    return static_cast<uint32_t>(uint64_t(LineClockNs()) / 1000000u);
}

void SetTickCountSource(std::function<uint32_t()> source)
{
    gTickSourceSet = static_cast<bool>(source);
    TickSource() = std::move(source);
}

void SetUnhandledExceptionHandler(std::function<void(std::exception_ptr)> handler)
{
    UnhandledHandler() = std::move(handler);
}

void HandleUnhandledException(std::exception_ptr e) noexcept
{
    try {
        if (auto& h = UnhandledHandler()) h(e);
    } catch (...) {
        // the hook itself failed: nothing more can be done at the loop's edge
    }
}
} // namespace zorp

namespace {
bool ShuttingDown() { return QCoreApplication::instance() == nullptr || QCoreApplication::closingDown(); }

bool HasMethod(const QObject* o, const char* signature)
{
    return o->metaObject()->indexOfMethod(QMetaObject::normalizedSignature(signature).constData()) >= 0;
}

// The state texts, indexed by state number.
const char* const kStateTexts[] = {
    "Wyłączona maszyna stanu",
    "Inicjalizacja połączenia...",
    "ReadCoils",
    "Oczekiwanie na ReadCoils...",
    "ReadDiscreteInputs",
    "Oczekiwanie na ReadDiscreteInputs...",
    "ReadHoldingRegs",
    "Oczekiwanie na ReadHoldingRegs...",
    "ReadInputRegs",
    "Oczekiwanie na ReadInputRegs...",
    "", "", "", "",
    "Rozłączanie",
    "Nasłuch",
    "", "", "", "", "", "", "", "", "",
    "ReadFileRecord",
    "Oczekiwanie na ReadFileRecord...",
    "", "",
};
static_assert(sizeof kStateTexts / sizeof kStateTexts[0] == msWaitForWriteSingleSpecialReg + 1);

// States whose pass acts at once (rather than waiting for a frame or the
// clock): an early pass is posted when one of them is entered.
bool ActsAtOnce(TMachineStates s)
{
    switch (s) {
    case msInit: case msInitSlave: case msDisconnect: case msSystemError:
        return true;
    default:
        return zorp::states::IsRequest(s);
    }
}
} // namespace

namespace {
// The event that carries a posted early pass.
QEvent::Type PassEventType()
{
    static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}
} // namespace
TVexaModbus::TVexaModbus(QObject* AOwner) : QObject(AOwner), FLine(std::make_unique<zorp::LineClock>()), FClients(std::make_unique<zorp::ListeningClients>())
{
    // "." as the decimal separator of every number the program formats.
    QLocale::setDefault(QLocale::c());

    try {
        FMainTimer = new QTimer(this);
        try {
            FMainTimer->setInterval(1);
            FMainTimer->setTimerType(Qt::PreciseTimer);
            connect(FMainTimer, &QTimer::timeout, this, &TVexaModbus::TimerTick);
            FComPort = new TCommPort(this);
        } catch (...) {
            AddLog(QStringLiteral("Exception: Nie stworzono timera !!!"));
        }
    } catch (...) {
        FMainTimer = nullptr;
    }

    if (FComPort) {
        try {
            FComPort->AutoOpen = false;
            FComPort->CommNotificationLevel = 1;
            FComPort->WsPort = QStringLiteral("0");
            FComPort->WsAddress = QStringLiteral("255.255.255.255");
            FComPort->WsMode = wsClient;
            FComPort->ComNumber = 1;
            FComPort->Baud = 9600;
            FComPort->DataBits = 8;
            FComPort->StopBits = 1;
            FComPort->InSize = 8192;
            FComPort->OutSize = 8192;
            FComPort->WsTelnet = false;
            FComPort->DeviceLayer = dlSerial;
            FComPort->ThreadBoost = 2;
            // Notifications arrive from the event loop: nothing may escape them.
            FComPort->OnPortOpen = [this](TCommPort* p) { PortOpened(p); };
            FComPort->OnTriggerAvail = [this](TCommPort* p, uint16_t n) { DataNotification(p, n); };
            FComPort->OnWsConnect = [this](TCommPort* p) { zorp::CallFromLoop([&] { PortConnected(p); }); };
            FComPort->OnWsDisconnect = [this](TCommPort* p) { zorp::CallFromLoop([&] { PortDisconnected(p); }); };
            FComPort->OnWsError = [this](TCommPort* p, int code) { zorp::CallFromLoop([&] { PortError(p, code); }); };
            FComPort->OnWsAccept = [this](TCommPort* p, const uint8_t a[4], bool& accept) {
                zorp::CallFromLoop([&] { PortClientAccepted(p, a, accept); });
            };
            FComPort->OnClientData = [this](TCommPort* p, int client, const uint8_t* data, int size) {
                zorp::CallFromLoop([&] { ClientData(p, client, data, size); });
            };
            FComPort->OnClientClosed = [this](TCommPort*, int client) { ClientClosed(client); };
        } catch (...) {
            AddLog(QStringLiteral("Exception: Nie zainicjowano portu COM !!!"));
        }
    }

    // Diagnostic sinks among the owner's children, in the owner's order.
    if (AOwner) {
        for (QObject* child : AOwner->children()) {
            if (child == this) continue;
            if (!Memo && HasMethod(child, "appendPlainText(QString)")) Memo = child;
            if (!Terminal && HasMethod(child, "attachPort(QObject*)")) Terminal = child;
        }
    }
}

TVexaModbus::~TVexaModbus()
{
    // Destroyed by a handler of one of its own events: the frames on the
    // stack learn of it, and what may be running below them goes later.
    const bool inUse = FLife != nullptr;
    for (LifeFrame* f = FLife; f; f = f->outer) f->dead = true;
    FLife = nullptr;
    auto retire = [inUse](QObject* o) {
        if (!o) return;
        if (!inUse) {
            delete o;
            return;
        }
        o->setParent(nullptr);
        o->deleteLater();
    };

    FData.clear();
    FTimerEnabled = false;
    if (FMainTimer) FMainTimer->stop();
    FTimerRunning = false;
    for (zorp::LineTimer* t : {FRequestTimer, FSilenceTimer}) {
        if (!t) continue;
        t->Cancel(); // a due time already signalled finds it disarmed
        if (!inUse) t->OnDue = nullptr;
        retire(t);
    }
    FRequestTimer = FSilenceTimer = nullptr;
    retire(FMainTimer);
    FMainTimer = nullptr;
    FBuffer.Clear();
    if (FComPort) {
        // Nothing the port reports while it closes may reach a dying engine.
        FComPort->OnPortOpen = nullptr;
        FComPort->OnTriggerAvail = nullptr;
        FComPort->OnWsConnect = nullptr;
        FComPort->OnWsDisconnect = nullptr;
        FComPort->OnWsError = nullptr;
        FComPort->OnWsAccept = nullptr;
        FComPort->OnClientData = nullptr;
        FComPort->OnClientClosed = nullptr;
        try {
            if (FComPort->Open()) FComPort->SetOpen(false);
        } catch (...) {
        }
        retire(FComPort);
        FComPort = nullptr;
    }
}

// ---- properties -------------------------------------------------------------

int32_t TVexaModbus::GetComNumber() const { return FComPort ? FComPort->ComNumber : 1; }

void TVexaModbus::SetComNumber(int32_t Value)
{
    // Kept whole: a number outside 1..65535 makes the opening fail (error 1).
    if (FComPort) FComPort->ComNumber = Value;
}

namespace {
// A signed decimal integer: optional sign, at least one digit, in range.
bool ParseDecimal(const QString& text, int32_t& value)
{
    int i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
    if (i >= text.size()) return false;
    int64_t v = 0;
    for (; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c < u'0' || c > u'9') return false;
        v = v * 10 + (c - u'0');
        if (v > int64_t(INT32_MAX) + 1) return false;
    }
    if (negative) v = -v;
    if (v > INT32_MAX || v < INT32_MIN) return false;
    value = static_cast<int32_t>(v);
    return true;
}
} // namespace

void TVexaModbus::SetEthIP(const QString& Value)
{
    QString s = Value;
    QString result;
    int32_t n = 0;
    for (int part = 0; part < 3; ++part) {
        const qsizetype dot = s.indexOf(u'.');
        const QString head = dot < 0 ? QString() : s.left(dot);
        if (dot >= 0) s.remove(0, dot + 1);
        if (!ParseDecimal(head, n)) { FEthIP = Value; return; }
        if (part) result += u'.';
        result += QString::number(n);
    }
    if (!ParseDecimal(s, n)) { FEthIP = Value; return; }
    FEthIP = result + u'.' + QString::number(n);
}

QString TVexaModbus::GetStateStr(int32_t VState)
{
    const uint32_t i = static_cast<uint32_t>(VState) & 0xFFu;
    if (i < sizeof kStateTexts / sizeof kStateTexts[0]) return QString::fromUtf8(kStateTexts[i]);
    return QString();
}

// ---- link operations ------------------------------------------------------

void TVexaModbus::Connect()
{
    AttachTerminal();
    if (FComPort) FComPort->DeviceLayer = dlSerial;
    FTx.Reset();
    FLastTransaction_ID = 0;
    FMode = mbmMaster;
    FTimerEnabled = true;
    try {
        SetState(msInit);
    } catch (const zorp::EngineGone&) {
        return;
    }
    // InMainLoop is owned by the running pass's guard: it is only ever set
    // while a pass is on the stack, so there is nothing stale to clear here.
    FValueType = vtNone;
    FIsException = false;
    FTryDisconnect = false;
    UpdateTimer();
    AddLog(QStringLiteral("Łączenie..."));
}

void TVexaModbus::Listen()
{
    AttachTerminal();
    if (FComPort) FComPort->DeviceLayer = dlSerial;
    FTx.Reset();
    FLastTransaction_ID = 0;
    FMode = mbmSlave;
    FTimerEnabled = true;
    try {
        SetState(msInitSlave);
    } catch (const zorp::EngineGone&) {
        return;
    }
    FIsException = false;
    FTryDisconnect = false;
    UpdateTimer();
    AddLog(QStringLiteral("Inicjacja połączenia..."));
}

void TVexaModbus::Disconnect()
{
    FTryDisconnect = true;
    // The request is carried out by a later pass; make sure one comes.
    SchedulePass();
    if (!InMainLoop) UpdateTimer();
}

// ---- building blocks ----------------------------------------------------------

void TVexaModbus::SetState(TMachineStates s)
{
    State = s;
    if (ActsAtOnce(s)) SchedulePass();
    if (!InMainLoop) UpdateTimer();
    Raise(OnChangeState, this);
    // The line is only built when there is a log to take it.
    if (Memo) AddLog(QStringLiteral("Status: ") + GetStateStr(s));
}

bool TVexaModbus::Arm(TMachineStates request, uint16_t address, uint16_t dataCount)
{
    FTx.Arm(address, dataCount);
    FLine->EndHold(); // a request that replaces a held one waits afresh
    try {
        SetState(request);
    } catch (const zorp::EngineGone&) {
        return false;
    }
    return true;
}

void TVexaModbus::ReportError(int32_t code)
{
    FValueType = vtNone;
    Raise(OnError, this, code);
}

void TVexaModbus::AddLog(const QString& text)
{
    if (!Memo || ShuttingDown()) return;
    try {
        QMetaObject::invokeMethod(Memo.data(), "appendPlainText", Qt::DirectConnection, Q_ARG(QString, text));
    } catch (...) {
    }
}

void TVexaModbus::AttachTerminal()
{
    if (!Terminal || ShuttingDown()) return;
    try {
        // attachPort connects the display to the port object and activates it.
        QMetaObject::invokeMethod(Terminal.data(), "attachPort", Qt::DirectConnection,
                                  Q_ARG(QObject*, FComPort));
    } catch (...) {
    }
}

bool TVexaModbus::PortIsOpen() const { return FComPort && (FPortOpenForTests || FComPort->Open()); }

// ---- pass scheduling ------------------------------------------------------------
//
// The machine advances in passes. A periodic 1 ms timer would cost about
// 1.6% of a core even while nothing happens, so FMainTimer runs only while a
// pass can change something on its own: in the opening, request, wait,
// closing and transport-error states, and in the idle states while a
// disconnect is pending (or, listening, a request is complete). In every
// other state a pass does nothing, so stopping the timer there changes
// nothing a caller can observe. Whatever leaves such a resting state (an
// operation arming a transaction, Disconnect, a completed frame, a port
// notification) goes through SetState or posts a pass itself. A wait needs
// a pass of its own only when its time-out has elapsed (a completed frame
// runs one at once, Disconnect posts one): there the timer ticks once, just
// after the time-out, so that it is still taken at the first pass after it
// has elapsed, with the clock read through zorp::GetTickCount. A 1 ms tick
// through every wait would cost a fifth of the throughput of transactions
// run back to back, for the kernel timer it arms at every turn of the loop.
//
// Early passes are posted through the event queue (at most one at a time),
// never run inside the operation or handler that asked for them; they make a
// transaction take microseconds instead of a timer period. Two of them are
// run at once instead, without the trip through the queue, because nothing
// of the caller's is on the stack then: the pass a completed frame asks for,
// at the end of the port's data notification (after OnReceiveData has
// returned), and the request pass of a transaction that a handler armed,
// right after the pass that raised that handler. Either is a whole pass of
// its own with the usual guard, so the order of passes, events and frames
// stays the same.

// Inlined into UpdateTimer, its one caller, which runs several times a
// transaction.
[[gnu::always_inline]] inline bool TVexaModbus::NeedsTimer() const
{
    switch (State) {
    case msNone: case msDone: case msReadHoldingRegsSlave:
        return false;
    case msIdle:
        return FTryDisconnect;
    case msIdleSlave:
        // An answer held back for the line's quiet has a timer of its own.
        return FTryDisconnect || (FFrameCompleted && !FLineWaiting);
    default:
        // A request held back for the line's quiet has a timer of its own.
        if (FLineWaiting && zorp::states::IsRequest(State)) return FTryDisconnect;
        return true;
    }
}

void TVexaModbus::UpdateTimer()
{
    if (!FMainTimer) return;
    // The common call, once per received block: a wait whose timer runs
    // already (it fires by the wait's time-out; see TimerTick).
    if (FTimerRunning && FTimerEnabled && zorp::states::IsWait(State)) return;
    const bool need = FTimerEnabled && NeedsTimer();
    // Only UpdateTimer and TimerTick start, stop and set the timer, and
    // most calls change nothing: restarting it costs more than the rest of
    // a transaction's own work.
    if (!need) {
        if (FTimerRunning) FMainTimer->stop();
        FTimerRunning = false;
        return;
    }
    const bool wait = zorp::states::IsWait(State);
    // Listening: a completed request's pass is asked for and comes anyway;
    // starting the timer for it (and stopping it after) would cost more
    // than answering the request.
    if (!FTimerRunning && State == msIdleSlave && !FTryDisconnect && (FPassWanted || FPassPosted)) return;
    if (FTimerRunning) {
        // A running timer fires by this wait's time-out at the latest (see
        // TimerTick), and is set for the wait then.
        if (wait || FTimerTick) return;
        // The pass asked for comes anyway; the timer is decided after it.
        if (FPassWanted || FPassPosted) return;
    }
    StartTimer(!wait);
}

void TVexaModbus::StartTimer(bool tick)
{
    int interval = 1;
    if (!tick) {
        // One tick just after the time-out has elapsed, when the first pass
        // after it takes it; a wait that was renewed meanwhile (a retry, an
        // exception code without a report) is set again at that tick.
        const uint32_t elapsed = FTx.Elapsed(zorp::GetTickCount());
        const uint32_t limit = WaitLimit();
        const uint32_t left = elapsed > limit ? 0 : limit - elapsed;
        interval = int(std::min<uint32_t>(left, 3600u * 1000u)) + 1;
    }
    FTimerTick = tick;
    FTimerRunning = true;
    if (FMainTimer->isActive() && FMainTimer->interval() == interval) return;
    FMainTimer->start(interval);
}

void TVexaModbus::TimerTick()
{
    if (!MainTimerTimer()) return;
    if (!FMainTimer || !FTimerRunning || InMainLoop) return;
    const bool wait = zorp::states::IsWait(State);
    if (wait || !FTimerTick) StartTimer(!wait);
}

void TVexaModbus::SetTimeout(uint32_t v)
{
    FFixedTimeout = v;
    // A wait's tick is timed to the time-out in force when it was set.
    if (FTimerRunning && !FTimerTick && !InMainLoop) StartTimer(false);
}

void TVexaModbus::SchedulePass()
{
    if (FPassPosted || !FTimerEnabled) return;
    if (FDeferPasses) {
        // Asked for inside one of the engine's dispatches: decided on once
        // that dispatch has returned (FinishDispatch).
        FPassWanted = true;
        return;
    }
    FPassPosted = true;
    QCoreApplication::postEvent(this, new QEvent(PassEventType()));
}

bool TVexaModbus::event(QEvent* e)
{
    if (e->type() != PassEventType()) return QObject::event(e);
    FPassPosted = false;
    MainTimerTimer();
    return true;
}

bool TVexaModbus::FinishDispatch(bool outer, bool mayRunPass, std::exception_ptr failure)
{
    FDeferPasses = outer;
    bool runNow = false;
    // Inside another dispatch (a handler of it runs the event loop), the
    // early pass asked for is left to that dispatch, and the 1 ms tick runs
    // the machine meanwhile, a wait's included.
    if (outer && FPassWanted && FTimerRunning && !FTimerTick && FMainTimer) StartTimer(true);
    if (!outer) {
        const bool wanted = FPassWanted;
        FPassWanted = false;
        runNow = wanted && mayRunPass && !failure && !InMainLoop;
        if (wanted && !runNow) SchedulePass();
    }
    if (failure) zorp::HandleUnhandledException(failure);
    return runNow;
}

bool TVexaModbus::MainTimerTimer()
{
    // A pass is on the stack (a handler it raised runs the event loop): this
    // tick finds the machine busy and changes nothing.
    if (InMainLoop) return true;
    LifeFrame life(this);
    // Called from the event loop (timer tick, posted pass, or the end of a
    // data notification): a handler's exception ends the pass here and goes
    // no further.
    //
    // When a handler raised by the pass has armed the next transaction (a
    // read event issuing the next read), that transaction's request pass
    // follows at once, as a pass of its own after the handler has returned,
    // instead of one trip through the event queue later. Any other early
    // pass asked for meanwhile is posted as usual.
    for (int round = 0;; ++round) {
        const bool outer = FDeferPasses;
        std::exception_ptr failure;
        FDeferPasses = true;
        try {
            StateMachine();
        } catch (const zorp::EngineGone&) {
            return false;
        } catch (...) {
            failure = std::current_exception();
        }
        const bool again = FinishDispatch(outer, round == 0 && zorp::states::IsRequest(State), failure);
        if (life.dead) return false; // the failure's hook destroyed the engine
        if (!again) return true;
    }
}

void TVexaModbus::DataNotification(TCommPort* port, uint16_t Count)
{
    // The pass that a completed frame asks for runs as soon as the
    // notification is done, rather than one trip through the event queue
    // later: it is the next pass either way, and it starts after every
    // handler raised by the receive path has returned. Inside a pass (a
    // handler it raised runs the event loop) the pass comes the usual way.
    const bool outer = FDeferPasses;
    std::exception_ptr failure;
    FDeferPasses = true;
    LifeFrame life(this);
    try {
        PortDataAvailable(port, Count);
    } catch (const zorp::EngineGone&) {
        return;
    } catch (...) {
        failure = std::current_exception();
    }
    const bool runNow = FinishDispatch(outer, true, failure);
    if (!life.dead && runNow) MainTimerTimer();
}
