// SPDX-License-Identifier: GPL-3.0-or-later
// Settings profiles and the stored window settings, driven through the real
// main window.
#include <QCheckBox>
#include <QPushButton>
#include <QComboBox>
#include <QAction>
#include <QFileDialog>
#include <QScreen>

#include "IniFile.h"
#include "LabeledEdit.h"
#include "PollWindows.h"
#include "RadioGroup.h"
#include "SettingsSupport.h"
#include "SimulatorWindow.h"
#include "StringGrid.h"
#include "WindowPlacement.h"
#include "WorkspaceFile.h"
#include "WorkspaceMenu.h"
#include "uPoll.h"

using namespace zorptest;

namespace {

const QByteArray kExampleProfile = "[Address]\r\n"
                                   "Start=1\r\n"
                                   "Length=2\r\n"
                                   "SlaveID=1\r\n"
                                   "Func=03: Read Holding Registers\r\n"
                                   "[Cells_DataType]\r\n"
                                   "1=UInt32 (LongWord) AABB CCDD\r\n"
                                   "2=---\r\n"
                                   "[Cells_Description]\r\n"
                                   "1=Energy counter\r\n"
                                   "2=\r\n";

class ProfileTest : public SettingsWindowTest {
protected:
    void Select(const QString& name)
    {
        const int i = W->cbSettings->findText(name);
        ASSERT_GE(i, 0) << name.toStdString();
        W->cbSettings->setCurrentIndex(i);
    }
    void Load() { RunGuarded([this] { W->btnLoadSettingsClick(W->btnLoadSettings); }); }
    void SaveAs(const QString& name)
    {
        zorp::SetSaveDialogHook([name](QFileDialog*) { return name; });
        RunGuarded([this] { W->btnSaveSettingsClick(W->btnSaveSettings); });
    }
    QStringList Listed() const
    {
        QStringList l;
        for (int i = 0; i < W->cbSettings->count(); ++i)
            l << W->cbSettings->itemText(i);
        return l;
    }
};

} // namespace

TEST_F(ProfileTest, ExampleProfileLoadsAsWritten)
{
    WriteFile(ProfilePath("energy.zvst"), kExampleProfile);
    CreateWindow();
    EXPECT_EQ(Listed(), QStringList{"energy.zvst"});
    EXPECT_EQ(W->cbSettings->currentIndex(), -1);
    W->leStartAddress->setText("40");
    W->cbFunc->setCurrentIndex(0);
    Select("energy.zvst");
    Load();
    EXPECT_TRUE(Boxes.isEmpty()) << Boxes.join('\n').toStdString();
    EXPECT_EQ(W->leStartAddress->text(), "1");
    EXPECT_EQ(W->leLength->text(), "2");
    EXPECT_EQ(W->leSlaveID->text(), "1");
    EXPECT_EQ(W->cbFunc->currentText(), "03: Read Holding Registers");
    ASSERT_EQ(W->sgData->RowCount(), 3);
    EXPECT_EQ(W->sgData->Cells(0, 1), "1");
    EXPECT_EQ(W->sgData->Cells(0, 2), "2");
    EXPECT_EQ(W->sgData->Cells(1, 1), "UInt32 (LongWord) AABB CCDD");
    EXPECT_EQ(W->sgData->Cells(1, 2), "---");
    EXPECT_EQ(W->sgData->Cells(3, 1), "Energy counter");
    EXPECT_EQ(W->sgData->Cells(3, 2), "");
}

