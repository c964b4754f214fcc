// SPDX-License-Identifier: GPL-3.0-or-later
// The chart window's value axes (one shared, one per series, or normalised),
// the legend's columns and the cursor that reads time and value.
#include <QAction>
#include <QActionGroup>
#include <QDateTime>
#include <QMenu>
#include <QMouseEvent>
#include <algorithm>
#include <cmath>

#include "AppErrors.h"
#include "ChartWindow.h"
#include "qcustomplot.h"

namespace {

QString ValueText(double v) { return QString::number(v, 'g', 8); }

QString TimeText(double key)
{
    return QDateTime::fromMSecsSinceEpoch(qint64(std::llround(key * 1000.0))).toString(QStringLiteral("hh:mm:ss.zzz"));
}

} // namespace

void TfrmChart::SetupAxisMenu()
{
    QMenu* axes = mnuChart->addMenu(QStringLiteral("&Value axes"));
    auto* group = new QActionGroup(this);
    auto mode = [this, axes, group](const QString& text, TAxisMode m) {
        QAction* a = axes->addAction(text);
        a->setCheckable(true);
        group->addAction(a);
        connect(a, &QAction::triggered, this, [this, m] { RunGuarded([this, m] { SetAxisMode(m); }); });
        return a;
    };
    actAxisShared = mode(QStringLiteral("&One axis for all series"), TAxisMode::Shared);
    actAxisPerSeries = mode(QStringLiteral("An axis &per series"), TAxisMode::PerSeries);
    actAxisNormalised = mode(QStringLiteral("&Normalised (each series 0 to 1 over its range)"), TAxisMode::Normalised);
    actAxisShared->setChecked(true);
}

void TfrmChart::SetAxisMode(TAxisMode Mode)
{
    actAxisShared->setChecked(Mode == TAxisMode::Shared);
    actAxisPerSeries->setChecked(Mode == TAxisMode::PerSeries);
    actAxisNormalised->setChecked(Mode == TAxisMode::Normalised);
    if (Mode == FAxisMode) return;
    FAxisMode = Mode;
    // A view of other axes starts from the data again.
    SetAutoScale(true);
    SeriesChanged();
}

QCPAxis* TfrmChart::ValueAxis(int i) const
{
    return i >= 0 && size_t(i) < FValueAxes.size() ? FValueAxes[size_t(i)] : Plot->yAxis;
}

void TfrmChart::MakeValueAxes()
{
    QCPAxisRect* rect = Plot->axisRect();
    // Graphs were cleared by the caller: no graph draws on these any more.
    for (size_t i = 1; i < FValueAxes.size(); ++i) rect->removeAxis(FValueAxes[i]);
    FValueAxes.clear();
    Plot->yAxis->setLabel(FAxisMode == TAxisMode::Normalised
                              ? QStringLiteral("Normalised (0 = minimum, 1 = maximum of each series)")
                              : FAxisMode == TAxisMode::Shared ? QStringLiteral("Value") : QString());
    // The left axis looks like the time axis again (a series may have coloured it).
    Plot->yAxis->setBasePen(Plot->xAxis->basePen());
    Plot->yAxis->setTickPen(Plot->xAxis->tickPen());
    Plot->yAxis->setSubTickPen(Plot->xAxis->subTickPen());
    Plot->yAxis->setTickLabelColor(Plot->xAxis->tickLabelColor());
    QList<QCPAxis*> valueAxes{Plot->yAxis};
    if (FAxisMode == TAxisMode::PerSeries) {
        // The first series on the left axis, the others alternately right and
        // left of the plot, each in its series' colour.
        const auto& series = FRecorder.Series();
        for (size_t i = 0; i < series.size(); ++i) {
            QCPAxis* axis = i == 0 ? Plot->yAxis : rect->addAxis(i % 2 ? QCPAxis::atRight : QCPAxis::atLeft);
            const QPen pen(series[i].Color);
            axis->setBasePen(pen);
            axis->setTickPen(pen);
            axis->setSubTickPen(pen);
            axis->setTickLabelColor(series[i].Color);
            axis->setTickLabelFont(Plot->legend->font());
            axis->setPadding(2);
            // Compact: many of them share the window's width.
            axis->ticker()->setTickCount(4);
            axis->setSubTicks(false);
            axis->grid()->setVisible(i == 0);
            FValueAxes.push_back(axis);
            if (i > 0) valueAxes.append(axis);
        }
    }
    rect->setRangeDragAxes({Plot->xAxis}, valueAxes);
    rect->setRangeZoomAxes({Plot->xAxis}, valueAxes);
}

