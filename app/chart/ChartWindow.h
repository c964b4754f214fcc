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
#include <vector>

#include "ChartRecorder.h"

class QAction;
class QMenu;
class QTimer;
class QCustomPlot;
class QCPAxis;
class QCPItemStraightLine;
class QCPItemText;
class QCPItemTracer;
class QCPLayer;

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
    QAction* actAxisShared = nullptr;     // one value axis for every series (the default)
    QAction* actAxisPerSeries = nullptr;  // an axis of its own per series, in its colour
    QAction* actAxisNormalised = nullptr; // each series scaled to its own range, 0 to 1

    enum class TAxisMode { Shared, PerSeries, Normalised };
    TAxisMode AxisMode() const { return FAxisMode; }
    void SetAxisMode(TAxisMode Mode);
    // The value axis series i is drawn on.
    QCPAxis* ValueAxis(int i) const;

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

    // The cursor at a point of the plot (widget coordinates): the line at
    // its time and the tracer on the nearest point of any series; hidden
    // outside the axes or without points.
    void ShowCursorAt(const QPoint& Pos);
    void HideCursor();
    bool CursorVisible() const;
    // What the cursor label reads: "Name", then "time  value".
    QString CursorText() const;
    // The series the tracer is on (-1: none).
    int CursorSeries() const { return FCursorSeries; }

    double LastRedrawMs() const { return FLastRedrawMs; }
    int Redraws() const { return FRedraws; }

protected:
    void showEvent(QShowEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void SetupAxisMenu();
    void SetupCursor();
    // Makes the value axes the mode asks for (graphs cleared first).
    void MakeValueAxes();
    // The legend in as many columns as fit the plot's width.
    void FitLayout();
    // A recorded value as drawn on the series' axis (normalised or not).
    double Drawn(int i, double Value) const;
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
    TAxisMode FAxisMode = TAxisMode::Shared;
    std::vector<QCPAxis*> FValueAxes; // per series in PerSeries mode, else empty
    QCPLayer* FCursorLayer = nullptr;
    QCPItemStraightLine* FCursorLine = nullptr;
    QCPItemTracer* FTracer = nullptr;
    QCPItemText* FCursorLabel = nullptr;
    int FCursorSeries = -1;
    int FLegendWrap = 0;
};
