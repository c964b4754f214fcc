// SPDX-License-Identifier: GPL-3.0-or-later
// The register grid shared by the main window and the poll windows:
// addresses, value groups and their colours, cell painting, rendering of
// responses, and editing of the Data Type and Description cells through the
// data editor.
#include "RegisterGrid.h"

#include "Csv.h"
#include "DesignTheme.h"

#include <QFont>
#include <QFontMetrics>
#include <QPainter>
#include <QPointer>
#include <QRect>
#include <QStringList>

#include "Scaling.h"
#include "StringGrid.h"
#include "uData.h"

namespace {

constexpr uint32_t kPaleGreen = 13492684;
constexpr uint32_t kWhite = 16777215;
constexpr uint32_t kLightGrey = 15461355;

QColor FromBGR(uint32_t c) { return QColor(int(c & 0xFF), int((c >> 8) & 0xFF), int((c >> 16) & 0xFF)); }

bool IsContinuation(const QString& dataType) { return dataType == QStringView(ContinuationMark); }

const QString& Dash3()
{
    static const QString s = QString::fromUtf16(ContinuationMark);
    return s;
}

// Fonts and their metrics for the cell painting, kept with the grid (as a
// child object, so that they go with it) and rebuilt when its font changes.
class TCellFonts : public QObject {
public:
    explicit TCellFonts(QObject* parent) : QObject(parent) { setObjectName(Name()); }
    static QString Name() { return QStringLiteral("zorpCellFonts"); }
    static TCellFonts* Of(QWidget* grid)
    {
        QObject* o = grid->findChild<QObject*>(Name(), Qt::FindDirectChildrenOnly);
        auto* f = o ? static_cast<TCellFonts*>(o) : new TCellFonts(grid);
        f->Update(grid->font());
        return f;
    }
    QFont Regular, Bold;
    QFontMetrics RegularMetrics{QFont()}, BoldMetrics{QFont()};
    // Old values (see uMasterStale.cpp) are drawn in italics.
    QFont RegularItalic, BoldItalic;
    QFontMetrics RegularItalicMetrics{QFont()}, BoldItalicMetrics{QFont()};

private:
    void Update(const QFont& f)
    {
        if (FValid && f == FBase) return;
        FValid = true;
        FBase = f;
        Regular = f;
        Regular.setBold(false);
        Bold = f;
        Bold.setBold(true);
        RegularMetrics = QFontMetrics(Regular);
        BoldMetrics = QFontMetrics(Bold);
        RegularItalic = Regular;
        RegularItalic.setItalic(true);
        BoldItalic = Bold;
        BoldItalic.setItalic(true);
        RegularItalicMetrics = QFontMetrics(RegularItalic);
        BoldItalicMetrics = QFontMetrics(BoldItalic);
    }
    bool FValid = false;
    QFont FBase;
};

} // namespace

void TRegisterGrid::SetupHeader()
{
    static const struct {
        const char* Caption;
        int Width;
    } columns[9] = {{"Address", 75},     {"Data Type", 150},  {"Value", 120},
                    {"Description", 100}, {"Data [HEX]", 70},  {"Data [BIN]", 120},
                    {"Data [DEC]", 80},   {"Data [BYTES]", 80}, {"Data [ASCII]", 80}};
    for (int c = 0; c < 9; ++c) {
        FGrid->SetCells(c, 0, QString::fromLatin1(columns[c].Caption));
        FGrid->SetColWidths(c, columns[c].Width);
    }
}

void TRegisterGrid::FillAddresses(int64_t start, const std::function<QString(int64_t)>& Text)
{
    const int rows = FGrid->RowCount();
    for (int r = 1; r < rows; ++r)
        FGrid->SetCells(colAddress, r, Text ? Text(start + r - 1) : ValueDecoding::SignedText(start + r - 1));
}

QString TRegisterGrid::CsvText() const
{
    QString out;
    for (int r = 0; r < FGrid->RowCount(); ++r) {
        for (int c = 0; c < FGrid->ColCount(); ++c) {
            if (c)
                out += u',';
            out += zorp::CsvField(DisplayText(c, r));
        }
        out += QStringLiteral("\r\n");
    }
    return out;
}

const TDataTypeInfo* TRegisterGrid::TypeOf(int Row) { return TypeCache.Find(Row, FGrid->CellRef(colDataType, Row)); }

QString TRegisterGrid::DisplayText(int ACol, int ARow) const
{
    const QString& cell = FGrid->CellRef(ACol, ARow);
    if (ARow == 0)
        return cell;
    const bool ascii =
        ACol == colAscii || (ACol == colValue && FGrid->CellRef(colDataType, ARow) == QLatin1String("ASCII"));
    return ascii ? ValueDecoding::AsciiDisplayText(cell) : cell;
}

