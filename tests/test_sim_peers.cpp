// SPDX-License-Identifier: GPL-3.0-or-later
// zorp-slave as a simulator against masters that are not ZORP: pymodbus over
// Modbus TCP and RTU over TCP, mbpoll (libmodbus) over Modbus TCP and RTU on
// a pseudo-terminal pair. Several units, each fault as the master sees it,
// an image saved and served again, and a pymodbus slave cloned with
// zorp-poll --dump.
#include <gtest/gtest.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <csignal>

#include "PeerProcess.h"
#include "SlaveSupport.h"
#include "TestSupport.h"

using slavetest::Hex;
using slavetest::ToHex;

namespace {

const QString kPython = QStringLiteral("/usr/bin/python3");
const QString kMbpoll = QStringLiteral("/usr/bin/mbpoll");

// Unit u of 1..9 reads holding registers 0 and 1 (5, 6), each unit from 2
// on with one fault; unit 10 is not simulated.
const QStringList kFaultyUnits = {"--unit",  "1-9",        "--registers", "0=5,6",         "--fault",
                                  "exception:6,unit=2",    "--fault",     "noanswer,unit=3",
                                  "--fault", "badcrc,unit=4",          "--fault", "wrongunit,unit=5",
                                  "--fault", "wrongtid,unit=6",        "--fault", "cut,unit=7",
                                  "--fault", "lyingcount,unit=8",      "--fault", "delay:200,unit=9"};

// One line per unit: "u kind exception_code registers".
const QByteArray kReadEveryUnit = R"PY(
import sys, logging
logging.disable(logging.CRITICAL)
from pymodbus.client import ModbusTcpClient
from pymodbus.transaction import ModbusRtuFramer, ModbusSocketFramer
framer = ModbusRtuFramer if sys.argv[2] == 'rtu' else ModbusSocketFramer
c = ModbusTcpClient('127.0.0.1', port=int(sys.argv[1]), framer=framer, timeout=1, retries=0)
assert c.connect()
c.write_register(1, 77, slave=1)
for u in range(1, 11):
    r = c.read_holding_registers(0, 2, slave=u)
    print(u, type(r).__name__, getattr(r, 'exception_code', None), getattr(r, 'registers', None))
)PY";

QStringList RunPymodbus(quint16 port, bool rtu)
{
    QString out;
    EXPECT_EQ(slavetest::RunProgram(kPython, {"-", QString::number(port), rtu ? "rtu" : "tcp"}, &out, 30000,
                                    kReadEveryUnit),
              0)
        << out.toStdString();
    return out.split('\n', Qt::SkipEmptyParts);
}

int Mbpoll(const QStringList& args, QString* out)
{
    return slavetest::RunProgram(kMbpoll, QStringList{"-0", "-1", "-o", "0.5"} + args, out);
}

} // namespace

TEST(SimPeers, PymodbusSeesUnitsAndFaultsOverTcpAndRtuOverTcp)
{
    ASSERT_TRUE(slavetest::HaveProgram(kPython));
    for (const bool rtu : {false, true}) {
        slavetest::SlaveProcess slave;
        ASSERT_TRUE(slave.Start(QStringList{rtu ? "--rtu-tcp" : "--tcp", "0", "--bind", "127.0.0.1"} + kFaultyUnits));
        const QStringList lines = RunPymodbus(slave.Port(), rtu);
        const char* io = "ModbusIOException None None";
        // Unit 1 got the write; the others have images of their own.
        QStringList want = {"1 ReadHoldingRegistersResponse None [5, 77]",
                            "2 ExceptionResponse 6 None",
                            QStringLiteral("3 %1").arg(io),
                            QStringLiteral("5 %1").arg(io),
                            QStringLiteral("7 %1").arg(io),
                            QStringLiteral("8 %1").arg(io),
                            "9 ReadHoldingRegistersResponse None [5, 6]"};
        if (rtu) // a bad CRC is one; an unknown unit on a line is silent
            want << QStringLiteral("4 %1").arg(io) << QStringLiteral("10 %1").arg(io);
        else     // TCP has no CRC; an unknown unit gets 0B
            want << "4 ReadHoldingRegistersResponse None [5, 6]" << "10 ExceptionResponse 11 None";
        for (const QString& w : want)
            EXPECT_TRUE(lines.contains(w)) << w.toStdString() << (rtu ? " rtu\n" : " tcp\n")
                                           << lines.join('\n').toStdString();
        EXPECT_TRUE(slave.WaitForLineStarting("fault exception:6 on fc 3 for unit 2 from 127.0.0.1:"));
        EXPECT_TRUE(slave.WaitForLineStarting("unit 2: refused fc 3 from 127.0.0.1:"));
        EXPECT_TRUE(slave.Lines().contains("unit 1: write register 1 = 77"));
    }
}

