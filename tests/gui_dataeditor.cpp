// SPDX-License-Identifier: GPL-3.0-or-later
// The data editor: opened by left presses on Data Type and Description cells,
// driven by real key presses and clicks; continuation rows claimed and
// released by the marking pass.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QGroupBox>
#include <QLabel>
#include <QScreen>
#include <map>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>

#include "GridTestSupport.h"
#include "GuiSupport.h"
#include "LabeledEdit.h"
#include "ValueDecoding.h"

using namespace zorptest;

namespace {

constexpr uint32_t kGreen = 13492684;
constexpr uint32_t kWhite = 16777215;

int typeIndex(const QString& name) { return int(ValueDecoding::DataTypeNames().indexOf(name)); }

// Picks `type` with key presses and confirms with Enter in the list.
std::function<void(TfrmDataEditor*)> chooseType(const QString& type)
{
    return [type](TfrmDataEditor* dlg) {
        pickTypeByKeys(dlg, typeIndex(type));
        QTest::keyClick(dlg->cbDataType, Qt::Key_Return);
    };
}

class DataEditorTest : public GuiWindowTest {
protected:
    TStringGrid& g() { return *w->sgData; }

    // A real left click on the Data Type cell of `row`, choosing `type`.
    void setType(int row, const QString& type)
    {
        DataEditorDriver d(chooseType(type));
        clickCell(g(), gcType, row);
        ASSERT_EQ(d.Shown, 1);
    }
    void setDescription(int row, const QString& text)
    {
        DataEditorDriver d([text](TfrmDataEditor* dlg) {
            dlg->edDescription->selectAll();
            QTest::keyClicks(dlg->edDescription, text);
            QTest::keyClick(dlg->edDescription, Qt::Key_Enter);
        });
        clickCell(g(), gcDesc, row);
        ASSERT_EQ(d.Shown, 1);
    }
    std::vector<uint32_t> colors() const { return {w->FColors.begin() + 1, w->FColors.end()}; }
};

} // namespace

TEST_F(DataEditorTest, DialogLayoutAndCaption)
{
    TfrmDataEditor dlg;
    EXPECT_EQ(dlg.size(), QSize(251, 104));
    EXPECT_EQ(dlg.minimumSize(), dlg.maximumSize());
    EXPECT_EQ(dlg.gbDataType->geometry(), QRect(8, 0, 235, 65));
    EXPECT_EQ(dlg.gbDescription->geometry(), QRect(8, 0, 235, 65));
    EXPECT_EQ(dlg.btnOK->geometry(), QRect(88, 71, 75, 25));
    EXPECT_EQ(dlg.btnOK->text(), "OK");
    EXPECT_EQ(dlg.gbDataType->title(), "Data Type");
    EXPECT_EQ(dlg.gbDescription->title(), "Description");
    ASSERT_EQ(dlg.cbDataType->count(), 35);
    EXPECT_EQ(dlg.cbDataType->itemText(0), "HEX");
    EXPECT_EQ(dlg.cbDataType->itemText(34), "Double (Real) HHGG FFEE DDCC BBAA");
    EXPECT_GE(dlg.cbDataType->maxVisibleItems(), 35);
    EXPECT_FALSE(dlg.cbDataType->isEditable());
    const QString shot = qEnvironmentVariable("ZORP_EDITOR_SCREENSHOT");
    if (!shot.isEmpty()) {
        dlg.gbDescription->hide();
        dlg.cbDataType->setCurrentIndex(11);
        dlg.grab().save(shot);
    }

    w->leStartAddress->setText("40001");
    setDataRows(*w, 2);
    DataEditorDriver d([](TfrmDataEditor* dlg) { dlg->reject(); });
    clickCell(g(), gcType, 1);
    EXPECT_EQ(d.Caption, "Data Editor for Address: 40001");
    EXPECT_TRUE(d.TypeBoxVisible);
    EXPECT_FALSE(d.DescriptionBoxVisible);
}

