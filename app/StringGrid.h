#pragma once
// TStringGrid: a string grid with fixed header rows and columns whose every
// cell is painted by its owner (OnDrawCell). A cell's text belongs to its row
// index: rows hidden by a smaller RowCount keep their texts and show them
// again when the grid grows.
#include <QAbstractScrollArea>
#include <QRect>
#include <QString>
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
    void SetCells(int col, int row, const QString& text);

    int ColWidths(int col) const;
    void SetColWidths(int col, int width);
    int DefaultRowHeight() const { return FRowHeight; }
    void SetDefaultRowHeight(int h);
    int GridLineWidth() const { return 1; }

    // Cell rectangle in viewport coordinates (empty when not in view).
    QRect CellRect(int col, int row) const;
    // Hit test in viewport coordinates; false outside every cell.
    bool MouseToCell(const QPoint& pos, int& col, int& row) const;

    // Repaint requests.
    void InvalidateCell(int col, int row);
    void InvalidateRow(int row);
    void InvalidateGrid();

    // Whether the user may resize columns by dragging the header borders.
    bool ColSizing = true;
    // Vertical lines between non-fixed columns.
    bool VertLines = true;

    // Paints one cell: (Sender, painter, ACol, ARow, Rect).
    std::function<void(TStringGrid* Sender, QPainter& Canvas, int ACol, int ARow, const QRect& Rect)> OnDrawCell;
    // A mouse press inside the grid: (Sender, button, modifiers, X, Y).
    std::function<void(TStringGrid* Sender, Qt::MouseButton Button, Qt::KeyboardModifiers Shift, int X, int Y)>
        OnMouseDown;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    int ColLeft(int col) const;  // x of the column's left edge in viewport coordinates
    int RowTop(int row) const;   // y of the row's top edge in viewport coordinates
    int ColumnBorderAt(int x) const; // column whose right border is under x, or -1
    void UpdateScrollBars();

    int FColCount = 5;
    int FRowCount = 5;
    int FFixedRows = 1;
    int FFixedCols = 1;
    int FRowHeight = 24;
    std::vector<int> FColWidths;
    std::vector<std::vector<QString>> FCells; // [row][col]; grows, never shrinks
    int FSizingCol = -1;
    int FSizingStartX = 0;
    int FSizingStartWidth = 0;
};
