// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Helpers for the listening-side tests: raw pseudo-terminals, a raw TCP
// client, the zorp-slave process, socat pty pairs and frames with CRC.
// Every wait spins the event loop (an in-process engine keeps running) and
// ends within its bound.
#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTcpSocket>
#include <memory>

namespace slavetest {

QByteArray Hex(const char* text);          // "01 03 00 00" -> bytes
QString ToHex(const QByteArray& bytes);    // bytes -> "01 03 00 00"
QByteArray WithCrc(const QByteArray& b);   // appends the CRC-16, low byte first

// A pseudo-terminal in raw mode (8N1): the engine opens SlavePath(), the
// test talks through the master side.
class Pty {
public:
    Pty();
    ~Pty();
    bool Ok() const { return FMaster >= 0; }
    QString SlavePath() const { return FPath; }
    int MasterFd() const { return FMaster; }
    void Write(const QByteArray& bytes);
    // Collects what arrives until `count` bytes are there or timeoutMs passes.
    QByteArray Read(int count, int timeoutMs = 3000);
    // Whatever arrives within ms (for "no answer" checks).
    QByteArray ReadFor(int ms);

private:
    int FMaster = -1;
    int FSlave = -1;
    QString FPath;
};

// A TCP client that writes raw bytes and reads raw answers.
class RawClient {
public:
    // Connects to 127.0.0.1:port, from the local address `from` when given.
    bool Connect(quint16 port, int timeoutMs = 3000, const QString& from = {});
    void Write(const QByteArray& bytes);
    QByteArray Read(int count, int timeoutMs = 3000);
    QByteArray ReadFor(int ms);
    void Close();
    QTcpSocket& Socket() { return FSocket; }

private:
    QTcpSocket FSocket;
    QByteArray FPending;
};

// zorp-slave started with arguments; waits for its "listening on" line.
class SlaveProcess {
public:
    ~SlaveProcess();
    // Starts it; false when it does not report listening within timeoutMs.
    bool Start(const QStringList& args, int timeoutMs = 10000);
    quint16 Port() const { return FPort; }
    // Output lines so far (the event loop is spun to collect them).
    QStringList Lines();
    bool WaitForLine(const QString& text, int timeoutMs = 5000);
    // A line that starts with text (e.g. "client connected 127.0.0.1:").
    bool WaitForLineStarting(const QString& text, int timeoutMs = 5000);
    // Sends the signal and waits for the exit; returns the exit code, or -1.
    int Stop(int signal, int timeoutMs = 5000);
    QProcess& Process() { return FProcess; }

private:
    QProcess FProcess;
    QByteArray FOut;
    quint16 FPort = 0;
};

// Two linked pseudo-terminals made by socat; A() and B() are their paths.
class SocatPair {
public:
    ~SocatPair();
    bool Start(int timeoutMs = 5000);
    QString A() const { return FA; }
    QString B() const { return FB; }

private:
    QProcess FProcess;
    QString FDir, FA, FB;
};

QString SlaveToolPath();   // the zorp-slave binary beside the tests' build
bool HaveProgram(const QString& path);

// Runs a program to its end (bounded); returns its exit code, -1 on failure
// to start or time-out; its output (stdout and stderr) goes to *output.
int RunProgram(const QString& program, const QStringList& args, QString* output, int timeoutMs = 20000,
               const QByteArray& input = {});

} // namespace slavetest
