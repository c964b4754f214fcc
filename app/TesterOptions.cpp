// SPDX-License-Identifier: GPL-3.0-or-later
#include "TesterOptions.h"

#include "IniFile.h"

namespace {
const QString kPause = QStringLiteral("RealTimePause");
const QString kKeepPolling = QStringLiteral("KeepPollingAfterErrors");
const QString kErrorsInLog = QStringLiteral("ErrorsInLog");
const QString kFunction16 = QStringLiteral("AlwaysUseFunction16");
const QString kRemoveEcho = QStringLiteral("RemoveEcho");

bool readBool(const zorp::TIniFile& ini, const QString& key, bool def)
{
    const QString v = ini.ReadString(TTesterOptions::Section(), key, QString()).trimmed();
    if (v == QLatin1String("1"))
        return true;
    if (v == QLatin1String("0"))
        return false;
    return def;
}
} // namespace

TTesterOptions TTesterOptions::Load(const QString& iniFileName)
{
    TTesterOptions o;
    const zorp::TIniFile ini(iniFileName);
    // "designed" or anything that is not a pause in range: as designed.
    bool ok = false;
    const int pause = ini.ReadString(Section(), kPause, QString()).trimmed().toInt(&ok);
    o.RealTimePauseMs = ok && pause >= 0 && pause <= MaxPauseMs ? pause : -1;
    o.KeepPollingAfterErrors = readBool(ini, kKeepPolling, false);
    o.ErrorsInLog = readBool(ini, kErrorsInLog, false);
    o.AlwaysUseFunction16 = readBool(ini, kFunction16, false);
    o.RemoveEcho = readBool(ini, kRemoveEcho, false);
    return o;
}

bool TTesterOptions::Save(const QString& iniFileName) const
{
    zorp::TIniFile ini(iniFileName);
    auto b = [](bool v) { return v ? QStringLiteral("1") : QStringLiteral("0"); };
    ini.WriteString(Section(), kPause,
                    RealTimePauseMs < 0 ? QStringLiteral("designed") : QString::number(RealTimePauseMs));
    ini.WriteString(Section(), kKeepPolling, b(KeepPollingAfterErrors));
    ini.WriteString(Section(), kErrorsInLog, b(ErrorsInLog));
    ini.WriteString(Section(), kFunction16, b(AlwaysUseFunction16));
    ini.WriteString(Section(), kRemoveEcho, b(RemoveEcho));
    return ini.UpdateFile();
}
