// SPDX-License-Identifier: GPL-3.0-or-later
// The port object on a serial line (a pseudo-terminal), and the mapping of
// COM numbers to devices.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "CommPort.h"
#include "PortPty.h"
#include "TestSupport.h"

using zorptest::PortPty;
using zorptest::spin;
using zorptest::waitUntil;

namespace {

struct SerialRecorder {
    explicit SerialRecorder(TCommPort& p)
    {
        p.OnPortOpen = [this](TCommPort* s) { ++opened; openInside = s->Open(); };
        p.OnWsError = [this](TCommPort* s, int) { ++errors; openAtError = s->Open(); };
        p.OnWsDisconnect = [this](TCommPort*) { ++disconnects; };
        p.OnTriggerAvail = [this](TCommPort* s, uint16_t n) {
            EXPECT_LE(n, s->InBuffUsed());
            for (int i = 0; i < n; ++i)
                data.append(static_cast<char>(s->GetChar()));
        };
    }
    int opened = 0, errors = 0, disconnects = 0;
    bool openInside = false, openAtError = true;
    QByteArray data;
};

// Restores the default comports.ini location when a test ends.
struct IniPathGuard {
    ~IniPathGuard() { TCommPort::SetComPortsIniPath(QString()); }
};

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

} // namespace

TEST(CommPortSerial, SendsAndReceivesBothWays)
{
    for (int stopBits : {1, 2}) {
        PortPty pty;
        ASSERT_TRUE(pty.ok());
        TCommPort port;
        SerialRecorder rec(port);
        port.SetDevicePathOverride(pty.slavePath());
        port.Baud = 19200;
        port.StopBits = static_cast<uint16_t>(stopBits);
        port.SetOpen(true);
        EXPECT_EQ(rec.opened, 1);
        EXPECT_TRUE(rec.openInside);

        // Every byte value passes unchanged (the line is raw).
        QByteArray all;
        for (int i = 0; i < 256; ++i)
            all.append(static_cast<char>(i));
        EXPECT_EQ(port.PutBlock(all.constData(), all.size()), all.size());
        EXPECT_EQ(pty.read(all.size()), all);

        ASSERT_TRUE(pty.write(all));
        ASSERT_TRUE(waitUntil([&] { return rec.data.size() >= all.size(); }));
        EXPECT_EQ(rec.data, all);
        port.SetOpen(false);
        EXPECT_FALSE(port.Open());
        spin(20);
        EXPECT_EQ(rec.disconnects, 0); // serial lines have no connection to end
        EXPECT_EQ(rec.errors, 0);
    }
}

TEST(CommPortSerial, ReopensTheSameDeviceAtOnce)
{
    PortPty pty;
    ASSERT_TRUE(pty.ok());
    TCommPort port;
    SerialRecorder rec(port);
    port.SetDevicePathOverride(pty.slavePath());
    port.SetOpen(true);
    port.SetOpen(true); // closes, then opens again
    EXPECT_EQ(rec.opened, 2);
    ASSERT_TRUE(pty.write("ok"));
    EXPECT_TRUE(waitUntil([&] { return rec.data == "ok"; }));
}

TEST(CommPortSerial, FarEndGoneClosesThePortOnce)
{
    PortPty pty;
    ASSERT_TRUE(pty.ok());
    TCommPort port;
    SerialRecorder rec(port);
    port.SetDevicePathOverride(pty.slavePath());
    port.SetOpen(true);
    pty.closeSlave();
    pty.closeMaster();
    ASSERT_TRUE(waitUntil([&] { return rec.errors == 1; }));
    EXPECT_FALSE(rec.openAtError);
    EXPECT_FALSE(port.Open());
    spin(100);
    EXPECT_EQ(rec.errors, 1);
    EXPECT_EQ(port.PutBlock("x", 1), -1);
}

TEST(CommPortSerial, OpenFailuresThrow)
{
    TCommPort port;
    SerialRecorder rec(port);
    port.SetDevicePathOverride(QStringLiteral("/dev/zorp-no-such-device"));
    EXPECT_THROW(port.SetOpen(true), ECommPortError);
    EXPECT_FALSE(port.Open());

    PortPty pty;
    ASSERT_TRUE(pty.ok());
    port.SetDevicePathOverride(pty.slavePath());
    struct Bad { int32_t baud; uint16_t data, stop; };
    for (Bad b : {Bad{0, 8, 1}, Bad{-9600, 8, 1}, Bad{9600, 4, 1}, Bad{9600, 9, 1}, Bad{9600, 8, 0}, Bad{9600, 8, 3}}) {
        port.Baud = b.baud;
        port.DataBits = b.data;
        port.StopBits = b.stop;
        EXPECT_THROW(port.SetOpen(true), ECommPortError) << b.baud << " " << b.data << " " << b.stop;
        EXPECT_FALSE(port.Open());
    }
    EXPECT_EQ(rec.opened, 0);
}

TEST(CommPortSerial, ComNumbersMapThroughComportsIni)
{
    IniPathGuard guard;
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());

    // Default location: beside the program.
    EXPECT_EQ(TCommPort::ComPortsIniPath(),
              QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("comports.ini")));

    const QString ini = dir.filePath(QStringLiteral("comports.ini"));
    TCommPort::SetComPortsIniPath(ini);
    // No file: COM n is /dev/ttyS(n-1).
    EXPECT_EQ(TCommPort::DevicePathForNumber(1), QStringLiteral("/dev/ttyS0"));
    EXPECT_EQ(TCommPort::DevicePathForNumber(12), QStringLiteral("/dev/ttyS11"));

    PortPty pty;
    ASSERT_TRUE(pty.ok());
    // Windows-style file: BOM, CRLF, names in any case, blanks, quotes, comments.
    writeFile(ini, "\xEF\xBB\xBF; serial ports of this bench\r\n[other]\r\n3=/dev/wrong\r\n"
                   "[ports]\r\n 3 = \"" + pty.slavePath().toUtf8() + "\" \r\n#4=/dev/ttyUSB9\r\n"
                   "7=/dev/ttyUSB0\r\n");
    EXPECT_EQ(TCommPort::DevicePathForNumber(3), pty.slavePath());
    EXPECT_EQ(TCommPort::DevicePathForNumber(7), QStringLiteral("/dev/ttyUSB0"));
    EXPECT_EQ(TCommPort::DevicePathForNumber(4), QStringLiteral("/dev/ttyS3"));

    // The port opens the mapped device; an override wins over the mapping.
    TCommPort port;
    SerialRecorder rec(port);
    port.ComNumber = 3;
    EXPECT_EQ(port.DevicePath(), pty.slavePath());
    port.SetOpen(true);
    ASSERT_TRUE(pty.write("\x01\x02"));
    EXPECT_TRUE(waitUntil([&] { return rec.data.size() == 2; }));
    port.SetDevicePathOverride(QStringLiteral("/dev/zorp-x"));
    EXPECT_EQ(port.DevicePath(), QStringLiteral("/dev/zorp-x"));
    port.SetDevicePathOverride(QString());
    EXPECT_EQ(port.DevicePath(), pty.slavePath());
}
