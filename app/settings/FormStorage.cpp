// SPDX-License-Identifier: GPL-3.0-or-later
#include "FormStorage.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStringList>
#include <QWidget>

#include "AppErrors.h"
#include "IniFile.h"
#include "WindowPlacement.h"

namespace zorp {

namespace {
QString& configFolderOverride()
{
    static QString folder;
    return folder;
}
} // namespace

void SetConfigFolder(const QString& folder)
{
    configFolderOverride() = folder;
}

QString ConfigFolder()
{
    // A folder named that does not exist yet is made, so that the settings
    // saved at close are not lost.
    QString named = configFolderOverride();
    if (named.isEmpty())
        named = qEnvironmentVariable("ZORP_CONFIG_DIR");
    if (!named.isEmpty()) {
        QDir().mkpath(named);
        return named;
    }
    const QString programFolder = QCoreApplication::applicationDirPath();
    if (QFileInfo(programFolder).isWritable())
        return programFolder;
    // An installed program's folder is read-only: keep the files per user,
    // the way such writes are redirected elsewhere.
    // ~/.config/ZORP: the same folder whatever the application's name, so
    // the command-line tools find the tester's "comports.ini" there.
    const QString user = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/ZORP");
    QDir().mkpath(user);
    return user;
}

QString ProfilesFolder()
{
    return ConfigFolder() + QStringLiteral("/Settings");
}

namespace {
std::function<QString(QFileDialog*)>& saveDialogHook()
{
    static std::function<QString(QFileDialog*)> hook;
    return hook;
}
} // namespace

void SetSaveDialogHook(std::function<QString(QFileDialog* SD)> hook)
{
    saveDialogHook() = std::move(hook);
}

QString RunSaveDialog(QFileDialog* SD)
{
    if (saveDialogHook())
        return saveDialogHook()(SD);
    if (SD->exec() != QDialog::Accepted || SD->selectedFiles().isEmpty())
        return QString();
    return SD->selectedFiles().constFirst();
}

} // namespace zorp

using namespace zorp;

namespace {

// Outer blanks and control characters, as text fields are stripped.
QString stripOuter(const QString& s)
{
    qsizetype b = 0, e = s.size();
    while (b < e && s[b].unicode() <= u' ')
        ++b;
    while (e > b && s[e - 1].unicode() <= u' ')
        --e;
    return s.mid(b, e - b);
}

// Four comma-separated integers; each one missing or not an integer takes
// its default.
void parseFour(const QString& value, const int defaults[4], int out[4])
{
    const QStringList parts = value.split(u',');
    for (int i = 0; i < 4; ++i)
        out[i] = i < parts.size() ? StrToIntDef(parts[i], defaults[i]) : defaults[i];
}

QString screenSuffix()
{
    const QSize s = ScreenSize();
    return QStringLiteral("(%1x%2)").arg(s.width()).arg(s.height());
}

} // namespace

TFormStorage::TFormStorage(QWidget* Form) : QObject(Form), FForm(Form)
{
    if (Form)
        IniSection = QString::fromLatin1(Form->metaObject()->className());
}

void TFormStorage::AddStoredText(const QString& Key, std::function<QString()> Get,
                                 std::function<void(const QString&)> Set)
{
    Stored s;
    s.Key = Key;
    s.IsText = true;
    s.GetText = std::move(Get);
    s.SetText = std::move(Set);
    FStored.push_back(std::move(s));
}

void TFormStorage::AddStoredInteger(const QString& Key, std::function<int()> Get, std::function<void(int)> Set)
{
    Stored s;
    s.Key = Key;
    s.IsText = false;
    s.GetInt = std::move(Get);
    s.SetInt = std::move(Set);
    FStored.push_back(std::move(s));
}

QString TFormStorage::EncodeText(const QString& Value)
{
    const QString v = stripOuter(Value);
    if (!v.isEmpty() && (v.front() == u'"' || v.front() == u'\'') && v.back() == v.front())
        return u'"' + v + u'"';
    return v;
}

