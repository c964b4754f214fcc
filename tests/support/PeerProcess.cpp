// SPDX-License-Identifier: GPL-3.0-or-later
#include "PeerProcess.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>

#include "TestSupport.h"

namespace zorptest {

QString peerPython() { return QStringLiteral("/usr/bin/python3"); }

QString peerScript(const QString& name)
{
    return QDir(sourceDir()).filePath(QStringLiteral("tests/peers/") + name);
}

QString peerBinary(const QString& name)
{
    return QDir(binaryDir()).filePath(QStringLiteral("peers/") + name);
}

bool PeerProcess::start(const QString& program, const QStringList& args, const QString& readyPrefix,
                        int timeoutMs)
{
    stop();
    FProc.setProgram(program);
    FProc.setArguments(args);
    FProc.start();
    if (!FProc.waitForStarted(5000))
        return false;
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        while (FProc.canReadLine()) {
            const QString line = QString::fromUtf8(FProc.readLine()).trimmed();
            if (!line.startsWith(readyPrefix))
                continue;
            if (line.startsWith(QLatin1String("PORT ")))
                FPort = static_cast<quint16>(line.mid(5).toUInt());
            return true;
        }
        if (FProc.state() == QProcess::NotRunning)
            return false;
        FProc.waitForReadyRead(100);
    }
    return false;
}

QString PeerProcess::errors()
{
    FErrors += QString::fromUtf8(FProc.readAllStandardError());
    return FErrors;
}

void PeerProcess::stop()
{
    if (FProc.state() != QProcess::NotRunning) {
        FProc.kill();
        FProc.waitForFinished(5000);
    }
    FPort = 0;
}

bool PeerPtyPair::start(int timeoutMs)
{
    if (!FDir.isValid())
        return false;
    FFirst = FDir.filePath(QStringLiteral("a"));
    FSecond = FDir.filePath(QStringLiteral("b"));
    // socat says nothing on stdout; it is ready once both links exist.
    FSocat.start(QStringLiteral("/usr/bin/socat"),
                 {QStringLiteral("pty,raw,echo=0,link=") + FFirst, QStringLiteral("pty,raw,echo=0,link=") + FSecond},
                 QStringLiteral("\x01never"), 0);
    return waitUntil([this] { return QFileInfo::exists(FFirst) && QFileInfo::exists(FSecond); }, timeoutMs);
}

RunResult runProgram(const QString& program, const QStringList& args, int timeoutMs)
{
    RunResult r;
    QProcess p;
    p.start(program, args);
    if (!p.waitForStarted(5000))
        return r;
    r.finished = p.waitForFinished(timeoutMs);
    if (!r.finished) {
        p.kill();
        p.waitForFinished(5000);
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

} // namespace zorptest
