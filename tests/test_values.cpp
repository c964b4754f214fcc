// SPDX-License-Identifier: GPL-3.0-or-later
// The values library: decoding from register words, the typed text to words
// encoder, its refusals, and the short type names.
#include <gtest/gtest.h>

#include <QSet>
#include <cmath>
#include <cstring>

#include "ValueAliases.h"
#include "ValueCases.h"
#include "ValueDecoding.h"
#include "ValueEncoding.h"

using namespace ValueDecoding;
using ValueEncoding::EncodeValue;

namespace {

const TDataTypeInfo& Type(const char* name)
{
    const TDataTypeInfo* t = FindDataType(QString::fromLatin1(name));
    if (!t) throw std::runtime_error(std::string("no type ") + name);
    return *t;
}

std::vector<uint16_t> Encode(const char* type, const char* text)
{
    const auto r = EncodeValue(Type(type), QString::fromUtf8(text));
    EXPECT_TRUE(r.Ok()) << type << " " << text << ": " << r.Error.toStdString();
    return r.Words;
}

} // namespace

// The words of every case decode to the tester's Value, and the Value encodes
// back to the same words; the 8-bit types leave the high byte 0.
TEST(Values, WordsDecodeAndEncodeAsTheTesterShowsThem)
{
    for (const TValueCase& c : ValueCases()) {
        const TDataTypeInfo& t = Type(c.Type);
        ASSERT_EQ(int(c.Words.size()), t.Rows) << c.Type;
        EXPECT_EQ(DecodeWords(t, c.Words.data()), QString::fromUtf8(c.Text)) << c.Type;
        const auto r = EncodeValue(t, QString::fromUtf8(c.Text));
        EXPECT_TRUE(r.Ok()) << c.Type << " " << c.Text << ": " << r.Error.toStdString();
        std::vector<uint16_t> words = c.Words;
        if (t.ByteCount == 1) words[0] &= 0x00FF;
        EXPECT_EQ(r.Words, words) << c.Type << " " << c.Text;
    }
}

// Every numeric type over values at and near its limits: encode, decode,
// compare with the canonical text.
TEST(Values, EveryNumericTypeRoundTripsItsLimits)
{
    for (int i = 0; i < DataTypeCount(); ++i) {
        const TDataTypeInfo& t = DataTypeAt(i);
        QStringList texts;
        switch (t.Format) {
        case TTypeFormat::Signed: {
            const QStringList range = ValueEncoding::RangeText(t).split(QStringLiteral(" to "));
            texts << range << QStringLiteral("0") << QStringLiteral("-1") << QStringLiteral("1") << QStringLiteral("100");
            break;
        }
        case TTypeFormat::Unsigned:
            texts << ValueEncoding::RangeText(t).split(QStringLiteral(" to ")) << QStringLiteral("1") << QStringLiteral("100");
            break;
        case TTypeFormat::Float32:
        case TTypeFormat::Float64:
            texts << QStringLiteral("0.000000") << QStringLiteral("-2.500000") << QStringLiteral("1048576.125000")
                  << QStringLiteral("INF") << QStringLiteral("-INF") << QStringLiteral("NaN");
            break;
        default:
            continue;
        }
        for (const QString& text : texts) {
            const auto r = EncodeValue(t, text);
            ASSERT_TRUE(r.Ok()) << t.Name << " " << text.toStdString() << ": " << r.Error.toStdString();
            ASSERT_EQ(int(r.Words.size()), t.Rows);
            EXPECT_EQ(DecodeWords(t, r.Words.data()), text) << t.Name;
        }
    }
}

