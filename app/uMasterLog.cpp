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

} // namespace

QString TfrmModbusMaster::FormatLogLine(const QDateTime& when, const uint8_t* Block, int32_t Size)
{
    static const char hex[] = "0123456789ABCDEF";
    if (!Block || Size < 0)
        Size = 0;
    const QDate d = when.date();
    const QTime t = when.time();
    const QChar sep = timeSeparator();
    const QString year = QString::number(d.year()).rightJustified(4, u'0');
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
    for (int32_t i = 0; i < Size; ++i) {
        *p++ = u'[';
        *p++ = QLatin1Char(hex[Block[i] >> 4]);
        *p++ = QLatin1Char(hex[Block[i] & 0x0F]);
        *p++ = u']';
        *p++ = u' ';
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
