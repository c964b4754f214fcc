// SPDX-License-Identifier: GPL-3.0-or-later
// The Read operation, the response handlers, the Real-time cycle and the
// counters against a real Modbus TCP slave (python3-pymodbus) on 127.0.0.1,
// and the Start Address and Length field rules.
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTimer>

#include "LabeledEdit.h"
#include "RadioGroup.h"
#include "SettingsSupport.h"
#include "StatusBar.h"
#include "StringGrid.h"
#include "VexaModbus.h"

using namespace zorptest;

namespace {

class PollingTest : public SettingsWindowTest {
protected:
    void SetUp() override
    {
        SettingsWindowTest::SetUp();
        ASSERT_TRUE(Slave.Start()) << "python3-pymodbus server did not start";
        CreateWindow();
    }
    void TearDown() override
    {
        if (W) {
            W->cbRealTime->setChecked(false);
            W->mdb->Disconnect();
            spin(50);
        }
        SettingsWindowTest::TearDown();
        Slave.Stop();
    }

    void Connect()
    {
        W->rgModbusMode->SetItemIndex(2);
        W->leIP->setText("127.0.0.1");
        W->lePort->setText(QString::number(Slave.Port()));
        RunGuarded([this] { W->btnConnectClick(W->btnConnect); });
        ASSERT_TRUE(waitUntil([this] { return W->mdb->Connected(); }, 10000));
        W->mdb->SetTimeout(300);
    }
    void Read() { RunGuarded([this] { W->btnReadClick(W->btnRead); }); }
    // Waits until the window has as many responses and errors as it polled.
    bool Settled(int timeoutMs = 5000)
    {
        return waitUntil([this] { return W->FResponses + W->FErrors >= W->FPolls; }, timeoutMs);
    }
    QString Panel(int i) const { return W->sBar->PanelText(i); }

    SettingsPySlave Slave;
};

} // namespace

TEST_F(PollingTest, ReadWhileNotConnectedChangesNothing)
{
    Read();
    spin(100);
    EXPECT_EQ(W->FPolls, 0);
    EXPECT_EQ(Panel(1), "Polls: 0");
    EXPECT_EQ(W->mdb->TxCounter(), 0);
    EXPECT_TRUE(Boxes.isEmpty());
}

TEST_F(PollingTest, EachFunctionFillsTheResponseData)
{
    Connect();
    W->leStartAddress->setText("3");
    W->leLength->setText("10");

    W->cbFunc->setCurrentIndex(2); // 03: register at user address 3 is wire 2, value 0x102
    Read();
    ASSERT_TRUE(waitUntil([this] { return W->FResponses == 1; }));
    ASSERT_EQ(W->ReadData.size(), 20u);
    EXPECT_EQ(W->ReadData[0], 0x01);
    EXPECT_EQ(W->ReadData[1], 0x02);
    EXPECT_EQ(W->ReadData[19], 0x0B);

    W->cbFunc->setCurrentIndex(3); // 04
    W->leLength->setText("2");
    Read();
    ASSERT_TRUE(waitUntil([this] { return W->FResponses == 2; }));
    EXPECT_EQ(W->ReadData, (std::vector<uint8_t>{0x01, 0x02, 0x01, 0x03}));

    // Coils and inputs: wire address k is on when k is odd; user address 3
    // is wire 2 (off), 4 is wire 3 (on), ...
    const std::vector<bool> bits = {false, true, false, true, false, true, false, true, false, true};
    W->leLength->setText("10");
    W->cbFunc->setCurrentIndex(0);
    Read();
    ASSERT_TRUE(waitUntil([this] { return W->FResponses == 3; }));
    EXPECT_EQ(W->ReadDataBool, bits);
    W->ReadDataBool.clear();
    W->cbFunc->setCurrentIndex(1);
    Read();
    ASSERT_TRUE(waitUntil([this] { return W->FResponses == 4; }));
    EXPECT_EQ(W->ReadDataBool, bits);

    EXPECT_EQ(W->FPolls, 4);
    EXPECT_EQ(W->FErrors, 0);
    EXPECT_EQ(Panel(1), "Polls: 4");
    EXPECT_EQ(Panel(2), "Responses: 4");
    EXPECT_EQ(Panel(3), "Errors: 0");
    EXPECT_TRUE(Boxes.isEmpty()) << Boxes.join('\n').toStdString();
    // The grid shows the last answer in its data columns.
    bool shown = false;
    for (int c = 2; c < W->sgData->ColCount(); ++c)
        shown = shown || !W->sgData->Cells(c, 1).isEmpty();
    EXPECT_TRUE(shown);
}