TEST_F(ProfileTest, SaveThenLoadRoundTripsAndListsTheName)
{
    CreateWindow();
    WriteFile(ProfilePath("other.zvst"), kExampleProfile);
    W->leStartAddress->setText("100");
    W->leLength->setText("4");
    W->leSlaveID->setText("17");
    W->cbFunc->setCurrentIndex(3);
    W->sgData->SetRowCount(5);
    const QStringList types = {"Float (Single) AABB CCDD", "---", "Hex", ""};
    const QStringList descr = {"Flow \"m3/h\"", "  padded  ", "\"quoted\"", "'single'"};
    for (int r = 1; r <= 4; ++r) {
        W->sgData->SetCells(1, r, types[r - 1]);
        W->sgData->SetCells(3, r, descr[r - 1]);
    }
    QString title, suffix, folder;
    QStringList filters;
    bool confirm = true;
    zorp::SetSaveDialogHook([&](QFileDialog* sd) {
        title = sd->windowTitle();
        suffix = sd->defaultSuffix();
        filters = sd->nameFilters();
        folder = sd->directory().absolutePath();
        confirm = !sd->testOption(QFileDialog::DontConfirmOverwrite);
        return QStringLiteral("pump");
    });
    RunGuarded([this] { W->btnSaveSettingsClick(W->btnSaveSettings); });
    ASSERT_TRUE(Boxes.isEmpty()) << Boxes.join('\n').toStdString();
    EXPECT_EQ(title, "Save settings");
    EXPECT_EQ(suffix, "zvst");
    EXPECT_EQ(filters, QStringList{"Settings file (*.zvst)"});
    EXPECT_EQ(folder, QDir(ProfilePath("")).absolutePath());
    EXPECT_FALSE(confirm);

    // The list was refreshed: both files, with their extension.
    QStringList listed = Listed();
    listed.sort();
    EXPECT_EQ(listed, (QStringList{"other.zvst", "pump.zvst"}));

    const zorp::TIniFile ini(ProfilePath("pump.zvst"));
    EXPECT_EQ(ini.ReadString("Address", "Func", ""), "04: Read Input Registers");
    EXPECT_EQ(ini.ReadString("Cells_DataType", "2", "x"), "---");

    // Scramble the window, then load the profile back.
    W->leStartAddress->setText("1");
    W->leLength->setText("1");
    W->cbFunc->setCurrentIndex(0);
    W->sgData->SetRowCount(2);
    for (int r = 1; r <= 4; ++r) {
        W->sgData->SetCells(1, r, "Bin");
        W->sgData->SetCells(3, r, "junk");
    }
    Select("pump.zvst");
    Load();
    ASSERT_TRUE(Boxes.isEmpty()) << Boxes.join('\n').toStdString();
    EXPECT_EQ(W->leStartAddress->text(), "100");
    EXPECT_EQ(W->leLength->text(), "4");
    EXPECT_EQ(W->leSlaveID->text(), "17");
    EXPECT_EQ(W->cbFunc->currentIndex(), 3);
    ASSERT_EQ(W->sgData->RowCount(), 5);
    for (int r = 1; r <= 4; ++r) {
        EXPECT_EQ(W->sgData->Cells(1, r), types[r - 1]) << r;
        EXPECT_EQ(W->sgData->Cells(3, r), descr[r - 1]) << r;
    }
    EXPECT_EQ(W->sgData->Cells(0, 1), "100");
}

TEST_F(ProfileTest, ShorterSaveKeepsLaterRowsOfTheFileAndLoadReadsOnlyItsLength)
{
    QByteArray ten = "[Address]\r\nStart=1\r\nLength=10\r\nSlaveID=1\r\nFunc=03: Read Holding Registers\r\n"
                     "[Cells_DataType]\r\n";
    for (int r = 1; r <= 10; ++r)
        ten += QByteArray::number(r) + "=Int16 AABB\r\n";
    ten += "[Cells_Description]\r\n";
    for (int r = 1; r <= 10; ++r)
        ten += QByteArray::number(r) + "=old " + QByteArray::number(r) + "\r\n";
    WriteFile(ProfilePath("ten.zvst"), ten);
    CreateWindow();
    W->leLength->setText("4");
    W->sgData->SetRowCount(5);
    for (int r = 1; r <= 4; ++r) {
        W->sgData->SetCells(1, r, "Hex");
        W->sgData->SetCells(3, r, QStringLiteral("new %1").arg(r));
    }
    SaveAs(ProfilePath("ten.zvst"));
    ASSERT_TRUE(Boxes.isEmpty()) << Boxes.join('\n').toStdString();
    const zorp::TIniFile ini(ProfilePath("ten.zvst"));
    EXPECT_EQ(ini.ReadString("Address", "Length", ""), "4");
    for (int r = 1; r <= 10; ++r) {
        const QString key = QString::number(r);
        EXPECT_EQ(ini.ReadString("Cells_DataType", key, ""), r <= 4 ? "Hex" : "Int16 AABB") << r;
        EXPECT_EQ(ini.ReadString("Cells_Description", key, ""), QString(r <= 4 ? "new %1" : "old %1").arg(r))
            << r;
    }
    W->sgData->SetRowCount(12);
    Select("ten.zvst");
    Load();
    EXPECT_EQ(W->sgData->RowCount(), 5);
    EXPECT_EQ(W->sgData->Cells(3, 4), "new 4");
}

