// SPDX-License-Identifier: GPL-3.0-or-later
// Poll windows with what the main grid has: charts and CSV logs that take
// the decoded numbers (not the Value texts), address notations, engineering
// values, profiles, the log filter by poll, and the lost-link recovery.
#include <QAction>
#include <QMenu>

#include "ChartRecorder.h"
#include "CommLog.h"
#include "GuiSupport.h"
#include "LabeledEdit.h"
#include "LinkRecovery.h"
#include "LinkScheduler.h"
#include "RadioGroup.h"
#include "StatusBar.h"
#include "TesterOptions.h"
#include "PollLog.h"
#include "PollWindows.h"
#include "RegisterTools.h"
#include "SettingsSupport.h"
#include "StringGrid.h"
#include "ValueWatch.h"
#include "VexaModbus.h"
#include "WorkspaceFile.h"
#include "WorkspaceMenu.h"
#include "uPoll.h"

using namespace zorptest;

namespace {

zorp::TScaling Enum() { return zorp::TScaling{1, 0, {}, {{1, "Running"}, {2, "Stopped"}}, {}}; }
zorp::TScaling Volts() { return zorp::TScaling{0.1, 0, "V", {}, {}}; }
// Registers 0x0001, 0x0901 (230.5 V with a gain of 0.1), 0x0002 ...
std::vector<uint8_t> Regs(uint16_t first) { return {0, uint8_t(first), 0x09, 0x01, 0, 2, 0, 3}; }

class PollValuesTest : public SettingsWindowTest {
protected:
    void SetUp() override
    {
        SettingsWindowTest::SetUp();
        CreateWindow();
    }
    TfrmPoll* Open(int start)
    {
        TPollSettings s;
        s.Start = start;
        s.Length = 4;
        s.Types = {"UInt16 (Word) AABB", "UInt16 (Word) AABB", "UInt16 (Word) AABB", "HEX"};
        s.Descriptions = {"state", "", "", ""};
        return W->PollWindows->NewPollWindow(&s);
    }
    // With ZORP_SHOTS_DIR set (a run under Xvfb): a picture of Widget.
    static void Shoot(QWidget* widget, const char* name)
    {
        const QByteArray dir = qgetenv("ZORP_SHOTS_DIR");
        if (!dir.isEmpty()) widget->grab().save(QString::fromLocal8Bit(dir) + QStringLiteral("/polls25b-%1.png").arg(name));
    }
    static QStringList LogLines(const QString& path)
    {
        return QString::fromUtf8(ReadFile(path)).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    }
};

} // namespace

// A row shown as an enumeration label or with a unit plots and logs its
// number, in the main window and in a poll window alike.
TEST_F(PollValuesTest, LabelsAndUnitsNeverReachTheChartOrTheLog)
{
    W->leStartAddress->setText("1");
    W->leLength->setText("4");
    W->sgData->SetRowCount(5);
    W->FillAddresses();
    for (int r = 1; r <= 4; ++r) W->sgData->SetCells(1, r, "UInt16 (Word) AABB");
    W->RegisterTools->SetScaling(1, Enum());
    W->RegisterTools->SetScaling(2, Volts());
    RunGuarded([&] { W->ValueWatch->PlotRow(1); W->ValueWatch->PlotRow(2); });
    const QString mainLog = Dir.filePath("main.csv");
    RunGuarded([&] { W->ValueWatch->StartLogging(mainLog); });
    for (int i = 0; i < 2; ++i) W->mdbReadHoldingRegs(W.get(), 1, 1, 4, Regs(1));
    EXPECT_EQ(W->sgData->Cells(2, 1), "Running");
    EXPECT_EQ(W->sgData->Cells(2, 2), "230.5 V");
    const TChartRecorder& main = W->ValueWatch->Recorder;
    ASSERT_EQ(main.Series().size(), 2u);
    EXPECT_EQ(main.Series()[0].Last, 1);
    EXPECT_DOUBLE_EQ(main.Series()[1].Last, 230.5);
    W->ValueWatch->StopLogging();
    EXPECT_EQ(LogLines(mainLog).value(2).section(',', 1), "1,230.5");

    TfrmPoll* f = Open(101);
    f->SetScaling(1, Enum());
    f->SetScaling(2, Volts());
    f->Poll->Answered(3, 1, 101, Regs(1), {});
    EXPECT_EQ(f->sgData->Cells(2, 1), "Running");
    EXPECT_EQ(f->sgData->Cells(2, 2), "230.5 V");
    RunGuarded([&] { f->OnPlotRow(f, 2); });
    f->Poll->Answered(3, 1, 101, Regs(2), {});
    EXPECT_EQ(f->sgData->Cells(2, 1), "Stopped");
    EXPECT_DOUBLE_EQ(main.Series().back().Last, 230.5);
    EXPECT_TRUE(Boxes.isEmpty()) << Boxes.join('\n').toStdString();
}