TEST_F(PollingTest, DiscreteInputsAreUnpackedLeastSignificantBitFirst)
{
    W->mdbReadDiscreteInputs(W->mdb, 1, 1, 10, {0x05, 0x00});
    const std::vector<bool> expected = {true, false, true, false, false, false, false, false, false, false};
    EXPECT_EQ(W->ReadDataBool, expected);
    // A count beyond the data bytes reads the missing bits as off.
    W->mdbReadDiscreteInputs(W->mdb, 1, 1, 12, {0xFF});
    EXPECT_EQ(W->ReadDataBool.size(), 12u);
    EXPECT_TRUE(W->ReadDataBool[7]);
    EXPECT_FALSE(W->ReadDataBool[8]);
    EXPECT_EQ(W->FResponses, 2);
}

TEST_F(PollingTest, RealTimeHoldingRegistersPauseBetweenPollsAndStopWhenUnchecked)
{
    Connect();
    W->cbFunc->setCurrentIndex(2);
    W->leLength->setText("4");
    W->cbRealTime->setChecked(true);
    QElapsedTimer clock;
    clock.start();
    Read();
    ASSERT_TRUE(waitUntil([this] { return W->FResponses >= 8; }, 10000));
    W->cbRealTime->setChecked(false);
    const qint64 elapsed = clock.elapsed();
    ASSERT_TRUE(Settled());
    spin(150);
    const int polls = W->FPolls;
    // One poll at least every 50 ms after the previous answer: never more
    // than elapsed / 50 + 2 of them.
    EXPECT_LE(polls, elapsed / 50 + 2);
    spin(150);
    EXPECT_EQ(W->FPolls, polls);
    EXPECT_EQ(W->FResponses, polls);
    EXPECT_EQ(W->FErrors, 0);
}

TEST_F(PollingTest, RealTimeInputRegistersPollBackToBack)
{
    Connect();
    W->cbFunc->setCurrentIndex(3);
    W->leLength->setText("4");
    W->cbRealTime->setChecked(true);
    QElapsedTimer clock;
    clock.start();
    Read();
    // Without the pause, many more polls than a 50 ms rhythm allows.
    const bool many = waitUntil([&] { return W->FResponses >= 40; }, 10000);
    const qint64 elapsed = clock.elapsed();
    W->cbRealTime->setChecked(false);
    ASSERT_TRUE(many);
    EXPECT_GT(W->FResponses, elapsed / 50 + 2);
    ASSERT_TRUE(Settled());
    spin(100);
    const int polls = W->FPolls;
    spin(100);
    EXPECT_EQ(W->FPolls, polls);
    EXPECT_EQ(W->FResponses, polls);
}

TEST_F(PollingTest, SlaveThatStopsAnsweringCountsOneErrorAndEndsTheCycle)
{
    Connect();
    W->mdb->SetTimeout(150);
    W->mdb->SetMaxRepeat(1);
    W->cbFunc->setCurrentIndex(3);
    W->cbRealTime->setChecked(true);
    Read();
    ASSERT_TRUE(waitUntil([this] { return W->FResponses >= 5; }));
    Slave.Pause();
    ASSERT_TRUE(waitUntil([this] { return W->FErrors >= 1; }, 10000));
    spin(600); // several time-outs' worth: no new poll, no second error
    EXPECT_EQ(W->FErrors, 1);
    EXPECT_EQ(W->FPolls, W->FResponses + 1);
    EXPECT_EQ(Panel(3), "Errors: 1");
    EXPECT_TRUE(W->cbRealTime->isChecked());
    Slave.Resume();
}

TEST_F(PollingTest, ReadFailingInsideAResponseLeavesReadConnectAndDisconnectWorking)
{
    Connect();
    W->cbFunc->setCurrentIndex(3);
    W->cbRealTime->setChecked(true);
    Read();
    ASSERT_TRUE(waitUntil([this] { return W->FResponses >= 3; }));
    W->leLength->setText(""); // the next Read, made from the response, fails
    ASSERT_TRUE(waitUntil([this] { return !Boxes.isEmpty(); }));
    spin(100);
    EXPECT_EQ(Boxes, QStringList{"'''' is not a valid integer value."});
    const int polls = W->FPolls;
    spin(100);
    EXPECT_EQ(W->FPolls, polls); // the cycle ended

    W->cbRealTime->setChecked(false);
    W->leLength->setText("2");
    const int responses = W->FResponses;
    Read();
    ASSERT_TRUE(waitUntil([&] { return W->FResponses == responses + 1; }));
    RunGuarded([this] { W->btnDisconnectClick(W->btnDisconnect); });
    ASSERT_TRUE(waitUntil([this] { return !W->mdb->Connected(); }));
    Connect();
    Read();
    ASSERT_TRUE(waitUntil([this] { return W->FResponses == 1; }));
}

