// SPDX-License-Identifier: GPL-3.0-or-later
#include "TesterOptions.h"

#include "IniFile.h"
#include "StrictInt.h"

namespace {
const QString kPause = QStringLiteral("RealTimePause");
const QString kKeepPolling = QStringLiteral("KeepPollingAfterErrors");
const QString kErrorsInLog = QStringLiteral("ErrorsInLog");
const QString kFunction16 = QStringLiteral("AlwaysUseFunction16");
const QString kRemoveEcho = QStringLiteral("RemoveEcho");
const QString kDarkTheme = QStringLiteral("DarkTheme");
const QString kTimeout = QStringLiteral("Timeout");
const QString kMaxRepeat = QStringLiteral("MaxRepeat");
const QString kKeepLayout = QStringLiteral("KeepLayout");
const QString kLogFolder = QStringLiteral("LogFolder");
const QString kCsvFolder = QStringLiteral("CsvFolder");
const QString kAddresses = QStringLiteral("Addresses");
const QString kMapFolder = QStringLiteral("MapFolder");

// An integer within [lo, hi], else def.
int readInt(const zorp::TIniFile& ini, const QString& key, int lo, int hi, int def)
{
    int64_t v = 0;
    return zorp::ParseInt(ini.ReadString(TTesterOptions::Section(), key, QString()).trimmed(), lo, hi, v) ? int(v) : def;
}

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
    o.RealTimePauseMs = readInt(ini, kPause, 0, MaxPauseMs, -1);
    o.KeepPollingAfterErrors = readBool(ini, kKeepPolling, false);
    o.ErrorsInLog = readBool(ini, kErrorsInLog, false);
    o.AlwaysUseFunction16 = readBool(ini, kFunction16, false);
    o.RemoveEcho = readBool(ini, kRemoveEcho, false);
    o.DarkTheme = readBool(ini, kDarkTheme, false);
    o.TimeoutMs = readInt(ini, kTimeout, MinTimeoutMs, MaxTimeoutMs, o.TimeoutMs);
    o.MaxRepeat = readInt(ini, kMaxRepeat, 0, MaxRepeats, o.MaxRepeat);
    o.KeepLayout = readBool(ini, kKeepLayout, true);
    o.LogFolder = ini.ReadString(Section(), kLogFolder, QString());
    o.CsvFolder = ini.ReadString(Section(), kCsvFolder, QString());
    o.Addresses = zorp::NotationFromKey(ini.ReadString(Section(), kAddresses, QString()));
    o.MapFolder = ini.ReadString(Section(), kMapFolder, QString());
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
    ini.WriteString(Section(), kDarkTheme, b(DarkTheme));
    ini.WriteString(Section(), kTimeout, QString::number(TimeoutMs));
    ini.WriteString(Section(), kMaxRepeat, QString::number(MaxRepeat));
    ini.WriteString(Section(), kKeepLayout, b(KeepLayout));
    ini.WriteString(Section(), kLogFolder, LogFolder);
    ini.WriteString(Section(), kCsvFolder, CsvFolder);
    ini.WriteString(Section(), kAddresses, zorp::NotationKey(Addresses));
    ini.WriteString(Section(), kMapFolder, MapFolder);
    return ini.UpdateFile();
}
