// SPDX-License-Identifier: GPL-3.0-or-later
// The simulator window: opened from File, serving a master over Modbus TCP
// with a generator running, a master's write highlighted and logged, a value
// typed in and read by the master, and its state saved and restored; and
// started on a serial line, polled and written by the engine as master.
// With ZORP_SHOT_DIR set it leaves a picture of itself there.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QJsonArray>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>

#include "CommPort.h"
#include "SimulatorWindow.h"
#include "SlaveSupport.h"
#include "TestSupport.h"
#include "TimedLine.h"
#include "VexaModbus.h"
#include "uMaster.h"

using slavetest::Hex;
using slavetest::ToHex;

TEST(SimulatorWindow, ServesAMasterWithGeneratorsAndHighlightsItsWrites)
{
    TfrmModbusMaster master;
    QAction* open = master.findChild<QAction*>(QStringLiteral("actNewSimulator"));
    ASSERT_NE(open, nullptr);
    open->trigger();
    auto* sim = master.findChild<TfrmSimulator*>();
    ASSERT_NE(sim, nullptr);
    sim->leWhere->setText(QStringLiteral("0"));
    sim->leUnits->setText(QStringLiteral("1,2"));
    ASSERT_TRUE(sim->AddGenerator(QStringLiteral("0=sawtooth,period=5,min=0,max=1000,unit=1")));
    EXPECT_FALSE(sim->AddGenerator(QStringLiteral("0=wobble")));
    ASSERT_TRUE(sim->Start());
    ASSERT_TRUE(zorptest::waitUntil([&] { return sim->ListeningPort() != 0; }, 5000));

    // A value typed into the grid (a Single over registers 10-11) is what
    // the master reads.
    const QJsonObject types{{"holding:10", "f32"}};
    QJsonObject state = sim->saveState();
    state.insert(QStringLiteral("types"), types);
    sim->restoreState(state);
    sim->sgImage->item(10, 2)->setText(QStringLiteral("21.5"));
    slavetest::RawClient c;
    ASSERT_TRUE(c.Connect(sim->ListeningPort()));
    c.Write(Hex("00 01 00 00 00 06 01 03 00 0A 00 02"));
    EXPECT_EQ(ToHex(c.Read(13)), "00 01 00 00 00 07 01 03 04 41 AC 00 00");
    c.Write(Hex("00 02 00 00 00 06 01 06 00 05 04 D2"));
    EXPECT_EQ(c.Read(12).size(), 12);
    // Unit 2 keeps an image of its own.
    c.Write(Hex("00 03 00 00 00 06 02 03 00 05 00 01"));
    EXPECT_EQ(ToHex(c.Read(11)), "00 03 00 00 00 05 02 03 02 00 00");
    sim->RefreshGrid();
    EXPECT_EQ(sim->sgImage->item(5, 2)->text(), "1234");
    EXPECT_NE(sim->sgImage->item(5, 2)->background().color(), sim->sgImage->item(4, 2)->background().color());
    EXPECT_TRUE(sim->reLog->toPlainText().contains("unit 1: fc 6 wrote holding 5..5"));
    // The generator moves register 0.
    const QString first = sim->sgImage->item(0, 2)->text();
    EXPECT_TRUE(zorptest::waitUntil([&] { return sim->sgImage->item(0, 2)->text() != first; }, 3000));

    const QString dir = qEnvironmentVariable("ZORP_SHOT_DIR");
    if (!dir.isEmpty())
        sim->grab().save(dir + QStringLiteral("/sim27-simulator.png"));

    // Saved and restored into a new window.
    state = sim->saveState();
    TfrmSimulator copy;
    copy.restoreState(state);
    EXPECT_EQ(copy.leUnits->text(), "1,2");
    EXPECT_EQ(copy.Sim().Generators.size(), 1u);
    EXPECT_EQ(copy.saveState()["types"].toObject(), types);
    // Each log line once: a restore tells what changed, in the window
    // restored over itself as in a new one; another set-up replaces the
    // generators running.
    for (const TfrmSimulator* w : {const_cast<const TfrmSimulator*>(sim), static_cast<const TfrmSimulator*>(&copy)})
        EXPECT_EQ(w->reLog->toPlainText().count("generator 0=sawtooth"), 1) << w->reLog->toPlainText().toStdString();
    state.insert(QStringLiteral("generators"), QJsonArray{QStringLiteral("3=counter")});
    copy.restoreState(state);
    const QStringList lines = copy.reLog->toPlainText().split('\n');
    ASSERT_GE(lines.size(), 2);
    EXPECT_TRUE(lines[lines.size() - 2].endsWith(" generators removed"));
    EXPECT_TRUE(lines.back().endsWith(" generator 3=counter"));
    EXPECT_EQ(copy.Sim().Generators.size(), 1u);
    sim->Stop();
}