// A poll window's log: the main window's file format, one column per
// typed register; a column follows its register, not its grid row.
TEST_F(PollValuesTest, APollWindowLogsByRegisterNotByRow)
{
    TfrmPoll* f = Open(10);
    f->SetScaling(2, Volts());
    const QString path = Dir.filePath("poll.csv");
    RunGuarded([&] { f->Log->Start(path); });
    ASSERT_TRUE(f->Log->Logging());
    EXPECT_TRUE(f->Log->actLogCsv->isChecked());
    f->Poll->Answered(3, 1, 10, Regs(7), {});
    // The window reads from 11 on: the old first register is not read now.
    f->leStartAddress->setText("11");
    RunGuarded([&] { f->ApplyFields(); });
    f->Poll->Answered(3, 1, 11, {0x09, 0x01, 0, 2, 0, 3, 0, 4}, {});
    f->Log->Stop();
    const QStringList lines = LogLines(path);
    ASSERT_EQ(lines.size(), 3) << lines.join('\n').toStdString();
    EXPECT_EQ(lines[0], "Time,state,Address 11,Address 12,Address 13");
    EXPECT_EQ(lines[1].section(',', 1), "7,230.5,2,0003");
    // Address 11 is on row 1 now (a row's scaling stays with the row);
    // address 13 is a HEX column but row 3 decodes it as a number.
    EXPECT_EQ(lines[2].section(',', 1), ",2305,0.2,");
}

// Options > "Addresses" reaches the poll windows' fields, Address column
// and exports; engineering values go with the workspace.
TEST_F(PollValuesTest, NotationsScalingAndProfilesInPollWindows)
{
    TfrmPoll* f = Open(17);
    RunGuarded([&] { W->RegisterTools->SetNotation(zorp::TAddressNotation{zorp::TAddressBase::Modicon, false}); });
    EXPECT_EQ(f->leStartAddress->text(), "40017");
    EXPECT_EQ(f->sgData->Cells(0, 2), "40018");
    EXPECT_TRUE(f->CsvText().contains("\r\n40019,")) << f->CsvText().toStdString();
    f->leStartAddress->setText("40020");
    RunGuarded([&] { f->ApplyFields(); });
    EXPECT_EQ(f->Poll->Settings.Start, 20);
    f->cbFunc->setCurrentIndex(3);
    EXPECT_EQ(f->leStartAddress->text(), "30020") << "a Modicon address names its table";
    EXPECT_EQ(f->Poll->Settings.Start, 20);
    // The Data panel's start goes into a workspace as the designed number.
    W->cbFunc->setCurrentIndex(2);
    W->leStartAddress->setText("40101");
    ASSERT_FALSE(TWorkspaceMenu::Collect().Links.isEmpty());
    EXPECT_EQ(TWorkspaceMenu::Collect().Links[0].Panel.Start, 101);

    // The workspace keeps each poll window's engineering values.
    f->SetScaling(1, Enum());
    f->SetScaling(3, Volts());
    f->Poll->Answered(4, 1, 20, Regs(1), {});
    EXPECT_EQ(f->sgData->Cells(2, 3), "0.2 V");
    f->show();
    Shoot(f, "poll-window");
    zorp::TWorkspace ws;
    ws.Links.append(zorp::TWorkspaceLink{});
    ws.Links[0].Polls.append(zorp::TWorkspacePoll{});
    ws.Links[0].Polls[0].Scaling = f->Scalings();
    zorp::TWorkspace back;
    QString error;
    ASSERT_TRUE(zorp::WorkspaceFromJson(zorp::WorkspaceToJson(ws), back, error)) << error.toStdString();
    EXPECT_EQ(back, ws);
    // A link's notation: a text of ours, or none (an older file, or a later one's notation).
    for (const auto& [text, notation] :
         std::vector<std::pair<QString, std::optional<zorp::TAddressNotation>>>{
             {"modicon-hex", zorp::TAddressNotation{zorp::TAddressBase::Modicon, true}},
             {"Wire", zorp::TAddressNotation{zorp::TAddressBase::Wire, false}},
             {"octal", std::nullopt}}) {
        const QString json = R"({"format":"zorp-workspace","version":1,"links":[{"addresses":"%1"}]})";
        ASSERT_TRUE(zorp::WorkspaceFromJson(json.arg(text).toUtf8(), back, error)) << error.toStdString();
        EXPECT_EQ(back.Links.value(0).Addresses, notation) << text.toStdString();
    }
    EXPECT_FALSE(zorp::WorkspaceFromJson(
        R"({"format":"zorp-workspace","version":1,"links":[{"polls":[{"rows":[{"row":1,"scaling":{"gain":0}}]}]}]})",
        back, error));

    // A designed profile, with the main window's engineering values.
    const QString profile = ProfilePath("pump.zvst");
    WriteFile(profile, "[Address]\r\nStart=5\r\nLength=3\r\nSlaveID=9\r\nFunc=04: Read Input Registers\r\n"
                       "[Cells_DataType]\r\n1=SInt16 (SmallInt) AABB\r\n2=Single (Float) AABB CCDD\r\n"
                       "[Cells_Description]\r\n1=level\r\n[Scaling]\r\n1=\"0.5,1,m\"\r\n");
    f->AskProfileFile = [&] { return profile; };
    RunGuarded([&] { f->LoadProfileClicked(); });
    const TPollSettings& s = f->Poll->Settings;
    EXPECT_EQ(std::make_tuple(s.Unit, s.Func, s.Start, s.Length), std::make_tuple(9, 4, 5, 3));
    EXPECT_EQ(f->sgData->Cells(1, 3), "---");
    EXPECT_EQ(f->sgData->Cells(3, 1), "level");
    ASSERT_TRUE(f->ScalingOf(1));
    EXPECT_EQ(f->ScalingOf(1)->Unit, "m");
    EXPECT_FALSE(f->ScalingOf(3));
    f->AskProfileFile = [&] { return Dir.filePath("none.zvst"); };
    RunGuarded([&] { f->LoadProfileClicked(); });
    EXPECT_EQ(Boxes.size(), 1);
}

