// SPDX-License-Identifier: GPL-3.0-or-later
// Main window: data out. The log saved as text, the grid exported as CSV,
// and what a copy of grid cells gives.
#include "uMaster.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringConverter>

#include "AppErrors.h"
#include "CommLog.h"
#include "FormStorage.h"
#include "StringGrid.h"
#include "ValueDecoding.h"

namespace {
// Asks for a file name with a save dialog of its own (the tests' hook answers
// instead of the user); empty when cancelled.
QString askFileName(QWidget* parent, const QString& title, const QString& filter, const QString& suffix,
                    const QString& folder)
{
    QFileDialog dlg(parent);
    // The folder this dialog was last used in, when it is still there.
    if (!folder.isEmpty() && QFileInfo(folder).isDir())
        dlg.setDirectory(folder);
    dlg.setWindowTitle(title);
    dlg.setNameFilter(filter);
    dlg.setDefaultSuffix(suffix);
    dlg.setAcceptMode(QFileDialog::AcceptSave);
    dlg.setFileMode(QFileDialog::AnyFile);
    return zorp::RunSaveDialog(&dlg);
}
} // namespace

QString TfrmModbusMaster::CellDisplayText(int ACol, int ARow) const { return FGridView.DisplayText(ACol, ARow); }

QString TfrmModbusMaster::LogFileText() const
{
    QString out;
    for (int i = 0; i < REComm->LineCount(); ++i) {
        const QColor c = REComm->LineColor(i);
        const char* mark = c == QColor(255, 0, 0) ? "TX " : c == QColor(0, 0, 255) ? "RX " : "ERR ";
        out += QLatin1String(mark) + REComm->LineText(i) + u'\n';
    }
    return out;
}

QString TfrmModbusMaster::GridCsvText() const { return FGridView.CsvText(); }

void TfrmModbusMaster::WriteTextFile(const QString& fileName, const QString& text)
{
    QSaveFile f(fileName);
    if (!f.open(QIODevice::WriteOnly))
        throw EFileWriteError(fileName);
    const QByteArray bytes = text.toUtf8();
    if (f.write(bytes) != bytes.size() || !f.commit())
        throw EFileWriteError(fileName);
}

void TfrmModbusMaster::SaveTextAs(const QString& title, const QString& filter, const QString& suffix,
                                  QString TTesterOptions::*folder, const QString& text)
{
    const QString name = askFileName(this, title, filter, suffix, FOptions.*folder);
    if (name.isEmpty())
        return;
    WriteTextFile(name, text);
    RememberFolder(folder, name);
}

void TfrmModbusMaster::actSaveLogExecute(QObject*)
{
    // The text is taken before the dialog: what was shown when asked is saved.
    SaveTextAs(QStringLiteral("Save log as"), QStringLiteral("Text file (*.txt);;All files (*)"),
               QStringLiteral("txt"), &TTesterOptions::LogFolder, LogFileText());
}

void TfrmModbusMaster::actExportCsvExecute(QObject*)
{
    SaveTextAs(QStringLiteral("Export grid as CSV"), QStringLiteral("CSV file (*.csv);;All files (*)"),
               QStringLiteral("csv"), &TTesterOptions::CsvFolder, GridCsvText());
}
