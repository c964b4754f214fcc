// SPDX-License-Identifier: GPL-3.0-or-later
// A one-shot timer with sub-millisecond precision for serial line timing.
#include "LineTimer.h"

#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <chrono>
#include <ctime>

#ifdef __linux__
#include <sys/timerfd.h>
#include <unistd.h>
#endif

namespace zorp {

namespace {
bool gClockSourceSet = false;
std::function<int64_t()>& ClockSource()
{
    static std::function<int64_t()> source;
    return source;
}
} // namespace

int64_t LineClockNs()
{
    if (gClockSourceSet) {
        if (auto& s = ClockSource()) return s();
    }
#ifdef CLOCK_MONOTONIC
    timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
#else
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
#endif
}

void SetLineClockSource(std::function<int64_t()> source)
{
    gClockSourceSet = static_cast<bool>(source);
    ClockSource() = std::move(source);
}

LineTimer::LineTimer(QObject* parent) : QObject(parent)
{
#ifdef __linux__
    // steady_clock is CLOCK_MONOTONIC on Linux, so absolute times agree.
    FFd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (FFd >= 0) {
        FNotifier = new QSocketNotifier(FFd, QSocketNotifier::Read, this);
        connect(FNotifier, &QSocketNotifier::activated, this, [this] {
            uint64_t expirations = 0;
            while (::read(FFd, &expirations, sizeof expirations) < 0 && errno == EINTR) {}
            Fire();
        });
        return;
    }
#endif
    FFallback = new QTimer(this);
    FFallback->setSingleShot(true);
    FFallback->setTimerType(Qt::PreciseTimer);
    connect(FFallback, &QTimer::timeout, this, [this] { Fire(); });
}

LineTimer::~LineTimer()
{
#ifdef __linux__
    if (FFd >= 0) {
        delete FNotifier;
        FNotifier = nullptr;
        ::close(FFd);
    }
#endif
}

void LineTimer::Arm(int64_t dueNs)
{
    FArmed = true;
    FDue = dueNs;
#ifdef __linux__
    if (FFd >= 0) {
        itimerspec when{};
        // A zero it_value disarms a timerfd: a time already passed fires
        // at the earliest instant instead. A replaced clock is followed by
        // the time it leaves until then.
        const bool absolute = !gClockSourceSet;
        int64_t at = absolute ? dueNs : dueNs - LineClockNs();
        if (at <= 0) at = 1;
        when.it_value.tv_sec = at / 1000000000LL;
        when.it_value.tv_nsec = at % 1000000000LL;
        ::timerfd_settime(FFd, absolute ? TFD_TIMER_ABSTIME : 0, &when, nullptr);
        return;
    }
#endif
    const int64_t left = dueNs - LineClockNs();
    FFallback->start(left <= 0 ? 0 : int((left + 999999) / 1000000));
}

void LineTimer::Cancel()
{
    if (!FArmed) return;
    FArmed = false;
#ifdef __linux__
    if (FFd >= 0) {
        itimerspec when{};
        ::timerfd_settime(FFd, TFD_TIMER_ABSTIME, &when, nullptr);
        return;
    }
#endif
    FFallback->stop();
}

void LineTimer::Fire()
{
    if (!FArmed) return;
    FArmed = false;
    if (OnDue) OnDue();
}

} // namespace zorp
