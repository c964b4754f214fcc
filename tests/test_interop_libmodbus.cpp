// SPDX-License-Identifier: GPL-3.0-or-later
// The engine as master against libmodbus slaves: Modbus TCP and RTU on a
// serial line (a socat pseudo-terminal pair).
#include <gtest/gtest.h>

#include "PeerMaster.h"
#include "PeerProcess.h"

using namespace zorptest;

TEST(InteropLibmodbus, ModbusTcpReadsMatchTheSlave)
{
    PeerProcess peer;
    ASSERT_TRUE(peer.start(peerBinary(QStringLiteral("libmodbus_server")), {QStringLiteral("tcp")},
                           QStringLiteral("PORT")))
        << peer.errors().toStdString();
    PeerMaster master;
    ASSERT_TRUE(master.connectTcp(peer.port(), mbpTCP));
    expectPeerReads(master);
}

TEST(InteropLibmodbus, RtuOnSerialLineReadsMatchTheSlave)
{
    PeerPtyPair line;
    ASSERT_TRUE(line.start());
    PeerProcess peer;
    ASSERT_TRUE(peer.start(peerBinary(QStringLiteral("libmodbus_server")),
                           {QStringLiteral("rtu"), line.first(), QStringLiteral("115200")}, QStringLiteral("READY")))
        << peer.errors().toStdString();
    PeerMaster master;
    ASSERT_TRUE(master.connectSerial(line.second(), 115200));
    expectPeerReads(master);
}

TEST(InteropLibmodbus, ExceptionResponsesAreReportedAndTheLinkStays)
{
    // A slave whose images hold 100 entries answers reads past them with
    // exception 2 (illegal data address).
    PeerProcess peer;
    ASSERT_TRUE(peer.start(peerBinary(QStringLiteral("libmodbus_server")), {QStringLiteral("tcp"), QStringLiteral("100")},
                           QStringLiteral("PORT")))
        << peer.errors().toStdString();
    PeerMaster master;
    ASSERT_TRUE(master.connectTcp(peer.port(), mbpTCP));
    for (int fc = 1; fc <= 4; ++fc) {
        EXPECT_FALSE(master.read(fc, 101, 1).has_value());
        EXPECT_EQ(master.lastError(), 21) << "function " << fc;
        EXPECT_FALSE(master.read(fc, 95, 10).has_value());
        EXPECT_EQ(master.lastError(), 21) << "function " << fc;
        const auto inside = master.read(fc, 91, 10);
        ASSERT_TRUE(inside.has_value()) << "function " << fc;
        EXPECT_EQ(*inside, peerExpected(fc, 91, 10));
    }
}
