// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TRegisterGrid: what a register grid does with its string grid, shared by
// the main window and every poll window: the Address column, the value groups
// and their colours, painting a cell, putting a register or bit answer into
// the raw columns and the Values, the continuation rows of multi-register
// types, and the editing of the Data Type and Description cells.
#include <QString>
#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "ValueDecoding.h"

namespace zorp {
struct TScaling;
}
class QPainter;
class QRect;
class TStringGrid;

class TRegisterGrid {
public:
    // Grid columns.
    enum : int {
        colAddress = 0,
        colDataType = 1,
        colValue = 2,
        colDescription = 3,
        colHex = 4,
        colBin = 5,
        colDec = 6,
        colBytes = 7,
        colAscii = 8,
    };

    explicit TRegisterGrid(TStringGrid* Grid) : FGrid(Grid) {}
    TStringGrid* Grid() const { return FGrid; }
    void SetGrid(TStringGrid* Grid) { FGrid = Grid; }

    // The header row's captions and the column widths.
    void SetupHeader();
    // The Address column from Start on (the row colours first).
    // The Address column from Start on, each address as Text writes it
    // (unset: the designed decimal number).
    void FillAddresses(int64_t Start, const std::function<QString(int64_t)>& Text = {});
    void UpdateRowColors();
    // Paints one cell; Old tells whether a cell shows an old value (drawn
    // grey and italic), unset: never.
    void DrawCell(QPainter& Canvas, int ACol, int ARow, const QRect& Rect);
    std::function<bool(int ACol, int ARow, int Span)> Old;
    // A register answer (two bytes a register, high byte first) and a coil
    // or input answer into the raw columns and the Values.
    void ShowRegisterData(const std::vector<uint8_t>& Data);
    void ShowBitData(const std::vector<bool>& Bits);
    // Marks the rows a multi-register type claims with "---".
    void MarkContinuationRows();
    // The data editor for a Data Type or Description cell; false when
    // nothing changed (another column, a continuation row, cancelled).
    // The dialog runs a nested loop: the caller makes sure it still exists.
    bool EditCell(int ACol, int ARow);
    // Puts an edited Data Type or Description text into the grid: the
    // continuation rows, the rows the old type released, the colours.
    void ApplyEdit(int ACol, int ARow, const QString& NewText);
    // The data type of row Row as last looked up, or nullptr.
    const TDataTypeInfo* TypeOf(int Row);
    // A cell's text as drawn (control characters of ASCII texts as ".").
    QString DisplayText(int ACol, int ARow) const;
    // The grid as CSV: every row (header included), all nine columns, as
    // drawn.
    QString CsvText() const;

    // The number of row Row's value in an answer, as charts and value logs
    // take it: for a BIT row its bit in Bits (coils and inputs), for a
    // numeric row the value its type decodes from Data (two bytes a
    // register, row 1 the first), scaled where Scaling is set. False when
    // the answer does not hold the row's value or the type has no number.
    static bool RowNumber(const TDataTypeInfo* Type, int Row, const std::vector<uint8_t>& Data,
                          const std::vector<bool>& Bits, bool BitAnswer, const zorp::TScaling* Scaling, double& Out);
    // The Value cells of the rows with an engineering value (row ->
    // scaling), from a register answer Data (two bytes a register).
    void ShowEngineering(const std::map<int, zorp::TScaling>& Scaling, const std::vector<uint8_t>& Data);
    // The text a value log writes for that row: the number, as the Value
    // column writes an unscaled value (ValueText: the row's Value text,
    // taken as it stands when the row has no scaling); empty without one.
    static QString LogText(const TDataTypeInfo* Type, int Row, const std::vector<uint8_t>& Data,
                           const std::vector<bool>& Bits, bool BitAnswer, const zorp::TScaling* Scaling,
                           const QString& ValueText);

    uint32_t LastColor = 16777215;   // 0x00BBGGRR
    std::vector<uint32_t> Colors;     // one entry per grid row, 0x00BBGGRR
    // The data type of each row as ShowRegisterData last looked it up.
    ValueDecoding::TDataTypeCache TypeCache;
    // What the last ShowRegisterData rendered: the response, the grid's row
    // count and the grid's text version when it was done. While no cell
    // text changed since, rows whose registers are unchanged already show
    // what a new rendering would write.
    struct TRenderedData {
        std::vector<uint8_t> Data;
        int Rows = -1;
        uint64_t TextVersion = 0;
        bool Valid = false;
    } Rendered;

private:
    TStringGrid* FGrid;
};