void TRegisterGrid::UpdateRowColors()
{
    const int rows = FGrid->RowCount();
    Colors.assign(static_cast<size_t>(rows), kWhite);
    if (rows > 0) Colors[0] = kLightGrey; // the header row: never read
    LastColor = kWhite;
    for (int r = 1; r < rows; ++r) {
        if (!IsContinuation(FGrid->CellRef(colDataType, r))) LastColor = LastColor == kWhite ? kPaleGreen : kWhite;
        Colors[static_cast<size_t>(r)] = LastColor;
    }
    FGrid->InvalidateGrid();
}

void TRegisterGrid::DrawCell(QPainter& Canvas, int ACol, int ARow, const QRect& Rect)
{
    const TCellFonts& fonts = *TCellFonts::Of(FGrid);

    uint32_t background = kLightGrey;
    if (ARow != 0 && ACol != 0)
        background = ARow < static_cast<int>(Colors.size()) ? Colors[static_cast<size_t>(ARow)] : kWhite;
    Canvas.fillRect(Rect, DesignTheme::PaintColor(FromBGR(background)));

    const QString& cell = FGrid->CellRef(ACol, ARow);
    if (cell.isEmpty()) return;
    // Control characters of ASCII texts (the Data [ASCII] column and the
    // Value of a row typed ASCII) are drawn as dots.
    bool ascii = false;
    int span = 1;
    if (ARow != 0 && ACol == colAscii) {
        ascii = true;
    } else if (ARow != 0 && ACol == colValue) {
        const TDataTypeInfo* type = TypeCache.Find(ARow, FGrid->CellRef(colDataType, ARow));
        ascii = type && type->Format == TTypeFormat::RawAscii;
        if (type) span = type->Rows;
    }
    const QString text = ascii ? ValueDecoding::AsciiDisplayText(cell) : cell;

    const bool bold = ARow == 0 || ACol <= colHex;
    const bool old = Old && Old(ACol, ARow, span);
    const QFontMetrics& fm = old ? (bold ? fonts.BoldItalicMetrics : fonts.RegularItalicMetrics)
                                 : (bold ? fonts.BoldMetrics : fonts.RegularMetrics);
    const int W = Rect.width();
    const int H = Rect.height();
    const int tw = fm.horizontalAdvance(text);
    const int th = fm.height();

    int x;
    if (ARow == 0) {
        x = (W - tw) / 2;
        if (x < 1) x = 3;
    } else if (ACol == colAddress) {
        x = W - tw - 5;
        if (x < 1) x = 3;
    } else if (ACol == colDataType || ACol == colDescription) {
        x = 5;
    } else {
        x = W - tw - 5;
        if (x < 1) x = 5;
    }
    const int y = (H - th) / 2;

    if (old) {
        Canvas.setFont(bold ? fonts.BoldItalic : fonts.RegularItalic);
        Canvas.setPen(QColor(128, 128, 128));
    } else {
        Canvas.setFont(bold ? fonts.Bold : fonts.Regular);
        Canvas.setPen(FGrid->palette().color(QPalette::Text));
    }
    Canvas.drawText(Rect.left() + x, Rect.top() + y + fm.ascent(), text);
}

