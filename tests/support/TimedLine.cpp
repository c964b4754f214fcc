// SPDX-License-Identifier: GPL-3.0-or-later
#include "TimedLine.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace zorptest {

namespace {

int64_t Now()
{
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

bool OpenRawPty(int& master, int& slave, std::string& path)
{
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0)
        return false;
    // Raw on both sides: a cooked pty echoes and rewrites 0x03, 0x0A, ...
    for (int fd : {master, slave}) {
        termios t{};
        if (tcgetattr(fd, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(fd, TCSANOW, &t);
        }
    }
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    path = name;
    return true;
}

uint16_t Crc16(const uint8_t* p, size_t n)
{
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int b = 0; b < 8; ++b)
            crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0xA001) : uint16_t(crc >> 1);
    }
    return crc;
}

} // namespace

int64_t LineFormat::charNs() const
{
    const int bits = 1 + dataBits + (parity == 'N' ? 0 : 1) + stopBits;
    return baud > 0 ? int64_t(bits) * 1000000000LL / baud : 0;
}

int64_t LineFormat::silenceNs() const { return baud > 19200 ? 1750000 : charNs() * 7 / 2; }

void AppendCrc(std::vector<uint8_t>& frame)
{
    const uint16_t crc = Crc16(frame.data(), frame.size());
    frame.push_back(uint8_t(crc & 0xFF));
    frame.push_back(uint8_t(crc >> 8));
}

std::vector<uint8_t> NormalAnswer(const std::vector<uint8_t>& q, uint8_t device)
{
    if (q.size() < 8 || q[0] != device) return {};
    const uint8_t fc = q[1];
    const unsigned a = unsigned(q[2]) << 8 | q[3];
    const unsigned n = unsigned(q[4]) << 8 | q[5];
    std::vector<uint8_t> r{device, fc};
    switch (fc) {
    case 1:
    case 2: {
        r.push_back(uint8_t((n + 7) / 8));
        for (unsigned byte = 0; byte < (n + 7) / 8; ++byte) {
            uint8_t v = 0;
            for (unsigned bit = 0; bit < 8 && byte * 8 + bit < n; ++bit)
                if ((a + byte * 8 + bit) % 3 == 0) v |= uint8_t(1u << bit);
            r.push_back(v);
        }
        break;
    }
    case 3:
    case 4:
        r.push_back(uint8_t(2 * n));
        for (unsigned k = 0; k < n; ++k) {
            const unsigned v = (a + k + 1) & 0xFFFF;
            r.push_back(uint8_t(v >> 8));
            r.push_back(uint8_t(v));
        }
        break;
    case 5:
    case 6:
    case 15:
    case 16:
        for (size_t i = 2; i < 6; ++i) r.push_back(q[i]);
        break;
    default:
        return {};
    }
    AppendCrc(r);
    return r;
}

TimedLine::TimedLine(LineFormat format) : FFormat(format)
{
    if (!OpenRawPty(FMasterA, FSlaveA, FPathA)) {
        FMasterA = FSlaveA = -1;
        return;
    }
    if (!OpenRawPty(FMasterB, FSlaveB, FPathB))
        FMasterB = FSlaveB = -1;
    if (!OpenRawPty(FMasterT, FSlaveT, FPathT))
        FMasterT = FSlaveT = -1;
    if (!OpenRawPty(FMasterT2, FSlaveT2, FPathT2))
        FMasterT2 = FSlaveT2 = -1;
    if (::pipe2(FWake, O_CLOEXEC | O_NONBLOCK) != 0)
        FWake[0] = FWake[1] = -1;
}

TimedLine::~TimedLine()
{
    stop();
    for (int fd : {FMasterA, FSlaveA, FMasterB, FSlaveB, FMasterT, FSlaveT, FMasterT2, FSlaveT2, FWake[0], FWake[1]})
        if (fd >= 0) ::close(fd);
}

