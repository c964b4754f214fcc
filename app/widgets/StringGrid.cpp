// SPDX-License-Identifier: GPL-3.0-or-later
#include "StringGrid.h"

#include <QClipboard>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QRegion>
#include <QScrollBar>

#include <algorithm>
#include <cstring>

namespace {
const QString kEmpty;
constexpr int kDefaultColWidth = 64;
} // namespace

TStringGrid::TStringGrid(QWidget* parent) : QAbstractScrollArea(parent)
{
    FColWidths.assign(FColCount, kDefaultColWidth);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setMouseTracking(true);
    // Every pixel is painted in paintEvent; the widget backing store double-buffers.
    viewport()->setAutoFillBackground(false);
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
    verticalScrollBar()->setSingleStep(1);
    horizontalScrollBar()->setSingleStep(16);
    UpdateScrollBars();
}

QSize TStringGrid::sizeHint() const { return QSize(320, 240); }

void TStringGrid::SetColCount(int n)
{
    n = std::max(1, n);
    if (n == FColCount) return;
    FColCount = n;
    FColWidths.resize(n, kDefaultColWidth);
    if (HasSelection() && std::max(FSelCol, FSelAnchorCol) >= n) {
        FSelAnchorCol = FSelAnchorRow = FSelCol = FSelRow = -1;
    }
    UpdateScrollBars();
    InvalidateGrid();
}

void TStringGrid::SetRowCount(int n)
{
    n = std::max(1, n);
    if (n == FRowCount) return;
    FRowCount = n;
    if (HasSelection() && std::max(FSelRow, FSelAnchorRow) >= n) {
        FSelAnchorCol = FSelAnchorRow = FSelCol = FSelRow = -1;
    }
    UpdateScrollBars();
    InvalidateGrid();
}

void TStringGrid::SetFixedRows(int n)
{
    FFixedRows = std::max(0, n);
    UpdateScrollBars();
    InvalidateGrid();
}

void TStringGrid::SetFixedCols(int n)
{
    FFixedCols = std::max(0, n);
    UpdateScrollBars();
    InvalidateGrid();
}

const QString& TStringGrid::CellRef(int col, int row) const
{
    if (row < 0 || col < 0 || row >= static_cast<int>(FCells.size())) return kEmpty;
    const auto& r = FCells[row];
    return col < static_cast<int>(r.size()) ? r[col] : kEmpty;
}

QString TStringGrid::Cells(int col, int row) const { return CellRef(col, row); }

QString* TStringGrid::CellSlot(int col, int row, bool create)
{
    if (row < 0 || col < 0) return nullptr;
    if (row >= static_cast<int>(FCells.size())) {
        if (!create) return nullptr;
        FCells.resize(row + 1);
    }
    auto& r = FCells[row];
    if (col >= static_cast<int>(r.size())) {
        if (!create) return nullptr;
        r.resize(std::max<size_t>(col + 1, FColCount));
    }
    return &r[col];
}

void TStringGrid::SetCells(int col, int row, const QString& text)
{
    QString* slot = CellSlot(col, row, !text.isEmpty());
    if (!slot || *slot == text) return;
    *slot = text;
    ++FTextVersion;
    MarkChanged(col, row);
}

void TStringGrid::SetCells(int col, int row, QStringView text)
{
    QString* slot = CellSlot(col, row, false);
    if (slot && *slot == text) return;
    if (!slot) {
        if (text.isEmpty()) return;
        // Creating the slot may move cells; the characters a view refers to
        // stay where they are, but take a copy first all the same.
        const QString copy = text.toString();
        slot = CellSlot(col, row, true);
        if (!slot) return;
        *slot = copy;
    } else if (slot->isDetached() && slot->capacity() >= text.size()) {
        const qsizetype n = text.size();
        slot->resize(n);
        if (n > 0) std::memmove(slot->data(), text.data(), size_t(n) * sizeof(QChar));
    } else {
        *slot = text.toString();
    }
    ++FTextVersion;
    MarkChanged(col, row);
}

