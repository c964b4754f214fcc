// SPDX-License-Identifier: GPL-3.0-or-later
// Differential test of the framings: the same seeded byte streams go to our
// framers and to pymodbus's (tests/peers/pymodbus_framers.py), and the
// frames each finds are compared.
//
// Where the two stacks are defined alike, both must find exactly the frames
// placed in the stream: valid frames cut anywhere, two or more in one read,
// frames behind a silence after noise, truncated frames, frames with a
// wrong CRC or a lying byte count, frames with bytes behind them, lying
// Modbus TCP lengths. Where they are not, the comparison is restricted, and
// each restriction is a property of pymodbus 3.0 that ours need not share:
//
// - pymodbus's framers have no clock: a silence of t3.5 on the line is
//   handed to them as what it means (resetFrame(), the partial frame is
//   dropped); ours get the arrival times and find the silence themselves.
// - pymodbus's RTU framer drops its whole buffer at the first bad CRC, so
//   behind junk inside a burst (anywhere on RTU over TCP) it finds a frame
//   only when a read happens to start with it. On the line ours look for a
//   valid frame at every place behind a head that can never become one:
//   there every frame pymodbus finds ours must find too, and ours may find
//   more (they are counted and printed). Over TCP ours frame the head of
//   the stream only (a TCP stream loses no bytes, and the master drops what
//   came before each request): behind junk neither stack is defined. No
//   stack may ever find a frame that was not placed; the streams hold no
//   frame by chance (see FramingStreams.h).
// - pymodbus's socket framer drops a frame that arrives split over reads
//   (checkFrame() fails on an incomplete frame and the loop then resets
//   the buffer), so it is given each Modbus TCP stream in one read; ours
//   get the reads as cut. Its error path also makes up frames from 1 to 7
//   bytes left behind the last whole frame; those are not compared.
// - A Modbus TCP header whose length lies outside 2..254 loses the stream
//   for us (the connection is closed); pymodbus skips or waits in ways of
//   its own. Only the frames before such a header are compared.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <fstream>

#include "FramingStreams.h"
#include "ModbusTypes.h"
#include "PeerProcess.h"
#include "RtuLine.h"
#include "framing/Framer.h"

using namespace zorptest::streams;
namespace zf = zorp::framing;

