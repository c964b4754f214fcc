// SPDX-License-Identifier: GPL-3.0-or-later
// The window from the keyboard and on small screens: shortcuts for Connect,
// Disconnect, Read and Real time; the grid's Data Type and Description
// editors opened with Enter or F2; the window on a screen smaller than its
// smallest size.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QMenu>
#include <QMenuBar>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <gtest/gtest.h>

#include "GridTestSupport.h"
#include "GuiSupport.h"
#include "LabeledEdit.h"
#include "RadioGroup.h"
#include "StringGrid.h"
#include "uData.h"

using namespace zorptest;

TEST_F(GuiWindowTest, ShortcutsConnectReadToggleRealTimeAndDisconnect)
{
    // Each shortcut is shown in the menu and in the button's tooltip.
    const struct {
        QAction* Action;
        QWidget* Control;
        const char* Key;
    } entries[] = {{w->actConnect, w->btnConnect, "F9"},
                   {w->actDisconnect, w->btnDisconnect, "Shift+F9"},
                   {w->actRead, w->btnRead, "F5"},
                   {w->actRealTime, w->cbRealTime, "Ctrl+R"}};
    for (const auto& e : entries) {
        EXPECT_EQ(e.Action->shortcut().toString(), e.Key);
        EXPECT_TRUE(w->mnuFile->actions().contains(e.Action));
        EXPECT_TRUE(e.Control->toolTip().contains(QLatin1String(e.Key))) << e.Control->toolTip().toStdString();
    }

    GuiTcpSlave slave(false);
    w->rgModbusMode->SetItemIndex(2);
    w->leIP->setText("127.0.0.1");
    w->lePort->setText(QString::number(slave.port()));
    w->leIP->setFocus();
    QTest::keyClick(w->leIP, Qt::Key_F9);
    ASSERT_TRUE(waitUntil([&] { return !w->btnConnect->isEnabled(); }));

    // F5 in the Length field: the field's exit rule runs first, as a click on Read does.
    w->leLength->setFocus();
    w->leLength->setText("250");
    QTest::keyClick(w->leLength, Qt::Key_F5);
    EXPECT_EQ(w->leLength->text(), "100");
    ASSERT_TRUE(waitUntil([&] { return w->FResponses == 1; }));
    EXPECT_EQ(w->FPolls, 1);

    QTest::keyClick(w->leLength, Qt::Key_R, Qt::ControlModifier);
    EXPECT_TRUE(w->cbRealTime->isChecked());
    EXPECT_TRUE(w->actRealTime->isChecked());
    QTest::keyClick(w->leLength, Qt::Key_R, Qt::ControlModifier);
    EXPECT_FALSE(w->cbRealTime->isChecked());
    w->cbRealTime->setChecked(true);
    EXPECT_TRUE(w->actRealTime->isChecked());
    w->cbRealTime->setChecked(false);

    QTest::keyClick(w->leLength, Qt::Key_F9, Qt::ShiftModifier);
    ASSERT_TRUE(waitUntil([&] { return w->btnConnect->isEnabled(); }));
    // Read while not connected does nothing, from the keyboard too.
    QTest::keyClick(w->leLength, Qt::Key_F5);
    EXPECT_EQ(w->FPolls, 1);
    EXPECT_TRUE(boxes.isEmpty());
}

