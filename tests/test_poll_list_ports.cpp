// SPDX-License-Identifier: GPL-3.0-or-later
// zorp-poll --list-ports: the ports behind a by-id folder with their COM
// numbers from "comports.ini", and the real access check seen by a user
// who may not open a port (run as "nobody" when the tests run as root).
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include "PortPty.h"
#include "TestSupport.h"

using namespace zorptest;

namespace {

TEST(PollListPorts, ListsByIdPortsWithNumbersAndAccess)
{
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    PortPty pty;
    ASSERT_TRUE(pty.ok());
    const QString byId = root.filePath(QStringLiteral("by-id"));
    const QString config = root.filePath(QStringLiteral("config"));
    ASSERT_TRUE(QDir().mkpath(byId) && QDir().mkpath(config));
    const QString open = byId + QStringLiteral("/usb-Acme_RS485_X1-if00-port0");
    const QString locked = byId + QStringLiteral("/usb-Acme_RS485_X2-if00-port0");
    const QString lockedDevice = root.filePath(QStringLiteral("locked-device"));
    {
        QFile f(lockedDevice);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    ASSERT_TRUE(QFile::link(pty.slavePath(), open));
    ASSERT_TRUE(QFile::link(lockedDevice, locked));
    {
        QFile ini(config + QStringLiteral("/comports.ini"));
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
        ini.write(QStringLiteral("[Ports]\n4=%1\n").arg(open).toUtf8());
    }
    // The open port may be used by anybody; the locked one belongs to the
    // group "dialout" (where there is one), as serial devices do on Debian.
    const QByteArray ptyPath = QFile::encodeName(pty.slavePath());
    const QByteArray lockedPath = QFile::encodeName(lockedDevice);
    ASSERT_EQ(::chmod(ptyPath.constData(), 0666), 0);
    const bool root_ = ::geteuid() == 0;
    const group* dialout = ::getgrnam("dialout");
    if (root_ && dialout) {
        ASSERT_EQ(::chown(lockedPath.constData(), 0, dialout->gr_gid), 0);
    }
    ASSERT_EQ(::chmod(lockedPath.constData(), root_ ? 0660 : 0000), 0);
    for (const QString& d : {root.path(), byId, config})
        ASSERT_EQ(::chmod(QFile::encodeName(d).constData(), 0755), 0);

    QString program = QDir(binaryDir()).filePath(QStringLiteral("zorp-poll"));
    QStringList args{QStringLiteral("--list-ports")};
    if (root_) {
        const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
        if (setpriv.isEmpty())
            GTEST_SKIP() << "setpriv is needed to run as another user";
        args = QStringList{QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                           QStringLiteral("--clear-groups"), QStringLiteral("--"), program} + args;
        program = setpriv;
    }
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("ZORP_SERIAL_BY_ID_DIR"), byId);
    env.insert(QStringLiteral("ZORP_CONFIG_DIR"), config);
    p.setProcessEnvironment(env);
    p.start(program, args);
    ASSERT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
    const QStringList lines = QString::fromUtf8(p.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);

    auto lineOf = [&](const QString& device) {
        for (const QString& l : lines)
            if (l.section(u'\t', 1, 1) == device)
                return l.split(u'\t');
        return QStringList();
    };
    ASSERT_FALSE(lines.isEmpty());
    EXPECT_EQ(lines.front(), QStringLiteral("COM\tDEVICE\tBY-ID\tDESCRIPTION\tMANUFACTURER\tSERIAL\tACCESS"));
    EXPECT_EQ(lineOf(pty.slavePath()),
              (QStringList{"4", pty.slavePath(), open, "-", "-", "-", "ok"}));
    const QStringList l = lineOf(QFileInfo(lockedDevice).canonicalFilePath());
    ASSERT_EQ(l.size(), 7) << lines.join(u'\n').toStdString();
    EXPECT_EQ(l[0], QStringLiteral("-"));
    EXPECT_EQ(l[2], locked);
    EXPECT_TRUE(l[6].startsWith(QStringLiteral("permission denied"))) << l[6].toStdString();
    if (root_ && dialout) {
        EXPECT_TRUE(l[6].contains(QStringLiteral("add the user to the group \"dialout\" (sudo adduser nobody dialout), "
                                                 "then log out and in again")))
            << l[6].toStdString();
    }
    EXPECT_EQ(lines.back(), QStringLiteral("COM numbers from %1/comports.ini").arg(config));
}

} // namespace
