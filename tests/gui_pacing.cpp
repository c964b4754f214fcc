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
#include <memory>
#include <gtest/gtest.h>

#include "CommLog.h"
#include "GlyphText.h"
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

namespace {
// A window whose every paint takes at least 2 ms.
class SlowCounter : public Counter {
protected:
    void paintEvent(QPaintEvent* e) override
    {
        QElapsedTimer t;
        t.start();
        while (t.nsecsElapsed() < 2000000) {
        }
        Counter::paintEvent(e);
    }
};
} // namespace

TEST(PaintPacer, WindowsUnderABudgetPaintLessOftenWhenTheirPaintsWouldTakeMoreThanTheirShare)
{
    auto budget = std::make_unique<TPaintBudget>(0.001, 100);
    SlowCounter slow;
    Counter quick;
    auto* slowPacer = new TPaintPacer(&slow, 16);
    auto* quickPacer = new TPaintPacer(&quick, 16);
    for (auto* w : {static_cast<QWidget*>(&slow), static_cast<QWidget*>(&quick)}) w->resize(100, 40);
    slowPacer->SetBudget(budget.get());
    quickPacer->SetBudget(budget.get());
    EXPECT_EQ(quickPacer->CurrentFrameMs(), 16) << "nothing painted yet: one frame";
    slow.show();
    quick.show();
    ASSERT_TRUE(waitUntil([&] { return slow.paints > 0 && quick.paints > 0; }));
    // A change painted through the pacer is measured (the cost is smoothed
    // over about eight paints, so one slow paint weighs an eighth).
    slow.value = 1;
    slow.update();
    ASSERT_TRUE(waitUntil([&] { return slow.painted == 1; }, 2000));
    EXPECT_GE(slowPacer->PaintCostNs(), 2000000 / 8);
    // A quarter of a millisecond is 0.1 % of 250 ms: both windows wait the
    // longest allowed.
    EXPECT_EQ(quickPacer->CurrentFrameMs(), 100);
    // A change still reaches the screen, the newest state last.
    for (int v = 1; v <= 20; ++v) {
        quick.value = v;
        quick.update();
        QApplication::processEvents();
    }
    ASSERT_TRUE(waitUntil([&] { return quick.painted == 20; }, 2000));
    // Out of the budget, a pacer keeps its own frame; a budget that goes
    // first leaves its pacers on their own.
    slowPacer->SetBudget(nullptr);
    EXPECT_EQ(slowPacer->CurrentFrameMs(), 16);
    budget.reset();
    EXPECT_EQ(quickPacer->CurrentFrameMs(), 16);
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
    // A request line and a line of 60 bytes, which wraps; rows are composed
    // from character cells or taken from row images. Every row must look as
    // drawText draws it. Widths that break the long line at each place of a
    // "[XX] " group, the window's log font and a point-sized one.
    QFont pixel(QStringLiteral("Courier New"));
    pixel.setPixelSize(11);
    const QFont fonts[] = {QFont(QStringLiteral("Courier New"), 9), pixel};
    for (const QFont& font : fonts)
    for (const int width : {400, 352, 529, 360, 367, 374, 381, 446}) {
    SCOPED_TRACE(width);
    SCOPED_TRACE(font.toString().toStdString());
    TCommLog log;
    log.resize(width, 120);
    log.setFont(font);
    std::vector<uint8_t> bytes(60);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i * 37);
    const uint8_t request[] = {0x00, 0x01, 0x00, 0x00, 0x00, 0x06, 0x01, 0x04, 0x00, 0x00, 0x00, 0x64};
    const QColor colors[] = {QColor(255, 0, 0), QColor(0, 0, 255)};
    log.AppendBytes(QLatin1StringView("01-02-2025 10:00:00.000: "), request, int(sizeof request), colors[0]);
    log.AppendBytes(QStringLiteral("01-02-2025 10:00:00.001: "), bytes.data(), int(bytes.size()), colors[1]);
    log.show();
    ASSERT_TRUE(waitUntil([&] { return log.isVisible(); }));
    const QFontMetrics fm(log.font());
    const int perRow = (log.width() - 2 - 2 - log.findChild<QScrollBar*>()->width() - 1) / fm.horizontalAdvance(u'0');
    // The rows of line i as the control breaks them: after the last blank
    // that fits.
    auto rowsOf = [&](const QString& text) {
        std::vector<QString> rows;
        for (int start = 0; start < text.size();) {
            int brk = std::min<int>(int(text.size()), start + perRow);
            if (brk < text.size())
                while (brk > start && text[brk - 1] != u' ') --brk;
            rows.push_back(text.mid(start, brk - start));
            start = brk;
        }
        return rows;
    };
    const std::vector<QString> rows[] = {rowsOf(log.LineText(0)), rowsOf(log.LineText(1))};
    // The scroll bar counts the rows so: at the top it reaches the last one.
    const int visible = std::max(1, (log.height() - 2) / fm.lineSpacing());
    EXPECT_EQ(log.findChild<QScrollBar*>()->maximum(), std::max<int>(0, int(rows[0].size() + rows[1].size()) - visible));
    log.findChild<QScrollBar*>()->setValue(0);
    for (int pass = 0; pass < 2; ++pass) { // drawn into the cache, then from it
        const QImage shot = log.grab().toImage().convertToFormat(QImage::Format_RGB32);
        // The same rows drawn directly, as the control lays them out.
        QImage ref(shot.size(), QImage::Format_RGB32);
        ref.fill(Qt::white);
        QPainter p(&ref);
        p.setFont(log.font());
        int y = 1;
        // The frame around it.
        p.setPen(log.palette().color(QPalette::Mid));
        p.drawRect(log.rect().adjusted(0, 0, -1, -1));
        for (const QRect edge : {QRect(0, 0, shot.width(), 1), QRect(0, shot.height() - 1, shot.width(), 1),
                                 QRect(0, 0, 1, shot.height()), QRect(shot.width() - 1, 0, 1, shot.height())})
            EXPECT_EQ(shot.copy(edge), ref.copy(edge)) << "the frame, pass " << pass;
        for (int line = 0; line < 2; ++line) {
            p.setPen(colors[line]);
            for (const QString& row : rows[line]) {
                if (y + fm.lineSpacing() > shot.height() - 1) break;
                p.drawText(3, y + fm.ascent(), row);
                // Compare the row's text area, left of the scroll bar.
                const QRect r(3, y, perRow * fm.horizontalAdvance(u'0'), fm.lineSpacing());
                const QImage got = shot.copy(r);
                EXPECT_EQ(got, ref.copy(r)) << "pass " << pass << ", row at " << y;
                QImage white(got.size(), got.format());
                white.fill(Qt::white);
                EXPECT_NE(got, white) << "the row shows nothing";
                y += fm.lineSpacing();
            }
        }
    }
    }
}

