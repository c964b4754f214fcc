// SPDX-License-Identifier: GPL-3.0-or-later
// Address notations in the window, engineering values written as exact raw
// words (python3-pymodbus on 127.0.0.1), register maps exported and imported
// again, and the address scan window against a slave with holes. With
// ZORP_SHOTS_DIR set, the grid and the scan window are saved there.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <gtest/gtest.h>

#include "AddressScanWindow.h"
#include "LabeledEdit.h"
#include "PeerProcess.h"
#include "PollWindows.h"
#include "uPoll.h"
#include "RadioGroup.h"
#include "RegisterTools.h"
#include "SettingsSupport.h"
#include "StringGrid.h"
#include "VexaModbus.h"
#include "uWriteValue.h"

using namespace zorptest;
using namespace zorp;

namespace {

class MapsTest : public SettingsWindowTest {
protected:
    void SetUp() override
    {
        SettingsWindowTest::SetUp();
        ASSERT_TRUE(Slave.Start()) << "python3-pymodbus server did not start";
        CreateWindow();
        W->rgModbusMode->SetItemIndex(2);
        W->leIP->setText("127.0.0.1");
        W->lePort->setText(QString::number(Slave.Port()));
        RunGuarded([this] { W->btnConnectClick(W->btnConnect); });
        ASSERT_TRUE(waitUntil([this] { return W->mdb->Connected(); }, 10000));
        W->mdb->SetTimeout(1000);
    }
    void TearDown() override
    {
        TfrmWriteValue::OnShownHook = nullptr;
        if (W) W->mdb->Disconnect();
        SettingsWindowTest::TearDown();
        Slave.Stop();
    }
    // Reads Count items of function Func from the Start Address text.
    void Read(int Func, const QString& Start, int Count)
    {
        W->cbFunc->setCurrentIndex(Func - 1);
        W->leStartAddress->setText(Start);
        W->leLength->setText(QString::number(Count));
        W->sgData->SetRowCount(Count + 1);
        RunGuarded([this] { W->FillAddresses(); });
        const int responses = W->FResponses;
        RunGuarded([this] { W->btnReadClick(W->btnRead); });
        ASSERT_TRUE(waitUntil([&] { return W->FResponses > responses || W->FErrors > 0; }));
        ASSERT_EQ(W->FErrors, 0);
    }
    uint16_t Word(int Row) const { return uint16_t(W->ReadData[2 * Row - 2] << 8 | W->ReadData[2 * Row - 1]); }
    void Shot(QWidget* w, const char* name)
    {
        if (qEnvironmentVariableIsSet("ZORP_SHOTS_DIR"))
            w->grab().save(qEnvironmentVariable("ZORP_SHOTS_DIR") + u'/' + QLatin1String(name));
    }
    SettingsPySlave Slave; // register k (wire) holds k + 0x100, bit k is on when k is odd
};

TScaling Scaled(double gain, double offset, const char* unit)
{
    TScaling s;
    s.Gain = gain;
    s.Offset = offset;
    s.Unit = QString::fromUtf8(unit);
    return s;
}

} // namespace

