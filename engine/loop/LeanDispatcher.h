// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// An event dispatcher for the programs that run the engine without a window
// (Linux only; see zorp::UseToolEventLoop).
//
// The engine turns the event loop once per transaction, so one turn of the
// loop costs as much as the engine's own work on a frame. Qt's own UNIX
// dispatcher rebuilds its poll set on every turn by walking a hash of every
// socket notifier (in Qt 6 that walk visits all 128 slots of the hash's
// first span, however few notifiers there are), polls every descriptor
// afresh, and looks each ready one up in that hash again. This dispatcher
// keeps its descriptors registered with an epoll instance, so a turn is one
// epoll_wait that reports only what is ready, and it keeps its few timers
// and notifiers in small arrays. The first timer to come is a timerfd in
// that set, set again only when that time changes, so that a wait arms no
// kernel timer of its own on every turn.
//
// It does what Qt's dispatchers do, in the same order: posted events first,
// then a wait (none when events were posted meanwhile, the loop was
// interrupted, or the caller does not wait), then the ready socket
// notifiers, then the timers that are due. Timers fire no earlier than
// their interval (every timer type is kept as precisely as a precise
// timer), each at most once per turn and never while its previous event is
// still being delivered (a handler that runs a nested loop). A socket
// notifier on a descriptor that epoll cannot watch (a regular file) counts
// as always ready, as poll would report it.
#include <QAbstractEventDispatcher>

#include <atomic>
#include <climits>
#include <cstdint>
#include <pthread.h>
#include <vector>

#include "DirectNotifier.h"

namespace zorp {


class LeanDispatcher final : public QAbstractEventDispatcher {
    Q_OBJECT
public:
    // Throws std::runtime_error when the epoll instance or the wake-up
    // descriptor cannot be created.
    explicit LeanDispatcher(QObject* parent = nullptr);
    ~LeanDispatcher() override;

    bool processEvents(QEventLoop::ProcessEventsFlags flags) override;

    void registerSocketNotifier(QSocketNotifier* notifier) override;
    void unregisterSocketNotifier(QSocketNotifier* notifier) override;

    void registerTimer(int timerId, qint64 interval, Qt::TimerType timerType, QObject* object) override;
    bool unregisterTimer(int timerId) override;
    bool unregisterTimers(QObject* object) override;
    QList<TimerInfo> registeredTimers(QObject* object) const override;
    int remainingTime(int timerId) override;

    void wakeUp() override;
    void interrupt() override;

protected:
    // awake and aboutToBlock are emitted only while something listens.
    void connectNotify(const QMetaMethod& signal) override;
    void disconnectNotify(const QMetaMethod& signal) override;

private:
    struct Watched {
        int fd = -1;
        QSocketNotifier* notifiers[3] = {nullptr, nullptr, nullptr}; // Read, Write, Exception
        bool direct[3] = {false, false, false}; // a DirectNotifier
        uint32_t events = 0;  // what epoll watches for it
        bool always = false;  // epoll cannot watch it: always ready
    };
    struct Timer {
        int id = 0;
        qint64 interval = 0; // milliseconds
        Qt::TimerType type = Qt::CoarseTimer;
        QObject* object = nullptr;
        int64_t due = 0;     // nanoseconds of the monotonic clock
        uint64_t turn = 0;   // the turn it last fired in
        bool delivering = false;
    };

    Watched* FindWatched(int fd);
    void UpdateWatch(Watched& w);
    int Wait(bool wait, bool timers, bool sockets);
    int ActivateNotifiers();
    int ActivateTimers();
    int64_t NextDue() const;  // -1: no timer can fire
    void UpdateNextDue();
    Timer* FindTimer(int id);

    int FEpoll = -1;
    int FWake = -1;                  // eventfd: wake-ups from other threads
    int FTimerFd = -1;               // timerfd: the first timer that may fire
    int64_t FArmedDue = INT64_MAX;   // the time it is armed for
    pthread_t FOwner;                // the thread the dispatcher serves
    // A wake-up is pending (events were posted); set at first for events
    // posted before the dispatcher was installed.
    std::atomic<int> FWakeUps{1};
    int FDepth = 0;                  // processEvents calls on the stack
    std::atomic<bool> FListenersChanged{true}; // a connection to a signal came or went
    bool FListened[2] = {false, false};        // awake, aboutToBlock have receivers
    std::atomic<bool> FInterrupt{false};
    std::vector<Watched> FWatched;
    struct Pending {
        QSocketNotifier* notifier;
        bool direct;
    };
    bool IsPending(const QSocketNotifier* s) const;
    std::vector<Pending> FPending;   // ready, not yet activated (in order)
    bool FDirectCalls = false;       // a DirectNotifier was called since its deletions were last sent
    int FInDirect = 0;               // DirectNotifier calls on the stack
    int FAlways = 0;                 // watched entries that are always ready
    std::vector<Timer> FTimers;
    int64_t FNextDue = INT64_MAX;    // the earliest due of a timer that can fire
    uint64_t FTurn = 0;
};

} // namespace zorp