void TStringGrid::MarkChanged(int col, int row)
{
    if (row >= FRowCount || col >= FColCount || !viewport()->isVisible()) return;
    // Rows out of view are painted when they come into view.
    if (row >= FFixedRows && (row < TopRow() || row > TopRow() + VisibleRowCount() + 1)) return;
    if (FChangedCols.size() <= size_t(row)) FChangedCols.resize(size_t(row) + 1, 0);
    uint64_t& mask = FChangedCols[size_t(row)];
    if (mask == 0) FChangedRows.push_back(row);
    mask |= col < 64 ? uint64_t(1) << col : ~uint64_t(0);
    if (!FFlushPending) {
        FFlushPending = true;
        QMetaObject::invokeMethod(this, [this] { FlushChanged(); }, Qt::QueuedConnection);
    }
}

void TStringGrid::FlushChanged()
{
    FFlushPending = false;
    QRegion region;
    const QRect view = viewport()->rect();
    for (int row : FChangedRows) {
        uint64_t& mask = FChangedCols[size_t(row)];
        int first = -1, last = -1;
        for (int c = 0; c < FColCount && c < 64; ++c) {
            if (mask & (uint64_t(1) << c)) {
                if (first < 0) first = c;
                last = c;
            }
        }
        if (mask == ~uint64_t(0) || FColCount > 64) { first = 0; last = FColCount - 1; }
        mask = 0;
        if (first < 0) continue;
        // Fixed and scrolled columns lie apart on screen: one rectangle each.
        auto add = [&](int c0, int c1) {
            if (c0 > c1) return;
            QRect a = CellRect(c0, row), b = CellRect(c1, row);
            if (a.isEmpty() || b.isEmpty()) return;
            region += (a | b).intersected(view);
        };
        if (first < FFixedCols) add(first, std::min(last, FFixedCols - 1));
        add(std::max(first, FFixedCols), last);
    }
    FChangedRows.clear();
    if (!region.isEmpty()) viewport()->update(region);
}

int TStringGrid::ColWidths(int col) const
{
    return col >= 0 && col < FColCount ? FColWidths[col] : 0;
}

void TStringGrid::SetColWidths(int col, int width)
{
    if (col < 0 || col >= FColCount) return;
    width = std::max(0, width);
    if (FColWidths[col] == width) return;
    FColWidths[col] = width;
    UpdateScrollBars();
    InvalidateGrid();
}

void TStringGrid::SetDefaultRowHeight(int h)
{
    FRowHeight = std::max(1, h);
    UpdateScrollBars();
    InvalidateGrid();
}

int TStringGrid::TopRow() const { return FFixedRows + verticalScrollBar()->value(); }

void TStringGrid::SetTopRow(int row) { verticalScrollBar()->setValue(row - FFixedRows); }

int TStringGrid::VisibleRowCount() const
{
    return std::max(0, (viewport()->height() - FixedHeight()) / RowPitch());
}

int TStringGrid::FixedWidth() const
{
    int w = 0;
    for (int c = 0; c < FFixedCols && c < FColCount; ++c) w += FColWidths[c] + GridLineWidth();
    return w;
}

int TStringGrid::FixedHeight() const { return std::min(FFixedRows, FRowCount) * RowPitch(); }

int TStringGrid::ColLeft(int col) const
{
    int x = 0;
    for (int c = 0; c < col && c < FColCount; ++c) x += FColWidths[c] + GridLineWidth();
    if (col >= FFixedCols) x -= horizontalScrollBar()->value();
    return x;
}

int TStringGrid::RowTop(int row) const
{
    if (row < FFixedRows) return row * RowPitch();
    return (row - verticalScrollBar()->value()) * RowPitch();
}

QRect TStringGrid::CellRect(int col, int row) const
{
    if (col < 0 || row < 0 || col >= FColCount || row >= FRowCount) return {};
    if (row >= FFixedRows && row < TopRow()) return {};
    return QRect(ColLeft(col), RowTop(row), FColWidths[col], FRowHeight);
}

bool TStringGrid::MouseToCell(const QPoint& pos, int& col, int& row) const
{
    col = row = -1;
    if (pos.x() < 0 || pos.y() < 0) return false;
    const int pitch = RowPitch();
    const int fixedH = FixedHeight();
    if (pos.y() < fixedH) {
        row = pos.y() / pitch;
    } else {
        const int r = TopRow() + (pos.y() - fixedH) / pitch;
        if (r < FRowCount) row = r;
    }
    // Fixed columns lie over the scrolled ones.
    const int fixedW = FixedWidth();
    int left = 0;
    const int firstScrolled = pos.x() < fixedW ? 0 : FFixedCols;
    const int lastCol = pos.x() < fixedW ? std::min(FFixedCols, FColCount) : FColCount;
    if (firstScrolled > 0) left = fixedW - horizontalScrollBar()->value();
    for (int c = firstScrolled; c < lastCol; ++c) {
        const int step = FColWidths[c] + GridLineWidth();
        if (pos.x() >= left && pos.x() < left + step) { col = c; break; }
        left += step;
    }
    if (col < 0 || row < 0) { col = row = -1; return false; }
    return true;
}

