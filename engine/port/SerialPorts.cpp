// SPDX-License-Identifier: GPL-3.0-or-later
#include "SerialPorts.h"
#include "IniFile.h"
#include "StrictInt.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSerialPortInfo>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <cstring>

#ifdef Q_OS_UNIX
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace zorp {

namespace {

// Enough for any real machine; a folder with more links is not a by-id
// folder worth reading whole.
constexpr int MaxByIdLinks = 4096;

QString& byIdOverride()
{
    static QString folder;
    return folder;
}

SerialPortSource& sourceOverride()
{
    static SerialPortSource source;
    return source;
}

PortAccessCheck& accessOverride()
{
    static PortAccessCheck check;
    return check;
}

QList<SerialPortEntry> SystemPorts()
{
    QList<SerialPortEntry> out;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        SerialPortEntry e;
        e.Device = info.systemLocation();
        e.Description = info.description();
        e.Manufacturer = info.manufacturer();
        e.SerialNumber = info.serialNumber();
        out.append(e);
    }
    return out;
}

QString Canonical(const QString& path)
{
    const QString c = QFileInfo(path).canonicalFilePath();
    return c.isEmpty() ? path : c;
}

#ifdef Q_OS_UNIX
QString GroupName(gid_t gid)
{
    const group* g = ::getgrgid(gid);
    return g ? QString::fromLocal8Bit(g->gr_name) : QString::number(gid);
}

QString UserName()
{
    const passwd* p = ::getpwuid(::geteuid());
    return p ? QString::fromLocal8Bit(p->pw_name) : QStringLiteral("$USER");
}

// Whether the user is a member of the group in the group database (which
// a running session only sees after logging in again).
bool ListedMember(gid_t gid)
{
    const passwd* p = ::getpwuid(::geteuid());
    if (!p)
        return false;
    if (p->pw_gid == gid)
        return true;
    const group* g = ::getgrgid(gid);
    if (!g || !g->gr_mem)
        return false;
    for (char** m = g->gr_mem; *m; ++m)
        if (std::strcmp(*m, p->pw_name) == 0)
            return true;
    return false;
}
#endif

} // namespace

QString SerialByIdFolder()
{
    if (!byIdOverride().isEmpty())
        return byIdOverride();
    const QString env = qEnvironmentVariable("ZORP_SERIAL_BY_ID_DIR");
    return env.isEmpty() ? QStringLiteral("/dev/serial/by-id") : env;
}

void SetSerialByIdFolder(const QString& folder) { byIdOverride() = folder; }

void SetSerialPortSource(SerialPortSource source) { sourceOverride() = std::move(source); }

void SetPortAccessCheck(PortAccessCheck check) { accessOverride() = std::move(check); }

PortAccess CheckPortAccess(const QString& device)
{
    PortAccess a;
#ifdef Q_OS_UNIX
    const QByteArray path = QFile::encodeName(device);
    if (::access(path.constData(), R_OK | W_OK) == 0)
        return a;
    const int err = errno;
    a.Ok = false;
    if (err == ENOENT) {
        a.Problem = QStringLiteral("the device does not exist (unplugged?)");
        return a;
    }
    if (err != EACCES && err != EPERM) {
        a.Problem = QStringLiteral("cannot be opened: %1").arg(QString::fromLocal8Bit(std::strerror(err)));
        return a;
    }
    struct stat st {};
    if (::stat(path.constData(), &st) != 0) {
        a.Problem = QStringLiteral("permission denied");
        return a;
    }
    const QString group = GroupName(st.st_gid);
    const bool groupMayWrite = (st.st_mode & S_IRGRP) && (st.st_mode & S_IWGRP);
    if (!groupMayWrite) {
        a.Problem = QStringLiteral("permission denied: only its owner may open it; ask the administrator for "
                                   "read and write access");
    } else if (ListedMember(st.st_gid)) {
        a.Problem = QStringLiteral("permission denied: you were added to the group \"%1\" after logging in; "
                                   "log out and in again")
                        .arg(group);
    } else {
        a.Problem = QStringLiteral("permission denied: add the user to the group \"%1\" "
                                   "(sudo adduser %2 %1), then log out and in again")
                        .arg(group, UserName());
    }
#else
    Q_UNUSED(device);
#endif
    return a;
}

QMap<int, QString> ReadComPortMap(const QString& iniPath)
{
    QMap<int, QString> map;
    const TIniFile ini(iniPath);
    for (const QString& key : ini.ReadSection(QStringLiteral("Ports"))) {
        // Keys as the port object looks them up: the number in plain decimal
        // (no sign, no leading zero). The first entry of a number counts, an
        // empty one too (which leaves the number its default device).
        int64_t n = 0;
        if (key.startsWith(u'0') || !ParseInt(key, 1, 65535, n, IntDigitsOnly))
            continue;
        const QString value = ini.ReadString(QStringLiteral("Ports"), key, QString());
        if (!value.isEmpty())
            map.insert(int(n), value);
    }
    return map;
}

