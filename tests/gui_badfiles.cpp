// SPDX-License-Identifier: GPL-3.0-or-later
// Damaged, foreign and hostile settings files: the window falls back to its
// defaults or shows an error box, never crashes, and the next save damages
// nothing that was in the file.
#include <QComboBox>
#include <QFileDialog>
#include <QGuiApplication>
#include <QPushButton>
#include <QScreen>

#include "IniFile.h"
#include "LabeledEdit.h"
#include "RadioGroup.h"
#include "SettingsSupport.h"
#include "StringGrid.h"
#include "WindowPlacement.h"

using namespace zorptest;

namespace {

QByteArray junk(int n)
{
    QByteArray b;
    uint32_t x = 12345;
    for (int i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        b.append(char(x >> 24));
    }
    return b;
}

QByteArray section(const QByteArray& body)
{
    return "[TfrmModbusMaster]\r\n" + body;
}

using BadStoredSettingsTest = SettingsWindowTest;

} // namespace

TEST_F(BadStoredSettingsTest, EmptyBinaryAndTruncatedFilesGiveDefaultsAndSurviveTheSave)
{
    const std::vector<std::pair<const char*, QByteArray>> cases = {
        {"empty", QByteArray()},
        {"binary", junk(3000)},
        {"nul bytes", QByteArray(64, '\0') + section("leParity_Text=N\r\n")},
        {"truncated", section("FormVersion=0\r\nShowCmd=1\r\nNormPos=10,20,5")},
        {"no section end", "[TfrmModbusMaster\r\nleIP_Text=1.2.3.4"},
    };
    for (const auto& [name, bytes] : cases) {
        SCOPED_TRACE(name);
        WriteFile(IniPath(), bytes);
        CreateWindow();
        EXPECT_FALSE(W->isMaximized());
        EXPECT_FALSE(W->isMinimized());
        EXPECT_EQ(W->Client->size(), QSize(922, 712));
        EXPECT_EQ(W->leCOM->text(), "1");
        DestroyWindow();
        EXPECT_TRUE(Boxes.isEmpty()) << Boxes.join('\n').toStdString();
        const QByteArray after = ReadFile(IniPath());
        // What the file held is still there, then the stored settings.
        EXPECT_TRUE(after.startsWith(bytes.left(bytes.lastIndexOf('\n') + 1)));
        EXPECT_EQ(zorp::GetPrivateProfileString("TfrmModbusMaster", "leCOM_Text", "?", IniPath()), "1");
        QFile::remove(IniPath());
    }
}

TEST_F(BadStoredSettingsTest, OutOfRangeAndMalformedNumbersFallBack)
{
    WriteFile(IniPath(), section("ShowCmd=-5\r\nFlags=zz\r\nNormPos=a,b,c,d\r\nMinMaxPos=1,2\r\n"
                                 "rgModbusMode_ItemIndex=99\r\nPixelsPerInch=\r\n"));
    CreateWindow();
    EXPECT_FALSE(W->isMaximized());
    EXPECT_FALSE(W->isMinimized());
    EXPECT_EQ(W->rgModbusMode->ItemIndex(), 2); // past the last item: the last one
    DestroyWindow();

    WriteFile(IniPath(), section("rgModbusMode_ItemIndex=one\r\nNormPos=0,0,99999999,99999999\r\n"));
    CreateWindow();
    EXPECT_EQ(W->rgModbusMode->ItemIndex(), 0);
    const QRect desktop = QGuiApplication::primaryScreen()->virtualGeometry();
    EXPECT_LE(W->width(), std::max(desktop.width(), 922));
    EXPECT_LE(W->height(), std::max(desktop.height(), 712));
    DestroyWindow();

    // A window stored wholly off every screen comes back onto one.
    WriteFile(IniPath(), section("NormPos=-90000,50000,-89210,50560\r\n"));
    CreateWindow();
    EXPECT_TRUE(QGuiApplication::primaryScreen()->availableGeometry().intersects(W->geometry()));
    EXPECT_EQ(W->size(), QSize(790, 560));
    DestroyWindow();

    // A negative version restores nothing at all.
    WriteFile(IniPath(), section("FormVersion=-1\r\nleParity_Text=N\r\nShowCmd=3\r\n"));
    CreateWindow();
    EXPECT_EQ(W->leParity->text(), "E");
    EXPECT_FALSE(W->isMaximized());
    DestroyWindow();
    EXPECT_TRUE(Boxes.isEmpty()) << Boxes.join('\n').toStdString();
}

TEST_F(BadStoredSettingsTest, HugeLineIsCutAndKept)
{
    QByteArray bytes = section("leIP_Text=");
    bytes.append(QByteArray(10 * 1024 * 1024, '7'));
    bytes.append("\r\nleParity_Text=N\r\n");
    WriteFile(IniPath(), bytes);
    CreateWindow();
    EXPECT_EQ(W->leParity->text(), "N");
    // The settings layer cuts a value at 2047 characters; the field keeps
    // all of them (its limit is for typing only).
    EXPECT_EQ(W->leIP->text(), QString(zorp::TIniFile::MaxValueLength, u'7'));
    DestroyWindow();
    // The save rewrote leIP_Text from the field; every other line stayed.
    EXPECT_EQ(zorp::GetPrivateProfileString("TfrmModbusMaster", "leParity_Text", "", IniPath()), "N");
    EXPECT_EQ(zorp::GetPrivateProfileString("TfrmModbusMaster", "Visible", "", IniPath()), "0");
}

