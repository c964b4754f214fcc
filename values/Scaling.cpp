// SPDX-License-Identifier: GPL-3.0-or-later
#include "Scaling.h"

#include "Csv.h"
#include "StrictInt.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <string>

namespace zorp {

namespace {

bool IsInteger(const TDataTypeInfo& t) { return t.Format == TTypeFormat::Signed || t.Format == TTypeFormat::Unsigned; }

// The number the words hold, and whether it is an integer (Int set).
double NumberOf(const TDataTypeInfo& type, const uint16_t* words, int64_t& integer)
{
    const uint64_t raw = ValueDecoding::WordsToBits(type, words);
    const int bits = type.ByteCount * 8;
    switch (type.Format) {
    case TTypeFormat::Signed: {
        const uint64_t sign = uint64_t(1) << (bits - 1);
        integer = (raw & sign) && bits < 64 ? int64_t(raw | ~((sign << 1) - 1)) : int64_t(raw);
        return double(integer);
    }
    case TTypeFormat::Unsigned:
        integer = int64_t(raw);
        return double(raw);
    case TTypeFormat::Float32: {
        const uint32_t u = uint32_t(raw);
        float f;
        std::memcpy(&f, &u, sizeof f);
        return double(f);
    }
    case TTypeFormat::Float64: {
        double d;
        std::memcpy(&d, &raw, sizeof d);
        return d;
    }
    default: return 0;
    }
}

template <class Key>
bool ParsePairs(QStringView text, int64_t min, int64_t max, std::vector<std::pair<Key, QString>>& out,
                QString& error)
{
    out.clear();
    for (QStringView item : text.split(u';', Qt::SkipEmptyParts)) {
        item = item.trimmed();
        if (item.isEmpty()) continue;
        const qsizetype eq = item.indexOf(u'=');
        int64_t key = 0;
        if (eq <= 0 || !ParseInt(item.left(eq).trimmed(), min, max, key, IntSign | IntHexPrefix)) {
            error = QStringLiteral("\"%1\" is not NUMBER=TEXT with a number from %2 to %3")
                        .arg(item.toString()).arg(min).arg(max);
            return false;
        }
        const QString name = item.mid(eq + 1).trimmed().toString();
        for (const auto& p : out)
            if (p.first == Key(key)) {
                error = QStringLiteral("%1 is named twice").arg(key);
                return false;
            }
        out.emplace_back(Key(key), name);
    }
    return true;
}

template <class Key>
QString JoinPairs(const std::vector<std::pair<Key, QString>>& pairs)
{
    QStringList items;
    for (const auto& [k, name] : pairs) items.append(QString::number(k) + u'=' + name);
    return items.join(u';');
}

} // namespace

QString PairsText(const std::vector<std::pair<int64_t, QString>>& Pairs) { return JoinPairs(Pairs); }
QString BitsText(const std::vector<std::pair<int, QString>>& Bits) { return JoinPairs(Bits); }

bool ParseEnumText(QStringView Text, std::vector<std::pair<int64_t, QString>>& Out, QString& Error)
{
    return ParsePairs(Text, INT64_MIN, INT64_MAX, Out, Error);
}

bool ParseBitsText(QStringView Text, std::vector<std::pair<int, QString>>& Out, QString& Error)
{
    return ParsePairs(Text, 0, 63, Out, Error);
}

QString NumberText(double Value)
{
    if (std::isnan(Value)) return QStringLiteral("NaN");
    if (std::isinf(Value)) return Value < 0 ? QStringLiteral("-INF") : QStringLiteral("INF");
    return QString::number(Value, 'g', 10);
}

bool ParseNumber(QStringView Text, double& Value)
{
    const QStringView t = Text.trimmed();
    std::string latin;
    for (QChar c : t) {
        if (c.unicode() > 127) return false;
        latin.push_back(char(c.unicode()));
    }
    const char* first = latin.data();
    const char* last = first + latin.size();
    if (first != last && *first == '+') ++first;
    if (first == last || *first == '+') return false;
    const auto r = std::from_chars(first, last, Value, std::chars_format::general);
    return r.ec == std::errc() && r.ptr == last && std::isfinite(Value);
}

bool CanScale(const TDataTypeInfo& Type) { return IsInteger(Type) || Type.Format == TTypeFormat::Float32 || Type.Format == TTypeFormat::Float64; }
bool CanEnumerate(const TDataTypeInfo& Type) { return IsInteger(Type); }

QString EngineeringText(const TDataTypeInfo& Type, const uint16_t* Words, const TScaling& Scaling)
{
    if (!CanScale(Type) || Scaling.Empty()) return QString();
    int64_t integer = 0;
    const double raw = NumberOf(Type, Words, integer);
    if (CanEnumerate(Type) && !Scaling.Enum.empty()) {
        for (const auto& [value, name] : Scaling.Enum)
            if (value == integer) return name;
        return QString::number(integer);
    }
    if (CanEnumerate(Type) && !Scaling.Bits.empty()) {
        QStringList set;
        for (const auto& [bit, label] : Scaling.Bits)
            if (uint64_t(integer) >> bit & 1) set.append(label);
        return set.isEmpty() ? QStringLiteral("-") : set.join(QStringLiteral(", "));
    }
    const QString number = NumberText(raw * Scaling.Gain + Scaling.Offset);
    return Scaling.Unit.isEmpty() ? number : number + u' ' + Scaling.Unit;
}

bool ValueNumber(const TDataTypeInfo& Type, const uint16_t* Words, const TScaling* Scaling, double& Out)
{
    if (!CanScale(Type)) return false;
    int64_t integer = 0;
    Out = NumberOf(Type, Words, integer);
    if (!Scaling || Scaling->Empty()) return true;
    if (CanEnumerate(Type) && (!Scaling->Enum.empty() || !Scaling->Bits.empty())) return true;
    Out = Out * Scaling->Gain + Scaling->Offset;
    return true;
}

ValueEncoding::TEncoded EncodeEngineering(const TDataTypeInfo& Type, QStringView Text, const TScaling& Scaling)
{
    ValueEncoding::TEncoded refused;
    QStringView t = Text.trimmed();
    const QString quoted = u'"' + t.toString() + u'"';
    if (CanEnumerate(Type) && !Scaling.Enum.empty()) {
        for (const auto& [value, name] : Scaling.Enum)
            if (t.compare(name, Qt::CaseInsensitive) == 0) return ValueEncoding::EncodeValue(Type, QString::number(value));
        int64_t v = 0;
        if (ParseInt(t, INT64_MIN, INT64_MAX, v)) return ValueEncoding::EncodeValue(Type, t);
        refused.Error = quoted + QStringLiteral(" is none of ") + PairsText(Scaling.Enum);
        return refused;
    }
    if (CanEnumerate(Type) && !Scaling.Bits.empty()) {
        uint64_t mask = 0;
        if (t != u"-") {
            for (QStringView label : t.split(u',', Qt::SkipEmptyParts)) {
                label = label.trimmed();
                bool found = false;
                for (const auto& [bit, name] : Scaling.Bits)
                    if (label.compare(name, Qt::CaseInsensitive) == 0) {
                        mask |= uint64_t(1) << bit;
                        found = true;
                    }
                if (!found) {
                    refused.Error = u'"' + label.toString() + QStringLiteral("\" is none of the bit labels ") +
                                    BitsText(Scaling.Bits);
                    return refused;
                }
            }
        }
        return ValueEncoding::EncodeValue(Type, QStringLiteral("0x") + QString::number(mask, 16));
    }
    // The unit may be typed after the number.
    if (!Scaling.Unit.isEmpty() && t.endsWith(Scaling.Unit)) t = t.chopped(Scaling.Unit.size()).trimmed();
    double value = 0;
    if (!ParseNumber(t, value)) {
        refused.Error = quoted + QStringLiteral(" is not a number (write it with a \".\", for example 12.5)");
        return refused;
    }
    const double raw = (value - Scaling.Offset) / Scaling.Gain;
    if (IsInteger(Type)) {
        const double r = std::nearbyint(raw);
        if (!std::isfinite(r) || std::fabs(r) >= 9.2e18) {
            refused.Error = quoted + QStringLiteral(" is out of range for ") + QString::fromLatin1(Type.Name);
            return refused;
        }
        ValueEncoding::TEncoded e = ValueEncoding::EncodeValue(Type, QString::number(int64_t(r)));
        if (!e.Ok()) e.Error = quoted + QStringLiteral(" gives the raw value %1: ").arg(int64_t(r)) + e.Error;
        return e;
    }
    return ValueEncoding::EncodeValue(Type, QString::number(raw, 'g', 17));
}

QString ScalingRecord(const TScaling& Scaling)
{
    return CsvRecord({NumberText(Scaling.Gain), NumberText(Scaling.Offset), Scaling.Unit, PairsText(Scaling.Enum),
                      BitsText(Scaling.Bits)});
}

bool ScalingFromFields(QStringView Gain, QStringView Offset, QStringView Unit, QStringView Enum, QStringView Bits,
                       TScaling& Out, QString& Error)
{
    TScaling s;
    if (!Gain.trimmed().isEmpty() && (!ParseNumber(Gain, s.Gain) || s.Gain == 0)) {
        Error = QStringLiteral("gain \"%1\" is not a number other than 0").arg(Gain.toString());
        return false;
    }
    if (!Offset.trimmed().isEmpty() && !ParseNumber(Offset, s.Offset)) {
        Error = QStringLiteral("offset \"%1\" is not a number").arg(Offset.toString());
        return false;
    }
    s.Unit = Unit.trimmed().toString();
    if (!ParseEnumText(Enum, s.Enum, Error) || !ParseBitsText(Bits, s.Bits, Error)) return false;
    Out = std::move(s);
    return true;
}

bool ScalingFromRecord(QStringView Record, TScaling& Out, QString& Error)
{
    std::vector<TCsvRecord> recs;
    if (!ReadCsv(Record, u',', recs, Error)) return false;
    QStringList f = recs.empty() ? QStringList() : recs[0].Fields;
    while (f.size() < 5) f.append(QString());
    return ScalingFromFields(f[0], f[1], f[2], f[3], f[4], Out, Error);
}

} // namespace zorp
