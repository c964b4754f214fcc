// SPDX-License-Identifier: GPL-3.0-or-later
// Writes from the grid against a real Modbus TCP slave (python3-pymodbus on
// 127.0.0.1): the write dialog, the words that land in the slave for every
// kind of data type and byte order, coils, refused values, and writes during
// Real time that wait for the read in flight.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <gtest/gtest.h>

#include "CommLog.h"
#include "LabeledEdit.h"
#include "RadioGroup.h"
#include "SettingsSupport.h"
#include "StringGrid.h"
#include "TesterOptions.h"
#include "VexaModbus.h"
#include "uWriteAny.h"
#include "uWriteValue.h"

using namespace zorptest;

namespace {

class WriteTest : public SettingsWindowTest {
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
        TfrmModbusMaster::GridMenuHook = nullptr;
        if (W) {
            W->cbRealTime->setChecked(false);
            W->mdb->Disconnect();
            spin(30);
        }
        SettingsWindowTest::TearDown();
        Slave.Stop();
    }
    bool Settled() { return waitUntil([this] { return W->FResponses + W->FErrors >= W->FPolls; }, 5000); }
    // Reads function index func (0: coils, 2: holding registers) from start, count items.
    void ReadAt(int func, int start, int count)
    {
        W->cbFunc->setCurrentIndex(func);
        W->leStartAddress->setText(QString::number(start));
        W->leLength->setText(QString::number(count));
        W->sgData->SetRowCount(count + 1);
        W->FillAddresses();
        const int responses = W->FResponses;
        RunGuarded([this] { W->btnReadClick(W->btnRead); });
        ASSERT_TRUE(waitUntil([&] { return W->FResponses > responses; }));
    }
    // Registers as the last read gave them.
    std::vector<uint16_t> Words(int first, int n) const
    {
        std::vector<uint16_t> w;
        for (int i = first; i < first + n; ++i)
            w.push_back(uint16_t(W->ReadData[2 * i] << 8 | W->ReadData[2 * i + 1]));
        return w;
    }
    // Answers the next write dialog with text (OK), or cancels it when text is null.
    void Answer(const char* text, bool function16 = false)
    {
        TfrmWriteValue::OnShownHook = [text, function16, this](TfrmWriteValue* d) {
            Shown = {d->lblAddress->text(), d->lblType->text(), d->lblCurrent->text()};
            if (!text) {
                d->reject();
                return;
            }
            d->edValue->setText(QString::fromUtf8(text));
            d->cbFunction16->setChecked(function16);
            d->btnOK->click();
            Refusal = d->lblMessage->text();
            if (d->isVisible())
                d->reject();
        };
    }
    QStringList Shown;
    QString Refusal;
    SettingsPySlave Slave;
};

} // namespace