TEST_F(DataEditorTest, TypeListOpensOnTheCurrentTypeOrOnNothing)
{
    setDataRows(*w, 3);
    setTypes(*w, {"UInt8 (Byte)", "no such type", ""});
    for (int row : {1, 2, 3}) {
        DataEditorDriver d([](TfrmDataEditor* dlg) { QTest::mouseClick(dlg->btnOK, Qt::LeftButton); });
        clickCell(g(), gcType, row);
        ASSERT_EQ(d.Shown, 1);
        EXPECT_EQ(d.SelectedType, row == 1 ? typeIndex("UInt8 (Byte)") : -1) << row;
    }
    // OK without a choice empties the type; OK on a selected one keeps it.
    EXPECT_EQ(columnTexts(g(), gcType), (QStringList{"UInt8 (Byte)", "", ""}));
}

TEST_F(DataEditorTest, EnterClosesWithOkAndFocusIsOnTheVisibleControl)
{
    setDataRows(*w, 2);
    {
        DataEditorDriver d([](TfrmDataEditor* dlg) {
            pickTypeByKeys(dlg, 2);
            QTest::keyClick(dlg->cbDataType, Qt::Key_Return);
        });
        clickCell(g(), gcType, 1);
        EXPECT_EQ(d.FocusedOnShow, "cbDataType");
    }
    EXPECT_EQ(g().Cells(gcType, 1), "BYTES");
    {
        DataEditorDriver d([](TfrmDataEditor* dlg) {
            EXPECT_TRUE(dlg->edDescription->hasSelectedText()); // typing replaces it
            QTest::keyClick(dlg->edDescription, Qt::Key_End);
            QTest::keyClicks(dlg->edDescription, " room 2");
            QTest::keyClick(dlg->edDescription, Qt::Key_Return);
        });
        g().SetCells(gcDesc, 1, "Pump");
        clickCell(g(), gcDesc, 1);
        EXPECT_EQ(d.Description, "Pump");
        EXPECT_TRUE(d.DescriptionBoxVisible);
        EXPECT_FALSE(d.TypeBoxVisible);
        EXPECT_EQ(d.FocusedOnShow, "edDescription");
    }
    EXPECT_EQ(g().Cells(gcDesc, 1), "Pump room 2");
    // Enter in the open list takes the highlighted name and closes with OK.
    {
        DataEditorDriver d([](TfrmDataEditor* dlg) {
            dlg->cbDataType->showPopup();
            QAbstractItemView* view = dlg->cbDataType->view();
            view->setCurrentIndex(view->model()->index(4, 0));
            QTest::keyClick(view, Qt::Key_Return);
        });
        clickCell(g(), gcType, 1);
    }
    EXPECT_EQ(g().Cells(gcType, 1), "BIT");
}

TEST_F(DataEditorTest, ClosingWithoutOkChangesNothing)
{
    setDataRows(*w, 3);
    setTypes(*w, {"HEX", "HEX", "HEX"});
    g().SetCells(gcDesc, 2, "keep");
    const auto before = colors();
    {
        DataEditorDriver d([](TfrmDataEditor* dlg) {
            pickTypeByKeys(dlg, typeIndex("Int64 AABB CCDD EEFF GGHH"));
            dlg->close();
        });
        clickCell(g(), gcType, 1);
    }
    {
        DataEditorDriver d([](TfrmDataEditor* dlg) {
            QTest::keyClicks(dlg->edDescription, "lost");
            QTest::keyClick(dlg->edDescription, Qt::Key_Escape);
        });
        clickCell(g(), gcDesc, 2);
    }
    EXPECT_EQ(columnTexts(g(), gcType), (QStringList{"HEX", "HEX", "HEX"}));
    EXPECT_EQ(g().Cells(gcDesc, 2), "keep");
    EXPECT_EQ(colors(), before);
    // ExecuteDataEditor leaves the out text alone when not confirmed.
    QString out = "unset";
    DataEditorDriver d([](TfrmDataEditor* dlg) { dlg->reject(); });
    EXPECT_FALSE(ExecuteDataEditor(3, "x", "1", out));
    EXPECT_EQ(out, "unset");
}

