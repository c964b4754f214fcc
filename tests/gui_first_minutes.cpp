// SPDX-License-Identifier: GPL-3.0-or-later
// A newcomer's first minutes, as the README walks through them: the tester
// against the real zorp-slave demonstration image on 127.0.0.1, function 03,
// a row given a type and a description, the layout saved as a profile.
// With ZORP_WINDOW_SCREENSHOT set, the window is saved there (the README's
// picture).
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <gtest/gtest.h>

#include "FormStorage.h"
#include "GridTestSupport.h"
#include "GuiSupport.h"
#include "LabeledEdit.h"
#include "RadioGroup.h"
#include "StatusBar.h"
#include "StringGrid.h"
#include "TestSupport.h"
#include "uMaster.h"

using namespace zorptest;

namespace {

class FirstMinutes : public GuiWindowTest {
protected:
    void TearDown() override
    {
        zorp::SetSaveDialogHook(nullptr);
        GuiWindowTest::TearDown();
        if (slave.state() != QProcess::NotRunning) {
            slave.terminate();
            if (!slave.waitForFinished(5000))
                slave.kill();
            slave.waitForFinished(5000);
        }
    }
    // Starts the demo slave on a free port of 127.0.0.1; returns the port.
    uint16_t startDemoSlave()
    {
        slave.setProgram(QDir(QStringLiteral(ZORP_BINARY_DIR)).filePath(QStringLiteral("zorp-slave")));
        slave.setArguments({QStringLiteral("--tcp"), QStringLiteral("0"), QStringLiteral("--bind"),
                            QStringLiteral("127.0.0.1")});
        slave.start();
        if (!slave.waitForStarted(10000))
            return 0;
        QByteArray out;
        const QRegularExpression re(QStringLiteral("listening on tcp 127\\.0\\.0\\.1:(\\d+)"));
        QRegularExpressionMatch m;
        waitUntil([&] {
            slave.waitForReadyRead(50);
            out += slave.readAllStandardOutput();
            m = re.match(QString::fromUtf8(out));
            return m.hasMatch();
        }, 10000);
        return m.hasMatch() ? uint16_t(m.captured(1).toUInt()) : 0;
    }
    QProcess slave;
};

TEST_F(FirstMinutes, ConnectReadTypeAndSaveAProfile)
{
    const uint16_t port = startDemoSlave();
    ASSERT_NE(port, 0) << "zorp-slave did not start";

    w->rgModbusMode->SetItemIndex(2); // TCP
    w->leIP->setText(QStringLiteral("127.0.0.1"));
    w->lePort->setText(QString::number(port));
    QTest::mouseClick(w->btnConnect, Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return !w->btnConnect->isEnabled(); }, 10000));
    EXPECT_EQ(w->sBar->PanelText(0), QStringLiteral("Connected to: 127.0.0.1:%1").arg(port));

    w->cbFunc->setCurrentIndex(2); // 03 Read Holding Registers
    w->leStartAddress->setText(QStringLiteral("1"));
    // Typed, as a user does: the grid takes the new length at each key.
    w->leLength->setFocus();
    w->leLength->clear();
    QTest::keyClicks(w->leLength, QStringLiteral("18"));
    ASSERT_EQ(w->sgData->RowCount(), 19);
    // Rows 5-6 hold a 32-bit float around 230 (high word first), rows 11-18
    // the text "Demo slave".
    w->sgData->SetCells(gcType, 5, QStringLiteral("Single (Float) DDCC BBAA"));
    w->sgData->SetCells(gcDesc, 5, QStringLiteral("Voltage L1 [V]"));
    w->sgData->SetCells(gcDesc, 1, QStringLiteral("Seconds"));
    for (int r = 11; r <= 15; ++r)
        w->sgData->SetCells(gcType, r, QStringLiteral("ASCII"));
    w->MarkContinuationRows();
    QTest::mouseClick(w->btnRead, Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return w->FResponses >= 1; }, 10000));
    EXPECT_EQ(w->FErrors, 0);
    EXPECT_EQ(w->sgData->Cells(gcType, 6), QStringLiteral("---"));
    bool ok = false;
    const double volts = w->sgData->Cells(gcValue, 5).toDouble(&ok);
    EXPECT_TRUE(ok && volts > 200.0 && volts < 260.0) << w->sgData->Cells(gcValue, 5).toStdString();
    EXPECT_EQ(w->sgData->Cells(gcValue, 11), QStringLiteral("D e"));
    EXPECT_EQ(w->sgData->Cells(gcValue, 12), QStringLiteral("m o"));

    const QString shot = qEnvironmentVariable("ZORP_WINDOW_SCREENSHOT");
    if (!shot.isEmpty()) {
        QApplication::processEvents();
        EXPECT_TRUE(w->grab().save(shot));
    }

    zorp::SetSaveDialogHook([](QFileDialog*) { return QStringLiteral("demo"); });
    QTest::mouseClick(w->btnSaveSettings, Qt::LeftButton);
    const QString profile = zorp::ProfilesFolder() + QStringLiteral("/demo.zvst");
    ASSERT_TRUE(QFile::exists(profile));
    QFile f(profile);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray text = f.readAll();
    EXPECT_TRUE(text.contains("Single (Float) DDCC BBAA")) << text.toStdString();
    EXPECT_TRUE(text.contains("Voltage L1 [V]"));
    EXPECT_GE(w->cbSettings->findText(QStringLiteral("demo.zvst")), 0);
    w->btnDisconnectClick(nullptr);
}

} // namespace
