// SPDX-License-Identifier: GPL-3.0-or-later
// The simulator library without a link: generators against their formulas
// on a replaced clock, faults chosen and applied to answer frames, units and
// their images, and image files saved and loaded back unchanged.
#include <gtest/gtest.h>

#include <cmath>

#include "ModbusCRC.h"
#include "SimImageFile.h"
#include "ValueAliases.h"

using namespace zorp::sim;
using zorp::slave::Framing;
using zorp::slave::HookAnswer;
using zorp::slave::HookRequest;

namespace {

// Serves one request (without header or CRC; the CRC is added for RTU).
HookAnswer Ask(SimServer& sim, std::vector<uint8_t> pdu, Framing f = Framing::Tcp, uint16_t tid = 7)
{
    if (f == Framing::Rtu) {
        const uint16_t crc = zorp::ModbusCRC16(pdu.data(), pdu.size());
        pdu.push_back(uint8_t(crc));
        pdu.push_back(uint8_t(crc >> 8));
    }
    HookRequest in;
    in.framing = f;
    in.request = pdu;
    in.transactionId = tid;
    return sim.Handle(in);
}

QString Decoded(const UnitImage& img, const char* type, uint16_t a)
{
    const TDataTypeInfo* t = ValueDecoding::FindDataTypeOrAlias(QString::fromLatin1(type));
    return ValueDecoding::DecodeWords(*t, &img.holding[a]);
}

} // namespace

TEST(SimGenerators, FollowTheirFormulasOnAReplacedClock)
{
    const double pi = std::acos(-1.0);
    struct Row {
        const char* spec;
        double t;
        const char* type; // decoded as, from holding register 0
        QString want;
    } rows[] = {
        {"0=counter,period=2,min=5,max=7", 0, "u16", "5"},
        {"0=counter,period=2,min=5,max=7", 5, "u16", "7"},
        {"0=counter,period=2,min=5,max=7", 6.1, "u16", "5"},
        {"0=sawtooth,period=10,min=0,max=100", 12.5, "u16", "25"},
        {"0=ramp,period=10,min=0,max=100", 2.5, "u16", "50"},
        {"0=ramp,period=10,min=0,max=100", 5, "u16", "100"},
        {"0=ramp,period=10,min=0,max=100", 7.5, "u16", "50"},
        {"0=sine,period=10,min=0,max=100,type=f32:cdab", 2.5, "f32:cdab", "100.000000"},
        {"0=sine,period=10,min=0,max=100,type=f32:cdab", 1, "f32:cdab",
         QString::number(double(float(50 + 50 * std::sin(2 * pi / 10))), 'f', 6)},
        {"0=sine,period=4,amplitude=10,offset=-5,type=i16", 3, "i16", "-15"},
        {"0=sine,period=8,min=-1,max=1,type=f64:hgfedcba", 1, "f64:hgfedcba",
         QString::number(std::sin(pi / 4), 'f', 6)},
        {"0=square,period=2,min=3,max=9", 0.5, "u16", "9"},
        {"0=square,period=2,min=3,max=9", 1.5, "u16", "3"},
        {"0=sawtooth,period=1,min=0,max=100000,type=u32:cdab", 0.5, "u32:cdab", "50000"},
        {"0=sine,period=10,min=0,max=1e6", 2.5, "u16", "65535"}, // held at the type's end
    };
    for (const Row& r : rows) {
        SimServer sim;
        double now = r.t;
        sim.Clock = [&] { return now; };
        Generator g;
        QString error;
        ASSERT_TRUE(ParseGenerator(QString::fromLatin1(r.spec), g, error)) << r.spec << error.toStdString();
        sim.Generators.push_back(g);
        sim.UpdateGenerators();
        EXPECT_EQ(Decoded(*sim.Unit(1), r.type, 0), r.want) << r.spec << " at " << r.t;
    }
}

TEST(SimGenerators, BitsRandomnessAndUnits)
{
    SimServer sim;
    sim.SetUnits({1, 2}, false);
    double now = 0.5;
    sim.Clock = [&] { return now; };
    for (const char* spec : {"coil:4=square,period=2", "7=random,period=1,min=10,max=20,seed=42,unit=2"}) {
        Generator g;
        QString error;
        ASSERT_TRUE(ParseGenerator(QString::fromLatin1(spec), g, error)) << error.toStdString();
        sim.Generators.push_back(g);
    }
    sim.UpdateGenerators();
    EXPECT_TRUE(sim.Unit(1)->coils[4]);
    EXPECT_EQ(sim.Unit(1)->holding[7], 0) << "a generator for unit 2 only";
    const uint16_t first = sim.Unit(2)->holding[7];
    EXPECT_GE(first, 10);
    EXPECT_LE(first, 20);
    now = 1.5;
    sim.UpdateGenerators();
    EXPECT_FALSE(sim.Unit(1)->coils[4]);
    // Repeatable: the same seed and period number give the same value, and
    // the values change from period to period.
    std::vector<uint16_t> seen;
    for (int k = 0; k < 8; ++k) {
        now = k + 0.25;
        sim.UpdateGenerators();
        seen.push_back(sim.Unit(2)->holding[7]);
    }
    now = 0.75;
    sim.UpdateGenerators();
    EXPECT_EQ(sim.Unit(2)->holding[7], seen[0]);
    EXPECT_GT(std::set<uint16_t>(seen.begin(), seen.end()).size(), 2u);

    Generator g;
    QString error;
    for (const char* bad : {"10", "x=sine", "10=triangle", "10=sine,period=0", "10=sine,min=5,max=1",
                            "10=sine,type=nonesuch", "65535=sine,type=f32", "coils:1=square,unit=300",
                            "10=sine,colour=red"})
        EXPECT_FALSE(ParseGenerator(QString::fromLatin1(bad), g, error)) << bad;
}

