// SPDX-License-Identifier: GPL-3.0-or-later
// The bus monitor on a fully loaded line: the timed virtual serial line at
// BAUD (8N1) carries polls of 10 holding registers of two slaves back to
// back, every frame right behind the one before it (no silence at all, the
// hardest case for framing), for SECONDS; the monitor's core reads the
// line's tap and frames, pairs and puts every frame into words as
// zorp-monitor does. The same bytes are then read once more by a loop that
// only reads them (the reference: what taking bytes off the tap costs).
// Prints
//   monitor_frames_sent          frames put on the line
//   monitor_frames_lost          frames sent but not found, plus answers left unpaired,
//                                those the line itself lost aside (below)
//   monitor_line_overrun_frames  frames the timed line failed to hand to the tap: its
//                                relay thread, run late on a busy machine, wrote more at
//                                once than the tap's pseudo-terminal holds (a real UART
//                                is never late); each costs its poll's two frames
//                                and the pairing of its answer
//   monitor_line_load            share of the time the line was busy
//   monitor_cpu_per_frame_us     the monitor thread's CPU time per frame
//   monitor_cpu_ratio_to_read    that, over the reading loop's CPU per frame
// Usage: monitor_line [BAUD [SECONDS]]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "BusMonitor.h"
#include "EventFormat.h"
#include "TimedLine.h"

using namespace zorp::monitor;

namespace {

double ThreadCpuUs()
{
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e6 + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

int OpenRaw(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios t{};
    if (fd >= 0 && tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
    return fd;
}

// Puts the polls on the line and reads the tap until the line is quiet;
// handle(bytes, n) gets what was read. Returns the frames sent.
template <typename Handle>
size_t Play(zorptest::TimedLine& line, int tap, int master, double seconds, int64_t& busyNs, Handle handle)
{
    const auto& f = line.format();
    const size_t bytesPerPoll = 8 + 25;
    const size_t polls = size_t(seconds * 1e9 / double(f.bytesNs(bytesPerPoll)));
    std::vector<zorptest::Burst> bursts;
    for (size_t k = 0; k < polls; ++k) {
        std::vector<uint8_t> q{uint8_t(1 + k % 2), 3, 0, uint8_t(k % 50), 0, 10};
        zorptest::AppendCrc(q);
        std::vector<uint8_t> a = zorptest::NormalAnswer(q, q[0]);
        bursts.push_back({0, q, 0});
        bursts.push_back({0, a, 0});
    }
    busyNs = f.bytesNs(polls * bytesPerPoll);
    line.clearRecord();
    line.send(bursts);
    // As large as zorp-monitor's: whatever the pty holds comes in one read.
    static std::vector<uint8_t> buf(64 * 1024 + 4096);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds * 3 + 5);
    int idle = 0;
    for (;;) {
        pollfd p[2] = {{tap, POLLIN, 0}, {master, POLLIN, 0}};
        ::poll(p, 2, 20);
        if (p[1].revents & POLLIN)
            while (::read(master, buf.data(), buf.size()) > 0) {}
        bool got = false;
        for (ssize_t n; (n = ::read(tap, buf.data(), buf.size())) > 0;) {
            handle(buf.data(), size_t(n));
            got = true;
        }
        // Quiet, and nothing came in a whole poll since: the last bytes the
        // line handed over just before it became quiet have been read.
        if (got || !line.quiet()) idle = 0;
        else if (++idle == 2) break;
        if (std::chrono::steady_clock::now() > deadline) break;
    }
    return 2 * polls;
}

// The polls (of bytesPerPoll tap bytes each) that lost bytes in the tap's overruns.
size_t PollsHit(const std::vector<std::pair<uint64_t, uint64_t>>& overruns, size_t bytesPerPoll)
{
    size_t hit = 0;
    uint64_t last = UINT64_MAX;
    for (const auto& [first, end] : overruns)
        for (uint64_t k = first / bytesPerPoll; k * bytesPerPoll < end; ++k)
            if (k != last) {
                ++hit;
                last = k;
            }
    return hit;
}

} // namespace

int main(int argc, char** argv)
{
    const int baud = argc > 1 ? std::atoi(argv[1]) : 921600;
    const double seconds = argc > 2 ? std::atof(argv[2]) : 3.0;
    zorptest::LineFormat fmt;
    fmt.baud = baud;
    zorptest::TimedLine line(fmt);
    if (!line.ok()) {
        std::fprintf(stderr, "monitor_line: no pseudo-terminal\n");
        return 1;
    }
    line.enableTap();
    line.start();
    // The reader at real-time priority where the system grants it, as the
    // line's relay thread runs: on a machine busy with other work an
    // ordinary thread is left waiting long enough for the pseudo-terminal
    // to overflow, which would measure the machine, not the monitor.
    sched_param sp{};
    sp.sched_priority = 5;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp);
    const int tap = OpenRaw(line.tapDevicePath());
    const int master = OpenRaw(line.devicePath());
    if (tap < 0 || master < 0) {
        std::fprintf(stderr, "monitor_line: cannot open the line's devices\n");
        return 1;
    }

