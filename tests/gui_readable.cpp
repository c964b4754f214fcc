// SPDX-License-Identifier: GPL-3.0-or-later
// Colours on any desktop: a dark desktop palette leaves the designed colours
// of the windows as they are (texts included), every text reads on its
// background, and the dark variant is dark and readable as well.
#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QTest>
#include <gtest/gtest.h>

#include "ChartRecorder.h"
#include "ChartWindow.h"
#include "CommLog.h"
#include "DesignTheme.h"
#include "GridTestSupport.h"
#include "GuiSupport.h"
#include "uData.h"
#include "LabeledEdit.h"
#include "StatusBar.h"
#include "StringGrid.h"
#include "VexaModbus.h"
#include "qcustomplot.h"

using namespace zorptest;

namespace {

// A dark desktop theme: light texts on dark backgrounds, everywhere.
QPalette darkDesktop()
{
    QPalette p(QColor(53, 53, 53), QColor(40, 40, 40));
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText, QPalette::ToolTipText})
        p.setColor(role, QColor(245, 245, 245));
    p.setColor(QPalette::Base, QColor(25, 25, 25));
    return p;
}

class ReadableTest : public GuiWindowTest {
protected:
    void SetUp() override
    {
        FSaved = QApplication::palette();
        QApplication::setPalette(darkDesktop());
        GuiWindowTest::SetUp();
    }
    void TearDown() override
    {
        GuiWindowTest::TearDown();
        DesignTheme::SetDark(false);
        QApplication::setPalette(FSaved);
    }
    QPalette FSaved;
};

// The text and background roles a widget draws its text with.
struct TextRoles {
    QPalette::ColorRole Fg, Bg;
};
bool rolesOf(QWidget* w, TextRoles& r)
{
    if (qobject_cast<QLineEdit*>(w) || qobject_cast<QComboBox*>(w) || qobject_cast<TStringGrid*>(w) ||
        qobject_cast<TCommLog*>(w))
        r = {QPalette::Text, QPalette::Base};
    else if (qobject_cast<QPushButton*>(w))
        r = {QPalette::ButtonText, QPalette::Button};
    else if (qobject_cast<QLabel*>(w) || qobject_cast<QAbstractButton*>(w) || qobject_cast<QGroupBox*>(w) ||
             qobject_cast<TStatusBar*>(w) || qobject_cast<QMenuBar*>(w))
        r = {QPalette::WindowText, QPalette::Window};
    else
        return false;
    return true;
}

// Every text-bearing widget of window whose text reads worse than 4.5:1.
QStringList poorContrast(QWidget* window, int minChecked = 10)
{
    QStringList poor;
    QList<QWidget*> all = window->findChildren<QWidget*>();
    all.prepend(window);
    int checked = 0;
    for (QWidget* w : all) {
        TextRoles r;
        if (!w->isVisibleTo(window) || !rolesOf(w, r))
            continue;
        ++checked;
        const QPalette p = w->palette();
        for (auto group : {QPalette::Active, QPalette::Inactive}) {
            const double c = DesignTheme::Contrast(p.color(group, r.Fg), p.color(group, r.Bg));
            if (c < 4.5)
                poor << QStringLiteral("%1 (%2): %3").arg(w->objectName(), w->metaObject()->className()).arg(c);
        }
    }
    if (checked < minChecked)
        poor << QStringLiteral("only %1 widgets checked").arg(checked);
    return poor;
}

void saveShot(QWidget* w, const char* name)
{
    if (qEnvironmentVariableIsSet("ZORP_SHOTS_DIR"))
        w->grab().save(qEnvironmentVariable("ZORP_SHOTS_DIR") + QLatin1Char('/') + QLatin1String(name));
}

} // namespace

