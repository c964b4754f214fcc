// SPDX-License-Identifier: GPL-3.0-or-later
// Communication log: one time-stamped line per frame sent (red) and per
// block received (blue).
#include "uMaster.h"

#include <QDateTime>
#include <QLocale>
#include <cstring>
#include <limits>

#include "CommLog.h"

namespace {
// The locale's separator between hours, minutes and seconds.
QChar timeSeparator()
{
    static const QChar sep = [] {
        const QString f = QLocale::system().timeFormat(QLocale::ShortFormat);
        for (int i = 0; i + 1 < f.size(); ++i) {
            if ((f[i] == u'h' || f[i] == u'H') && f[i + 1] != u'h' && f[i + 1] != u'H') {
                const QChar c = f[i + 1];
                if (!c.isLetterOrNumber() && c != u'\'' && !c.isSpace())
                    return c;
                break;
            }
        }
        return QChar(u':');
    }();
    return sep;
}

// The local date and time now, as QDateTime::currentDateTime gives them.
// Converting to local time is the costly part, and local time only ever
// jumps at a whole second: it is done once a second, the milliseconds are
// added to it.
void LocalNow(QDate& day, QTime& time)
{
    static qint64 cachedSecond = std::numeric_limits<qint64>::min();
    static QDate cachedDay;
    static QTime cachedTime;
    const qint64 ms = QDateTime::currentMSecsSinceEpoch();
    const qint64 second = ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
    if (second != cachedSecond) {
        const QDateTime local = QDateTime::fromMSecsSinceEpoch(second * 1000);
        cachedDay = local.date();
        cachedTime = local.time();
        cachedSecond = second;
    }
    day = cachedDay;
    time = cachedTime.addMSecs(int(ms - second * 1000));
}
} // namespace

QString TfrmModbusMaster::FormatLogLine(const QDateTime& when, const uint8_t* Block, int32_t Size)
{
    return FormatLogLine(when.date(), when.time(), Block, Size);
}

QString TfrmModbusMaster::FormatLogLine(const QDate& d, const QTime& t, const uint8_t* Block, int32_t Size)
{
    static const char hex[] = "0123456789ABCDEF";
    if (!Block || Size < 0)
        Size = 0;
    const QChar sep = timeSeparator();
    // Four digits for every year a clock shows; others as they come.
    const int y = d.year();
    char16_t yearDigits[4];
    QString yearText;
    QStringView year;
    if (y >= 0 && y <= 9999) {
        for (int i = 3, v = y; i >= 0; --i, v /= 10)
            yearDigits[i] = char16_t(u'0' + v % 10);
        year = QStringView(yearDigits, 4);
    } else {
        yearText = QString::number(y).rightJustified(4, u'0');
        year = yearText;
    }
    // Written straight into storage of the final length: a response line
    // has five characters per byte, hundreds of them.
    QString s(year.size() + 21 + 5 * qsizetype(Size), Qt::Uninitialized);
    QChar* p = s.data();
    auto two = [&p](int v) {
        *p++ = QChar(u'0' + v / 10);
        *p++ = QChar(u'0' + v % 10);
    };
    two(d.day());
    *p++ = u'-';
    two(d.month());
    *p++ = u'-';
    for (QChar c : year)
        *p++ = c;
    *p++ = u' ';
    two(t.hour());
    *p++ = sep;
    two(t.minute());
    *p++ = sep;
    two(t.second());
    *p++ = u'.';
    const int ms = t.msec();
    *p++ = QChar(u'0' + ms / 100);
    two(ms % 100);
    *p++ = u':';
    *p++ = u' ';
    // "[XX] " for every byte value, made once: a response line is mostly these.
    struct ByteTexts {
        char16_t t[256][5];
        ByteTexts()
        {
            for (int b = 0; b < 256; ++b) {
                t[b][0] = u'[';
                t[b][1] = char16_t(hex[b >> 4]);
                t[b][2] = char16_t(hex[b & 0x0F]);
                t[b][3] = u']';
                t[b][4] = u' ';
            }
        }
    };
    static const ByteTexts texts;
    for (int32_t i = 0; i < Size; ++i, p += 5)
        std::memcpy(p, texts.t[Block[i]], sizeof texts.t[0]);
    return s;
}

void TfrmModbusMaster::mdbSendData(QObject*, const void* Block, int32_t Size)
{
    QDate day;
    QTime time;
    LocalNow(day, time);
    REComm->AppendLine(FormatLogLine(day, time, static_cast<const uint8_t*>(Block), Size), QColor(255, 0, 0));
}

void TfrmModbusMaster::mdbReceiveData(QObject*, const uint8_t* Block, int32_t Size)
{
    QDate day;
    QTime time;
    LocalNow(day, time);
    REComm->AppendLine(FormatLogLine(day, time, Block, Size), QColor(0, 0, 255));
}

void TfrmModbusMaster::RECommChange(QObject*)
{
    REComm->ScrollToEnd();
}
