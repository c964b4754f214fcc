// SPDX-License-Identifier: GPL-3.0-or-later
// The master on a timed virtual serial line (TimedLine): the silence before
// every request, answers behind noise, split answers, an exception whose CRC
// trails, a local echo, and a second slave on the bus, at 9600 and 115200
// baud. Pseudo-terminals take 8N1 only, so the line paces 8N1 characters.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "CommPort.h"
#include "EngineRecorder.h"
#include "SimServer.h"
#include "TestSupport.h"
#include "TimedLine.h"
#include "VexaModbus.h"

using zorptest::Burst;
using zorptest::LineFormat;
using zorptest::NormalAnswer;
using zorptest::TimedLine;
using zorptest::waitUntil;

namespace {

using Bytes = std::vector<uint8_t>;

// The silence before a request may look up to this much shorter than t3.5:
// the line's clock and the engine's are read on different threads.
constexpr int64_t kToleranceNs = 200000;
// A run spoilt by a starved relay is repeated up to this many times.
constexpr int kAttempts = 4;

class SerialLine : public ::testing::TestWithParam<int> {
protected:
    std::unique_ptr<TimedLine> line;
    QObject owner;
    TVexaModbus* e = nullptr;
    std::vector<std::string> outcomes; // "regs <first register>" or "error <code>"
    std::vector<Bytes> data;
    int64_t t35 = 0;

    void SetUp() override
    {
        LineFormat f;
        f.baud = GetParam();
        t35 = f.silenceNs();
        line = std::make_unique<TimedLine>(f);
        ASSERT_TRUE(line->ok());
        e = new TVexaModbus(&owner);
        e->SetInterfaceType(mbiRS485);
        e->SetProtocol(mbpRTU);
        e->SetComSpeed(f.baud);
        e->SetTimeout(1000);
        e->SetMaxRepeat(0);
        e->CommPort()->SetDevicePathOverride(QString::fromStdString(line->devicePath()));
        e->OnReadHoldingRegs = [this](QObject*, uint8_t, uint16_t, uint16_t, const Bytes& d) {
            outcomes.push_back("regs " + std::to_string(d.size() >= 2 ? (d[0] << 8 | d[1]) : -1));
            data.push_back(d);
        };
        e->OnError = [this](QObject*, int32_t code) { outcomes.push_back("error " + std::to_string(code)); };
    }

    void TearDown() override
    {
        if (e) {
            e->Disconnect();
            waitUntil([&] { return e->GetState() == msNone; }, 3000);
        }
        delete e;
        e = nullptr;
        if (line) line->stop();
    }

    void Up()
    {
        line->start();
        e->Connect();
        ASSERT_TRUE(waitUntil([&] { return e->Connected(); }));
    }

    // A normal answer after a turnaround of t3.5 for every request from the
    // n-th on; the requests before it get `first` instead.
    void Script(std::function<std::vector<Burst>(const Bytes&)> first, int n = 1)
    {
        auto count = std::make_shared<int>(0);
        const int64_t turn = t35;
        line->setResponder([=](const Bytes& q) -> std::vector<Burst> {
            if ((*count)++ < n && first) return first(q);
            return {Burst{turn, NormalAnswer(q)}};
        });
    }

    bool Outcome(size_t n, int ms = 5000)
    {
        return waitUntil([&] { return outcomes.size() >= n; }, ms);
    }
    std::string Outcomes() const
    {
        std::string all;
        for (const std::string& o : outcomes) all += o + "; ";
        return all;
    }

    // The relay handed a byte over so late that it made a silence of t3.5
    // on the line that no script asked for.
    bool RelayWasLate() const { return line->worstLatenessNs() > t35 / 2; }

    // A listening engine at the far end of the line, in RTU at the line's baud.
    TVexaModbus* Listener(QObject& owner)
    {
        auto* slave = new TVexaModbus(&owner);
        slave->SetInterfaceType(mbiRS485);
        slave->SetProtocol(mbpRTU);
        slave->SetComSpeed(GetParam());
        slave->CommPort()->SetDevicePathOverride(QString::fromStdString(line->farDevicePath()));
        return slave;
    }