TEST(SimPeers, WrongTransactionIdSeenOnTheWire)
{
    // pymodbus 3.0's sync client does not compare identifiers: the raw answer shows it.
    slavetest::SlaveProcess slave;
    ASSERT_TRUE(slave.Start({"--tcp", "0", "--bind", "127.0.0.1", "--registers", "0=5", "--fault", "wrongtid,every=2"}));
    slavetest::RawClient c;
    ASSERT_TRUE(c.Connect(slave.Port()));
    c.Write(Hex("01 00 00 00 00 06 01 03 00 00 00 01"));
    EXPECT_EQ(ToHex(c.Read(11)), "01 00 00 00 00 05 01 03 02 00 05");
    c.Write(Hex("02 00 00 00 00 06 01 03 00 00 00 01"));
    EXPECT_EQ(ToHex(c.Read(11)), "02 01 00 00 00 05 01 03 02 00 05");
}

TEST(SimPeers, MbpollOnASerialLineAndOverTcp)
{
    ASSERT_TRUE(slavetest::HaveProgram(kMbpoll));
    ASSERT_TRUE(slavetest::HaveProgram(QStringLiteral("/usr/bin/socat")));
    const QStringList image = {"--unit", "1,2", "--registers", "0=5,6", "--fault", "badcrc,unit=2,function=4",
                               "--fault", "exception:6,unit=2,function=3,address=50-60"};
    slavetest::SocatPair pair;
    ASSERT_TRUE(pair.Start());
    slavetest::SlaveProcess serial;
    ASSERT_TRUE(serial.Start(QStringList{"--serial", pair.A(), "--baud", "19200"} + image));
    slavetest::SlaveProcess tcp;
    ASSERT_TRUE(tcp.Start(QStringList{"--tcp", "0", "--bind", "127.0.0.1"} + image));
    const QStringList lines[] = {{"-m", "rtu", "-b", "19200", "-P", "none"},
                                 {"-m", "tcp", "-p", QString::number(tcp.Port())}};
    const QString targets[] = {pair.B(), QStringLiteral("127.0.0.1")};
    for (int k = 0; k < 2; ++k) {
        QString out;
        EXPECT_EQ(Mbpoll(lines[k] + QStringList{"-a", "2", "-r", "1", targets[k], "99"}, &out), 0)
            << out.toStdString();
        EXPECT_EQ(Mbpoll(lines[k] + QStringList{"-a", "2", "-r", "0", "-c", "2", targets[k]}, &out), 0);
        EXPECT_TRUE(out.contains("[0]: \t5") && out.contains("[1]: \t99")) << out.toStdString();
        EXPECT_EQ(Mbpoll(lines[k] + QStringList{"-a", "1", "-r", "1", "-c", "1", targets[k]}, &out), 0);
        EXPECT_TRUE(out.contains("[1]: \t6")) << "unit 1 keeps its own image\n" << out.toStdString();
        EXPECT_NE(Mbpoll(lines[k] + QStringList{"-a", "2", "-r", "51", "-c", "2", targets[k]}, &out), 0);
        EXPECT_TRUE(out.contains("Slave device or server is busy")) << out.toStdString();
        const int rc = Mbpoll(lines[k] + QStringList{"-a", "2", "-t", "3", "-r", "0", "-c", "2", targets[k]}, &out);
        if (k == 0) {
            EXPECT_NE(rc, 0);
            EXPECT_TRUE(out.contains("Invalid CRC")) << out.toStdString();
        } else {
            EXPECT_EQ(rc, 0) << "no CRC in Modbus TCP\n" << out.toStdString();
        }
    }
    // A unit not simulated: silence on the line, 0B over TCP.
    QString out;
    EXPECT_NE(Mbpoll(lines[0] + QStringList{"-a", "3", "-r", "0", "-c", "1", targets[0]}, &out), 0);
    EXPECT_TRUE(out.contains("timed out", Qt::CaseInsensitive)) << out.toStdString();
    EXPECT_NE(Mbpoll(lines[1] + QStringList{"-a", "3", "-r", "0", "-c", "1", targets[1]}, &out), 0);
    EXPECT_TRUE(out.contains("Target device failed to respond")) << out.toStdString();
}

