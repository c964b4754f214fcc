// SPDX-License-Identifier: GPL-3.0-or-later
// The window never shows a value as current that it did not just read:
// values that no longer describe the addresses beside them are drawn as
// old; recorded series and log columns follow their register; every read
// asks the unit the Slave ID field names; a lost link is taken up again.
#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QScreen>
#include <QToolTip>
#include <cmath>

#include "GuiSupport.h"
#include "LabeledEdit.h"
#include "LinkRecovery.h"
#include "RadioGroup.h"
#include "SettingsSupport.h"
#include "StatusBar.h"
#include "StringGrid.h"
#include "ValueWatch.h"
#include "VexaModbus.h"
#include "CommLog.h"

using namespace zorptest;

namespace {

class TrustTest : public SettingsWindowTest {
protected:
    void SetUp() override
    {
        SettingsWindowTest::SetUp();
        CreateWindow();
        W->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(W.get()));
        W->leStartAddress->setText("1");
        W->leLength->setText("18");
        W->sgData->SetRowCount(19);
        W->FillAddresses();
        for (int r = 1; r <= 18; ++r) W->sgData->SetCells(1, r, r % 3 == 1 ? "UInt16 (Word) AABB" : "HEX");
        W->MarkContinuationRows();
    }
    // A holding-register answer from Addr: n registers, register k = seed + k.
    void Answer(uint16_t addr, int n, int seed = 0x100)
    {
        std::vector<uint8_t> b;
        for (int k = 0; k < n; ++k) b.insert(b.end(), {uint8_t((seed + k) >> 8), uint8_t(seed + k)});
        W->mdbReadHoldingRegs(W->mdb, 1, addr, uint16_t(n), b);
    }
    void Type(TLabeledEdit* e, const char* text)
    {
        e->setFocus();
        e->selectAll();
        QTest::keyClicks(e, text);
    }
    // Rows whose Value or raw cells are drawn old.
    std::vector<int> OldRows()
    {
        std::vector<int> rows;
        for (int r = 1; r <= 18; ++r)
            if (W->CellIsOld(2, r) || W->CellIsOld(4, r)) rows.push_back(r);
        return rows;
    }
    QImage Cells() { return W->sgData->viewport()->grab().toImage(); }
};

std::vector<int> Range(int from, int to)
{
    std::vector<int> v;
    for (int r = from; r <= to; ++r) v.push_back(r);
    return v;
}

} // namespace

TEST_F(TrustTest, ValuesThatNoLongerDescribeTheirAddressesAreDrawnOld)
{
    struct Case {
        const char* Name;
        std::function<void()> Cause;
        std::vector<int> Old;
        const char* Hint; // a part of the tooltip of row 2's Value
    } cases[] = {
        {"start address", [&] { Type(W->leStartAddress, "100"); }, Range(1, 18), "Old value of address 1 (unit 1, function 03), read at "},
        {"function", [&] { W->cbFunc->setCurrentIndex(3); }, Range(1, 18), "function 03"},
        {"slave id", [&] { Type(W->leSlaveID, "5"); }, Range(1, 18), "(unit 1,"},
        {"short answer", [&] { Answer(1, 10); }, Range(11, 18), nullptr},
        {"exception", [&] { W->FInFlight = TfrmModbusMaster::TInFlight::Read; W->mdbError(W->mdb, 13); }, Range(1, 18), "failed"},
        {"disconnect", [&] { W->mdbDisconnect(W->mdb); }, Range(1, 18), "The link closed at "},
        {"link lost", [&] { W->FLinkUp = true; W->CheckLinkLost(); }, Range(1, 18), "The link closed at "},
    };
    Answer(1, 18);
    ASSERT_EQ(OldRows(), std::vector<int>{});
    const QImage fresh = Cells();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        c.Cause();
        EXPECT_EQ(OldRows(), c.Old);
        const int row = c.Old.front();
        EXPECT_TRUE(W->OldValueHint(2, row).startsWith("Old value")) << W->OldValueHint(2, row).toStdString();
        if (c.Hint) {
            EXPECT_TRUE(W->OldValueHint(2, row).contains(c.Hint)) << W->OldValueHint(2, row).toStdString();
        }
        EXPECT_EQ(W->OldValueHint(3, row), "") << "the Description is the user's";
        // The tooltip over the cell.
        const QPoint at = W->sgData->CellRect(2, row).center();
        QHelpEvent help(QEvent::ToolTip, at, W->sgData->viewport()->mapToGlobal(at));
        QApplication::sendEvent(W->sgData->viewport(), &help);
        EXPECT_EQ(QToolTip::text(), W->OldValueHint(2, row));
        const QImage old = Cells();
        // Grey italics on every old cell; the rows above them as they were.
        const QRect oldPart = W->sgData->CellRect(2, row) | W->sgData->CellRect(8, row);
        EXPECT_NE(old.copy(oldPart), fresh.copy(oldPart));
        if (!qEnvironmentVariableIsEmpty("ZORP_SHOT_DIR") && QByteArray(c.Name) == "short answer") {
            spin(500);
            QGuiApplication::primaryScreen()->grabWindow(0).save(qEnvironmentVariable("ZORP_SHOT_DIR") + "/stale_values.png");
        }
        // Back to the grid's first request; a read makes it look as designed.
        W->leStartAddress->setText("1");
        W->leSlaveID->setText("1");
        W->cbFunc->setCurrentIndex(2);
        W->FillAddresses();
        Answer(1, 18);
        EXPECT_EQ(OldRows(), std::vector<int>{});
        EXPECT_EQ(Cells(), fresh);
    }
}

