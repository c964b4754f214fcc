#include "StringGrid.h"

#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>

TStringGrid::TStringGrid(QWidget* parent) : QAbstractScrollArea(parent)
{
    FColWidths.assign(FColCount, 64);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    viewport()->setMouseTracking(true);
    viewport()->setAutoFillBackground(false);
    UpdateScrollBars();
}

void TStringGrid::SetColCount(int n)
{
    if (n < 1) n = 1;
    FColCount = n;
    FColWidths.resize(n, 64);
    UpdateScrollBars();
    InvalidateGrid();
}

void TStringGrid::SetRowCount(int n)
{
    if (n < 1) n = 1;
    if (n == FRowCount) return;
    FRowCount = n;
    UpdateScrollBars();
    InvalidateGrid();
}

void TStringGrid::SetFixedRows(int n) { FFixedRows = std::max(0, n); InvalidateGrid(); }
void TStringGrid::SetFixedCols(int n) { FFixedCols = std::max(0, n); InvalidateGrid(); }

QString TStringGrid::Cells(int col, int row) const
{
    if (row < 0 || col < 0 || row >= static_cast<int>(FCells.size())) return {};
    const auto& r = FCells[row];
    return col < static_cast<int>(r.size()) ? r[col] : QString();
}

void TStringGrid::SetCells(int col, int row, const QString& text)
{
    if (row < 0 || col < 0) return;
    if (row >= static_cast<int>(FCells.size())) {
        if (text.isEmpty()) return;
        FCells.resize(row + 1);
    }
    auto& r = FCells[row];
    if (col >= static_cast<int>(r.size())) {
        if (text.isEmpty()) return;
        r.resize(col + 1);
    }
    if (r[col] == text) return;
    r[col] = text;
    if (row < FRowCount && col < FColCount) InvalidateCell(col, row);
}

int TStringGrid::ColWidths(int col) const
{
    return col >= 0 && col < FColCount ? FColWidths[col] : 0;
}

void TStringGrid::SetColWidths(int col, int width)
{
    if (col < 0 || col >= FColCount) return;
    FColWidths[col] = std::max(0, width);
    UpdateScrollBars();
    InvalidateGrid();
}

void TStringGrid::SetDefaultRowHeight(int h)
{
    FRowHeight = std::max(1, h);
    UpdateScrollBars();
    InvalidateGrid();
}

int TStringGrid::ColLeft(int col) const
{
    int x = 0;
    for (int c = 0; c < col && c < FColCount; ++c) {
        x += FColWidths[c] + GridLineWidth();
    }
    if (col >= FFixedCols) x -= horizontalScrollBar()->value();
    return x;
}

int TStringGrid::RowTop(int row) const
{
    int y = row * (FRowHeight + GridLineWidth());
    if (row >= FFixedRows) y -= verticalScrollBar()->value() * (FRowHeight + GridLineWidth());
    return y;
}

QRect TStringGrid::CellRect(int col, int row) const
{
    if (col < 0 || row < 0 || col >= FColCount || row >= FRowCount) return {};
    return QRect(ColLeft(col), RowTop(row), FColWidths[col], FRowHeight);
}

bool TStringGrid::MouseToCell(const QPoint& pos, int& col, int& row) const
{
    col = row = -1;
    for (int r = 0; r < FRowCount; ++r) {
        if (r >= FFixedRows && r < FFixedRows + verticalScrollBar()->value()) continue;
        QRect rr(0, RowTop(r), 1, FRowHeight + GridLineWidth());
        if (pos.y() >= rr.top() && pos.y() < rr.top() + rr.height()) { row = r; break; }
    }
    for (int c = 0; c < FColCount; ++c) {
        int left = ColLeft(c);
        if (pos.x() >= left && pos.x() < left + FColWidths[c] + GridLineWidth()) { col = c; break; }
    }
    return col >= 0 && row >= 0;
}

void TStringGrid::InvalidateCell(int col, int row)
{
    QRect r = CellRect(col, row);
    if (!r.isEmpty()) viewport()->update(r.adjusted(0, 0, 1, 1));
}

