// SPDX-License-Identifier: GPL-3.0-or-later
// The engine as master against zorp-slave, end to end, in all three link
// modes: RTU on a serial line (a socat pty pair), RTU frames over TCP and
// Modbus TCP. Every write function lands in the slave's image and reads
// back; functions 2 and 4 are not served and end in a time-out.
#include <gtest/gtest.h>

#include <QStringList>

#include "CommPort.h"
#include "SlaveSupport.h"
#include "TestSupport.h"
#include "VexaModbus.h"

namespace {

enum class Link { RtuSerial, RtuOverTcp, ModbusTcp };

std::string LinkName(const ::testing::TestParamInfo<Link>& info)
{
    switch (info.param) {
    case Link::RtuSerial: return "RtuSerial";
    case Link::RtuOverTcp: return "RtuOverTcp";
    case Link::ModbusTcp: return "ModbusTcp";
    }
    return "unknown";
}

struct Outcome {
    QStringList events;
    std::vector<uint8_t> bytes;
    std::vector<bool> bits;
    uint16_t addr = 0, count = 0;
};

class MasterAgainstSlave : public ::testing::TestWithParam<Link> {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(slavetest::HaveProgram(slavetest::SlaveToolPath())) << "zorp-slave not built";
        QStringList args{QStringLiteral("--unit"), QStringLiteral("7"), QStringLiteral("--registers"),
                         QStringLiteral("100=11,22,33"), QStringLiteral("--coils"), QStringLiteral("200=1,0,1")};
        switch (GetParam()) {
        case Link::RtuSerial:
            ASSERT_TRUE(HaveProgram()) << "socat missing";
            ASSERT_TRUE(pair.Start());
            args << QStringLiteral("--serial") << pair.A();
            break;
        case Link::RtuOverTcp:
            args << QStringLiteral("--rtu-tcp") << QStringLiteral("0") << QStringLiteral("--bind") << QStringLiteral("127.0.0.1");
            break;
        case Link::ModbusTcp:
            args << QStringLiteral("--tcp") << QStringLiteral("0") << QStringLiteral("--bind") << QStringLiteral("127.0.0.1");
            break;
        }
        ASSERT_TRUE(slave.Start(args)) << slave.Lines().join('\n').toStdString();

        mdb.SetDeviceID(7);
        mdb.SetMaxRepeat(0);
        mdb.SetTimeout(1500);
        if (GetParam() == Link::RtuSerial) {
            mdb.SetInterfaceType(mbiRS485);
            mdb.SetProtocol(mbpRTU);
            mdb.CommPort()->SetDevicePathOverride(pair.B());
        } else {
            mdb.SetInterfaceType(mbiEthernet);
            mdb.SetProtocol(GetParam() == Link::ModbusTcp ? mbpTCP : mbpRTU);
            mdb.SetEthIP(QStringLiteral("127.0.0.1"));
            mdb.SetEthPort(slave.Port());
        }
        mdb.OnError = [this](QObject*, int32_t code) { out.events << QStringLiteral("error %1").arg(code); };
        auto note = [this](const char* name) {
            return [this, name](QObject*) { out.events << QString::fromLatin1(name); };
        };
        mdb.OnWriteSingleReg = note("06");
        mdb.OnWriteMultiRegs = note("16");
        mdb.OnWriteSingleCoil = note("05");
        mdb.OnWriteMultiCoils = note("15");
        mdb.OnWriteSingleSpecialReg = note("102");
        auto data = [this](const char* name) {
            return [this, name](QObject*, uint8_t, uint16_t a, uint16_t c, const std::vector<uint8_t>& d) {
                out.events << QString::fromLatin1(name);
                out.addr = a;
                out.count = c;
                out.bytes = d;
            };
        };
        mdb.OnReadHoldingRegs = data("03");
        mdb.OnReadInputRegs = data("04");
        mdb.OnReadDiscreteInputs = data("02");
        mdb.OnReadCoils = [this](QObject*, uint8_t, uint16_t a, uint16_t c, const std::vector<bool>& d) {
            out.events << QStringLiteral("01");
            out.addr = a;
            out.count = c;
            out.bits = d;
        };
        bool connected = false;
        mdb.OnConnect = [&connected](QObject*) { connected = true; };
        mdb.Connect();
        ASSERT_TRUE(zorptest::waitUntil([&] { return connected; }, 5000));
        mdb.OnConnect = nullptr;
    }

    static bool HaveProgram() { return slavetest::HaveProgram(QStringLiteral("/usr/bin/socat")); }

