// SPDX-License-Identifier: GPL-3.0-or-later
// Masters that are not ZORP against zorp-slave as a standard slave: a
// master on libmodbus (Modbus TCP, and RTU on a pseudo-terminal pair) and
// the pymodbus client (Modbus TCP and RTU framing over TCP), each running
// every function it offers of those the slave serves.
#include <gtest/gtest.h>

#include <QStringList>

#include "SlaveSupport.h"
#include "TestSupport.h"

namespace {

const QString kPython = QStringLiteral("/usr/bin/python3");
const QStringList kImages = {"--registers", "0=1,2,3",  "--inputs",    "0=7,8",
                             "--discrete",  "0=1,0,1", "--device-id", "Acme,X1,3.2"};

QString Master() { return QStringLiteral(ZORP_BINARY_DIR "/peers/libmodbus_master"); }

void ExpectLibmodbusLines(const QString& out)
{
    const QStringList lines = out.split('\n', Qt::SkipEmptyParts);
    for (const char* want : {"fc03 1 2 3", "fc04 7 8", "fc02 1 0 1", "fc05 ok", "fc15 ok", "fc01 1 0 0 0 1 0 1",
                             "fc06 ok", "fc16 ok", "fc22 ok", "fc23 22068 500 600 9",
                             "fc03past error Illegal data address", "fc04many error Too many data",
                             "fc17 Illegal function"})
        EXPECT_TRUE(lines.contains(QString::fromLatin1(want))) << want << "\n" << out.toStdString();
}

} // namespace

TEST(SlavePeers, LibmodbusMasterOverModbusTcp)
{
    ASSERT_TRUE(slavetest::HaveProgram(Master())) << "libmodbus_master not built";
    slavetest::SlaveProcess slave;
    ASSERT_TRUE(slave.Start(QStringList{"--tcp", "0", "--bind", "127.0.0.1"} + kImages));
    QString out;
    ASSERT_EQ(slavetest::RunProgram(Master(), {"tcp", QString::number(slave.Port())}, &out), 0) << out.toStdString();
    ExpectLibmodbusLines(out);
    EXPECT_TRUE(slave.WaitForLine("mask write register 10 = 22068"));
    EXPECT_TRUE(slave.WaitForLineStarting("refused fc 17 from 127.0.0.1:"));
}

TEST(SlavePeers, LibmodbusMasterOverRtuOnPseudoTerminal)
{
    ASSERT_TRUE(slavetest::HaveProgram(Master())) << "libmodbus_master not built";
    ASSERT_TRUE(slavetest::HaveProgram(QStringLiteral("/usr/bin/socat")));
    slavetest::SocatPair pair;
    ASSERT_TRUE(pair.Start());
    slavetest::SlaveProcess slave;
    ASSERT_TRUE(slave.Start(QStringList{"--serial", pair.A(), "--baud", "19200"} + kImages));
    QString out;
    ASSERT_EQ(slavetest::RunProgram(Master(), {"rtu", pair.B(), "19200"}, &out), 0) << out.toStdString();
    ExpectLibmodbusLines(out);
    EXPECT_TRUE(slave.WaitForLine(QStringLiteral("refused fc 17 from %1: exception 01").arg(pair.A())));
}

TEST(SlavePeers, PymodbusClientEveryFunction)
{
    ASSERT_TRUE(slavetest::HaveProgram(kPython));
    for (const bool rtu : {false, true}) {
        slavetest::SlaveProcess slave;
        ASSERT_TRUE(slave.Start(QStringList{rtu ? "--rtu-tcp" : "--tcp", "0", "--bind", "127.0.0.1"} + kImages));
        const QByteArray script = R"PY(
import sys
from pymodbus.client import ModbusTcpClient
from pymodbus.transaction import ModbusRtuFramer, ModbusSocketFramer
from pymodbus.mei_message import ReadDeviceInformationRequest
from pymodbus.diag_message import ReturnQueryDataRequest
from pymodbus.other_message import ReportSlaveIdRequest
framer = ModbusRtuFramer if sys.argv[2] == 'rtu' else ModbusSocketFramer
c = ModbusTcpClient('127.0.0.1', port=int(sys.argv[1]), framer=framer, timeout=1, retries=0)
assert c.connect()
u = 1
print('fc02', [int(b) for b in c.read_discrete_inputs(0, 3, slave=u).bits[:3]])
print('fc03', c.read_holding_registers(0, 3, slave=u).registers)
print('fc04', c.read_input_registers(0, 2, slave=u).registers)
print('fc05', not c.write_coil(5, True, slave=u).isError())
print('fc06', not c.write_register(10, 0x1234, slave=u).isError())
print('fc15', not c.write_coils(20, [True, False, True], slave=u).isError())
print('fc16', not c.write_registers(30, [5, 6], slave=u).isError())
# pymodbus 3.0's RTU framer cannot size the answers of 22, 23 and 43; the
# libmodbus master covers those in RTU.
if framer is ModbusSocketFramer:
    print('fc22', not c.mask_write_register(address=10, and_mask=0xFF00, or_mask=0x0056, slave=u).isError())
    print('fc23', c.readwrite_registers(read_address=30, read_count=3, write_address=32, write_registers=[9], slave=u).registers)
    r = c.execute(ReadDeviceInformationRequest(read_code=1, object_id=0, slave=u))
    print('fc43', [r.information[k].decode() for k in sorted(r.information)])
print('fc08', c.execute(ReturnQueryDataRequest(0x4321, unit=u)).message)
r = c.execute(ReportSlaveIdRequest(unit=u))
print('fc17', r.isError(), getattr(r, 'exception_code', None))
print('fc01', [int(b) for b in c.read_coils(20, 3, slave=u).bits[:3]], int(c.read_coils(5, 1, slave=u).bits[0]))
print('back', c.read_holding_registers(10, 1, slave=u).registers)
r = c.read_input_registers(65535, 2, slave=u)
print('past', r.isError(), getattr(r, 'exception_code', None))
c.close()
)PY";
        QString out;
        ASSERT_EQ(slavetest::RunProgram(kPython, {"-", QString::number(slave.Port()), rtu ? "rtu" : "tcp"}, &out, 20000,
                                        script),
                  0)
            << out.toStdString();
        const QStringList lines = out.split('\n', Qt::SkipEmptyParts);
        QStringList wants = {"fc02 [1, 0, 1]", "fc03 [1, 2, 3]",   "fc04 [7, 8]",      "fc05 True",
                             "fc06 True",      "fc15 True",        "fc16 True",        "fc08 (17185,)",
                             "fc17 True 1",    "fc01 [1, 0, 1] 1", "past True 2"};
        wants << (rtu ? QStringList{"back [4660]"}
                      : QStringList{"fc22 True", "fc23 [5, 6, 9]", "fc43 ['Acme', 'X1', '3.2']", "back [4694]"});
        for (const QString& want : wants)
            EXPECT_TRUE(lines.contains(want)) << want.toStdString() << (rtu ? " rtu\n" : " tcp\n")
                                                                   << out.toStdString();
    }
}