void TimedLine::setResponder(Responder r)
{
    std::lock_guard<std::mutex> g(FLock);
    FResponder = std::move(r);
}

void TimedLine::setEcho(bool on)
{
    std::lock_guard<std::mutex> g(FLock);
    FEcho = on;
}

void TimedLine::start()
{
    if (FRunning || !ok()) return;
    FRunning = true;
    FThread = std::thread([this] { Run(); });
}

void TimedLine::stop()
{
    if (!FRunning) return;
    FRunning = false;
    if (FWake[1] >= 0) {
        const char c = 1;
        [[maybe_unused]] ssize_t n = ::write(FWake[1], &c, 1);
    }
    if (FThread.joinable()) FThread.join();
}

std::vector<WireByte> TimedLine::record() const
{
    std::lock_guard<std::mutex> g(FLock);
    return FRecord;
}

void TimedLine::clearRecord()
{
    std::lock_guard<std::mutex> g(FLock);
    FRecord.clear();
    FRequest.clear();
    FWorstLateness = 0;
    FTapHandedOver = 0;
    FTapOverruns.clear();
}

int64_t TimedLine::worstLatenessNs() const
{
    std::lock_guard<std::mutex> g(FLock);
    return FWorstLateness;
}

bool TimedLine::quiet(bool tapsToo) const
{
    std::lock_guard<std::mutex> g(FLock);
    if (tapsToo) return FOut.empty();
    for (const auto& [due, out] : FOut)
        if (out.first != FMasterT && out.first != FMasterT2) return false;
    return true;
}

namespace {
// Start indexes of requests in a record sorted by start time.
std::vector<size_t> RequestStarts(const std::vector<WireByte>& r, int64_t silence)
{
    std::vector<size_t> starts;
    int64_t lastMasterEnd = INT64_MIN / 2;
    for (size_t i = 0; i < r.size(); ++i) {
        if (r[i].dir != WireByte::FromMaster) continue;
        if (r[i].start - lastMasterEnd >= silence / 2) starts.push_back(i);
        lastMasterEnd = r[i].end;
    }
    return starts;
}
} // namespace

size_t TimedLine::requestCount() const
{
    std::vector<WireByte> r = record();
    std::stable_sort(r.begin(), r.end(), [](const WireByte& x, const WireByte& y) { return x.start < y.start; });
    return RequestStarts(r, FFormat.silenceNs()).size();
}

std::vector<int64_t> TimedLine::gapsBeforeRequests() const
{
    std::vector<WireByte> r = record();
    std::stable_sort(r.begin(), r.end(), [](const WireByte& x, const WireByte& y) { return x.start < y.start; });
    const std::vector<size_t> starts = RequestStarts(r, FFormat.silenceNs());
    std::vector<int64_t> gaps;
    for (size_t k = 1; k < starts.size(); ++k) {
        const size_t s = starts[k];
        int64_t busyUntil = INT64_MIN;
        for (size_t i = 0; i < s; ++i)
            if (!r[i].echo) busyUntil = std::max(busyUntil, r[i].end);
        // Bytes of the far end that began at the same instant count too.
        for (size_t i = s + 1; i < r.size() && r[i].start == r[s].start; ++i)
            if (r[i].dir == WireByte::ToMaster && !r[i].echo) busyUntil = std::max(busyUntil, r[i].end);
        gaps.push_back(r[s].start - busyUntil);
    }
    return gaps;
}

void TimedLine::Schedule(int64_t due, int fd, uint8_t b)
{
    if (fd == FMasterA && FLatencyNs > 0) due = (due + FLatencyNs - 1) / FLatencyNs * FLatencyNs;
    if ((fd == FMasterT || fd == FMasterT2) && FTapLatencyNs > 0)
        due = (due + FTapLatencyNs - 1) / FTapLatencyNs * FTapLatencyNs;
    FOut.emplace(due, std::make_pair(fd, b));
}