TEST_F(MapsTest, EveryNotationRoundTripsThroughTheFieldTheColumnAndTheWire)
{
    TRegisterTools& t = *W->RegisterTools;
    for (const TAddressBase base : {TAddressBase::PlusOne, TAddressBase::Wire, TAddressBase::Modicon})
        for (const bool hex : {false, true}) {
            const TAddressNotation n{base, hex};
            RunGuarded([&] { t.SetNotation(n); });
            ASSERT_EQ(W->leStartAddress->maxLength(), n.IsDesigned() ? 5 : 7) << Boxes.join('\n').toStdString();
            for (int func = 1; func <= 4; ++func)
                for (const int address : {1, 0x1A1, 65535, 65536}) {
                    const QString text = FormatAddress(address, func, n);
                    SCOPED_TRACE(text.toStdString());
                    // Typed key by key through the field's key filter.
                    W->cbFunc->setCurrentIndex(func - 1);
                    W->leStartAddress->clear();
                    QTest::keyClicks(W->leStartAddress, text);
                    ASSERT_EQ(W->leStartAddress->text(), text);
                    EXPECT_EQ(W->StartAddressField(text), address);
                    EXPECT_EQ(W->sgData->Cells(0, 1), text);
                    EXPECT_EQ(W->ProfileStart(W->ProfileStart(text, true), false), text);
                    if (address == 65536 || address == 1) {
                        W->leLength->setText("1");
                        Read(func, text, 1);
                        const uint16_t wire = uint16_t(address - 1);
                        EXPECT_EQ(W->FShownAddress, uint16_t(address)); // 65536 goes out as wire address 65535
                        EXPECT_EQ(func <= 2 ? uint16_t(W->ReadDataBool.at(0)) : Word(1),
                                  func <= 2 ? uint16_t(wire % 2) : uint16_t(wire + 0x100));
                    }
                }
        }
    // The designed texts stay: edges as the user knows them, and the choice
    // is kept in "setings.ini".
    RunGuarded([&] { t.SetNotation({TAddressBase::Modicon, false}); });
    W->cbFunc->setCurrentIndex(2);
    W->leStartAddress->setText("465536");
    RunGuarded([this] { W->FillAddresses(); });
    EXPECT_EQ(W->sgData->Cells(0, 1), "465536");
    W->cbFunc->setCurrentIndex(3); // the field follows the table
    EXPECT_EQ(W->leStartAddress->text(), "365536");
    EXPECT_TRUE(ReadFile(IniPath()).contains("Addresses=modicon"));
    RunGuarded([&] { t.SetNotation({}); });
    EXPECT_EQ(W->leStartAddress->text(), "65536");
    EXPECT_EQ(W->leStartAddress->maxLength(), 5);
    EXPECT_TRUE(Boxes.isEmpty()) << Boxes.join('\n').toStdString();
}

TEST_F(MapsTest, EngineeringValuesShowAndWriteExactRawWords)
{
    TRegisterTools& t = *W->RegisterTools;
    Read(3, "101", 5);
    W->sgData->SetCells(1, 1, "UInt16 (Word) AABB");
    W->sgData->SetCells(1, 2, "UInt16 (Word) AABB");
    W->sgData->SetCells(1, 3, "SInt16 (SmallInt) AABB");
    W->sgData->SetCells(1, 4, "SInt32 (Integer, LongInt) AABB CCDD");
    W->MarkContinuationRows();
    TScaling state, flags;
    QString why;
    ASSERT_TRUE(ParseEnumText(u"356=Idle;2=Fault;358=Running", state.Enum, why));
    ASSERT_TRUE(ParseBitsText(u"0=Alarm;3=Door;8=Power", flags.Bits, why));
    t.SetScaling(1, Scaled(0.1, -10, "V"));
    t.SetScaling(2, state);
    t.SetScaling(3, flags);
    t.SetScaling(4, Scaled(0.001, 0, "kWh"));
    // Wire addresses 100 to 104 hold 0x164 to 0x168.
    EXPECT_EQ(W->sgData->Cells(2, 1), "25.6 V");   // 356 x 0.1 - 10
    EXPECT_EQ(W->sgData->Cells(2, 2), "357");      // no name for 357
    EXPECT_EQ(W->sgData->Cells(2, 3), "Power");    // 0x166: bits 1, 2, 5, 6 and 8
    EXPECT_EQ(W->sgData->Cells(6, 1), "356");      // the raw columns stay
    Shot(W.get(), "maps26-engineering.png");

    const struct {
        int Row;
        const char* Text;
        std::vector<uint16_t> Words;
        const char* Shown;
    } cases[] = {
        {1, "230.1 V", {2401}, "230.1 V"}, {1, "-5", {50}, "-5 V"},    {2, "fault", {2}, "Fault"},
        {3, "Alarm, Door", {9}, "Alarm, Door"}, {3, "-", {0}, "-"},    {4, "-1.5", {0xFFFF, 0xFA24}, "-1.5 kWh"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Text);
        TfrmWriteValue::OnShownHook = [&](TfrmWriteValue* d) {
            d->edValue->setText(QString::fromUtf8(c.Text));
            d->btnOK->click();
            if (d->isVisible()) d->reject();
        };
        const int polls = W->FPolls;
        RunGuarded([&] { W->WriteRowValue(c.Row); });
        ASSERT_TRUE(waitUntil([&] { return W->FPolls >= polls + 2 && W->FResponses + W->FErrors >= W->FPolls; }));
        for (size_t k = 0; k < c.Words.size(); ++k) EXPECT_EQ(Word(c.Row + int(k)), c.Words[k]);
        EXPECT_EQ(W->sgData->Cells(2, c.Row), QString::fromUtf8(c.Shown));
    }
    // A text the scaling cannot take is refused in the dialog.
    QString refusal;
    TfrmWriteValue::OnShownHook = [&](TfrmWriteValue* d) {
        d->edValue->setText("Sleeping");
        d->btnOK->click();
        refusal = d->lblMessage->text();
        d->reject();
    };
    RunGuarded([&] { W->WriteRowValue(2); });
    EXPECT_TRUE(refusal.contains("is none of 356=Idle;2=Fault;358=Running")) << refusal.toStdString();
    EXPECT_TRUE(Boxes.isEmpty()) << Boxes.join('\n').toStdString();
}