void TfrmChart::FitLayout()
{
    // Time labels far enough apart not to overlap, however narrow the plot.
    Plot->xAxis->ticker()->setTickCount(std::clamp(Plot->axisRect()->width() / 130, 2, 6));
    // As many legend columns as the widest entry lets fit, so that every entry shows.
    QCPLegend* legend = Plot->legend;
    int widest = 1;
    for (int i = 0; i < legend->itemCount(); ++i)
        if (QCPAbstractLegendItem* item = legend->item(i)) widest = std::max(widest, item->minimumOuterSizeHint().width());
    const QMargins m = legend->margins();
    const int width = Plot->width() - m.left() - m.right() - 8;
    const int wrap = std::clamp((width + legend->columnSpacing()) / (widest + legend->columnSpacing()), 1, 4);
    if (wrap == FLegendWrap) return;
    FLegendWrap = wrap;
    legend->setWrap(wrap);
    // The entries there already are laid out anew by the new wrap.
    legend->setFillOrder(legend->fillOrder(), true);
}

double TfrmChart::Drawn(int i, double Value) const
{
    double lo = 0, hi = 0;
    if (FAxisMode != TAxisMode::Normalised || !FRecorder.ValueRange(i, lo, hi)) return Value;
    return hi > lo ? (Value - lo) / (hi - lo) : 0.5;
}

void TfrmChart::SetupCursor()
{
    // The cursor on a layer of its own: moving it repaints that layer only,
    // not the graphs.
    Plot->addLayer(QStringLiteral("cursor"), Plot->layer(QStringLiteral("legend")), QCustomPlot::limAbove);
    FCursorLayer = Plot->layer(QStringLiteral("cursor"));
    FCursorLayer->setMode(QCPLayer::lmBuffered);
    FCursorLine = new QCPItemStraightLine(Plot);
    FCursorLine->setLayer(FCursorLayer);
    FCursorLine->setPen(QPen(QColor(90, 90, 90), 1, Qt::DashLine));
    FCursorLine->setClipToAxisRect(true);
    FTracer = new QCPItemTracer(Plot);
    FTracer->setLayer(FCursorLayer);
    FTracer->setStyle(QCPItemTracer::tsCircle);
    FTracer->setSize(9);
    FCursorLabel = new QCPItemText(Plot);
    FCursorLabel->setLayer(FCursorLayer);
    FCursorLabel->setClipToAxisRect(false);
    FCursorLabel->position->setType(QCPItemPosition::ptAbsolute);
    FCursorLabel->setPositionAlignment(Qt::AlignLeft | Qt::AlignTop);
    FCursorLabel->setTextAlignment(Qt::AlignLeft);
    FCursorLabel->setPadding(QMargins(4, 2, 4, 2));
    FCursorLabel->setBrush(QColor(255, 255, 225, 235));
    FCursorLabel->setPen(QPen(QColor(120, 120, 120)));
    FCursorLabel->setColor(Qt::black);
    FCursorLabel->setFont(Plot->legend->font());
    for (QCPAbstractItem* item : std::initializer_list<QCPAbstractItem*>{FCursorLine, FTracer, FCursorLabel})
        item->setVisible(false);
    Plot->setMouseTracking(true);
    Plot->installEventFilter(this);
    connect(Plot, &QCustomPlot::mouseMove, this, [this](QMouseEvent* e) {
        // While dragging the view the cursor waits.
        if (e->buttons() != Qt::NoButton) return;
        RunGuarded([this, e] { ShowCursorAt(e->pos()); });
    });
}

