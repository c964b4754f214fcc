// SPDX-License-Identifier: GPL-3.0-or-later
// zorp-slave as a program: its first line, the lines for clients and
// writes, the demonstration image, its exit on SIGINT and SIGTERM, and its
// refusal of bad arguments or an address it cannot listen on.
#include <gtest/gtest.h>

#include <QTcpServer>
#include <csignal>

#include "SlaveSupport.h"
#include "TestSupport.h"

using slavetest::Hex;
using slavetest::ToHex;

namespace {

void RequireTool() { ASSERT_TRUE(slavetest::HaveProgram(slavetest::SlaveToolPath())) << "zorp-slave not built"; }

uint16_t Register(slavetest::RawClient& c, int wire, int tid)
{
    QByteArray req = Hex("00 00 00 00 00 06 01 03 00 00 00 01");
    req[0] = char(tid >> 8);
    req[1] = char(tid);
    req[8] = char(wire >> 8);
    req[9] = char(wire);
    c.Write(req);
    const QByteArray a = c.Read(11);
    if (a.size() != 11) return 0xDEAD;
    return uint16_t((uint8_t(a[9]) << 8) | uint8_t(a[10]));
}

} // namespace

TEST(SlaveTool, ReportsClientsAndWritesAndStopsOnSignals)
{
    RequireTool();
    for (int sig : {SIGINT, SIGTERM}) {
        slavetest::SlaveProcess slave;
        ASSERT_TRUE(slave.Start({"--tcp", "0", "--bind", "127.0.0.1", "--registers", "0=1", "--coils", "0=0"}));
        EXPECT_EQ(slave.Lines().value(0), QStringLiteral("listening on tcp 127.0.0.1:%1").arg(slave.Port()));
        {
            slavetest::RawClient c;
            ASSERT_TRUE(c.Connect(slave.Port()));
            EXPECT_TRUE(slave.WaitForLineStarting(
                QStringLiteral("client connected 127.0.0.1:%1").arg(c.Socket().localPort())));
            c.Write(Hex("00 01 00 00 00 06 01 06 00 07 FF FE"));
            EXPECT_EQ(ToHex(c.Read(12)), "00 01 00 00 00 06 01 06 00 07 FF FE");
            c.Write(Hex("00 02 00 00 00 08 01 0F 00 02 00 03 01 05"));
            EXPECT_EQ(ToHex(c.Read(12)), "00 02 00 00 00 06 01 0F 00 02 00 03");
            c.Write(Hex("00 03 00 00 00 06 01 05 00 09 FF 00"));
            EXPECT_EQ(ToHex(c.Read(12)), "00 03 00 00 00 06 01 05 00 09 FF 00");
            c.Close();
        }
        EXPECT_TRUE(slave.WaitForLine("client disconnected"));
        EXPECT_TRUE(slave.Lines().contains("write register 7 = 65534"));
        EXPECT_TRUE(slave.Lines().contains("write coils 2..4 = 1,0,1"));
        EXPECT_TRUE(slave.Lines().contains("write coil 9 = 1"));
        EXPECT_EQ(slave.Stop(sig), 0) << sig;
        EXPECT_EQ(slave.Lines().last(), "stopped");
    }
}

TEST(SlaveTool, DemonstrationImageChangesEverySecond)
{
    RequireTool();
    slavetest::SlaveProcess slave;
    ASSERT_TRUE(slave.Start({"--tcp", "0", "--bind", "127.0.0.1"}));
    slavetest::RawClient c;
    ASSERT_TRUE(c.Connect(slave.Port()));
    // Text from register 10: two characters per register, high byte first.
    c.Write(Hex("00 01 00 00 00 06 01 03 00 0A 00 05"));
    const QByteArray text = c.Read(19);
    ASSERT_EQ(text.size(), 19);
    EXPECT_EQ(text.mid(9, 10), QByteArray("Demo slave"));
    const uint16_t first = Register(c, 0, 2);
    int tid = 3;
    EXPECT_TRUE(zorptest::waitUntil([&] { return Register(c, 0, tid++) != first; }, 4000));
    // A value the master writes outside the changing entries stays.
    c.Write(Hex("00 09 00 00 00 06 01 06 00 64 00 2A"));
    EXPECT_EQ(c.Read(12).size(), 12);
    zorptest::spin(1100);
    EXPECT_EQ(Register(c, 100, 10), 42);
}

TEST(SlaveTool, RefusesBadArgumentsAndBusyPorts)
{
    RequireTool();
    QString out;
    EXPECT_EQ(slavetest::RunProgram(slavetest::SlaveToolPath(), {}, &out), 2);
    EXPECT_EQ(slavetest::RunProgram(slavetest::SlaveToolPath(), {"--tcp", "1", "--serial", "/dev/null"}, &out), 2);
    EXPECT_EQ(slavetest::RunProgram(slavetest::SlaveToolPath(), {"--tcp", "70000"}, &out), 2);
    EXPECT_EQ(slavetest::RunProgram(slavetest::SlaveToolPath(), {"--tcp", "0", "--registers", "65535=1,2"}, &out), 2);
    EXPECT_EQ(slavetest::RunProgram(slavetest::SlaveToolPath(), {"--tcp", "0", "--coils", "0=2"}, &out), 2);
    EXPECT_EQ(slavetest::RunProgram(slavetest::SlaveToolPath(), {"--serial", "/dev/null", "--parity", "X"}, &out), 2);
    // The options of the standard slave.
    for (const QStringList& bad : {QStringList{"--max-clients", "0"}, QStringList{"--max-clients", "x"},
                                   QStringList{"--device-id", "a,b"}, QStringList{"--device-id", "a,b,c,d"},
                                   QStringList{"--inputs", "0=70000"}, QStringList{"--discrete", "0=2"},
                                   QStringList{"--inputs", "65535=1,2"}})
        EXPECT_EQ(slavetest::RunProgram(slavetest::SlaveToolPath(), QStringList{"--tcp", "0", "--bind", "127.0.0.1"} + bad,
                                        &out, 5000),
                  2)
            << bad.join(' ').toStdString();

    QTcpServer busy;
    ASSERT_TRUE(busy.listen(QHostAddress::LocalHost, 0));
    EXPECT_EQ(slavetest::RunProgram(slavetest::SlaveToolPath(),
                                    {"--tcp", QString::number(busy.serverPort()), "--bind", "127.0.0.1"}, &out),
              1)
        << out.toStdString();
    EXPECT_TRUE(out.contains("cannot listen")) << out.toStdString();
    EXPECT_EQ(slavetest::RunProgram(slavetest::SlaveToolPath(), {"--serial", "/nonexistent/tty"}, &out), 1)
        << out.toStdString();
}
