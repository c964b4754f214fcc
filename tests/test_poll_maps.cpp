// SPDX-License-Identifier: GPL-3.0-or-later
// zorp-poll's address notations, register maps and address scan against
// independent slaves (python3-pymodbus) and zorp-slave serving a map.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include "PeerProcess.h"
#include "PeerValues.h"
#include "SlaveSupport.h"
#include "TestSupport.h"

using namespace zorptest;

namespace {

RunResult poll(const QStringList& args)
{
    return runProgram(QDir(binaryDir()).filePath(QStringLiteral("zorp-poll")), args, 60000);
}

// The value pymodbus_server.py holds at a 1-based address of a function.
uint16_t peerValue(int function, int address)
{
    const uint32_t wire = uint32_t(address - 1);
    switch (function) {
    case 1: return peerCoil(wire);
    case 2: return peerDiscrete(wire);
    case 3: return peerHolding(wire);
    default: return peerInput(wire);
    }
}

} // namespace

TEST(PollAddresses, EveryNotationReachesItsWireAddress)
{
    PeerProcess peer;
    ASSERT_TRUE(peer.start(peerPython(), {peerScript(QStringLiteral("pymodbus_server.py")), QStringLiteral("tcp")},
                           QStringLiteral("PORT")));
    const struct {
        const char* args;
        int function; // the function read
        int address;  // 1-based, as printed
    } cases[] = {
        {"-a 465536", 3, 65536},          {"-a 400001", 3, 1},           {"-a 40001", 3, 1},
        {"-a 365536", 4, 65536},          {"-a 30001", 4, 1},            {"-a 100001", 2, 1},
        {"-a 165536", 2, 65536},          {"-a 00001", 1, 1},            {"-a 065536", 1, 65536},
        {"-f 3 -a 65536", 3, 65536},      {"-f 3 -a 0x1A0", 3, 0x1A0},   {"-f 4 -a 1A0h", 4, 0x1A0},
        {"-f 3 --base 0 -a 0xFFFF", 3, 65536}, {"-f 1 --base 0 -a FFFFh", 1, 65536},
        {"-f 2 --base 0 -a 0", 2, 1},     {"-f 3 --base 1 -a 40001", 3, 40001},
        {"-f 4 -a 40001", 4, 40001},      // not input registers' table: a plain number
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const auto r = poll(QStringList{"-t", QStringLiteral("127.0.0.1:%1").arg(peer.port()), "-c", "1"} +
                            QString::fromLatin1(c.args).split(u' '));
        ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
        const QStringList fields = QString::fromUtf8(r.out).trimmed().split(u'\t');
        ASSERT_GE(fields.size(), 2);
        EXPECT_EQ(fields[0], QString::number(c.address));
        EXPECT_EQ(fields.back(), QString::number(peerValue(c.function, c.address)));
    }
    for (const char* bad : {"-a 40000", "-a 465537", "-f 3 --base 0 -a 65536", "-f 3 -a 0x10001", "-f 3 -a 12G"}) {
        const auto r = poll(QStringList{"-t", QStringLiteral("127.0.0.1:%1").arg(peer.port()), "-c", "1"} +
                            QString::fromLatin1(bad).split(u' '));
        EXPECT_EQ(r.exitCode, 2) << bad;
        EXPECT_TRUE(r.err.contains("--address")) << r.err.toStdString();
    }
}