TEST_F(ReadableTest, DarkDesktopKeepsTheDesignedColoursAndEveryTextReads)
{
    // The designed colours, texts included.
    EXPECT_EQ(w->palette().color(QPalette::Window), QColor(235, 235, 235));
    EXPECT_EQ(w->lblFunc->palette().color(QPalette::WindowText), QColor(Qt::black));
    EXPECT_EQ(w->leIP->palette().color(QPalette::Base), QColor(234, 242, 234));
    EXPECT_EQ(w->leIP->palette().color(QPalette::Text), QColor(Qt::black));
    EXPECT_EQ(w->REComm->palette().color(QPalette::Base), QColor(Qt::white));
    EXPECT_EQ(w->sBar->palette().color(QPalette::WindowText), QColor(Qt::black));
    EXPECT_EQ(poorContrast(w.get()), QStringList());
    // A desktop that turns dark while the window is open changes nothing either.
    QApplication::setPalette(darkDesktop());
    EXPECT_EQ(w->leIP->EditLabel()->palette().color(QPalette::WindowText), QColor(Qt::black));
    EXPECT_EQ(poorContrast(w.get()), QStringList());
    saveShot(w.get(), "window_dark_desktop.png");
    // The data editor, a window of its own.
    {
        QStringList editorPoor;
        DataEditorDriver d([&](TfrmDataEditor* dlg) {
            editorPoor = poorContrast(dlg, 2);
            dlg->reject();
        });
        clickCell(*w->sgData, 1, 1);
        EXPECT_EQ(d.Shown, 1);
        EXPECT_EQ(editorPoor, QStringList());
    }

    // The dark variant: dark backgrounds, readable texts, stored as an option.
    w->actDarkTheme->trigger();
    EXPECT_TRUE(w->FOptions.DarkTheme);
    EXPECT_LT(w->palette().color(QPalette::Window).lightness(), 80);
    EXPECT_LT(w->leIP->palette().color(QPalette::Base).lightness(), 80);
    EXPECT_LT(w->REComm->palette().color(QPalette::Base).lightness(), 80);
    EXPECT_EQ(poorContrast(w.get()), QStringList());
    // The grid's rows and the log's lines are painted dark, their texts light.
    const QColor row = DesignTheme::PaintColor(QColor(Qt::white));
    EXPECT_LT(row.lightness(), 80);
    EXPECT_GE(DesignTheme::Contrast(w->sgData->palette().color(QPalette::Text), row), 4.5);
    for (QColor line : {QColor(255, 0, 0), QColor(0, 0, 255), QColor(160, 0, 160)})
        EXPECT_GE(DesignTheme::Contrast(DesignTheme::TextColor(line, w->REComm->palette().color(QPalette::Base)),
                                        w->REComm->palette().color(QPalette::Base)),
                  4.5);
    const uint8_t b[] = {1, 3, 0, 0, 0, 10};
    w->mdbSendData(w->mdb, b, 6);
    w->mdbReceiveData(w->mdb, b, 6);
    saveShot(w.get(), "window_dark_variant.png");

    // The chart window too.
    TChartRecorder rec;
    TfrmChart chart(rec, w.get()); // as the value watch opens it
    chart.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&chart));
    const QColor plotBg = chart.Plot->grab().toImage().pixelColor(2, 2);
    EXPECT_LT(plotBg.lightness(), 80);
    EXPECT_GE(DesignTheme::Contrast(chart.Plot->xAxis->tickLabelColor(), plotBg), 4.5);
    EXPECT_EQ(poorContrast(&chart, 1), QStringList());
    saveShot(&chart, "chart_dark_variant.png");

    // Off again: the designed colours come back.
    w->actDarkTheme->trigger();
    EXPECT_EQ(w->palette().color(QPalette::Window), QColor(235, 235, 235));
    EXPECT_EQ(w->leIP->palette().color(QPalette::Base), QColor(234, 242, 234));
    EXPECT_EQ(chart.Plot->grab().toImage().pixelColor(2, 2), QColor(Qt::white));
    EXPECT_TRUE(boxes.isEmpty());
}

TEST_F(ReadableTest, TheDarkVariantComesBackAtTheNextStart)
{
    w->actDarkTheme->trigger();
    w->close();
    w.reset();
    DesignTheme::SetDark(false);
    createWindow();
    EXPECT_TRUE(w->actDarkTheme->isChecked());
    EXPECT_LT(w->palette().color(QPalette::Window).lightness(), 80);
    EXPECT_EQ(poorContrast(w.get()), QStringList());
}