TEST_F(PollingTest, NoFunctionSelectedCountsAPollAndSendsNothing)
{
    Connect();
    W->cbFunc->setCurrentIndex(-1);
    const auto tx = W->mdb->TxCounter();
    Read();
    spin(200);
    EXPECT_EQ(W->FPolls, 1);
    EXPECT_EQ(W->FResponses, 0);
    EXPECT_EQ(W->mdb->TxCounter(), tx);
}

TEST_F(PollingTest, OutOfRangeCountOrAddressIsRefusedNotTruncated)
{
    Connect();
    W->cbFunc->setCurrentIndex(2);
    const auto tx = W->mdb->TxCounter();
    W->leLength->setText("300"); // as a profile can leave it
    Read();
    W->leLength->setText("2");
    W->leStartAddress->setText("70000");
    Read();
    W->leStartAddress->setText("");
    W->leLength->setText("x");
    Read(); // the Length text is converted first
    spin(200);
    EXPECT_EQ(Boxes, (QStringList{"Length 300 is out of range (0 to 255).",
                                  "Start Address 70000 is out of range (0 to 65536).",
                                  "''x'' is not a valid integer value."}));
    EXPECT_EQ(W->mdb->TxCounter(), tx);
    EXPECT_EQ(W->FPolls, 3);

    // The last address, 65536, is wire address 65535.
    W->leStartAddress->setText("65536");
    W->leLength->setText("1");
    Read();
    ASSERT_TRUE(waitUntil([this] { return W->FResponses == 1; }));
    EXPECT_EQ(W->ReadData, (std::vector<uint8_t>{0x00, 0xFF}));
}

TEST_F(PollingTest, LengthTypedThenReadClickedIsCutTo100ButTheGridKeepsItsRows)
{
    Connect();
    W->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(W.get()));
    W->leLength->setFocus();
    W->leLength->selectAll();
    QTest::keyClicks(W->leLength, "250");
    EXPECT_EQ(W->sgData->RowCount(), 251);
    QTest::mouseClick(W->btnRead, Qt::LeftButton);
    EXPECT_EQ(W->leLength->text(), "100");
    ASSERT_TRUE(waitUntil([this] { return W->FResponses == 1; }));
    EXPECT_EQ(W->ReadData.size(), 200u);
    EXPECT_EQ(W->sgData->RowCount(), 251);
}

TEST_F(PollingTest, EmptiedFieldsAndTheKeyPressRefresh)
{
    W->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(W.get()));
    W->leStartAddress->setFocus();
    W->leStartAddress->selectAll();
    QTest::keyClicks(W->leStartAddress, "7");
    EXPECT_EQ(W->sgData->Cells(0, 1), "7");
    // The key-press refresh still sees the old text; the key-up one the new.
    W->leStartAddress->end(false);
    QChar k(u'5');
    W->leStartAddressKeyPress(W->leStartAddress, k);
    EXPECT_EQ(W->sgData->Cells(0, 1), "7");
    QTest::keyClick(W->leStartAddress, Qt::Key_5);
    EXPECT_EQ(W->sgData->Cells(0, 1), "75");
    // Emptied: the Address column keeps its numbers.
    QTest::keyClick(W->leStartAddress, Qt::Key_Backspace);
    QTest::keyClick(W->leStartAddress, Qt::Key_Backspace);
    EXPECT_EQ(W->leStartAddress->text(), "");
    EXPECT_EQ(W->sgData->Cells(0, 1), "7"); // from the key-up at "7"

    // Length emptied: two rows on key release, "100" on leaving.
    W->leLength->setFocus();
    W->leLength->selectAll();
    QTest::keyClick(W->leLength, Qt::Key_Backspace);
    EXPECT_EQ(W->sgData->RowCount(), 3);
    W->leStartAddress->setFocus();
    EXPECT_EQ(W->leLength->text(), "100");
    EXPECT_EQ(W->sgData->RowCount(), 3);
}
