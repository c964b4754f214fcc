// SPDX-License-Identifier: GPL-3.0-or-later
// The chart window: QCustomPlot over the recorder's series.
#include "ChartWindow.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QMenu>
#include <QMenuBar>
#include <QTimer>
#include <QToolBar>
#include <algorithm>
#include <cmath>

#include "AppErrors.h"
#include "qcustomplot.h"

namespace {

constexpr int kMinRedrawIntervalMs = 200;
constexpr int kMaxRedrawIntervalMs = 2000;
// A redraw may take at most about one part in this many of the time: in a
// fast Real-time run every part of the processor the chart takes is one the
// polling does not have.
constexpr double kRedrawShare = 50;
constexpr int kInteractionRedrawMs = 30;

QString NumberText(double v) { return QString::number(v, 'g', 8); }

} // namespace

TfrmChart::TfrmChart(TChartRecorder& Recorder, QWidget* parent) : QMainWindow(parent), FRecorder(Recorder)
{
    setObjectName(QStringLiteral("frmChart"));
    setWindowFlag(Qt::Window, true);
    setWindowTitle(QStringLiteral("Chart"));
    resize(900, 520);

    Plot = new QCustomPlot(this);
    Plot->setObjectName(QStringLiteral("Plot"));
    setCentralWidget(Plot);
    Plot->setInteractions(QCP::iRangeDrag | QCP::iRangeZoom);
    Plot->setNoAntialiasingOnDrag(true);
    auto ticker = QSharedPointer<QCPAxisTickerDateTime>::create();
    ticker->setDateTimeSpec(Qt::LocalTime);
    Plot->xAxis->setTicker(ticker);
    Plot->xAxis->setLabel(QStringLiteral("Time"));
    Plot->yAxis->setLabel(QStringLiteral("Value"));
    UpdateTimeFormat();
    connect(Plot->xAxis, qOverload<const QCPRange&>(&QCPAxis::rangeChanged), this,
            [this](const QCPRange&) { UpdateTimeFormat(); });

    // The legend in a row of its own below the axes, four entries a line.
    Plot->legend->setVisible(true);
    QFont lf = font();
    lf.setPointSizeF(std::max(7.0, lf.pointSizeF() - 1));
    Plot->legend->setFont(lf);
    Plot->plotLayout()->addElement(1, 0, Plot->legend);
    Plot->plotLayout()->setRowStretchFactor(1, 0.001);
    Plot->legend->setFillOrder(QCPLayoutGrid::foColumnsFirst);
    Plot->legend->setWrap(4);
    Plot->legend->setMargins(QMargins(4, 2, 4, 2));
    Plot->plotLayout()->setMargins(QMargins(0, 0, 0, 4));
    Plot->legend->setBorderPen(Qt::NoPen);

    // The user's own range: wheel and drag end auto-scaling; a double-click
    // brings it back.
    connect(Plot, &QCustomPlot::mousePress, this, [this](QMouseEvent* e) {
        if (e->button() == Qt::LeftButton) SetAutoScale(false);
    });
    connect(Plot, &QCustomPlot::mouseWheel, this, [this](QWheelEvent*) {
        SetAutoScale(false);
        ScheduleRedraw(kInteractionRedrawMs);
    });
    // The drawn points cover the view and as much again on either side: after
    // a drag or zoom they are taken anew for the new view.
    connect(Plot, &QCustomPlot::mouseRelease, this, [this](QMouseEvent*) { ScheduleRedraw(kInteractionRedrawMs); });
    connect(Plot, &QCustomPlot::mouseDoubleClick, this, [this](QMouseEvent*) {
        SetAutoScale(true);
        Redraw();
    });

    actCopy = new QAction(QStringLiteral("&Copy picture"), this);
    actCopy->setShortcut(QKeySequence::Copy);
    actCopy->setShortcutContext(Qt::WindowShortcut);
    connect(actCopy, &QAction::triggered, this, [this] { RunGuarded([this] { CopyPicture(); }); });
    actSavePng = new QAction(QStringLiteral("&Save as PNG..."), this);
    actSavePng->setShortcut(QKeySequence::Save);
    connect(actSavePng, &QAction::triggered, this, [this] { RunGuarded([this] { SavePngAsked(); }); });
    actPause = new QAction(QStringLiteral("&Pause"), this);
    actPause->setCheckable(true);
    actPause->setShortcut(QKeySequence(Qt::Key_Space));
    connect(actPause, &QAction::toggled, this, [this](bool on) {
        if (!on) Redraw();
    });
    actAutoScale = new QAction(QStringLiteral("&Auto-scale"), this);
    actAutoScale->setCheckable(true);
    actAutoScale->setChecked(true);
    connect(actAutoScale, &QAction::toggled, this, [this](bool on) {
        if (on) Redraw();
    });
    actRemoveAll = new QAction(QStringLiteral("Remove &all series"), this);
    connect(actRemoveAll, &QAction::triggered, this, [this] {
        if (OnRemove) RunGuarded([this] { OnRemove(0); });
    });
    auto* actClose = new QAction(QStringLiteral("C&lose"), this);
    actClose->setShortcut(QKeySequence::Close);
    connect(actClose, &QAction::triggered, this, &QWidget::close);

    mnuChart = menuBar()->addMenu(QStringLiteral("&Chart"));
    mnuChart->addAction(actCopy);
    mnuChart->addAction(actSavePng);
    mnuChart->addSeparator();
    mnuChart->addAction(actPause);
    mnuChart->addAction(actAutoScale);
    SetupAxisMenu();
    mnuChart->addSeparator();
    mnuRemove = mnuChart->addMenu(QStringLiteral("&Remove series"));
    connect(mnuRemove, &QMenu::aboutToShow, this, [this] { FillRemoveMenu(); });
    mnuChart->addAction(actRemoveAll);
    mnuChart->addSeparator();
    mnuChart->addAction(actClose);

    auto* tools = addToolBar(QStringLiteral("Chart"));
    tools->setObjectName(QStringLiteral("tbChart"));
    tools->setMovable(false);
    tools->addAction(actPause);
    tools->addAction(actAutoScale);
    tools->addAction(actCopy);

    SetupCursor();

    FRedrawTimer = new QTimer(this);
    FRedrawTimer->setSingleShot(true);
    connect(FRedrawTimer, &QTimer::timeout, this, [this] { RunGuarded([this] { Redraw(); }); });
}