TEST_F(ProfileTest, VanishedFileGivesTheDefaults)
{
    WriteFile(ProfilePath("gone.zvst"), kExampleProfile);
    CreateWindow();
    W->leStartAddress->setText("9");
    W->leLength->setText("3");
    W->leSlaveID->setText("4");
    W->cbFunc->setCurrentIndex(0);
    W->sgData->SetRowCount(4);
    W->sgData->SetCells(1, 1, "Hex");
    W->sgData->SetCells(3, 1, "text");
    ASSERT_TRUE(QFile::remove(ProfilePath("gone.zvst")));
    Select("gone.zvst");
    Load();
    EXPECT_TRUE(Boxes.isEmpty());
    EXPECT_EQ(W->leStartAddress->text(), "1");
    EXPECT_EQ(W->leLength->text(), "1");
    EXPECT_EQ(W->leSlaveID->text(), "1");
    EXPECT_EQ(W->cbFunc->currentText(), "03: Read Holding Registers");
    EXPECT_EQ(W->sgData->RowCount(), 2);
    EXPECT_EQ(W->sgData->Cells(1, 1), "");
    EXPECT_EQ(W->sgData->Cells(3, 1), "");
}

TEST_F(ProfileTest, NonIntegerLengthFailsAfterTheTextFieldsAreSet)
{
    WriteFile(ProfilePath("bad.zvst"), "[address]\nstart=7\nLENGTH= abc \nSlaveID=9\nFunc=01: read coil status\n");
    WriteFile(ProfilePath("odd.zvst"), "[Address]\nLength=2\nFunc=05: Write Single Coil\n");
    CreateWindow();
    W->sgData->SetRowCount(6);
    Select("bad.zvst");
    Load();
    ASSERT_EQ(Boxes.size(), 1);
    EXPECT_EQ(Boxes[0], "''abc'' is not a valid integer value.");
    EXPECT_EQ(W->leStartAddress->text(), "7");
    EXPECT_EQ(W->leLength->text(), "abc");
    EXPECT_EQ(W->leSlaveID->text(), "9");
    EXPECT_EQ(W->cbFunc->currentIndex(), 0); // letter case ignored
    EXPECT_EQ(W->sgData->RowCount(), 6);     // grid left as it was

    // A function that is none of the four leaves no item selected.
    Select("odd.zvst");
    Load();
    EXPECT_EQ(Boxes.size(), 1);
    EXPECT_EQ(W->cbFunc->currentIndex(), -1);
    EXPECT_EQ(W->sgData->RowCount(), 3);
}

TEST_F(ProfileTest, CancelledSaveRefreshesTheListAndFailedSaveDoesNot)
{
    CreateWindow();
    EXPECT_TRUE(Listed().isEmpty());
    WriteFile(ProfilePath("late.zvst"), kExampleProfile);
    WriteFile(ProfilePath("notes.txt"), "x");
    SaveAs(QString()); // cancelled
    EXPECT_EQ(Listed(), QStringList{"late.zvst"});
    EXPECT_EQ(W->cbSettings->currentIndex(), -1);

    WriteFile(ProfilePath("later.zvst"), kExampleProfile);
    WriteFile(Dir.filePath("plainfile"), "x");
    const QString target = Dir.filePath("plainfile/p.zvst");
    SaveAs(target);
    ASSERT_EQ(Boxes.size(), 1);
    EXPECT_EQ(Boxes[0], QStringLiteral("Unable to write to %1.").arg(target));
    EXPECT_EQ(Listed(), QStringList{"late.zvst"});
}

// ---- stored window settings ---------------------------------------------------

namespace {

QStringList sectionKeys(const QByteArray& bytes)
{
    QStringList keys;
    bool in = false;
    for (const QByteArray& line : bytes.split('\n')) {
        const QByteArray l = line.trimmed();
        if (l.startsWith('['))
            in = l == "[TfrmModbusMaster]";
        else if (in && l.contains('='))
            keys << QString::fromUtf8(l.left(l.indexOf('=')));
    }
    return keys;
}

QString screenSuffix()
{
    const QSize s = zorp::ScreenSize();
    return QStringLiteral("(%1x%2)").arg(s.width()).arg(s.height());
}

} // namespace

