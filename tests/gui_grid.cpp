// SPDX-License-Identifier: GPL-3.0-or-later
// The register grid of the main window: rows and addresses, value groups and
// their colours, cell painting, and the rendering of register and bit responses.
#include <gtest/gtest.h>

#include <QFontMetrics>
#include <QImage>
#include <QPainter>
#include <QScrollBar>

#include "GridTestSupport.h"
#include "GuiSupport.h"
#include "LabeledEdit.h"
#include "ValueDecoding.h"

using namespace zorptest;

namespace {

constexpr uint32_t kGreen = 13492684;
constexpr uint32_t kWhite = 16777215;
constexpr uint32_t kGrey = 15461355;

class GridTest : public GuiWindowTest {
protected:
    TStringGrid& g() { return *w->sgData; }

    void respond(const std::vector<uint8_t>& bytes)
    {
        w->ReadData = bytes;
        w->ShowRegisterData();
    }
    void respondBits(const std::vector<bool>& bits)
    {
        w->ReadDataBool = bits;
        w->ShowBitData();
    }
    // Data [HEX] texts of rows 1.. as a register response.
    void respondHex(const QStringList& hex)
    {
        std::vector<uint8_t> bytes;
        for (const QString& h : hex) {
            const uint16_t v = h.toUShort(nullptr, 16);
            bytes.push_back(uint8_t(v >> 8));
            bytes.push_back(uint8_t(v & 0xFF));
        }
        respond(bytes);
    }
    std::vector<uint32_t> colors() const { return {w->FColors.begin() + 1, w->FColors.end()}; }
};

} // namespace

TEST_F(GridTest, StartsWithNineColumnsAndOneGreenRowAtAddressOne)
{
    ASSERT_EQ(g().ColCount(), 9);
    EXPECT_EQ(g().RowCount(), 2);
    EXPECT_EQ(g().FixedRows(), 1);
    EXPECT_EQ(g().FixedCols(), 1);
    const char* captions[] = {"Address", "Data Type", "Value", "Description", "Data [HEX]",
                              "Data [BIN]", "Data [DEC]", "Data [BYTES]", "Data [ASCII]"};
    const int widths[] = {75, 150, 120, 100, 70, 120, 80, 80, 80};
    for (int c = 0; c < 9; ++c) {
        EXPECT_EQ(g().Cells(c, 0), captions[c]);
        EXPECT_EQ(g().ColWidths(c), widths[c]);
    }
    EXPECT_EQ(g().Cells(gcAddress, 1), "1");
    EXPECT_EQ(w->FColors.size(), 2u);
    EXPECT_EQ(w->FColors[1], kGreen);
}

TEST_F(GridTest, ValueGroupsAlternateAndContinuationRowsJoinTheirGroup)
{
    setDataRows(*w, 5);
    setTypes(*w, {"SInt32 (Integer, LongInt) AABB CCDD", "---", "HEX", "", "---"});
    EXPECT_EQ(colors(), (std::vector<uint32_t>{kGreen, kGreen, kWhite, kGreen, kGreen}));

    // A mark with no group above it opens the colouring as white.
    setTypes(*w, {"---", "HEX", "", "", ""});
    EXPECT_EQ(colors(), (std::vector<uint32_t>{kWhite, kGreen, kWhite, kGreen, kWhite}));

    // Marks are exact texts: "--- " and "-" are rows of their own.
    setTypes(*w, {"HEX", "--- ", "-", "---", "---"});
    EXPECT_EQ(colors(), (std::vector<uint32_t>{kGreen, kWhite, kGreen, kGreen, kGreen}));

    // FColors follows the row count both ways.
    setDataRows(*w, 2);
    EXPECT_EQ(w->FColors.size(), 3u);
    setDataRows(*w, 8);
    EXPECT_EQ(w->FColors.size(), 9u);
}

