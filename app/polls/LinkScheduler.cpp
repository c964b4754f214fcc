// SPDX-License-Identifier: GPL-3.0-or-later
// The turns of the polls of one link, and the routing of the engine's
// answers to the poll (or the window) whose transaction they end.
#include "LinkScheduler.h"

#include <QTimer>
#include <algorithm>
#include <utility>

#include "AppErrors.h"
#include "ModbusFrames.h"
#include "Poll.h"
#include "VexaModbus.h"

TLinkScheduler::TLinkScheduler(TVexaModbus* Engine, QObject* Parent) : QObject(Parent), FEngine(Engine)
{
    setObjectName(QStringLiteral("LinkScheduler"));
    if (FEngine) FDesignedUnit = FEngine->DeviceID();
    Wire();
}

TVexaModbus* TLinkScheduler::Engine() const { return FEngine; }

TLinkScheduler::~TLinkScheduler()
{
    for (TPoll* p : FPolls) QObject::disconnect(p, nullptr, this, nullptr);
    // The window's handlers go back, so that the engine reaches no freed
    // scheduler.
    if (FEngine) {
        FEngine->OnError = FOnError;
        FEngine->OnReadCoils = FOnReadCoils;
        FEngine->OnReadDiscreteInputs = FOnReadDiscreteInputs;
        FEngine->OnReadHoldingRegs = FOnReadHoldingRegs;
        FEngine->OnReadInputRegs = FOnReadInputRegs;
        FEngine->OnWriteSingleReg = FOnWriteSingleReg;
        FEngine->OnWriteMultiRegs = FOnWriteMultiRegs;
        FEngine->OnWriteSingleCoil = FOnWriteSingleCoil;
        FEngine->OnWriteMultiCoils = FOnWriteMultiCoils;
        FEngine->OnDisconnect = FOnDisconnect;
        FEngine->OnSendData = FOnSendData;
        FEngine->OnReceiveData = FOnReceiveData;
    }
}

void TLinkScheduler::Wire()
{
    TVexaModbus* e = FEngine;
    if (!e) return;
    FOnError = e->OnError;
    FOnReadCoils = e->OnReadCoils;
    FOnReadDiscreteInputs = e->OnReadDiscreteInputs;
    FOnReadHoldingRegs = e->OnReadHoldingRegs;
    FOnReadInputRegs = e->OnReadInputRegs;
    FOnWriteSingleReg = e->OnWriteSingleReg;
    FOnWriteMultiRegs = e->OnWriteMultiRegs;
    FOnWriteSingleCoil = e->OnWriteSingleCoil;
    FOnWriteMultiCoils = e->OnWriteMultiCoils;
    FOnDisconnect = e->OnDisconnect;
    FOnSendData = e->OnSendData;
    FOnReceiveData = e->OnReceiveData;
    // The link's log gets every frame as before; a poll's own list gets
    // those of its transactions.
    e->OnSendData = [this](QObject* s, const void* b, int32_t n) {
        if (FOnSendData) {
            if (FrameBegins) FrameBegins(FPollBusy ? FActive : nullptr);
            FOnSendData(s, b, n);
            if (FrameEnds) FrameEnds();
        }
        if (FPollBusy && FActive && FormatFrame) FActive->AddFrame(FormatFrame(static_cast<const uint8_t*>(b), n), true);
    };
    e->OnReceiveData = [this](QObject* s, const uint8_t* b, int32_t n) {
        if (FOnReceiveData) {
            if (FrameBegins) FrameBegins(FPollBusy ? FActive : nullptr);
            FOnReceiveData(s, b, n);
            if (FrameEnds) FrameEnds();
        }
        if (FPollBusy && FActive && FormatFrame) FActive->AddFrame(FormatFrame(b, n), false);
    };

    // Each event goes to the poll in flight, or else to the window; then
    // the next turn.
    auto after = [this] {
        if (!DesignedBusy || !DesignedBusy()) Kick();
    };
    e->OnError = [this, after](QObject* s, int32_t code) {
        TPoll* p = nullptr;
        if (TakePoll(p)) {
            if (p) RunGuarded([&] { p->Failed(code); });
        } else if (FOnError) {
            FOnError(s, code);
        }
        after();
    };
    e->OnReadCoils = [this, after](QObject* s, uint8_t id, uint16_t a, uint16_t n, const std::vector<bool>& d) {
        TPoll* p = nullptr;
        if (TakePoll(p)) {
            if (p) RunGuarded([&] { p->Answered(1, id, a, {}, d); });
        } else if (FOnReadCoils) {
            FOnReadCoils(s, id, a, n, d);
        }
        after();
    };
    auto regs = [this, after](int func, TOnModbusDataResponse& window) {
        return [this, after, func, &window](QObject* s, uint8_t id, uint16_t a, uint16_t n,
                                            const std::vector<uint8_t>& d) {
            TPoll* p = nullptr;
            if (TakePoll(p)) {
                if (p) {
                    if (func == 2) RunGuarded([&] { p->Answered(2, id, a, {}, zorp::UnpackBits(d.data(), d.size(), n)); });
                    else RunGuarded([&] { p->Answered(func, id, a, d, {}); });
                }
            } else if (window) {
                window(s, id, a, n, d);
            }
            after();
        };
    };
    e->OnReadDiscreteInputs = regs(2, FOnReadDiscreteInputs);
    e->OnReadHoldingRegs = regs(3, FOnReadHoldingRegs);
    e->OnReadInputRegs = regs(4, FOnReadInputRegs);
    auto write = [this, after](TNotifyEvent& window) {
        return [this, after, &window](QObject* s) {
            TPoll* p = nullptr;
            if (TakePoll(p)) {
                if (p) RunGuarded([&] { p->WriteDone(); });
            } else if (window) {
                window(s);
            }
            after();
        };
    };
    e->OnWriteSingleReg = write(FOnWriteSingleReg);
    e->OnWriteMultiRegs = write(FOnWriteMultiRegs);
    e->OnWriteSingleCoil = write(FOnWriteSingleCoil);
    e->OnWriteMultiCoils = write(FOnWriteMultiCoils);
    e->OnDisconnect = [this](QObject* s) {
        LinkClosed();
        if (FOnDisconnect) FOnDisconnect(s);
    };
}

