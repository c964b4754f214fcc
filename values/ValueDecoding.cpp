// SPDX-License-Identifier: GPL-3.0-or-later
#include "ValueDecoding.h"
#include "CodePage1250.h"

#include <algorithm>
#include <charconv>
#include <QHash>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

using F = TTypeFormat;

// Byte orders, most significant first; indices into H0 L0 H1 L1 H2 L2 H3 L3.
#define ORD1(a) {a, 0, 0, 0, 0, 0, 0, 0}
#define ORD2(a, b) {a, b, 0, 0, 0, 0, 0, 0}
#define ORD4(a, b, c, d) {a, b, c, d, 0, 0, 0, 0}

const TDataTypeInfo kTypes[] = {
    {"HEX", 1, F::RawHex, 0, ORD1(0)},
    {"BIN", 1, F::RawBin, 0, ORD1(0)},
    {"BYTES", 1, F::RawBytes, 0, ORD1(0)},
    {"ASCII", 1, F::RawAscii, 0, ORD1(0)},
    {"BIT", 1, F::Bit, 0, ORD1(0)},
    {"SInt8 (ShortInt)", 1, F::Signed, 1, ORD1(1)},
    {"UInt8 (Byte)", 1, F::Unsigned, 1, ORD1(1)},
    {"SInt16 (SmallInt) AABB", 1, F::Signed, 2, ORD2(0, 1)},
    {"SInt16 (SmallInt) BBAA", 1, F::Signed, 2, ORD2(1, 0)},
    {"UInt16 (Word) AABB", 1, F::Unsigned, 2, ORD2(0, 1)},
    {"UInt16 (Word) BBAA", 1, F::Unsigned, 2, ORD2(1, 0)},
    {"SInt32 (Integer, LongInt) AABB CCDD", 2, F::Signed, 4, ORD4(0, 1, 2, 3)},
    {"SInt32 (Integer, LongInt) CCDD AABB", 2, F::Signed, 4, ORD4(2, 3, 0, 1)},
    {"SInt32 (Integer, LongInt) BBAA DDCC", 2, F::Signed, 4, ORD4(1, 0, 3, 2)},
    {"SInt32 (Integer, LongInt) DDCC BBAA", 2, F::Signed, 4, ORD4(3, 2, 1, 0)},
    {"UInt32 (LongWord) AABB CCDD", 2, F::Unsigned, 4, ORD4(0, 1, 2, 3)},
    {"UInt32 (LongWord) CCDD AABB", 2, F::Unsigned, 4, ORD4(2, 3, 0, 1)},
    {"UInt32 (LongWord) BBAA DDCC", 2, F::Unsigned, 4, ORD4(1, 0, 3, 2)},
    {"UInt32 (LongWord) DDCC BBAA", 2, F::Unsigned, 4, ORD4(3, 2, 1, 0)},
    {"Int64 AABB CCDD EEFF GGHH", 4, F::Signed, 8, {7, 6, 5, 4, 3, 2, 1, 0}},
    {"Int64 GGHH EEFF CCDD AABB", 4, F::Signed, 8, {1, 0, 3, 2, 5, 4, 7, 6}},
    {"Int64 BBAA DDCC FFEE HHGG", 4, F::Signed, 8, {6, 7, 4, 5, 2, 3, 0, 1}},
    {"Int64 HHGG FFEE DDCC BBAA", 4, F::Signed, 8, {0, 1, 2, 3, 4, 5, 6, 7}},
    {"UInt64 AABB CCDD EEFF GGHH", 4, F::Unsigned, 8, {7, 6, 5, 4, 3, 2, 1, 0}},
    {"UInt64 GGHH EEFF CCDD AABB", 4, F::Unsigned, 8, {1, 0, 3, 2, 5, 4, 7, 6}},
    {"UInt64 BBAA DDCC FFEE HHGG", 4, F::Unsigned, 8, {6, 7, 4, 5, 2, 3, 0, 1}},
    {"UInt64 HHGG FFEE DDCC BBAA", 4, F::Unsigned, 8, {0, 1, 2, 3, 4, 5, 6, 7}},
    {"Single (Float) AABB CCDD", 2, F::Float32, 4, ORD4(3, 2, 1, 0)},
    {"Single (Float) CCDD AABB", 2, F::Float32, 4, ORD4(1, 0, 3, 2)},
    {"Single (Float) BBAA DDCC", 2, F::Float32, 4, ORD4(2, 3, 0, 1)},
    {"Single (Float) DDCC BBAA", 2, F::Float32, 4, ORD4(0, 1, 2, 3)},
    {"Double (Real) AABB CCDD EEFF GGHH", 4, F::Float64, 8, {7, 6, 5, 4, 3, 2, 1, 0}},
    {"Double (Real) GGHH EEFF CCDD AABB", 4, F::Float64, 8, {1, 0, 3, 2, 5, 4, 7, 6}},
    {"Double (Real) BBAA DDCC FFEE HHGG", 4, F::Float64, 8, {6, 7, 4, 5, 2, 3, 0, 1}},
    {"Double (Real) HHGG FFEE DDCC BBAA", 4, F::Float64, 8, {0, 1, 2, 3, 4, 5, 6, 7}},
};
constexpr int kTypeCount = int(sizeof(kTypes) / sizeof(kTypes[0]));
static_assert(kTypeCount == 35);