void TStringGrid::InvalidateRow(int row)
{
    viewport()->update(QRect(0, RowTop(row), viewport()->width(), FRowHeight + GridLineWidth()));
}

void TStringGrid::InvalidateGrid() { viewport()->update(); }

void TStringGrid::UpdateScrollBars()
{
    const int step = FRowHeight + GridLineWidth();
    int fixedH = FFixedRows * step;
    int visibleRows = std::max(1, (viewport()->height() - fixedH) / step);
    int scrollRows = std::max(0, FRowCount - FFixedRows - visibleRows);
    verticalScrollBar()->setRange(0, scrollRows);
    verticalScrollBar()->setPageStep(visibleRows);
    int total = 0;
    int fixedW = 0;
    for (int c = 0; c < FColCount; ++c) {
        total += FColWidths[c] + GridLineWidth();
        if (c < FFixedCols) fixedW = total;
    }
    horizontalScrollBar()->setRange(0, std::max(0, total - viewport()->width()));
    horizontalScrollBar()->setPageStep(std::max(1, viewport()->width() - fixedW));
}

void TStringGrid::paintEvent(QPaintEvent*)
{
    QPainter p(viewport());
    p.fillRect(viewport()->rect(), Qt::white);
    const int firstScrollRow = FFixedRows + verticalScrollBar()->value();
    auto paintCell = [&](int c, int r) {
        QRect rect = CellRect(c, r);
        if (rect.isEmpty() || !rect.intersects(viewport()->rect())) return;
        p.save();
        p.setClipRect(rect);
        if (OnDrawCell) OnDrawCell(this, p, c, r, rect);
        p.restore();
        if (VertLines && c >= FFixedCols && r >= FFixedRows) {
            p.setPen(QColor(192, 192, 192));
            p.drawLine(rect.right() + 1, rect.top(), rect.right() + 1, rect.bottom() + 1);
        }
    };
    for (int r = firstScrollRow; r < FRowCount; ++r) {
        if (RowTop(r) > viewport()->height()) break;
        for (int c = FFixedCols; c < FColCount; ++c) paintCell(c, r);
        for (int c = 0; c < FFixedCols; ++c) paintCell(c, r);
    }
    for (int r = 0; r < FFixedRows && r < FRowCount; ++r)
        for (int c = 0; c < FColCount; ++c) paintCell(c, r);
}

void TStringGrid::resizeEvent(QResizeEvent* event)
{
    QAbstractScrollArea::resizeEvent(event);
    UpdateScrollBars();
}

int TStringGrid::ColumnBorderAt(int x) const
{
    for (int c = 0; c < FColCount; ++c) {
        int right = ColLeft(c) + FColWidths[c];
        if (x >= right - 2 && x <= right + 3) return c;
    }
    return -1;
}

void TStringGrid::mousePressEvent(QMouseEvent* event)
{
    const QPoint pos = event->position().toPoint();
    if (ColSizing && event->button() == Qt::LeftButton && pos.y() < FFixedRows * (FRowHeight + 1)) {
        int c = ColumnBorderAt(pos.x());
        if (c >= 0) {
            FSizingCol = c;
            FSizingStartX = pos.x();
            FSizingStartWidth = FColWidths[c];
            return;
        }
    }
    if (OnMouseDown) OnMouseDown(this, event->button(), event->modifiers(), pos.x(), pos.y());
}

void TStringGrid::mouseMoveEvent(QMouseEvent* event)
{
    const QPoint pos = event->position().toPoint();
    if (FSizingCol >= 0) {
        SetColWidths(FSizingCol, std::max(1, FSizingStartWidth + pos.x() - FSizingStartX));
        return;
    }
    bool onBorder = ColSizing && pos.y() < FFixedRows * (FRowHeight + 1) && ColumnBorderAt(pos.x()) >= 0;
    viewport()->setCursor(onBorder ? Qt::SplitHCursor : Qt::ArrowCursor);
}

void TStringGrid::mouseReleaseEvent(QMouseEvent*)
{
    FSizingCol = -1;
}

void TStringGrid::scrollContentsBy(int, int)
{
    viewport()->update();
}
