// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// zorp-monitor run as a child process by the tests: started, awaited until
// it listens, ended by SIGINT like a user's Ctrl-C, its output split into
// the JSON events and the summary.
#include <QByteArray>
#include <QJsonObject>
#include <QProcess>
#include <QStringList>
#include <vector>

namespace zorptest {

class MonitorRun {
public:
    ~MonitorRun();
    // False when it does not say "listening on" within timeoutMs.
    bool start(const QStringList& args, int timeoutMs = 10000);
    // The port of a "listening on tcp ADDRESS:PORT" line.
    quint16 port() const { return FPort; }
    // SIGINT, then waits for the end; false when it did not end.
    bool interrupt(int timeoutMs = 10000);
    QByteArray out() const { return FOut; }
    QByteArray err() const { return FErr; }
    // The stdout lines of a --format json run, parsed.
    std::vector<QJsonObject> events() const;
    int exitCode() const { return FProc.exitCode(); }

private:
    QProcess FProc;
    QByteArray FOut, FErr;
    quint16 FPort = 0;
};

// Counts the events of a kind ("request", "answer", "fault", "no-answer").
size_t countKind(const std::vector<QJsonObject>& events, const char* kind);

} // namespace zorptest
