// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TStringGrid: a string grid with fixed header rows and columns whose every
// cell is painted by its owner (OnDrawCell). A cell's text belongs to its row
// index: rows hidden by a smaller RowCount keep their texts and show them
// again when the grid grows.
//
// Geometry: columns are separated by a one-pixel gap (drawn as a line only
// between non-fixed columns of non-fixed rows when VertLines is set); rows
// follow each other without a gap unless HorzLines is set. Fixed rows and
// columns stay in view: the rows scroll by whole rows, the columns by pixels.
// The grid has no in-place editing and no focus rectangle. Cells of the
// non-fixed rows can be selected as one rectangle (left-button drag, Shift
// with the arrow keys, Ctrl+A) and copied with Ctrl+C as tab-separated text;
// a selected cell is drawn as its owner paints it, under a translucent
// highlight. Nothing is selected until the user selects.
#include <QAbstractScrollArea>
#include <QRect>
#include <QString>
#include <cstdint>
#include <functional>
#include <vector>

class QPainter;

class TStringGrid : public QAbstractScrollArea {
    Q_OBJECT
public:
    explicit TStringGrid(QWidget* parent = nullptr);

    int ColCount() const { return FColCount; }
    void SetColCount(int n);
    int RowCount() const { return FRowCount; }
    void SetRowCount(int n);
    int FixedRows() const { return FFixedRows; }
    void SetFixedRows(int n);
    int FixedCols() const { return FFixedCols; }
    void SetFixedCols(int n);

    QString Cells(int col, int row) const;
    // A reference to the stored text (an empty string for a cell never set);
    // valid until the next SetCells.
    const QString& CellRef(int col, int row) const;
    // Sets a cell's text; repaints only that cell, and only when the text changed.
    void SetCells(int col, int row, const QString& text);
    // The same from a view; reuses the cell's own storage where it can, so
    // that rewriting a cell allocates nothing.
    void SetCells(int col, int row, QStringView text);
    // Counts the changes of cell texts: equal counts mean that no cell text
    // changed in between.
    uint64_t TextVersion() const { return FTextVersion; }

    int ColWidths(int col) const;
    void SetColWidths(int col, int width);
    int DefaultRowHeight() const { return FRowHeight; }
    void SetDefaultRowHeight(int h);
    int GridLineWidth() const { return 1; }

    // First scrollable row shown below the fixed rows.
    int TopRow() const;
    void SetTopRow(int row);
    // Number of scrollable rows that fit completely below the fixed rows.
    int VisibleRowCount() const;

    // Cell rectangle in viewport coordinates (empty when the cell does not
    // exist or is scrolled out of the grid's rows).
    QRect CellRect(int col, int row) const;
    // Hit test in viewport coordinates; false outside every cell.
    bool MouseToCell(const QPoint& pos, int& col, int& row) const;

    // Repaint requests.
    // Immediate: the cell's rectangle is scheduled for repainting now.
    void InvalidateCell(int col, int row);
    void InvalidateRow(int row);
    void InvalidateGrid();

    // Whether the user may resize columns by dragging their borders in the fixed rows.
    bool ColSizing = true;
    // Lines between the non-fixed columns of the non-fixed rows.
    bool VertLines = true;
    // A one-pixel line below every non-fixed row (off: rows touch).
    bool HorzLines = false;
    // Colour of the lines.
    QColor LineColor = QColor(192, 192, 192);

    // Paints one cell: (Sender, painter, ACol, ARow, Rect). The painter is
    // clipped to the visible part of the cell.
    std::function<void(TStringGrid* Sender, QPainter& Canvas, int ACol, int ARow, const QRect& Rect)> OnDrawCell;
    // A mouse press inside the grid (not on a column border being dragged):
    // (Sender, button, modifiers, X, Y) with X, Y in viewport coordinates.
    std::function<void(TStringGrid* Sender, Qt::MouseButton Button, Qt::KeyboardModifiers Shift, int X, int Y)>
        OnMouseDown;

    // A double-click with the left button on a cell: (Sender, ACol, ARow).
    std::function<void(TStringGrid* Sender, int ACol, int ARow)> OnDblClick;
    // The context menu was asked for (right button or the menu key) at pos,
    // in viewport coordinates.
    std::function<void(TStringGrid* Sender, const QPoint& pos)> OnContextPopup;

    // ---- selection --------------------------------------------------------
    bool HasSelection() const { return FSelAnchorCol >= 0; }
    // The selected cells: left/right are columns, top/bottom rows (empty
    // rectangle when nothing is selected).
    QRect Selection() const;
    bool IsSelected(int col, int row) const;
    // Selects from the anchor (col0, row0) to (col1, row1); both are clamped
    // to the non-fixed rows and the existing columns.
    void SetSelection(int col0, int row0, int col1, int row1);
    void ClearSelection();
    // The cell the keyboard is on: the moving end of the selection; false
    // when nothing is selected.
    bool CurrentCell(int& col, int& row) const;
    // A key pressed in the grid before the grid handles it: (Sender, key,
    // modifiers); setting Key to 0 takes it.
    std::function<void(TStringGrid* Sender, int& Key, Qt::KeyboardModifiers Shift)> OnKeyDown;
    // The text a copy gives for a cell (unset: the cell's text).
    std::function<QString(int ACol, int ARow)> OnCopyText;
    // The selected cells as text: cells separated by a tab, rows by "\n".
    QString SelectedText() const;
    // Puts SelectedText on the clipboard (nothing when nothing is selected).
    void CopySelection() const;
    QColor SelectionColor = QColor(0, 120, 215, 80);

    QSize sizeHint() const override;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    int RowPitch() const { return FRowHeight + (HorzLines ? 1 : 0); }
    int FixedWidth() const;  // width of the fixed columns with their gaps
    int FixedHeight() const; // height of the fixed rows
    int ColLeft(int col) const; // x of the column's left edge in viewport coordinates
    int RowTop(int row) const;  // y of the row's top edge in viewport coordinates
    bool InHeader(int y) const;
    int ColumnBorderAt(int x) const; // column whose right border is under x, or -1
    void UpdateScrollBars();
    QString* CellSlot(int col, int row, bool create);
    // Changed cells are collected and repainted together from the event
    // loop: one update per response instead of one per cell.
    void MarkChanged(int col, int row);
    void FlushChanged();

    int FColCount = 5;
    int FRowCount = 5;
    int FFixedRows = 1;
    int FFixedCols = 1;
    int FRowHeight = 24;
    std::vector<int> FColWidths;
    std::vector<std::vector<QString>> FCells; // [row][col]; grows, never shrinks
    std::vector<uint64_t> FChangedCols; // per row: bit c set for a changed cell in column c
    std::vector<int> FChangedRows;
    bool FFlushPending = false;
    uint64_t FTextVersion = 0;
    void ExtendSelection(int col, int row);
    void InvalidateSelection();
    void ScrollToCell(int col, int row);
    int FSelAnchorCol = -1, FSelAnchorRow = -1, FSelCol = -1, FSelRow = -1;
    bool FSelecting = false;
    int FSizingCol = -1;
    int FSizingStartX = 0;
    int FSizingStartWidth = 0;
};
