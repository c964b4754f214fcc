// SPDX-License-Identifier: GPL-3.0-or-later
// Poll windows: several polls on one link take turns through the link's
// scheduler, each with its own unit, function, range, interval, grid and
// counters, beside the connection window's own Data panel.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>

#include "GuiSupport.h"
#include "LabeledEdit.h"
#include "LinkScheduler.h"
#include "PeerProcess.h"
#include "PeerValues.h"
#include "PollWindows.h"
#include "RadioGroup.h"
#include "StatusBar.h"
#include "StringGrid.h"
#include "VexaModbus.h"
#include "uPoll.h"
#include "uWriteValue.h"

using namespace zorptest;

namespace {

class PollWindowsTest : public GuiWindowTest {
protected:
    void TearDown() override
    {
        if (w) {
            w->mdb->Disconnect();
            spin(30);
        }
        GuiWindowTest::TearDown();
    }

    // The pymodbus slave with units 1, 2 and 3, each with registers of its
    // own, on one end of a pseudo-terminal pair; COM 7 is the other end.
    void startSerialSlave()
    {
        ASSERT_TRUE(pair.start()) << "socat did not make a pseudo-terminal pair";
        ASSERT_TRUE(peer.start(peerPython(),
                               {peerScript(QStringLiteral("pymodbus_server.py")), QStringLiteral("serial"),
                                pair.second(), QStringLiteral("115200"), QStringLiteral("+1,2,3")},
                               QStringLiteral("READY")))
            << peer.errors().toStdString();
        mapComPort(7, pair.first());
    }
    void connectSerial(TfrmModbusMaster* m)
    {
        m->rgModbusMode->SetItemIndex(0);
        m->leCOM->setText("7");
        m->leSpeed->setText("115200");
        m->leParity->setText("N");
        m->leDataBits->setText("8");
        m->leStopBits->setText("1");
        m->btnConnect->click();
        ASSERT_TRUE(waitUntil([m] { return m->mdb->Connected(); }));
    }
    void connectTcp(TfrmModbusMaster* m, quint16 port)
    {
        m->rgModbusMode->SetItemIndex(2);
        m->leIP->setText("127.0.0.1");
        m->lePort->setText(QString::number(port));
        m->btnConnect->click();
        ASSERT_TRUE(waitUntil([m] { return m->mdb->Connected(); }));
    }
    // Opens a poll window through File > "New poll window" and sets its fields.
    static TfrmPoll* openPoll(TfrmModbusMaster* m, int unit, int func, int start, int length, int interval)
    {
        m->PollWindows->actNewPoll->trigger();
        TfrmPoll* f = m->PollWindows->Windows().last();
        f->leSlaveID->setText(QString::number(unit));
        f->cbFunc->setCurrentIndex(func - 1);
        f->leStartAddress->setText(QString::number(start));
        f->leLength->setText(QString::number(length));
        f->leInterval->setText(QString::number(interval));
        return f;
    }
    // Every row of a 03 poll shows the register its unit holds.
    static void expectHolding(TfrmPoll* f, int unit, int start, int length)
    {
        for (int r = 1; r <= length; ++r)
            EXPECT_EQ(f->sgData->Cells(6, r), QString::number(peerHoldingOfUnit(uint32_t(start + r - 2), unit)))
                << "unit " << unit << " row " << r;
    }

