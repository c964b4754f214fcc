// SPDX-License-Identifier: GPL-3.0-or-later
#include "ValueLists.h"

namespace ValueEncoding {

TEncoded EncodeValueList(const TDataTypeInfo& type, QStringView text)
{
    TEncoded out;
    if (text.trimmed().isEmpty()) {
        out.Error = QStringLiteral("no value given");
        return out;
    }
    QList<QStringView> items = text.split(u',');
    if (type.Format == TTypeFormat::RawBytes) {
        if (items.size() % 2 != 0) {
            out.Error = u'"' + text.toString() + QStringLiteral("\" has an odd number of bytes: BYTES values are H,L pairs");
            return out;
        }
    }
    const qsizetype step = type.Format == TTypeFormat::RawBytes ? 2 : 1;
    for (qsizetype i = 0; i < items.size(); i += step) {
        // A pair is taken as the text it came from, "H,L".
        const QStringView item = step == 1 ? items[i]
                                           : text.mid(items[i].data() - text.data(),
                                                      items[i + 1].data() + items[i + 1].size() - items[i].data());
        TEncoded one = EncodeValue(type, item);
        if (!one.Ok()) {
            out.Words.clear();
            out.Error = one.Error;
            return out;
        }
        out.Words.insert(out.Words.end(), one.Words.begin(), one.Words.end());
    }
    return out;
}

TEncodedBits EncodeBitPattern(QStringView text)
{
    TEncodedBits out;
    for (const QChar c : text) {
        if (c == u'0' || c == u'1') out.Bits.push_back(c == u'1');
        else if (c != u',' && !c.isSpace()) {
            out.Bits.clear();
            out.Error = u'"' + QString(c) + QStringLiteral("\" in \"") + text.trimmed().toString() +
                        QStringLiteral("\" is not a bit (0 or 1)");
            return out;
        }
    }
    if (out.Bits.empty()) out.Error = QStringLiteral("no bit given: write coils as 0 and 1, e.g. 0101");
    return out;
}

} // namespace ValueEncoding