TEST_F(BadStoredSettingsTest, FolderInPlaceOfTheFileIsReportedAndLeftAlone)
{
    ASSERT_TRUE(QDir(Dir.path()).mkdir("setings.ini"));
    CreateWindow();
    EXPECT_EQ(W->leParity->text(), "E");
    DestroyWindow();
    ASSERT_EQ(Boxes.size(), 2);
    EXPECT_EQ(Boxes[0], QStringLiteral("Unable to write to %1.").arg(IniPath()));
    EXPECT_TRUE(QFileInfo(IniPath()).isDir());
}

// ---- profiles ------------------------------------------------------------------

namespace {

class BadProfileTest : public SettingsWindowTest {
protected:
    void Load(const QString& name)
    {
        const int i = W->cbSettings->findText(name);
        ASSERT_GE(i, 0) << name.toStdString();
        W->cbSettings->setCurrentIndex(i);
        RunGuarded([this] { W->btnLoadSettingsClick(W->btnLoadSettings); });
    }
    void SaveAs(const QString& path)
    {
        zorp::SetSaveDialogHook([path](QFileDialog*) { return path; });
        RunGuarded([this] { W->btnSaveSettingsClick(W->btnSaveSettings); });
    }
};

} // namespace

TEST_F(BadProfileTest, EmptyBinaryTruncatedAndHugeProfilesLoadWithDefaults)
{
    QByteArray huge = "[Address]\r\nLength=1\r\n[Cells_Description]\r\n1=";
    huge.append(QByteArray(10 * 1024 * 1024, 'd'));
    huge.append("\r\n");
    WriteFile(ProfilePath("empty.zvst"), QByteArray());
    WriteFile(ProfilePath("binary.zvst"), junk(5000));
    WriteFile(ProfilePath("truncated.zvst"), "[Address]\r\nStart=5\r\nLeng");
    WriteFile(ProfilePath("huge.zvst"), huge);
    CreateWindow();

    for (const char* name : {"empty.zvst", "binary.zvst"}) {
        SCOPED_TRACE(name);
        W->leStartAddress->setText("9");
        Load(name);
        EXPECT_EQ(W->leStartAddress->text(), "1");
        EXPECT_EQ(W->leLength->text(), "1");
        EXPECT_EQ(W->cbFunc->currentIndex(), 2);
        EXPECT_EQ(W->sgData->RowCount(), 2);
    }
    Load("truncated.zvst");
    EXPECT_EQ(W->leStartAddress->text(), "5");
    EXPECT_EQ(W->sgData->RowCount(), 2);
    Load("huge.zvst");
    EXPECT_EQ(W->sgData->Cells(3, 1), QString(2047, u'd'));
    EXPECT_TRUE(Boxes.isEmpty()) << Boxes.join('\n').toStdString();

    // Saving into the binary file keeps its bytes and adds the profile.
    const QByteArray before = ReadFile(ProfilePath("binary.zvst"));
    SaveAs(ProfilePath("binary.zvst"));
    EXPECT_TRUE(Boxes.isEmpty()) << Boxes.join('\n').toStdString();
    EXPECT_TRUE(ReadFile(ProfilePath("binary.zvst")).startsWith(before.left(before.lastIndexOf('\n') + 1)));
    Load("binary.zvst");
    EXPECT_EQ(W->sgData->Cells(3, 1), QString(2047, u'd'));
}

TEST_F(BadProfileTest, OutOfRangeLengthIsRefusedAndTheFileStaysIntact)
{
    const QByteArray big = "[Address]\r\nStart=3\r\nLength=99999999\r\nSlaveID=2\r\n";
    WriteFile(ProfilePath("big.zvst"), big);
    WriteFile(ProfilePath("negative.zvst"), "[Address]\r\nLength=-5\r\n");
    WriteFile(ProfilePath("zero.zvst"), "[Address]\r\nLength=0\r\n");
    CreateWindow();
    W->sgData->SetRowCount(4);

    Load("big.zvst");
    ASSERT_EQ(Boxes.size(), 1);
    EXPECT_EQ(Boxes[0], "Length 99999999 is out of range (0 to 999).");
    EXPECT_EQ(W->leStartAddress->text(), "3");
    EXPECT_EQ(W->leSlaveID->text(), "2");
    EXPECT_EQ(W->sgData->RowCount(), 4);

    Load("negative.zvst");
    ASSERT_EQ(Boxes.size(), 2);
    EXPECT_EQ(Boxes[1], "Length -5 is out of range (0 to 999).");
    EXPECT_EQ(W->sgData->RowCount(), 4);

    Load("zero.zvst");
    EXPECT_EQ(Boxes.size(), 2);
    EXPECT_EQ(W->sgData->RowCount(), 1);

    W->leLength->setText("2");
    W->sgData->SetRowCount(3);
    SaveAs(ProfilePath("other.zvst"));
    EXPECT_EQ(ReadFile(ProfilePath("big.zvst")), big);
    EXPECT_EQ(Boxes.size(), 2);
}
