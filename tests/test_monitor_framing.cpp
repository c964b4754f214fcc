// SPDX-License-Identifier: GPL-3.0-or-later
// Framing both directions of an RTU bus, pairing and the words a frame is
// put into: byte streams as a monitor hears them, in one read (a USB
// adapter's bunch) or byte by byte, with the outcome expected in order.
#include <gtest/gtest.h>

#include "BusMonitor.h"
#include "BusStats.h"
#include "FrameText.h"
#include "TimedLine.h"

using namespace zorp::monitor;
namespace zf = zorp::framing;

namespace {

std::vector<uint8_t> F(std::vector<uint8_t> b, bool badCrc = false)
{
    zorptest::AppendCrc(b);
    if (badCrc) b.back() ^= 0xFF;
    return b;
}

struct StreamCase {
    const char* name;
    std::vector<std::vector<uint8_t>> frames; // on the line back to back
    const char* expected;                     // one letter per event: R request, A answer (paired),
                                              // U unpaired answer, C bad CRC, N noise, X no answer
};

std::string Events(const StreamCase& c, bool bytewise, zf::BusMode mode = zf::BusMode::Both)
{
    std::string got;
    BusMonitor mon([&](const BusEvent& e) {
        switch (e.kind) {
        case BusEvent::Kind::Request: got += 'R'; break;
        case BusEvent::Kind::Answer: got += e.requestSeq ? 'A' : 'U'; break;
        case BusEvent::Kind::NoAnswer: got += 'X'; break;
        case BusEvent::Kind::Fault: got += e.fault == zf::Fault::BadCrc ? 'C' : 'N'; break;
        }
    });
    zf::LineTiming t{1146000, 4010000};
    mon.AddLine(mode, t);
    std::vector<uint8_t> all;
    for (const auto& f : c.frames) all.insert(all.end(), f.begin(), f.end());
    int64_t now = 1000000000;
    if (bytewise)
        for (uint8_t b : all) mon.FeedLine(1, &b, 1, now += t.charNs);
    else
        mon.FeedLine(1, all.data(), all.size(), now += int64_t(all.size()) * t.charNs);
    mon.Finish(now);
    return got;
}

const StreamCase kStreams[] = {
    {"ReadAndAnswer", {F({1, 3, 0, 0, 0, 2}), F({1, 3, 4, 0, 1, 0, 2})}, "RA"},
    {"WriteEchoedThenAskedAgain", {F({1, 6, 0, 5, 0, 7}), F({1, 6, 0, 5, 0, 7}), F({2, 6, 0, 5, 0, 7})}, "RARX"},
    {"SilentSlaveThenNext", {F({3, 3, 0, 0, 0, 1}), F({1, 4, 0, 0, 0, 1}), F({1, 4, 2, 0, 9})}, "RXRA"},
    {"Exception", {F({2, 3, 0, 100, 0, 2}), F({2, 0x83, 2})}, "RA"},
    {"ExceptionAlone", {F({2, 0x83, 2})}, "U"},
    {"NoiseBeforeRequest", {{0xFF, 0x13}, F({1, 1, 0, 0, 0, 20}), F({1, 1, 3, 0x49, 0x92, 0x04})}, "NRA"},
    {"CorruptedAnswer", {F({1, 3, 0, 0, 0, 2}), F({1, 3, 4, 0, 1, 0, 2}, true), F({1, 3, 0, 0, 0, 2})}, "RCXRX"},
    {"CorruptedRequest", {F({1, 16, 0, 0, 0, 1, 2, 0, 9}, true), F({1, 16, 0, 0, 0, 1})}, "CU"},
    {"Broadcast", {F({0, 6, 0, 1, 0, 1}), F({1, 3, 0, 0, 0, 1}), F({1, 3, 2, 0, 1})}, "RRA"},
};

class MonitorStreams : public ::testing::TestWithParam<StreamCase> {};

TEST_P(MonitorStreams, EventsInOrderInOneReadAndByteByByte)
{
    EXPECT_EQ(Events(GetParam(), false), GetParam().expected);
    EXPECT_EQ(Events(GetParam(), true), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Bus, MonitorStreams, ::testing::ValuesIn(kStreams),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MonitorStreamsLong, ManyFramesInOneReadAreAllFound)
{
    // Far more than the framer holds at once, as a fast line gives after a pause of the reader.
    StreamCase c{"long", {}, ""};
    std::string expected;
    for (int k = 0; k < 100; ++k) {
        c.frames.push_back(F({uint8_t(1 + k % 2), 3, 0, uint8_t(k), 0, 10}));
        c.frames.push_back(zorptest::NormalAnswer(c.frames.back(), uint8_t(1 + k % 2)));
        expected += "RA";
    }
    EXPECT_EQ(Events(c, false), expected);
}

TEST(MonitorFourWire, AnswersPairWithRequestsOfTheOtherPair)
{
    std::string got;
    BusMonitor mon([&](const BusEvent& e) { got += e.kind == BusEvent::Kind::Request ? 'R' : e.requestSeq ? 'A' : '?'; });
    const zf::LineTiming t{1146000, 4010000};
    mon.AddLine(zf::BusMode::Requests, t);
    mon.AddLine(zf::BusMode::Answers, t);
    int64_t now = 1000000000;
    // Write one register: request and answer are the same bytes, each pair says which it is.
    const auto q = F({1, 6, 0, 5, 0, 7});
    for (int k = 0; k < 2; ++k) {
        mon.FeedLine(1, q.data(), q.size(), now += 10000000);
        mon.FeedLine(2, q.data(), q.size(), now += 10000000);
    }
    EXPECT_EQ(got, "RARA");
}

TEST(MonitorFourWire, AnswerReadBeforeItsRequestBehindNoiseIsPaired)
{
    // Two adapters with unrelated latency timers: the slaves' pair hands
    // over noise, then an answer in two bunches, before the master's pair
    // hands over the request.
    std::string got;
    BusMonitor mon([&](const BusEvent& e) {
        got += e.kind == BusEvent::Kind::Request ? 'R'
               : e.kind == BusEvent::Kind::Answer ? (e.requestSeq ? 'A' : 'U')
               : e.kind == BusEvent::Kind::Fault ? (e.fault == zf::Fault::BadCrc ? 'C' : 'N') : 'X';
    });
    const zf::LineTiming t{1146000, 4010000};
    mon.AddLine(zf::BusMode::Requests, t);
    mon.AddLine(zf::BusMode::Answers, t);
    const int64_t ms = 1000000;
    int64_t now = 1000 * ms;
    auto feed = [&](int channel, const std::vector<uint8_t>& b, int64_t at) {
        now = at;
        mon.FeedLine(channel, b.data(), b.size(), now);
        for (int64_t step = 0; step < 20; ++step) mon.Poll(now + step * ms);
    };
    const auto q1 = F({1, 3, 0, 0, 0, 1}), a1 = F({1, 3, 2, 0, 9});
    feed(1, q1, now + 20 * ms);
    feed(2, a1, now + 20 * ms);
    feed(2, {0xFF, 0xFF, 0x13}, now + 20 * ms);
    const auto q2 = F({2, 2, 0, 0, 0, 12}), a2 = F({2, 2, 2, 0x55, 0x0A});
    feed(2, {a2.begin(), a2.begin() + 2}, now + 40 * ms);
    feed(2, {a2.begin() + 2, a2.end()}, now + 25 * ms);
    feed(1, q2, now + 22 * ms);
    mon.Poll(now + 500 * ms);
    mon.Finish(now + 600 * ms);
    EXPECT_EQ(got, "RANRA");
}

TEST(MonitorText, FramesInWordsAndFigures)
{
    BusEvent q;
    q.kind = BusEvent::Kind::Request;
    q.pdu = {3, 0, 100, 0, 3};
    EXPECT_EQ(DescribeEvent(q), "read holding registers 100-102 (3)");
    BusEvent a;
    a.kind = BusEvent::Kind::Answer;
    a.pdu = {3, 6, 0, 1, 0xFF, 0xFF, 0, 3};
    a.requestPdu = q.pdu;
    EXPECT_EQ(DescribeEvent(a), "100=1 101=65535 102=3");
    a.pdu = {0x83, 0x0B};
    EXPECT_EQ(DescribeEvent(a), "exception 0B: gateway target device failed to respond");

    BusStats s;
    for (int ms : {5, 1, 4, 2, 3, 100, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19}) {
        a.unit = 1;
        a.function = 0x83;
        a.requestSeq = 1;
        a.turnaroundNs = int64_t(ms) * 1000000;
        s.Add(a);
    }
    // An answer handed over in one block with its request: no turnaround seen.
    a.bunched = true;
    a.turnaroundNs = 0;
    s.Add(a);
    const UnitFunctionStats& u = s.PerUnit().at(1 << 8 | 3);
    EXPECT_EQ(u.unmeasured, 1u);
    EXPECT_EQ(u.Percentile(0), 1000000);
    EXPECT_EQ(u.Percentile(50), 10000000);
    EXPECT_EQ(u.Percentile(95), 19000000);
    EXPECT_EQ(u.Percentile(100), 100000000);
    EXPECT_EQ(u.exceptions, 21u); // every answer above was the exception
}

} // namespace
