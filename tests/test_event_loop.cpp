// SPDX-License-Identifier: GPL-3.0-or-later
// What the engine and the tools rely on from the event loop, checked on
// whichever loop the binary runs (ZORP_EVENT_LOOP=lean: the tools' own
// dispatcher): timers never fire early and can be stopped from any handler,
// events posted from another thread end a wait, socket notifiers report
// readiness until they are switched off, and an object deleted later inside
// a nested loop goes only once that loop has returned.
#include <gtest/gtest.h>

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPointer>
#include <QSocketNotifier>
#include <QTemporaryFile>
#include <QTimer>

#include <atomic>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "DirectNotifier.h"
#include "TestSupport.h"

using zorptest::waitUntil;

namespace {

class SocketPair {
public:
    SocketPair() { ok = ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fd) == 0; }
    ~SocketPair()
    {
        if (ok) {
            ::close(fd[0]);
            ::close(fd[1]);
        }
    }
    bool ok = false;
    int fd[2] = {-1, -1};
};

} // namespace

TEST(EventLoop, RunsOnTheLoopAskedFor)
{
    const char* name = QAbstractEventDispatcher::instance()->metaObject()->className();
    if (qgetenv("ZORP_EVENT_LOOP") == "lean")
        EXPECT_STREQ(name, "zorp::LeanDispatcher");
    else
        EXPECT_STRNE(name, "zorp::LeanDispatcher");
}

TEST(EventLoop, TimersNeverFireEarlyAndStopFromAnyHandler)
{
    struct Case {
        int interval;
        Qt::TimerType type;
    };
    for (const Case c : {Case{0, Qt::PreciseTimer}, Case{3, Qt::PreciseTimer}, Case{20, Qt::CoarseTimer},
                         Case{15, Qt::PreciseTimer}}) {
        SCOPED_TRACE(c.interval);
        QTimer timer;
        timer.setTimerType(c.type);
        timer.setInterval(c.interval);
        QElapsedTimer clock;
        std::vector<qint64> at;
        QObject::connect(&timer, &QTimer::timeout, [&] {
            at.push_back(clock.nsecsElapsed());
            if (at.size() == 3)
                timer.stop();
        });
        clock.start();
        timer.start();
        EXPECT_LE(timer.remainingTime(), c.interval);
        ASSERT_TRUE(waitUntil([&] { return at.size() >= 3; }));
        zorptest::spin(2 * c.interval + 5);
        EXPECT_EQ(at.size(), 3u) << "a stopped timer fired again";
        // The n-th timeout comes no earlier than n intervals after the start.
        for (size_t i = 0; i < at.size(); ++i)
            EXPECT_GE(at[i], qint64(i + 1) * c.interval * 1000000 - (c.type == Qt::CoarseTimer ? c.interval * 50000 : 0));
    }

    // A timer stopped by another timer's handler (both due at once) does not fire.
    QTimer first, second;
    int secondFired = 0;
    first.setSingleShot(true);
    second.setSingleShot(true);
    QObject::connect(&first, &QTimer::timeout, [&] { second.stop(); });
    QObject::connect(&second, &QTimer::timeout, [&] { ++secondFired; });
    first.start(5);
    second.start(5);
    zorptest::spin(40);
    EXPECT_EQ(secondFired, 0);
}

TEST(EventLoop, ZeroTimersDoNotStarveSocketsOrPostedEvents)
{
    SocketPair p;
    ASSERT_TRUE(p.ok);
    int ticks = 0;
    QTimer busy;
    busy.setInterval(0);
    QObject::connect(&busy, &QTimer::timeout, [&] { ++ticks; });
    busy.start();
    bool read = false;
    QSocketNotifier n(p.fd[0], QSocketNotifier::Read);
    QObject::connect(&n, &QSocketNotifier::activated, [&] {
        char c;
        while (::read(p.fd[0], &c, 1) > 0) {}
        read = true;
    });
    bool posted = false;
    ASSERT_EQ(::write(p.fd[1], "x", 1), 1);
    QMetaObject::invokeMethod(&n, [&] { posted = true; }, Qt::QueuedConnection);
    EXPECT_TRUE(waitUntil([&] { return read && posted && ticks > 2; }));
}

TEST(EventLoop, PostFromAnotherThreadEndsAWait)
{
    QEventLoop loop;
    QTimer watchdog;
    watchdog.setSingleShot(true);
    bool timedOut = false;
    QObject::connect(&watchdog, &QTimer::timeout, [&] {
        timedOut = true;
        loop.quit();
    });
    watchdog.start(10000);
    std::atomic<bool> started{false};
    std::thread other([&] {
        while (!started.load())
            std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        QMetaObject::invokeMethod(&loop, [&] { loop.quit(); }, Qt::QueuedConnection);
    });
    QTimer::singleShot(0, [&] { started = true; });
    loop.exec();
    other.join();
    EXPECT_FALSE(timedOut);
}