    // The silence on the line before the first byte of every answer.
    std::vector<int64_t> GapsBeforeAnswers() const
    {
        std::vector<zorptest::WireByte> r = line->record();
        std::stable_sort(r.begin(), r.end(), [](const auto& x, const auto& y) { return x.start < y.start; });
        std::vector<int64_t> gaps;
        for (size_t i = 1; i < r.size(); ++i)
            if (r[i].dir == zorptest::WireByte::ToMaster && r[i - 1].dir == zorptest::WireByte::FromMaster)
                gaps.push_back(r[i].start - r[i - 1].end);
        return gaps;
    }

    void ExpectQuietBeforeEveryRequest()
    {
        const std::vector<int64_t> gaps = line->gapsBeforeRequests();
        ASSERT_FALSE(gaps.empty());
        const int64_t least = *std::min_element(gaps.begin(), gaps.end());
        EXPECT_GE(least, t35 - kToleranceNs) << "shortest silence before a request: " << least << " ns";
    }
};

std::string BaudName(const ::testing::TestParamInfo<int>& info) { return "baud" + std::to_string(info.param); }

TEST_P(SerialLine, BackToBackPollsLeaveTheSilenceBeforeEveryRequest)
{
    Script(nullptr, 0);
    Up();
    const int polls = GetParam() > 19200 ? 40 : 12;
    std::string expected;
    for (int k = 0; k < polls; ++k) expected += "regs " + std::to_string(polls + 1 - k) + "; ";
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        ASSERT_TRUE(waitUntil([&] { return line->quiet(); }));
        line->clearRecord();
        outcomes.clear();
        int left = polls;
        e->OnReadHoldingRegs = [&](QObject*, uint8_t, uint16_t, uint16_t, const Bytes& d) {
            outcomes.push_back("regs " + std::to_string(d[0] << 8 | d[1]));
            if (--left > 0) e->ReadHoldingRegs(uint16_t(1 + left), 10); // at once, from the event
        };
        e->OnError = [&](QObject*, int32_t code) { outcomes.push_back("error " + std::to_string(code)); };
        e->ReadHoldingRegs(uint16_t(1 + left), 10);
        waitUntil([&] { return outcomes.size() >= size_t(polls) || (!outcomes.empty() && outcomes.back()[0] == 'e'); },
                  20000);
        if (Outcomes() != expected && RelayWasLate()) continue;
        EXPECT_EQ(Outcomes(), expected);
        EXPECT_EQ(line->requestCount(), size_t(polls));
        ExpectQuietBeforeEveryRequest();
        return;
    }
    GTEST_SKIP() << "the machine was too busy to run the line's relay on time";
}

// What the far end does to the first request; the poll made at once from
// its outcome must then be answered correctly, after a proper silence.
struct Scene {
    const char* name;
    bool echo;
    bool removeEcho;
    // Bursts for the first request, given t3.5 and the character time.
    std::function<std::vector<Burst>(const Bytes& q, int64_t t35, int64_t ch)> first;
    const char* firstOutcome; // nullptr: either outcome is right
    const char* secondOutcome = "regs 2";
};

Bytes Crc(Bytes b)
{
    zorptest::AppendCrc(b);
    return b;
}