TEST_F(WriteTest, EveryKindOfTypeInEveryByteOrderLandsAsTheExactWords)
{
    const struct {
        const char* Type;
        const char* Text;
        std::vector<uint16_t> Words;
        const char* Shown; // the Value the next read shows
    } cases[] = {
        {"HEX", "0A1F", {0x0A1F}, "0A1F"},
        {"BIN", "00010010 00110100", {0x1234}, "00010010 00110100"},
        {"BYTES", "10,31", {0x0A1F}, "10,31"},
        {"ASCII", "Az", {0x417A}, "A z"},
        {"UInt8 (Byte)", "200", {0x00C8}, "200"},
        {"SInt8 (ShortInt)", "-2", {0x00FE}, "-2"},
        {"UInt16 (Word) AABB", "4660", {0x1234}, "4660"},
        {"UInt16 (Word) BBAA", "4660", {0x3412}, "4660"},
        {"SInt16 (SmallInt) AABB", "-2", {0xFFFE}, "-2"},
        {"SInt16 (SmallInt) BBAA", "0x8000", {0x0080}, "-32768"},
        {"UInt32 (LongWord) AABB CCDD", "305419896", {0x1234, 0x5678}, "305419896"},
        {"UInt32 (LongWord) CCDD AABB", "305419896", {0x5678, 0x1234}, "305419896"},
        {"UInt32 (LongWord) BBAA DDCC", "305419896", {0x3412, 0x7856}, "305419896"},
        {"UInt32 (LongWord) DDCC BBAA", "305419896", {0x7856, 0x3412}, "305419896"},
        {"SInt32 (Integer, LongInt) AABB CCDD", "-2", {0xFFFF, 0xFFFE}, "-2"},
        {"SInt32 (Integer, LongInt) CCDD AABB", "-2", {0xFFFE, 0xFFFF}, "-2"},
        {"SInt32 (Integer, LongInt) BBAA DDCC", "-2", {0xFFFF, 0xFEFF}, "-2"},
        {"SInt32 (Integer, LongInt) DDCC BBAA", "-2", {0xFEFF, 0xFFFF}, "-2"},
        {"Single (Float) AABB CCDD", "1.5", {0x0000, 0xC03F}, "1.500000"},
        {"Single (Float) CCDD AABB", "1.5", {0xC03F, 0x0000}, "1.500000"},
        {"Single (Float) BBAA DDCC", "1.5", {0x0000, 0x3FC0}, "1.500000"},
        {"Single (Float) DDCC BBAA", "1.5", {0x3FC0, 0x0000}, "1.500000"},
        {"UInt64 AABB CCDD EEFF GGHH", "0x0102030405060708", {0x0807, 0x0605, 0x0403, 0x0201}, "72623859790382856"},
        {"UInt64 HHGG FFEE DDCC BBAA", "0x0102030405060708", {0x0102, 0x0304, 0x0506, 0x0708}, "72623859790382856"},
        {"Int64 GGHH EEFF CCDD AABB", "-2", {0xFFFF, 0xFFFF, 0xFFFF, 0xFEFF}, "-2"},
        {"Int64 BBAA DDCC FFEE HHGG", "-2", {0xFFFE, 0xFFFF, 0xFFFF, 0xFFFF}, "-2"},
        {"Double (Real) AABB CCDD EEFF GGHH", "-0.25", {0x0000, 0x0000, 0x0000, 0xD0BF}, "-0.250000"},
        {"Double (Real) HHGG FFEE DDCC BBAA", "-0.25", {0xBFD0, 0x0000, 0x0000, 0x0000}, "-0.250000"},
    };
    int address = 101;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Type);
        const int n = int(c.Words.size());
        ReadAt(2, address, 4);
        W->sgData->SetCells(1, 1, c.Type);
        W->MarkContinuationRows();
        W->ShowRegisterData();
        const std::vector<uint16_t> before = Words(0, 4);
        Answer(c.Text);
        const int polls = W->FPolls;
        W->sgDataDblClick(W->sgData, 2, 1);
        EXPECT_EQ(Refusal, "");
        EXPECT_EQ(Shown.value(0), n == 1 ? QString::number(address) : QStringLiteral("%1 to %2").arg(address).arg(address + n - 1));
        EXPECT_TRUE(Shown.value(1).startsWith(QString::fromLatin1(c.Type))) << Shown.value(1).toStdString();
        // Written, then read once to show it.
        ASSERT_TRUE(waitUntil([&] { return W->FPolls >= polls + 2 && W->FResponses + W->FErrors >= W->FPolls; }));
        EXPECT_EQ(W->FErrors, 0);
        // An 8-bit value is one byte of its register: the other byte stays.
        std::vector<uint16_t> expected = c.Words;
        if (QByteArray(c.Type).contains("Int8")) {
            ASSERT_NE(before[0] & 0xFF00, 0);
            expected[0] = uint16_t((before[0] & 0xFF00) | (c.Words[0] & 0x00FF));
        }
        EXPECT_EQ(Words(0, n), expected);
        // The registers after the value are untouched.
        EXPECT_EQ(Words(n, 4 - n), std::vector<uint16_t>(before.begin() + n, before.end()));
        EXPECT_EQ(W->sgData->Cells(2, 1), c.Shown);
        // One register goes with function 06, several with 16.
        bool sawFunction = false;
        for (int i = 0; i < W->REComm->LineCount(); ++i)
            sawFunction = sawFunction || W->REComm->LineText(i).contains(n == 1 ? "[01] [06] " : "[01] [10] ");
        EXPECT_TRUE(sawFunction);
        address += 4;
    }
    EXPECT_TRUE(Boxes.isEmpty()) << Boxes.join('\n').toStdString();
}