void TStringGrid::InvalidateCell(int col, int row)
{
    QRect r = CellRect(col, row);
    if (r.isEmpty()) return;
    r = r.intersected(viewport()->rect());
    if (!r.isEmpty()) viewport()->update(r);
}

void TStringGrid::InvalidateRow(int row)
{
    if (row < 0 || row >= FRowCount || (row >= FFixedRows && row < TopRow())) return;
    viewport()->update(QRect(0, RowTop(row), viewport()->width(), RowPitch()));
}

void TStringGrid::InvalidateGrid() { viewport()->update(); }

void TStringGrid::UpdateScrollBars()
{
    const int pitch = RowPitch();
    const int visibleRows = std::max(1, (viewport()->height() - FixedHeight()) / pitch);
    const int scrollRows = std::max(0, FRowCount - FFixedRows - visibleRows);
    verticalScrollBar()->setRange(0, scrollRows);
    verticalScrollBar()->setPageStep(visibleRows);
    int total = 0;
    for (int c = 0; c < FColCount; ++c) total += FColWidths[c] + GridLineWidth();
    horizontalScrollBar()->setRange(0, std::max(0, total - viewport()->width()));
    horizontalScrollBar()->setPageStep(std::max(1, viewport()->width() - FixedWidth()));
}

void TStringGrid::paintEvent(QPaintEvent* event)
{
    QPainter p(viewport());
    const QRect dirty = event->rect();
    const QRect view = viewport()->rect();
    p.fillRect(dirty, palette().color(QPalette::Base));

    const int fixedW = FixedWidth();
    const int fixedH = FixedHeight();
    const int pitch = RowPitch();
    // The areas cells of each kind may paint into: scrolled cells never
    // paint over the fixed rows or columns.
    const QRect scrolledArea(QPoint(fixedW, fixedH), view.bottomRight());
    const QRect fixedColArea(0, fixedH, fixedW, std::max(0, view.height() - fixedH));
    const QRect fixedRowArea(fixedW, 0, std::max(0, view.width() - fixedW), fixedH);

    auto paintCell = [&](int c, int r, const QRect& area) {
        const QRect rect(ColLeft(c), RowTop(r), FColWidths[c], FRowHeight);
        const QRect clip = rect.intersected(area).intersected(dirty);
        if (clip.isEmpty()) return;
        if (!OnDrawCell) return;
        p.save();
        p.setClipRect(clip);
        OnDrawCell(this, p, c, r, rect);
        p.restore();
        if (IsSelected(c, r)) p.fillRect(clip, SelectionColor);
    };

    // Rows in view: the fixed ones, then the scrolled ones from TopRow.
    const int firstRow = TopRow();
    int lastRow = firstRow + (std::max(0, view.height() - fixedH) + pitch - 1) / pitch;
    lastRow = std::min(lastRow, FRowCount - 1);
    const int fixedRows = std::min(FFixedRows, FRowCount);
    const int fixedCols = std::min(FFixedCols, FColCount);

    for (int r = firstRow; r <= lastRow; ++r) {
        const int top = RowTop(r);
        if (top >= dirty.bottom() + 1 || top + pitch <= dirty.top()) continue;
        for (int c = fixedCols; c < FColCount; ++c) paintCell(c, r, scrolledArea);
        for (int c = 0; c < fixedCols; ++c) paintCell(c, r, fixedColArea);
    }
    for (int r = 0; r < fixedRows; ++r) {
        for (int c = fixedCols; c < FColCount; ++c) paintCell(c, r, fixedRowArea);
        for (int c = 0; c < fixedCols; ++c) paintCell(c, r, QRect(0, 0, fixedW, fixedH));
    }

    // Lines between the non-fixed columns, over the non-fixed rows only.
    if ((VertLines || HorzLines) && lastRow >= firstRow) {
        p.setClipRect(scrolledArea.intersected(dirty));
        p.setPen(LineColor);
        const int top = RowTop(firstRow);
        const int bottom = RowTop(lastRow) + FRowHeight - 1 + (HorzLines ? 1 : 0);
        int x = ColLeft(fixedCols);
        for (int c = fixedCols; c < FColCount; ++c) {
            x += FColWidths[c];
            if (VertLines) p.drawLine(x, top, x, bottom);
            x += GridLineWidth();
        }
        if (HorzLines) {
            const int right = x - 1;
            for (int r = firstRow; r <= lastRow; ++r) {
                const int y = RowTop(r) + FRowHeight;
                p.drawLine(ColLeft(fixedCols), y, right, y);
            }
        }
    }
}

