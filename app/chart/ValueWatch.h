// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TValueWatch: the main window's chart and CSV logging of decoded Values.
// After every response the window renders (TfrmModbusMaster::OnValuesShown)
// it takes the numbers of the chosen rows from the answer (as their types
// decode them, scaled where a row has an engineering value; never the
// Value texts with their units and names): the recorder adds a point to
// each series and the logger writes one line.
//
// Rows are chosen with "Plot this row" in the grid's context menu and the
// window opened with View > "Chart" (actChart); File > "Log values to
// CSV..." (actLogCsv) starts logging to a file and, while logging, stops it. The
// chart's rows, their colours and the last log file go with a settings
// profile in the section [Chart].
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>
#include <vector>

#include "ChartRecorder.h"
#include "ChartWindow.h"

class QAction;
class QFileDialog;

class TfrmModbusMaster;
class TValueLogger;
namespace zorp {
class TIniFile;
struct TScaling;
}

class TValueWatch : public QObject {
public:
    explicit TValueWatch(TfrmModbusMaster* Owner);
    ~TValueWatch() override;

    TChartRecorder Recorder;
    TValueLogger* Logger = nullptr;

    QAction* actChart = nullptr;     // "Chart": shows the chart window
    QAction* actLogCsv = nullptr;    // "Log values to CSV...", checked while logging

    // The chart window, made on first use.
    TfrmChart* Chart();
    bool HasChart() const { return FChart; }
    void ShowChart();

    // Whether a row's Value is a number that can be plotted: a signed,
    // unsigned, floating-point or BIT row (not a continuation row).
    bool CanPlotRow(int Row) const;
    // Adds a series for the register the row stands for (KeyOfRow) and
    // shows the chart; a register already plotted is only shown. Throws EAppError for a row that cannot be plotted or
    // when the chart is full.
    void PlotRow(int Row);
    // Removes the series of Row; 0 removes all.
    void RemoveRow(int Row);
    // "Address N" for a row without a Description.
    QString RowName(int Row) const;
    // The name of the series with handle Handle: its row's name while the
    // grid shows its register, else the name it was given.
    QString SeriesName(int Handle) const;
    // The grid row that stands for Key now (the function box, the Slave ID
    // and the Address column), or 0.
    int CurrentRowOf(const TRegisterKey& Key) const;
    bool Plotted(const TRegisterKey& Key) const;

    // Every typed row: what a log takes when no series is plotted.
    QList<int> LogRows() const;
    // Starts logging the chart's registers, or else those of LogRows(), to
    // FileName; throws EAppError when the file cannot be written.
    void StartLogging(const QString& FileName);
    void StopLogging();
    bool Logging() const;
    // The menu entry: asks for a file and starts, or stops.
    void LogCsvClicked();
    QString LogFile;   // the file last logged to, offered again

    // After every response.
    void ResponseShown();
    // Whether a series' register is plotted from another window's answers
    // (a poll window's): the main window's answers then leave it alone.
    std::function<bool(const TRegisterKey& Key)> FedElsewhere;

    void SaveProfile(zorp::TIniFile& Ini) const;
    void LoadProfile(const zorp::TIniFile& Ini);

private:
    // Adds a series for the register of grid row Row.
    void AddSeries(int Row, const QColor& Color);
    void LoggingFailed(const QString& Message);
    void UpdateLogAction();
    // The engineering value of a row of the main window, or nullptr.
    const zorp::TScaling* ScalingOf(int Row) const;
    TfrmModbusMaster* FOwner;
    QPointer<TfrmChart> FChart;
    QFileDialog* FLogDialog = nullptr;
    // The registers the log's columns belong to.
    std::vector<TRegisterKey> FLogKeys;
    // The row that shows Key's value from the last answer, or 0.
    int AnsweredRowOf(const TRegisterKey& Key) const;
};
