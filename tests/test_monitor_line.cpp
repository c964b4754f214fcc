// SPDX-License-Identifier: GPL-3.0-or-later
// zorp-monitor on the timed virtual serial line: a master polls two slaves
// (and a third unit that never answers) while the monitor listens on a
// tap of the same line, its bytes delivered as they end or in bunches as
// from a USB adapter. Every frame must be found, every answer paired with
// its request; noise, a corrupted CRC, exceptions and unanswered requests
// are reported and counted; the capture decodes in tshark.
#include <gtest/gtest.h>

#include <QDir>
#include <QJsonObject>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <chrono>
#include <map>
#include <fcntl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "MonitorRun.h"
#include "PeerProcess.h"
#include "TimedLine.h"

using namespace zorptest;

namespace {

struct Transaction {
    std::vector<uint8_t> request; // without CRC
    bool noiseAfter = false;
};

std::vector<uint8_t> Req(uint8_t unit, uint8_t fc, uint16_t a, uint16_t n, std::vector<uint8_t> data = {})
{
    std::vector<uint8_t> q{unit, fc, uint8_t(a >> 8), uint8_t(a), uint8_t(n >> 8), uint8_t(n)};
    for (uint8_t b : data) q.push_back(b);
    return q;
}

// One cycle of the master's polling: unit 1 and 2 answer, unit 2 refuses
// addresses from 100 on with exception 02, unit 3 never answers.
std::vector<Transaction> Cycle()
{
    return {
        {Req(1, 3, 0, 10)},
        {Req(2, 3, 0, 4)},
        {Req(1, 1, 0, 20)},
        {Req(2, 3, 100, 2)},
        {Req(3, 3, 0, 1)},
        {Req(1, 6, 5, 7)}, // request and answer are the same bytes
        {Req(2, 16, 10, 3, {6, 0, 1, 0, 2, 0, 3})},
        {Req(1, 4, 0, 8), true},
        {Req(2, 2, 0, 12)},
        {Req(1, 5, 3, 0xFF00)},
    };
}

constexpr int kCycles = 3;
constexpr size_t kCorrupted = 11; // this transaction's answer gets a wrong CRC

std::vector<Burst> Answer(const std::vector<uint8_t>& q, int64_t turnaroundNs, bool corrupt, bool noise,
                          int64_t silenceNs)
{
    std::vector<uint8_t> a;
    if (q[0] == 2 && q[1] == 3 && (q[2] << 8 | q[3]) >= 100) {
        a = {2, 0x83, 0x02};
        AppendCrc(a);
    } else if (q[0] == 1 || q[0] == 2) {
        a = NormalAnswer(q, q[0]);
    }
    if (a.empty()) return {};
    if (corrupt) a.back() ^= 0x5A;
    std::vector<Burst> b{{turnaroundNs, a, 0}};
    if (noise) b.push_back({2 * silenceNs, {0xFF, 0xFF, 0x13}, 0});
    return b;
}

int OpenMaster(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios t{};
    if (fd >= 0 && ::tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        ::tcsetattr(fd, TCSANOW, &t);
    }
    return fd;
}

bool WaitFor(const std::function<bool()>& pred, int timeoutMs = 10000)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

struct LineCase {
    int baud;
    int64_t tapLatencyNs;
    const char* name;
    bool fourWire = false; // requests heard on --serial, answers on --serial2
};

class MonitorLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(MonitorLine, FindsAndPairsEveryFrame)
{
    const LineCase c = GetParam();
    LineFormat fmt;
    fmt.baud = c.baud;
    TimedLine line(fmt);
    ASSERT_TRUE(line.ok());
    const std::vector<Transaction> cycle = Cycle();
    size_t answered = 0;
    line.setResponder([&](const std::vector<uint8_t>& q) {
        const size_t k = answered++;
        const Transaction& t = cycle[k % cycle.size()];
        return Answer(q, 2 * fmt.silenceNs(), k == kCorrupted, t.noiseAfter, fmt.silenceNs());
    });
    line.enableTap(c.tapLatencyNs, c.fourWire);
    line.start();

    QTemporaryDir dir;
    const QString pcap = dir.filePath(QStringLiteral("bus.pcap"));
    MonitorRun mon;
    QStringList args{"--serial", QString::fromStdString(line.tapDevicePath()), "--baud", QString::number(c.baud),
                     "--format", "json", "--stats", "--pcap", pcap, "--timeout", "2000"};
    if (c.fourWire) args << "--serial2" << QString::fromStdString(line.answerTapDevicePath());
    ASSERT_TRUE(mon.start(args)) << mon.err().toStdString();