using StoredSettingsTest = SettingsWindowTest;

TEST_F(StoredSettingsTest, FirstStartWritesAllSeventeenKeysAtClose)
{
    CreateWindow();
    EXPECT_FALSE(W->isMaximized());
    EXPECT_FALSE(W->isMinimized());
    EXPECT_EQ(W->Client->size(), QSize(922, 712));
    EXPECT_FALSE(QFile::exists(IniPath())); // nothing written while running
    const QRect g = W->geometry();
    DestroyWindow();
    EXPECT_TRUE(Boxes.isEmpty()) << Boxes.join('\n').toStdString();
    const QByteArray bytes = ReadFile(IniPath());
    const QString s = screenSuffix();
    EXPECT_EQ(sectionKeys(bytes),
              (QStringList{"FormVersion", "Flags", "ShowCmd", "PixelsPerInch", "MinMaxPos" + s, "MinMaxPos",
                           "NormPos" + s, "NormPos", "Visible", "leCOM_Text", "leDataBits_Text", "leIP_Text",
                           "leParity_Text", "lePort_Text", "leSpeed_Text", "leStopBits_Text",
                           "rgModbusMode_ItemIndex"}));
    EXPECT_TRUE(bytes.contains("\r\n"));
    const zorp::TIniFile ini(IniPath());
    auto v = [&](const char* k) { return ini.ReadString("TfrmModbusMaster", k, "?"); };
    EXPECT_EQ(v("FormVersion"), "0");
    EXPECT_EQ(v("ShowCmd"), "1");
    EXPECT_EQ(v("Visible"), "0");
    EXPECT_EQ(v("PixelsPerInch"), QString::number(zorp::ScreenPixelsPerInch()));
    EXPECT_EQ(v("NormPos"), QStringLiteral("%1,%2,%3,%4").arg(g.left()).arg(g.top()).arg(g.left() + g.width()).arg(g.top() + g.height()));
    EXPECT_EQ(ini.ReadString("TfrmModbusMaster", "NormPos" + s, "?"), v("NormPos"));
    EXPECT_EQ(v("leIP_Text"), "192.168.0.115");
    EXPECT_EQ(v("leParity_Text"), "E");
    EXPECT_EQ(v("rgModbusMode_ItemIndex"), "2");
}

TEST_F(StoredSettingsTest, ValuesAndPlacementComeBack)
{
    CreateWindow();
    W->leIP->setText("  10.0.0.7 ");
    W->lePort->setText("\"5\"");
    W->leCOM->setText("'3'");
    W->rgModbusMode->SetItemIndex(0);
    W->setGeometry(40, 50, 790, 560);
    DestroyWindow();
    EXPECT_EQ(zorp::TIniFile::CookValue(u"\"\"5\"\""), "\"5\"");
    EXPECT_TRUE(ReadFile(IniPath()).contains("lePort_Text=\"\"5\"\"\r\n"));
    EXPECT_TRUE(ReadFile(IniPath()).contains("leIP_Text=10.0.0.7\r\n"));

    // A value that cannot be typed into its field is restored all the same.
    ASSERT_TRUE(zorp::WritePrivateProfileString("TfrmModbusMaster", "leParity_Text", "X", IniPath()));
    CreateWindow();
    EXPECT_EQ(W->leParity->text(), "X");
    EXPECT_EQ(W->leIP->text(), "10.0.0.7");
    EXPECT_EQ(W->lePort->text(), "\"5\"");
    EXPECT_EQ(W->leCOM->text(), "'3'");
    EXPECT_EQ(W->rgModbusMode->ItemIndex(), 0);
    EXPECT_EQ(W->geometry(), QRect(40, 50, 790, 560));
}

TEST_F(StoredSettingsTest, MaximizedAndMinimizedStatesComeBack)
{
    CreateWindow();
    W->showMaximized();
    QTest::qWait(20);
    DestroyWindow();
    EXPECT_EQ(zorp::GetPrivateProfileString("TfrmModbusMaster", "ShowCmd", "", IniPath()), "3");
    CreateWindow();
    EXPECT_TRUE(W->windowState() & Qt::WindowMaximized);
    W->showMinimized();
    QTest::qWait(20);
    DestroyWindow();
    EXPECT_EQ(zorp::GetPrivateProfileString("TfrmModbusMaster", "ShowCmd", "", IniPath()), "2");
    EXPECT_EQ(zorp::GetPrivateProfileString("TfrmModbusMaster", "Flags", "", IniPath()), "2");
    CreateWindow();
    EXPECT_TRUE(W->windowState() & Qt::WindowMinimized);
    EXPECT_TRUE(W->windowState() & Qt::WindowMaximized); // restores to maximized
}