// 300 holding registers in three runs with gaps, input registers, coils;
// zorp-slave serves the map at its values, zorp-poll reads it by name.
TEST(PollMaps, ReadsEveryPointInTheFewestRequests)
{
    QTemporaryDir dir;
    QString map = QStringLiteral("address:modicon,name,type,gain,unit,enum,value\r\n");
    QStringList expected;
    for (int k = 1; k <= 100; ++k) {
        map += QStringLiteral("4%1,volt_%2,u16,0.1,V,,%3\r\n").arg(k, 4, 10, QChar(u'0')).arg(k).arg(k * 1.5);
        expected << QStringLiteral("volt_%1\t%2 V").arg(k).arg(k * 1.5);
    }
    for (int k = 0; k < 65; ++k) {
        map += QStringLiteral("4%1,count_%2,i32:cdab,,,,%3\r\n").arg(111 + 2 * k, 4, 10, QChar(u'0')).arg(k).arg(-1000 * k);
        expected << QStringLiteral("count_%1\t%2").arg(k).arg(-1000 * k);
    }
    for (int k = 0; k < 35; ++k) {
        map += QStringLiteral("4%1,temp_%2,f32,,C,,%3\r\n").arg(301 + 2 * k, 4, 10, QChar(u'0')).arg(k).arg(k + 0.25);
        expected << QStringLiteral("temp_%1\t%2 C").arg(k).arg(k + 0.25);
    }
    for (int k = 1; k <= 5; ++k) {
        map += QStringLiteral("3000%1,state_%1,u16,,,0=Stopped;1=Running;2=Fault,%2\r\n").arg(k).arg(k % 3);
        expected << QStringLiteral("state_%1\t%2").arg(k).arg(QStringList{"Stopped", "Running", "Fault"}[k % 3]);
    }
    for (int k = 1; k <= 10; ++k) {
        map += QStringLiteral("0%1,relay_%2,,,,,%3\r\n").arg(k, 4, 10, QChar(u'0')).arg(k).arg(k % 2);
        expected << QStringLiteral("relay_%1\t%2").arg(k).arg(k % 2);
    }
    const QString file = dir.filePath(QStringLiteral("plant.csv"));
    {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(map.toUtf8());
    }
    slavetest::SlaveProcess slave;
    ASSERT_TRUE(slave.Start({"--tcp", "0", "--bind", "127.0.0.1", "--map", file}));
    const QString target = QStringLiteral("127.0.0.1:%1").arg(slave.Port());
    // Without bridging gaps: coils 1, the three runs of holding registers 4
    // (130 registers of 32-bit values take two), input registers 1.
    for (const auto& [gap, requests] : {std::pair{"0", 6}, std::pair{"10", 5}}) {
        const auto r = poll({"-t", target, "--map", file, "--map-gap", gap, "-v"});
        ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
        EXPECT_EQ(QString::fromUtf8(r.out).split(u'\n', Qt::SkipEmptyParts), expected);
        EXPECT_TRUE(r.err.contains(QStringLiteral("requests %1 failed 0").arg(requests).toUtf8())) << r.err.toStdString();
    }
    const auto csv = poll({"-t", target, "--map", file, "-F", "csv"});
    EXPECT_TRUE(csv.out.startsWith("name,address,value\nvolt_1,40001,1.5 V\n")) << csv.out.left(80).toStdString();
    const auto json = poll({"-t", target, "--map", file, "-F", "json"});
    EXPECT_TRUE(json.out.contains("\"state_2\": \"Fault\"")) << json.out.right(200).toStdString();

    // A map that cannot be read is refused before anything is sent.
    QFile bad(dir.filePath(QStringLiteral("bad.csv")));
    ASSERT_TRUE(bad.open(QIODevice::WriteOnly));
    bad.write("address,type\n40001,u16\n40001,u16\n");
    bad.close();
    const auto refused = poll({"-t", target, "--map", bad.fileName()});
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_TRUE(refused.err.contains("line 3: it overlaps the point of line 2")) << refused.err.toStdString();
}

TEST(PollAddressScan, FindsExactlyTheImplementedRanges)
{
    PeerProcess peer;
    ASSERT_TRUE(peer.start(peerPython(), {peerScript(QStringLiteral("pymodbus_sparse.py")), QStringLiteral("0-9,20-29,57,100-139")},
                           QStringLiteral("PORT")));
    const QString target = QStringLiteral("127.0.0.1:%1").arg(peer.port());
    for (const char* function : {"1", "2", "3", "4"}) {
        SCOPED_TRACE(function);
        const auto r = poll({"-t", target, "-f", function, "--scan-addresses", "1-150", "-c", "16", "-o", "500", "-v"});
        ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains("implemented 1-10,21-30,58,101-140")) << r.err.toStdString();
        const QStringList lines = QString::fromUtf8(r.out).split(u'\n', Qt::SkipEmptyParts);
        ASSERT_EQ(lines.size(), 150);
        const bool bits = QByteArray(function).toInt() <= 2;
        EXPECT_EQ(lines[0], bits ? "1\t0" : "1\t1000");
        EXPECT_EQ(lines[10], "11\texception 02, illegal data address");
        EXPECT_EQ(lines[57], bits ? "58\t1" : "58\t1057");
    }
    // The list as CSV, the range in Modicon notation.
    const auto csv = poll({"-t", target, "--scan-addresses", "400019-400022", "-F", "csv"});
    EXPECT_EQ(csv.out, "address,value,exception,meaning\n19,,2,\"exception 02, illegal data address\"\n"
                       "20,,2,\"exception 02, illegal data address\"\n21,1020,,\n22,1021,,\n");
}
