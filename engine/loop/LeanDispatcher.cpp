// SPDX-License-Identifier: GPL-3.0-or-later
// The event dispatcher of the programs without a window (see LeanDispatcher.h).
#include "LeanDispatcher.h"

#ifdef __linux__

#include <QCoreApplication>
#include <QMetaMethod>
#include <QSocketNotifier>
#include <QTimerEvent>

#include <algorithm>
#include <climits>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <stdexcept>

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace zorp {

namespace {

int64_t NowNs()
{
    timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

constexpr int64_t kNsPerMs = 1000000;

// What poll would report to each kind of notifier (Read, Write, Exception).
constexpr uint32_t kReadyFor[3] = {
    EPOLLIN | EPOLLHUP | EPOLLERR,
    EPOLLOUT | EPOLLHUP | EPOLLERR,
    EPOLLPRI | EPOLLHUP | EPOLLERR,
};
constexpr uint32_t kWatchFor[3] = {EPOLLIN, EPOLLOUT, EPOLLPRI};

void Drain(int fd)
{
    uint64_t count;
    while (::read(fd, &count, sizeof count) < 0 && errno == EINTR) {}
}

} // namespace

LeanDispatcher::LeanDispatcher(QObject* parent) : QAbstractEventDispatcher(parent), FOwner(::pthread_self())
{
    FEpoll = ::epoll_create1(EPOLL_CLOEXEC);
    FWake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    FTimerFd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    bool ok = FEpoll >= 0 && FWake >= 0 && FTimerFd >= 0;
    for (int fd : {FWake, FTimerFd}) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        ok = ok && ::epoll_ctl(FEpoll, EPOLL_CTL_ADD, fd, &ev) == 0;
    }
    if (!ok) {
        const std::string why = std::strerror(errno);
        for (int fd : {FEpoll, FWake, FTimerFd})
            if (fd >= 0) ::close(fd);
        throw std::runtime_error("event dispatcher: " + why);
    }
}

LeanDispatcher::~LeanDispatcher()
{
    ::close(FEpoll);
    ::close(FWake);
    ::close(FTimerFd);
}

// ---- the turn of the loop ----------------------------------------------------

bool LeanDispatcher::processEvents(QEventLoop::ProcessEventsFlags flags)
{
    // A nested loop may leave deferred deletions behind that only an outer
    // loop may carry out: the turn after it sends the posted events anyway.
    struct Depth {
        LeanDispatcher* d;
        explicit Depth(LeanDispatcher* d) : d(d) { ++d->FDepth; }
        ~Depth()
        {
            if (--d->FDepth > 0)
                d->FWakeUps.store(1, std::memory_order_release);
        }
    } depth{this};

    FInterrupt.store(false, std::memory_order_relaxed);
    if (FListenersChanged.load(std::memory_order_relaxed) && FListenersChanged.exchange(false, std::memory_order_acquire)) {
        FListened[0] = isSignalConnected(QMetaMethod::fromSignal(&QAbstractEventDispatcher::awake));
        FListened[1] = isSignalConnected(QMetaMethod::fromSignal(&QAbstractEventDispatcher::aboutToBlock));
    }
    if (FListened[0])
        emit awake();

    // Every posted event calls wakeUp: without one since the last turn
    // there is nothing to send. Every event posted from now on asks for a
    // wake-up again, so the wait below cannot sleep on one posted while
    // these are sent.
    if (FWakeUps.load(std::memory_order_acquire) != 0 && FWakeUps.exchange(0, std::memory_order_acq_rel) != 0) {
        QCoreApplication::sendPostedEvents();
        // Objects deleted later by a direct notifier call (see
        // DirectNotifier) were marked for this loop level, which Qt leaves
        // to an explicit request. They go once no such call is on the
        // stack any more: a handler that turns the loop itself (without a
        // loop of its own) must not lose them under its feet.
        if (FDirectCalls && FInDirect == 0) {
            FDirectCalls = false;
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
    }

    const bool timers = !(flags & QEventLoop::X11ExcludeTimers);
    const bool sockets = !(flags & QEventLoop::ExcludeSocketNotifiers);
    const bool canWait = (flags & QEventLoop::WaitForMoreEvents) && !FInterrupt.load(std::memory_order_relaxed)
                         && FWakeUps.load(std::memory_order_acquire) == 0;
    if (canWait && FListened[1])
        emit aboutToBlock();
    if (FInterrupt.load(std::memory_order_relaxed))
        return false;

    int activated = Wait(canWait, timers, sockets);
    if (sockets)
        activated += ActivateNotifiers();
    if (timers)
        activated += ActivateTimers();
    return activated > 0;
}

void LeanDispatcher::connectNotify(const QMetaMethod&)
{
    // Looked at again by the next turn, once the connection is complete.
    FListenersChanged.store(true, std::memory_order_release);
}

void LeanDispatcher::disconnectNotify(const QMetaMethod&)
{
    FListenersChanged.store(true, std::memory_order_release);
}

int LeanDispatcher::Wait(bool canWait, bool timers, bool sockets)
{
    if (!sockets) {
        // Only a wake-up or the first timer that may fire ends the wait.
        int64_t timeoutNs = canWait ? -1 : 0;
        const int64_t due = NextDue();
        if (canWait && timers && due >= 0)
            timeoutNs = std::max<int64_t>(0, due - NowNs());
        pollfd p{FWake, POLLIN, 0};
        const int ms = timeoutNs < 0 ? -1 : int(std::min<int64_t>((timeoutNs + kNsPerMs - 1) / kNsPerMs, 1 << 30));
        if (::poll(&p, 1, ms) > 0)
            Drain(FWake);
        return 0;
    }

    // The first timer that may fire is the timerfd's absolute time, set
    // again only when that changes: a wait with a time-out of its own would
    // arm and cancel a kernel timer on every turn.
    const bool sleep = canWait && FAlways == 0;
    if (sleep && timers && FNextDue != INT64_MAX && FNextDue != FArmedDue) {
        itimerspec when{};
        // A zero it_value disarms a timerfd: a time already passed fires at once.
        const int64_t due = std::max<int64_t>(FNextDue, 1);
        when.it_value.tv_sec = time_t(due / 1000000000);
        when.it_value.tv_nsec = long(due % 1000000000);
        if (::timerfd_settime(FTimerFd, TFD_TIMER_ABSTIME, &when, nullptr) == 0)
            FArmedDue = FNextDue;
    }

    epoll_event ready[16];
    int n = ::epoll_wait(FEpoll, ready, 16, sleep ? -1 : 0);
    if (n < 0)
        n = 0; // a signal: the caller turns the loop again

    for (int i = 0; i < n; ++i) {
        const int fd = ready[i].data.fd;
        if (fd == FWake) {
            Drain(FWake);
            continue;
        }
        if (fd == FTimerFd) {
            // Fired: the timers that are due follow in this turn.
            Drain(FTimerFd);
            FArmedDue = INT64_MAX;
            continue;
        }
        const Watched* w = FindWatched(fd);
        if (!w)
            continue;
        for (int k = 0; k < 3; ++k) {
            QSocketNotifier* s = w->notifiers[k];
            if (s && (ready[i].events & kReadyFor[k]) && !IsPending(s))
                FPending.push_back({s, w->direct[k]});
        }
    }
    if (FAlways > 0) {
        for (const Watched& w : FWatched) {
            if (!w.always)
                continue;
            for (int k = 0; k < 3; ++k)
                if (w.notifiers[k] && !IsPending(w.notifiers[k]))
                    FPending.push_back({w.notifiers[k], w.direct[k]});
        }
    }
    return 0;
}

int LeanDispatcher::ActivateNotifiers()
{
    // Taken one at a time from the front: a handler may run a nested loop,
    // which goes on with the same list, or switch a pending notifier off,
    // which takes it out.
    int activated = 0;
    while (!FPending.empty()) {
        const Pending p = FPending.front();
        FPending.erase(FPending.begin());
        if (p.direct) {
            FDirectCalls = true;
            struct InDirect {
                int& depth;
                explicit InDirect(int& d) : depth(d) { ++depth; }
                ~InDirect()
                {
                    --depth;
                }
            } inDirect{FInDirect};
            static_cast<DirectNotifier*>(p.notifier)->Activated();
        } else {
            QEvent event(QEvent::SockAct);
            QCoreApplication::sendEvent(p.notifier, &event);
        }
        ++activated;
    }
    return activated;
}

// ---- socket notifiers ----------------------------------------------------------

bool LeanDispatcher::IsPending(const QSocketNotifier* s) const
{
    for (const Pending& p : FPending)
        if (p.notifier == s)
            return true;
    return false;
}

LeanDispatcher::Watched* LeanDispatcher::FindWatched(int fd)
{
    for (Watched& w : FWatched)
        if (w.fd == fd)
            return &w;
    return nullptr;
}

void LeanDispatcher::UpdateWatch(Watched& w)
{
    uint32_t events = 0;
    for (int k = 0; k < 3; ++k)
        if (w.notifiers[k])
            events |= kWatchFor[k];
    if (!w.always && events != w.events) {
        epoll_event ev{};
        ev.events = events;
        ev.data.fd = w.fd;
        if (events == 0) {
            ::epoll_ctl(FEpoll, EPOLL_CTL_DEL, w.fd, &ev);
        } else {
            int op = w.events == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
            int rc = ::epoll_ctl(FEpoll, op, w.fd, &ev);
            // The descriptor may have been closed and reused behind a
            // notifier's back (epoll forgets closed descriptors by itself).
            if (rc != 0 && op == EPOLL_CTL_ADD && errno == EEXIST)
                rc = ::epoll_ctl(FEpoll, EPOLL_CTL_MOD, w.fd, &ev);
            else if (rc != 0 && op == EPOLL_CTL_MOD && errno == ENOENT)
                rc = ::epoll_ctl(FEpoll, EPOLL_CTL_ADD, w.fd, &ev);
            if (rc != 0 && errno == EPERM) {
                // A regular file or the like: poll would call it ready.
                w.always = true;
                ++FAlways;
            }
        }
    }
    w.events = events;
    if (events == 0) {
        if (w.always)
            --FAlways;
        const int fd = w.fd;
        FWatched.erase(std::find_if(FWatched.begin(), FWatched.end(), [fd](const Watched& x) { return x.fd == fd; }));
    }
}

void LeanDispatcher::registerSocketNotifier(QSocketNotifier* notifier)
{
    const int fd = int(notifier->socket());
    const int type = int(notifier->type());
    if (fd < 0 || type < 0 || type > 2)
        return;
    Watched* w = FindWatched(fd);
    if (!w) {
        FWatched.emplace_back();
        w = &FWatched.back();
        w->fd = fd;
    }
    w->notifiers[type] = notifier;
    w->direct[type] = dynamic_cast<DirectNotifier*>(notifier) != nullptr;
    UpdateWatch(*w);
}

void LeanDispatcher::unregisterSocketNotifier(QSocketNotifier* notifier)
{
    FPending.erase(std::remove_if(FPending.begin(), FPending.end(), [notifier](const Pending& p) { return p.notifier == notifier; }),
                   FPending.end());
    const int type = int(notifier->type());
    Watched* w = FindWatched(int(notifier->socket()));
    if (!w || type < 0 || type > 2 || w->notifiers[type] != notifier)
        return;
    w->notifiers[type] = nullptr;
    UpdateWatch(*w);
}

// ---- timers ----------------------------------------------------------------------

LeanDispatcher::Timer* LeanDispatcher::FindTimer(int id)
{
    for (Timer& t : FTimers)
        if (t.id == id)
            return &t;
    return nullptr;
}

int64_t LeanDispatcher::NextDue() const
{
    return FNextDue == INT64_MAX ? -1 : FNextDue;
}

void LeanDispatcher::UpdateNextDue()
{
    // A timer whose event is still being delivered cannot fire: it does not
    // cut a nested loop's wait short.
    int64_t due = INT64_MAX;
    for (const Timer& t : FTimers)
        if (!t.delivering && t.due < due)
            due = t.due;
    FNextDue = due;
}

int LeanDispatcher::ActivateTimers()
{
    if (FTimers.empty())
        return 0;
    // While the timerfd is set for the first timer and has not fired, no
    // timer is due (one that falls due just now is taken in the next turn,
    // which the timerfd starts at once): no clock read is needed.
    if (FArmedDue == FNextDue)
        return 0;
    const int64_t now = NowNs();
    if (now < FNextDue)
        return 0;
    const uint64_t turn = ++FTurn;
    int activated = 0;
    for (;;) {
        // The earliest timer that is due and has not fired in this turn;
        // timers started during the turn wait for the next one.
        Timer* t = nullptr;
        for (Timer& x : FTimers)
            if (!x.delivering && x.turn != turn && x.due <= now && (!t || x.due < t->due))
                t = &x;
        if (!t)
            break;
        t->turn = turn;
        // The next time keeps the rhythm; one that has fallen behind starts
        // afresh from now rather than firing to catch up.
        const int64_t step = t->interval * kNsPerMs;
        t->due += step;
        if (t->due <= now)
            t->due = now + step;
        t->delivering = true;
        UpdateNextDue();
        const int id = t->id;
        QObject* object = t->object;
        struct Delivered {
            LeanDispatcher* d;
            int id;
            ~Delivered()
            {
                if (Timer* t = d->FindTimer(id)) {
                    t->delivering = false;
                    d->UpdateNextDue();
                }
            }
        } delivered{this, id};
        QTimerEvent event(id);
        QCoreApplication::sendEvent(object, &event);
        ++activated;
    }
    return activated;
}

void LeanDispatcher::registerTimer(int timerId, qint64 interval, Qt::TimerType timerType, QObject* object)
{
    if (timerId <= 0 || interval < 0 || !object)
        return;
    Timer t;
    t.id = timerId;
    t.interval = interval;
    t.type = timerType;
    t.object = object;
    t.due = NowNs() + interval * kNsPerMs;
    t.turn = FTurn; // started while timers fire: waits for the next turn
    FTimers.push_back(t);
    FNextDue = std::min(FNextDue, t.due);
}

bool LeanDispatcher::unregisterTimer(int timerId)
{
    const auto it = std::find_if(FTimers.begin(), FTimers.end(), [timerId](const Timer& t) { return t.id == timerId; });
    if (it == FTimers.end())
        return false;
    FTimers.erase(it);
    UpdateNextDue();
    return true;
}

bool LeanDispatcher::unregisterTimers(QObject* object)
{
    const auto before = FTimers.size();
    FTimers.erase(std::remove_if(FTimers.begin(), FTimers.end(), [object](const Timer& t) { return t.object == object; }),
                  FTimers.end());
    UpdateNextDue();
    return FTimers.size() != before;
}

QList<QAbstractEventDispatcher::TimerInfo> LeanDispatcher::registeredTimers(QObject* object) const
{
    QList<TimerInfo> list;
    for (const Timer& t : FTimers)
        if (t.object == object)
            list.append(TimerInfo(t.id, int(t.interval), t.type));
    return list;
}

int LeanDispatcher::remainingTime(int timerId)
{
    const Timer* t = FindTimer(timerId);
    if (!t)
        return -1;
    const int64_t left = t->due - NowNs();
    return left <= 0 ? 0 : int(std::min<int64_t>((left + kNsPerMs - 1) / kNsPerMs, INT32_MAX));
}

// ---- wake-ups ----------------------------------------------------------------------

void LeanDispatcher::wakeUp()
{
    // The first wake-up since the loop last looked is enough. On the loop's
    // own thread nobody sleeps: the loop sees the flag before it waits.
    int expected = 0;
    if (!FWakeUps.compare_exchange_strong(expected, 1, std::memory_order_acq_rel))
        return;
    if (::pthread_equal(::pthread_self(), FOwner))
        return;
    const uint64_t one = 1;
    while (::write(FWake, &one, sizeof one) < 0 && errno == EINTR) {}
}

void LeanDispatcher::interrupt()
{
    FInterrupt.store(true, std::memory_order_relaxed);
    // Another thread's interrupt must end a wait: a wake-up of its own.
    FWakeUps.store(0, std::memory_order_relaxed);
    wakeUp();
}

} // namespace zorp

#endif // __linux__