#undef ORD1
#undef ORD2
#undef ORD4


const char kHexDigits[] = "0123456789ABCDEF";

// Writes the decimal digits of v ending just before `end`; returns the first.
char16_t* WriteDecimal(char16_t* end, uint64_t v)
{
    do {
        *--end = char16_t(u'0' + v % 10);
        v /= 10;
    } while (v != 0);
    return end;
}

int HexValue(char16_t c)
{
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    return -1;
}

void WriteBin(char16_t* out, uint8_t b)
{
    for (int i = 0; i < 8; ++i) out[i] = (b & (0x80 >> i)) ? u'1' : u'0';
}

const QHash<QStringView, int>& TypeIndex()
{
    // Keys view the names kept alive in `names`.
    static const QStringList names = ValueDecoding::DataTypeNames();
    static const QHash<QStringView, int> index = [] {
        QHash<QStringView, int> h;
        for (int i = 0; i < kTypeCount; ++i) h.insert(QStringView(names[i]), i);
        return h;
    }();
    return index;
}

} // namespace

namespace ValueDecoding {

int DataTypeCount() { return kTypeCount; }

const TDataTypeInfo& DataTypeAt(int index)
{
    if (index < 0 || index >= kTypeCount) index = 0;
    return kTypes[index];
}

QStringList DataTypeNames()
{
    QStringList out;
    out.reserve(kTypeCount);
    for (const auto& t : kTypes) out << QString::fromLatin1(t.Name);
    return out;
}

const TDataTypeInfo* FindDataType(QStringView name)
{
    // The shortest name has 3 characters, the longest 35: a quick length test
    // keeps empty and odd texts away from the hash.
    if (name.size() < 3 || name.size() > 35) return nullptr;
    const auto& index = TypeIndex();
    auto it = index.constFind(name);
    return it == index.constEnd() ? nullptr : &kTypes[it.value()];
}

int DataTypeRows(QStringView name)
{
    const TDataTypeInfo* t = FindDataType(name);
    return t ? t->Rows : 0;
}

QString ByteToBin(uint8_t B)
{
    char16_t buf[8];
    WriteBin(buf, B);
    return QString(reinterpret_cast<const QChar*>(buf), 8);
}

QChar CodePageChar(uint8_t b)
{
    return QChar(b < 0x80 ? char16_t(b) : zorp::kCp1250High[b - 0x80]);
}

static bool IsDrawnAsDot(char16_t c)
{
    return c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0);
}

QString AsciiDisplayText(const QString& cellText)
{
    bool any = false;
    for (QChar c : cellText) {
        if (IsDrawnAsDot(c.unicode())) { any = true; break; }
    }
    if (!any) return cellText;
    QString out = cellText;
    for (QChar& c : out) {
        if (IsDrawnAsDot(c.unicode())) c = u'.';
    }
    return out;
}

namespace {

void SetHexByte(TTextBuf& t, uint8_t b)
{
    t.Data[t.Size++] = char16_t(kHexDigits[b >> 4]);
    t.Data[t.Size++] = char16_t(kHexDigits[b & 15]);
}

void SetDecimal(TTextBuf& t, uint64_t v)
{
    char16_t tmp[24];
    char16_t* end = tmp + 24;
    char16_t* p = WriteDecimal(end, v);
    const int n = int(end - p);
    std::memcpy(t.Data + t.Size, p, size_t(n) * sizeof(char16_t));
    t.Size += n;
}

QString ToQString(const TTextBuf& t) { return QString(reinterpret_cast<const QChar*>(t.Data), t.Size); }

TRawTexts ToRawTexts(const TRawChars& c)
{
    return {ToQString(c.Hex), ToQString(c.Bin), ToQString(c.Dec), ToQString(c.Bytes), ToQString(c.Ascii)};
}

} // namespace