TEST_F(WriteTest, AlwaysFunction16IsRememberedAndCoilsUse05Or15)
{
    ReadAt(2, 301, 2);
    W->sgData->SetCells(1, 1, "UInt16 (Word) AABB");
    Answer("7", true);
    W->sgDataDblClick(W->sgData, 4, 1);
    ASSERT_TRUE(Settled());
    ASSERT_TRUE(waitUntil([&] { return W->ReadData.size() == 4 && W->ReadData[1] == 7; }));
    EXPECT_TRUE(W->FOptions.AlwaysUseFunction16);
    EXPECT_TRUE(TTesterOptions::Load(W->OptionsFileName()).AlwaysUseFunction16);
    bool sent16 = false;
    for (int i = 0; i < W->REComm->LineCount(); ++i)
        sent16 = sent16 || W->REComm->LineText(i).endsWith("[01] [10] [01] [2C] [00] [01] [02] [00] [07] ");
    EXPECT_TRUE(sent16);

    // Coils: wire k is on when k is odd; user address 11 is wire 10 (off).
    ReadAt(0, 11, 6);
    ASSERT_EQ(W->ReadDataBool, (std::vector<bool>{false, true, false, true, false, true}));
    Answer("1");
    W->sgDataDblClick(W->sgData, 5, 1);
    ASSERT_TRUE(waitUntil([&] { return !W->ReadDataBool.empty() && W->ReadDataBool[0]; }));
    EXPECT_EQ(Shown.value(2), "0");
    // Three selected coil rows at once with function 15, through the context menu.
    W->sgData->SetSelection(5, 2, 5, 4);
    TfrmModbusMaster::GridMenuHook = [](QMenu* m) {
        EXPECT_TRUE(m->actions()[0]->isEnabled());
        return m->actions()[0];
    };
    Answer("0");
    W->sgDataContextPopup(W->sgData, W->sgData->CellRect(5, 3).center());
    ASSERT_TRUE(waitUntil([&] { return W->ReadDataBool.size() == 6 && !W->ReadDataBool[1] && !W->ReadDataBool[3]; }));
    EXPECT_EQ(W->ReadDataBool, (std::vector<bool>{true, false, false, false, false, true}));
    EXPECT_EQ(Shown.value(0), "12 to 14 (3 coils)");
    EXPECT_EQ(Shown.value(2), "101");
    bool sent15 = false;
    for (int i = 0; i < W->REComm->LineCount(); ++i)
        sent15 = sent15 || W->REComm->LineText(i).endsWith("[01] [0F] [00] [0B] [00] [03] [01] [00] ");
    EXPECT_TRUE(sent15);
    EXPECT_EQ(W->FErrors, 0);

    // After a read of input registers nothing is offered for writing.
    ReadAt(3, 11, 2);
    TfrmModbusMaster::GridMenuHook = [](QMenu* m) {
        EXPECT_FALSE(m->actions()[0]->isEnabled());
        return nullptr;
    };
    W->sgDataContextPopup(W->sgData, W->sgData->CellRect(5, 1).center());
    EXPECT_FALSE(W->CanWriteRow(1));
    EXPECT_TRUE(Boxes.isEmpty()) << Boxes.join('\n').toStdString();
}

