// SPDX-License-Identifier: GPL-3.0-or-later
// The INI layer on arbitrary files: loading, reading every section and key
// that the file seems to name, updating one key and saving. A file that did
// not load must not be replaced; after a save, the file read back gives the
// written key what was read before the save, and every other key what it
// gave before.
//
// The same file read as a "comports.ini" gives the serial-port list the
// numbers that the port object maps.
//
// Input: a control byte (which key to write and where the value comes
// from), then the file's bytes.
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QStringList>
#include <unistd.h>

#include "FuzzSupport.h"
#include "CommPort.h"
#include "IniFile.h"
#include "SerialPorts.h"

using namespace zorpfuzz;
using zorp::TIniFile;

namespace {

QString g_path;

struct Pair {
    QString section, key;
};

// Candidate names: the text between '[' and ']' of any line, and the text
// before '=' of any line paired with the last candidate section.
std::vector<Pair> Candidates(const QString& text)
{
    std::vector<Pair> out;
    QString section;
    const QStringList lines = text.split(QRegularExpression(QStringLiteral("\r\n|\r|\n")));
    for (const QString& line : lines) {
        const QString t = line.trimmed();
        const qsizetype open = t.indexOf(u'['), close = t.indexOf(u']');
        if (open >= 0 && close > open) {
            section = t.mid(open + 1, close - open - 1);
            continue;
        }
        const qsizetype eq = line.indexOf(u'=');
        if (eq > 0 && out.size() < 64) out.push_back({section, line.left(eq)});
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    EnsureApplication();
    const QString dir = QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm") : QDir::tempPath();
    g_path = QStringLiteral("%1/zorp-fuzz-ini-%2.ini").arg(dir).arg(getpid());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) return 0;
    const uint8_t control = data[0];
    const QByteArray bytes(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
    {
        QFile f(g_path);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return 0;
        f.write(bytes);
    }

    // The same file as a "comports.ini": the serial-port list's map of COM
    // numbers agrees with the port object's own lookup of each number.
    {
        const QMap<int, QString> ports = zorp::ReadComPortMap(g_path);
        ZORP_FUZZ_CHECK(ports.size() <= bytes.size());
        TCommPort::SetComPortsIniPath(g_path);
        for (auto it = ports.constBegin(); it != ports.constEnd(); ++it) {
            ZORP_FUZZ_CHECK(it.key() >= 1 && it.key() <= 65535 && !it.value().isEmpty());
            ZORP_FUZZ_CHECK(TCommPort::DevicePathForNumber(it.key()) == it.value());
        }
        const int next = zorp::NextFreeComNumber(ports, {});
        ZORP_FUZZ_CHECK(next >= 1 && !ports.contains(next));
        TCommPort::SetComPortsIniPath(QString());
    }

    TIniFile ini(g_path);
    const std::vector<Pair> pairs = Candidates(ini.Text());
    std::vector<QString> before;
    for (const Pair& p : pairs) {
        const QString v = ini.ReadString(p.section, p.key, QStringLiteral("\x01missing"));
        ZORP_FUZZ_CHECK(v.size() <= TIniFile::MaxValueLength || v == QStringLiteral("\x01missing"));
        before.push_back(v);
        (void)ini.ValueExists(p.section, p.key);
        (void)ini.SectionExists(p.section);
    }

    // The key written: an existing one, or one of the names the tester uses.
    static const Pair kFixed[] = {
        {QStringLiteral("TfrmModbusMaster"), QStringLiteral("Left")},
        {QStringLiteral("Address"), QStringLiteral("Length")},
        {QStringLiteral("Cells_DataType"), QStringLiteral("7")},
        {QStringLiteral("Cells_Description"), QStringLiteral("12")},
    };
    Pair target = kFixed[control & 3];
    if ((control & 4) && !pairs.empty()) {
        const Pair& p = pairs[(control >> 3) % pairs.size()];
        if (ini.ValueExists(p.section, p.key)) target = p;
    }
    // The value: a slice of the input, with line breaks and quotes as they come.
    const QString value = QString::fromUtf8(bytes.left(control >> 2));
    ini.WriteString(target.section, target.key, value);
    const QString written = ini.ReadString(target.section, target.key, QString());

    if (!ini.Loaded()) {
        ZORP_FUZZ_CHECK(!ini.UpdateFile());
        QFile f(g_path);
        ZORP_FUZZ_CHECK(f.open(QIODevice::ReadOnly) && f.readAll() == bytes);
        return 0;
    }
    ZORP_FUZZ_CHECK(ini.UpdateFile());

    TIniFile back(g_path);
    ZORP_FUZZ_CHECK(back.Loaded());
    ZORP_FUZZ_CHECK(back.ReadString(target.section, target.key, QString()) == written);
    for (size_t i = 0; i < pairs.size(); ++i) {
        const Pair& p = pairs[i];
        if (p.key.trimmed().compare(target.key.trimmed(), Qt::CaseInsensitive) == 0) continue;
        const QString after = back.ReadString(p.section, p.key, QStringLiteral("\x01missing"));
        if (after != before[i])
            std::fprintf(stderr, "[%s] %s: before \"%s\", after \"%s\" (wrote [%s] %s)\n",
                         qPrintable(p.section), qPrintable(p.key), qPrintable(before[i]), qPrintable(after),
                         qPrintable(target.section), qPrintable(target.key));
        ZORP_FUZZ_CHECK(after == before[i]);
    }
    return 0;
}
