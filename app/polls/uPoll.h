// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TfrmPoll: a poll window. Another poll on the link of the connection window
// that opened it (File > "New poll window"), with its own Slave ID,
// function, start address, length, Read, Real time and interval, a register
// grid that works as the main window's does (TRegisterGrid: types,
// decoding, editing, the write dialog, copy and CSV export) and its own
// counters. Its title names the link, unit, function and range; closing it
// ends that poll only.
#include <QDialog>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <functional>
#include <map>

#include "GridFreshness.h"
#include "Poll.h"
#include "RegisterGrid.h"
#include "AddressNotation.h"
#include "Scaling.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QMenu;
class QPushButton;
class TStatusBar;
class TStringGrid;
class TLinkScheduler;

class TfrmPoll : public QWidget {
    Q_OBJECT
public:
    // Parent: the connection window (the poll window goes with it).
    TfrmPoll(TLinkScheduler* Link, QWidget* Parent);
    ~TfrmPoll() override;

    TPoll* Poll = nullptr;

    QLineEdit* leSlaveID = nullptr;
    QComboBox* cbFunc = nullptr;
    QLineEdit* leStartAddress = nullptr;
    QLineEdit* leLength = nullptr;
    QLineEdit* leInterval = nullptr;
    QPushButton* btnRead = nullptr;
    QCheckBox* cbRealTime = nullptr;
    TStringGrid* sgData = nullptr;
    // Panels: 0 "Polls: ", 1 "Responses: ", 2 "Errors: " (its tooltip lists
    // the last errors).
    TStatusBar* sBar = nullptr;
    TRegisterGrid GridView{nullptr};

    // The settings into the fields and the grid (types and descriptions
    // included), and the fields and grid into the poll's settings.
    void SetSettings(const TPollSettings& s);
    TPollSettings CurrentSettings() const;
    // The fields as the poll's settings; throws EAppError for a field that
    // is not a number in range.
    void ApplyFields();
    void btnReadClick();
    // The window title: the program, the link and what the poll reads.
    QString TitleText() const;
    void UpdateTitle();
    // Writes the row's value (the write dialog); it waits for its turn.
    void WriteRowValue(int Row);
    QString CsvText() const { return GridView.CsvText(); }
    // The grid's context menu; a set hook chooses instead of the user.
    static inline std::function<QAction*(QMenu*)> GridMenuHook;
    // "Plot this row": set by the connection window (its chart).
    std::function<void(TfrmPoll*, int Row)> OnPlotRow;
    std::function<bool(TfrmPoll*, int Row)> CanPlotRow;
    // Asked for a file name by the CSV export (tests answer here).
    std::function<QString()> AskCsvFile;
    // "Load profile...": a settings profile of the connection window fills
    // the unit, function, start, length, rows and engineering values
    // (throws EAppError for a file that is not one). AskProfileFile
    // answers instead of the file dialog (tests).
    void LoadProfile(const QString& FileName);
    void LoadProfileClicked();
    std::function<QString()> AskProfileFile;
    // A window with the frames of this poll's transactions.
    void ShowFrames();
    QPointer<QDialog> FFramesDialog;
    // The grid's register at a row (unit, function, address, type).
    TRegisterKey KeyOfRow(int Row);
    // The row that shows Key's value from the last answer, or 0; the
    // number and the log text of that value (see TRegisterGrid::RowNumber).
    int AnsweredRowOf(const TRegisterKey& Key) const;
    bool NumberOf(const TRegisterKey& Key, double& Out) const;
    QString LogText(const TRegisterKey& Key) const;
    // The row's Description, else "Address " and its address.
    QString RowName(int Row) const;
    // "Log values to CSV..." (PollLog.h).
    class TPollLog* Log = nullptr;
    // How addresses are written (the connection window's Options >
    // "Addresses"); unset: the designed decimal numbers.
    std::function<zorp::TAddressNotation()> Notation;
    // An address in that notation, and the Start Address field read in it
    // (throws EAppError for a text that names no address).
    QString AddressText(int64_t Address) const;
    int StartField(const QString& Text) const;
    // The notation changed: the field and the Address column follow.
    void NotationChanged();
    // The dialog for a row's engineering value.
    void EditScaling(int Row);
    const std::map<int, zorp::TScaling>& Scalings() const { return FScaling; }
    void SetScalings(const std::map<int, zorp::TScaling>& Scaling);
    // A row's engineering value ("Engineering value..."), or nullptr.
    const zorp::TScaling* ScalingOf(int Row) const;
    void SetScaling(int Row, const zorp::TScaling& Scaling);

signals:
    // An answer was rendered into the grid.
    void ValuesShown();

protected:
    void closeEvent(QCloseEvent* e) override;

private:
    void CreateControls();
    void ShowCounters();
    void ShowAnswer();
    void Rows();
    void GridSourceChanged();
    void ContextMenu(const QPoint& pos);
    void ExportCsv();
    TGridFreshness FFresh;
    bool FSyncing = false;
    std::map<int, zorp::TScaling> FScaling;
    zorp::TAddressNotation CurrentNotation() const;
};
