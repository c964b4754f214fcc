// SPDX-License-Identifier: GPL-3.0-or-later
// Independent masters against zorp-slave: mbpoll over Modbus TCP and over
// RTU on a pseudo-terminal pair, and the pymodbus sync client with RTU
// framing over TCP. Each writes registers and coils and reads them back.
#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QStringList>

#include "SlaveSupport.h"
#include "TestSupport.h"

namespace {

const QString kMbpoll = QStringLiteral("/usr/bin/mbpoll");
const QString kPython = QStringLiteral("/usr/bin/python3");

// The values mbpoll printed, "[ref]: value" lines in order.
QStringList Values(const QString& output)
{
    static const QRegularExpression re(QStringLiteral("^\\[(\\d+)\\]:\\s+(-?\\d+)"), QRegularExpression::MultilineOption);
    QStringList v;
    for (auto it = re.globalMatch(output); it.hasNext();) {
        const auto m = it.next();
        v << m.captured(1) + QLatin1Char('=') + m.captured(2);
    }
    return v;
}

class Mbpoll : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(slavetest::HaveProgram(kMbpoll)) << "mbpoll missing";
        ASSERT_TRUE(slavetest::HaveProgram(slavetest::SlaveToolPath())) << "zorp-slave not built";
    }
    // Runs mbpoll once with PDU addressing and a 1 s time-out.
    int Run(const QStringList& link, const QStringList& args, QString* output)
    {
        QStringList all = link;
        all << QStringLiteral("-a") << QStringLiteral("1") << QStringLiteral("-0") << QStringLiteral("-1")
            << QStringLiteral("-o") << QStringLiteral("1") << args;
        return slavetest::RunProgram(kMbpoll, all, output);
    }
    void WriteAndReadBack(const QStringList& link, const QString& target)
    {
        QString out;
        ASSERT_EQ(Run(link, {QStringLiteral("-r"), QStringLiteral("100"), QStringLiteral("-c"), QStringLiteral("3"), target}, &out), 0) << out.toStdString();
        EXPECT_EQ(Values(out), (QStringList{"100=5", "101=6", "102=7"}));

        // Several registers (function 16), one register (function 6).
        ASSERT_EQ(Run(link, {QStringLiteral("-r"), QStringLiteral("10"), target, "7", "8", "65535"}, &out), 0) << out.toStdString();
        ASSERT_EQ(Run(link, {QStringLiteral("-r"), QStringLiteral("20"), target, "1234"}, &out), 0) << out.toStdString();
        ASSERT_EQ(Run(link, {QStringLiteral("-r"), QStringLiteral("10"), QStringLiteral("-c"), QStringLiteral("11"), target}, &out), 0);
        const QStringList regs = Values(out);
        ASSERT_EQ(regs.size(), 11);
        EXPECT_EQ(regs[0], "10=7");
        EXPECT_EQ(regs[1], "11=8");
        EXPECT_EQ(regs[2], "12=65535");
        EXPECT_EQ(regs[10], "20=1234");

        // Several coils (function 15), one coil (function 5).
        ASSERT_EQ(Run(link, {QStringLiteral("-t"), QStringLiteral("0"), QStringLiteral("-r"), QStringLiteral("30"), target, "1", "0", "1", "1"}, &out), 0) << out.toStdString();
        ASSERT_EQ(Run(link, {QStringLiteral("-t"), QStringLiteral("0"), QStringLiteral("-r"), QStringLiteral("35"), target, "1"}, &out), 0) << out.toStdString();
        ASSERT_EQ(Run(link, {QStringLiteral("-t"), QStringLiteral("0"), QStringLiteral("-r"), QStringLiteral("30"), QStringLiteral("-c"), QStringLiteral("6"), target}, &out), 0);
        EXPECT_EQ(Values(out), (QStringList{"30=1", "31=0", "32=1", "33=1", "34=0", "35=1"}));

        // Input registers (function 4) and discrete inputs (function 2)
        // come from images of their own.
        ASSERT_EQ(Run(link, {"-t", "3", "-r", "40", "-c", "3", target}, &out), 0) << out.toStdString();
        EXPECT_EQ(Values(out), (QStringList{"40=11", "41=12", "42=65535"}));
        ASSERT_EQ(Run(link, {"-t", "1", "-r", "7", "-c", "4", target}, &out), 0) << out.toStdString();
        EXPECT_EQ(Values(out), (QStringList{"7=1", "8=0", "9=1", "10=1"}));

        EXPECT_TRUE(slave.WaitForLine(QStringLiteral("write registers 10..12 = 7,8,65535")));
        EXPECT_TRUE(slave.WaitForLine(QStringLiteral("write register 20 = 1234")));
        EXPECT_TRUE(slave.WaitForLine(QStringLiteral("write coils 30..33 = 1,0,1,1")));
        EXPECT_TRUE(slave.WaitForLine(QStringLiteral("write coil 35 = 1")));
    }
    slavetest::SlaveProcess slave;
};

} // namespace