TEST(Values, AcceptedSpellings)
{
    struct Case {
        const char* Type;
        const char* Text;
        std::vector<uint16_t> Words;
    };
    const Case cases[] = {
        {"SInt16 (SmallInt) AABB", " +7 ", {0x0007}},
        {"SInt16 (SmallInt) AABB", "-0", {0x0000}},
        {"SInt16 (SmallInt) AABB", "0xFFFE", {0xFFFE}},
        {"SInt16 (SmallInt) BBAA", "0x1234", {0x3412}},
        {"UInt8 (Byte)", "200", {0x00C8}},
        {"SInt8 (ShortInt)", "-1", {0x00FF}},
        {"UInt32 (LongWord) CCDD AABB", "0x01020304", {0x0304, 0x0102}},
        {"Single (Float) DDCC BBAA", "1e1", {0x4120, 0x0000}},
        {"Single (Float) DDCC BBAA", "+.5", {0x3F00, 0x0000}},
        {"Single (Float) DDCC BBAA", "3.4028235e38", {0x7F7F, 0xFFFF}},
        {"Double (Real) HHGG FFEE DDCC BBAA", "-0", {0x8000, 0x0000, 0x0000, 0x0000}},
        {"HEX", "a", {0x000A}},
        {"HEX", "0x0A1F", {0x0A1F}},
        {"BIN", "101", {0x0005}},
        {"BYTES", "0,65", {0x0041}},
        {"ASCII", "AB", {0x4142}},
        {"ASCII", " A", {0x2041}},
        {"ASCII", "\xC5\x81\xC4\x85", {0xA3B9}}, // Ł ą in the Data [ASCII] code page
        {"BIT", "1", {0x0001}},
    };
    for (const Case& c : cases) EXPECT_EQ(Encode(c.Type, c.Text), c.Words) << c.Type << " '" << c.Text << "'";
}

// Refusals say why, and nothing half-parsed gets through.
TEST(Values, RefusalsSayWhy)
{
    struct Case {
        const char* Type;
        const char* Text;
        const char* Says;
    };
    const Case cases[] = {
        {"UInt16 (Word) AABB", "65536", "out of range for UInt16 (Word) AABB (0 to 65535)"},
        {"UInt16 (Word) AABB", "-1", "out of range"},
        {"SInt16 (SmallInt) AABB", "32768", "(-32768 to 32767)"},
        {"SInt16 (SmallInt) AABB", "-32769", "out of range"},
        {"SInt16 (SmallInt) AABB", "0x10000", "out of range"},
        {"SInt8 (ShortInt)", "128", "(-128 to 127)"},
        {"UInt8 (Byte)", "256", "out of range"},
        {"UInt64 HHGG FFEE DDCC BBAA", "18446744073709551616", "out of range"},
        {"UInt64 HHGG FFEE DDCC BBAA", "99999999999999999999999", "out of range"},
        {"Int64 HHGG FFEE DDCC BBAA", "9223372036854775808", "out of range"},
        {"SInt32 (Integer, LongInt) AABB CCDD", "12.5", "not an integer"},
        {"SInt32 (Integer, LongInt) AABB CCDD", "1e3", "not an integer"},
        {"SInt32 (Integer, LongInt) AABB CCDD", "--1", "not an integer"},
        {"SInt32 (Integer, LongInt) AABB CCDD", "0x", "not an integer"},
        {"UInt16 (Word) AABB", "0xG1", "not a hexadecimal number"},
        {"UInt16 (Word) AABB", "", "empty"},
        {"UInt16 (Word) AABB", "   ", "empty"},
        {"Single (Float) DDCC BBAA", "1e39", "out of range for Single (Float) DDCC BBAA"},
        {"Single (Float) DDCC BBAA", "12,5", "not a number"},
        {"Single (Float) DDCC BBAA", "1.5x", "not a number"},
        {"Single (Float) DDCC BBAA", "+-1", "not a number"},
        {"Single (Float) DDCC BBAA", "0x10", "not a number"},
        {"Double (Real) HHGG FFEE DDCC BBAA", "1e400", "out of range"},
        {"Double (Real) HHGG FFEE DDCC BBAA", "\xC2\xBD", "not a number"},
        {"HEX", "12345", "hexadecimal digits"},
        {"BIN", "10102", "binary digits"},
        {"BIN", "11111111111111111", "binary digits"},
        {"BYTES", "256,0", "above 255"},
        {"BYTES", "1;2", "\"H,L\""},
        {"BYTES", "1,", "\"H,L\""},
        {"ASCII", "ABC", "two characters"},
        {"ASCII", "\xE4\xB8\xAD" "A", "Windows-1250"},
        {"BIT", "2", "0 or 1"},
    };
    for (const Case& c : cases) {
        const auto r = EncodeValue(Type(c.Type), QString::fromUtf8(c.Text));
        EXPECT_FALSE(r.Ok()) << c.Type << " '" << c.Text << "'";
        EXPECT_TRUE(r.Words.empty());
        EXPECT_TRUE(r.Error.contains(QString::fromUtf8(c.Says))) << c.Type << " '" << c.Text << "': " << r.Error.toStdString();
    }
}

