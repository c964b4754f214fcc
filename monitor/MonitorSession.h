// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// One monitoring run: the ports it listens on (one serial line, the two
// pairs of a four-wire bus, or the Modbus TCP relay), the monitor's core,
// and one turn of the loop that reads what came and lets time decide.
// zorp-monitor turns it in a loop of its own; the tester's window turns it
// from a timer, without waiting.
#include <memory>
#include <string>
#include <vector>

#include "BusMonitor.h"
#include "SerialTap.h"
#include "TcpRelay.h"

namespace zorp::monitor {

class MonitorSession {
public:
    explicit MonitorSession(BusMonitor::Sink sink);
    ~MonitorSession();
    MonitorSession(const MonitorSession&) = delete;
    MonitorSession& operator=(const MonitorSession&) = delete;

    // A serial line (second: the slaves' pair of a four-wire bus, or
    // empty). False with Error() set.
    bool OpenSerial(const TapSettings& first, const std::string& second);
    // The relay: listen "[ADDRESS:]PORT", target "HOST:PORT".
    bool OpenProxy(const std::string& listen, const std::string& target);
    // "serial /dev/ttyUSB0 at 9600 8N1", "tcp 127.0.0.1:1502, relaying to ..."
    const std::vector<std::string>& Where() const { return FWhere; }

    // Reads what came and lets silence and time-outs decide. Waits for
    // bytes or the monitor's next decision, at most until untilNs
    // (monotonic; -1: no limit; 0 or a past time: no wait), and returns
    // early when wakeFd (if any) becomes readable, setting *woken. False
    // when a port failed (Error()); the run should then end.
    bool Turn(int64_t untilNs, int wakeFd = -1, bool* woken = nullptr);
    // The end: what the ports still hold is read, what the framers hold
    // judged, pending requests reported unanswered. The ports are closed.
    void Finish();

    BusMonitor& Monitor() { return FMonitor; }
    const std::string& Error() const { return FError; }
    bool IsProxy() const { return FRelay != nullptr; }
    // The serial ports' descriptors (for an event loop to watch).
    const std::vector<int>& Taps() const { return FTaps; }

private:
    void ReadTaps(const std::vector<pollfd>* ready);

    BusMonitor FMonitor;
    std::vector<int> FTaps;
    std::unique_ptr<TcpRelay> FRelay;
    std::vector<std::string> FWhere;
    static constexpr size_t kReadBuffer = 64 * 1024 + 4096;
    std::vector<uint8_t> FReadBuf;
    std::vector<pollfd> FFds;
    std::string FError;
    bool FFailed = false;
};

} // namespace zorp::monitor
