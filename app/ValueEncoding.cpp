#include "ValueEncoding.h"

#include <QLocale>
#include <cfloat>
#include <cmath>
#include <cstring>

#include "CodePage1250.h"

namespace ValueEncoding {
namespace {

int digitValue(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9') return u - u'0';
    if (u >= u'a' && u <= u'f') return u - u'a' + 10;
    if (u >= u'A' && u <= u'F') return u - u'A' + 10;
    return -1;
}

// Digits of one base, no sign, no blanks; false when empty or beyond 64 bits.
bool parseDigits(QStringView s, int base, uint64_t& v)
{
    if (s.isEmpty()) return false;
    v = 0;
    for (QChar c : s) {
        const int d = digitValue(c);
        if (d < 0 || d >= base) return false;
        if (v > (UINT64_MAX - uint64_t(d)) / uint64_t(base)) return false;
        v = v * uint64_t(base) + uint64_t(d);
    }
    return true;
}

// The code page byte of a character, or -1.
int codePageByte(QChar c)
{
    const char16_t u = c.unicode();
    if (u < 0x80) return u;
    for (int i = 0; i < 128; ++i)
        if (zorp::kCp1250High[i] == u) return 0x80 + i;
    return -1;
}

void putValue(const TDataTypeInfo& type, uint64_t bits, uint8_t* bytes)
{
    // Value byte i (most significant first) goes to wire byte Order[i].
    for (int i = 0; i < type.ByteCount; ++i)
        bytes[type.Order[i]] = uint8_t(bits >> (8 * (type.ByteCount - 1 - i)));
}

bool refuse(QString& error, const QString& why)
{
    error = why;
    return false;
}

} // namespace

bool ParseInteger(QStringView text, bool& negative, uint64_t& magnitude, int& base)
{
    QStringView s = text.trimmed();
    negative = false;
    if (!s.isEmpty() && (s.front() == u'-' || s.front() == u'+')) {
        negative = s.front() == u'-';
        s = s.mid(1);
    }
    base = 10;
    if (s.size() > 2 && s[0] == u'0' && (s[1] == u'x' || s[1] == u'X')) {
        base = 16;
        s = s.mid(2);
    } else if (s.size() > 2 && s[0] == u'0' && (s[1] == u'b' || s[1] == u'B')) {
        base = 2;
        s = s.mid(2);
    } else if (s.size() > 1 && s[0] == u'$') {
        base = 16;
        s = s.mid(1);
    } else if (s.size() > 1 && (s.back() == u'h' || s.back() == u'H')) {
        base = 16;
        s = s.chopped(1);
    }
    return parseDigits(s, base, magnitude);
}

bool EncodeValue(const TDataTypeInfo& type, QStringView text, uint8_t* bytes, QString& error)
{
    const QStringView t = text.trimmed();
    if (t.isEmpty()) return refuse(error, QStringLiteral("Type a value"));
    bool negative = false;
    uint64_t magnitude = 0;
    int base = 10;
    const bool integer = ParseInteger(t, negative, magnitude, base);
    const QString typeName = QString::fromLatin1(type.Name);

    auto word = [&](uint64_t v) {
        bytes[0] = uint8_t(v >> 8);
        bytes[1] = uint8_t(v);
        return true;
    };
    auto registerValue = [&](bool parsed, uint64_t v) {
        if (!parsed) return refuse(error, QStringLiteral("\"%1\" is not a number for %2").arg(t.toString(), typeName));
        if (negative || v > 0xFFFF)
            return refuse(error, QStringLiteral("%1 is out of range for %2 (0 to 65535)").arg(t.toString(), typeName));
        return word(v);
    };

    switch (type.Format) {
    case TTypeFormat::RawHex: {
        uint64_t v = 0;
        if (t.size() <= 4 && parseDigits(t, 16, v)) return word(v);
        return registerValue(integer, magnitude);
    }
    case TTypeFormat::RawBin: {
        QString digits = t.toString();
        digits.remove(u' ');
        uint64_t v = 0;
        if (digits.size() <= 16 && parseDigits(digits, 2, v)) return word(v);
        return registerValue(integer, magnitude);
    }
    case TTypeFormat::RawBytes: {
        const qsizetype comma = t.indexOf(u',');
        if (comma >= 0) {
            uint64_t h = 0, l = 0;
            if (!parseDigits(t.left(comma).trimmed(), 10, h) || !parseDigits(t.mid(comma + 1).trimmed(), 10, l))
                return refuse(error, QStringLiteral("\"%1\" is not two bytes \"H,L\"").arg(t.toString()));
            if (h > 255 || l > 255) return refuse(error, QStringLiteral("Each byte of \"%1\" must be 0 to 255").arg(t.toString()));
            bytes[0] = uint8_t(h);
            bytes[1] = uint8_t(l);
            return true;
        }
        return registerValue(integer, magnitude);
    }
    case TTypeFormat::RawAscii: {
        // Blanks count here: "A " is two characters.
        if (text.size() != 2) return refuse(error, QStringLiteral("ASCII takes exactly two characters"));
        const int h = codePageByte(text[0]), l = codePageByte(text[1]);
        if (h < 0 || l < 0) return refuse(error, QStringLiteral("\"%1\" has a character outside the code page").arg(text.toString()));
        bytes[0] = uint8_t(h);
        bytes[1] = uint8_t(l);
        return true;
    }
    case TTypeFormat::Bit:
        return refuse(error, QStringLiteral("A BIT row of registers cannot be written; write it as HEX or BIN"));
    case TTypeFormat::Signed:
    case TTypeFormat::Unsigned: {
        if (!integer) return refuse(error, QStringLiteral("\"%1\" is not an integer").arg(t.toString()));
        const int bitsCount = 8 * type.ByteCount;
        const uint64_t mask = bitsCount == 64 ? UINT64_MAX : (uint64_t(1) << bitsCount) - 1;
        // Unsigned, or the bit pattern of a signed type in hexadecimal or
        // binary without a sign.
        if (type.Format == TTypeFormat::Unsigned || (base != 10 && !negative)) {
            if (negative)
                return refuse(error, QStringLiteral("%1 is negative; %2 holds 0 to %3")
                                         .arg(t.toString(), typeName, QString::number(mask)));
            if (magnitude > mask)
                return refuse(error, QStringLiteral("%1 is out of range for %2 (0 to %3)")
                                         .arg(t.toString(), typeName, QString::number(mask)));
            putValue(type, magnitude, bytes);
            return true;
        }
        const uint64_t maxPositive = mask >> 1;
        const uint64_t maxNegative = maxPositive + 1;
        if ((!negative && magnitude > maxPositive) || (negative && magnitude > maxNegative))
            return refuse(error, QStringLiteral("%1 is out of range for %2 (%3 to %4)")
                                     .arg(t.toString(), typeName, QStringLiteral("-") + QString::number(maxNegative),
                                          QString::number(maxPositive)));
        const uint64_t bits = (negative ? (0 - magnitude) : magnitude) & mask;
        putValue(type, bits, bytes);
        return true;
    }
    case TTypeFormat::Float32:
    case TTypeFormat::Float64: {
        double v = 0;
        const QString s = t.toString();
        if (s.compare(QLatin1String("NaN"), Qt::CaseInsensitive) == 0) v = std::nan("");
        else if (s.compare(QLatin1String("INF"), Qt::CaseInsensitive) == 0 || s.compare(QLatin1String("+INF"), Qt::CaseInsensitive) == 0) v = INFINITY;
        else if (s.compare(QLatin1String("-INF"), Qt::CaseInsensitive) == 0) v = -INFINITY;
        else {
            bool ok = false;
            v = QLocale::c().toDouble(s, &ok);
            if (!ok || !std::isfinite(v))
                return refuse(error, QStringLiteral("\"%1\" is not a number for %2").arg(s, typeName));
        }
        if (type.Format == TTypeFormat::Float32) {
            if (std::isfinite(v) && std::fabs(v) > double(FLT_MAX))
                return refuse(error, QStringLiteral("%1 is out of range for %2").arg(s, typeName));
            const float f = float(v);
            uint32_t b = 0;
            std::memcpy(&b, &f, 4);
            putValue(type, b, bytes);
        } else {
            uint64_t b = 0;
            std::memcpy(&b, &v, 8);
            putValue(type, b, bytes);
        }
        return true;
    }
    }
    return refuse(error, QStringLiteral("This type cannot be written"));
}

} // namespace ValueEncoding