TEST(SimFaults, ParsedChosenAndAppliedToTheAnswer)
{
    Fault f;
    QString error;
    for (const char* bad : {"", "explode", "exception", "exception:0", "exception:256", "delay:x", "delay:9-1",
                            "cut:3", "noanswer,every=0", "noanswer,rate=2", "noanswer,every=2,rate=0.5",
                            "noanswer,address=9-1", "noanswer,size=3"})
        EXPECT_FALSE(ParseFault(QString::fromLatin1(bad), f, error)) << bad;

    SimServer sim;
    sim.Unit(1)->holding[0] = 0x1234;
    auto add = [&](const char* text) {
        ASSERT_TRUE(ParseFault(QString::fromLatin1(text), f, error)) << text << error.toStdString();
        sim.Faults.push_back(f);
    };
    add("exception:6,function=3,address=100-109,every=2");
    add("noanswer,function=4");
    const std::vector<uint8_t> inRange = {1, 3, 0, 105, 0, 1}, outside = {1, 3, 0, 0, 0, 1};
    EXPECT_EQ(Ask(sim, inRange).frame.size(), 11u);
    EXPECT_EQ(Ask(sim, outside).frame.size(), 11u) << "outside the address range: not counted";
    EXPECT_EQ(Ask(sim, inRange).frame, (std::vector<uint8_t>{0, 7, 0, 0, 0, 3, 1, 0x83, 6}));
    EXPECT_EQ(Ask(sim, inRange).frame.size(), 11u);
    EXPECT_EQ(Ask(sim, {1, 4, 0, 0, 0, 1}).action, HookAnswer::Action::Drop);
    // A write hit by an exception is not carried out.
    sim.Faults.clear();
    add("exception:4,function=6");
    Ask(sim, {1, 6, 0, 0, 0, 9});
    EXPECT_EQ(sim.Unit(1)->holding[0], 0x1234);

    // Frame distortions, RTU: the CRC stays right except for badcrc.
    struct Row {
        const char* fault;
        std::vector<uint8_t> want; // without CRC
        bool crcGood;
    } rows[] = {
        {"wrongunit", {2, 3, 2, 0x12, 0x34}, true},
        {"lyingcount", {1, 3, 4, 0x12, 0x34}, true},
        {"badcrc", {1, 3, 2, 0x12, 0x34}, false},
    };
    for (const Row& r : rows) {
        sim.Faults.clear();
        add(r.fault);
        const HookAnswer a = Ask(sim, {1, 3, 0, 0, 0, 1}, Framing::Rtu);
        ASSERT_EQ(a.frame.size(), r.want.size() + 2) << r.fault;
        EXPECT_TRUE(std::equal(r.want.begin(), r.want.end(), a.frame.begin())) << r.fault;
        EXPECT_EQ(zorp::CrcMatches(a.frame.data(), r.want.size()), r.crcGood) << r.fault;
    }
    sim.Faults.clear();
    add("cut");
    EXPECT_EQ(Ask(sim, {1, 3, 0, 0, 0, 1}, Framing::Rtu).frame.size(), 3u);
    sim.Faults.clear();
    add("wrongtid");
    add("delay:250");
    const HookAnswer late = Ask(sim, {1, 3, 0, 0, 0, 1}, Framing::Tcp, 0x0102);
    EXPECT_EQ(late.delayMs, 250u);
    EXPECT_EQ(late.frame[0], 0x01);
    EXPECT_EQ(late.frame[1], 0x03);
}

