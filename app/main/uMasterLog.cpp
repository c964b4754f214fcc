// SPDX-License-Identifier: GPL-3.0-or-later
// Communication log: one time-stamped line per frame sent (red) and per
// block received (blue).
#include "uMaster.h"

#include <QDateTime>
#include <QLocale>
#include <algorithm>
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

// The local date and time at ms since the epoch, as QDateTime gives them.
// Converting to local time is the costly part, and local time only ever
// jumps at a whole second: it is done once a second, the milliseconds are
// added to it.
void LocalNow(qint64 ms, QDate& day, QTime& time)
{
    static qint64 cachedSecond = std::numeric_limits<qint64>::min();
    static QDate cachedDay;
    static QTime cachedTime;
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

namespace {
// The head of a log line, "dd-mm-yyyy hh:nn:ss.zzz: ", written into buf.
constexpr int kHeadMax = 40;
QStringView LogHead(const QDate& d, const QTime& t, char16_t (&buf)[kHeadMax])
{
    const QChar sep = timeSeparator();
    char16_t* p = buf;
    auto two = [&p](int v) {
        *p++ = char16_t(u'0' + v / 10);
        *p++ = char16_t(u'0' + v % 10);
    };
    // One conversion of the day number into its parts, not one per part.
    int y = 0, m = 0, day = 0;
    d.getDate(&y, &m, &day);
    two(day);
    *p++ = u'-';
    two(m);
    *p++ = u'-';
    // Four digits for every year a clock shows; others as they come.
    if (y >= 0 && y <= 9999) {
        for (int i = 3, v = y; i >= 0; --i, v /= 10)
            p[i] = char16_t(u'0' + v % 10);
        p += 4;
    } else {
        const QString year = QString::number(y).rightJustified(4, u'0');
        for (QChar c : year)
            *p++ = c.unicode();
    }
    *p++ = u' ';
    two(t.hour());
    *p++ = sep.unicode();
    two(t.minute());
    *p++ = sep.unicode();
    two(t.second());
    *p++ = u'.';
    const int ms = t.msec();
    *p++ = char16_t(u'0' + ms / 100);
    two(ms % 100);
    *p++ = u':';
    *p++ = u' ';
    return QStringView(buf, p - buf);
}
} // namespace

namespace {
// A log line of head followed by the bytes.
QString LineWithHead(QStringView head, const uint8_t* Block, int32_t Size)
{
    static const char hex[] = "0123456789ABCDEF";
    if (!Block || Size < 0)
        Size = 0;
    // Written straight into storage of the final length: a response line
    // has five characters per byte, hundreds of them.
    QString s(head.size() + 5 * qsizetype(Size), Qt::Uninitialized);
    char16_t* p = reinterpret_cast<char16_t*>(s.data());
    p = std::copy(head.utf16(), head.utf16() + head.size(), p);
    for (int32_t i = 0; i < Size; ++i) {
        *p++ = u'[';
        *p++ = char16_t(hex[Block[i] >> 4]);
        *p++ = char16_t(hex[Block[i] & 0x0F]);
        *p++ = u']';
        *p++ = u' ';
    }
    return s;
}
} // namespace

QString TfrmModbusMaster::FormatLogLine(const QDate& d, const QTime& t, const uint8_t* Block, int32_t Size)
{
    char16_t buf[kHeadMax];
    return LineWithHead(LogHead(d, t, buf), Block, Size);
}

namespace {
// The head of a log line for the time now. Lines come by hundreds within one
// millisecond while polling: the local date and time and the head's text are
// made again only when the clock's millisecond changes; everything else
// reads the clock and compares. The head is kept as Latin-1 too, which the
// log takes as it is.
struct TLogHeadNow {
    qint64 Ms = std::numeric_limits<qint64>::min();
    char16_t Head[kHeadMax];
    char Latin1[kHeadMax];
    qsizetype Len = 0;
    bool IsLatin1 = false;

    void Update()
    {
        const qint64 ms = QDateTime::currentMSecsSinceEpoch();
        if (ms == Ms)
            return;
        QDate day;
        QTime time;
        LocalNow(ms, day, time);
        Len = LogHead(day, time, Head).size();
        IsLatin1 = true;
        for (qsizetype i = 0; i < Len; ++i) {
            Latin1[i] = char(Head[i]);
            IsLatin1 = IsLatin1 && Head[i] < 256;
        }
        Ms = ms;
    }
    void Append(TCommLog* log, const uint8_t* block, int32_t size, const QColor& color)
    {
        Update();
        if (IsLatin1)
            log->AppendBytes(QLatin1StringView(Latin1, Len), block, size, color);
        else
            log->AppendBytes(QStringView(Head, Len), block, size, color);
    }
};
TLogHeadNow logHeadNow;
} // namespace

QString TfrmModbusMaster::FormatLogLineNow(const uint8_t* Block, int32_t Size)
{
    logHeadNow.Update();
    return LineWithHead(QStringView(logHeadNow.Head, logHeadNow.Len), Block, Size);
}

// The log keeps the bytes of a line and writes them out when it shows them.
void TfrmModbusMaster::mdbSendData(QObject*, const void* Block, int32_t Size)
{
    logHeadNow.Append(REComm, static_cast<const uint8_t*>(Block), Size, QColor(255, 0, 0));
}

void TfrmModbusMaster::mdbReceiveData(QObject*, const uint8_t* Block, int32_t Size)
{
    logHeadNow.Append(REComm, Block, Size, QColor(0, 0, 255));
}

void TfrmModbusMaster::RECommChange(QObject*)
{
    // The newest line comes into view unless the user scrolled back to
    // read older ones.
    REComm->FollowEnd();
}
