// SPDX-License-Identifier: GPL-3.0-or-later
#include "SlaveSupport.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QHostAddress>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include "ModbusCRC.h"
#include "TestSupport.h"

namespace slavetest {

QByteArray Hex(const char* text) { return QByteArray::fromHex(QByteArray(text).replace(' ', "")); }

QString ToHex(const QByteArray& bytes) { return QString::fromLatin1(bytes.toHex(' ').toUpper()); }

QByteArray WithCrc(const QByteArray& b)
{
    const uint16_t crc = zorp::ModbusCRC16(reinterpret_cast<const uint8_t*>(b.constData()), size_t(b.size()));
    QByteArray out = b;
    out.append(char(crc & 0xFF));
    out.append(char(crc >> 8));
    return out;
}

// ---- Pty ----------------------------------------------------------------------

Pty::Pty()
{
    char name[256] = {};
    if (::openpty(&FMaster, &FSlave, name, nullptr, nullptr) != 0) {
        FMaster = FSlave = -1;
        return;
    }
    termios t{};
    ::tcgetattr(FSlave, &t);
    ::cfmakeraw(&t);
    ::cfsetispeed(&t, B9600);
    ::cfsetospeed(&t, B9600);
    ::tcsetattr(FSlave, TCSANOW, &t);
    ::fcntl(FMaster, F_SETFL, ::fcntl(FMaster, F_GETFL) | O_NONBLOCK);
    FPath = QString::fromLocal8Bit(name);
}

Pty::~Pty()
{
    if (FMaster >= 0) ::close(FMaster);
    if (FSlave >= 0) ::close(FSlave);
}

void Pty::Write(const QByteArray& bytes)
{
    qsizetype done = 0;
    QDeadlineTimer deadline(3000);
    while (done < bytes.size() && !deadline.hasExpired()) {
        const ssize_t n = ::write(FMaster, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) done += n;
        else QThread::usleep(500);
    }
}

QByteArray Pty::Read(int count, int timeoutMs)
{
    QByteArray got;
    zorptest::waitUntil(
        [&] {
            char buf[512];
            ssize_t n;
            while ((n = ::read(FMaster, buf, sizeof buf)) > 0)
                got.append(buf, n);
            return got.size() >= count;
        },
        timeoutMs);
    return got;
}

QByteArray Pty::ReadFor(int ms)
{
    QByteArray got = Read(1 << 20, ms);
    return got;
}

// ---- RawClient ------------------------------------------------------------------

bool RawClient::Connect(quint16 port, int timeoutMs, const QString& from)
{
    if (!from.isEmpty() && !FSocket.bind(QHostAddress(from)))
        return false;
    FSocket.connectToHost(QStringLiteral("127.0.0.1"), port);
    return zorptest::waitUntil([&] { return FSocket.state() == QAbstractSocket::ConnectedState; }, timeoutMs);
}

void RawClient::Write(const QByteArray& bytes)
{
    FSocket.write(bytes);
    FSocket.flush();
}

QByteArray RawClient::Read(int count, int timeoutMs)
{
    zorptest::waitUntil(
        [&] {
            FPending.append(FSocket.readAll());
            return FPending.size() >= count;
        },
        timeoutMs);
    QByteArray out = FPending.left(count);
    FPending.remove(0, out.size());
    return out;
}

QByteArray RawClient::ReadFor(int ms)
{
    zorptest::spin(ms);
    FPending.append(FSocket.readAll());
    QByteArray out = FPending;
    FPending.clear();
    return out;
}

void RawClient::Close()
{
    FSocket.disconnectFromHost();
    if (FSocket.state() != QAbstractSocket::UnconnectedState)
        zorptest::waitUntil([&] { return FSocket.state() == QAbstractSocket::UnconnectedState; }, 2000);
}

// ---- SlaveProcess -----------------------------------------------------------------

SlaveProcess::~SlaveProcess()
{
    if (FProcess.state() != QProcess::NotRunning) {
        FProcess.kill();
        FProcess.waitForFinished(3000);
    }
}

bool SlaveProcess::Start(const QStringList& args, int timeoutMs)
{
    FProcess.setProcessChannelMode(QProcess::MergedChannels);
    FProcess.start(SlaveToolPath(), args);
    if (!FProcess.waitForStarted(5000))
        return false;
    static const QRegularExpression re(QStringLiteral("^listening on \\S+ (\\S+)$"));
    bool found = false;
    zorptest::waitUntil(
        [&] {
            for (const QString& line : Lines()) {
                const auto m = re.match(line);
                if (m.hasMatch()) {
                    const QString where = m.captured(1);
                    const int colon = where.lastIndexOf(QLatin1Char(':'));
                    if (colon > 0) FPort = quint16(where.mid(colon + 1).toUInt());
                    found = true;
                }
            }
            return found || FProcess.state() == QProcess::NotRunning;
        },
        timeoutMs);
    return found;
}

QStringList SlaveProcess::Lines()
{
    QCoreApplication::processEvents();
    FOut.append(FProcess.readAll());
    return QString::fromLocal8Bit(FOut).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

bool SlaveProcess::WaitForLine(const QString& text, int timeoutMs)
{
    return zorptest::waitUntil([&] { return Lines().contains(text); }, timeoutMs);
}

bool SlaveProcess::WaitForLineStarting(const QString& text, int timeoutMs)
{
    return zorptest::waitUntil([&] {
        for (const QString& line : Lines())
            if (line.startsWith(text)) return true;
        return false;
    }, timeoutMs);
}

int SlaveProcess::Stop(int sig, int timeoutMs)
{
    if (FProcess.state() == QProcess::NotRunning)
        return -1;
    ::kill(pid_t(FProcess.processId()), sig);
    if (!zorptest::waitUntil([&] { return FProcess.state() == QProcess::NotRunning; }, timeoutMs))
        return -1;
    Lines();
    return FProcess.exitStatus() == QProcess::NormalExit ? FProcess.exitCode() : -1;
}

// ---- SocatPair ------------------------------------------------------------------------

SocatPair::~SocatPair()
{
    if (FProcess.state() != QProcess::NotRunning) {
        FProcess.terminate();
        if (!FProcess.waitForFinished(3000)) {
            FProcess.kill();
            FProcess.waitForFinished(3000);
        }
    }
    if (!FDir.isEmpty()) QDir(FDir).removeRecursively();
}

bool SocatPair::Start(int timeoutMs)
{
    FDir = QDir::tempPath() + QStringLiteral("/zorp-socat-%1-%2").arg(QCoreApplication::applicationPid()).arg(quintptr(this));
    QDir().mkpath(FDir);
    FA = FDir + QStringLiteral("/a");
    FB = FDir + QStringLiteral("/b");
    FProcess.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    FProcess.start(QStringLiteral("/usr/bin/socat"),
                   {QStringLiteral("pty,raw,echo=0,link=") + FA, QStringLiteral("pty,raw,echo=0,link=") + FB});
    if (!FProcess.waitForStarted(5000))
        return false;
    return zorptest::waitUntil([&] { return QFileInfo::exists(FA) && QFileInfo::exists(FB); }, timeoutMs);
}

// ---- programs ---------------------------------------------------------------------------

QString SlaveToolPath() { return zorptest::binaryDir() + QStringLiteral("/zorp-slave"); }

bool HaveProgram(const QString& path) { return QFileInfo(path).isExecutable(); }

int RunProgram(const QString& program, const QStringList& args, QString* output, int timeoutMs, const QByteArray& input)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForStarted(5000))
        return -1;
    if (!input.isEmpty())
        p.write(input);
    p.closeWriteChannel();
    // Spin the event loop meanwhile: an in-process engine may be the peer.
    const bool done = zorptest::waitUntil([&] { return p.state() == QProcess::NotRunning; }, timeoutMs);
    if (output) *output = QString::fromLocal8Bit(p.readAll());
    if (!done) {
        p.kill();
        p.waitForFinished(2000);
        return -1;
    }
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

} // namespace slavetest