TEST_F(WriteTest, RefusedValuesSayWhyAndSendNothing)
{
    const struct {
        int Func;
        const char* Type;
        const char* Text;
    } cases[] = {
        {2, "SInt16 (SmallInt) AABB", "40000"}, {2, "UInt16 (Word) AABB", "-1"}, {2, "UInt8 (Byte)", "256"},
        {2, "SInt8 (ShortInt)", "-129"},        {2, "Single (Float) AABB CCDD", "abc"},
        {2, "Single (Float) AABB CCDD", "1e39"}, {2, "UInt32 (LongWord) AABB CCDD", "4294967296"},
        {2, "HEX", "12345"},                    {2, "BYTES", "256,1"}, {2, "ASCII", "A"}, {2, "", "1.5"},
        {2, "Int64 AABB CCDD EEFF GGHH", "9223372036854775808"}, {0, "", "2"}, {0, "", "on"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Type) + " / " + c.Text);
        ReadAt(c.Func, 1, 4);
        W->sgData->SetCells(1, 1, c.Type);
        W->MarkContinuationRows();
        const int64_t tx = W->mdb->TxCounter();
        const int lines = W->REComm->LineCount();
        Answer(c.Text);
        W->sgDataDblClick(W->sgData, 2, 1);
        spin(30);
        EXPECT_FALSE(Refusal.isEmpty());
        EXPECT_EQ(W->mdb->TxCounter(), tx);
        EXPECT_EQ(W->REComm->LineCount(), lines);
    }
    // A cancelled dialog sends nothing either.
    const int64_t tx = W->mdb->TxCounter();
    Answer(nullptr);
    W->sgDataDblClick(W->sgData, 2, 1);
    spin(30);
    EXPECT_EQ(W->mdb->TxCounter(), tx);
    EXPECT_TRUE(Boxes.isEmpty()) << Boxes.join('\n').toStdString();
}

TEST_F(WriteTest, WritesDuringRealTimeWaitForTheReadInFlightAndLoseNoPoll)
{
    for (const int pause : {-1, 0}) {
        SCOPED_TRACE(pause);
        TTesterOptions o = W->FOptions;
        o.RealTimePauseMs = pause;
        RunGuarded([&] { W->SetOptions(o); });
        ReadAt(2, 501, 2);
        TfrmModbusMaster::TWriteRequest zero;
        zero.Func = 16;
        zero.Address = 501;
        zero.Words = {0, 0};
        RunGuarded([&] { W->RequestWrite(zero); });
        ASSERT_TRUE(waitUntil([&] { return W->ReadData.size() == 4 && W->ReadData[1] == 0 && W->FInFlight == TfrmModbusMaster::TInFlight::None; }));
        W->REComm->Clear();
        W->cbRealTime->setChecked(true);
        RunGuarded([this] { W->btnReadClick(W->btnRead); });
        // Each write is asked for right after a read went out, while it is in flight.
        int value = 0, waited = 0;
        const auto send = W->mdb->OnSendData;
        W->mdb->OnSendData = [&, send](QObject* s, const void* b, int32_t n) {
            send(s, b, n);
            if (W->FInFlight != TfrmModbusMaster::TInFlight::Read || value >= 20 || W->FPendingWrite)
                return;
            if (W->ReadData.size() != 4 || W->ReadData[1] != value)
                return; // the last value written is not shown yet
            ++value;
            TfrmModbusMaster::TWriteRequest w;
            w.Func = value % 2 ? 6 : 16;
            w.Address = 501;
            w.Words = value % 2 ? std::vector<uint16_t>{uint16_t(value)}
                                : std::vector<uint16_t>{uint16_t(value), uint16_t(value)};
            RunGuarded([&] { W->RequestWrite(w); });
            waited += W->FPendingWrite ? 1 : 0;
        };
        // The next poll after each write shows the value written.
        ASSERT_TRUE(waitUntil([&] { return value == 20 && W->ReadData.size() == 4 && W->ReadData[1] == 20; }, 20000));
        W->mdb->OnSendData = send;
        EXPECT_EQ(waited, 20);
        W->cbRealTime->setChecked(false);
        ASSERT_TRUE(Settled());
        spin(100);
        EXPECT_EQ(W->FErrors, 0);
        EXPECT_EQ(W->FPolls, W->FResponses);
        // Every request got its answer before the next one went out.
        for (int i = 0; i < W->REComm->LineCount(); ++i)
            EXPECT_EQ(W->REComm->LineColor(i), i % 2 ? QColor(0, 0, 255) : QColor(255, 0, 0)) << i;
    }
    EXPECT_TRUE(Boxes.isEmpty()) << Boxes.join('\n').toStdString();
}