TEST_F(TrustTest, SeriesAndLogColumnsFollowTheirRegisterNotTheirRow)
{
    TValueWatch* v = W->ValueWatch;
    v->PlotRow(1);
    const QString file = Dir.filePath("follow.csv");
    v->StartLogging(file);
    Answer(1, 18, 10);                        // address 1 holds 10
    Type(W->leStartAddress, "4");
    Answer(4, 18, 40);                        // address 4 holds 40: not address 1
    Answer(4, 18, 41);
    Type(W->leStartAddress, "100");
    EXPECT_EQ(v->SeriesName(1), "Address 1") << "the history keeps its name";
    Type(W->leStartAddress, "1");
    Answer(1, 18, 11);
    v->StopLogging();
    const TChartSeries& s = v->Recorder.Series()[0];
    ASSERT_EQ(s.Points.size(), 3) << "one gap while another register was read";
    EXPECT_EQ(s.Points[0].value, 10);
    EXPECT_TRUE(std::isnan(s.Points[1].value));
    EXPECT_EQ(s.Points[2].value, 11);
    QStringList column;
    for (const QString& line : QString::fromUtf8(ReadFile(file)).split("\r\n", Qt::SkipEmptyParts))
        column << line.section(',', 1);
    EXPECT_EQ(column, (QStringList{"Address 1", "10", "", "", "11"}));
}

TEST_F(TrustTest, EveryReadAsksTheUnitInTheSlaveIdField)
{
    GuiTcpSlave slave(false);
    W->rgModbusMode->SetItemIndex(2);
    W->leIP->setText("127.0.0.1");
    W->lePort->setText(QString::number(slave.port()));
    W->btnConnect->click();
    ASSERT_TRUE(waitUntil([&] { return W->mdb->Connected(); }));
    W->leSlaveID->setText("5");
    W->btnRead->click();
    ASSERT_TRUE(waitUntil([&] { return W->FResponses == 1; }));
    EXPECT_TRUE(W->REComm->LineText(0).endsWith("[00] [06] [05] [03] [00] [00] [00] [12] ")) << W->REComm->LineText(0).toStdString();
    EXPECT_EQ(OldRows(), std::vector<int>{});
    W->leSlaveID->setText("");
    W->btnRead->click();
    EXPECT_EQ(Boxes, QStringList{"'''' is not a valid integer value."});
}

TEST_F(TrustTest, ALostLinkIsTakenUpAgainWithKeepPollingAndEndsTheCycleWithout)
{
    EXPECT_EQ((std::vector<int>{TLinkRecovery::PauseSeconds(0), TLinkRecovery::PauseSeconds(1),
                                TLinkRecovery::PauseSeconds(4), TLinkRecovery::PauseSeconds(5),
                                TLinkRecovery::PauseSeconds(40)}),
              (std::vector<int>{1, 2, 16, 30, 30}));
    GuiTcpSlave slave(false);
    W->rgModbusMode->SetItemIndex(2);
    W->leIP->setText("127.0.0.1");
    W->lePort->setText(QString::number(slave.port()));
    W->cbFunc->setCurrentIndex(3);
    for (const bool keep : {true, false}) {
        SCOPED_TRACE(keep);
        TTesterOptions o = W->FOptions;
        o.KeepPollingAfterErrors = keep;
        W->SetOptions(o, false);
        W->btnConnect->click();
        ASSERT_TRUE(waitUntil([&] { return W->mdb->Connected(); }));
        W->mdb->SetTimeout(300);
        W->cbRealTime->setChecked(true);
        W->btnRead->click();
        ASSERT_TRUE(waitUntil([&] { return W->FResponses >= 3; }));
        slave.closeClients();
        if (keep) {
            ASSERT_TRUE(waitUntil([&] { return W->sBar->PanelText(0).startsWith("Reconnecting in "); }, 15000));
            EXPECT_LT(W->FErrors, 10) << "no read spins on a closing link";
            const int before = W->FResponses;
            ASSERT_TRUE(waitUntil([&] { return W->FResponses >= before + 3; }, 20000)) << "polling goes on";
            EXPECT_TRUE(W->cbRealTime->isChecked());
            EXPECT_TRUE(W->mdb->Connected());
            W->cbRealTime->setChecked(false);
            W->btnDisconnect->click();
            ASSERT_TRUE(waitUntil([&] { return !W->mdb->Connected() && W->btnConnect->isEnabled(); }));
        } else {
            ASSERT_TRUE(waitUntil([&] { return W->btnConnect->isEnabled(); }, 15000));
            EXPECT_FALSE(W->cbRealTime->isChecked()) << "the cycle ended with the link";
            EXPECT_FALSE(W->Recovery->Active());
        }
    }
}
