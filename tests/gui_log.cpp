// SPDX-License-Identifier: GPL-3.0-or-later
// The communication log: line format and colours, following the end, the
// bounded capacity, selection and copying.
#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QGroupBox>
#include <QRegularExpression>
#include <QTest>
#include <gtest/gtest.h>
#include <random>

#include "CommLog.h"
#include "GuiSupport.h"
#include "VexaModbus.h"
#include "uMaster.h"

using namespace zorptest;

TEST(LogLine, HasTheTimeStampAndEveryByteInBrackets)
{
    const QDateTime when(QDate(2019, 3, 7), QTime(14, 5, 9, 42));
    const uint8_t frame[] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD};
    EXPECT_EQ(TfrmModbusMaster::FormatLogLine(when, frame, 8),
              "07-03-2019 14:05:09.042: [01] [03] [00] [00] [00] [0A] [C5] [CD] ");
    // Empty and missing blocks end with ": ".
    EXPECT_EQ(TfrmModbusMaster::FormatLogLine(when, frame, 0), "07-03-2019 14:05:09.042: ");
    EXPECT_EQ(TfrmModbusMaster::FormatLogLine(when, nullptr, 5), "07-03-2019 14:05:09.042: ");
    EXPECT_EQ(TfrmModbusMaster::FormatLogLine(when, frame, -3), "07-03-2019 14:05:09.042: ");
    const uint8_t edge[] = {0x00, 0x0F, 0x10, 0xFF};
    EXPECT_EQ(TfrmModbusMaster::FormatLogLine(QDateTime(QDate(2001, 12, 31), QTime(0, 0, 0, 999)), edge, 4),
              "31-12-2001 00:00:00.999: [00] [0F] [10] [FF] ");
    EXPECT_EQ(TfrmModbusMaster::FormatLogLine(QDateTime(QDate(2024, 1, 2), QTime(23, 59, 58, 7)), edge, 1),
              "02-01-2024 23:59:58.007: [00] ");
}

TEST_F(GuiWindowTest, SentLinesAreRedAndReceivedLinesBlue)
{
    const uint8_t req[] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A};
    const uint8_t ans[] = {0x01, 0x03, 0x02};
    const QDateTime before = QDateTime::currentDateTime().addMSecs(-1);
    w->mdbSendData(w->mdb, req, 8);
    w->mdbReceiveData(w->mdb, ans, 3);
    w->mdbReceiveData(w->mdb, ans, 0);
    ASSERT_EQ(w->REComm->LineCount(), 3);
    EXPECT_EQ(w->REComm->LineColor(0), QColor(255, 0, 0));
    EXPECT_EQ(w->REComm->LineColor(1), QColor(0, 0, 255));
    EXPECT_EQ(w->REComm->LineColor(2), QColor(0, 0, 255));
    EXPECT_TRUE(w->REComm->LineText(0).endsWith(": [01] [03] [00] [00] [00] [01] [84] [0A] "));
    EXPECT_TRUE(w->REComm->LineText(1).endsWith(": [01] [03] [02] "));
    EXPECT_EQ(w->REComm->LineText(2).size(), 25);
    // The stamp is the local time of handling.
    const QDateTime stamp =
        QDateTime::fromString(w->REComm->LineText(0).left(23), QStringLiteral("dd-MM-yyyy hh:mm:ss.zzz"));
    ASSERT_TRUE(stamp.isValid());
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, QDateTime::currentDateTime());
    EXPECT_EQ(w->REComm->Text().count('\n'), 2);
}

TEST_F(GuiWindowTest, TheLogFollowsItsEndAlsoWhileDisabled)
{
    const uint8_t b[] = {0x11, 0x22};
    w->gbComm->setEnabled(false);
    for (int i = 0; i < 500; ++i)
        w->mdbReceiveData(w->mdb, b, 2);
    QCoreApplication::processEvents();
    EXPECT_TRUE(w->REComm->AtEnd());
    EXPECT_EQ(w->REComm->LineCount(), 500);
    // A line wider than the view wraps and is kept whole.
    std::vector<uint8_t> big(300, 0xAB);
    w->mdbSendData(w->mdb, big.data(), int32_t(big.size()));
    EXPECT_TRUE(w->REComm->AtEnd());
    EXPECT_EQ(w->REComm->LineText(500).size(), 25 + 300 * 5);
    const QImage shot = w->REComm->grab().toImage();
    EXPECT_FALSE(shot.isNull());
    // Disabled: a click selects nothing.
    QTest::mouseClick(w->REComm, Qt::LeftButton, {}, QPoint(20, 20));
    EXPECT_TRUE(w->REComm->SelectedText().isEmpty());
}

TEST(CommLogView, KeepsAtMostItsCapacityOldestLinesFirst)
{
    TCommLog log;
    log.resize(400, 150);
    int changes = 0;
    log.OnChange = [&](QObject* s) {
        EXPECT_EQ(s, &log);
        ++changes;
    };
    EXPECT_EQ(log.MaxLines(), TCommLog::DefaultMaxLines);
    log.SetMaxLines(100);
    for (int i = 0; i < 250; ++i)
        log.AppendLine(QString::number(i), Qt::red);
    EXPECT_EQ(changes, 250);
    EXPECT_EQ(log.LineCount(), 100);
    EXPECT_EQ(log.LineText(0), "150");
    EXPECT_EQ(log.LineText(99), "249");
    EXPECT_EQ(log.LineText(100), "");
    EXPECT_EQ(log.LineText(-1), "");
    // Shrinking the capacity drops the oldest lines; growing keeps the rest.
    log.SetMaxLines(10);
    EXPECT_EQ(log.LineCount(), 10);
    EXPECT_EQ(log.LineText(0), "240");
    log.SetMaxLines(50);
    log.AppendLine("x", Qt::blue);
    EXPECT_EQ(log.LineCount(), 11);
    EXPECT_EQ(log.LineText(0), "240");
    EXPECT_EQ(log.LineColor(10), QColor(Qt::blue));
    log.Clear();
    EXPECT_EQ(log.LineCount(), 0);
    EXPECT_EQ(log.Text(), "");
    EXPECT_EQ(changes, 252);
    log.AppendLine("after", Qt::red);
    EXPECT_EQ(log.LineText(0), "after");
}