// Each alias letter names the significance of the byte at that wire position,
// "a" the most significant, in every family alike.
TEST(Values, AliasLettersNameTheBytesInWireOrder)
{
    QSet<QString> seen;
    QSet<const TDataTypeInfo*> typed;
    for (const TDataTypeAlias& a : DataTypeAliases()) {
        EXPECT_FALSE(seen.contains(a.Alias)) << a.Alias.toStdString();
        seen.insert(a.Alias);
        typed.insert(a.Type);
        EXPECT_EQ(FindDataTypeOrAlias(a.Alias), a.Type);
        EXPECT_EQ(FindDataTypeOrAlias(a.Alias.toUpper()), a.Type);
        const TDataTypeInfo& t = *a.Type;
        const qsizetype colon = a.Alias.indexOf(u':');
        if (colon < 0 || t.Format == TTypeFormat::Float32 || t.Format == TTypeFormat::Float64) continue;
        // Wire byte p holds the value byte its letter names: a = 0x01, b = 0x02, ...
        const QString letters = a.Alias.mid(colon + 1);
        ASSERT_EQ(letters.size(), t.ByteCount);
        std::vector<uint16_t> words(size_t(t.Rows));
        for (int p = 0; p < t.ByteCount; ++p) {
            const int byte = letters[p].unicode() - u'a' + 1;
            words[size_t(p / 2)] |= uint16_t(p % 2 ? byte : byte << 8);
        }
        uint64_t expected = 0;
        for (int i = 1; i <= t.ByteCount; ++i) expected = expected << 8 | uint64_t(i);
        EXPECT_EQ(DecodeWords(t, words.data()), UnsignedText(expected)) << a.Alias.toStdString();
    }
    EXPECT_EQ(typed.size(), 35);
    // The floats read the letters as the integers of their size do.
    const struct {
        const char* Alias;
        const char* Name;
    } named[] = {
        {"f32:abcd", "Single (Float) DDCC BBAA"}, {"f32:cdab", "Single (Float) BBAA DDCC"},
        {"f32:dcba", "Single (Float) AABB CCDD"}, {"f64:hgfedcba", "Double (Real) AABB CCDD EEFF GGHH"},
        {"f64", "Double (Real) HHGG FFEE DDCC BBAA"}, {"u32:abcd", "UInt32 (LongWord) AABB CCDD"},
        {"u32", "UInt32 (LongWord) AABB CCDD"}, {"i32:cdab", "SInt32 (Integer, LongInt) CCDD AABB"},
        {"u16", "UInt16 (Word) AABB"}, {"i16:ba", "SInt16 (SmallInt) BBAA"}, {"i8", "SInt8 (ShortInt)"},
        {"u64:abcdefgh", "UInt64 HHGG FFEE DDCC BBAA"}, {"hex", "HEX"}, {"bit", "BIT"},
        {"Single (Float) CCDD AABB", "Single (Float) CCDD AABB"},
    };
    for (const auto& n : named) EXPECT_EQ(FindDataTypeOrAlias(QString::fromLatin1(n.Alias)), &Type(n.Name)) << n.Alias;
    for (const char* bad : {"", "u32:", "u32:abdc", "f32:acbd", "single", "u16 ", "---"})
        EXPECT_EQ(FindDataTypeOrAlias(QString::fromLatin1(bad)), nullptr) << bad;
}