void TFormStorage::RestoreFormPlacement()
{
    FRestored = true;
    if (!FForm)
        return;
    const TIniFile ini(IniFileName);
    auto read = [&](const QString& key, const QString& def) { return ini.ReadString(IniSection, key, def); };

    if (StrToIntDef(read(QStringLiteral("FormVersion"), QStringLiteral("0")), 0) < 0)
        return;

    const TWindowPlacement current = GetWindowPlacement(FForm);
    TWindowPlacement p = current;
    p.flags = StrToIntDef(read(QStringLiteral("Flags"), QString()), current.flags);

    // The key with the screen size first, the plain one when that is
    // missing or empty.
    const QString suffix = screenSuffix();
    auto readPos = [&](const QString& key) {
        QString v = read(key + suffix, QString());
        if (v.isEmpty())
            v = read(key, QString());
        return v;
    };
    const QString minMax = readPos(QStringLiteral("MinMaxPos"));
    const QString norm = readPos(QStringLiteral("NormPos"));
    if (!minMax.isEmpty()) {
        const int defaults[4] = {0, 0, 0, 0};
        int v[4];
        parseFour(minMax, defaults, v);
        p.ptMinPosition = QPoint(v[0], v[1]);
        p.ptMaxPosition = QPoint(v[2], v[3]);
    }
    if (!norm.isEmpty()) {
        const int defaults[4] = {current.left, current.top, current.right, current.bottom};
        int v[4];
        parseFour(norm, defaults, v);
        p.left = v[0];
        p.top = v[1];
        p.right = v[2];
        p.bottom = v[3];
    }
    const int ppi = StrToIntDef(read(QStringLiteral("PixelsPerInch"), QString()), ScreenPixelsPerInch());
    if ((!minMax.isEmpty() || !norm.isEmpty()) && ppi == ScreenPixelsPerInch() && p.left < p.right) {
        SetWindowPlacement(FForm, p);
        FPlacementApplied = true;
    }
    ApplyShowCmd(FForm, StrToIntDef(read(QStringLiteral("ShowCmd"), QStringLiteral("0")), 0), p.flags);

    for (const Stored& s : FStored) {
        if (!ini.ValueExists(IniSection, s.Key))
            continue;
        const QString value = stripOuter(read(s.Key, QString()));
        // A value the control does not take leaves it as it was.
        try {
            if (s.IsText)
                s.SetText(value);
            else
                s.SetInt(StrToIntDef(value, 0));
        } catch (...) {
        }
    }
}

void TFormStorage::SaveFormPlacement(bool AtClose)
{
    if (AtClose)
        FClosed = true;
    TIniFile ini(IniFileName);
    auto write = [&](const QString& key, const QString& value) { ini.WriteString(IniSection, key, value); };
    const TWindowPlacement p = FForm ? GetWindowPlacement(FForm) : TWindowPlacement{};
    const QString suffix = screenSuffix();
    const QString minMax = QStringLiteral("%1,%2,%3,%4")
                               .arg(p.ptMinPosition.x())
                               .arg(p.ptMinPosition.y())
                               .arg(p.ptMaxPosition.x())
                               .arg(p.ptMaxPosition.y());
    const QString norm = QStringLiteral("%1,%2,%3,%4").arg(p.left).arg(p.top).arg(p.right).arg(p.bottom);

    write(QStringLiteral("FormVersion"), QStringLiteral("0"));
    write(QStringLiteral("Flags"), QString::number(p.flags));
    write(QStringLiteral("ShowCmd"), QString::number(p.showCmd));
    write(QStringLiteral("PixelsPerInch"), QString::number(ScreenPixelsPerInch()));
    write(QStringLiteral("MinMaxPos") + suffix, minMax);
    write(QStringLiteral("MinMaxPos"), minMax);
    write(QStringLiteral("NormPos") + suffix, norm);
    write(QStringLiteral("NormPos"), norm);
    write(QStringLiteral("Visible"), FClosed ? QStringLiteral("0") : QStringLiteral("1"));
    for (const Stored& s : FStored)
        write(s.Key, s.IsText ? EncodeText(s.GetText()) : QString::number(s.GetInt()));
    if (!ini.UpdateFile())
        throw EFileWriteError(IniFileName);
    FSaved = true;
}