TEST_F(GuiWindowTest, EnterOrF2OnAGridCellOpensItsEditor)
{
    w->leLength->setText("2");
    int k = Qt::Key_unknown;
    w->leLengthKeyUp(w->leLength, k, {});
    TStringGrid& g = *w->sgData;
    g.setFocus();
    const struct {
        int Col, Row, Key;
        const char* Text;
    } cases[] = {{1, 1, Qt::Key_F2, "BIT"}, {3, 2, Qt::Key_Return, "Flow"}, {3, 1, Qt::Key_Enter, "Pump"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Text);
        g.SetSelection(c.Col, c.Row, c.Col, c.Row);
        const QString text = QString::fromLatin1(c.Text);
        DataEditorDriver d([text](TfrmDataEditor* dlg) {
            if (!dlg->gbDataType->isHidden()) {
                dlg->cbDataType->setCurrentIndex(dlg->cbDataType->findText(text));
                QTest::keyClick(dlg->cbDataType, Qt::Key_Return);
            } else {
                dlg->edDescription->setText(text);
                QTest::keyClick(dlg->edDescription, Qt::Key_Return);
            }
        });
        QTest::keyClick(&g, Qt::Key(c.Key));
        EXPECT_EQ(d.Shown, 1);
        EXPECT_EQ(g.Cells(c.Col, c.Row), text);
    }
    // Other columns and keys keep their meaning: no editor, the arrows move.
    DataEditorDriver none;
    g.SetSelection(2, 1, 2, 1);
    QTest::keyClick(&g, Qt::Key_F2);
    QTest::keyClick(&g, Qt::Key_Right);
    EXPECT_EQ(none.Shown, 0);
    EXPECT_EQ(g.Selection(), QRect(QPoint(3, 1), QPoint(3, 1)));
}

// A screen of 1600 x 1000 pixels at scale factor 2 is one of 800 x 500 for
// the window: smaller than the window at its smallest. The check runs in a
// process of its own with that screen.
TEST(SmallScreen, TheWindowOpensWhollyOnTheScreenAndItsClientAreaScrolls)
{
    if (!qEnvironmentVariableIsSet("ZORP_SMALL_SCREEN_CHILD")) {
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        const QString config = dir.filePath("screens.json");
        QFile f(config);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(R"({"screens": [{"name": "small", "x": 0, "y": 0, "width": 1600, "height": 1000,
                    "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]})");
        f.close();
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("ZORP_SMALL_SCREEN_CHILD", "1");
        env.insert("QT_QPA_PLATFORM", "offscreen:configfile=" + config);
        env.insert("QT_SCALE_FACTOR", "2");
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(QCoreApplication::applicationFilePath(),
                    {"--gtest_filter=SmallScreen.TheWindowOpensWhollyOnTheScreenAndItsClientAreaScrolls"});
        ASSERT_TRUE(child.waitForFinished(60000));
        const QString out = QString::fromLocal8Bit(child.readAll());
        EXPECT_EQ(child.exitCode(), 0) << out.toStdString();
        EXPECT_TRUE(out.contains("[  PASSED  ] 1 test")) << out.toStdString();
        return;
    }
    QTemporaryDir dir;
    qputenv("ZORP_CONFIG_DIR", dir.path().toLocal8Bit());
    TfrmSplash::SetDuration(20);
    const QRect avail = QGuiApplication::primaryScreen()->availableGeometry();
    ASSERT_EQ(avail.size(), QSize(800, 500));
    TfrmModbusMaster w;
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    EXPECT_TRUE(avail.contains(w.frameGeometry())) << w.frameGeometry().x() << "," << w.frameGeometry().y() << " "
                                                   << w.frameGeometry().width() << "x" << w.frameGeometry().height();
    EXPECT_TRUE(avail.contains(w.MainMenu->mapToGlobal(QPoint(0, 0))));
    ASSERT_NE(w.ClientScroll, nullptr);
    EXPECT_EQ(w.Client->parentWidget(), w.ClientScroll->viewport());
    // The controls keep their designed places inside the client area, which
    // scrolls to show what does not fit.
    EXPECT_EQ(w.btnConnect->geometry(), QRect(678, 22, 75, 25));
    EXPECT_GT(w.ClientScroll->verticalScrollBar()->maximum(), 0);
    EXPECT_GE(w.Client->height(), w.MinimumClientSize().height());
    if (qEnvironmentVariableIsSet("ZORP_SHOTS_DIR"))
        w.grab().save(qEnvironmentVariable("ZORP_SHOTS_DIR") + "/small_screen_window.png");
    // A larger window gives the client area the room.
    w.resize(780, 480);
    QCoreApplication::processEvents();
    EXPECT_EQ(w.sgData->width(), 795 + w.Client->width() - 922);
    w.close();
}
