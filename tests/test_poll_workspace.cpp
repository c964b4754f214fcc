// SPDX-License-Identifier: GPL-3.0-or-later
// Workspace files: what the reader refuses, and zorp-poll --workspace
// running the polls of two links at once, each line naming its poll.
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "PeerProcess.h"
#include "PeerValues.h"
#include "TestSupport.h"
#include "WorkspaceFile.h"

using namespace zorptest;

namespace {

QString pollProgram() { return QDir(binaryDir()).filePath(QStringLiteral("zorp-poll")); }

struct BadCase {
    const char* Json;
    const char* Reason;
};

TEST(WorkspaceFile, RefusesWhatItCannotRunAndSaysWhy)
{
    const BadCase cases[] = {
        {"[1, 2]", "\"format\" is not"},
        {"{\"format\": \"zorp-workspace\", \"version\": 2}", "version 2 is not supported"},
        {"{\"format\": \"zorp-workspace\", \"version\": 1, \"links\": {}}", "\"links\" must be a list"},
        {"{\"format\": \"zorp-workspace\", \"version\": 1, \"links\": [{\"mode\": \"udp\"}]}", "\"mode\" must be"},
        {"{\"format\": \"zorp-workspace\", \"version\": 1, \"links\": [{\"polls\": [{\"unit\": 256}]}]}",
         "links[0], polls[0]: \"unit\" must be a whole number from 0 to 255"},
        {"{\"format\": \"zorp-workspace\", \"version\": 1, \"links\": [{\"polls\": [{\"start\": 1.5}]}]}",
         "\"start\" must be a whole number"},
        {"{\"format\": \"zorp-workspace\", \"version\": 1, \"links\": [{\"panel\": {\"rows\": [{\"type\": \"x\"}]}}]}",
         "\"row\" is missing"},
        {"{\"format\": \"zorp-workspace\", \"version\": 1, \"links\": [{\"parity\": \"Q\"}]}", "\"parity\" must be"},
        {"{\"format\": \"zorp-workspace\", \"version\": 1, \"links\": [{\"polls\": [{\"realTime\": 1}]}]}",
         "\"realTime\" must be true or false"},
        {"{\"format\": \"zorp-workspace\"", "Not a workspace file"},
    };
    for (const BadCase& c : cases) {
        zorp::TWorkspace w;
        QString error;
        EXPECT_FALSE(zorp::WorkspaceFromJson(c.Json, w, error)) << c.Json;
        EXPECT_TRUE(error.contains(QLatin1String(c.Reason))) << c.Json << " -> " << error.toStdString();
    }
    // Over the bounds: 17 links.
    QByteArray many = "{\"format\": \"zorp-workspace\", \"version\": 1, \"links\": [{}";
    for (int i = 1; i <= zorp::kMaxWorkspaceLinks; ++i) many += ",{}";
    zorp::TWorkspace w;
    QString error;
    EXPECT_FALSE(zorp::WorkspaceFromJson(many + "]}", w, error));
}

TEST(WorkspacePoll, RunsThePollsOfTwoLinksEachLineNamed)
{
    PeerProcess tcp, rtu;
    ASSERT_TRUE(tcp.start(peerPython(), {peerScript(QStringLiteral("pymodbus_server.py")), QStringLiteral("tcp"),
                                         QStringLiteral("+1,2")},
                          QStringLiteral("PORT")))
        << tcp.errors().toStdString();
    ASSERT_TRUE(rtu.start(peerPython(), {peerScript(QStringLiteral("pymodbus_server.py")), QStringLiteral("rtu-tcp")},
                          QStringLiteral("PORT")))
        << rtu.errors().toStdString();
    zorp::TWorkspace w;
    zorp::TWorkspaceLink a;
    a.Port = tcp.port();
    zorp::TWorkspacePoll p1;
    p1.Name = QStringLiteral("boiler");
    p1.Unit = 1;
    p1.Start = 11;
    p1.Length = 2;
    p1.IntervalMs = 0;
    p1.Types = {QStringLiteral("UInt16 (Word) AABB")};
    p1.Descriptions = {QStringLiteral("level")};
    zorp::TWorkspacePoll p2 = p1;
    p2.Name.clear();
    p2.Unit = 2;
    p2.Types.clear();
    p2.Descriptions.clear();
    a.Polls = {p1, p2};
    zorp::TWorkspaceLink b;
    b.Mode = QStringLiteral("rtu-tcp");
    b.Port = rtu.port();
    zorp::TWorkspacePoll p3;
    p3.Unit = 5;
    p3.Func = 1;
    p3.Start = 1;
    p3.Length = 3;
    p3.IntervalMs = 10;
    b.Polls = {p3};
    w.Links = {a, b};
    QTemporaryDir dir;
    QFile f(dir.filePath(QStringLiteral("w.zws")));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(zorp::WorkspaceToJson(w));
    f.close();

    const auto text = runProgram(pollProgram(), {QStringLiteral("--workspace"), f.fileName(), QStringLiteral("-l"),
                                                 QStringLiteral("3")});
    ASSERT_TRUE(text.finished);
    EXPECT_EQ(text.exitCode, 0) << text.err.toStdString();
    const QList<QByteArray> lines = text.out.split('\n');
    const QByteArray boiler = "boiler\t11\tUInt16 (Word) AABB\t" + QByteArray::number(peerHoldingOfUnit(10, 1)) + "\tlevel";
    const QByteArray raw = "LINK1.POLL2\t12\t" + QByteArray::number(peerHoldingOfUnit(11, 2), 16).toUpper().rightJustified(4, '0') +
                           '\t' + QByteArray::number(peerHoldingOfUnit(11, 2));
    EXPECT_EQ(lines.count(boiler), 3) << text.out.toStdString();
    EXPECT_EQ(lines.count(raw), 3) << text.out.toStdString();
    EXPECT_EQ(lines.count("LINK2.POLL1\t3\t" + QByteArray(peerCoil(2) ? "1" : "0")), 3) << text.out.toStdString();

    const auto json = runProgram(pollProgram(), {QStringLiteral("--workspace"), f.fileName(), QStringLiteral("-F"),
                                                 QStringLiteral("json")});
    EXPECT_EQ(json.exitCode, 0) << json.err.toStdString();
    int named = 0;
    for (const QByteArray& line : json.out.split('\n')) {
        if (line.isEmpty()) continue;
        const QJsonDocument d = QJsonDocument::fromJson(line);
        ASSERT_TRUE(d.isObject()) << line.toStdString();
        named += d.object().value(QStringLiteral("poll")).isString();
    }
    EXPECT_EQ(named, 3);
    const auto csv = runProgram(pollProgram(), {QStringLiteral("--workspace"), f.fileName(), QStringLiteral("-F"),
                                                QStringLiteral("csv")});
    EXPECT_TRUE(csv.out.startsWith("poll,time,unit,address")) << csv.out.toStdString();
    EXPECT_TRUE(csv.out.contains("\nboiler,")) << csv.out.toStdString();

    // A file that is no workspace: status 2 and the reason.
    const auto bad = runProgram(pollProgram(), {QStringLiteral("--workspace"), dir.filePath(QStringLiteral("none"))});
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_TRUE(bad.err.contains("cannot read the workspace"));
}

} // namespace