    const int master = OpenMaster(line.devicePath());
    ASSERT_GE(master, 0);
    uint8_t sink[1024];
    size_t sent = 0;
    for (int r = 0; r < kCycles; ++r) {
        for (const Transaction& t : cycle) {
            // The master keeps the bus quiet for t3.5 and more before it asks.
            std::this_thread::sleep_for(std::chrono::nanoseconds(2 * fmt.silenceNs()));
            std::vector<uint8_t> q = t.request;
            AppendCrc(q);
            const size_t before = line.record().size();
            ASSERT_EQ(::write(master, q.data(), q.size()), ssize_t(q.size()));
            ++sent;
            // The master hears the answer; the taps' adapters may still hold it.
            ASSERT_TRUE(WaitFor([&] { return line.record().size() >= before + q.size() && line.quiet(false); }));
            while (::read(master, sink, sizeof sink) > 0) {}
        }
    }
    ASSERT_TRUE(WaitFor([&] { return line.quiet(); }));
    ASSERT_TRUE(mon.interrupt()) << mon.err().toStdString();
    ::close(master);
    line.stop();
    // Four-wire pairing holds a request for its answer on the other pair up
    // to 100 ms; a test line that itself stalled longer (a loaded machine)
    // says nothing about the monitor.
    if (c.fourWire && line.worstLatenessNs() > 50'000'000)
        GTEST_SKIP() << "the test line ran " << line.worstLatenessNs() / 1000000 << " ms late";

    const std::vector<QJsonObject> ev = mon.events();
    const size_t silent = kCycles;   // unit 3
    const size_t lost = 1;           // the corrupted answer
    EXPECT_EQ(countKind(ev, "request"), sent);
    EXPECT_EQ(countKind(ev, "answer"), sent - silent - lost);
    EXPECT_EQ(countKind(ev, "no-answer"), silent + lost) << mon.out().toStdString();
    size_t paired = 0, exceptions = 0, badCrc = 0, noise = 0;
    std::map<double, QJsonObject> requests; // by seq
    for (const QJsonObject& e : ev) {
        const QString kind = e.value("kind").toString();
        if (kind == "request") requests[e.value("seq").toDouble()] = e;
        // Paired with its own request: the one just before it, of the same unit and function.
        if (kind == "answer" && e.contains("request") && e.contains("turnaround_ms") && !requests.empty() &&
            e.value("request").toDouble() == requests.rbegin()->first &&
            e.value("channel").toInt() == (c.fourWire ? 2 : 1) &&
            requests.rbegin()->second.value("unit") == e.value("unit") &&
            e.value("turnaround_ms").toDouble() >= 0)
            ++paired;
        if (e.contains("exception")) ++exceptions;
        if (kind == "fault") (e.value("fault").toString() == "bad CRC" ? badCrc : noise)++;
    }
    EXPECT_EQ(paired, sent - silent - lost);
    EXPECT_EQ(exceptions, size_t(kCycles));
    EXPECT_EQ(badCrc, 1u);
    EXPECT_EQ(noise, size_t(kCycles)) << mon.out().toStdString();

    // --stats: unit 2 function 3 has the exceptions, unit 3 the unanswered requests.
    const QString err = QString::fromUtf8(mon.err());
    bool sawUnit2 = false, sawUnit3 = false;
    for (const QString& row : err.split('\n')) {
        const QStringList f = row.simplified().split(' ');
        if (f.size() < 6 || f[1] != "3") continue;
        if (f[0] == "2") {
            sawUnit2 = true;
            EXPECT_EQ(f[4].toInt(), kCycles) << row.toStdString(); // exceptions
        }
        if (f[0] == "3") {
            sawUnit3 = true;
            EXPECT_EQ(f[5].toInt(), kCycles) << row.toStdString(); // unanswered
        }
    }
    EXPECT_TRUE(sawUnit2 && sawUnit3) << err.toStdString();

    // The capture: every frame decoded as Modbus RTU, nothing malformed.
    const QString tshark = QStandardPaths::findExecutable(QStringLiteral("tshark"));
    if (tshark.isEmpty()) return;
    const QStringList decode{"-r", pcap, "-d", "udp.port==502,mbrtu"};
    const RunResult all = runProgram(tshark, decode + QStringList{"-Y", "mbrtu && modbus"});
    const RunResult bad = runProgram(tshark, decode + QStringList{"-Y", "_ws.malformed || _ws.expert.severity >= 8388608"});
    ASSERT_TRUE(all.finished && bad.finished);
    EXPECT_EQ(size_t(all.out.count('\n')), countKind(ev, "request") + countKind(ev, "answer")) << all.err.toStdString();
    EXPECT_EQ(bad.out.count('\n'), 0) << bad.out.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Lines, MonitorLine,
                         ::testing::Values(LineCase{9600, 0, "at9600"}, LineCase{9600, 16000000, "at9600bunched"},
                                           LineCase{115200, 0, "at115200"},
                                           LineCase{115200, 16000000, "at115200bunched"},
                                           LineCase{9600, 0, "fourWireAt9600", true},
                                           LineCase{115200, 0, "fourWireAt115200", true},
                                           LineCase{9600, 16000000, "fourWireAt9600bunched", true},
                                           LineCase{115200, 16000000, "fourWireAt115200bunched", true}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
