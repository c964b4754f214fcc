// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TfrmChart: a separate, resizable, non-modal window that plots the series
// of a TChartRecorder against the time of day.
//
// Axes scale themselves to all kept points (auto-scale, on at first); the
// mouse wheel zooms, dragging pans (both turn auto-scale off) and a
// double-click turns it on again. "Pause" freezes the view while the
// recorder goes on recording. Each redraw hands the plot the recorder's
// points for the view thinned to a few per pixel column
// (TChartRecorder::Thinned), so that its cost does not grow with the
// points kept. The legend shows each series' last value,
// minimum and maximum. Ctrl+C copies the chart as a picture; the Chart menu
// saves it as PNG.
//
// Redraws are paced: new data schedules one, at most five a second, and
// further apart when a redraw takes long, so that drawing never takes more
// than a small share of the time the polling has.
#include <QMainWindow>
#include <functional>

#include "ChartRecorder.h"

class QAction;
class QMenu;
class QTimer;
class QCustomPlot;

class TfrmChart : public QMainWindow {
public:
    TfrmChart(TChartRecorder& Recorder, QWidget* parent = nullptr);

    QCustomPlot* Plot = nullptr;
    QMenu* mnuChart = nullptr;
    QMenu* mnuRemove = nullptr;
    QAction* actCopy = nullptr;
    QAction* actSavePng = nullptr;
    QAction* actPause = nullptr;
    QAction* actAutoScale = nullptr;
    QAction* actRemoveAll = nullptr;

    // The name of the series of a grid row (set by the owner).
    std::function<QString(int Row)> SeriesName;
    // Called when the user removes the series of Row (0: all of them).
    std::function<void(int Row)> OnRemove;

    // The recorder's series were added, removed or recoloured.
    void SeriesChanged();
    // New points were recorded: schedules a redraw unless paused.
    void DataAdded();
    // Draws now (auto-scaling first when on), paused or not.
    void Redraw();

    bool Paused() const;
    void SetPaused(bool On);
    bool AutoScale() const;
    void SetAutoScale(bool On);

    // The legend entry of series i: "Name  last  (min … max)".
    QString LegendText(int i) const;
    // The chart as a picture, and as a PNG file (false when not written).
    QPixmap Picture();
    void CopyPicture();
    bool SavePng(const QString& FileName);

    double LastRedrawMs() const { return FLastRedrawMs; }
    int Redraws() const { return FRedraws; }

protected:
    void showEvent(QShowEvent* e) override;

private:
    void ApplyAutoScale();
    void ScheduleRedraw(int Ms);
    void UpdateTimeFormat();
    void FillRemoveMenu();
    void SavePngAsked();
    TChartRecorder& FRecorder;
    QTimer* FRedrawTimer = nullptr;
    double FLastRedrawMs = 0;
    int FRedraws = 0;
    QString FTimeFormat;
    QString FLastPngFolder;
};
