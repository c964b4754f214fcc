// SPDX-License-Identifier: GPL-3.0-or-later
// Poll windows: several polls on one link take turns through the link's
// scheduler, each with its own unit, function, range, interval, grid and
// counters, beside the connection window's own Data panel.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QLockFile>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>

#include "ChartRecorder.h"
#include "GuiSupport.h"
#include "ValueWatch.h"
#include "LabeledEdit.h"
#include "LinkScheduler.h"
#include "PeerProcess.h"
#include "PeerValues.h"
#include "PollWindows.h"
#include "RadioGroup.h"
#include "RegisterTools.h"
#include "StatusBar.h"
#include "StringGrid.h"
#include "VexaModbus.h"
#include "WorkspaceMenu.h"
#include "SimulatorWindow.h"
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

    // With ZORP_SHOTS_DIR set (a run under Xvfb), the connection window
    // and its poll windows side by side into <dir>/polls25-<name>.png.
    static void shoot(QWidget* main, const QList<QWidget*>& others, const char* name)
    {
        const QByteArray dir = qgetenv("ZORP_SHOTS_DIR");
        if (dir.isEmpty()) return;
        QList<QPixmap> shots{main->grab()};
        for (QWidget* o : others) shots.append(o->grab());
        int width = shots[0].width(), height = shots[0].height(), column = 0;
        for (int i = 1; i < shots.size(); ++i) column = std::max(column, shots[i].width());
        int stacked = 0;
        for (int i = 1; i < shots.size(); ++i) stacked += shots[i].height();
        QPixmap all(width + column, std::max(height, stacked));
        all.fill(Qt::darkGray);
        QPainter p(&all);
        p.drawPixmap(0, 0, shots[0]);
        int y = 0;
        for (int i = 1; i < shots.size(); ++i) {
            p.drawPixmap(width, y, shots[i]);
            y += shots[i].height();
        }
        p.end();
        all.save(QString::fromLocal8Bit(dir) + QStringLiteral("/polls25-%1.png").arg(QLatin1String(name)));
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
    polls[0]->GridView.ApplyEdit(1, 1, "SInt32 (Integer, LongInt) AABB CCDD");
    polls[0]->GridView.ApplyEdit(3, 1, "energy");
    polls[1]->GridView.ApplyEdit(1, 2, "Single (Float) AABB CCDD");
    for (TfrmPoll* f : polls) {
        f->resize(640, 260);
        f->show();
        f->cbRealTime->click();
    }
    // Row 1 of the first poll window into the connection window's chart.
    TfrmPoll::GridMenuHook = [](QMenu* m) { return m->actions().value(2); };
    polls[0]->sgData->OnContextPopup(polls[0]->sgData, polls[0]->sgData->CellRect(2, 1).center());
    TfrmPoll::GridMenuHook = nullptr;
    EXPECT_TRUE(polls[1]->windowTitle().contains("COM 7, unit 2, 03 Holding Registers 21-28"))
        << polls[1]->windowTitle().toStdString();
    ASSERT_TRUE(waitUntil([&] { return polls[2]->Poll->Responses >= 4 && w->FResponses >= 4; }, 20000));
    shoot(w.get(), {polls[0], polls[1], polls[2]}, "three-polls");
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
    // The chart's series of that register got a point at each of its
    // poll's answers (the Data panel's answers add no gaps to it).
    ASSERT_EQ(w->ValueWatch->Recorder.Series().size(), 1u);
    const TChartSeries& series = w->ValueWatch->Recorder.Series()[0];
    EXPECT_EQ(series.Key.Unit, 1);
    EXPECT_GE(series.Points.size(), 3);
    const int32_t expected = int32_t(uint32_t(peerHoldingOfUnit(0, 1)) << 16 | peerHoldingOfUnit(1, 1));
    for (int i = 0; i < series.Points.size(); ++i) EXPECT_EQ(series.Points[i].value, double(expected));
    // Each poll keeps the frames of its own transactions: requests to its
    // unit, as the link's log writes them.
    for (int i = 0; i < 3; ++i) {
        int sent = 0;
        for (const TPoll::TFrame& fr : polls[i]->Poll->Frames) {
            if (!fr.Sent) continue;
            ++sent;
            EXPECT_TRUE(fr.Line.contains(QStringLiteral(": [0%1] [03] ").arg(i + 1))) << fr.Line.toStdString();
        }
        EXPECT_EQ(sent, polls[i]->Poll->Polls);
    }
    TfrmPoll::GridMenuHook = [](QMenu* m) { return m->actions().value(4); };
    polls[1]->sgData->OnContextPopup(polls[1]->sgData, QPoint(5, 5));
    TfrmPoll::GridMenuHook = nullptr;
    ASSERT_TRUE(polls[1]->FFramesDialog);
    shoot(polls[1]->FFramesDialog, {}, "frames");
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

TEST_F(PollWindowsTest, TcpLinkAndSerialLinkPolledAtTheSameTime)
{
    startSerialSlave();
    PeerProcess tcp;
    ASSERT_TRUE(tcp.start(peerPython(), {peerScript(QStringLiteral("pymodbus_server.py")), QStringLiteral("tcp"),
                                         QStringLiteral("+1,2,3")},
                          QStringLiteral("PORT")))
        << tcp.errors().toStdString();
    connectSerial(w.get());
    w->findChild<QAction*>("actNewConnection")->trigger();
    ASSERT_EQ(TWorkspaceMenu::ConnectionWindows().size(), 2);
    std::unique_ptr<TfrmModbusMaster> second(TWorkspaceMenu::ConnectionWindows().last());
    EXPECT_FALSE(second->FKeepsSettings);
    connectTcp(second.get(), tcp.port());

    TfrmPoll* serial = openPoll(w.get(), 2, 3, 5, 10, 0);
    TfrmPoll* net = openPoll(second.get(), 3, 3, 5, 10, 0);
    serial->cbRealTime->click();
    net->cbRealTime->click();
    ASSERT_TRUE(waitUntil([&] { return serial->Poll->Responses >= 10 && net->Poll->Responses >= 10; }, 15000));
    serial->cbRealTime->click();
    net->cbRealTime->click();
    ASSERT_TRUE(waitUntil([&] { return !w->Scheduler->Active() && !second->Scheduler->Active(); }));
    expectHolding(serial, 2, 5, 10);
    expectHolding(net, 3, 5, 10);
    // Each link has its own scheduler, log and polls.
    EXPECT_EQ(w->Scheduler->Polls().size(), 1u);
    EXPECT_EQ(second->Scheduler->Polls().size(), 1u);
    EXPECT_NE(w->Scheduler, second->Scheduler);
    EXPECT_TRUE(serial->windowTitle().contains("COM 7")) << serial->windowTitle().toStdString();
    EXPECT_TRUE(net->windowTitle().contains(QStringLiteral("127.0.0.1:%1").arg(tcp.port())));
    second->mdb->Disconnect();
    spin(30);
}

TEST_F(PollWindowsTest, WorkspaceSavedAndTheProgramBuiltAgain)
{
    // The first link: Modbus TCP, its Data panel typed, two poll windows.
    w->rgModbusMode->SetItemIndex(2);
    w->leIP->setText("127.0.0.1");
    w->lePort->setText("1502");
    w->leSlaveID->setText("4");
    w->cbFunc->setCurrentIndex(3);
    w->leStartAddress->setText("10");
    w->leLength->clear();
    QTest::keyClicks(w->leLength, "6");
    w->sgData->SetCells(1, 1, "Single (Float) AABB CCDD");
    w->sgData->SetCells(3, 1, "flow");
    w->MarkContinuationRows();
    TfrmPoll* p1 = openPoll(w.get(), 1, 1, 100, 16, 250);
    TfrmPoll* p2 = openPoll(w.get(), 7, 3, 40001, 20, 0);
    for (TfrmPoll* f : {p1, p2}) f->ApplyFields();
    p2->GridView.ApplyEdit(1, 3, "SInt32 (Integer, LongInt) AABB CCDD");
    p2->GridView.ApplyEdit(3, 3, "total, \"kWh\"");
    p2->GridView.ApplyEdit(3, 20, "last");
    p1->setGeometry(40, 50, 610, 300);
    p2->setGeometry(660, 50, 620, 380);
    // A second link: a serial line with one poll window.
    w->findChild<QAction*>("actNewConnection")->trigger();
    TfrmModbusMaster* second = TWorkspaceMenu::ConnectionWindows().last();
    second->rgModbusMode->SetItemIndex(0);
    second->leCOM->setText("3");
    second->leSpeed->setText("19200");
    second->leParity->setText("E");
    openPoll(second, 9, 4, 1, 3, 500)->ApplyFields();
    // Each connection window writes addresses in a notation of its own.
    const zorp::TAddressNotation modicon{zorp::TAddressBase::Modicon, false}, wireHex{zorp::TAddressBase::Wire, true};
    RunGuarded([&] {
        w->RegisterTools->SetNotation(modicon);
        second->RegisterTools->SetNotation(wireHex);
    });
    // A simulator window beside them, set up but not listening.
    w->findChild<QAction*>("actNewSimulator")->trigger();
    auto* sim = w->findChild<TfrmSimulator*>();
    ASSERT_TRUE(sim);
    sim->leWhere->setText("15999");
    sim->leUnits->setText("2,5-6");

    const zorp::TWorkspace before = TWorkspaceMenu::Collect();
    ASSERT_EQ(before.Simulators.size(), 1);
    ASSERT_EQ(before.Links.size(), 2);
    ASSERT_EQ(before.Links[0].Polls.size(), 2);
    const QString file = configDir.filePath("bench.zws");
    TWorkspaceMenu::AskFileHook = [file](bool) { return file; };
    w->findChild<QAction*>("actSaveWorkspace")->trigger();

    // The program built again: the windows come back from the file.
    delete second;
    w->close();
    w.reset();
    createWindow();
    ASSERT_EQ(TWorkspaceMenu::ConnectionWindows().size(), 1);
    RunGuarded([&] { w->RegisterTools->SetNotation({}); });
    w->findChild<QAction*>("actOpenWorkspace")->trigger();
    TWorkspaceMenu::AskFileHook = nullptr;
    ASSERT_TRUE(boxes.isEmpty()) << boxes.front().Text.toStdString();
    const zorp::TWorkspace after = TWorkspaceMenu::Collect();
    ASSERT_EQ(after.Links.size(), 2);
    EXPECT_EQ(after.Links[1].Polls, before.Links[1].Polls);
    EXPECT_EQ(after.Links[0].Polls, before.Links[0].Polls);
    EXPECT_EQ(after.Links[0].Panel, before.Links[0].Panel);
    EXPECT_EQ(after.Links[1].Mode, "serial");
    EXPECT_EQ(after.Links[1].Parity, "E");
    EXPECT_EQ(after.Links, before.Links);
    ASSERT_EQ(after.Simulators.size(), 1);
    auto* simBack = w->findChild<TfrmSimulator*>();
    ASSERT_TRUE(simBack);
    EXPECT_EQ(simBack->leUnits->text(), "2,5-6");
    EXPECT_EQ(simBack->leWhere->text(), "15999");
    TfrmPoll* back = w->PollWindows->Windows().value(1);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->sgData->Cells(3, 3), "total, \"kWh\"");
    EXPECT_EQ(back->sgData->Cells(1, 4), "---");
    EXPECT_EQ(back->geometry(), QRect(660, 50, 620, 380));
    EXPECT_EQ(w->FOptions.Addresses, modicon);
    EXPECT_EQ(TWorkspaceMenu::ConnectionWindows().last()->FOptions.Addresses, wireHex);
    EXPECT_EQ(back->leStartAddress->text(), "440001");
    EXPECT_EQ(back->sgData->Cells(0, 2), "440002");
    EXPECT_EQ(w->sgData->Cells(1, 2), "---");
    EXPECT_EQ(w->sgData->RowCount(), 7);
    delete TWorkspaceMenu::ConnectionWindows().last();

    // A file that is no workspace is refused with the reason.
    QFile bad(configDir.filePath("bad.zws"));
    ASSERT_TRUE(bad.open(QIODevice::WriteOnly));
    bad.write(R"({"format": "zorp-workspace", "version": 1, "links": [{"polls": [{"length": 300}]}]})");
    bad.close();
    TWorkspaceMenu::AskFileHook = [&](bool) { return bad.fileName(); };
    w->findChild<QAction*>("actOpenWorkspace")->trigger();
    TWorkspaceMenu::AskFileHook = nullptr;
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_TRUE(boxes[0].Text.contains("\"length\" must be a whole number from 1 to 255")) << boxes[0].Text.toStdString();
    EXPECT_EQ(w->PollWindows->Windows().size(), 2);
}

