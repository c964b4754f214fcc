// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A timed virtual serial line for tests and benchmarks.
//
// Pseudo-terminals hand bytes over at once, so nothing run on a plain pty
// can see line timing. TimedLine sits on the master side of a pty pair whose
// slave side the program under test opens (devicePath()), and plays the
// wire: every byte occupies the line for one character time of the
// configured frame format (start bit, data bits, parity, stop bits) at the
// configured baud rate, and is delivered to the other end only when its
// last bit would have arrived. Each direction has its own transmitter, as
// on a two-wire RS-485 bus, so a master that talks while a slave is still
// driving the line shows up as overlapping bytes (a negative gap), not as
// a delay.
//
// The far end is either
// - scripted: a Responder gets every complete request and returns the
//   bursts the "slave" puts on the line (an answer after a turnaround, an
//   answer split with gaps, noise before it, a second slave, a trailing
//   CRC, a late answer, or nothing), optionally with a local echo of the
//   request as a two-wire adapter produces it; or
// - a second pty pair (farDevicePath()), for a real slave program: bytes
//   are relayed both ways, paced the same way.
//
// Every byte is recorded with its direction and the times its first and
// last bit were on the line (nanoseconds of the monotonic clock, the clock
// of std::chrono::steady_clock), so a test can check the silence before
// every request. The relay runs on a thread of its own and needs no event
// loop; it uses only POSIX calls and the standard library.
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zorptest {

struct LineFormat {
    int baud = 9600;
    int dataBits = 8;
    char parity = 'N'; // 'N', 'E', 'O'
    int stopBits = 1;
    int64_t charNs() const;
    // t3.5: 3.5 character times, 1.75 ms above 19200 baud.
    int64_t silenceNs() const;
    // Time the line needs for n characters.
    int64_t bytesNs(size_t n) const { return int64_t(n) * charNs(); }
};

// What the scripted far end puts on the line in answer to one request: its
// first byte starts afterNs after the end of what came before it (the
// request for the first burst, the previous burst for the others); its
// bytes follow one another back to back, or with gapNs of silence between
// them.
struct Burst {
    int64_t afterNs = 0;
    std::vector<uint8_t> bytes;
    int64_t gapNs = 0;
};
using Responder = std::function<std::vector<Burst>(const std::vector<uint8_t>& request)>;

struct WireByte {
    enum Dir { FromMaster, ToMaster };
    Dir dir = FromMaster;
    bool echo = false;   // a copy of a master's byte heard back (local echo)
    uint8_t value = 0;
    int64_t start = 0;   // first bit on the line
    int64_t end = 0;     // last bit on the line: delivered from here on
};

class TimedLine {
public:
    explicit TimedLine(LineFormat format);
    ~TimedLine();
    TimedLine(const TimedLine&) = delete;
    TimedLine& operator=(const TimedLine&) = delete;

    bool ok() const { return FMasterA >= 0; }
    const LineFormat& format() const { return FFormat; }
    // The serial device the master under test opens.
    std::string devicePath() const { return FPathA; }
    // Relay mode: the serial device a real slave program opens.
    std::string farDevicePath() const { return FPathB; }
    // A listening tap on the same line: every byte of either direction
    // (echo aside) is delivered here too, when its last bit is on the
    // line, for a bus monitor under test.
    std::string tapDevicePath() const { return FPathT; }
    // Four-wire taps: the master's bytes go to tapDevicePath() only, the
    // far end's to this one, as the two pairs of a four-wire bus are heard.
    std::string answerTapDevicePath() const { return FPathT2; }
    // The tap hears the line from now on (it is deaf until then); its
    // adapter hands bytes over in bunches of latencyNs (0: at once).
    void enableTap(int64_t latencyNs = 0, bool fourWire = false);
    // Bytes meant for a tap that its pseudo-terminal did not take (the tap
    // read too slowly, or the relay thread ran so late that it handed over
    // more than a pty holds), as ranges [first, end) of the tap bytes
    // numbered from 0 in the order they were put on the line since the
    // last clearRecord (made while the line was quiet). A real
    // UART's driver overruns too, but never because the wire ran late.
    std::vector<std::pair<uint64_t, uint64_t>> tapOverruns() const;

    // Scripted far end (instead of the relay). May be changed while running.
    void setResponder(Responder r);
    // Two-wire adapter: every byte the master sends comes back to it.
    void setEcho(bool on);
    // USB adapter: bytes for the program under test (devicePath()) are
    // handed over in bunches, whenever a free-running latency timer of this
    // period expires, rather than as their last bit arrives (0: at once).
    void setLatencyNs(int64_t ns);
    // The far end puts these bursts on the line toward devicePath(), the
    // first afterNs from now (or from when its transmitter is free): a
    // master talking to a listener under test, other slaves on its bus.
    void send(const std::vector<Burst>& bursts);

    void start();
    void stop();

    std::vector<WireByte> record() const;
    // Forgets the record and any request half gathered.
    void clearRecord();
    // Nothing is on its way to either end (nor to a tap, unless tapsToo is false).
    bool quiet(bool tapsToo = true) const;
    // The most a byte was handed over later than its time since the last
    // clearRecord: a starved relay thread (the machine too busy to run it,
    // even at the real-time priority it asks for) makes silences on the
    // line that were not scripted, and a test may then repeat its scene.
    int64_t worstLatenessNs() const;
    // Requests seen: bursts of master bytes (echo excluded) after a silence.
    size_t requestCount() const;
    // For every request after the first: the silence on the line before its
    // first byte, from the end of the last byte of either direction
    // (negative: it started while another byte was still on the line).
    std::vector<int64_t> gapsBeforeRequests() const;

private:
    void Run();
    void Schedule(int64_t due, int fd, uint8_t b);
    // A byte on the line: recorded, and heard by the tap.
    void OnLine(const WireByte& w);
    void FromMaster(const uint8_t* bytes, size_t n, int64_t now);
    void FromFar(const uint8_t* bytes, size_t n, int64_t now);
    void PutBursts(const std::vector<Burst>& bursts, int64_t from);
    void Deliver(int64_t now);
    size_t RequestLength() const;

    LineFormat FFormat;
    int FMasterA = -1, FSlaveA = -1; // the master under test's pty
    int FMasterB = -1, FSlaveB = -1; // relay mode: the far slave program's pty
    int FMasterT = -1, FSlaveT = -1; // the listening tap's pty
    int FMasterT2 = -1, FSlaveT2 = -1; // four-wire: the tap of the far end's pair
    std::string FPathA, FPathB, FPathT, FPathT2;
    int FWake[2] = {-1, -1};
    std::thread FThread;
    std::atomic<bool> FRunning{false};

    mutable std::mutex FLock;  // guards everything below
    Responder FResponder;
    bool FEcho = false;
    int64_t FLatencyNs = 0;
    int64_t FTapLatencyNs = 0;
    bool FTapOn = false;
    bool FFourWire = false;
    uint64_t FTapHandedOver = 0; // tap bytes written or dropped so far
    std::vector<std::pair<uint64_t, uint64_t>> FTapOverruns;
    std::vector<WireByte> FRecord;
    std::multimap<int64_t, std::pair<int, uint8_t>> FOut; // due time -> (fd, byte)
    int64_t FMasterTxFree = 0; // the master's transmitter is busy until here
    int64_t FFarTxFree = 0;    // the far end's transmitter
    std::vector<uint8_t> FRequest; // request bytes gathered by the scripted slave
    int64_t FRequestEnd = 0;   // line end of its last byte
    int64_t FWorstLateness = 0;
};

// A slave's normal answer to an RTU request, CRC included: registers read
// as their 1-based address (register at wire address a holds a + 1), coil
// and input k is on when its wire address is a multiple of 3, writes are
// acknowledged. Empty for a request of another device or function.
std::vector<uint8_t> NormalAnswer(const std::vector<uint8_t>& request, uint8_t device = 1);
// Appends the CRC-16/MODBUS of the bytes so far.
void AppendCrc(std::vector<uint8_t>& frame);

} // namespace zorptest
