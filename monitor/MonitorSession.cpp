// SPDX-License-Identifier: GPL-3.0-or-later
// One monitoring run and its loop's turn.
#include "MonitorSession.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace zorp::monitor {

MonitorSession::MonitorSession(BusMonitor::Sink sink) : FMonitor(std::move(sink)) {}

MonitorSession::~MonitorSession()
{
    if (FRelay) FRelay->Stop();
    for (int fd : FTaps) ::close(fd);
}

bool MonitorSession::OpenSerial(const TapSettings& first, const std::string& second)
{
    const bool fourWire = !second.empty();
    for (const std::string& path : {first.path, second}) {
        if (path.empty()) continue;
        TapSettings s = first;
        s.path = path;
        const int fd = OpenSerialTap(s, FError);
        if (fd < 0) return false;
        FTaps.push_back(fd);
        FMonitor.AddLine(!fourWire ? framing::BusMode::Both
                         : FTaps.size() == 1 ? framing::BusMode::Requests
                                             : framing::BusMode::Answers,
                         TimingOf(s));
        FWhere.push_back("serial " + path + " at " + std::to_string(s.baud) + " " + std::to_string(s.dataBits) +
                         s.parity + std::to_string(s.stopBits));
    }
    return true;
}

bool MonitorSession::OpenProxy(const std::string& listen, const std::string& target)
{
    FRelay = std::make_unique<TcpRelay>(FMonitor);
    if (!FRelay->Start(listen, target, FError)) {
        FRelay.reset();
        return false;
    }
    FWhere.push_back("tcp " + FRelay->ListenAddress() + ", relaying to " + target);
    return true;
}

void MonitorSession::ReadTaps(const std::vector<pollfd>* ready)
{
    // One read takes all a port holds: the buffer is larger than a
    // serial driver's (the kernel's tty buffer is 64 KiB at most), so a
    // monitor that was kept from running catches up in one call per port.
    if (FReadBuf.empty()) FReadBuf.resize(kReadBuffer);
    uint8_t* const buf = FReadBuf.data();
    // One time for all ports: they were ready together.
    const int64_t now = BusMonitor::NowNs();
    for (size_t i = 0; i < FTaps.size() && !FFailed; ++i) {
        if (ready && !((*ready)[i].revents & (POLLIN | POLLERR | POLLHUP))) continue;
        for (;;) {
            const ssize_t got = ::read(FTaps[i], buf, kReadBuffer);
            if (got > 0) {
                FMonitor.FeedLine(int(i + 1), buf, size_t(got), now);
                if (size_t(got) < kReadBuffer) break;
                continue;
            }
            if (got < 0 && (errno == EAGAIN || errno == EINTR)) break;
            FError = "the serial port went away: " + std::string(got == 0 ? "end of file" : std::strerror(errno));
            FFailed = true;
            break;
        }
    }
}

bool MonitorSession::Turn(int64_t untilNs, int wakeFd, bool* woken)
{
    if (woken) *woken = false;
    if (FFailed) return false;
    FFds.clear();
    for (int fd : FTaps) FFds.push_back({fd, POLLIN, 0});
    if (FRelay) FRelay->AddFds(FFds);
    const size_t wakeAt = FFds.size();
    if (wakeFd >= 0) FFds.push_back({wakeFd, POLLIN, 0});
    int64_t wake = FMonitor.NextWakeNs();
    if (untilNs >= 0 && (wake < 0 || untilNs < wake)) wake = untilNs;
    timespec ts{};
    timespec* tp = nullptr;
    if (wake >= 0) {
        const int64_t left = std::max<int64_t>(0, wake - BusMonitor::NowNs());
        ts = {time_t(left / 1000000000), long(left % 1000000000)};
        tp = &ts;
    }
    const int n = ::ppoll(FFds.data(), FFds.size(), tp, nullptr);
    if (n < 0 && errno != EINTR) {
        FError = std::string("poll: ") + std::strerror(errno);
        FFailed = true;
        return false;
    }
    if (n > 0) {
        ReadTaps(&FFds);
        if (FRelay) FRelay->Handle(FFds, FTaps.size());
        if (woken && wakeFd >= 0 && (FFds[wakeAt].revents & POLLIN)) *woken = true;
    }
    FMonitor.Poll(BusMonitor::NowNs());
    return !FFailed;
}

void MonitorSession::Finish()
{
    ReadTaps(nullptr);
    if (FRelay) FRelay->Stop();
    FRelay.reset();
    FMonitor.Finish(BusMonitor::NowNs());
    for (int fd : FTaps) ::close(fd);
    FTaps.clear();
}

} // namespace zorp::monitor