// Opened without a link, Real time is kept when saved and starts on Connect, unless the user changed the box.
TEST_F(PollWindowsTest, WorkspaceRealTimeWaitsForTheLink)
{
    GuiTcpSlave slave(false);
    ASSERT_TRUE(slave.ok());
    zorp::TWorkspaceLink link;
    link.Port = slave.port();
    link.Panel.RealTime = true;
    zorp::TWorkspacePoll poll;
    poll.Length = 4;
    poll.IntervalMs = 50;
    for (bool realTime : {true, false, true}) {
        poll.RealTime = realTime;
        link.Polls.append(poll);
    }
    const QString file = configDir.filePath("rt.zws");
    QFile out(file);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly) && out.write(zorp::WorkspaceToJson({{link}, {}})) > 0);
    out.close();
    TWorkspaceMenu::AskFileHook = [file](bool) { return file; };
    // Saved through File > "Save workspace as...": the panel's and each poll's Real time.
    auto saved = [&] {
        w->findChild<QAction*>("actSaveWorkspace")->trigger();
        QFile in(file);
        zorp::TWorkspace back;
        QString error;
        EXPECT_TRUE(in.open(QIODevice::ReadOnly) && zorp::WorkspaceFromJson(in.readAll(), back, error)) << error.toStdString();
        QList<bool> flags{back.Links.value(0).Panel.RealTime};
        for (const zorp::TWorkspacePoll& p : back.Links.value(0).Polls) flags.append(p.RealTime);
        return flags;
    };

    w->findChild<QAction*>("actOpenWorkspace")->trigger();
    const QList<TfrmPoll*> polls = w->PollWindows->Windows();
    ASSERT_EQ(polls.size(), 3);
    for (TfrmPoll* f : polls) EXPECT_FALSE(f->cbRealTime->isChecked());
    EXPECT_EQ(polls[0]->cbRealTime->toolTip(), "Real time starts when the link is connected");
    EXPECT_EQ(saved(), (QList<bool>{true, true, false, true}));
    // The user turns the third poll's Real time on and off again.
    polls[2]->cbRealTime->click();
    polls[2]->cbRealTime->click();
    EXPECT_EQ(saved(), (QList<bool>{true, true, false, false}));

    // The second poll's Real time is ticked while there is no link: it reads once there is one.
    polls[1]->cbRealTime->click();
    w->btnConnect->click();
    ASSERT_TRUE(waitUntil([&] {
        return polls[0]->cbRealTime->isChecked() && polls[0]->Poll->Responses >= 3 && polls[1]->Poll->Responses >= 3;
    }));
    shoot(w.get(), {polls[0], polls[2]}, "workspace-realtime");
    EXPECT_FALSE(polls[2]->cbRealTime->isChecked());
    EXPECT_EQ(polls[2]->Poll->Polls, 0);
    // The Data panel's box is left as it was; the file keeps its Real time.
    EXPECT_FALSE(w->cbRealTime->isChecked());
    EXPECT_EQ(saved(), (QList<bool>{true, true, true, false}));
    EXPECT_TRUE(polls[0]->cbRealTime->toolTip().isEmpty());
    TWorkspaceMenu::AskFileHook = nullptr;
    EXPECT_TRUE(boxes.isEmpty());
}

TEST_F(PollWindowsTest, ASecondProgramOnTheSameSettingsStoresNothing)
{
    // Another program holds the settings folder's lock.
    QTemporaryDir other;
    QLockFile held(other.filePath("setings.ini.lock"));
    ASSERT_TRUE(held.tryLock(0));
    qputenv("ZORP_CONFIG_DIR", other.path().toLocal8Bit());
    auto second = std::make_unique<TfrmModbusMaster>();
    second->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(second.get()));
    EXPECT_EQ(second->sBar->PanelText(4), "Settings not stored");
    second->leIP->setText("10.1.2.3");
    second->close();
    second.reset();
    EXPECT_FALSE(QFile::exists(other.filePath("setings.ini")));
    qputenv("ZORP_CONFIG_DIR", configDir.path().toLocal8Bit());
    // The first program stores as designed.
    w->close();
    EXPECT_TRUE(QFile::exists(configDir.filePath("setings.ini")));
}

} // namespace