void TimedLine::OnLine(const WireByte& w)
{
    FRecord.push_back(w);
    if (!FTapOn || w.echo) return;
    const int tap = FFourWire && w.dir == WireByte::ToMaster ? FMasterT2 : FMasterT;
    if (tap >= 0) Schedule(w.end, tap, w.value);
}

void TimedLine::enableTap(int64_t latencyNs, bool fourWire)
{
    std::lock_guard<std::mutex> g(FLock);
    FTapLatencyNs = latencyNs;
    FTapOn = true;
    FFourWire = fourWire;
}

std::vector<std::pair<uint64_t, uint64_t>> TimedLine::tapOverruns() const
{
    std::lock_guard<std::mutex> g(FLock);
    return FTapOverruns;
}

void TimedLine::setLatencyNs(int64_t ns)
{
    std::lock_guard<std::mutex> g(FLock);
    FLatencyNs = ns;
}

size_t TimedLine::RequestLength() const
{
    if (FRequest.size() < 2) return 8;
    switch (FRequest[1]) {
    case 15:
    case 16:
        return FRequest.size() < 7 ? 9 : size_t(9) + FRequest[6];
    case 20:
        return 12;
    default:
        return 8;
    }
}

void TimedLine::FromMaster(const uint8_t* bytes, size_t n, int64_t now)
{
    const int64_t ch = FFormat.charNs();
    const bool relay = !FResponder && FMasterB >= 0;
    for (size_t i = 0; i < n; ++i) {
        WireByte w;
        w.dir = WireByte::FromMaster;
        w.value = bytes[i];
        w.start = std::max(now, FMasterTxFree);
        w.end = w.start + ch;
        FMasterTxFree = w.end;
        OnLine(w);
        if (FEcho) {
            WireByte e = w;
            e.dir = WireByte::ToMaster;
            e.echo = true;
            FRecord.push_back(e);
            Schedule(e.end, FMasterA, e.value);
        }
        if (relay) {
            Schedule(w.end, FMasterB, w.value);
            continue;
        }
        if (!FResponder) continue;
        // The scripted slave frames requests by silence and length.
        if (!FRequest.empty() && w.start - FRequestEnd >= FFormat.silenceNs()) FRequest.clear();
        FRequest.push_back(w.value);
        FRequestEnd = w.end;
        if (FRequest.size() < RequestLength()) continue;
        const std::vector<Burst> bursts = FResponder(FRequest);
        FRequest.clear();
        PutBursts(bursts, FRequestEnd);
    }
}

void TimedLine::PutBursts(const std::vector<Burst>& bursts, int64_t from)
{
    const int64_t ch = FFormat.charNs();
    int64_t prev = from;
    for (const Burst& b : bursts) {
        int64_t t = std::max(prev + b.afterNs, FFarTxFree);
        for (size_t k = 0; k < b.bytes.size(); ++k) {
            if (k) t += b.gapNs;
            WireByte a;
            a.dir = WireByte::ToMaster;
            a.value = b.bytes[k];
            a.start = t;
            a.end = t + ch;
            t = a.end;
            OnLine(a);
            Schedule(a.end, FMasterA, a.value);
        }
        prev = FFarTxFree = std::max(FFarTxFree, t);
        if (b.bytes.empty()) prev = std::max(prev + b.afterNs, prev);
    }
}

void TimedLine::send(const std::vector<Burst>& bursts)
{
    {
        std::lock_guard<std::mutex> g(FLock);
        PutBursts(bursts, Now());
    }
    const char c = 1;
    [[maybe_unused]] ssize_t w = ::write(FWake[1], &c, 1); // the relay thread looks at the new due times
}