void TRegisterGrid::ShowRegisterData(const std::vector<uint8_t>& ReadData)
{
    using namespace ValueDecoding;
    TStringGrid* g = FGrid;
    const int rows = g->RowCount();
    const size_t bytes = ReadData.size();

    // Phase 1: the raw columns of every register that has a row. An odd byte
    // count ends with half a register, shown as far as it arrived.
    const size_t registers = (bytes + 1) / 2;
    // What a row shows follows from the response bytes of the rows it reads
    // (its own register for the raw columns, every register of its value's
    // span for the Value), the texts of the grid (the Data Type texts decide
    // which rows start a value and how many they span) and the row count,
    // and from nothing else: the text functions read only what they are given.
    // While no cell text changed since the last rendering (the grid's text
    // version is the one it left) and the row count and the response length
    // are the same, only the bytes can differ: a row is rendered again when
    // a register it reads changed, and every other row already shows what a
    // full rendering would write.
    const bool incremental = Rendered.Valid && Rendered.Rows == rows && Rendered.Data.size() == bytes &&
                             Rendered.TextVersion == g->TextVersion();
    // The same bytes again (a slave whose values stand still): every row
    // already shows them.
    if (incremental && ReadData == Rendered.Data) return;
    auto changed = [&](int row) {
        const size_t k = size_t(row - 1);
        if (!incremental) return true;
        if (k >= registers) return false;
        return ReadData[2 * k] != Rendered.Data[2 * k] ||
               (2 * k + 1 < bytes && ReadData[2 * k + 1] != Rendered.Data[2 * k + 1]);
    };
    TRawChars t;
    for (size_t k = 0; k < registers && k + 1 < size_t(rows); ++k) {
        const int r = int(k) + 1;
        if (!changed(r)) continue;
        if (2 * k + 1 < bytes) RegisterRawChars(ReadData[2 * k], ReadData[2 * k + 1], t);
        else HalfRegisterRawChars(ReadData[2 * k], t);
        g->SetCells(colHex, r, t.Hex.View());
        g->SetCells(colBin, r, t.Bin.View());
        g->SetCells(colDec, r, t.Dec.View());
        g->SetCells(colBytes, r, t.Bytes.View());
        g->SetCells(colAscii, r, t.Ascii.View());
    }

    // Phase 2: every row's Value, from the Data [HEX] texts on screen.
    int r = 1;
    while (r <= rows - 1) {
        const TDataTypeInfo* type = TypeCache.Find(r, g->CellRef(colDataType, r));
        if (incremental) {
            // The Value reads only the rows of its span: when none of them
            // changed, it stays as the last rendering wrote it.
            const int span = type ? std::max(1, int(type->Rows)) : 1;
            if (r + span - 1 <= rows - 1) {
                bool any = false;
                for (int i = 0; i < span && !any; ++i) any = changed(r + i);
                if (!any) {
                    r += span;
                    continue;
                }
            }
        }
        if (!type) {
            g->SetCells(colValue, r, QStringView());
            ++r;
            continue;
        }
        switch (type->Format) {
        case TTypeFormat::RawHex: g->SetCells(colValue, r, QStringView(g->CellRef(colHex, r))); ++r; break;
        case TTypeFormat::RawBin: g->SetCells(colValue, r, QStringView(g->CellRef(colBin, r))); ++r; break;
        case TTypeFormat::RawBytes: g->SetCells(colValue, r, QStringView(g->CellRef(colBytes, r))); ++r; break;
        case TTypeFormat::RawAscii: g->SetCells(colValue, r, QStringView(g->CellRef(colAscii, r))); ++r; break;
        case TTypeFormat::Bit: g->SetCells(colValue, r, QStringView()); ++r; break;
        default: {
            const int span = type->Rows;
            if (r + span - 1 > rows - 1) {
                // The value runs past the grid's end: leave its Value as it is.
                ++r;
                break;
            }
            QStringView hex[4];
            for (int i = 0; i < span; ++i) hex[i] = g->CellRef(colHex, r + i);
            TTextBuf value;
            DecodeValueChars(*type, hex, value);
            g->SetCells(colValue, r, value.View());
            r += span;
            break;
        }
        }
    }
    Rendered.Data = ReadData;
    Rendered.Rows = rows;
    Rendered.TextVersion = g->TextVersion();
    Rendered.Valid = true;
}

void TRegisterGrid::ShowBitData(const std::vector<bool>& ReadDataBool)
{
    TStringGrid* g = FGrid;
    const int rows = g->RowCount();
    static const QString one = QStringLiteral("1");
    static const QString zero = QStringLiteral("0");
    for (size_t j = 0; j < ReadDataBool.size() && j + 1 < size_t(rows); ++j) {
        const int r = int(j) + 1;
        g->SetCells(colHex, r, Dash3());
        g->SetCells(colBin, r, ReadDataBool[j] ? one : zero);
        g->SetCells(colDec, r, Dash3());
        g->SetCells(colBytes, r, Dash3());
        g->SetCells(colAscii, r, Dash3());
    }
    static const QString bit = QStringLiteral("BIT");
    for (int r = 1; r < rows; ++r)
        g->SetCells(colValue, r, g->CellRef(colDataType, r) == bit ? g->CellRef(colBin, r) : QString());
}

bool TRegisterGrid::EditCell(int col, int row)
{
    if ((col != colDataType && col != colDescription) || row < 1 || row >= FGrid->RowCount()) return false;
    const QString cellText = FGrid->Cells(col, row);
    if (IsContinuation(cellText)) return false;
    const QString address = FGrid->Cells(colAddress, row);
    QString newText;
    // The dialog runs a nested event loop; the grid (and whoever owns this)
    // may go while it is open.
    QPointer<TStringGrid> grid(FGrid);
    // The registers from the row on, for the dialog's preview of every type.
    QStringList hex;
    if (col == colDataType)
        for (int r = row; r < row + 4 && r < FGrid->RowCount(); ++r) hex.append(FGrid->Cells(colHex, r));
    const bool ok = ExecuteDataEditor(col, cellText, address, newText, hex);
    if (!grid || !ok || row >= FGrid->RowCount()) return false;
    ApplyEdit(col, row, newText);
    return true;
}