TEST_F(GridTest, PaintedBackgroundsFollowTheGroupsAndGreyFixedCells)
{
    setDataRows(*w, 4);
    setTypes(*w, {"UInt32 (LongWord) AABB CCDD", "---", "HEX", ""});
    EXPECT_EQ(paintedBackground(g(), gcValue, 1), bgr(kGreen));
    EXPECT_EQ(paintedBackground(g(), gcBin, 2), bgr(kGreen));
    EXPECT_EQ(paintedBackground(g(), gcDesc, 3), bgr(kWhite));
    EXPECT_EQ(paintedBackground(g(), gcDec, 4), bgr(kGreen));
    EXPECT_EQ(paintedBackground(g(), gcAddress, 3), bgr(kGrey));
    EXPECT_EQ(paintedBackground(g(), gcHex, 0), bgr(kGrey));
    EXPECT_EQ(paintedBackground(g(), gcAddress, 0), bgr(kGrey));
}

TEST_F(GridTest, AddressesFollowStartAddressUnwrapped)
{
    w->leStartAddress->setText("65535");
    w->leLength->setText("3");
    setDataRows(*w, 3);
    EXPECT_EQ(columnTexts(g(), gcAddress), (QStringList{"65535", "65536", "65537"}));

    // An empty field leaves the column as it is but still recolours.
    w->leStartAddress->setText("");
    g().SetCells(gcType, 1, "---");
    w->FillAddresses();
    EXPECT_EQ(columnTexts(g(), gcAddress), (QStringList{"65535", "65536", "65537"}));
    EXPECT_EQ(w->FColors[1], kWhite);
    w->leStartAddress->setText("40001");
    w->leLength->setText("");
    w->FillAddresses();
    EXPECT_EQ(g().Cells(gcAddress, 1), "65535");
}

TEST_F(GridTest, HiddenRowsKeepTheirTextsWhenTheGridGrowsAgain)
{
    setDataRows(*w, 10);
    for (int r = 1; r <= 10; ++r) {
        g().SetCells(gcType, r, "UInt16 (Word) AABB");
        g().SetCells(gcDesc, r, QString("d%1").arg(r));
    }
    std::vector<uint8_t> bytes;
    for (int r = 1; r <= 10; ++r) { bytes.push_back(0); bytes.push_back(uint8_t(r)); }
    respond(bytes);
    setDataRows(*w, 5);
    respond({0xFF, 0xFF});
    setDataRows(*w, 10);
    for (int r = 6; r <= 10; ++r) {
        EXPECT_EQ(g().Cells(gcType, r), "UInt16 (Word) AABB");
        EXPECT_EQ(g().Cells(gcDesc, r), QString("d%1").arg(r));
        EXPECT_EQ(g().Cells(gcValue, r), QString::number(r));
        EXPECT_EQ(g().Cells(gcHex, r), QString("00%1").arg(r, 2, 16, QChar('0')).toUpper());
        EXPECT_EQ(g().Cells(gcBytes, r), QString("0,%1").arg(r));
    }
    EXPECT_EQ(g().Cells(gcValue, 1), "65535");
}

TEST_F(GridTest, RegisterResponseFillsTheFiveRawColumns)
{
    setDataRows(*w, 3);
    respond({0x00, 0x41, 0x0A, 0x1F});
    EXPECT_EQ(g().Cells(gcHex, 1), "0041");
    EXPECT_EQ(g().Cells(gcBin, 1), "00000000 01000001");
    EXPECT_EQ(g().Cells(gcDec, 1), "65");
    EXPECT_EQ(g().Cells(gcBytes, 1), "0,65");
    EXPECT_EQ(g().Cells(gcAscii, 1), QString(QChar(0)) + " A");
    EXPECT_EQ(g().Cells(gcHex, 2), "0A1F");
    EXPECT_EQ(g().Cells(gcDec, 2), "2591");
    EXPECT_EQ(g().Cells(gcBytes, 2), "10,31");
    // Row 3 is beyond the response: untouched.
    EXPECT_EQ(g().Cells(gcHex, 3), "");
    // Registers without a row are not shown, and nothing beyond the grid is written.
    setDataRows(*w, 1);
    const QString copyTakenBefore = g().Cells(gcHex, 1); // shares the cell's text
    respond({0x12, 0x34, 0x56, 0x78});
    EXPECT_EQ(g().Cells(gcHex, 1), "1234");
    EXPECT_EQ(copyTakenBefore, "0041");
    EXPECT_EQ(g().Cells(gcHex, 2), "0A1F");
}