TEST(SimUnits, OwnImagesSharedImageAndUnknownUnits)
{
    std::vector<uint8_t> units;
    QString error;
    ASSERT_TRUE(SimServer::ParseUnits(QStringLiteral("1,2,5-8,2"), units, error));
    EXPECT_EQ(units, (std::vector<uint8_t>{1, 2, 5, 6, 7, 8}));
    for (const char* bad : {"", "x", "5-3", "1,300", "-1"})
        EXPECT_FALSE(SimServer::ParseUnits(QString::fromLatin1(bad), units, error)) << bad;

    SimServer sim;
    sim.SetUnits({1, 2}, false);
    Ask(sim, {2, 6, 0, 3, 0, 42});
    EXPECT_EQ(sim.Unit(2)->holding[3], 42);
    EXPECT_EQ(sim.Unit(1)->holding[3], 0);
    EXPECT_TRUE(sim.Unit(2)->holdingWritten[3]);
    // Over TCP an unknown unit gets 0B or silence; RTU is always silent.
    EXPECT_EQ(Ask(sim, {9, 3, 0, 0, 0, 1}).frame, (std::vector<uint8_t>{0, 7, 0, 0, 0, 3, 9, 0x83, 0x0B}));
    EXPECT_EQ(Ask(sim, {9, 3, 0, 0, 0, 1}, Framing::Rtu).action, HookAnswer::Action::Drop);
    sim.UnknownUnitSilent = true;
    EXPECT_EQ(Ask(sim, {9, 3, 0, 0, 0, 1}).action, HookAnswer::Action::Drop);
    // An RTU broadcast write reaches every unit and is not answered.
    EXPECT_EQ(Ask(sim, {0, 6, 0, 4, 0, 5}, Framing::Rtu).action, HookAnswer::Action::Drop);
    EXPECT_EQ(sim.Unit(1)->holding[4], 5);
    EXPECT_EQ(sim.Unit(2)->holding[4], 5);

    sim.SetUnits({1, 2, 3}, true);
    Ask(sim, {3, 6, 0, 9, 0, 1});
    EXPECT_EQ(sim.Unit(1)->holding[9], 1);
    EXPECT_EQ(sim.Unit(1), sim.Unit(2));
}

TEST(SimImageFile, SavedAndLoadedBackUnchanged)
{
    const QByteArray file = R"({"units": [
        {"unit": 1, "holding": [{"address": 0, "words": [1, 2, 3]},
                                {"address": 10, "type": "f32:cdab", "values": [12.5, "-0.25"], "description": "T"}],
                    "coils": [{"address": 3, "bits": [1, 0, 1]}],
                    "inputs": [{"address": 65534, "words": [7, 8]}]},
        {"unit": 4, "discrete": [{"address": 0, "bits": [0, 1]}]}],
        "generators": ["coil:20=square,period=2"], "faults": ["exception:6,every=9"]})";
    SimServer sim;
    QString error;
    ASSERT_TRUE(LoadImage(file, sim, error)) << error.toStdString();
    EXPECT_EQ(Decoded(*sim.Unit(1), "f32:cdab", 12), "-0.250000");
    EXPECT_TRUE(sim.Unit(4)->discrete[1]);
    Ask(sim, {1, 16, 0, 40, 0, 2, 4, 0xAB, 0xCD, 0, 1}); // a master writes
    SimServer back;
    ASSERT_TRUE(LoadImage(SaveImage(sim), back, error)) << error.toStdString();
    for (uint8_t u : {1, 4}) {
        EXPECT_EQ(back.Unit(u)->holding, sim.Unit(u)->holding);
        EXPECT_EQ(back.Unit(u)->inputs, sim.Unit(u)->inputs);
        EXPECT_EQ(back.Unit(u)->coils, sim.Unit(u)->coils);
        EXPECT_EQ(back.Unit(u)->discrete, sim.Unit(u)->discrete);
    }
    EXPECT_EQ(back.Unit(1)->holding[41], 1);
    ASSERT_EQ(back.Unit(1)->ranges.size(), 1u);
    EXPECT_EQ(back.Unit(1)->ranges[0].description, "T");
    EXPECT_EQ(back.Generators.size(), 1u);
    EXPECT_EQ(back.Faults.size(), 1u);

    for (const char* bad : {"", "[]", "{}", R"({"units": [{"unit": 256}]})",
                            R"({"units": [{"unit": 1, "holding": [{"address": 65535, "words": [1, 2]}]}]})",
                            R"({"units": [{"unit": 1, "holding": [{"address": 0, "words": [70000]}]}]})",
                            R"({"units": [{"unit": 1, "coils": [{"address": 0, "bits": [2]}]}]})",
                            R"({"units": [{"unit": 1, "holding": [{"address": 0, "values": [1]}]}]})",
                            R"({"units": [{"unit": 1, "holding": [{"address": 0, "type": "i16", "values": [40000]}]}]})",
                            R"({"units": [{"unit": 1}], "generators": ["1=wobble"]})",
                            R"({"units": [{"unit": 1}], "faults": ["boom"]})"}) {
        SimServer s;
        EXPECT_FALSE(LoadImage(QByteArray(bad), s, error)) << bad;
        EXPECT_FALSE(error.isEmpty()) << bad;
    }
}