TEST_F(DataEditorTest, PressesOutsideTheEditableCellsOpenNothing)
{
    setDataRows(*w, 3);
    setTypes(*w, {"SInt32 (Integer, LongInt) AABB CCDD", "---", ""});
    g().SetCells(gcDesc, 3, "---");
    DataEditorDriver d;
    clickCell(g(), gcType, 1, Qt::RightButton);
    clickCell(g(), gcType, 0);
    clickCell(g(), gcDesc, 0);
    clickCell(g(), gcAddress, 1);
    clickCell(g(), gcValue, 1);
    clickCell(g(), gcHex, 1);
    clickCell(g(), gcType, 2); // a continuation row's type
    clickCell(g(), gcDesc, 3); // a description reading "---"
    QTest::mouseClick(g().viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(200, g().viewport()->height() - 3));
    EXPECT_EQ(d.Shown, 0);
}

TEST_F(DataEditorTest, FourRowTypesClaimTheRowsBelowUpToTheGridEnd)
{
    setDataRows(*w, 5);
    setType(3, "Int64 AABB CCDD EEFF GGHH");
    EXPECT_EQ(columnTexts(g(), gcType), (QStringList{"", "", "Int64 AABB CCDD EEFF GGHH", "---", "---"}));
    EXPECT_EQ(colors(), (std::vector<uint32_t>{kGreen, kWhite, kGreen, kGreen, kGreen}));

    setDataRows(*w, 4);
    for (int r = 1; r <= 5; ++r) g().SetCells(gcType, r, QString());
    for (int r = 1; r <= 4; ++r) {
        g().SetCells(gcValue, r, "v");
        g().SetCells(gcDesc, r, "d");
        g().SetCells(gcHex, r, "0001");
    }
    setType(1, "Double (Real) HHGG FFEE DDCC BBAA");
    EXPECT_EQ(columnTexts(g(), gcType), (QStringList{"Double (Real) HHGG FFEE DDCC BBAA", "---", "---", "---"}));
    // Marked rows lose value and description, keep their raw columns.
    EXPECT_EQ(columnTexts(g(), gcValue), (QStringList{"v", "", "", ""}));
    EXPECT_EQ(columnTexts(g(), gcDesc), (QStringList{"d", "", "", ""}));
    EXPECT_EQ(columnTexts(g(), gcHex), (QStringList{"0001", "0001", "0001", "0001"}));
    EXPECT_EQ(colors(), (std::vector<uint32_t>{kGreen, kGreen, kGreen, kGreen}));
    // Rows hidden beyond the grid are not marked.
    EXPECT_EQ(g().Cells(gcType, 5), "");
}

TEST_F(DataEditorTest, TwoRowTypeOnTheLastRowMarksNothing)
{
    setDataRows(*w, 3);
    setType(3, "SInt32 (Integer, LongInt) AABB CCDD");
    EXPECT_EQ(columnTexts(g(), gcType), (QStringList{"", "", "SInt32 (Integer, LongInt) AABB CCDD"}));
    EXPECT_EQ(g().Cells(gcType, 4), "");
}