TEST_F(GridTest, OddByteCountShowsTheHalfRegisterWithoutAValue)
{
    setDataRows(*w, 3);
    setTypes(*w, {"UInt16 (Word) AABB", "UInt16 (Word) AABB", "HEX"});
    respond({0x01, 0x02, 0x41});
    EXPECT_EQ(g().Cells(gcValue, 1), "258");
    EXPECT_EQ(g().Cells(gcHex, 2), "41");
    EXPECT_EQ(g().Cells(gcBin, 2), "01000001");
    EXPECT_EQ(g().Cells(gcDec, 2), "");
    EXPECT_EQ(g().Cells(gcBytes, 2), "65");
    EXPECT_EQ(g().Cells(gcAscii, 2), "A");
    EXPECT_EQ(g().Cells(gcValue, 2), "");
    // An empty response changes no raw cell.
    respond({});
    EXPECT_EQ(g().Cells(gcHex, 1), "0102");
}

TEST_F(GridTest, ValuesAreDecodedFromTheRowsByTheirTypes)
{
    setDataRows(*w, 10);
    setTypes(*w, {"SInt8 (ShortInt)", "SInt32 (Integer, LongInt) CCDD AABB", "---", "Single (Float) DDCC BBAA", "---",
                  "Double (Real) HHGG FFEE DDCC BBAA", "---", "---", "---", "BYTES"});
    respondHex({"12FF", "0102", "0304", "4148", "0000", "3FF0", "0000", "0000", "0000", "0A1F"});
    EXPECT_EQ(columnTexts(g(), gcValue),
              (QStringList{"-1", "50594050", "", "12.500000", "", "1.000000", "", "", "", "10,31"}));
}

TEST_F(GridTest, RowsThatAValueSpansArePassedOverWhateverTheirType)
{
    setDataRows(*w, 4);
    // The second row's own type is not used: the 32-bit value spans it.
    setTypes(*w, {"UInt32 (LongWord) AABB CCDD", "HEX", "BIN", "ASCII"});
    g().SetCells(gcValue, 2, "old");
    respondHex({"0001", "0000", "00FF", "4142"});
    EXPECT_EQ(columnTexts(g(), gcValue), (QStringList{"65536", "old", "00000000 11111111", "A B"}));
}

TEST_F(GridTest, ValuesRunningPastTheGridEndKeepTheirOldText)
{
    setDataRows(*w, 3);
    setTypes(*w, {"HEX", "UInt64 HHGG FFEE DDCC BBAA", "---"});
    g().SetCells(gcValue, 2, "before");
    g().SetCells(gcValue, 3, "stale");
    respondHex({"0001", "0002", "0003"});
    EXPECT_EQ(columnTexts(g(), gcValue), (QStringList{"0001", "before", ""}));

    setTypes(*w, {"HEX", "HEX", "Single (Float) AABB CCDD"});
    g().SetCells(gcValue, 3, "kept");
    respondHex({"0001", "0002", "0003"});
    EXPECT_EQ(g().Cells(gcValue, 3), "kept");
}

TEST_F(GridTest, RowsNoResponseReachedDecodeToEmpty)
{
    setDataRows(*w, 4);
    setTypes(*w, {"UInt16 (Word) AABB", "SInt32 (Integer, LongInt) AABB CCDD", "---", "UInt8 (Byte)"});
    for (int r = 1; r <= 4; ++r) g().SetCells(gcValue, r, "x");
    respondHex({"0005", "0001"}); // rows 3 and 4 have no Data [HEX]
    // Row 3 is spanned by row 2's value and not written.
    EXPECT_EQ(columnTexts(g(), gcValue), (QStringList{"5", "", "x", ""}));
}

TEST_F(GridTest, BitsAndTypesAcrossReadFunctions)
{
    setDataRows(*w, 4);
    setTypes(*w, {"BIT", "HEX", "BIT", ""});
    respondHex({"0001", "0002", "0003", "0004"});
    EXPECT_EQ(columnTexts(g(), gcValue), (QStringList{"", "0002", "", ""}));

    respondBits({true, false, true});
    EXPECT_EQ(columnTexts(g(), gcBin).mid(0, 3), (QStringList{"1", "0", "1"}));
    for (int c : {gcHex, gcDec, gcBytes, gcAscii})
        EXPECT_EQ(columnTexts(g(), c).mid(0, 3), (QStringList{"---", "---", "---"})) << c;
    // Row 4 keeps the register texts; HEX shows nothing after a bit read.
    EXPECT_EQ(g().Cells(gcHex, 4), "0004");
    EXPECT_EQ(columnTexts(g(), gcValue), (QStringList{"1", "", "1", ""}));

    // A "BIT" row the response did not reach copies whatever Data [BIN] holds.
    g().SetCells(gcType, 4, "BIT");
    respondBits({false});
    EXPECT_EQ(columnTexts(g(), gcValue), (QStringList{"0", "", "1", "00000000 00000100"}));
    respondBits({});
    EXPECT_EQ(g().Cells(gcValue, 1), "0");
}