const Scene kScenes[] = {
    {"AnswerSplitWithShortGaps", false, false,
     [](const Bytes& q, int64_t t35, int64_t ch) {
         const Bytes a = NormalAnswer(q);
         return std::vector<Burst>{{t35, Bytes(a.begin(), a.begin() + 4), ch},
                                   {ch, Bytes(a.begin() + 4, a.end()), ch / 2}};
     },
     "regs 1"},
    {"NoiseSilenceAnswer", false, false,
     [](const Bytes& q, int64_t t35, int64_t) {
         return std::vector<Burst>{{t35, {0xFF}}, {2 * t35, {0x01, 0x03, 0x40, 0x12}}, {2 * t35, NormalAnswer(q)}};
     },
     "regs 1"},
    {"ExceptionWhoseCrcTrails", false, false,
     [](const Bytes&, int64_t t35, int64_t) {
         const Bytes x = Crc({0x01, 0x83, 0x02});
         // The CRC comes a little later than the rest, still within t3.5.
         return std::vector<Burst>{{t35, Bytes(x.begin(), x.begin() + 3)}, {t35 / 2, Bytes(x.begin() + 3, x.end())}};
     },
     "error 21"},
    {"ExceptionWhoseCrcComesAfterASilence", false, false,
     [](const Bytes&, int64_t t35, int64_t) {
         const Bytes x = Crc({0x01, 0x83, 0x02});
         return std::vector<Burst>{{t35, Bytes(x.begin(), x.begin() + 3)}, {2 * t35, Bytes(x.begin() + 3, x.end())}};
     },
     "error 21"},
    {"EchoRemoved", true, true,
     [](const Bytes& q, int64_t, int64_t ch) { return std::vector<Burst>{{ch, NormalAnswer(q)}}; }, "regs 1"},
    // Without RemoveEcho the echo and the answer run together as a rule
    // (error 7); a busy machine can make the pause between them look like
    // a silence, and the answer is then found behind it. Either way the
    // echo counts as traffic on the line.
    {"EchoKept", true, false,
     [](const Bytes& q, int64_t, int64_t ch) { return std::vector<Burst>{{ch, NormalAnswer(q)}}; }, nullptr, nullptr},
    {"SecondSlaveTalksWhenTheNextRequestIsDue", false, false,
     [](const Bytes& q, int64_t t35, int64_t) {
         Bytes other = NormalAnswer(Bytes{2, 3, 0, 0, 0, 10, 0, 0}, 2);
         return std::vector<Burst>{{t35, NormalAnswer(q)}, {t35 / 2, other}};
     },
     "regs 1"},
    {"BadCrcIsStillReported", false, false,
     [](const Bytes& q, int64_t t35, int64_t) {
         Bytes a = NormalAnswer(q);
         a.back() ^= 0x55;
         return std::vector<Burst>{{t35, a}};
     },
     "error 7"},
    {"NoAnswer", false, false, [](const Bytes&, int64_t, int64_t) { return std::vector<Burst>{}; }, "error 4"},
};

TEST_P(SerialLine, FarEndScenesNeverSpoilTheNextPoll)
{
    const int64_t ch = line->format().charNs();
    for (const Scene& s : kScenes) {
        SCOPED_TRACE(s.name);
        for (int attempt = 0;; ++attempt) {
            // Whatever the last run still had on its way ends first.
            ASSERT_TRUE(waitUntil([&] { return line->quiet(); }));
            line->stop();
            line->clearRecord();
            line->setEcho(s.echo);
            e->SetRemoveEcho(s.removeEcho);
            e->SetTimeout(300);
            Script([&](const Bytes& q) { return s.first(q, t35, ch); });
            outcomes.clear();
            if (!e->Connected()) Up();
            else line->start();
            // The second poll is made from inside the first one's outcome.
            bool again = true;
            auto next = [&] {
                if (again) {
                    again = false;
                    e->ReadHoldingRegs(2, 10);
                }
            };
            e->OnReadHoldingRegs = [&](QObject*, uint8_t, uint16_t, uint16_t, const Bytes& d) {
                outcomes.push_back("regs " + std::to_string(d.size() >= 2 ? (d[0] << 8 | d[1]) : -1));
                next();
            };
            e->OnError = [&](QObject*, int32_t code) {
                outcomes.push_back("error " + std::to_string(code));
                next();
            };
            e->ReadHoldingRegs(1, 10);
            ASSERT_TRUE(Outcome(2)) << Outcomes();
            if (s.firstOutcome) {
                const std::string want = std::string(s.firstOutcome) + "; " + s.secondOutcome + "; ";
                if (Outcomes().rfind(want, 0) != 0 && RelayWasLate() && attempt + 1 < kAttempts) continue;
                EXPECT_EQ(outcomes[0], s.firstOutcome);
                EXPECT_EQ(outcomes[1], s.secondOutcome);
            }
            ExpectQuietBeforeEveryRequest();
            break;
        }
    }
}