// View > "Log filter" shows one poll window's frames only; a poll window
// whose link goes (its TCP server gone mid-poll) starts the recovery as
// the main window's reads do.
TEST_F(PollValuesTest, LogFilterByPollAndALinkLostUnderAPollWindow)
{
    auto slave = std::make_unique<GuiTcpSlave>(false);
    TTesterOptions o = W->FOptions;
    o.KeepPollingAfterErrors = true;
    W->SetOptions(o, false);
    W->rgModbusMode->SetItemIndex(2);
    W->leIP->setText("127.0.0.1");
    W->lePort->setText(QString::number(slave->port()));
    W->btnConnect->click();
    ASSERT_TRUE(waitUntil([&] { return W->mdb->Connected(); }));
    TfrmPoll* a = Open(1);
    TfrmPoll* b = Open(201);
    QMenu* menu = W->PollWindows->mnuLogFilter;
    emit menu->aboutToShow();
    ASSERT_EQ(menu->actions().size(), 3);
    EXPECT_TRUE(menu->actions()[0]->isChecked());
    EXPECT_EQ(menu->actions()[0]->text(), "All polls");
    EXPECT_EQ(menu->actions()[2]->text(), b->windowTitle());
    menu->popup(QPoint(0, 0));
    Shoot(menu, "log-filter");
    menu->hide();
    auto readBoth = [&](int n) {
        RunGuarded([&] { a->btnReadClick(); b->btnReadClick(); });
        return waitUntil([&] { return a->Poll->Responses == n && b->Poll->Responses == n; });
    };
    const int start = W->REComm->LineCount();
    for (int filter : {2, 0}) {
        SCOPED_TRACE(filter);
        menu->actions()[filter]->trigger();
        // All polls again: the frames the filter hid are shown too.
        if (!filter) {
            EXPECT_EQ(W->REComm->LineCount(), start + 4);
        }
        const int before = W->REComm->LineCount();
        ASSERT_TRUE(readBoth(filter ? 1 : 2));
        const int added = W->REComm->LineCount() - before;
        EXPECT_EQ(added, filter ? 2 : 4);
        if (filter) {
            EXPECT_EQ(W->REComm->LineText(before + 1), b->Poll->Frames.back().Line);
        }
    }

    W->mdb->SetTimeout(300);
    b->cbRealTime->setChecked(true);
    ASSERT_TRUE(waitUntil([&] { return b->Poll->Responses >= 5; }));
    const uint16_t port = slave->port();
    slave.reset();
    ASSERT_TRUE(waitUntil([&] { return W->Recovery->Active(); }, 15000));
    EXPECT_TRUE(W->sBar->PanelText(0).startsWith("Reconnecting")) << W->sBar->PanelText(0).toStdString();
    EXPECT_TRUE(b->cbRealTime->isChecked()) << "the poll's cycle waits for the link";
    // The server is back on its port: the link and the poll's cycle too.
    slave = std::make_unique<GuiTcpSlave>(false, nullptr, port);
    ASSERT_TRUE(slave->ok());
    const int before = b->Poll->Responses;
    ASSERT_TRUE(waitUntil([&] { return b->Poll->Responses >= before + 3; }, 20000));
    EXPECT_FALSE(W->Recovery->Active());
    EXPECT_EQ(a->Poll->Responses, 2) << "a poll outside Real time stays as it was";
    b->cbRealTime->setChecked(false);
}