bool TfrmChart::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == Plot && event->type() == QEvent::Leave) HideCursor();
    return QMainWindow::eventFilter(watched, event);
}

bool TfrmChart::CursorVisible() const { return FTracer->visible(); }

void TfrmChart::HideCursor()
{
    FCursorSeries = -1;
    if (!FTracer->visible() && !FCursorLine->visible()) return;
    for (QCPAbstractItem* item : std::initializer_list<QCPAbstractItem*>{FCursorLine, FTracer, FCursorLabel})
        item->setVisible(false);
    FCursorLayer->replot();
}

QString TfrmChart::CursorText() const { return FCursorLabel->visible() ? FCursorLabel->text() : QString(); }

void TfrmChart::ShowCursorAt(const QPoint& Pos)
{
    const QRect area = Plot->axisRect()->rect();
    if (!area.contains(Pos)) {
        HideCursor();
        return;
    }
    const double key = Plot->xAxis->pixelToCoord(Pos.x());
    // The series whose point nearest in time lies nearest to the cursor.
    int best = -1;
    double bestDistance = 0, bestKey = 0, bestValue = 0;
    const auto& series = FRecorder.Series();
    for (int i = 0; i < int(series.size()) && i < Plot->graphCount(); ++i) {
        const TChartPoints& pts = series[size_t(i)].Points;
        if (pts.empty()) continue;
        const int after = std::clamp(pts.LowerBound(key), 0, pts.size() - 1);
        const int before = std::max(0, after - 1);
        const QCPGraphData& p = std::abs(pts[before].key - key) <= std::abs(pts[after].key - key) ? pts[before] : pts[after];
        if (std::isnan(p.value)) continue;
        QCPAxis* axis = ValueAxis(i);
        const double dx = Plot->xAxis->coordToPixel(p.key) - Pos.x();
        const double dy = axis->coordToPixel(Drawn(i, p.value)) - Pos.y();
        const double distance = dx * dx + dy * dy;
        if (best < 0 || distance < bestDistance) {
            best = i;
            bestDistance = distance;
            bestKey = p.key;
            bestValue = p.value;
        }
    }
    FCursorLine->point1->setCoords(key, 0);
    FCursorLine->point2->setCoords(key, 1);
    FCursorLine->setVisible(true);
    FCursorSeries = best;
    QString text = TimeText(key);
    if (best >= 0) {
        QCPGraph* g = Plot->graph(best);
        FTracer->setGraph(nullptr);
        FTracer->position->setAxes(Plot->xAxis, ValueAxis(best));
        FTracer->position->setCoords(bestKey, Drawn(best, bestValue));
        FTracer->setPen(QPen(g->pen().color(), 2));
        FTracer->setVisible(true);
        const TChartSeries& s = series[size_t(best)];
        const QString name = SeriesName ? SeriesName(s.Row) : QStringLiteral("Row %1").arg(s.Row);
        text = name + u'\n' + TimeText(bestKey) + QStringLiteral("  ") + ValueText(bestValue);
    } else {
        FTracer->setVisible(false);
    }
    FCursorLabel->setText(text);
    // Beside the cursor, kept inside the plot.
    QPoint at = Pos + QPoint(12, 12);
    const QFontMetrics fm(FCursorLabel->font());
    const QSize size = fm.size(0, text) + QSize(10, 6);
    if (at.x() + size.width() > area.right()) at.rx() = Pos.x() - 12 - size.width();
    if (at.y() + size.height() > area.bottom()) at.ry() = Pos.y() - 12 - size.height();
    FCursorLabel->position->setCoords(at.x(), at.y());
    FCursorLabel->setVisible(true);
    FCursorLayer->replot();
}