TEST_F(MapsTest, AMapExportedAndImportedGivesTheSameGrid)
{
    TRegisterTools& t = *W->RegisterTools;
    RunGuarded([&] { t.SetNotation({TAddressBase::Modicon, true}); });
    W->cbFunc->setCurrentIndex(3);
    W->leStartAddress->setText("3FFF0");
    W->leLength->setText("12");
    W->sgData->SetRowCount(13);
    RunGuarded([this] { W->FillAddresses(); });
    W->sgData->SetCells(1, 1, "Single (Float) CCDD AABB");
    W->sgData->SetCells(1, 4, "UInt16 (Word) BBAA");
    W->sgData->SetCells(1, 5, "HEX");
    W->sgData->SetCells(1, 12, "SInt16 (SmallInt) AABB");
    W->MarkContinuationRows();
    W->sgData->SetCells(9, 1, "Temperature, \"inner\"");
    W->sgData->SetCells(9, 4, "State");
    W->sgData->SetCells(9, 7, "spare; do not use");
    t.SetScaling(1, Scaled(2.5, 1, "°C"));
    TScaling state;
    state.Enum = {{0, "Off"}, {1, "On"}};
    t.SetScaling(4, state);
    auto snapshot = [&] {
        QStringList cells{W->cbFunc->currentText(), W->leStartAddress->text(), W->leLength->text()};
        for (int r = 0; r < W->sgData->RowCount(); ++r)
            cells << W->sgData->Cells(0, r) << W->sgData->Cells(1, r) << W->sgData->Cells(9, r)
                  << (t.ScalingOf(r) ? ScalingRecord(*t.ScalingOf(r)) : QString());
        return cells;
    };
    const QStringList before = snapshot();
    const QString file = Dir.filePath("map.csv");
    RunGuarded([&] { t.ExportMap(file); });
    EXPECT_TRUE(ReadFile(file).startsWith("address:modicon-hex,function,name,type,gain,offset,unit,enum,bits,description,value\r\n"
                                          "3FFF0,4,\"Temperature, \"\"inner\"\"\",Single (Float) CCDD AABB,2.5,1,°C,,,,\r\n"));
    // Another layout, then the map again.
    W->cbFunc->setCurrentIndex(0);
    W->leLength->setText("3");
    W->sgData->SetRowCount(4);
    for (int r = 1; r < 4; ++r) W->sgData->SetCells(9, r, "x");
    t.SetScaling(1, {});
    QString note = "unset";
    RunGuarded([&] { note = t.ImportMap(file); });
    EXPECT_EQ(note, "");
    EXPECT_EQ(snapshot(), before);
    // Saved with a profile in a section of its own, and loaded back.
    zorp::SetSaveDialogHook([this](QFileDialog*) { return ProfilePath("eng.zvst"); });
    RunGuarded([this] { W->btnSaveSettingsClick(W->btnSaveSettings); });
    EXPECT_TRUE(ReadFile(ProfilePath("eng.zvst")).contains("[Scaling]\r\n1=2.5,1,°C,,\r\n4=1,0,,\"0=Off;1=On\",\r\n"));
    t.SetScaling(1, {});
    W->cbSettings->setCurrentIndex(W->cbSettings->findText("eng.zvst"));
    RunGuarded([this] { W->btnLoadSettingsClick(W->btnLoadSettings); });
    EXPECT_EQ(snapshot(), before);

    // A map wider than one read fills the first block and says so.
    QString wide = "address,type\n";
    for (int k = 0; k < 150; ++k) wide += QStringLiteral("%1,u16\n").arg(40001 + k);
    WriteFile(Dir.filePath("wide.csv"), wide.toUtf8());
    RunGuarded([&] { note = t.ImportMap(Dir.filePath("wide.csv")); });
    EXPECT_TRUE(note.startsWith("The map needs 2 reads; the grid shows the first: function 03")) << note.toStdString();
    EXPECT_EQ(W->leLength->text(), "100");
    // With a poll window open, the rest of the map goes to a poll window.
    W->PollWindows->NewPollWindow();
    RunGuarded([&] { note = t.ImportMap(Dir.filePath("wide.csv")); });
    EXPECT_TRUE(note.isEmpty()) << note.toStdString();
    ASSERT_EQ(W->PollWindows->Windows().size(), 2);
    const TPollSettings rest = W->PollWindows->Windows().back()->CurrentSettings();
    EXPECT_EQ(rest.Func, 3);
    EXPECT_EQ(rest.Start, 40101); // plain numbers in the register + 1 notation
    EXPECT_EQ(rest.Length, 50);
    EXPECT_EQ(rest.Types.value(49), "UInt16 (Word) AABB");
    W->PollWindows->CloseAll();
    EXPECT_TRUE(Boxes.isEmpty()) << Boxes.join('\n').toStdString();
}