    // Waits for the transaction's one outcome and returns it.
    QString Outcome1()
    {
        zorptest::waitUntil([this] { return !out.events.isEmpty(); }, 5000);
        const QString e = out.events.isEmpty() ? QStringLiteral("nothing") : out.events.takeFirst();
        return e;
    }

    slavetest::SocatPair pair;
    slavetest::SlaveProcess slave;
    TVexaModbus mdb;
    Outcome out;
};

} // namespace

TEST_P(MasterAgainstSlave, ReadsAndWritesEveryFunction)
{
    // Engine addresses are 1-based: Address 101 is wire address 100.
    mdb.ReadHoldingRegs(101, 3);
    ASSERT_EQ(Outcome1(), "03");
    EXPECT_EQ(out.bytes, (std::vector<uint8_t>{0, 11, 0, 22, 0, 33}));

    ASSERT_TRUE(mdb.WriteMultiRegs(1, 3, {10, 258, 65535}));
    ASSERT_EQ(Outcome1(), "16");
    mdb.WriteSingleReg(5, 77);
    ASSERT_EQ(Outcome1(), "06");
    mdb.WriteSingleSpecialReg(6, 99);
    ASSERT_EQ(Outcome1(), "102");
    mdb.ReadHoldingRegs(1, 6);
    ASSERT_EQ(Outcome1(), "03");
    EXPECT_EQ(out.addr, 1);
    EXPECT_EQ(out.bytes, (std::vector<uint8_t>{0, 10, 1, 2, 0xFF, 0xFF, 0, 0, 0, 77, 0, 99}));

    mdb.ReadCoils(201, 3);
    ASSERT_EQ(Outcome1(), "01");
    EXPECT_EQ(out.bits, (std::vector<bool>{true, false, true}));

    mdb.WriteSingleCoil(1, true, true); // waits for its acknowledgement
    EXPECT_EQ(out.events.value(0), "05");
    out.events.clear();
    const std::vector<bool> pattern{true, false, true, true, false, false, true, true, true, false};
    ASSERT_TRUE(mdb.WriteMultiCoils(20, 10, pattern, false));
    ASSERT_EQ(Outcome1(), "15");
    mdb.ReadCoils(20, 10);
    ASSERT_EQ(Outcome1(), "01");
    EXPECT_EQ(out.bits, pattern);
    mdb.ReadCoils(1, 2);
    ASSERT_EQ(Outcome1(), "01");
    EXPECT_EQ(out.bits, (std::vector<bool>{true, false}));
    mdb.WriteSingleCoil(1, false, false);
    ASSERT_EQ(Outcome1(), "05");

    EXPECT_TRUE(slave.WaitForLine(QStringLiteral("write registers 0..2 = 10,258,65535")));
    EXPECT_TRUE(slave.WaitForLine(QStringLiteral("write register 4 = 77")));
    EXPECT_TRUE(slave.WaitForLine(QStringLiteral("write special register 5 = 99")));
    EXPECT_TRUE(slave.WaitForLine(QStringLiteral("write coils 19..28 = 1,0,1,1,0,0,1,1,1,0")));
    EXPECT_TRUE(slave.WaitForLine(QStringLiteral("write coil 0 = 0")));
}

// zorp-slave is a standard slave: 02 and 04 come from images of their own,
// a function it does not serve is refused at once (exception 01 is error
// 20), and a read past the image's end is exception 02 (error 21).
TEST_P(MasterAgainstSlave, UnservedFunctionsAndRefusalsAreReported)
{
    mdb.SetTimeout(1500);
    mdb.ReadDiscreteInputs(1, 8);
    EXPECT_EQ(Outcome1(), "02");
    mdb.ReadInputRegs(2, 2); // the demonstration's input registers 1 and 2
    ASSERT_EQ(Outcome1(), "04");
    EXPECT_EQ(out.bytes, (std::vector<uint8_t>{0x03, 0xF2, 0x03, 0xFC}));
    mdb.ReadFileRecord(1, 1, 1);
    EXPECT_EQ(Outcome1(), "error 20");
    mdb.ReadHoldingRegs(65535, 3);
    EXPECT_EQ(Outcome1(), "error 21");
    // And the slave goes on answering.
    mdb.ReadHoldingRegs(101, 1);
    ASSERT_EQ(Outcome1(), "03");
    EXPECT_EQ(out.bytes, (std::vector<uint8_t>{0, 11}));
    EXPECT_TRUE(out.events.isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Links, MasterAgainstSlave,
                         ::testing::Values(Link::RtuSerial, Link::RtuOverTcp, Link::ModbusTcp), LinkName);