    // The monitor.
    size_t found = 0, paired = 0, faults = 0, tapBytes = 0;
    std::string out;
    BusMonitor mon([&](const BusEvent& e) {
        if (e.kind == BusEvent::Kind::Request) ++found;
        if (e.kind == BusEvent::Kind::Answer) {
            ++found;
            if (e.requestSeq) ++paired;
        }
        if (e.kind == BusEvent::Kind::Fault) ++faults;
        out = FormatEvent(e, Format::Text); // the words, as the tool prints them
    });
    zorptest::LineFormat lf = fmt;
    mon.AddLine(zorp::framing::BusMode::Both, {lf.charNs(), lf.silenceNs()});
    int64_t busyNs = 0;
    double cpu0 = ThreadCpuUs();
    const auto t0 = std::chrono::steady_clock::now();
    const size_t sent = Play(line, tap, master, seconds, busyNs, [&](const uint8_t* b, size_t n) {
        tapBytes += n;
        mon.FeedLine(1, b, n, BusMonitor::NowNs());
    });
    const double wallNs = double(std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - t0).count());
    mon.Finish(BusMonitor::NowNs());
    const double monitorCpu = ThreadCpuUs() - cpu0;
    const int64_t lateNs = line.worstLatenessNs();
    const size_t overrunPolls = PollsHit(line.tapOverruns(), 8 + 25);

    // The reference: the same traffic, only read.
    size_t bytes = 0;
    cpu0 = ThreadCpuUs();
    int64_t busy2 = 0;
    const size_t sent2 = Play(line, tap, master, seconds, busy2, [&](const uint8_t*, size_t n) { bytes += n; });
    const double readCpu = ThreadCpuUs() - cpu0;
    line.stop();

    const size_t missing = (sent - std::min(sent, found)) + (sent / 2 - std::min(sent / 2, paired));
    // A poll the line damaged costs at most its two frames not found and
    // its answer not paired; what is missing beyond that the monitor lost.
    const size_t lineLost = std::min(missing, 3 * overrunPolls);
    const size_t lost = missing - lineLost;
    std::fprintf(stderr, "monitor_line: %zu bytes sent, %zu read from the tap, %zu frames found, %zu paired, %zu faults, "
                 "the line %.1f ms late at worst, %zu polls damaged by tap overruns\n", size_t(busyNs / fmt.charNs()),
                 tapBytes, found, paired, faults, double(lateNs) / 1e6, overrunPolls);
    std::printf("monitor_frames_sent %zu\n", sent);
    std::printf("monitor_frames_found %zu\n", found);
    std::printf("monitor_frames_lost %zu\n", lost);
    std::printf("monitor_line_overrun_frames %zu\n", lineLost);
    std::printf("monitor_line_load %.2f\n", double(busyNs) / wallNs);
    std::printf("monitor_cpu_per_frame_us %.2f\n", monitorCpu / double(std::max<size_t>(1, found)));
    std::printf("monitor_cpu_ratio_to_read %.2f\n",
                (monitorCpu / double(std::max<size_t>(1, found))) / (readCpu / double(std::max<size_t>(1, sent2))));
    return lost == 0 ? 0 : 1;
}