TEST_F(MapsTest, AddressScanWindowFindsTheImplementedRanges)
{
    PeerProcess sparse;
    ASSERT_TRUE(sparse.start(peerPython(), {peerScript("pymodbus_sparse.py"), "0-9,20-29,57,100-139"}, "PORT"));
    W->mdb->SetEthPort(sparse.port());
    TfrmAddressScan* s = W->RegisterTools->AddressScan();
    s->show();
    s->cbFunction->setCurrentIndex(2);
    s->edFirst->setText("1");
    s->edLast->setText("150");
    s->edBlock->setText("32");
    RunGuarded([s] { s->Start(); });
    ASSERT_TRUE(waitUntil([s] { return !s->Running(); }, 60000));
    EXPECT_TRUE(s->lblStatus->text().startsWith("150 of 150 addresses. Implemented: 1-10, 21-30, 58, 101-140"))
        << s->lblStatus->text().toStdString();
    EXPECT_EQ(s->tbResults->rowCount(), 150);
    EXPECT_EQ(s->tbResults->item(10, 1)->text(), "exception 02, illegal data address");
    const QStringList csv = s->CsvText().split("\r\n");
    EXPECT_EQ(csv.value(1), "1,1000,,");
    EXPECT_EQ(csv.value(12), "12,,2,\"exception 02, illegal data address\"");
    s->resize(560, 520);
    spin(100);
    Shot(s, "maps26-address-scan.png");
    EXPECT_TRUE(Boxes.isEmpty()) << Boxes.join('\n').toStdString();
}
