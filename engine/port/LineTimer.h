// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A one-shot timer with sub-millisecond precision for serial line timing.
//
// QTimer counts whole milliseconds, while t3.5 at 115200 baud is 1.75 ms and
// a request that goes out a millisecond late costs a sixth of the line's
// capacity. On Linux this timer is a timerfd armed at an absolute time of
// the monotonic clock and watched by a socket notifier: nothing runs while
// it waits. Elsewhere it falls back to a precise QTimer rounded up to the
// next millisecond.
#include <QObject>
#include <cstdint>
#include <functional>

class QSocketNotifier;
class QTimer;

namespace zorp {

// Nanoseconds of the monotonic clock (std::chrono::steady_clock): the one
// time base of the engine's waits. The line's waits read it, and so does the
// millisecond tick count of the time-outs (zorp::GetTickCount) unless a test
// replaced that alone. Tests may replace the source (nullptr restores the
// clock); a LineTimer then waits the time left by the source, relative to
// the moment it is armed.
int64_t LineClockNs();
void SetLineClockSource(std::function<int64_t()> source);

class LineTimer : public QObject {
    Q_OBJECT
public:
    explicit LineTimer(QObject* parent = nullptr);
    ~LineTimer() override;

    // Fires OnDue once, at LineClockNs() >= dueNs (at once when that time
    // has passed). Arming again moves the time.
    void Arm(int64_t dueNs);
    void Cancel();
    bool Armed() const { return FArmed; }
    int64_t Due() const { return FDue; }

    std::function<void()> OnDue;

private:
    void Fire();

    int FFd = -1;
    QSocketNotifier* FNotifier = nullptr;
    QTimer* FFallback = nullptr;
    bool FArmed = false;
    int64_t FDue = 0;
};

} // namespace zorp
