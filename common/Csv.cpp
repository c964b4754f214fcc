// SPDX-License-Identifier: GPL-3.0-or-later
#include "Csv.h"

namespace zorp {

QString CsvField(QStringView Text, QChar Separator)
{
    bool quote = !Text.isEmpty() && (Text.front().isSpace() || Text.back().isSpace());
    for (qsizetype i = 0; !quote && i < Text.size(); ++i) {
        const QChar c = Text[i];
        quote = c == Separator || c == u',' || c == u';' || c == u'"' || c == u'\r' || c == u'\n';
    }
    if (!quote) return Text.toString();
    QString out;
    out.reserve(Text.size() + 2);
    out += u'"';
    for (const QChar c : Text) {
        if (c == u'"') out += u'"';
        out += c;
    }
    out += u'"';
    return out;
}

QString CsvRecord(const QStringList& Fields, QChar Separator)
{
    QString out;
    for (qsizetype i = 0; i < Fields.size(); ++i) {
        if (i) out += Separator;
        out += CsvField(Fields[i], Separator);
    }
    return out;
}

bool ReadCsv(QStringView Text, QChar Separator, std::vector<TCsvRecord>& Records, QString& Error)
{
    Records.clear();
    const qsizetype n = Text.size();
    qsizetype i = 0;
    int line = 1;
    auto lineEnd = [&](qsizetype at) { return Text[at] == u'\r' || Text[at] == u'\n'; };
    auto skipLineEnd = [&] {
        if (Text[i] == u'\r' && i + 1 < n && Text[i + 1] == u'\n') ++i;
        ++i;
        ++line;
    };
    while (i < n) {
        if (lineEnd(i)) { // an empty record
            skipLineEnd();
            continue;
        }
        TCsvRecord rec;
        rec.Line = line;
        for (;;) {
            QString field;
            if (i < n && Text[i] == u'"') {
                const int opened = line;
                ++i;
                for (;;) {
                    if (i >= n) {
                        Error = QStringLiteral("line %1: a quoted field is never closed").arg(opened);
                        return false;
                    }
                    const QChar c = Text[i++];
                    if (c == u'"') {
                        if (i < n && Text[i] == u'"') {
                            field += u'"';
                            ++i;
                            continue;
                        }
                        break;
                    }
                    if (c == u'\n' || (c == u'\r' && !(i < n && Text[i] == u'\n'))) ++line;
                    field += c;
                }
                if (i < n && Text[i] != Separator && !lineEnd(i)) {
                    Error = QStringLiteral("line %1: text after a closing quote").arg(line);
                    return false;
                }
            } else {
                const qsizetype start = i;
                while (i < n && Text[i] != Separator && !lineEnd(i)) ++i;
                field = Text.mid(start, i - start).toString();
            }
            rec.Fields.append(field);
            if (i < n && Text[i] == Separator) {
                ++i;
                continue;
            }
            break;
        }
        Records.push_back(std::move(rec));
        if (i < n) skipLineEnd();
    }
    return true;
}

QString CsvText(const QByteArray& Bytes)
{
    const bool bom = Bytes.startsWith("\xEF\xBB\xBF");
    return QString::fromUtf8(bom ? Bytes.constData() + 3 : Bytes.constData(), Bytes.size() - (bom ? 3 : 0));
}

} // namespace zorp