void RegisterRawChars(uint8_t H, uint8_t L, TRawChars& out)
{
    out.Hex.Size = 0;
    SetHexByte(out.Hex, H);
    SetHexByte(out.Hex, L);

    WriteBin(out.Bin.Data, H);
    out.Bin.Data[8] = u' ';
    WriteBin(out.Bin.Data + 9, L);
    out.Bin.Size = 17;

    out.Dec.Size = 0;
    SetDecimal(out.Dec, uint64_t(H) * 256 + L);

    out.Bytes.Size = 0;
    SetDecimal(out.Bytes, H);
    out.Bytes.Data[out.Bytes.Size++] = u',';
    SetDecimal(out.Bytes, L);

    out.Ascii.Data[0] = CodePageChar(H).unicode();
    out.Ascii.Data[1] = u' ';
    out.Ascii.Data[2] = CodePageChar(L).unicode();
    out.Ascii.Size = 3;
}

void HalfRegisterRawChars(uint8_t H, TRawChars& out)
{
    out.Hex.Size = 0;
    SetHexByte(out.Hex, H);
    WriteBin(out.Bin.Data, H);
    out.Bin.Size = 8;
    out.Dec.Size = 0;
    out.Bytes.Size = 0;
    SetDecimal(out.Bytes, H);
    out.Ascii.Data[0] = CodePageChar(H).unicode();
    out.Ascii.Size = 1;
}

TRawTexts RegisterRawTexts(uint8_t H, uint8_t L)
{
    TRawChars c;
    RegisterRawChars(H, L, c);
    return ToRawTexts(c);
}

TRawTexts HalfRegisterRawTexts(uint8_t H)
{
    TRawChars c;
    HalfRegisterRawChars(H, c);
    return ToRawTexts(c);
}

bool ParseHexRegister(QStringView text, uint8_t& H, uint8_t& L)
{
    if (text.size() != 4) return false;
    const char16_t* s = text.utf16();
    int d[4];
    for (int i = 0; i < 4; ++i) {
        d[i] = HexValue(s[i]);
        if (d[i] < 0) return false;
    }
    H = uint8_t(d[0] << 4 | d[1]);
    L = uint8_t(d[2] << 4 | d[3]);
    return true;
}

QString SignedText(int64_t v)
{
    char16_t buf[24];
    char16_t* end = buf + 24;
    // The magnitude of INT64_MIN is taken in unsigned arithmetic.
    uint64_t mag = v < 0 ? uint64_t(0) - uint64_t(v) : uint64_t(v);
    char16_t* p = WriteDecimal(end, mag);
    if (v < 0) *--p = u'-';
    return QString(reinterpret_cast<const QChar*>(p), end - p);
}

QString UnsignedText(uint64_t v)
{
    char16_t buf[24];
    char16_t* end = buf + 24;
    char16_t* p = WriteDecimal(end, v);
    return QString(reinterpret_cast<const QChar*>(p), end - p);
}

static void FixedChars(double v, TTextBuf& out)
{
    out.Size = 0;
    const char* special = std::isnan(v) ? "NaN" : std::isinf(v) ? (v < 0 ? "-INF" : "INF") : nullptr;
    char buf[64];
    const char* text = buf;
    int n;
    if (special) {
        text = special;
        n = int(std::strlen(special));
    } else if (std::fabs(v) >= 1e18) {
        // to_chars with a precision prints exactly what printf's "%.6E"
        // prints (in lower case), several times faster.
        const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific, 6);
        n = r.ec == std::errc() ? int(r.ptr - buf) : 0;
        for (int i = 0; i < n; ++i)
            if (buf[i] == 'e') buf[i] = 'E';
    } else {
        // Exactly printf's "%.6f".
        const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 6);
        n = r.ec == std::errc() ? int(r.ptr - buf) : 0;
        // "-0.000000" would claim a sign for a value that shows as zero.
        // to_chars writes no terminating zero: only the n characters it
        // wrote may be looked at.
        if (n > 0 && buf[0] == '-' && std::all_of(buf + 1, buf + n, [](char c) { return c == '0' || c == '.'; })) {
            ++text;
            --n;
        }
    }
    // to_chars always writes "." as the separator.
    if (n < 0) n = 0;
    n = std::min(n, int(sizeof out.Data / sizeof out.Data[0]));
    for (int i = 0; i < n; ++i) out.Data[i] = char16_t(uint8_t(text[i]));
    out.Size = n;
}