bool TfrmChart::Paused() const { return actPause->isChecked(); }
void TfrmChart::SetPaused(bool On) { actPause->setChecked(On); }
bool TfrmChart::AutoScale() const { return actAutoScale->isChecked(); }
void TfrmChart::SetAutoScale(bool On) { actAutoScale->setChecked(On); }

void TfrmChart::SeriesChanged()
{
    HideCursor();
    Plot->clearGraphs();
    MakeValueAxes();
    const auto& series = FRecorder.Series();
    for (size_t i = 0; i < series.size(); ++i) {
        const TChartSeries& s = series[i];
        QCPGraph* g = Plot->addGraph(Plot->xAxis, ValueAxis(int(i)));
        QPen pen(s.Color);
        pen.setWidth(1);
        g->setPen(pen);
        g->setLineStyle(s.Step ? QCPGraph::lsStepLeft : QCPGraph::lsLine);
        g->setAdaptiveSampling(true);
        g->setName(LegendText(int(i)));
    }
    Redraw();
}

void TfrmChart::DataAdded()
{
    // A redraw on its way comes no later than this one would: its interval
    // follows the last redraw's time, which only a redraw changes, and the
    // other redraws are asked for sooner. Asking the timer how long it has
    // left, thousands of times a second, would cost more than the points.
    if (Paused() || FRedrawTimer->isActive()) return;
    ScheduleRedraw(int(std::clamp(FLastRedrawMs * kRedrawShare, double(kMinRedrawIntervalMs),
                                  double(kMaxRedrawIntervalMs))));
}

void TfrmChart::ScheduleRedraw(int Ms)
{
    if (!isVisible()) return;
    if (FRedrawTimer->isActive() && FRedrawTimer->remainingTime() <= Ms) return;
    FRedrawTimer->start(Ms);
}

QString TfrmChart::LegendText(int i) const
{
    const TChartSeries& s = FRecorder.Series()[size_t(i)];
    QString name = SeriesName ? SeriesName(s.Row) : QStringLiteral("Address %1").arg(s.Row);
    if (!s.HasValue) return name;
    return QStringLiteral("%1  %2  (min %3, max %4)")
        .arg(name, NumberText(s.Last), NumberText(s.Min), NumberText(s.Max));
}