TEST_F(Mbpoll, ModbusTcp)
{
    ASSERT_TRUE(slave.Start({"--tcp", "0", "--bind", "127.0.0.1", "--registers", "100=5,6,7", "--inputs",
                             "40=11,12,65535", "--discrete", "7=1,0,1,1"}));
    WriteAndReadBack({QStringLiteral("-m"), QStringLiteral("tcp"), QStringLiteral("-p"), QString::number(slave.Port())},
                     QStringLiteral("127.0.0.1"));
    EXPECT_TRUE(slave.WaitForLineStarting("client connected 127.0.0.1:"));
    EXPECT_TRUE(slave.WaitForLine("client disconnected"));
}

// The designed listening mode serves no input registers: mbpoll waits out
// its time-out and fails; a standard slave answers its exception at once.
TEST_F(Mbpoll, UnservedFunctionByProfile)
{
    for (const bool designed : {true, false}) {
        slavetest::SlaveProcess s;
        QStringList args = {"--tcp", "0", "--bind", "127.0.0.1", "--registers", "0=1"};
        if (designed) args << "--designed";
        ASSERT_TRUE(s.Start(args));
        QString out;
        // Function 23 is not offered by mbpoll; use a report-slave-id-free
        // read of input registers in designed mode, and of an address past
        // the image in the standard one.
        const QStringList link = {"-m", "tcp", "-p", QString::number(s.Port())};
        if (designed) {
            EXPECT_NE(Run(link, {"-t", "3", "-r", "0", "127.0.0.1"}, &out), 0) << out.toStdString();
        } else {
            EXPECT_NE(Run(link, {"-t", "3", "-r", "65535", "-c", "2", "127.0.0.1"}, &out), 0);
            EXPECT_TRUE(out.contains(QStringLiteral("Illegal data address"), Qt::CaseInsensitive)) << out.toStdString();
        }
    }
}

TEST_F(Mbpoll, RtuOnPseudoTerminal)
{
    ASSERT_TRUE(slavetest::HaveProgram(QStringLiteral("/usr/bin/socat")));
    slavetest::SocatPair pair;
    ASSERT_TRUE(pair.Start());
    ASSERT_TRUE(slave.Start({"--serial", pair.A(), "--baud", "19200", "--registers", "100=5,6,7", "--inputs",
                             "40=11,12,65535", "--discrete", "7=1,0,1,1"}));
    // Pseudo-terminals take 8N1 only; mbpoll's default parity is even.
    WriteAndReadBack({"-m", "rtu", "-b", "19200", "-P", "none", "-d", "8", "-s", "1"}, pair.B());
}

TEST(Pymodbus, RtuFramingOverTcp)
{
    ASSERT_TRUE(slavetest::HaveProgram(kPython));
    ASSERT_TRUE(slavetest::HaveProgram(slavetest::SlaveToolPath()));
    slavetest::SlaveProcess slave;
    ASSERT_TRUE(slave.Start({"--rtu-tcp", "0", "--bind", "127.0.0.1", "--unit", "3", "--registers", "0=1,2,3",
                             "--coils", "5=1,1"}));
    const QByteArray script = R"PY(
import sys
from pymodbus.client import ModbusTcpClient
from pymodbus.transaction import ModbusRtuFramer
c = ModbusTcpClient('127.0.0.1', port=int(sys.argv[1]), framer=ModbusRtuFramer, timeout=1, retries=0)
assert c.connect()
print('regs', c.read_holding_registers(0, 3, slave=3).registers)
print('w16', not c.write_registers(10, [7, 8, 65535], slave=3).isError())
print('w6', not c.write_register(20, 4321, slave=3).isError())
print('back', c.read_holding_registers(10, 11, slave=3).registers)
print('w15', not c.write_coils(30, [True, False, True], slave=3).isError())
print('w5', not c.write_coil(3, True, slave=3).isError())
print('coils', [int(b) for b in c.read_coils(0, 8, slave=3).bits])
print('coils30', [int(b) for b in c.read_coils(30, 3, slave=3).bits[:3]])
r = c.read_holding_registers(65535, 2, slave=3)
print('past', r.isError(), getattr(r, 'exception_code', None))
c.close()
)PY";
    QString out;
    const int rc = slavetest::RunProgram(kPython, {QStringLiteral("-"), QString::number(slave.Port())}, &out, 20000, script);
    ASSERT_EQ(rc, 0) << out.toStdString();
    const QStringList lines = out.split('\n', Qt::SkipEmptyParts);
    EXPECT_TRUE(lines.contains("regs [1, 2, 3]")) << out.toStdString();
    EXPECT_TRUE(lines.contains("w16 True"));
    EXPECT_TRUE(lines.contains("w6 True"));
    EXPECT_TRUE(lines.contains("back [7, 8, 65535, 0, 0, 0, 0, 0, 0, 0, 4321]")) << out.toStdString();
    EXPECT_TRUE(lines.contains("w15 True"));
    EXPECT_TRUE(lines.contains("w5 True"));
    EXPECT_TRUE(lines.contains("coils [0, 0, 0, 1, 0, 1, 1, 0]")) << out.toStdString();
    EXPECT_TRUE(lines.contains("coils30 [1, 0, 1]"));
    EXPECT_TRUE(lines.contains("past True 2")) << out.toStdString();
    EXPECT_TRUE(slave.WaitForLine("write register 20 = 4321"));
}
