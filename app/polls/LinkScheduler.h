// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TLinkScheduler: the turns of the polls of one link. The engine runs one
// transaction at a time and a new operation replaces a pending one, so every
// poll asks for a turn and the scheduler starts one transaction at a time, in
// the order the turns were asked for (round robin: a poll due again goes to
// the back of the queue, so none starves). The connection window's own
// Data panel takes turns the same way but keeps its designed rhythm: while no
// poll window is open it never waits.
//
// The scheduler sits between the engine and the window: it takes over the
// engine's read, write and error events and hands each to the poll whose
// transaction it answers, or to the window's own handlers.
#include <QObject>
#include <QPointer>
#include <deque>
#include <functional>
#include <vector>

#include "ModbusTypes.h"

class TPoll;
class TVexaModbus;

class TLinkScheduler : public QObject {
    Q_OBJECT
public:
    // Installs itself on Engine's events; the handlers set before are the
    // window's (they get every event that is not a poll's).
    TLinkScheduler(TVexaModbus* Engine, QObject* Parent);
    ~TLinkScheduler() override;

    TVexaModbus* Engine() const;
    // A name for the link in titles ("127.0.0.1:502", "COM 3").
    std::function<QString()> LinkName;

    // ---- the window's own Data panel -----------------------------------
    // Whether the window has a transaction in flight.
    std::function<bool()> DesignedBusy;
    // The window's turn has come: it sends what it deferred.
    std::function<void()> DesignedTurn;
    // Asked before the window sends: true when it may send now; otherwise
    // its turn is queued and DesignedTurn follows.
    bool DesignedMayGo();

    // ---- polls -----------------------------------------------------------
    void Add(TPoll* Poll);
    void Remove(TPoll* Poll);
    const std::vector<TPoll*>& Polls() const { return FPolls; }
    // A poll wants a turn.
    void Request(TPoll* Poll);
    // The poll whose transaction is in flight (nullptr: none, or the window's).
    TPoll* Active() const { return FActive; }
    // Every frame sent or received while a poll's transaction is in flight
    // is also told to that poll (TPoll::AddFrame) as this makes it a line.
    std::function<QString(const uint8_t* Block, int32_t Size)> FormatFrame;
    // Told before the window's log takes a frame: the poll whose
    // transaction it belongs to (nullptr: the window's own); and after it.
    std::function<void(const TPoll* Poll)> FrameBegins;
    std::function<void()> FrameEnds;
    // Number of poll transactions started (tests, benches).
    uint64_t Started() const { return FStarted; }

private:
    void Wire();
    void Kick();
    void GrantDesigned();
    // Ends the poll transaction in flight: the poll it was (nullptr when
    // the window's, or a closed poll's).
    bool TakePoll(TPoll*& Poll);
    void LinkClosed();

    QPointer<TVexaModbus> FEngine;
    std::vector<TPoll*> FPolls;
    // Turns asked for, in order; nullptr: the window's.
    std::deque<TPoll*> FQueue;
    bool FDesignedQueued = false;
    // A poll's transaction is in flight (FActive may be gone meanwhile).
    bool FPollBusy = false;
    TPoll* FActive = nullptr;
    // The Slave ID the window's reads and writes go to, kept across a poll's
    // transaction.
    uint8_t FDesignedUnit = 1;
    // The window's turn is given (posted) but not yet taken.
    bool FGrantPending = false;
    bool FGranting = false;
    bool FKicking = false;
    uint64_t FStarted = 0;

    // The window's handlers.
    TOnModbusError FOnError;
    TOnModbusDataCoilResponse FOnReadCoils;
    TOnModbusDataResponse FOnReadDiscreteInputs, FOnReadHoldingRegs, FOnReadInputRegs;
    TNotifyEvent FOnWriteSingleReg, FOnWriteMultiRegs, FOnWriteSingleCoil, FOnWriteMultiCoils;
    TNotifyEvent FOnDisconnect;
    TOnSendData FOnSendData;
    TOnReceiveData FOnReceiveData;
};