namespace {
// The left- and rightmost columns of text pixels in one painted cell.
struct Ink {
    int left = -1, right = -1;
};
Ink paintCell(TfrmModbusMaster& w, int col, int row, int width, const QString& text)
{
    w.sgData->SetColWidths(col, width);
    w.sgData->SetCells(col, row, text);
    QImage img(width, w.sgData->DefaultRowHeight(), QImage::Format_RGB32);
    img.fill(Qt::magenta);
    {
        QPainter p(&img);
        p.setFont(w.sgData->font());
        w.sgDataDrawCell(w.sgData, p, col, row, img.rect());
    }
    const QColor bg = img.pixelColor(0, 0);
    Ink ink;
    for (int x = 0; x < img.width(); ++x)
        for (int y = 0; y < img.height(); ++y)
            if (img.pixelColor(x, y) != bg) {
                if (ink.left < 0) ink.left = x;
                ink.right = x;
            }
    return ink;
}
} // namespace

TEST_F(GridTest, TextOffsetsFollowTheColumnRules)
{
    setDataRows(*w, 1);
    QFont bold = g().font();
    bold.setBold(true);
    const QFontMetrics fm(bold);
    // Right-aligned with a 5-pixel margin.
    Ink ink = paintCell(*w, gcValue, 1, 120, "123");
    EXPECT_NEAR(ink.right, 120 - 5 - 1, 2);
    // Left-aligned at 5.
    ink = paintCell(*w, gcType, 1, 150, "HEX");
    EXPECT_NEAR(ink.left, 5, 2);
    // Header centred.
    ink = paintCell(*w, gcValue, 0, 120, "Value");
    const int expectedLeft = (120 - fm.horizontalAdvance("Value")) / 2;
    EXPECT_NEAR(ink.left, expectedLeft, 2);
    // Too wide: drawn from 3 in the header and the Address column, 5 elsewhere.
    const QString wide = "WWWWWWWWWWWWWWWW";
    EXPECT_NEAR(paintCell(*w, gcHex, 0, 20, wide).left, 3, 1);
    EXPECT_NEAR(paintCell(*w, gcAddress, 1, 20, wide).left, 3, 1);
    EXPECT_NEAR(paintCell(*w, gcValue, 1, 20, wide).left, 5, 1);
    EXPECT_NEAR(paintCell(*w, gcDec, 1, 20, wide).left, 5, 1);
    // Nothing is drawn outside the cell's rectangle: the painter stays in it.
    ink = paintCell(*w, gcDesc, 1, 100, "");
    EXPECT_EQ(ink.left, -1);
}

TEST_F(GridTest, ControlCharactersOfTheAsciiColumnAreDrawnAsDots)
{
    setDataRows(*w, 2);
    respond({0x00, 0x41, 0x2E, 0x41});
    // Row 1 holds NUL, space, A; row 2 ". A": both must look the same.
    auto paintRow = [&](int row) {
        QImage img(80, g().DefaultRowHeight(), QImage::Format_RGB32);
        QPainter p(&img);
        p.setFont(g().font());
        w->FColors[1] = w->FColors[2] = kWhite;
        w->sgDataDrawCell(w->sgData, p, gcAscii, row, img.rect());
        return img;
    };
    EXPECT_EQ(paintRow(1), paintRow(2));
}

