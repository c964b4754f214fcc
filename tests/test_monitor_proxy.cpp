// SPDX-License-Identifier: GPL-3.0-or-later
// zorp-monitor --proxy between several pymodbus masters and a pymodbus
// slave: the masters get exactly what they get without the relay, and
// both directions of every connection are logged and paired.
#include <gtest/gtest.h>

#include <QJsonObject>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>

#include "MonitorRun.h"
#include "PeerProcess.h"

using namespace zorptest;

TEST(MonitorProxy, RelaysSeveralMastersUnchangedAndLogsBothDirections)
{
    PeerProcess server;
    ASSERT_TRUE(server.start(peerPython(), {peerScript("pymodbus_server.py"), "tcp"}, "PORT")) << server.errors().toStdString();
    QTemporaryDir dir;
    const QString pcap = dir.filePath("relay.pcap");
    MonitorRun mon;
    ASSERT_TRUE(mon.start({"--proxy", "127.0.0.1:0", QStringLiteral("127.0.0.1:%1").arg(server.port()), "--format",
                           "json", "--stats", "--pcap", pcap}))
        << mon.err().toStdString();
    ASSERT_NE(mon.port(), 0);

    constexpr int kClients = 4, kRounds = 5;
    const QString clients = peerScript("pymodbus_clients.py");
    // The first run goes straight to the slave: what the masters must see through the relay too.
    const RunResult direct = runProgram(peerPython(), {clients, QString::number(server.port()), QString::number(kClients), QString::number(kRounds)});
    const RunResult relayed = runProgram(peerPython(), {clients, QString::number(mon.port()), QString::number(kClients), QString::number(kRounds)});
    ASSERT_EQ(direct.exitCode, 0) << direct.err.toStdString();
    ASSERT_EQ(relayed.exitCode, 0) << relayed.err.toStdString();
    EXPECT_EQ(relayed.out, direct.out);
    ASSERT_TRUE(mon.interrupt()) << mon.err().toStdString();

    const std::vector<QJsonObject> ev = mon.events();
    const size_t transactions = kClients * kRounds * 4;
    EXPECT_EQ(countKind(ev, "request"), transactions);
    EXPECT_EQ(countKind(ev, "answer"), transactions);
    EXPECT_EQ(countKind(ev, "no-answer"), 0u);
    EXPECT_EQ(countKind(ev, "fault"), 0u);
    QSet<int> connections;
    size_t paired = 0;
    for (const QJsonObject& e : ev) {
        connections.insert(e.value("channel").toInt());
        if (e.value("kind").toString() == "answer" && e.contains("request")) ++paired;
    }
    EXPECT_EQ(paired, transactions);
    EXPECT_EQ(connections.size(), kClients);

    // Modbus TCP frames in the capture decode as Modbus/UDP without any option.
    const QString tshark = QStandardPaths::findExecutable(QStringLiteral("tshark"));
    if (tshark.isEmpty()) return;
    const RunResult all = runProgram(tshark, {"-r", pcap, "-Y", "mbudp && modbus"});
    const RunResult bad = runProgram(tshark, {"-r", pcap, "-Y", "_ws.malformed || _ws.expert.severity >= 8388608"});
    EXPECT_EQ(size_t(all.out.count('\n')), 2 * transactions) << all.err.toStdString();
    EXPECT_EQ(bad.out.count('\n'), 0) << bad.out.toStdString();
}