int ComNumberOfName(const QString& name)
{
    if (name.size() < 4 || !name.startsWith(QLatin1String("COM"), Qt::CaseInsensitive))
        return 0;
    int64_t n = 0;
    switch (ParseInteger(QStringView(name).mid(3), 1, 65535, n, IntDigitsOnly)) {
    case TIntResult::Ok:
        return int(n);
    case TIntResult::OutOfRange:
        return -1;
    case TIntResult::NotANumber:
        break;
    }
    return 0;
}

QString DeviceForComNumber(const QMap<int, QString>& map, int comNumber)
{
    const auto it = map.constFind(comNumber);
    if (it != map.constEnd())
        return it.value();
    return QStringLiteral("/dev/ttyS%1").arg(comNumber - 1);
}

QList<SerialPortEntry> ListSerialPorts(const QString& comPortsIni)
{
    QList<SerialPortEntry> ports = sourceOverride() ? sourceOverride()() : SystemPorts();

    // Stable names: each link of the by-id folder names the device it
    // resolves to; a link to a device the system does not list adds it.
    QDir byId(SerialByIdFolder());
    const QFileInfoList links =
        byId.entryInfoList(QDir::Files | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    int seen = 0;
    for (const QFileInfo& link : links) {
        if (++seen > MaxByIdLinks)
            break;
        const QString target = link.canonicalFilePath();
        if (target.isEmpty())
            continue; // a dangling link: the adapter has gone
        auto it = std::find_if(ports.begin(), ports.end(),
                               [&](const SerialPortEntry& p) { return Canonical(p.Device) == target; });
        if (it == ports.end()) {
            SerialPortEntry e;
            e.Device = target;
            e.ById = link.absoluteFilePath();
            ports.append(e);
        } else if (it->ById.isEmpty()) {
            it->ById = link.absoluteFilePath();
        }
    }

    const QMap<int, QString> map = ReadComPortMap(comPortsIni);
    static const QRegularExpression ttyS(QStringLiteral("^/dev/ttyS(\\d{1,5})$"));
    for (SerialPortEntry& p : ports) {
        const QString device = Canonical(p.Device);
        for (auto it = map.constBegin(); it != map.constEnd(); ++it) {
            if (it.value() == p.Device || (!p.ById.isEmpty() && it.value() == p.ById) ||
                Canonical(it.value()) == device) {
                p.ComNumber = it.key();
                break;
            }
        }
        if (p.ComNumber == 0) {
            const QRegularExpressionMatch m = ttyS.match(p.Device);
            if (m.hasMatch()) {
                const int n = m.captured(1).toInt() + 1;
                if (n <= 65535 && !map.contains(n))
                    p.ComNumber = n;
            }
        }
        const PortAccess a = accessOverride() ? accessOverride()(p.Device) : CheckPortAccess(p.Device);
        p.Accessible = a.Ok;
        p.Problem = a.Problem;
    }
    std::sort(ports.begin(), ports.end(),
              [](const SerialPortEntry& a, const SerialPortEntry& b) { return a.Device < b.Device; });
    return ports;
}

int NextFreeComNumber(const QMap<int, QString>& map, const QList<SerialPortEntry>& ports)
{
    for (int n = 1; n <= 65535; ++n) {
        if (map.contains(n))
            continue;
        const QString byDefault = DeviceForComNumber(map, n);
        const bool taken = std::any_of(ports.begin(), ports.end(),
                                       [&](const SerialPortEntry& p) { return p.Device == byDefault; });
        if (!taken)
            return n;
    }
    return 0;
}

QString FormatSerialPortList(const QList<SerialPortEntry>& ports, const QString& comPortsIni)
{
    QString out = QStringLiteral("COM\tDEVICE\tBY-ID\tDESCRIPTION\tMANUFACTURER\tSERIAL\tACCESS\n");
    for (const SerialPortEntry& p : ports) {
        const QStringList cells{
            p.ComNumber > 0 ? QString::number(p.ComNumber) : QStringLiteral("-"),
            p.Device,
            p.ById.isEmpty() ? QStringLiteral("-") : p.ById,
            p.Description.isEmpty() ? QStringLiteral("-") : p.Description,
            p.Manufacturer.isEmpty() ? QStringLiteral("-") : p.Manufacturer,
            p.SerialNumber.isEmpty() ? QStringLiteral("-") : p.SerialNumber,
            p.Accessible ? QStringLiteral("ok") : p.Problem,
        };
        // Tabs or line breaks inside a name would break the columns.
        QStringList clean;
        for (QString c : cells)
            clean.append(c.replace(QRegularExpression(QStringLiteral("[\\t\\r\\n]")), QStringLiteral(" ")));
        out += clean.join(u'\t') + u'\n';
    }
    if (ports.isEmpty())
        out += QStringLiteral("(no serial ports found)\n");
    out += QStringLiteral("COM numbers from %1\n").arg(comPortsIni);
    return out;
}

} // namespace zorp
