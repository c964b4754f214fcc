// SPDX-License-Identifier: GPL-3.0-or-later
// Keeping the window cheap while it changes fast: repaints paced to one per
// frame without losing a change, and a full log that still follows its end
// (or keeps a scrolled-back view in place) as its oldest lines go.
#include <QApplication>
#include <QElapsedTimer>
#include <QPainter>
#include <QScrollBar>
#include <QWidget>
#include <gtest/gtest.h>

#include "CommLog.h"
#include "PaintPacer.h"
#include "TestSupport.h"

using zorptest::spin;
using zorptest::waitUntil;

namespace {

// A window that counts its paints and shows one number.
class Counter : public QWidget {
public:
    int paints = 0;
    int value = 0;
    int painted = -1; // the value the last paint showed

protected:
    void paintEvent(QPaintEvent*) override
    {
        ++paints;
        painted = value;
        QPainter p(this);
        p.drawText(rect(), Qt::AlignCenter, QString::number(value));
    }
};

} // namespace

TEST(PaintPacer, ABurstOfChangesIsPaintedOncePerFrameAndTheLastOneShows)
{
    Counter w;
    w.resize(100, 40);
    auto* pacer = new TPaintPacer(&w, 40);
    w.show();
    ASSERT_TRUE(waitUntil([&] { return w.paints > 0; }));
    spin(60);

    // A single change after a quiet spell is painted at once.
    const int before = w.paints;
    w.value = 1;
    w.update();
    QApplication::processEvents();
    EXPECT_EQ(w.paints, before + 1);
    EXPECT_EQ(w.painted, 1);

    // Changes far faster than the frame: a few paints, not one each, and
    // the last state reaches the screen within a frame.
    const int start = w.paints;
    QElapsedTimer t;
    t.start();
    int changes = 0;
    while (t.elapsed() < 200) {
        w.value = ++changes + 1;
        w.update();
        QApplication::processEvents();
    }
    const int last = w.value;
    ASSERT_TRUE(waitUntil([&] { return w.painted == last; }, 1000));
    const int paints = w.paints - start;
    EXPECT_GT(changes, 50);
    EXPECT_LE(paints, 200 / 40 + 3);
    EXPECT_GE(paints, 2);
    EXPECT_GT(pacer->Held(), 0);
}

TEST(CommLogCapacity, AFullLogFollowsItsEndOrKeepsAScrolledBackView)
{
    TCommLog log;
    log.resize(400, 120);
    log.SetMaxLines(50);
    log.show();
    QScrollBar* bar = log.findChild<QScrollBar*>();
    ASSERT_NE(bar, nullptr);
    // No OnChange handler: the control itself keeps following the end.
    for (int i = 0; i < 200; ++i) log.AppendLine(QStringLiteral("line %1").arg(i), Qt::blue);
    EXPECT_EQ(log.LineCount(), 50);
    EXPECT_EQ(log.LineText(49), QStringLiteral("line 199"));
    EXPECT_TRUE(log.AtEnd());
    EXPECT_EQ(bar->value(), bar->maximum());

    // Scrolled back, the lines in view stay in view while the oldest go.
    bar->setValue(20);
    const int firstShown = 20 + (200 - 50); // the line number at the top
    for (int i = 200; i < 210; ++i) log.AppendLine(QStringLiteral("line %1").arg(i), Qt::blue);
    EXPECT_FALSE(log.AtEnd());
    EXPECT_EQ(log.LineText(bar->value()), QStringLiteral("line %1").arg(firstShown));
}
