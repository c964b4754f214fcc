// SPDX-License-Identifier: GPL-3.0-or-later
#include "ValueAliases.h"

namespace ValueDecoding {
namespace {

QString Family(const TDataTypeInfo& type)
{
    switch (type.Format) {
    case TTypeFormat::RawHex: return QStringLiteral("hex");
    case TTypeFormat::RawBin: return QStringLiteral("bin");
    case TTypeFormat::RawBytes: return QStringLiteral("bytes");
    case TTypeFormat::RawAscii: return QStringLiteral("ascii");
    case TTypeFormat::Bit: return QStringLiteral("bit");
    case TTypeFormat::Signed: return u'i' + QString::number(type.ByteCount * 8);
    case TTypeFormat::Unsigned: return u'u' + QString::number(type.ByteCount * 8);
    case TTypeFormat::Float32: return QStringLiteral("f32");
    case TTypeFormat::Float64: return QStringLiteral("f64");
    }
    return QString();
}

// One letter per wire byte: the significance of the value byte found there.
QString OrderLetters(const TDataTypeInfo& type)
{
    QString letters;
    for (int wire = 0; wire < type.ByteCount; ++wire) {
        for (int i = 0; i < type.ByteCount; ++i) {
            if (type.Order[i] == wire) {
                letters += QChar(u'a' + i);
                break;
            }
        }
    }
    return letters;
}

bool IsBigEndian(const TDataTypeInfo& type)
{
    for (int i = 0; i < type.ByteCount; ++i)
        if (type.Order[i] != i) return false;
    return true;
}

} // namespace

QString DataTypeAlias(const TDataTypeInfo& type)
{
    const QString family = Family(type);
    if (type.ByteCount < 2) return family;
    return family + u':' + OrderLetters(type);
}

const QList<TDataTypeAlias>& DataTypeAliases()
{
    static const QList<TDataTypeAlias> aliases = [] {
        QList<TDataTypeAlias> out;
        for (int i = 0; i < DataTypeCount(); ++i) out.append({DataTypeAlias(DataTypeAt(i)), &DataTypeAt(i)});
        for (int i = 0; i < DataTypeCount(); ++i) {
            const TDataTypeInfo& t = DataTypeAt(i);
            if (t.ByteCount >= 2 && IsBigEndian(t)) out.append({Family(t), &t});
        }
        return out;
    }();
    return aliases;
}

const TDataTypeInfo* FindDataTypeOrAlias(QStringView text)
{
    if (const TDataTypeInfo* t = FindDataType(text)) return t;
    for (const TDataTypeAlias& a : DataTypeAliases())
        if (text.compare(a.Alias, Qt::CaseInsensitive) == 0) return a.Type;
    return nullptr;
}

} // namespace ValueDecoding