// Tagged lines under changing filters, against a model: a filter shows the
// kept lines (the capacity's newest, shown or not) it lets through, then the
// new ones it lets through; without a filter, what a never filtered log shows.
TEST(CommLogView, AFilterShowsTheKeptLinesAnew)
{
    constexpr int capacity = 7;
    TCommLog log, plain;
    for (TCommLog* l : {&log, &plain}) l->SetMaxLines(capacity);
    QStringList all, shown;
    uint32_t filter = 0;
    auto passes = [&](const QString& line) { return !filter || line.startsWith("0") || line.startsWith(QString::number(filter)); };
    auto bounded = [](QStringList l) { return l.mid(std::max<qsizetype>(0, l.size() - capacity)); };
    std::mt19937 rng(7);
    for (int step = 0; step < 600; ++step) {
        if (const uint32_t f = rng() % 4; rng() % 9 == 0 && f != filter) {
            filter = f;
            log.SetFilterTag(filter);
            shown.clear();
            for (const QString& line : bounded(all))
                if (passes(line)) shown << line;
        } else {
            const uint32_t tag = rng() % 4;
            const uint8_t bytes[] = {uint8_t(step), uint8_t(step >> 8)};
            log.SetAppendTag(tag);
            log.AppendBytes(QLatin1StringView(QByteArray::number(tag) + " "), bytes, 2, Qt::red);
            plain.AppendBytes(QLatin1StringView(QByteArray::number(tag) + " "), bytes, 2, Qt::red);
            all << plain.LineText(plain.LineCount() - 1);
            if (passes(all.back())) shown << all.back();
        }
        ASSERT_EQ(log.Text(), bounded(shown).join('\n')) << step;
        if (!filter) {
            ASSERT_EQ(log.Text(), plain.Text()) << step;
        }
    }
}

TEST(CommLogView, SelectsAndCopiesWhatTheUserMarks)
{
    TCommLog log;
    log.resize(500, 150);
    log.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&log));
    log.AppendLine("first line", Qt::red);
    log.AppendLine("second line", Qt::blue);
    log.SelectAll();
    EXPECT_EQ(log.SelectedText(), "first line\nsecond line");
    log.setFocus();
    QApplication::clipboard()->clear();
    QTest::keyClick(&log, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), "first line\nsecond line");

    // A drag over the first five characters of the first row.
    const int cw = QFontMetrics(log.font()).horizontalAdvance('0');
    const int y = 1 + QFontMetrics(log.font()).lineSpacing() / 2;
    QTest::mousePress(&log, Qt::LeftButton, {}, QPoint(3, y));
    QMouseEvent move(QEvent::MouseMove, QPointF(3 + 5 * cw, y), log.mapToGlobal(QPointF(3 + 5 * cw, y)),
                     Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&log, &move);
    QTest::mouseRelease(&log, Qt::LeftButton, {}, QPoint(3 + 5 * cw, y));
    EXPECT_EQ(log.SelectedText(), "first");
    // The selection survives new lines and the oldest line going away.
    log.SetMaxLines(2);
    log.AppendLine("third", Qt::red);
    EXPECT_EQ(log.LineCount(), 2);
    EXPECT_NE(log.SelectedText(), "first");
}

TEST_F(GuiWindowTest, ScrollingUpStopsFollowingTheEndAndReturningResumesIt)
{
    const uint8_t b[] = {0x11, 0x22};
    auto append = [&](int n) {
        for (int i = 0; i < n; ++i)
            w->mdbReceiveData(w->mdb, b, 2);
        QCoreApplication::processEvents();
    };
    append(300);
    EXPECT_TRUE(w->REComm->AtEnd());
    EXPECT_TRUE(w->REComm->Following());

    // The user pages up: new lines no longer pull the view down.
    w->REComm->setFocus();
    QTest::keyClick(w->REComm, Qt::Key_PageUp);
    EXPECT_FALSE(w->REComm->Following());
    append(50);
    EXPECT_FALSE(w->REComm->AtEnd());
    // Selecting and copying work while lines come in.
    w->REComm->SelectAll();
    append(5);
    QApplication::clipboard()->clear();
    QTest::keyClick(w->REComm, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text().count(QLatin1Char(0x0A)), 349);

    // Back at the end (Ctrl+End, or the wheel or bar down to it): following again.
    QTest::keyClick(w->REComm, Qt::Key_End, Qt::ControlModifier);
    EXPECT_TRUE(w->REComm->Following());
    append(20);
    EXPECT_TRUE(w->REComm->AtEnd());
    // A scroll away and a Connect's clearing: the new log follows its end.
    QTest::keyClick(w->REComm, Qt::Key_Home, Qt::ControlModifier);
    EXPECT_FALSE(w->REComm->Following());
    w->REComm->Clear();
    append(300);
    EXPECT_TRUE(w->REComm->AtEnd());
}