TEST_F(DataEditorTest, NarrowingATypeReleasesTheRowsItNoLongerNeeds)
{
    setDataRows(*w, 6);
    setType(1, "UInt64 HHGG FFEE DDCC BBAA");
    setType(1, "Single (Float) DDCC BBAA");
    EXPECT_EQ(columnTexts(g(), gcType), (QStringList{"Single (Float) DDCC BBAA", "---", "", "", "", ""}));
    EXPECT_EQ(colors(), (std::vector<uint32_t>{kGreen, kGreen, kWhite, kGreen, kWhite, kGreen}));

    setType(1, "HEX");
    EXPECT_EQ(columnTexts(g(), gcType), (QStringList{"HEX", "", "", "", "", ""}));

    // Widening two to four claims; four to two releases +2 and +3 only.
    setType(3, "SInt32 (Integer, LongInt) BBAA DDCC");
    setType(3, "Int64 HHGG FFEE DDCC BBAA");
    EXPECT_EQ(columnTexts(g(), gcType), (QStringList{"HEX", "", "Int64 HHGG FFEE DDCC BBAA", "---", "---", "---"}));
    setType(3, "UInt32 (LongWord) CCDD AABB");
    EXPECT_EQ(columnTexts(g(), gcType), (QStringList{"HEX", "", "UInt32 (LongWord) CCDD AABB", "---", "", ""}));
    // Four to one near the grid end: only rows that exist are released.
    setDataRows(*w, 5);
    setType(3, "Double (Real) AABB CCDD EEFF GGHH");
    setType(3, "UInt8 (Byte)");
    EXPECT_EQ(columnTexts(g(), gcType), (QStringList{"HEX", "", "UInt8 (Byte)", "", ""}));
}

TEST_F(DataEditorTest, ShorterTypeAboveSwallowsTheStartOfALongerOne)
{
    setDataRows(*w, 6);
    setType(2, "Int64 AABB CCDD EEFF GGHH");
    setDescription(2, "energy");
    setType(1, "SInt32 (Integer, LongInt) AABB CCDD");
    EXPECT_EQ(columnTexts(g(), gcType),
              (QStringList{"SInt32 (Integer, LongInt) AABB CCDD", "---", "---", "---", "---", ""}));
    EXPECT_EQ(g().Cells(gcDesc, 2), "");
    EXPECT_EQ(colors(), (std::vector<uint32_t>{kGreen, kGreen, kGreen, kGreen, kGreen, kWhite}));
}

TEST_F(DataEditorTest, DescriptionsOnGroupsAndContinuationRows)
{
    setDataRows(*w, 3);
    setType(1, "UInt32 (LongWord) AABB CCDD");
    setDescription(1, "counter");
    EXPECT_EQ(columnTexts(g(), gcType), (QStringList{"UInt32 (LongWord) AABB CCDD", "---", ""}));
    EXPECT_EQ(columnTexts(g(), gcDesc), (QStringList{"counter", "", ""}));
    // The continuation row's empty description opens the dialog; the marking
    // pass empties what was typed at once.
    setDescription(2, "ignored");
    EXPECT_EQ(g().Cells(gcDesc, 2), "");
    EXPECT_EQ(g().Cells(gcType, 2), "---");
}

TEST_F(DataEditorTest, ProfilesLoadedWithoutMarksAreMarkedOnTheFirstEdit)
{
    setDataRows(*w, 5);
    // As a profile may hold it: a four-row type with no marks below.
    setTypes(*w, {"Double (Real) BBAA DDCC FFEE HHGG", "HEX", "HEX", "HEX", "BIT"});
    setDescription(5, "flag");
    EXPECT_EQ(columnTexts(g(), gcType), (QStringList{"Double (Real) BBAA DDCC FFEE HHGG", "---", "---", "---", "BIT"}));
}

TEST_F(DataEditorTest, EditAppliesToThePressedRowEvenIfAResponseArrivesMeanwhile)
{
    setDataRows(*w, 2);
    setTypes(*w, {"UInt16 (Word) AABB", ""});
    DataEditorDriver d([this](TfrmDataEditor* dlg) {
        // A poll's answer rendered while the dialog is open.
        w->ReadData = {0x00, 0x07, 0x00, 0x08};
        w->ShowRegisterData();
        pickTypeByKeys(dlg, typeIndex("SInt32 (Integer, LongInt) AABB CCDD"));
        QTest::mouseClick(dlg->btnOK, Qt::LeftButton);
    });
    clickCell(g(), gcType, 1);
    EXPECT_EQ(columnTexts(g(), gcType), (QStringList{"SInt32 (Integer, LongInt) AABB CCDD", "---"}));
    // The Value is not recomputed until the next response.
    EXPECT_EQ(g().Cells(gcValue, 1), "7");
    w->ShowRegisterData();
    EXPECT_EQ(g().Cells(gcValue, 1), "458760");
}

