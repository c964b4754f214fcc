// SPDX-License-Identifier: GPL-3.0-or-later
// Keeping the window cheap while it changes fast: repaints paced to one per
// frame without losing a change, and a full log that still follows its end
// (or keeps a scrolled-back view in place) as its oldest lines go.
#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QPainter>
#include <QScrollBar>
#include <QWidget>
#include <functional>
#include <gtest/gtest.h>

#include "CommLog.h"
#include "PaintPacer.h"
#include "StatusBar.h"
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

namespace {

// What a widget is about to paint, noted when its paint event arrives.
class PaintProbe : public QObject {
public:
    std::function<void()> OnPaint;
    int paints = 0;

protected:
    bool eventFilter(QObject*, QEvent* e) override
    {
        if (e->type() == QEvent::Paint) {
            ++paints;
            if (OnPaint) OnPaint();
        }
        return false;
    }
};

} // namespace

TEST(RepaintRequests, EveryBatchOfChangesReachesTheScreenWithTheNewestState)
{
    // The log and the status bar ask for one repaint until they are painted:
    // a change made after a paint must ask again.
    QWidget top;
    top.resize(500, 200);
    auto* log = new TCommLog(&top);
    log->setGeometry(0, 0, 500, 150);
    auto* bar = new TStatusBar(&top);
    bar->setGeometry(0, 160, 500, 20);
    bar->AddPanel(120, Qt::AlignLeft);
    bar->AddPanel(120, Qt::AlignLeft);
    QString logShown, barShown;
    PaintProbe logProbe, barProbe;
    logProbe.OnPaint = [&] { logShown = log->LineText(log->LineCount() - 1); };
    barProbe.OnPaint = [&] { barShown = bar->PanelText(1); };
    log->installEventFilter(&logProbe);
    bar->installEventFilter(&barProbe);
    top.show();
    ASSERT_TRUE(waitUntil([&] { return logProbe.paints > 0 && barProbe.paints > 0; }));

    const QString head = QStringLiteral("01-02-2025 10:00:00.000: ");
    int n = 0;
    for (int batch = 0; batch < 4; ++batch) {
        for (int i = 0; i < 50; ++i, ++n) {
            const uint8_t b[] = {uint8_t(n), uint8_t(n >> 8)};
            log->AppendBytes(head, b, 2, Qt::blue);
            const QString text = QStringLiteral("Polls: %1").arg(n);
            bar->SetPanelText(1, QStringView(text));
        }
        const QString lastLine = head + QStringLiteral("[%1] [%2] ")
                                            .arg(uint8_t(n - 1), 2, 16, QLatin1Char('0'))
                                            .arg(uint8_t((n - 1) >> 8), 2, 16, QLatin1Char('0'))
                                            .toUpper();
        EXPECT_EQ(log->LineText(log->LineCount() - 1), lastLine);
        ASSERT_TRUE(waitUntil([&] { return logShown == lastLine && barShown == QStringLiteral("Polls: %1").arg(n - 1); }))
            << "batch " << batch << ": the log showed " << logShown.toStdString() << ", the bar "
            << barShown.toStdString();
        // The scroll bar painted with it follows the end too.
        const QScrollBar* sb = log->findChild<QScrollBar*>();
        EXPECT_GT(sb->maximum(), 0);
        EXPECT_EQ(sb->value(), sb->maximum());
    }
    // A head longer than a time stamp keeps the same text.
    const QString longHead(40, u'x');
    const uint8_t b[] = {0xAB};
    log->AppendBytes(longHead, b, 1, Qt::red);
    EXPECT_EQ(log->LineText(log->LineCount() - 1), longHead + QStringLiteral("[AB] "));
    EXPECT_EQ(log->Text().count(u'\n'), log->LineCount() - 1);
}

TEST(CommLogRows, ARowDrawnFromItsImageLooksAsTheTextDrawnDirectly)
{
    // A line of 60 bytes wraps; its rows after the first are drawn from the
    // row images. Widths that break it at each place of a "[XX] " group.
    for (const int width : {400, 352, 529, 360, 367, 374, 381, 446}) {
    SCOPED_TRACE(width);
    TCommLog log;
    log.resize(width, 120);
    log.setFont(QFont(QStringLiteral("Courier New"), 9));
    std::vector<uint8_t> bytes(60);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i * 37);
    log.AppendBytes(QStringLiteral("01-02-2025 10:00:00.000: "), bytes.data(), int(bytes.size()), QColor(0, 0, 255));
    log.show();
    ASSERT_TRUE(waitUntil([&] { return log.isVisible(); }));
    for (int pass = 0; pass < 2; ++pass) { // drawn into the cache, then from it
        const QImage shot = log.grab().toImage().convertToFormat(QImage::Format_RGB32);
        // The same rows drawn directly, as the control lays them out.
        QImage ref(shot.size(), QImage::Format_RGB32);
        ref.fill(Qt::white);
        const QFontMetrics fm(log.font());
        const QString text = log.LineText(0);
        const int perRow = (log.width() - 2 - 2 - log.findChild<QScrollBar*>()->width() - 1) / fm.horizontalAdvance(u'0');
        int start = 0, y = 1;
        QPainter p(&ref);
        p.setFont(log.font());
        p.setPen(QColor(0, 0, 255));
        while (start < text.size() && y + fm.lineSpacing() <= shot.height() - 1) {
            int brk = std::min<int>(int(text.size()), start + perRow);
            if (brk < text.size())
                while (brk > start && text[brk - 1] != u' ') --brk;
            p.drawText(3, y + fm.ascent(), text.mid(start, brk - start));
            // Compare the row's text area, left of the scroll bar.
            const QRect r(3, y, perRow * fm.horizontalAdvance(u'0'), fm.lineSpacing());
            const QImage row = shot.copy(r);
            EXPECT_EQ(row, ref.copy(r)) << "pass " << pass << ", row at " << y;
            QImage white(row.size(), row.format());
            white.fill(Qt::white);
            EXPECT_NE(row, white) << "the row shows nothing";
            start = brk;
            y += fm.lineSpacing();
        }
    }
    }
}