namespace {

constexpr uint64_t kSeed = 20261210;
constexpr size_t kStreams = 1000; // per wire and side

struct Param {
    Wire wire;
    Side side;
    const char* name;
    bool bunched = false; // the line's bytes handed over late and in bunches
};

const char* KindName(const Param& p)
{
    const bool req = p.side == Side::Listener;
    switch (p.wire) {
    case Wire::Tcp: return req ? "tcp-req" : "tcp-rsp";
    default: return req ? "rtu-req" : "rtu-rsp";
    }
}

std::string HexOf(const std::vector<uint8_t>& b)
{
    static const char* d = "0123456789abcdef";
    std::string s;
    for (uint8_t c : b) {
        s += d[c >> 4];
        s += d[c & 15];
    }
    return s;
}

// The line of the peer's input for one stream.
std::string PeerLine(const Param& p, const Stream& s)
{
    std::string line = KindName(p);
    if (p.wire == Wire::Tcp) return line + ' ' + HexOf(Joined(s));
    for (const Read& r : s.reads) {
        if (r.silenceBefore) line += " |";
        line += ' ' + HexOf(r.bytes);
    }
    return line;
}

std::vector<std::string> Words(const std::string& line)
{
    std::vector<std::string> out;
    size_t at = 0;
    while (at < line.size()) {
        const size_t end = std::min(line.find(' ', at), line.size());
        if (end > at) out.push_back(line.substr(at, end - at));
        at = end + 1;
    }
    return out;
}

// 19200 baud, 8N1: the line's own timing.
zf::LineTiming Timing()
{
    zf::LineTiming t;
    t.charNs = zorp::rtu::CharTimeNs(19200, 8, pNone, 1);
    t.silenceNs = zorp::rtu::SilenceNs(19200, 8, pNone, 1);
    return t;
}

struct Ours {
    std::vector<std::string> frames;
    bool lost = false; // a bad Modbus TCP header was reported
};

// Feeds a stream to our framer of its kind. On the serial line the bytes of
// a read arrive a character time apart and reads in one burst follow each
// other closely; a silence is t3.5, the host's margin and a millisecond
// more. The framer is asked when the judgement of a silence is due, or (a
// busy machine's timer firing late) only once the next bytes are in. A USB
// adapter hands bytes over late and in bunches: a read inside a burst may
// come up to 32 ms after the one before it although the line was never
// quiet, and the frames are still found by their content.
Ours RunOurs(const Param& p, const Stream& s, size_t index)
{
    const zf::Kind kind = p.wire == Wire::RtuLine ? zf::Kind::RtuLine
                          : p.wire == Wire::RtuTcp ? zf::Kind::RtuTcp : zf::Kind::Mbap;
    const zf::LineTiming t = Timing();
    auto framer = zf::MakeFramer(kind, p.side == Side::Master ? zf::Side::Master : zf::Side::Listener, t);
    Ours ours;
    const bool line = p.wire == Wire::RtuLine;
    Rng lateTimer(index);
    int64_t now = 1000000000;
    auto drain = [&](int64_t at) {
        for (int guard = 0; guard < 4096; ++guard) {
            const zf::Output o = framer->Next(line ? at : zf::kNoTime);
            if (o.what == zf::Output::What::Nothing) return;
            if (o.what == zf::Output::What::Frame && !o.adu.otherSide)
                ours.frames.push_back(FrameToken(o.adu.unit, o.adu.pdu.Data(), o.adu.pdu.Size(),
                                                 p.wire == Wire::Tcp ? o.adu.transactionId : -1));
            if (o.what == zf::Output::What::Fault && o.fault == zf::Fault::BadHeader) ours.lost = true;
        }
        ADD_FAILURE() << "the framer never runs dry";
    };
    const int64_t quiet = t.silenceNs + t.marginNs + 1000000;
    for (const Read& r : s.reads) {
        if (line) {
            if (r.silenceBefore) {
                if (lateTimer.Chance(70)) drain(now + quiet);
                now += quiet;
            } else if (p.bunched && lateTimer.Chance(10)) {
                now += int64_t(lateTimer.Range(1, 32)) * 1000000; // bunched by the adapter
                if (lateTimer.Chance(50)) drain(now);
            } else {
                now += int64_t(lateTimer.Below(2)) * t.charNs / 2;
            }
            now += int64_t(r.bytes.size()) * t.charNs;
        }
        framer->Feed(r.bytes.data(), r.bytes.size(), line ? now : zf::kNoTime);
        drain(now);
        if (ours.lost) return ours;
    }
    drain(now + quiet);
    return ours;
}

bool IsSubsequence(const std::vector<std::string>& part, const std::vector<std::string>& whole)
{
    size_t k = 0;
    for (const std::string& w : whole)
        if (k < part.size() && part[k] == w) ++k;
    return k == part.size();
}

std::string Show(const std::vector<std::string>& v)
{
    std::string s = "[";
    for (const std::string& x : v) s += (s.size() > 1 ? " " : "") + x;
    return s + "]";
}

// Why a stack's frames are wrong for a stream, or empty.
std::string Judge(const Stream& s, const std::vector<std::string>& found)
{
    if (!IsSubsequence(s.required, found)) return "a frame every stack must find is missing";
    if (!IsSubsequence(found, s.expected)) return "a frame that was not placed was found, or frames out of order";
    return "";
}

// pymodbus's frames that are compared (see above).
std::vector<std::string> PeerCompared(const Stream& s, std::vector<std::string> peer)
{
    if (s.wire == Wire::Tcp && (s.lost || (s.leftover > 0 && s.leftover <= 7)) && peer.size() > s.expected.size())
        peer.resize(s.expected.size());
    peer.erase(std::remove(peer.begin(), peer.end(), "!"), peer.end());
    return peer;
}

void PrintTo(const Param& p, std::ostream* os) { *os << p.name; }

class FramingDiff : public ::testing::TestWithParam<Param> {};

TEST_P(FramingDiff, SameFramesAsPymodbus)
{
    const Param p = GetParam();
    std::vector<Stream> streams;
    for (size_t i = 0; i < kStreams; ++i) streams.push_back(MakeStream(kSeed, i, p.wire, p.side));

    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string input = dir.filePath(QStringLiteral("streams.txt")).toStdString();
    {
        std::ofstream f(input);
        for (const Stream& s : streams) f << PeerLine(p, s) << '\n';
    }
    const zorptest::RunResult run = zorptest::runProgram(
        zorptest::peerPython(), {zorptest::peerScript(QStringLiteral("pymodbus_framers.py")), QString::fromStdString(input)},
        60000);
    ASSERT_TRUE(run.finished && run.exitCode == 0) << run.err.toStdString();
    std::vector<std::string> peerLines;
    for (const QByteArray& l : run.out.split('\n')) peerLines.push_back(l.toStdString());
    ASSERT_GE(peerLines.size(), streams.size());

    size_t required = 0, failures = 0, oursOnly = 0;
    for (size_t i = 0; i < streams.size(); ++i) {
        const Stream& s = streams[i];
        const Ours ours = RunOurs(p, s, i);
        const std::vector<std::string> peer = PeerCompared(s, Words(peerLines[i]));
        std::string why = ours.lost != s.lost ? std::string(s.lost ? "ours missed the bad header" : "ours lost the stream")
                                              : Judge(s, ours.frames);
        if (why.empty() && !Judge(s, peer).empty()) why = "pymodbus: " + Judge(s, peer);
        if (why.empty() && p.wire == Wire::RtuLine && !IsSubsequence(peer, ours.frames))
            why = "pymodbus found a frame that ours missed";
        required += s.required.size();
        for (const std::string& f : ours.frames) oursOnly += std::find(peer.begin(), peer.end(), f) == peer.end();
        if (!why.empty() && ++failures <= 5)
            ADD_FAILURE() << "stream " << i << " (" << s.what << "): " << why << "\n  reads:    " << PeerLine(p, s)
                          << "\n  placed:   " << Show(s.expected) << "\n  required: " << Show(s.required)
                          << "\n  ours:     " << Show(ours.frames) << (ours.lost ? " (lost)" : "")
                          << "\n  pymodbus: " << Show(peer);
    }
    EXPECT_EQ(failures, 0u);
    // The series must keep placing frames that both must find.
    EXPECT_GT(required, kStreams / 2);
    std::printf("%s%s: %zu streams, %zu frames required, %zu more found behind junk by ours only\n", p.name,
                p.bunched ? " (bunched)" : "", streams.size(), required, oursOnly);
}

INSTANTIATE_TEST_SUITE_P(Links, FramingDiff,
                         ::testing::Values(Param{Wire::RtuLine, Side::Master, "RtuLineMaster"},
                                           Param{Wire::RtuLine, Side::Listener, "RtuLineListener"},
                                           Param{Wire::RtuTcp, Side::Master, "RtuTcpMaster"},
                                           Param{Wire::RtuTcp, Side::Listener, "RtuTcpListener"},
                                           Param{Wire::Tcp, Side::Master, "TcpMaster"},
                                           Param{Wire::Tcp, Side::Listener, "TcpListener"}),
                         [](const ::testing::TestParamInfo<Param>& i) { return std::string(i.param.name); });
INSTANTIATE_TEST_SUITE_P(BunchedLine, FramingDiff,
                         ::testing::Values(Param{Wire::RtuLine, Side::Master, "RtuLineMaster", true},
                                           Param{Wire::RtuLine, Side::Listener, "RtuLineListener", true}),
                         [](const ::testing::TestParamInfo<Param>& i) { return std::string(i.param.name); });

} // namespace