TEST_F(WriteTest, DialogShowsAddressTypeAndCurrentValue)
{
    ReadAt(2, 21, 4);
    W->sgData->SetCells(1, 2, "SInt32 (Integer, LongInt) AABB CCDD");
    W->MarkContinuationRows();
    W->ShowRegisterData();
    // A continuation row writes the value it belongs to.
    TfrmWriteValue::OnShownHook = [this](TfrmWriteValue* d) {
        EXPECT_EQ(d->lblAddress->text(), "22 to 23");
        EXPECT_EQ(d->lblType->text(), "SInt32 (Integer, LongInt) AABB CCDD, -2147483648 to 2147483647");
        EXPECT_EQ(d->lblCurrent->text(), W->sgData->Cells(2, 2));
        EXPECT_TRUE(d->cbFunction16->isVisible());
        d->edValue->setText("99999999999");
        d->btnOK->click();
        EXPECT_TRUE(d->isVisible());
        EXPECT_TRUE(d->lblMessage->text().startsWith("\"99999999999\" is out of range"));
        if (qEnvironmentVariableIsSet("ZORP_SHOTS_DIR")) {
            spin(300);
            d->screen()->grabWindow(0).save(qEnvironmentVariable("ZORP_SHOTS_DIR") + "/write_dialog.png");
        }
        d->reject();
    };
    W->sgDataDblClick(W->sgData, 6, 3);
    EXPECT_TRUE(Boxes.isEmpty()) << Boxes.join('\n').toStdString();
}

// Write > "Write to the slave...": any address and function without a read
// first; the exact words and bits land, bad input is refused and sends nothing.
class WriteAnyTest : public WriteTest {
protected:
    void TearDown() override
    {
        TfrmWriteAny::OnShownHook = nullptr;
        WriteTest::TearDown();
    }
    // Fills the dialog, presses Write; returns the refusal (empty when it closed).
    QString Submit(int func, const char* address, const char* type, const char* values)
    {
        QString refusal;
        TfrmWriteAny::OnShownHook = [&](TfrmWriteAny* d) {
            d->SetFunction(func);
            d->edAddress->setText(QString::fromUtf8(address));
            if (*type) d->SetDataType(QString::fromUtf8(type));
            d->edValues->setText(QString::fromUtf8(values));
            d->btnOK->click();
            refusal = d->lblMessage->text();
            if (d->isVisible()) d->reject();
        };
        QAction* a = W->findChild<QAction*>("actWriteAny");
        EXPECT_TRUE(a && a->isEnabled());
        if (a) a->trigger();
        return refusal;
    }
};

TEST_F(WriteAnyTest, WordsAndBitsLandExactlyWithoutAReadFirst)
{
    const struct {
        int Func;
        const char* Address;
        const char* Type;
        const char* Values;
        std::vector<uint16_t> Expected; // registers, or coils as 0 and 1
    } cases[] = {
        {6, "1001", "", "4660", {0x1234}},
        {6, "1002", "SInt16 (SmallInt) BBAA", "-2", {0xFEFF}},
        {16, "1010", "Single (Float) DDCC BBAA", "12.5,-2.5", {0x4148, 0x0000, 0xC020, 0x0000}},
        {16, "1020", "UInt32 (LongWord) CCDD AABB", "305419896", {0x5678, 0x1234}},
        {16, "1030", "BYTES", "10,31,0,65", {0x0A1F, 0x0041}},
        {16, "1040", "HEX", "BEEF,1", {0xBEEF, 0x0001}},
        {5, "2001", "", "1", {1}}, // coil k is on at first when k is odd
        {15, "2011", "", "1010", {1, 0, 1, 0}},
        {15, "2021", "", "1 1 0 0 1", {1, 1, 0, 0, 1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Address) + " " + c.Values);
        const int64_t tx = W->mdb->TxCounter();
        EXPECT_EQ(Submit(c.Func, c.Address, c.Type, c.Values), "");
        ASSERT_TRUE(waitUntil([&] { return W->mdb->TxCounter() > tx && W->FInFlight == TfrmModbusMaster::TInFlight::None; }));
        EXPECT_EQ(W->FErrors, 0);
        const int n = int(c.Expected.size());
        const bool coils = c.Func == 5 || c.Func == 15;
        ReadAt(coils ? 0 : 2, QByteArray(c.Address).toInt(), n);
        std::vector<uint16_t> got;
        if (coils)
            for (const bool b : W->ReadDataBool) got.push_back(b);
        else
            got = Words(0, n);
        EXPECT_EQ(got, c.Expected);
    }
    // The log names what was written.
    bool logged = false;
    for (int i = 0; i < W->REComm->LineCount(); ++i)
        logged = logged || W->REComm->LineText(i).contains("[01] [0F] [07] [DA] [00] [04] [01] [05] ");
    EXPECT_TRUE(logged);
    EXPECT_TRUE(Boxes.isEmpty()) << Boxes.join('\n').toStdString();
}