TEST_F(StoredSettingsTest, OtherScreenDensityKeepsStateAndValuesButNotPlacement)
{
    const int other = zorp::ScreenPixelsPerInch() + 48;
    WriteFile(IniPath(), QStringLiteral("[TfrmModbusMaster]\r\nFormVersion=0\r\nShowCmd=3\r\nPixelsPerInch=%1\r\n"
                                        "NormPos=10,20,800,580\r\nleParity_Text=N\r\nleSpeed_Text=19200\r\n")
                             .arg(other)
                             .toUtf8());
    CreateWindow();
    EXPECT_TRUE(W->windowState() & Qt::WindowMaximized);
    EXPECT_NE(W->normalGeometry(), QRect(10, 20, 790, 560));
    EXPECT_EQ(W->leParity->text(), "N");
    EXPECT_EQ(W->leSpeed->text(), "19200");
    DestroyWindow();

    // The same file at this density places the window.
    ASSERT_TRUE(zorp::WritePrivateProfileString("TfrmModbusMaster", "PixelsPerInch",
                                                QString::number(zorp::ScreenPixelsPerInch()), IniPath()));
    ASSERT_TRUE(zorp::WritePrivateProfileString("TfrmModbusMaster", "ShowCmd", "1", IniPath()));
    // The key with this screen's size, written at the close above, wins.
    ASSERT_TRUE(zorp::WritePrivateProfileString("TfrmModbusMaster", "NormPos" + screenSuffix(), "10,20,800,580",
                                                IniPath()));
    CreateWindow();
    EXPECT_EQ(W->geometry(), QRect(10, 20, 790, 560));
}

TEST_F(StoredSettingsTest, UnwritableFolderReportsAtCloseAndAgainAtDestruction)
{
    WriteFile(Dir.filePath("plainfile"), "x");
    const QString folder = Dir.filePath("plainfile");
    zorp::SetConfigFolder(folder);
    CreateWindow();
    W->close();
    ASSERT_EQ(Boxes.size(), 1);
    EXPECT_EQ(Boxes[0], QStringLiteral("Unable to write to %1/setings.ini.").arg(folder));
    W.reset();
    ASSERT_EQ(Boxes.size(), 2);
    EXPECT_EQ(Boxes[1], Boxes[0]);
}

TEST_F(StoredSettingsTest, FolderThatDoesNotExistYetIsMadeAtClose)
{
    const QString folder = Dir.filePath("not/yet");
    zorp::SetConfigFolder(folder);
    CreateWindow();
    W->close();
    EXPECT_TRUE(Boxes.isEmpty());
    EXPECT_EQ(zorp::GetPrivateProfileString("TfrmModbusMaster", "Visible", "", folder + "/setings.ini"), "0");
}

TEST_F(StoredSettingsTest, DestructionWithoutCloseWritesVisibleOne)
{
    CreateWindow();
    W.reset();
    EXPECT_EQ(zorp::GetPrivateProfileString("TfrmModbusMaster", "Visible", "", IniPath()), "1");
    // A close that wrote is not followed by a second write at destruction.
    CreateWindow();
    W->close();
    ASSERT_TRUE(QFile::remove(IniPath()));
    W.reset();
    EXPECT_FALSE(QFile::exists(IniPath()));
}

