// SPDX-License-Identifier: GPL-3.0-or-later
#include "ProfileFile.h"

#include <QFileInfo>

#include "IniFile.h"
#include "StrictInt.h"

namespace {

const char* const kFunctions[] = {"01: Read Coil Status", "02: Read Input Status", "03: Read Holding Registers",
                                  "04: Read Input Registers"};

// A decimal integer as the tester's strict conversion reads it (an optional
// sign, digits, nothing else), within [min, max].
bool StrictInt(const QString& text, long min, long max, long& out)
{
    int64_t v = 0;
    if (!zorp::ParseInt(text, min, max, v, zorp::IntSign)) return false;
    out = long(v);
    return true;
}

} // namespace

bool ReadProfile(const QString& fileName, TProfile& out, std::string& error)
{
    const QFileInfo info(fileName);
    if (!info.exists() || !info.isFile() || !info.isReadable()) {
        error = "cannot read the profile \"" + fileName.toStdString() + "\"";
        return false;
    }
    const zorp::TIniFile ini(fileName);
    if (!ini.Loaded()) {
        error = "cannot read the profile \"" + fileName.toStdString() + "\" (not a settings file)";
        return false;
    }
    const QString section = QStringLiteral("Address");
    struct Field {
        const char* Key;
        long Min, Max;
        long* Out;
    } fields[] = {{"Start", 1, 65536, &out.Start}, {"Length", 1, 255, &out.Length}, {"SlaveID", 0, 255, &out.SlaveID}};
    for (const Field& f : fields) {
        const QString v = ini.ReadString(section, QString::fromLatin1(f.Key), QStringLiteral("1"));
        if (!StrictInt(v, f.Min, f.Max, *f.Out)) {
            error = "profile key " + std::string(f.Key) + " \"" + v.toStdString() + "\" is not a number from " +
                    std::to_string(f.Min) + " to " + std::to_string(f.Max);
            return false;
        }
    }
    const QString func = ini.ReadString(section, QStringLiteral("Func"), QString::fromLatin1(kFunctions[2]));
    out.Function = 0;
    for (int i = 0; i < 4; ++i)
        if (func.compare(QString::fromLatin1(kFunctions[i]), Qt::CaseInsensitive) == 0) out.Function = i + 1;
    if (out.Function == 0) {
        error = "profile key Func \"" + func.toStdString() + "\" is none of the four read functions";
        return false;
    }
    out.DataTypes.clear();
    out.Descriptions.clear();
    for (long r = 1; r <= out.Length; ++r) {
        const QString key = QString::number(r);
        out.DataTypes.push_back(ini.ReadString(QStringLiteral("Cells_DataType"), key, QString()));
        out.Descriptions.push_back(ini.ReadString(QStringLiteral("Cells_Description"), key, QString()));
    }
    out.Scaling.clear();
    const QString scaling = QStringLiteral("Scaling");
    for (long r = 1; r <= out.Length; ++r) {
        const QString key = QString::number(r);
        if (!ini.ValueExists(scaling, key)) continue;
        zorp::TScaling s;
        QString why;
        if (zorp::ScalingFromRecord(ini.ReadString(scaling, key, QString()), s, why) && !s.Empty()) out.Scaling[int(r)] = s;
    }
    return true;
}