// Started from its Start button on a serial line (the far end of a virtual
// line between two pseudo-terminals), the window answers the engine polling
// at the near end: a generated value is read, and the register the master
// writes is highlighted.
TEST(SimulatorWindow, SerialStartServesTheEngineAsMaster)
{
    zorptest::TimedLine line(zorptest::LineFormat{});
    ASSERT_TRUE(line.ok());
    line.start();
    TfrmSimulator sim;
    sim.cbLink->setCurrentIndex(2);
    sim.leWhere->setText(QString::fromStdString(line.farDevicePath()));
    sim.leUnits->setText(QStringLiteral("3"));
    // Square: max for the first half of its period, i.e. for the whole test.
    ASSERT_TRUE(sim.AddGenerator(QStringLiteral("2=square,period=100000,min=1,max=777")));
    QTest::mouseClick(sim.btnStart, Qt::LeftButton);
    ASSERT_TRUE(sim.Listening());
    EXPECT_EQ(sim.btnStart->text(), "Stop");

    QObject owner;
    auto* master = new TVexaModbus(&owner);
    master->SetInterfaceType(mbiRS485);
    master->SetProtocol(mbpRTU);
    master->SetDeviceID(3);
    master->SetTimeout(1000);
    master->CommPort()->SetDevicePathOverride(QString::fromStdString(line.devicePath()));
    std::vector<uint8_t> read;
    int wrote = 0, errors = 0;
    master->OnReadHoldingRegs = [&](QObject*, uint8_t, uint16_t, uint16_t, const std::vector<uint8_t>& d) { read = d; };
    master->OnWriteSingleReg = [&](QObject*) { ++wrote; };
    master->OnError = [&](QObject*, int32_t) { ++errors; };
    master->Connect();
    ASSERT_TRUE(zorptest::waitUntil([&] { return master->Connected(); }, 5000));

    master->ReadHoldingRegs(1, 4); // wire 0..3: the generator's register is wire 2
    ASSERT_TRUE(zorptest::waitUntil([&] { return !read.empty() || errors > 0; }, 10000));
    EXPECT_EQ(ToHex(QByteArray(reinterpret_cast<const char*>(read.data()), qsizetype(read.size()))),
              "00 00 00 00 03 09 00 00");
    master->WriteSingleReg(6, 0x04D2); // wire 5
    ASSERT_TRUE(zorptest::waitUntil([&] { return wrote > 0 || errors > 1; }, 10000));
    EXPECT_EQ(errors, 0);

    sim.RefreshGrid();
    EXPECT_EQ(sim.sgImage->item(2, 2)->text(), "777");
    EXPECT_EQ(sim.sgImage->item(5, 2)->text(), "1234");
    EXPECT_NE(sim.sgImage->item(5, 2)->background().color(), sim.sgImage->item(4, 2)->background().color());
    EXPECT_TRUE(sim.reLog->toPlainText().contains("unit 3: fc 6 wrote holding 5..5"));

    master->Disconnect();
    QTest::mouseClick(sim.btnStart, Qt::LeftButton);
    EXPECT_FALSE(sim.Listening());
    line.stop();
}