TEST_F(DataEditorTest, EveryTypeShowsTheRowsValueSoTheByteOrderCanBeSeen)
{
    setDataRows(*w, 4);
    // Two registers read, 4148 and 0000; rows 3 and 4 have none yet.
    g().SetCells(4, 1, "4148");
    g().SetCells(4, 2, "0000");
    setTypes(*w, {"Single (Float) DDCC BBAA", "", "", ""});
    struct Seen {
        QString Preview, Tip;
    };
    std::map<QString, Seen> seen;
    QString label, labelAfter;
    QRect labelRect, boxRect;
    QSize size;
    DataEditorDriver d([&](TfrmDataEditor* dlg) {
        for (int i = 0; i < dlg->cbDataType->count(); ++i)
            seen[dlg->cbDataType->itemText(i)] = {dlg->PreviewText(i), dlg->cbDataType->itemData(i, Qt::ToolTipRole).toString()};
        label = dlg->lblPreview->text();
        labelRect = dlg->lblPreview->geometry();
        boxRect = dlg->gbDataType->rect();
        size = dlg->size();
        dlg->cbDataType->setCurrentIndex(typeIndex("UInt32 (LongWord) AABB CCDD"));
        labelAfter = dlg->lblPreview->text();
        if (qEnvironmentVariableIsSet("ZORP_SHOTS_DIR")) {
            dlg->cbDataType->setCurrentIndex(typeIndex("Single (Float) DDCC BBAA"));
            dlg->grab().save(qEnvironmentVariable("ZORP_SHOTS_DIR") + "/data_editor_preview_dialog.png");
            dlg->cbDataType->showPopup();
            spin(400);
            dlg->screen()->grabWindow(0).save(qEnvironmentVariable("ZORP_SHOTS_DIR") + "/data_editor_preview.png");
            dlg->cbDataType->hidePopup();
        }
        dlg->reject();
    });
    clickCell(g(), gcType, 1);
    ASSERT_EQ(d.Shown, 1);
    // The same two registers in several types and byte orders.
    const std::map<QString, QString> expected = {
        {"HEX", "4148"},
        {"BYTES", "65,72"},
        {"UInt8 (Byte)", "72"},
        {"SInt16 (SmallInt) AABB", "16712"},
        {"UInt16 (Word) BBAA", "18497"},
        {"UInt32 (LongWord) AABB CCDD", "1095237632"},
        {"UInt32 (LongWord) CCDD AABB", "16712"},
        {"Single (Float) DDCC BBAA", "12.500000"},
        {"Single (Float) BBAA DDCC", "0.000000"},
        {"Double (Real) AABB CCDD EEFF GGHH", "(needs 4 registers)"},
        {"BIT", "(coils and inputs)"},
    };
    for (const auto& [type, value] : expected) {
        EXPECT_EQ(seen[type].Preview, value) << type.toStdString();
        EXPECT_EQ(seen[type].Tip, type + ": " + value) << type.toStdString();
    }
    EXPECT_EQ(label, "Value: 12.500000");
    EXPECT_EQ(labelAfter, "Value: 1095237632");
    // The designed dialog keeps its size; the preview sits inside the type box.
    EXPECT_EQ(size, QSize(251, 104));
    EXPECT_TRUE(boxRect.contains(labelRect)) << labelRect.y() << " " << labelRect.height();
    // A Description edit has no preview.
    DataEditorDriver desc([&](TfrmDataEditor* dlg) {
        label = dlg->lblPreview->isVisible() ? dlg->lblPreview->text() : QString();
        dlg->reject();
    });
    clickCell(g(), gcDesc, 1);
    EXPECT_EQ(label, "");
}