TEST_F(WriteAnyTest, BadInputIsRefusedSayingWhyAndSendsNothing)
{
    const struct {
        int Func;
        const char* Address;
        const char* Type;
        const char* Values;
        const char* Why;
    } cases[] = {
        {6, "0", "", "1", "not a number from 1 to 65536"},
        {6, "65537", "", "1", "not a number from 1 to 65536"},
        {6, "12a", "", "1", "not a number from 1 to 65536"},
        {6, "1", "", "1,2", "writes one register"},
        {6, "1", "UInt32 (LongWord) AABB CCDD", "7", "writes one register"},
        {6, "1", "", "65536", "out of range"},
        {16, "1", "SInt16 (SmallInt) AABB", "1,40000", "out of range"},
        {16, "1", "Single (Float) AABB CCDD", "1.5x", "not a number"},
        {16, "1", "BYTES", "1,2,3", "odd number of bytes"},
        {16, "65535", "", "1,2,3", "run past address 65536"},
        {16, "1", "", "", "No value given"},
        {5, "1", "", "01", "writes one coil"},
        {15, "1", "", "0120", "not a bit"},
        {15, "1", "", "", "No bit given"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Address) + " / " + c.Values);
        const int64_t tx = W->mdb->TxCounter();
        const QString why = Submit(c.Func, c.Address, c.Type, c.Values);
        EXPECT_TRUE(why.contains(QString::fromUtf8(c.Why))) << why.toStdString();
        spin(20);
        EXPECT_EQ(W->mdb->TxCounter(), tx);
    }
    // Not connected: said in the dialog, nothing sent.
    W->mdb->Disconnect();
    ASSERT_TRUE(waitUntil([this] { return !W->mdb->Connected(); }));
    EXPECT_TRUE(Submit(6, "1", "", "1").startsWith("Not connected"));
    EXPECT_TRUE(Boxes.isEmpty()) << Boxes.join('\n').toStdString();
}

TEST_F(WriteAnyTest, AWriteAskedForDuringARealTimeReadWaitsForItsAnswer)
{
    ReadAt(2, 701, 2);
    W->cbRealTime->setChecked(true);
    RunGuarded([this] { W->btnReadClick(W->btnRead); });
    ASSERT_TRUE(waitUntil([this] { return W->FInFlight == TfrmModbusMaster::TInFlight::Read; }));
    EXPECT_EQ(Submit(16, "701", "", "77,78"), "");
    ASSERT_TRUE(waitUntil([this] { return W->ReadData.size() == 4 && W->ReadData[1] == 77 && W->ReadData[3] == 78; }));
    W->cbRealTime->setChecked(false);
    ASSERT_TRUE(Settled());
    EXPECT_EQ(W->FErrors, 0);
    if (qEnvironmentVariableIsSet("ZORP_SHOTS_DIR")) {
        TfrmWriteAny::OnShownHook = [](TfrmWriteAny* d) {
            d->SetFunction(15);
            d->edAddress->setText("17");
            d->edValues->setText("01x1");
            d->btnOK->click();
            spin(300);
            d->screen()->grabWindow(0).save(qEnvironmentVariable("ZORP_SHOTS_DIR") + "/write_any_coils.png");
            d->SetFunction(16);
            d->SetDataType("Single (Float) DDCC BBAA");
            d->edValues->setText("12.5,-2.5");
            spin(300);
            d->screen()->grabWindow(0).save(qEnvironmentVariable("ZORP_SHOTS_DIR") + "/write_any_registers.png");
            d->reject();
        };
        W->findChild<QAction*>("actWriteAny")->trigger();
    }
    EXPECT_TRUE(Boxes.isEmpty()) << Boxes.join('\n').toStdString();
}