bool TLinkScheduler::TakePoll(TPoll*& Poll)
{
    if (!FPollBusy) return false;
    FPollBusy = false;
    Poll = std::exchange(FActive, nullptr);
    // The window's reads and writes go to its own Slave ID again.
    if (FEngine) FEngine->SetDeviceID(FDesignedUnit);
    return true;
}

void TLinkScheduler::LinkClosed()
{
    FPollBusy = false;
    FActive = nullptr;
    FQueue.clear();
    FDesignedQueued = false;
    for (TPoll* p : std::vector<TPoll*>(FPolls)) p->LinkClosed();
}

bool TLinkScheduler::DesignedMayGo()
{
    if (FGranting) return true;
    if (!FPollBusy && !FGrantPending && FQueue.empty()) return true;
    if (!FDesignedQueued) {
        FDesignedQueued = true;
        FQueue.push_back(nullptr);
    }
    Kick();
    return false;
}

void TLinkScheduler::Add(TPoll* Poll)
{
    if (std::find(FPolls.begin(), FPolls.end(), Poll) == FPolls.end()) FPolls.push_back(Poll);
}

void TLinkScheduler::Remove(TPoll* Poll)
{
    FPolls.erase(std::remove(FPolls.begin(), FPolls.end(), Poll), FPolls.end());
    FQueue.erase(std::remove(FQueue.begin(), FQueue.end(), Poll), FQueue.end());
    // Its answer, when it comes, goes nowhere; the turns go on after it.
    if (FActive == Poll) FActive = nullptr;
}

void TLinkScheduler::Request(TPoll* Poll)
{
    if (std::find(FQueue.begin(), FQueue.end(), Poll) == FQueue.end()) FQueue.push_back(Poll);
    Kick();
}

void TLinkScheduler::Kick()
{
    // Started again from a poll's Start (an answer handled at once) the
    // loop below goes on by itself.
    if (FKicking) return;
    FKicking = true;
    while (!FPollBusy && !FGrantPending && !FQueue.empty() && FEngine && !(DesignedBusy && DesignedBusy())) {
        TPoll* p = FQueue.front();
        FQueue.pop_front();
        if (!p) {
            FDesignedQueued = false;
            GrantDesigned();
            break;
        }
        if (!FEngine->Connected()) {
            // Nothing goes out without a link: the poll's wish ends here.
            p->LinkClosed();
            continue;
        }
        FDesignedUnit = FEngine->DeviceID();
        FPollBusy = true;
        FActive = p;
        bool sent = false;
        RunGuarded([&] { sent = p->Start(FEngine); });
        if (sent) {
            ++FStarted;
        } else if (FActive == p) {
            FPollBusy = false;
            FActive = nullptr;
            FEngine->SetDeviceID(FDesignedUnit);
        }
    }
    FKicking = false;
}

void TLinkScheduler::GrantDesigned()
{
    // Posted: the window's read may throw for its fields, and this may run
    // inside an engine event.
    FGrantPending = true;
    QTimer::singleShot(0, this, [this] {
        FGrantPending = false;
        FGranting = true;
        if (DesignedTurn) RunGuarded([this] { DesignedTurn(); });
        FGranting = false;
        if (!DesignedBusy || !DesignedBusy()) Kick();
    });
}
