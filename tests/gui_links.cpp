// SPDX-License-Identifier: GPL-3.0-or-later
// The tester on links where requests must not be repeated or cannot be
// answered: a write with "Remove echo" on over Modbus TCP (which has no
// echo) goes out once, and Slave ID 0 (broadcast) is not read.
#include <QAction>
#include <QComboBox>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <gtest/gtest.h>

#include "HostilePeer.h"
#include "LabeledEdit.h"
#include "RadioGroup.h"
#include "SettingsSupport.h"
#include "StringGrid.h"
#include "VexaModbus.h"
#include "uWriteValue.h"

using namespace zorptest;

namespace {

// A Modbus TCP slave that answers reads of holding registers with zeros and
// writes with their echo, and counts the writes it carried out.
class LinkTest : public SettingsWindowTest {
protected:
    hostile::HostileSlave Slave;
    int Writes = 0;

    void SetUp() override
    {
        SettingsWindowTest::SetUp();
        ASSERT_NE(Slave.Port(), 0);
        Slave.onRequest = [this](hostile::HostileSlave& s, const hostile::Bytes& q) {
            if (q.size() < 12) return;
            if (q[7] == 6) {
                ++Writes;
                s.Send(q);
            } else if (q[7] == 3) {
                const uint8_t n = q[11];
                hostile::Bytes a = {q[0], q[1], 0, 0, 0, uint8_t(3 + 2 * n), q[6], 3, uint8_t(2 * n)};
                a.resize(a.size() + 2 * n, 0);
                s.Send(a);
            }
        };
        CreateWindow();
    }
    void TearDown() override
    {
        TfrmWriteValue::OnShownHook = nullptr;
        SettingsWindowTest::TearDown();
    }
    void Connect(const char* slaveId)
    {
        W->rgModbusMode->SetItemIndex(2);
        W->leIP->setText("127.0.0.1");
        W->lePort->setText(QString::number(Slave.Port()));
        W->leSlaveID->setText(slaveId);
        RunGuarded([this] { W->btnConnectClick(W->btnConnect); });
        ASSERT_TRUE(waitUntil([this] { return W->mdb->Connected(); }, 10000));
        W->mdb->SetTimeout(500);
    }
    // Function 03 from address 1, two rows, and Read.
    void ReadTwo()
    {
        W->cbFunc->setCurrentIndex(2);
        W->leStartAddress->setText("1");
        W->leLength->setText("2");
        W->sgData->SetRowCount(3);
        W->FillAddresses();
        RunGuarded([this] { W->btnReadClick(W->btnRead); });
    }
    // Writes 7 to the register of grid row 1 through the write dialog.
    void WriteRowOne()
    {
        W->sgData->SetCells(1, 1, "UInt16 (Word) AABB");
        TfrmWriteValue::OnShownHook = [](TfrmWriteValue* d) {
            d->edValue->setText("7");
            d->btnOK->click();
            if (d->isVisible()) d->reject();
        };
        W->sgDataDblClick(W->sgData, 2, 1);
    }
};

} // namespace

TEST_F(LinkTest, RemoveEchoOverModbusTcpWritesOnce)
{
    if (!W->actRemoveEcho->isChecked()) W->actRemoveEcho->trigger();
    ASSERT_TRUE(W->mdb->RemoveEcho());
    Connect("1");
    ReadTwo();
    ASSERT_TRUE(waitUntil([this] { return W->FResponses == 1; }));
    WriteRowOne();
    // Written, then read once to show it; nothing else follows.
    ASSERT_TRUE(waitUntil([this] { return W->FPolls >= 3 && W->FResponses + W->FErrors >= W->FPolls; }, 10000));
    spin(1500); // longer than a time-out: a repeated write would come by now
    EXPECT_EQ(Writes, 1);
    EXPECT_EQ(W->FErrors, 0);
    EXPECT_TRUE(Boxes.isEmpty()) << Boxes.join('\n').toStdString();
}

TEST_F(LinkTest, SlaveIdZeroIsNotRead)
{
    Connect("0");
    ReadTwo();
    ASSERT_EQ(Boxes.size(), 1);
    EXPECT_EQ(Boxes[0], "Slave ID 0 is the broadcast address: it can be written to, but not read.");
    EXPECT_TRUE(Slave.requests.empty());
}
