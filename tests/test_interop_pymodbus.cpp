// SPDX-License-Identifier: GPL-3.0-or-later
// The engine as master against pymodbus slaves: Modbus TCP, RTU framing
// over TCP, and RTU on a serial line (a socat pseudo-terminal pair).
#include <gtest/gtest.h>

#include "PeerMaster.h"
#include "PeerProcess.h"
#include "TimedLine.h"

#include <algorithm>

using namespace zorptest;

namespace {

bool startPymodbus(PeerProcess& peer, const QStringList& args, const QString& ready)
{
    return peer.start(peerPython(), QStringList{peerScript(QStringLiteral("pymodbus_server.py"))} + args, ready);
}

} // namespace

TEST(InteropPymodbus, ModbusTcpReadsMatchTheSlave)
{
    PeerProcess peer;
    ASSERT_TRUE(startPymodbus(peer, {QStringLiteral("tcp")}, QStringLiteral("PORT"))) << peer.errors().toStdString();
    PeerMaster master;
    ASSERT_TRUE(master.connectTcp(peer.port(), mbpTCP));
    expectPeerReads(master);
}

TEST(InteropPymodbus, RtuOverTcpReadsMatchTheSlave)
{
    PeerProcess peer;
    ASSERT_TRUE(startPymodbus(peer, {QStringLiteral("rtu-tcp")}, QStringLiteral("PORT"))) << peer.errors().toStdString();
    PeerMaster master;
    ASSERT_TRUE(master.connectTcp(peer.port(), mbpRTU));
    expectPeerReads(master);
}

TEST(InteropPymodbus, RtuOnSerialLineReadsMatchTheSlave)
{
    PeerPtyPair line;
    ASSERT_TRUE(line.start());
    PeerProcess peer;
    ASSERT_TRUE(startPymodbus(peer, {QStringLiteral("serial"), line.first(), QStringLiteral("115200")},
                              QStringLiteral("READY")))
        << peer.errors().toStdString();
    PeerMaster master;
    ASSERT_TRUE(master.connectSerial(line.second(), 115200));
    expectPeerReads(master);
}

TEST(InteropPymodbus, RtuOnTimedSerialLineReadsMatchTheSlaveWithTheSilenceBeforeEveryRequest)
{
    LineFormat f;
    f.baud = 115200;
    TimedLine line(f); // relays between the master's and pymodbus's pseudo-terminals
    ASSERT_TRUE(line.ok());
    line.start();
    PeerProcess peer;
    ASSERT_TRUE(startPymodbus(peer, {QStringLiteral("serial"), QString::fromStdString(line.farDevicePath()),
                                     QStringLiteral("115200")},
                              QStringLiteral("READY")))
        << peer.errors().toStdString();
    PeerMaster master;
    ASSERT_TRUE(master.connectSerial(QString::fromStdString(line.devicePath()), 115200));
    expectPeerReads(master);
    const std::vector<int64_t> gaps = line.gapsBeforeRequests();
    ASSERT_FALSE(gaps.empty());
    // The line's and the engine's clocks are read on different threads.
    EXPECT_GE(*std::min_element(gaps.begin(), gaps.end()), f.silenceNs() - 200000);
    line.stop();
}