void TStringGrid::resizeEvent(QResizeEvent* event)
{
    QAbstractScrollArea::resizeEvent(event);
    UpdateScrollBars();
}

bool TStringGrid::InHeader(int y) const { return y >= 0 && y < FixedHeight(); }

int TStringGrid::ColumnBorderAt(int x) const
{
    // Search from the right so that a zero-width column can be widened again.
    for (int c = FColCount - 1; c >= 0; --c) {
        const int right = ColLeft(c) + FColWidths[c];
        if (c >= FFixedCols && right < FixedWidth()) continue; // scrolled under the fixed columns
        if (x >= right - 2 && x <= right + 2) return c;
    }
    return -1;
}

void TStringGrid::mousePressEvent(QMouseEvent* event)
{
    const QPoint pos = event->position().toPoint();
    if (ColSizing && event->button() == Qt::LeftButton && InHeader(pos.y())) {
        const int c = ColumnBorderAt(pos.x());
        if (c >= 0) {
            FSizingCol = c;
            FSizingStartX = pos.x();
            FSizingStartWidth = FColWidths[c];
            return;
        }
    }
    if (event->button() == Qt::LeftButton) {
        int c = -1, r = -1;
        if (MouseToCell(pos, c, r) && r >= FFixedRows) {
            if (event->modifiers() & Qt::ShiftModifier && HasSelection()) ExtendSelection(c, r);
            else SetSelection(c, r, c, r);
            FSelecting = true;
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
    if (FSelecting && (event->buttons() & Qt::LeftButton)) {
        int c = -1, r = -1;
        const QPoint inside(std::clamp(pos.x(), 0, std::max(0, viewport()->width() - 1)),
                            std::clamp(pos.y(), FixedHeight(), std::max(FixedHeight(), viewport()->height() - 1)));
        if (MouseToCell(inside, c, r) && r >= FFixedRows) ExtendSelection(c, r);
        return;
    }
    FSelecting = false;
    const bool onBorder = ColSizing && InHeader(pos.y()) && ColumnBorderAt(pos.x()) >= 0;
    viewport()->setCursor(onBorder ? Qt::SplitHCursor : Qt::ArrowCursor);
}

void TStringGrid::mouseReleaseEvent(QMouseEvent*)
{
    FSizingCol = -1;
    FSelecting = false;
}

void TStringGrid::mouseDoubleClickEvent(QMouseEvent* event)
{
    const QPoint pos = event->position().toPoint();
    int c = -1, r = -1;
    if (event->button() != Qt::LeftButton || !MouseToCell(pos, c, r)) {
        mousePressEvent(event);
        return;
    }
    // The second press of a double-click is a press like the first (the
    // designed left-press editing sees both); the double-click comes after.
    mousePressEvent(event);
    if (OnDblClick) OnDblClick(this, c, r);
}

void TStringGrid::contextMenuEvent(QContextMenuEvent* event)
{
    if (!OnContextPopup) {
        event->ignore();
        return;
    }
    // A mouse request reaches the grid through its viewport, in viewport
    // coordinates; the menu key points at the current cell.
    QPoint pos = event->pos();
    if (event->reason() == QContextMenuEvent::Keyboard) {
        const QRect cell = HasSelection() ? CellRect(FSelCol, FSelRow) : QRect();
        pos = cell.isEmpty() ? QPoint(0, FixedHeight()) : cell.center();
    }
    OnContextPopup(this, pos);
}

QRect TStringGrid::Selection() const
{
    if (!HasSelection()) return {};
    return QRect(QPoint(std::min(FSelAnchorCol, FSelCol), std::min(FSelAnchorRow, FSelRow)),
                 QPoint(std::max(FSelAnchorCol, FSelCol), std::max(FSelAnchorRow, FSelRow)));
}

bool TStringGrid::IsSelected(int col, int row) const
{
    return HasSelection() && Selection().contains(col, row);
}

void TStringGrid::SetSelection(int col0, int row0, int col1, int row1)
{
    if (FRowCount <= FFixedRows || FColCount < 1) {
        ClearSelection();
        return;
    }
    InvalidateSelection();
    auto cc = [this](int c) { return std::clamp(c, 0, FColCount - 1); };
    auto cr = [this](int r) { return std::clamp(r, FFixedRows, FRowCount - 1); };
    FSelAnchorCol = cc(col0);
    FSelAnchorRow = cr(row0);
    FSelCol = cc(col1);
    FSelRow = cr(row1);
    InvalidateSelection();
}

void TStringGrid::ClearSelection()
{
    InvalidateSelection();
    FSelAnchorCol = FSelAnchorRow = FSelCol = FSelRow = -1;
}

void TStringGrid::ExtendSelection(int col, int row)
{
    if (!HasSelection()) SetSelection(col, row, col, row);
    else SetSelection(FSelAnchorCol, FSelAnchorRow, col, row);
}

void TStringGrid::InvalidateSelection()
{
    if (!HasSelection()) return;
    const QRect s = Selection();
    for (int r = s.top(); r <= s.bottom(); ++r) InvalidateRow(r);
}

QString TStringGrid::SelectedText() const
{
    if (!HasSelection()) return {};
    const QRect s = Selection();
    QString out;
    for (int r = s.top(); r <= s.bottom(); ++r) {
        if (r > s.top()) out += u'\n';
        for (int c = s.left(); c <= s.right(); ++c) {
            if (c > s.left()) out += u'\t';
            out += OnCopyText ? OnCopyText(c, r) : CellRef(c, r);
        }
    }
    return out;
}

void TStringGrid::CopySelection() const
{
    if (!HasSelection()) return;
    if (QClipboard* cb = QGuiApplication::clipboard()) cb->setText(SelectedText());
}

void TStringGrid::ScrollToCell(int col, int row)
{
    if (row >= FFixedRows) {
        const int visible = std::max(1, VisibleRowCount());
        if (row < TopRow()) SetTopRow(row);
        else if (row >= TopRow() + visible) SetTopRow(row - visible + 1);
    }
    if (col >= FFixedCols && col < FColCount) {
        const int left = ColLeft(col), right = left + FColWidths[col];
        QScrollBar* h = horizontalScrollBar();
        if (left < FixedWidth()) h->setValue(h->value() - (FixedWidth() - left));
        else if (right > viewport()->width()) h->setValue(h->value() + (right - viewport()->width()));
    }
}

bool TStringGrid::CurrentCell(int& col, int& row) const
{
    if (!HasSelection()) return false;
    col = FSelCol;
    row = FSelRow;
    return true;
}

void TStringGrid::keyPressEvent(QKeyEvent* event)
{
    if (OnKeyDown) {
        int key = event->key();
        OnKeyDown(this, key, event->modifiers());
        if (key == 0) return;
    }
    if (event->matches(QKeySequence::Copy)) {
        CopySelection();
        return;
    }
    if (event->matches(QKeySequence::SelectAll)) {
        SetSelection(0, FFixedRows, FColCount - 1, FRowCount - 1);
        return;
    }
    int dc = 0, dr = 0;
    switch (event->key()) {
    case Qt::Key_Left: dc = -1; break;
    case Qt::Key_Right: dc = 1; break;
    case Qt::Key_Up: dr = -1; break;
    case Qt::Key_Down: dr = 1; break;
    case Qt::Key_PageUp: dr = -std::max(1, VisibleRowCount()); break;
    case Qt::Key_PageDown: dr = std::max(1, VisibleRowCount()); break;
    default: QAbstractScrollArea::keyPressEvent(event); return;
    }
    if (!HasSelection()) {
        // The first arrow key starts at the first data cell in view.
        SetSelection(0, TopRow(), 0, TopRow());
        if (HasSelection()) ScrollToCell(FSelCol, FSelRow);
        return;
    }
    const int c = std::clamp(FSelCol + dc, 0, FColCount - 1);
    const int r = std::clamp(FSelRow + dr, FFixedRows, FRowCount - 1);
    if (event->modifiers() & Qt::ShiftModifier) ExtendSelection(c, r);
    else SetSelection(c, r, c, r);
    ScrollToCell(c, r);
}

void TStringGrid::scrollContentsBy(int, int) { viewport()->update(); }
