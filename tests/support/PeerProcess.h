// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Interoperability peers run as child processes: started, awaited until
// they say they serve, and killed when the test ends.
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>

namespace zorptest {

// /usr/bin/python3 (the interpreter Debian's pymodbus is installed for).
QString peerPython();
// A script under tests/peers/ or a peer built into <build>/peers/.
QString peerScript(const QString& name);
QString peerBinary(const QString& name);

class PeerProcess {
public:
    PeerProcess() = default;
    ~PeerProcess() { stop(); }
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    // Starts the program and waits until a stdout line starts with
    // readyPrefix. False when it exits or stays silent for timeoutMs.
    bool start(const QString& program, const QStringList& args, const QString& readyPrefix,
               int timeoutMs = 20000);
    // The TCP port of a "PORT n" ready line (0 otherwise).
    quint16 port() const { return FPort; }
    // What the peer wrote on stderr so far (for failure messages).
    QString errors();
    void stop();

private:
    QProcess FProc;
    quint16 FPort = 0;
    QString FErrors;
};

// A pair of linked pseudo-terminals made by socat: bytes written to one
// end's device come out of the other's.
class PeerPtyPair {
public:
    bool start(int timeoutMs = 10000);
    QString first() const { return FFirst; }
    QString second() const { return FSecond; }

private:
    QTemporaryDir FDir;
    PeerProcess FSocat;
    QString FFirst, FSecond;
};

// Runs a program to its end (killed after timeoutMs).
struct RunResult {
    int exitCode = -1;
    bool finished = false;
    QByteArray out, err;
};
RunResult runProgram(const QString& program, const QStringList& args, int timeoutMs = 30000);

} // namespace zorptest