TEST_F(GridTest, FixedRowAndColumnStayInViewWhenScrolling)
{
    setDataRows(*w, 100);
    respondHex(QStringList(100, "ABCD"));
    g().verticalScrollBar()->setValue(50);
    g().horizontalScrollBar()->setValue(200);
    QApplication::processEvents();
    // The header and the Address column are where they were.
    EXPECT_EQ(g().CellRect(gcValue, 0).top(), 0);
    EXPECT_EQ(g().CellRect(gcAddress, 60).left(), 0);
    EXPECT_TRUE(g().CellRect(gcValue, 10).isEmpty());
    int col = -1, row = -1;
    ASSERT_TRUE(g().MouseToCell(QPoint(10, 5), col, row));
    EXPECT_EQ(col, gcAddress);
    EXPECT_EQ(row, 0);
    ASSERT_TRUE(g().MouseToCell(QPoint(10, g().DefaultRowHeight() + 2), col, row));
    EXPECT_EQ(row, g().TopRow());
    EXPECT_EQ(paintedBackground(g(), gcAddress, g().TopRow()), bgr(kGrey));
    // A point below the last row is in no cell.
    setDataRows(*w, 2);
    EXPECT_FALSE(g().MouseToCell(QPoint(200, g().height() - 30), col, row));
}

TEST_F(GridTest, ColumnsResizeByDraggingTheHeaderBorder)
{
    QWidget* vp = g().viewport();
    const int border = g().CellRect(gcType, 0).right() + 1;
    QTest::mousePress(vp, Qt::LeftButton, Qt::NoModifier, QPoint(border, 5));
    QMouseEvent move(QEvent::MouseMove, QPointF(border + 30, 5), vp->mapToGlobal(QPointF(border + 30, 5)),
                     Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(vp, &move);
    QTest::mouseRelease(vp, Qt::LeftButton, Qt::NoModifier, QPoint(border + 30, 5));
    EXPECT_EQ(g().ColWidths(gcType), 180);
}

TEST_F(GridTest, ChangingOneCellRepaintsOnlyThatCell)
{
    setDataRows(*w, 5);
    respondHex({"0001", "0002", "0003", "0004", "0005"});
    QApplication::processEvents();
    int painted = 0;
    QList<QPair<int, int>> cells;
    auto draw = g().OnDrawCell;
    g().OnDrawCell = [&](TStringGrid* s, QPainter& p, int c, int r, const QRect& rect) {
        ++painted;
        cells << qMakePair(c, r);
        draw(s, p, c, r, rect);
    };
    respondHex({"0001", "0002", "0003", "0004", "0005"}); // nothing changed
    zorptest::spin(50);
    EXPECT_EQ(painted, 0);
    // Two cells of one row change: that row's changed span is repainted, no other row.
    g().SetCells(gcHex, 3, "FFFF");
    g().SetCells(gcDec, 3, QStringView(u"65535"));
    ASSERT_TRUE(zorptest::waitUntil([&] { return painted > 0; }, 2000));
    zorptest::spin(20);
    EXPECT_TRUE(cells.contains(qMakePair(int(gcHex), 3)));
    EXPECT_TRUE(cells.contains(qMakePair(int(gcDec), 3)));
    for (const auto& c : cells) {
        EXPECT_EQ(c.second, 3);
        EXPECT_GE(c.first, int(gcHex));
        EXPECT_LE(c.first, int(gcDec));
    }
    g().OnDrawCell = draw;
}

TEST_F(GridTest, ScreenshotOfATypedGrid)
{
    w->leStartAddress->setText("40001");
    setDataRows(*w, 10);
    setTypes(*w, {"UInt16 (Word) AABB", "SInt32 (Integer, LongInt) AABB CCDD", "---", "HEX", "",
                  "Single (Float) DDCC BBAA", "---", "ASCII", "BIT", "SInt8 (ShortInt)"});
    g().SetCells(gcDesc, 1, "Voltage L1");
    g().SetCells(gcDesc, 6, "Frequency");
    respondHex({"00E6", "0001", "86A0", "BEEF", "0000", "4248", "0000", "5A4F", "0001", "12FF"});
    QApplication::processEvents();
    const QImage img = w->grab().toImage();
    const QString out = qEnvironmentVariable("ZORP_GRID_SCREENSHOT");
    if (!out.isEmpty()) img.save(out);
    EXPECT_EQ(g().Cells(gcValue, 2), "100000");
    EXPECT_EQ(g().Cells(gcValue, 6), "50.000000");
    EXPECT_EQ(g().Cells(gcValue, 8), "Z O");
}
