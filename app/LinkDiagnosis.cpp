// SPDX-License-Identifier: GPL-3.0-or-later
#include "LinkDiagnosis.h"

#include <QAbstractSocket>
#include <QFile>
#include <QHostAddress>
#include <QSerialPort>
#include <cerrno>
#include <cstring>

#ifdef Q_OS_UNIX
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace LinkDiagnosis {

QString SerialErrnoText(const QString& device, int err, const QString& group)
{
    const QString why = QString::fromLocal8Bit(std::strerror(err));
    switch (err) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return QStringLiteral("%1: no such device (%2); is the adapter plugged in? Options > Serial ports lists "
                              "the ports found")
            .arg(device, why);
    case EACCES:
    case EPERM: {
        const QString g = group.isEmpty() ? QStringLiteral("dialout") : group;
        return QStringLiteral("%1: permission denied (%2); add yourself to the group %3 "
                              "(sudo usermod -aG %3 $USER) and log in again")
            .arg(device, why, g);
    }
    case EBUSY:
        return QStringLiteral("%1: device busy (%2); another program uses it").arg(device, why);
    default:
        return QStringLiteral("%1: %2").arg(device, why);
    }
}

QString SerialOpenFailure(const QString& device, const QString& lineSettings)
{
#ifdef Q_OS_UNIX
    const QByteArray path = QFile::encodeName(device);
    struct stat st {};
    if (::stat(path.constData(), &st) != 0)
        return SerialErrnoText(device, errno, QString());
    QString group;
    if (const struct group* g = ::getgrgid(st.st_gid))
        group = QString::fromLocal8Bit(g->gr_name);
    if (::access(path.constData(), R_OK | W_OK) != 0)
        return SerialErrnoText(device, errno, group);
    if (!S_ISCHR(st.st_mode))
        return QStringLiteral("%1: not a serial device").arg(device);
#endif
    return QStringLiteral("%1: the device did not open; another program may hold it, or it refuses the line "
                          "settings (%2)")
        .arg(device, lineSettings);
}

QString SerialFailure(const QString& device, int serialPortError)
{
    switch (serialPortError) {
    case QSerialPort::DeviceNotFoundError:
    case QSerialPort::ResourceError:
        return QStringLiteral("%1: the device went away or stopped working (unplugged?)").arg(device);
    case QSerialPort::PermissionError:
        return SerialErrnoText(device, EACCES, QString());
    case QSerialPort::ReadError:
    case QSerialPort::WriteError:
        return QStringLiteral("%1: input/output error on the device").arg(device);
    default:
        return QStringLiteral("%1: the device failed (serial port error %2)").arg(device).arg(serialPortError);
    }
}

QString SocketFailure(const QString& host, int port, int socketError, bool wasUp, int timeoutMs)
{
    const QString where = QStringLiteral("%1:%2").arg(host).arg(port);
    switch (socketError) {
    case QAbstractSocket::ConnectionRefusedError:
        return QStringLiteral("%1: connection refused; nothing listens on that port, or a firewall refuses").arg(where);
    case QAbstractSocket::SocketTimeoutError:
        return QStringLiteral("%1: timed out; no connection within %2 ms (host down or unreachable?)")
            .arg(where)
            .arg(timeoutMs);
    case QAbstractSocket::RemoteHostClosedError:
        return QStringLiteral("%1: connection reset by the device").arg(where);
    case QAbstractSocket::HostNotFoundError:
        return QStringLiteral("%1: host not found").arg(where);
    case QAbstractSocket::SocketAccessError:
        return QStringLiteral("%1: permission denied by the system").arg(where);
    case QAbstractSocket::NetworkError:
        return wasUp ? QStringLiteral("%1: connection reset or broken (network error)").arg(where)
                     : QStringLiteral("%1: cannot be reached (network or host unreachable)").arg(where);
    default:
        return QStringLiteral("%1: socket error %2").arg(where).arg(socketError);
    }
}

QString HostFailure(const QString& host, int port)
{
    if (QHostAddress(host).isNull())
        return QStringLiteral("%1:%2: the host name could not be resolved").arg(host).arg(port);
    return QStringLiteral("%1:%2: no connection could be started").arg(host).arg(port);
}

} // namespace LinkDiagnosis