void TRegisterGrid::ApplyEdit(int col, int row, const QString& newText)
{
    using ValueDecoding::DataTypeRows;
    const QString oldType = FGrid->Cells(colDataType, row);
    FGrid->SetCells(col, row, newText);
    MarkContinuationRows();
    if (col == colDescription || newText == oldType) return;

    // Release the rows the old type claimed and the new one does not.
    const int oldRows = DataTypeRows(oldType);
    const int newRows = DataTypeRows(newText);
    int firstReleased = 0; // offset of the first released row, 0: none
    if (oldRows == 4) {
        if (newRows == 2) firstReleased = 2;
        else if (newRows != 4) firstReleased = 1;
    } else if (oldRows == 2) {
        if (newRows != 2 && newRows != 4) firstReleased = 1;
    }
    if (firstReleased > 0) {
        for (int i = firstReleased; i < oldRows; ++i) {
            if (row + i <= FGrid->RowCount() - 1) FGrid->SetCells(colDataType, row + i, QString());
        }
    }
    UpdateRowColors();
}

void TRegisterGrid::MarkContinuationRows()
{
    const int rows = FGrid->RowCount();
    for (int i = 1; i < rows; ++i) {
        // Read when the pass reaches it: a row marked earlier claims nothing.
        const int span = ValueDecoding::DataTypeRows(FGrid->CellRef(colDataType, i));
        if (span < 2) continue;
        for (int k = i + 1; k < i + span && k < rows; ++k) {
            FGrid->SetCells(colDataType, k, Dash3());
            FGrid->SetCells(colValue, k, QString());
            FGrid->SetCells(colDescription, k, QString());
        }
    }
    UpdateRowColors();
}

bool TRegisterGrid::RowNumber(const TDataTypeInfo* Type, int Row, const std::vector<uint8_t>& Data,
                              const std::vector<bool>& Bits, bool BitAnswer, const zorp::TScaling* Scaling, double& Out)
{
    if (!Type || Row < 1) return false;
    const size_t first = size_t(Row - 1);
    if (Type->Format == TTypeFormat::Bit) {
        if (!BitAnswer || first >= Bits.size()) return false;
        Out = Bits[first] ? 1 : 0;
        return true;
    }
    if (BitAnswer || Type->Rows < 1 || Type->Rows > 4 || (first + size_t(Type->Rows)) * 2 > Data.size()) return false;
    uint16_t words[4] = {};
    for (int k = 0; k < Type->Rows; ++k) {
        const size_t at = (first + size_t(k)) * 2;
        words[k] = uint16_t(Data[at] << 8 | Data[at + 1]);
    }
    return zorp::ValueNumber(*Type, words, Scaling, Out);
}

QString TRegisterGrid::LogText(const TDataTypeInfo* Type, int Row, const std::vector<uint8_t>& Data,
                               const std::vector<bool>& Bits, bool BitAnswer, const zorp::TScaling* Scaling,
                               const QString& ValueText)
{
    if (!Scaling || Scaling->Empty()) return ValueText;
    double v = 0;
    return RowNumber(Type, Row, Data, Bits, BitAnswer, Scaling, v) ? zorp::NumberText(v) : QString();
}

void TRegisterGrid::ShowEngineering(const std::map<int, zorp::TScaling>& Scaling, const std::vector<uint8_t>& Data)
{
    const size_t words = Data.size() / 2;
    for (const auto& [row, scaling] : Scaling) {
        if (row < 1 || row >= FGrid->RowCount()) continue;
        const TDataTypeInfo* type = ValueDecoding::FindDataType(FGrid->CellRef(colDataType, row));
        if (!type || type->Rows < 1 || type->Rows > 4 || size_t(row - 1 + type->Rows) > words) continue;
        uint16_t regs[4] = {};
        for (int k = 0; k < type->Rows; ++k) {
            const size_t at = size_t(row - 1 + k) * 2;
            regs[k] = uint16_t(Data[at] << 8 | Data[at + 1]);
        }
        const QString text = zorp::EngineeringText(*type, regs, scaling);
        if (!text.isEmpty() && FGrid->CellRef(colValue, row) != text) FGrid->SetCells(colValue, row, text);
    }
}
