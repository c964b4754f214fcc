// SPDX-License-Identifier: GPL-3.0-or-later
#include "ValueEncoding.h"
#include "CodePage1250.h"
#include "StrictInt.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

namespace ValueEncoding {
namespace {

using F = TTypeFormat;

TEncoded Refuse(QString message)
{
    TEncoded r;
    r.Error = std::move(message);
    return r;
}

QString Quoted(QStringView text) { return u'"' + text.toString() + u'"'; }

QString TypeName(const TDataTypeInfo& type) { return QString::fromLatin1(type.Name); }

using zorp::ParseDigits;

bool HasHexPrefix(QStringView s) { return s.size() > 2 && s[0] == u'0' && (s[1] == u'x' || s[1] == u'X'); }

// The value's bytes, most significant first, into the wire bytes of its rows.
std::vector<uint16_t> PlaceBytes(const TDataTypeInfo& type, uint64_t raw)
{
    uint8_t wire[8] = {};
    for (int i = type.ByteCount - 1; i >= 0; --i) {
        wire[type.Order[i] & 7] = uint8_t(raw);
        raw >>= 8;
    }
    std::vector<uint16_t> words(size_t(type.Rows));
    for (int r = 0; r < type.Rows; ++r) words[size_t(r)] = uint16_t(wire[2 * r] << 8 | wire[2 * r + 1]);
    return words;
}

TEncoded Accept(std::vector<uint16_t> words)
{
    TEncoded r;
    r.Words = std::move(words);
    return r;
}

TEncoded EncodeInteger(const TDataTypeInfo& type, QStringView s)
{
    const int bits = type.ByteCount * 8;
    const uint64_t mask = bits == 64 ? ~uint64_t(0) : (uint64_t(1) << bits) - 1;
    const bool isSigned = type.Format == F::Signed;
    const QString outOfRange = Quoted(s) + QStringLiteral(" is out of range for ") + TypeName(type) + QStringLiteral(" (") + RangeText(type) + u')';
    uint64_t v = 0;
    if (HasHexPrefix(s)) {
        // A bit pattern: any value that fits the type's bytes.
        if (!ParseDigits(s.mid(2), 16, v)) return Refuse(Quoted(s) + QStringLiteral(" is not a hexadecimal number"));
        if (v & ~mask) return Refuse(outOfRange);
        return Accept(PlaceBytes(type, v));
    }
    bool negative = false;
    QStringView digits = s;
    if (!digits.isEmpty() && (digits[0] == u'-' || digits[0] == u'+')) {
        negative = digits[0] == u'-';
        digits = digits.mid(1);
    }
    if (!ParseDigits(digits, 10, v)) {
        // Digits beyond 64 bits are a number still, only too large.
        bool allDigits = !digits.isEmpty();
        for (QChar c : digits) allDigits = allDigits && c.isDigit() && c.unicode() < 128;
        return Refuse(allDigits ? outOfRange : Quoted(s) + QStringLiteral(" is not an integer"));
    }
    if (negative && v == 0) return Accept(PlaceBytes(type, 0));
    if (isSigned) {
        const uint64_t maxPositive = mask >> 1;
        if (negative ? v > maxPositive + 1 : v > maxPositive) return Refuse(outOfRange);
        const uint64_t pattern = negative ? (uint64_t(0) - v) & mask : v;
        return Accept(PlaceBytes(type, pattern));
    }
    if (negative || v > mask) return Refuse(outOfRange);
    return Accept(PlaceBytes(type, v));
}

TEncoded EncodeFloat(const TDataTypeInfo& type, QStringView s)
{
    const QString notNumber = Quoted(s) + QStringLiteral(" is not a number (write it with a \".\", for example 12.5)");
    std::string latin;
    latin.reserve(size_t(s.size()));
    for (QChar c : s) {
        if (c.unicode() > 127) return Refuse(notNumber);
        latin.push_back(char(c.unicode()));
    }
    const char* first = latin.data();
    const char* last = first + latin.size();
    bool negative = false;
    if (first != last && (*first == '+' || *first == '-')) {
        negative = *first == '-';
        ++first;
    }
    // A sign only in front of the number; from_chars would take a second one.
    if (first == last || *first == '+' || *first == '-') return Refuse(notNumber);
    double d = 0;
    const auto r = std::from_chars(first, last, d, std::chars_format::general);
    if (r.ptr != last) return Refuse(notNumber);
    const QString outOfRange = Quoted(s) + QStringLiteral(" is out of range for ") + TypeName(type) + QStringLiteral(" (") + RangeText(type) + u')';
    if (r.ec == std::errc::result_out_of_range) return Refuse(outOfRange);
    if (r.ec != std::errc()) return Refuse(notNumber);
    if (negative) d = -d;
    uint64_t raw;
    if (type.Format == F::Float32) {
        const float f = float(d);
        if (std::isfinite(d) && !std::isfinite(f)) return Refuse(outOfRange);
        uint32_t u;
        std::memcpy(&u, &f, sizeof u);
        raw = u;
    } else {
        std::memcpy(&raw, &d, sizeof raw);
    }
    return Accept(PlaceBytes(type, raw));
}

QString Compact(QStringView s)
{
    QString out;
    for (QChar c : s)
        if (!c.isSpace()) out += c;
    return out;
}

// The byte of a character in the Data [ASCII] code page, or -1.
int CodePageByte(QChar c)
{
    const char16_t u = c.unicode();
    if (u < 0x80) return u;
    for (int i = 0; i < 128; ++i)
        if (zorp::kCp1250High[i] == u) return 0x80 + i;
    return -1;
}

TEncoded EncodeRaw(const TDataTypeInfo& type, QStringView s)
{
    switch (type.Format) {
    case F::RawHex: {
        QStringView digits = HasHexPrefix(s) ? s.mid(2) : s;
        uint64_t v;
        if (digits.size() > 4 || !ParseDigits(digits, 16, v))
            return Refuse(Quoted(s) + QStringLiteral(" is not one to four hexadecimal digits"));
        return Accept({uint16_t(v)});
    }
    case F::RawBin: {
        const QString digits = Compact(s);
        uint64_t v;
        if (digits.size() > 16 || !ParseDigits(digits, 2, v))
            return Refuse(Quoted(s) + QStringLiteral(" is not up to sixteen binary digits"));
        return Accept({uint16_t(v)});
    }
    case F::RawBytes: {
        const QString text = Compact(s);
        const qsizetype comma = text.indexOf(u',');
        uint64_t h, l;
        if (comma < 0 || comma > 3 || text.size() - comma - 1 > 3
            || !ParseDigits(QStringView(text).left(comma), 10, h)
            || !ParseDigits(QStringView(text).mid(comma + 1), 10, l))
            return Refuse(Quoted(s) + QStringLiteral(" is not two bytes written as \"H,L\""));
        if (h > 255 || l > 255) return Refuse(Quoted(s) + QStringLiteral(" has a byte above 255"));
        return Accept({uint16_t(h << 8 | l)});
    }
    case F::RawAscii: {
        // The cell's own form "A B" or the two characters alone.
        int h = -1, l = -1;
        if (s.size() == 2) {
            h = CodePageByte(s[0]);
            l = CodePageByte(s[1]);
        } else if (s.size() == 3 && s[1] == u' ') {
            h = CodePageByte(s[0]);
            l = CodePageByte(s[2]);
        } else {
            return Refuse(Quoted(s) + QStringLiteral(" is not two characters"));
        }
        if (h < 0 || l < 0) return Refuse(Quoted(s) + QStringLiteral(" has a character outside the Windows-1250 code page"));
        return Accept({uint16_t(h << 8 | l)});
    }
    case F::Bit:
        if (s == QStringLiteral("0") || s == QStringLiteral("1")) return Accept({uint16_t(s == QStringLiteral("1"))});
        return Refuse(Quoted(s) + QStringLiteral(" is not a bit (0 or 1)"));
    default:
        return Refuse(QStringLiteral("the type ") + TypeName(type) + QStringLiteral(" cannot be written"));
    }
}

} // namespace

TEncoded EncodeValue(const TDataTypeInfo& type, QStringView text)
{
    // A blank is a character of the ASCII type ("A B", " A"): its text is
    // trimmed only when it is too long to be a pair without that.
    QStringView s = text;
    if (type.Format != F::RawAscii || s.size() > 3) s = s.trimmed();
    if (s.isEmpty()) return Refuse(QStringLiteral("an empty text is not a value of ") + TypeName(type));
    switch (type.Format) {
    case F::Signed:
    case F::Unsigned:
        if (type.ByteCount < 1 || type.ByteCount > 8) break;
        return EncodeInteger(type, s);
    case F::Float32:
    case F::Float64:
        return EncodeFloat(type, s);
    default:
        return EncodeRaw(type, s);
    }
    return Refuse(QStringLiteral("the type ") + TypeName(type) + QStringLiteral(" cannot be written"));
}

QString RangeText(const TDataTypeInfo& type)
{
    const int bits = type.ByteCount * 8;
    switch (type.Format) {
    case F::Signed: {
        if (bits < 8 || bits > 64) return QString();
        const uint64_t maxPositive = (bits == 64 ? ~uint64_t(0) : (uint64_t(1) << bits) - 1) >> 1;
        return u'-' + ValueDecoding::UnsignedText(maxPositive + 1) + QStringLiteral(" to ") + ValueDecoding::UnsignedText(maxPositive);
    }
    case F::Unsigned:
        if (bits < 8 || bits > 64) return QString();
        return QStringLiteral("0 to ") + ValueDecoding::UnsignedText(bits == 64 ? ~uint64_t(0) : (uint64_t(1) << bits) - 1);
    case F::Float32:
        return QStringLiteral("-3.402823E+38 to 3.402823E+38");
    case F::Float64:
        return QStringLiteral("-1.797693E+308 to 1.797693E+308");
    default:
        return QString();
    }
}

} // namespace ValueEncoding
