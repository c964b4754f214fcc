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

#include "GridFreshness.h"
#include "Poll.h"
#include "RegisterGrid.h"

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
    // A window with the frames of this poll's transactions.
    void ShowFrames();
    QPointer<QDialog> FFramesDialog;
    // The grid's register at a row (unit, function, address, type).
    TRegisterKey KeyOfRow(int Row);

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
};
