// SPDX-License-Identifier: GPL-3.0-or-later
// Main window: settings profiles (grid layouts saved to and loaded from
// "Settings/<name>.zvst") and the stored window settings "setings.ini".
#include "uMaster.h"

#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>

#include "AppErrors.h"
#include "FormStorage.h"
#include "IniFile.h"
#include "LabeledEdit.h"
#include "RadioGroup.h"
#include "SettingsLock.h"
#include "StringGrid.h"

using zorp::TIniFile;

namespace {

const QString kAddress = QStringLiteral("Address");
const QString kDataType = QStringLiteral("Cells_DataType");
const QString kDescription = QStringLiteral("Cells_Description");
constexpr int kDataTypeCol = 1;
constexpr int kDescriptionCol = 3;
// The most rows a profile may ask for: what the three-digit Length field
// can hold. Larger numbers only come from damaged or foreign files.
constexpr int kMaxProfileLength = 999;

// A profile value as written. Values are written as they stand, except one
// that reading back would change (outer blanks, or enclosing quotes that
// reading removes): it goes inside one pair of double quotes, which reading
// takes off again.
QString profileValue(const QString& v)
{
    if (v.isEmpty())
        return v;
    const bool blanks = v.front() == u' ' || v.front() == u'\t' || v.back() == u' ' || v.back() == u'\t';
    const bool quoted = v.size() >= 2 && (v.front() == u'"' || v.front() == u'\'') && v.back() == v.front();
    return blanks || quoted ? u'"' + v + u'"' : v;
}

} // namespace

void TfrmModbusMaster::LoadSettingsList()
{
    cbSettings->clear();
    const QDir dir(zorp::ProfilesFolder());
    const QStringList names =
        dir.entryList({QStringLiteral("*.zvst")},
                      QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Unsorted);
    cbSettings->addItems(names);
    // Adding to an empty list would select its first entry: none is.
    cbSettings->setCurrentIndex(-1);
}

void TfrmModbusMaster::btnSaveSettingsClick(QObject*)
{
    const QString folder = zorp::ProfilesFolder();
    QDir().mkpath(folder);
    if (!SD) {
        SD = new QFileDialog(this);
        SD->setObjectName(QStringLiteral("SD"));
        SD->setWindowTitle(QStringLiteral("Save settings"));
        SD->setNameFilter(QStringLiteral("Settings file (*.zvst)"));
        SD->setDefaultSuffix(QStringLiteral("zvst"));
        SD->setAcceptMode(QFileDialog::AcceptSave);
        SD->setFileMode(QFileDialog::AnyFile);
        SD->setOption(QFileDialog::DontConfirmOverwrite, true);
    }
    SD->setDirectory(folder);

    QString fileName = zorp::RunSaveDialog(SD);
    if (!fileName.isEmpty()) {
        if (QFileInfo(fileName).isRelative())
            fileName = QDir(folder).filePath(fileName);
        if (QFileInfo(fileName).suffix().isEmpty())
            fileName += QStringLiteral(".zvst");

        TIniFile ini(fileName);
        WriteProfile(ini);
        if (OnProfileSave)
            OnProfileSave(ini);
        // One atomic replacement: a failed save leaves the old file whole.
        if (!ini.UpdateFile())
            throw EFileWriteError(fileName);
    }
    LoadSettingsList();
}

void TfrmModbusMaster::WriteProfile(TIniFile& ini) const
{
    ini.WriteString(kAddress, QStringLiteral("Start"), profileValue(ProfileStart(leStartAddress->text(), true)));
    ini.WriteString(kAddress, QStringLiteral("Length"), profileValue(leLength->text()));
    ini.WriteString(kAddress, QStringLiteral("SlaveID"), profileValue(leSlaveID->text()));
    ini.WriteString(kAddress, QStringLiteral("Func"), cbFunc->currentIndex() >= 0 ? cbFunc->currentText() : QString());
    for (int r = 1; r < sgData->RowCount(); ++r) {
        const QString key = QString::number(r);
        ini.WriteString(kDataType, key, profileValue(sgData->Cells(kDataTypeCol, r)));
        ini.WriteString(kDescription, key, profileValue(sgData->Cells(kDescriptionCol, r)));
    }
}

void TfrmModbusMaster::btnLoadSettingsClick(QObject*)
{
    const QString name = cbSettings->currentText();
    if (name.isEmpty())
        throw EAppError(QStringLiteral("No settings file is chosen: pick one in the list beside \"Load Settings\" first"));
    const TIniFile ini(QDir(zorp::ProfilesFolder()).filePath(name));
    ReadProfile(ini);
    if (OnProfileLoad)
        OnProfileLoad(ini);
}