TEST(GlyphText, ARowDrawnWithoutShapingLooksAsTheTextDrawnDirectly)
{
    // The log's fonts draw rows of its characters from their glyphs; a
    // character beyond Latin-1 or a proportional face leaves the row to
    // drawText.
    QFont pixel(QStringLiteral("Courier New"));
    pixel.setPixelSize(11);
    const QString row = QStringLiteral("09-12-2026 19:05:34.123: [0F] [A5] [00] [FF] (-) error 4");
    for (const QFont& font : {pixel, QFont(QStringLiteral("Courier New"), 9)}) {
        SCOPED_TRACE(font.toString().toStdString());
        const QFontMetrics fm(font);
        TGlyphText glyphs;
        glyphs.SetFont(font);
        for (const QColor color : {QColor(255, 0, 0), QColor(0, 0, 255)}) {
            QImage got(fm.horizontalAdvance(row) + 8, fm.lineSpacing() + 2, QImage::Format_RGB32);
            got.fill(Qt::white);
            QImage ref = got;
            for (QImage* img : {&got, &ref}) {
                QPainter p(img);
                p.setFont(font);
                p.setPen(color);
                if (img == &got)
                    ASSERT_TRUE(glyphs.Draw(p, 3, 1 + fm.ascent(), row));
                else
                    p.drawText(3, 1 + fm.ascent(), row);
            }
            EXPECT_EQ(got, ref) << color.name().toStdString();
        }
        QImage img(200, 40, QImage::Format_RGB32);
        QPainter p(&img);
        EXPECT_FALSE(glyphs.Draw(p, 0, 20, QStringLiteral("[0F] \u20AC")));
    }
    QFont tahoma(QStringLiteral("Tahoma"));
    tahoma.setPixelSize(11);
    TGlyphText glyphs;
    glyphs.SetFont(tahoma);
    QImage img(200, 40, QImage::Format_RGB32);
    QPainter p(&img);
    EXPECT_FALSE(glyphs.Draw(p, 0, 20, QStringLiteral("Wi 0")));
}

TEST(StatusBarPanels, LookAsTheirFramesAndTextsDrawnWithAPen)
{
    // Panels filled in by text and by number, against the same drawn with
    // lines and drawText.
    TStatusBar bar;
    bar.resize(420, 19);
    for (int w : {120, 90, 110, 60}) bar.AddPanel(w, w == 90 ? Qt::AlignRight : Qt::AlignLeft);
    bar.SetPanelText(0, QStringLiteral("Connected to: 127.0.0.1:502"));
    bar.SetPanelNumber(1, QLatin1StringView("Polls: "), 123456);
    bar.SetPanelNumber(2, QLatin1StringView("Errors: "), -7);
    EXPECT_EQ(bar.PanelText(1), QStringLiteral("Polls: 123456"));
    EXPECT_EQ(bar.PanelText(2), QStringLiteral("Errors: -7"));
    const QImage shot = bar.grab().toImage().convertToFormat(QImage::Format_RGB32);
    QImage ref(shot.size(), QImage::Format_RGB32);
    ref.fill(bar.palette().color(QPalette::Window));
    QPainter p(&ref);
    p.setFont(bar.font());
    for (int i = 0; i < bar.PanelCount(); ++i) {
        const QRect r = bar.PanelRect(i).adjusted(0, 2, -2, 0);
        p.setPen(bar.palette().color(QPalette::Mid));
        p.drawLine(r.topLeft(), r.topRight());
        p.drawLine(r.topLeft(), r.bottomLeft());
        p.setPen(bar.palette().color(QPalette::Light));
        p.drawLine(r.bottomLeft(), r.bottomRight());
        p.drawLine(r.topRight(), r.bottomRight());
        p.setPen(bar.palette().color(QPalette::WindowText));
        p.drawText(r.adjusted(3, 0, -3, 0), int(bar.PanelAlignment(i) | Qt::AlignVCenter) | Qt::TextSingleLine,
                   bar.PanelText(i));
    }
    p.end();
    EXPECT_EQ(shot, ref);
    // Text again after a number, and a number after text.
    bar.SetPanelText(1, QStringLiteral("Polls: 0"));
    EXPECT_EQ(bar.PanelText(1), QStringLiteral("Polls: 0"));
    bar.SetPanelNumber(0, QLatin1StringView("Polls: "), 0);
    EXPECT_EQ(bar.PanelText(0), QStringLiteral("Polls: 0"));
}