TEST_F(StoredSettingsTest, TheLastGridLayoutComesBackAtTheNextStart)
{
    CreateWindow();
    W->leStartAddress->setText("100");
    W->leLength->setText("3");
    W->sgData->SetRowCount(4);
    W->FillAddresses();
    W->cbFunc->setCurrentIndex(3);
    W->leSlaveID->setText("17");
    W->sgData->SetCells(1, 1, "UInt32 (LongWord) AABB CCDD");
    W->MarkContinuationRows();
    W->sgData->SetCells(3, 1, "Energy counter");
    W->sgData->SetCells(3, 3, "Pump state");
    DestroyWindow();
    // The designed window section keeps its seventeen keys and nothing else.
    EXPECT_EQ(sectionKeys(ReadFile(IniPath())).size(), 17);

    CreateWindow();
    EXPECT_TRUE(Boxes.isEmpty()) << Boxes.join('\n').toStdString();
    EXPECT_EQ(W->leStartAddress->text(), "100");
    EXPECT_EQ(W->leLength->text(), "3");
    EXPECT_EQ(W->leSlaveID->text(), "17");
    EXPECT_EQ(W->cbFunc->currentText(), "04: Read Input Registers");
    ASSERT_EQ(W->sgData->RowCount(), 4);
    EXPECT_EQ(W->sgData->Cells(0, 3), "102");
    EXPECT_EQ(W->sgData->Cells(1, 1), "UInt32 (LongWord) AABB CCDD");
    EXPECT_EQ(W->sgData->Cells(1, 2), "---");
    EXPECT_EQ(W->sgData->Cells(3, 1), "Energy counter");
    EXPECT_EQ(W->sgData->Cells(3, 3), "Pump state");
    // It is no profile of the list.
    EXPECT_EQ(W->cbSettings->count(), 0);

    // Turned off, the next start has the designed layout.
    W->actKeepLayout->trigger();
    DestroyWindow();
    CreateWindow();
    EXPECT_EQ(W->leLength->text(), "1");
    EXPECT_EQ(W->sgData->RowCount(), 2);
    EXPECT_EQ(W->sgData->Cells(3, 1), "");
}

TEST_F(ProfileTest, LoadWithNothingChosenSaysSo)
{
    CreateWindow();
    ASSERT_EQ(W->cbSettings->currentIndex(), -1);
    W->leLength->setText("5");
    Load();
    ASSERT_EQ(Boxes.size(), 1);
    EXPECT_TRUE(Boxes[0].contains("No settings file is chosen")) << Boxes[0].toStdString();
    EXPECT_EQ(W->leLength->text(), "5");
}

TEST_F(StoredSettingsTest, FileDialogsRememberTheirFoldersAndThePauseIsNamedInPlainWords)
{
    EXPECT_EQ(QDir().mkpath(Dir.filePath("logs")) && QDir().mkpath(Dir.filePath("grids")), true);
    CreateWindow();
    EXPECT_EQ(W->actPauseDesigned->text(), "50 ms after 03 only (default)");
    // Each dialog opens where it was last used, also after a restart.
    for (int run = 0; run < 2; ++run) {
        QStringList opened;
        zorp::SetSaveDialogHook([&](QFileDialog* d) {
            opened << QDir(d->directory()).absolutePath();
            return d->windowTitle().contains("log") ? Dir.filePath("logs/a.txt") : Dir.filePath("grids/b.csv");
        });
        W->actSaveLog->trigger();
        W->actExportCsv->trigger();
        zorp::SetSaveDialogHook(nullptr);
        if (run == 1)
            EXPECT_EQ(opened, QStringList({Dir.filePath("logs"), Dir.filePath("grids")}));
        else
            EXPECT_NE(opened.value(0), Dir.filePath("logs"));
        DestroyWindow();
        CreateWindow();
    }
    const TTesterOptions o = TTesterOptions::Load(IniPath());
    EXPECT_EQ(o.LogFolder, Dir.filePath("logs"));
    EXPECT_EQ(o.CsvFolder, Dir.filePath("grids"));
    EXPECT_TRUE(Boxes.isEmpty()) << Boxes.join('\n').toStdString();
}

