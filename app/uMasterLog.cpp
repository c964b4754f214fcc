// Communication log: one time-stamped line per frame sent (red) and per
// block received (blue).
#include "uMaster.h"

#include <QDateTime>
#include <QLocale>

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

void append2(QString& s, int v)
{
    s += QChar(u'0' + v / 10);
    s += QChar(u'0' + v % 10);
}
} // namespace

QString TfrmModbusMaster::FormatLogLine(const QDateTime& when, const uint8_t* Block, int32_t Size)
{
    static const char hex[] = "0123456789ABCDEF";
    if (!Block || Size < 0)
        Size = 0;
    QString s;
    s.reserve(25 + 5 * Size);
    const QDate d = when.date();
    const QTime t = when.time();
    const QChar sep = timeSeparator();
    append2(s, d.day());
    s += u'-';
    append2(s, d.month());
    s += u'-';
    s += QString::number(d.year()).rightJustified(4, u'0');
    s += u' ';
    append2(s, t.hour());
    s += sep;
    append2(s, t.minute());
    s += sep;
    append2(s, t.second());
    s += u'.';
    const int ms = t.msec();
    s += QChar(u'0' + ms / 100);
    append2(s, ms % 100);
    s += QLatin1String(": ");
    for (int32_t i = 0; i < Size; ++i) {
        s += u'[';
        s += QLatin1Char(hex[Block[i] >> 4]);
        s += QLatin1Char(hex[Block[i] & 0x0F]);
        s += QLatin1String("] ");
    }
    return s;
}

void TfrmModbusMaster::mdbSendData(QObject*, const void* Block, int32_t Size)
{
    REComm->AppendLine(FormatLogLine(QDateTime::currentDateTime(), static_cast<const uint8_t*>(Block), Size),
                       QColor(255, 0, 0));
}

void TfrmModbusMaster::mdbReceiveData(QObject*, const uint8_t* Block, int32_t Size)
{
    REComm->AppendLine(FormatLogLine(QDateTime::currentDateTime(), Block, Size), QColor(0, 0, 255));
}

void TfrmModbusMaster::RECommChange(QObject*)
{
    REComm->ScrollToEnd();
}