    PeerPtyPair pair;
    PeerProcess peer;
};

TEST_F(PollWindowsTest, ThreeUnitsOnOneRtuLinkEachAtItsOwnInterval)
{
    startSerialSlave();
    connectSerial(w.get());
    // The Data panel polls unit 2's input registers in Real time meanwhile.
    w->leSlaveID->setText("2");
    w->cbFunc->setCurrentIndex(3);
    w->leLength->clear();
    QTest::keyClicks(w->leLength, "5");
    w->cbRealTime->setChecked(true);
    w->btnRead->click();

    TfrmPoll* polls[3] = {openPoll(w.get(), 1, 3, 1, 10, 0), openPoll(w.get(), 2, 3, 21, 8, 20),
                          openPoll(w.get(), 3, 3, 101, 12, 60)};
    for (TfrmPoll* f : polls) {
        f->show();
        f->cbRealTime->click();
    }
    EXPECT_TRUE(polls[1]->windowTitle().contains("COM 7, unit 2, 03 Holding Registers 21-28"))
        << polls[1]->windowTitle().toStdString();
    ASSERT_TRUE(waitUntil([&] { return polls[2]->Poll->Responses >= 4 && w->FResponses >= 4; }, 20000));
    for (TfrmPoll* f : polls) f->cbRealTime->click();
    w->cbRealTime->setChecked(false);
    ASSERT_TRUE(waitUntil([&] { return w->Scheduler->Active() == nullptr && w->FInFlight == TfrmModbusMaster::TInFlight::None; }));

    expectHolding(polls[0], 1, 1, 10);
    expectHolding(polls[1], 2, 21, 8);
    expectHolding(polls[2], 3, 101, 12);
    for (int r = 1; r <= 5; ++r) EXPECT_EQ(w->sgData->Cells(6, r), QString::number(peerInput(uint32_t(r - 1))));
    for (TfrmPoll* f : polls) {
        EXPECT_EQ(f->Poll->Errors, 0) << f->sBar->PanelHint(2).toStdString();
        EXPECT_EQ(f->sBar->PanelText(1), QStringLiteral("Responses: %1").arg(f->Poll->Responses));
    }
    EXPECT_EQ(w->FErrors, 0);
    // The one without an interval read most, the 60 ms one least; the
    // Data panel got its turns too.
    EXPECT_GT(polls[0]->Poll->Responses, polls[2]->Poll->Responses);
    EXPECT_GT(w->FResponses, 3);
    EXPECT_TRUE(boxes.isEmpty());

    // A unit that does not answer: errors in that poll's counters and
    // tooltip only, and its cycle ends; the others go on.
    w->mdb->SetTimeout(150);
    w->mdb->SetMaxRepeat(1);
    polls[2]->leSlaveID->setText("9");
    polls[2]->cbRealTime->click();
    polls[0]->cbRealTime->click();
    ASSERT_TRUE(waitUntil([&] { return polls[2]->Poll->Errors == 1 && !polls[2]->cbRealTime->isChecked(); }, 5000));
    EXPECT_TRUE(polls[2]->sBar->PanelHint(2).contains("error 4")) << polls[2]->sBar->PanelHint(2).toStdString();
    const int before = polls[0]->Poll->Responses;
    ASSERT_TRUE(waitUntil([&] { return polls[0]->Poll->Responses > before + 3; }));
    EXPECT_EQ(polls[0]->Poll->Errors, 0);
    EXPECT_TRUE(polls[0]->cbRealTime->isChecked());
    // Closing a window ends its poll only.
    polls[0]->close();
    ASSERT_TRUE(waitUntil([&] { return w->PollWindows->Windows().size() == 2; }));
    EXPECT_EQ(w->Scheduler->Polls().size(), 2u);
    w->btnRead->click();
    ASSERT_TRUE(waitUntil([&] { return w->FInFlight == TfrmModbusMaster::TInFlight::None; }));
}

TEST_F(PollWindowsTest, WriteFromOnePollWindowLandsWhileTwoOthersPoll)
{
    PeerProcess tcp;
    ASSERT_TRUE(tcp.start(peerPython(), {peerScript(QStringLiteral("pymodbus_server.py")), QStringLiteral("tcp"),
                                         QStringLiteral("+1,2,3")},
                          QStringLiteral("PORT")))
        << tcp.errors().toStdString();
    connectTcp(w.get(), tcp.port());
    TfrmPoll* a = openPoll(w.get(), 1, 3, 1, 10, 0);
    TfrmPoll* b = openPoll(w.get(), 2, 4, 1, 10, 5);
    TfrmPoll* c = openPoll(w.get(), 3, 3, 41, 4, 1000);
    a->cbRealTime->click();
    b->cbRealTime->click();
    c->btnRead->click();
    ASSERT_TRUE(waitUntil([&] { return c->Poll->Responses == 1; }));
    c->sgData->SetCells(1, 2, "SInt16 (SmallInt) AABB");
    c->GridView.MarkContinuationRows();

    // The grid's context menu, "Write value..." on row 2, -1234 typed.
    TfrmWriteValue::OnShownHook = [](TfrmWriteValue* d) {
        d->edValue->setText("-1234");
        d->btnOK->click();
    };
    TfrmPoll::GridMenuHook = [](QMenu* m) {
        for (QAction* act : m->actions())
            if (act->text() == "Write value...") return act;
        return static_cast<QAction*>(nullptr);
    };
    const int aBefore = a->Poll->Responses, bBefore = b->Poll->Responses;
    c->sgData->OnContextPopup(c->sgData, c->sgData->CellRect(2, 2).center());
    TfrmWriteValue::OnShownHook = nullptr;
    TfrmPoll::GridMenuHook = nullptr;
    // The write is answered and a read shows it, while the others go on.
    ASSERT_TRUE(waitUntil([&] { return c->Poll->Responses == 3; }));
    EXPECT_EQ(c->sgData->Cells(2, 2), "-1234");
    EXPECT_EQ(c->sgData->Cells(6, 1), QString::number(peerHoldingOfUnit(40, 3)));
    EXPECT_EQ(c->sgData->Cells(6, 3), QString::number(peerHoldingOfUnit(42, 3)));
    ASSERT_TRUE(waitUntil([&] { return a->Poll->Responses > aBefore + 5 && b->Poll->Responses > bBefore + 5; }));
    a->cbRealTime->click();
    b->cbRealTime->click();
    for (TfrmPoll* f : {a, b, c}) EXPECT_EQ(f->Poll->Errors, 0) << f->sBar->PanelHint(2).toStdString();
    // The other units' registers stayed as they were.
    expectHolding(a, 1, 1, 10);
    EXPECT_TRUE(boxes.isEmpty());
}

} // namespace