// The engine listening at the far end of the line answers the engine
// polling at the near end: every answer starts only after t3.5 of quiet
// behind the request, and the polls made at once from each answer still
// get theirs.
TEST_P(SerialLine, ListeningEngineAnswersAfterTheSilence)
{
    QObject slaveOwner;
    TVexaModbus* slave = Listener(slaveOwner);
    slave->SetDeviceID(1);
    std::vector<uint16_t> image(200);
    for (size_t i = 0; i < image.size(); ++i) image[i] = uint16_t(i + 1);
    slave->Set_MapData(image);
    int writes = 0;
    slave->OnWriteSingleReg = [&](QObject*) { ++writes; };
    slave->Listen();
    ASSERT_TRUE(waitUntil([&] { return slave->GetState() == msIdleSlave; }));
    Up();

    const int polls = GetParam() > 19200 ? 30 : 10;
    std::string expected;
    for (int k = 1; k <= polls; ++k) expected += "regs " + std::to_string(k) + "; ";
    expected += "wrote; regs 4660; ";
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        ASSERT_TRUE(waitUntil([&] { return line->quiet(); }));
        line->clearRecord();
        outcomes.clear();
        int next = 1;
        e->OnReadHoldingRegs = [&](QObject*, uint8_t, uint16_t, uint16_t, const Bytes& d) {
            outcomes.push_back("regs " + std::to_string(d[0] << 8 | d[1]));
            if (++next <= polls) e->ReadHoldingRegs(uint16_t(next), 10);
            else if (next == polls + 1) e->WriteSingleReg(100, 0x1234);
        };
        e->OnWriteSingleReg = [&](QObject*) {
            outcomes.push_back("wrote");
            e->ReadHoldingRegs(100, 1);
        };
        e->OnError = [&](QObject*, int32_t code) { outcomes.push_back("error " + std::to_string(code)); };
        e->ReadHoldingRegs(1, 10);
        waitUntil([&] { return outcomes.size() >= size_t(polls + 2) || (!outcomes.empty() && outcomes.back()[0] == 'e'); },
                  20000);
        if (Outcomes() != expected && RelayWasLate()) continue;
        EXPECT_EQ(Outcomes(), expected);
        EXPECT_EQ(writes, 1);
        const std::vector<int64_t> gaps = GapsBeforeAnswers();
        ASSERT_EQ(gaps.size(), size_t(polls + 2));
        EXPECT_GE(*std::min_element(gaps.begin(), gaps.end()), t35 - kToleranceNs);
        ExpectQuietBeforeEveryRequest();
        return;
    }
    GTEST_SKIP() << "the machine was too busy to run the line's relay on time";
}

// A simulator serving several units behind the listening engine's request
// hook: the answers of every unit it simulates, not only of the engine's own
// DeviceID, wait for t3.5 of quiet behind their request.
TEST_P(SerialLine, SimulatedUnitsAllAnswerAfterTheSilence)
{
    zorp::sim::SimServer sim;
    sim.SetUnits({1, 2, 5}, false);
    for (uint8_t u : sim.Units()) sim.Unit(u)->holding[0] = u;
    QObject slaveOwner;
    TVexaModbus* slave = Listener(slaveOwner);
    slave->SetStandardProfile(true);
    slave->SetDeviceID(1);
    slave->SetSlaveHook([&sim](const zorp::slave::HookRequest& r) { return sim.Handle(r); },
                        [&sim](uint8_t unit) { return sim.Serves(unit); });
    slave->Listen();
    ASSERT_TRUE(waitUntil([&] { return slave->GetState() == msIdleSlave; }));
    Up();

    const std::vector<uint8_t> units = {2, 5, 2, 5, 1, 5};
    std::string expected;
    for (uint8_t u : units) expected += "regs " + std::to_string(u) + "; ";
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        ASSERT_TRUE(waitUntil([&] { return line->quiet(); }));
        line->clearRecord();
        outcomes.clear();
        size_t next = 0;
        e->OnReadHoldingRegs = [&](QObject*, uint8_t, uint16_t, uint16_t, const Bytes& d) {
            outcomes.push_back("regs " + std::to_string(d[0] << 8 | d[1]));
            if (++next < units.size()) {
                e->SetDeviceID(units[next]);
                e->ReadHoldingRegs(1, 1);
            }
        };
        e->SetDeviceID(units[0]);
        e->ReadHoldingRegs(1, 1);
        waitUntil([&] { return outcomes.size() >= units.size() || (!outcomes.empty() && outcomes.back()[0] == 'e'); },
                  20000);
        if (Outcomes() != expected && RelayWasLate()) continue;
        EXPECT_EQ(Outcomes(), expected);
        const std::vector<int64_t> gaps = GapsBeforeAnswers();
        ASSERT_EQ(gaps.size(), units.size());
        for (size_t k = 0; k < gaps.size(); ++k)
            EXPECT_GE(gaps[k], t35 - kToleranceNs) << "answer of unit " << int(units[k]);
        return;
    }
    GTEST_SKIP() << "the machine was too busy to run the line's relay on time";
}

INSTANTIATE_TEST_SUITE_P(Bauds, SerialLine, ::testing::Values(9600, 115200), BaudName);

} // namespace