void TfrmChart::ApplyAutoScale()
{
    double keyLo = 0, keyHi = 0, valueLo = 0, valueHi = 0;
    bool anyKey = false, anyValue = false;
    const auto& series = FRecorder.Series();
    auto withMargin = [](QCPAxis* axis, double lo, double hi) {
        double margin = (hi - lo) * 0.05;
        if (!(margin > 0)) margin = std::max(1.0, std::abs(hi) * 0.05);
        axis->setRange(lo - margin, hi + margin);
    };
    for (size_t i = 0; i < series.size(); ++i) {
        const TChartPoints& d = series[i].Points;
        if (!d.empty()) {
            const double lo = d.front().key, hi = d.back().key;
            keyLo = anyKey ? std::min(keyLo, lo) : lo;
            keyHi = anyKey ? std::max(keyHi, hi) : hi;
            anyKey = true;
        }
        double lo = 0, hi = 0;
        if (FRecorder.ValueRange(int(i), lo, hi)) {
            if (FAxisMode == TAxisMode::PerSeries && int(i) < int(FValueAxes.size()))
                withMargin(FValueAxes[i], lo, hi);
            valueLo = anyValue ? std::min(valueLo, lo) : lo;
            valueHi = anyValue ? std::max(valueHi, hi) : hi;
            anyValue = true;
        }
    }
    if (anyKey) {
        if (keyHi - keyLo < 1) keyHi = keyLo + 1; // a single point: one second around it
        Plot->xAxis->setRange(keyLo, keyHi);
    }
    if (FAxisMode == TAxisMode::Normalised) Plot->yAxis->setRange(-0.05, 1.05);
    else if (anyValue && FAxisMode == TAxisMode::Shared) withMargin(Plot->yAxis, valueLo, valueHi);
}

void TfrmChart::UpdateTimeFormat()
{
    const double span = Plot->xAxis->range().size();
    QString format = QStringLiteral("hh:mm:ss");
    if (span < 20) format = QStringLiteral("hh:mm:ss.zzz");
    else if (span > 2 * 86400) format = QStringLiteral("dd.MM. hh:mm");
    if (format == FTimeFormat) return;
    FTimeFormat = format;
    static_cast<QCPAxisTickerDateTime*>(Plot->xAxis->ticker().data())->setDateTimeFormat(format);
}

void TfrmChart::Redraw()
{
    FRedrawTimer->stop();
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < Plot->graphCount() && i < int(FRecorder.Series().size()); ++i)
        Plot->graph(i)->setName(LegendText(i));
    FitLayout();
    if (AutoScale()) ApplyAutoScale();
    // Each graph draws the points of the view and as much again on either
    // side, thinned to a few per pixel column.
    const QCPRange view = Plot->xAxis->range();
    const int pixels = std::max(1, Plot->axisRect()->width());
    QVector<QCPGraphData> points;
    for (int i = 0; i < Plot->graphCount() && i < int(FRecorder.Series().size()); ++i) {
        FRecorder.Thinned(i, view.lower - view.size(), view.upper + view.size(), 3 * pixels, points);
        double lo = 0, hi = 0;
        if (FAxisMode == TAxisMode::Normalised && FRecorder.ValueRange(i, lo, hi)) {
            // Each series over its own kept range: its minimum at 0, its maximum at 1.
            const double span = hi - lo;
            for (QCPGraphData& p : points) p.value = span > 0 ? (p.value - lo) / span : 0.5;
        }
        Plot->graph(i)->data()->set(points, true);
    }
    Plot->replot(QCustomPlot::rpImmediateRefresh);
    FLastRedrawMs = double(t.nsecsElapsed()) / 1e6;
    ++FRedraws;
}

void TfrmChart::showEvent(QShowEvent* e)
{
    QMainWindow::showEvent(e);
    Redraw();
}

void TfrmChart::FillRemoveMenu()
{
    mnuRemove->clear();
    for (const TChartSeries& s : FRecorder.Series()) {
        const int row = s.Row;
        QPixmap swatch(12, 12);
        swatch.fill(s.Color);
        QAction* a = mnuRemove->addAction(QIcon(swatch), SeriesName ? SeriesName(row) : QString::number(row));
        connect(a, &QAction::triggered, this, [this, row] {
            if (OnRemove) RunGuarded([this, row] { OnRemove(row); });
        });
    }
    mnuRemove->setEnabled(!FRecorder.Series().empty());
}

QPixmap TfrmChart::Picture() { return Plot->toPixmap(); }

void TfrmChart::CopyPicture() { QApplication::clipboard()->setPixmap(Picture()); }

bool TfrmChart::SavePng(const QString& FileName) { return Plot->savePng(FileName); }

void TfrmChart::SavePngAsked()
{
    const QString name = QFileDialog::getSaveFileName(this, QStringLiteral("Save chart as PNG"), FLastPngFolder,
                                                      QStringLiteral("PNG image (*.png)"));
    if (name.isEmpty()) return;
    QString file = name;
    if (QFileInfo(file).suffix().isEmpty()) file += QStringLiteral(".png");
    FLastPngFolder = QFileInfo(file).absolutePath();
    if (!SavePng(file)) throw EFileWriteError(file);
}