QString FixedText(double v)
{
    TTextBuf t;
    FixedChars(v, t);
    return ToQString(t);
}

static uint64_t WireBits(const TDataTypeInfo& type, const uint8_t* wire)
{
    uint64_t raw = 0;
    for (int i = 0; i < type.ByteCount; ++i) raw = raw << 8 | wire[type.Order[i] & 7];
    return raw;
}

// Decodes a numeric type from the wire bytes of its rows (H0 L0 H1 L1 ...).
static void DecodeWireChars(const TDataTypeInfo& type, const uint8_t* wire, TTextBuf& out)
{
    const uint64_t raw = WireBits(type, wire);

    switch (type.Format) {
    case TTypeFormat::Unsigned:
        SetDecimal(out, raw);
        return;
    case TTypeFormat::Signed: {
        const int bits = type.ByteCount * 8;
        const uint64_t sign = uint64_t(1) << (bits - 1);
        if (raw & sign) {
            // The magnitude of a negative value in unsigned arithmetic, which
            // also holds for the most negative one.
            const uint64_t mask = bits == 64 ? ~uint64_t(0) : (sign << 1) - 1;
            out.Data[out.Size++] = u'-';
            SetDecimal(out, (~raw & mask) + 1);
        } else {
            SetDecimal(out, raw);
        }
        return;
    }
    case TTypeFormat::Float32: {
        uint32_t u = uint32_t(raw);
        float f;
        std::memcpy(&f, &u, sizeof f);
        FixedChars(double(f), out);
        return;
    }
    case TTypeFormat::Float64: {
        double d;
        std::memcpy(&d, &raw, sizeof d);
        FixedChars(d, out);
        return;
    }
    default:
        return;
    }
}

static bool IsNumericType(const TDataTypeInfo& type)
{
    return type.ByteCount >= 1 && type.ByteCount <= 8 && type.Rows >= 1 && type.Rows <= 4;
}

void DecodeValueChars(const TDataTypeInfo& type, const QStringView* hexTexts, TTextBuf& out)
{
    out.Size = 0;
    if (!IsNumericType(type)) return;
    uint8_t wire[8] = {};
    for (int r = 0; r < type.Rows; ++r) {
        if (!ParseHexRegister(hexTexts[r], wire[2 * r], wire[2 * r + 1])) return;
    }
    DecodeWireChars(type, wire, out);
}

uint64_t WordsToBits(const TDataTypeInfo& type, const uint16_t* words)
{
    if (!IsNumericType(type) || type.Format == TTypeFormat::Bit || type.Format < TTypeFormat::Signed) return 0;
    uint8_t wire[8] = {};
    for (int r = 0; r < type.Rows; ++r) {
        wire[2 * r] = uint8_t(words[r] >> 8);
        wire[2 * r + 1] = uint8_t(words[r]);
    }
    return WireBits(type, wire);
}

QString DecodeWords(const TDataTypeInfo& type, const uint16_t* words)
{
    const uint8_t H = uint8_t(words[0] >> 8), L = uint8_t(words[0]);
    switch (type.Format) {
    case TTypeFormat::RawHex: return RegisterRawTexts(H, L).Hex;
    case TTypeFormat::RawBin: return RegisterRawTexts(H, L).Bin;
    case TTypeFormat::RawBytes: return RegisterRawTexts(H, L).Bytes;
    case TTypeFormat::RawAscii: return RegisterRawTexts(H, L).Ascii;
    case TTypeFormat::Bit: return QString();
    default: break;
    }
    TTextBuf t;
    if (IsNumericType(type)) {
        uint8_t wire[8] = {};
        for (int r = 0; r < type.Rows; ++r) {
            wire[2 * r] = uint8_t(words[r] >> 8);
            wire[2 * r + 1] = uint8_t(words[r]);
        }
        DecodeWireChars(type, wire, t);
    }
    return ToQString(t);
}

QString DecodeValue(const TDataTypeInfo& type, const QStringView* hexTexts)
{
    TTextBuf t;
    DecodeValueChars(type, hexTexts, t);
    return ToQString(t);
}

} // namespace ValueDecoding