TEST(SimPeers, ImageSavedOnExitAndServedAgainUnchanged)
{
    QTemporaryDir dir;
    const QString file = dir.filePath("plant.json");
    {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(R"({"units": [{"unit": 3, "holding": [{"address": 10, "type": "f32:cdab", "values": [21.5],
                    "description": "Temperature"}], "coils": [{"address": 0, "bits": [1, 1]}]}]})");
    }
    QString before;
    {
        slavetest::SlaveProcess slave;
        ASSERT_TRUE(slave.Start({"--tcp", "0", "--bind", "127.0.0.1", "--image", file, "--save"}));
        slavetest::RawClient c;
        ASSERT_TRUE(c.Connect(slave.Port()));
        c.Write(Hex("00 01 00 00 00 0B 03 10 00 0C 00 02 04 AB CD 00 01"));
        EXPECT_EQ(ToHex(c.Read(12)), "00 01 00 00 00 06 03 10 00 0C 00 02");
        c.Write(Hex("00 02 00 00 00 06 03 05 00 01 00 00"));
        EXPECT_EQ(c.Read(12).size(), 12);
        c.Write(Hex("00 03 00 00 00 06 03 03 00 0A 00 04"));
        before = ToHex(c.Read(17));
        EXPECT_EQ(before, "00 03 00 00 00 0B 03 03 08 00 00 41 AC AB CD 00 01");
        EXPECT_EQ(slave.Stop(SIGTERM), 0);
    }
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QJsonObject unit = QJsonDocument::fromJson(f.readAll()).object()["units"].toArray()[0].toObject();
    EXPECT_EQ(unit["holding"].toArray()[0].toObject()["description"].toString(), "Temperature");
    slavetest::SlaveProcess again;
    ASSERT_TRUE(again.Start({"--tcp", "0", "--bind", "127.0.0.1", "--image", file}));
    slavetest::RawClient c;
    ASSERT_TRUE(c.Connect(again.Port()));
    c.Write(Hex("00 03 00 00 00 06 03 03 00 0A 00 04"));
    EXPECT_EQ(ToHex(c.Read(17)), before);
    c.Write(Hex("00 04 00 00 00 06 03 01 00 00 00 02"));
    EXPECT_EQ(ToHex(c.Read(10)), "00 04 00 00 00 04 03 01 01 01");
}

TEST(SimPeers, PymodbusSlaveClonedByDumpAnswersTheSame)
{
    ASSERT_TRUE(slavetest::HaveProgram(kPython));
    zorptest::PeerProcess original;
    ASSERT_TRUE(original.start(kPython, {zorptest::peerScript("pymodbus_server.py"), "tcp", "4"}, "PORT"))
        << original.errors().toStdString();
    QTemporaryDir dir;
    const QString file = dir.filePath("clone.json");
    const QString poll = QStringLiteral(ZORP_BINARY_DIR "/zorp-poll");
    QString out;
    ASSERT_EQ(slavetest::RunProgram(poll, {"-t", QStringLiteral("127.0.0.1:%1").arg(original.port()), "-u", "4",
                                           "--dump", file, "--range", "3:1:300", "--range", "4:101:20",
                                           "--range", "1:1:50", "--range", "2:11:30"},
                                    &out),
              0)
        << out.toStdString();
    slavetest::SlaveProcess clone;
    ASSERT_TRUE(clone.Start({"--tcp", "0", "--bind", "127.0.0.1", "--image", file}));
    const QByteArray script = R"PY(
import sys, logging
logging.disable(logging.CRITICAL)
from pymodbus.client import ModbusTcpClient
for port in sys.argv[1:]:
    c = ModbusTcpClient('127.0.0.1', port=int(port), timeout=1, retries=0)
    assert c.connect()
    hr = c.read_holding_registers(0, 125, slave=4).registers + c.read_holding_registers(125, 125, slave=4).registers \
        + c.read_holding_registers(250, 50, slave=4).registers
    ir = c.read_input_registers(100, 20, slave=4).registers
    co = [int(b) for b in c.read_coils(0, 50, slave=4).bits[:50]]
    di = [int(b) for b in c.read_discrete_inputs(10, 30, slave=4).bits[:30]]
    print(hash(str((hr, ir, co, di))), len(hr), sum(hr) > 0, sum(co) > 0)
    c.close()
)PY";
    ASSERT_EQ(slavetest::RunProgram(kPython, {"-", QString::number(original.port()), QString::number(clone.Port())},
                                    &out, 30000, script),
              0)
        << out.toStdString();
    const QStringList lines = out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 2) << out.toStdString();
    EXPECT_EQ(lines[0], lines[1]);
    EXPECT_TRUE(lines[0].endsWith("300 True True")) << out.toStdString();
}
