// SPDX-License-Identifier: GPL-3.0-or-later
#include "MonitorRun.h"

#include <QDir>
#include <QJsonDocument>
#include <csignal>

#include "TestSupport.h"

namespace zorptest {

MonitorRun::~MonitorRun()
{
    if (FProc.state() != QProcess::NotRunning) {
        FProc.kill();
        FProc.waitForFinished(5000);
    }
}

bool MonitorRun::start(const QStringList& args, int timeoutMs)
{
    FProc.start(QDir(binaryDir()).filePath(QStringLiteral("zorp-monitor")), args);
    if (!FProc.waitForStarted(timeoutMs)) return false;
    return waitUntil(
        [this] {
            FErr += FProc.readAllStandardError();
            FOut += FProc.readAllStandardOutput();
            const int at = FErr.indexOf("listening on tcp ");
            if (at >= 0) {
                const int colon = FErr.indexOf(',', at);
                const int portAt = FErr.lastIndexOf(':', colon);
                FPort = quint16(FErr.mid(portAt + 1, colon - portAt - 1).toUInt());
            }
            return FErr.contains("listening on") || FProc.state() == QProcess::NotRunning;
        },
        timeoutMs) && FProc.state() == QProcess::Running;
}

bool MonitorRun::interrupt(int timeoutMs)
{
    ::kill(pid_t(FProc.processId()), SIGINT);
    const bool ended = waitUntil([this] { return FProc.state() == QProcess::NotRunning; }, timeoutMs);
    FOut += FProc.readAllStandardOutput();
    FErr += FProc.readAllStandardError();
    return ended;
}

std::vector<QJsonObject> MonitorRun::events() const
{
    std::vector<QJsonObject> v;
    for (const QByteArray& line : FOut.split('\n'))
        if (line.startsWith('{')) v.push_back(QJsonDocument::fromJson(line).object());
    return v;
}

size_t countKind(const std::vector<QJsonObject>& events, const char* kind)
{
    size_t n = 0;
    for (const QJsonObject& e : events)
        if (e.value(QStringLiteral("kind")).toString() == QLatin1String(kind)) ++n;
    return n;
}

} // namespace zorptest