void TimedLine::FromFar(const uint8_t* bytes, size_t n, int64_t now)
{
    const int64_t ch = FFormat.charNs();
    for (size_t i = 0; i < n; ++i) {
        WireByte w;
        w.dir = WireByte::ToMaster;
        w.value = bytes[i];
        w.start = std::max(now, FFarTxFree);
        w.end = w.start + ch;
        FFarTxFree = w.end;
        OnLine(w);
        Schedule(w.end, FMasterA, w.value);
    }
}

void TimedLine::Deliver(int64_t now)
{
    uint8_t chunk[512];
    while (!FOut.empty() && FOut.begin()->first <= now) {
        FWorstLateness = std::max(FWorstLateness, now - FOut.begin()->first);
        const int fd = FOut.begin()->second.first;
        size_t n = 0;
        while (!FOut.empty() && FOut.begin()->first <= now && FOut.begin()->second.first == fd && n < sizeof chunk) {
            chunk[n++] = FOut.begin()->second.second;
            FOut.erase(FOut.begin());
        }
        size_t off = 0;
        while (off < n) {
            const ssize_t w = ::write(fd, chunk + off, n - off);
            if (w > 0) off += size_t(w);
            else if (w < 0 && errno == EINTR) continue;
            else break; // the other side is not reading: the bytes are lost, as on a wire
        }
        if (fd == FMasterT || fd == FMasterT2) {
            if (off < n) FTapOverruns.emplace_back(FTapHandedOver + off, FTapHandedOver + n);
            FTapHandedOver += n;
        }
    }
}

void TimedLine::Run()
{
    // Real-time priority where the system grants it, so that a busy machine
    // does not stretch the line's timing; an ordinary thread otherwise.
    sched_param sp{};
    sp.sched_priority = 10;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp);
    uint8_t buf[4096];
    while (FRunning) {
        int64_t now = Now();
        int64_t next = -1;
        {
            std::lock_guard<std::mutex> g(FLock);
            Deliver(now);
            if (!FOut.empty()) next = FOut.begin()->first;
        }
        pollfd fds[3];
        nfds_t nfds = 0;
        fds[nfds++] = {FMasterA, POLLIN, 0};
        fds[nfds++] = {FWake[0], POLLIN, 0};
        const bool relay = FMasterB >= 0;
        if (relay) fds[nfds++] = {FMasterB, POLLIN, 0};
        timespec ts{};
        timespec* timeout = nullptr;
        if (next >= 0) {
            const int64_t left = std::max<int64_t>(0, next - Now());
            ts.tv_sec = left / 1000000000LL;
            ts.tv_nsec = left % 1000000000LL;
            timeout = &ts;
        } else {
            ts.tv_sec = 0;
            ts.tv_nsec = 100000000; // look at the running flag now and then
            timeout = &ts;
        }
        const int rc = ::ppoll(fds, nfds, timeout, nullptr);
        if (rc <= 0) continue;
        now = Now();
        if (fds[0].revents & POLLIN) {
            const ssize_t n = ::read(FMasterA, buf, sizeof buf);
            if (n > 0) {
                std::lock_guard<std::mutex> g(FLock);
                FromMaster(buf, size_t(n), now);
            }
        } else if (fds[0].revents & (POLLHUP | POLLERR)) {
            // Nobody has the device open: wait a little rather than spin.
            timespec pause{0, 1000000};
            ::nanosleep(&pause, nullptr);
        }
        if (relay && (fds[2].revents & POLLIN)) {
            const ssize_t n = ::read(FMasterB, buf, sizeof buf);
            if (n > 0) {
                std::lock_guard<std::mutex> g(FLock);
                if (!FResponder) FromFar(buf, size_t(n), now);
            }
        } else if (relay && (fds[2].revents & (POLLHUP | POLLERR))) {
            timespec pause{0, 1000000};
            ::nanosleep(&pause, nullptr);
        }
        if (fds[1].revents & POLLIN) {
            char c[16];
            while (::read(FWake[0], c, sizeof c) > 0) {}
        }
    }
}

} // namespace zorptest