// Started as the program starts (the title window's own loop included), with
// "setings.ini", the last grid layout and a workspace that all differ: the
// stored settings come first, then the workspace, which the window ends up
// showing whole; the options stay as stored.
TEST_F(StoredSettingsTest, TheReopenedWorkspaceComesAfterTheStoredSettingsAndWins)
{
    zorp::TWorkspaceLink link;
    link.Mode = "serial";
    link.Host = "10.9.9.9";
    link.Parity = "O";
    link.Window = {30, 40, 790, 520};
    zorp::TWorkspacePoll& panel = link.Panel;
    panel.Unit = 9;
    panel.Func = 1;
    panel.Start = 300;
    panel.Length = 4;
    panel.IntervalMs = 0;
    panel.Types = QStringList{"", "", "", ""};
    panel.Descriptions = QStringList{"valve", "", "", "alarm"};
    // A poll window saved beside a larger screen: far off this one.
    zorp::TWorkspacePoll poll;
    poll.Length = 3;
    poll.Types = QStringList{"", "", ""};
    poll.Descriptions = QStringList{"", "speed", "flow"};
    poll.Window = {20000, 20000, 500, 300};
    link.Polls.append(poll);
    zorp::TWorkspace ws;
    ws.Links.append(link);
    ws.Simulators.append(QJsonObject{{"where", "15998"}});
    const QString file = Dir.filePath("plant.zws");
    WriteFile(file, zorp::WorkspaceToJson(ws));
    WriteFile(IniPath(), QStringLiteral("[TfrmModbusMaster]\r\nPixelsPerInch=%1\r\nNormPos=10,20,800,580\r\n"
                                        "leIP_Text=10.0.0.1\r\nleSpeed_Text=38400\r\nleParity_Text=E\r\n"
                                        "rgModbusMode_ItemIndex=2\r\n[Options]\r\nAddresses=wire\r\n"
                                        "Timeout=1234\r\nReopenWorkspace=1\r\nLastWorkspace=%2\r\n")
                             .arg(zorp::ScreenPixelsPerInch())
                             .arg(file)
                             .toUtf8());
    WriteFile(Dir.filePath("LastLayout.zvst"), "[Address]\r\nStart=100\r\nLength=2\r\nSlaveID=17\r\n"
                                               "Func=04: Read Input Registers\r\n[Cells_Description]\r\n1=old\r\n");
    // The order in which the windows appear.
    struct ShowOrder : QObject {
        QStringList shown;
        bool eventFilter(QObject* o, QEvent* e) override
        {
            if (e->type() == QEvent::Show && o->isWidgetType() && static_cast<QWidget*>(o)->isWindow())
                shown << o->objectName();
            return false;
        }
    } order;
    qApp->installEventFilter(&order);
    TfrmSplash::ResetInstance();
    CreateWindow();
    ASSERT_TRUE(waitUntil([&] { return W->PollWindows->Windows().size() == 1; }));
    qApp->removeEventFilter(&order);
    EXPECT_TRUE(Boxes.isEmpty()) << Boxes.join('\n').toStdString();
    EXPECT_EQ(order.shown.mid(0, 2), (QStringList{"frmSplash", "frmModbusMaster"}));
    EXPECT_GT(order.shown.indexOf("frmPoll"), 1);
    EXPECT_GT(order.shown.indexOf("frmSimulator"), 1);

    EXPECT_EQ(W->leIP->text(), "10.9.9.9");
    EXPECT_EQ(W->leParity->text(), "O");
    EXPECT_EQ(W->rgModbusMode->ItemIndex(), 0);
    EXPECT_EQ(W->geometry(), QRect(30, 40, 790, 520));
    // The Start Address in the stored notation (wire addresses: 300 is 299).
    EXPECT_EQ(W->leStartAddress->text(), "299");
    EXPECT_EQ(W->FOptions.TimeoutMs, 1234);
    const zorp::TWorkspace now = TWorkspaceMenu::Collect();
    ASSERT_EQ(now.Links.size(), 1);
    EXPECT_EQ(now.Links[0].Panel, link.Panel);
    ASSERT_EQ(now.Links[0].Polls.size(), 1);
    EXPECT_EQ(now.Links[0].Polls[0].Descriptions, poll.Descriptions);
    ASSERT_EQ(now.Simulators.size(), 1);
    EXPECT_EQ(now.Simulators[0].value("where").toString(), "15998");
    const QRect pollAt = W->PollWindows->Windows().front()->geometry();
    EXPECT_TRUE(QGuiApplication::primaryScreen()->availableGeometry().intersects(pollAt)) << pollAt.x();

    DestroyWindow();
    EXPECT_EQ(TTesterOptions::Load(IniPath()).Addresses, zorp::NotationFromKey(u"wire"));
    EXPECT_EQ(zorp::GetPrivateProfileString("Options", "LastWorkspace", "", IniPath()), file);
    // A window stored maximized stays maximized under the workspace.
    ASSERT_TRUE(zorp::WritePrivateProfileString("TfrmModbusMaster", "ShowCmd", "3", IniPath()));
    CreateWindow();
    ASSERT_TRUE(waitUntil([&] { return W->PollWindows->Windows().size() == 1; }));
    EXPECT_TRUE(W->windowState() & Qt::WindowMaximized);
    EXPECT_EQ(W->leIP->text(), "10.9.9.9");
}