TEST(EventLoop, SocketNotifiersReportUntilSwitchedOff)
{
    SocketPair p;
    ASSERT_TRUE(p.ok);
    // Readable: reported again while bytes wait, not once it is switched off.
    QSocketNotifier reader(p.fd[0], QSocketNotifier::Read);
    int reads = 0;
    QObject::connect(&reader, &QSocketNotifier::activated, [&] {
        if (++reads == 3)
            reader.setEnabled(false);
    });
    ASSERT_EQ(::write(p.fd[1], "ab", 2), 2);
    ASSERT_TRUE(waitUntil([&] { return reads >= 3; }));
    zorptest::spin(20);
    EXPECT_EQ(reads, 3);

    // Writable, on the same descriptor as a switched-off reader.
    QSocketNotifier writer(p.fd[0], QSocketNotifier::Write);
    int writes = 0;
    QObject::connect(&writer, &QSocketNotifier::activated, [&] {
        ++writes;
        writer.setEnabled(false);
    });
    EXPECT_TRUE(waitUntil([&] { return writes == 1; }));

    // Switched on again, the reader sees the bytes still waiting; the peer
    // closing its end is reported to it too.
    reads = 0;
    reader.setEnabled(true);
    EXPECT_TRUE(waitUntil([&] { return reads >= 1; }));
    reader.setEnabled(false);
    char buf[8];
    while (::read(p.fd[0], buf, sizeof buf) > 0) {}
    reads = 0;
    reader.setEnabled(true);
    zorptest::spin(10);
    EXPECT_EQ(reads, 0) << "reported without anything to read";
    ::shutdown(p.fd[1], SHUT_WR);
    EXPECT_TRUE(waitUntil([&] { return reads >= 1; }));
    reader.setEnabled(false);

    // A regular file is always ready, as poll reports it.
    QTemporaryFile file;
    ASSERT_TRUE(file.open());
    QSocketNotifier fileReader(file.handle(), QSocketNotifier::Read);
    int fileReads = 0;
    QObject::connect(&fileReader, &QSocketNotifier::activated, [&] {
        ++fileReads;
        fileReader.setEnabled(false);
    });
    EXPECT_TRUE(waitUntil([&] { return fileReads == 1; }));
}

TEST(EventLoop, DeletedLaterInsideANestedLoopGoesAfterIt)
{
    auto* victim = new QObject;
    QPointer<QObject> watch(victim);
    bool aliveAfterNested = false;
    bool done = false;
    QTimer::singleShot(0, [&] {
        victim->deleteLater();
        // A nested loop, as a write that waits for its confirmation runs.
        QEventLoop nested;
        QTimer::singleShot(20, &nested, &QEventLoop::quit);
        nested.exec();
        aliveAfterNested = !watch.isNull();
        done = true;
    });
    ASSERT_TRUE(waitUntil([&] { return done; }));
    EXPECT_TRUE(aliveAfterNested) << "deleted inside the nested loop, under its caller's feet";
    EXPECT_TRUE(waitUntil([&] { return watch.isNull(); })) << "never deleted";
}

TEST(EventLoop, DirectNotifierIsActivatedAndWhatItDeletesLaterGoesAfterIt)
{
    SocketPair p;
    ASSERT_TRUE(p.ok);
    struct Reader : zorp::DirectNotifier {
        using DirectNotifier::DirectNotifier;
        std::function<void()> fn;
        void Activated() override { fn(); }
    } reader(p.fd[0], QSocketNotifier::Read);
    auto* victim = new QObject;
    QPointer<QObject> watch(victim);
    int calls = 0;
    bool deletedDuringCall = false;
    // Inside a running loop, as the tools run.
    QEventLoop loop;
    reader.fn = [&] {
        ++calls;
        char c;
        while (::read(p.fd[0], &c, 1) > 0) {}
        reader.setEnabled(false);
        victim->deleteLater();
        // A handler that turns the loop itself, as a test's wait does.
        for (int i = 0; i < 5; ++i)
            QCoreApplication::processEvents();
        deletedDuringCall = watch.isNull();
    };
    QObject::connect(victim, &QObject::destroyed, &loop, &QEventLoop::quit);
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    // The loop's ordinary traffic: Qt's GLib loop sends a deletion put back
    // by a nested turn only with the next posted event.
    QTimer traffic;
    QObject::connect(&traffic, &QTimer::timeout, &loop, [&] {
        QMetaObject::invokeMethod(&loop, [] {}, Qt::QueuedConnection);
    });
    traffic.start(20);
    ASSERT_EQ(::write(p.fd[1], "x", 1), 1);
    loop.exec();
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(deletedDuringCall);
    EXPECT_TRUE(watch.isNull()) << "never deleted";
}