void TfrmModbusMaster::ReadProfile(const TIniFile& ini)
{
    leStartAddress->setText(ProfileStart(ini.ReadString(kAddress, QStringLiteral("Start"), QStringLiteral("1")), false));
    const QString length = ini.ReadString(kAddress, QStringLiteral("Length"), QStringLiteral("1"));
    leLength->setText(length);
    leSlaveID->setText(ini.ReadString(kAddress, QStringLiteral("SlaveID"), QStringLiteral("1")));
    const QString func = ini.ReadString(kAddress, QStringLiteral("Func"), QStringLiteral("03: Read Holding Registers"));
    int index = -1;
    for (int i = 0; i < cbFunc->count(); ++i)
        if (cbFunc->itemText(i).compare(func, Qt::CaseInsensitive) == 0) {
            index = i;
            break;
        }
    cbFunc->setCurrentIndex(index);

    // The Length as the file holds it (the field may have cut it to its
    // three characters).
    const int n = StrToInt(length);
    if (n < 0 || n > kMaxProfileLength)
        throw EAppError(QStringLiteral("Length %1 is out of range (0 to %2)").arg(length).arg(kMaxProfileLength));
    sgData->SetRowCount(n + 1);
    FillAddresses();
    for (int r = 1; r < sgData->RowCount(); ++r) {
        const QString key = QString::number(r);
        sgData->SetCells(kDataTypeCol, r, ini.ReadString(kDataType, key, QString()));
        sgData->SetCells(kDescriptionCol, r, ini.ReadString(kDescription, key, QString()));
    }
    UpdateRowColors();
}

void TfrmModbusMaster::StorageCreate()
{
    frmStorage = new TFormStorage(this);
    frmStorage->setObjectName(QStringLiteral("frmStorage"));
    frmStorage->IniFileName = zorp::ConfigFolder() + QStringLiteral("/setings.ini");
    frmStorage->IniSection = QStringLiteral("TfrmModbusMaster");
    auto text = [this](const char* key, TLabeledEdit* e) {
        frmStorage->AddStoredText(
            QLatin1String(key), [e] { return e->text(); }, [e](const QString& v) { e->setText(v); });
    };
    text("leCOM_Text", leCOM);
    text("leDataBits_Text", leDataBits);
    text("leIP_Text", leIP);
    text("leParity_Text", leParity);
    text("lePort_Text", lePort);
    text("leSpeed_Text", leSpeed);
    text("leStopBits_Text", leStopBits);
    frmStorage->AddStoredInteger(
        QStringLiteral("rgModbusMode_ItemIndex"), [this] { return rgModbusMode->ItemIndex(); },
        [this](int v) {
            // Out-of-range items are clamped: below -1 none, past the last
            // item the last one.
            const int last = rgModbusMode->Count() - 1;
            rgModbusMode->SetItemIndex(v < -1 ? -1 : (v > last ? last : v));
        });
}

void TfrmModbusMaster::StorageRestore()
{
    if (frmStorage)
        frmStorage->RestoreFormPlacement();
    // A place stored on a larger screen is brought onto a small one.
    if (ClientScroll && windowState() == Qt::WindowNoState)
        FitToScreen();
    LoadLastLayout();
}

QString TfrmModbusMaster::LastLayoutFileName() const
{
    return zorp::ConfigFolder() + QStringLiteral("/LastLayout.zvst");
}

void TfrmModbusMaster::SaveLastLayout()
{
    if (!FOptions.KeepLayout)
        return;
    // Keys of rows beyond the Length saved stay in the file, unread.
    TIniFile ini(LastLayoutFileName());
    WriteProfile(ini);
    if (!ini.UpdateFile())
        throw EFileWriteError(LastLayoutFileName());
}

void TfrmModbusMaster::LoadLastLayout()
{
    if (!FOptions.KeepLayout || !QFileInfo::exists(LastLayoutFileName()))
        return;
    // A damaged file leaves what it could set; the start goes on without a word.
    try {
        ReadProfile(TIniFile(LastLayoutFileName()));
    } catch (...) {
    }
}

void TfrmModbusMaster::StorageSave(bool AtClose)
{
    // Only after a restore in this run; the destructor writes only when no
    // close wrote successfully before (a failed write at closing is tried
    // once more there).
    if (!frmStorage || !frmStorage->Restored())
        return;
    // Another connection window of this program, or another program
    // holding the settings: nothing is stored.
    if (!FKeepsSettings || !zorp::OwnsSettings())
        return;
    if (!AtClose && frmStorage->Saved())
        return;
    frmStorage->SaveFormPlacement(AtClose);
    SaveLastLayout();
}
