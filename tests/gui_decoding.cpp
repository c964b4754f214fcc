// SPDX-License-Identifier: GPL-3.0-or-later
// Value decoding: the raw register texts and every data type's Value, as pure
// functions over Data [HEX] texts.
#include <gtest/gtest.h>

#include <QSet>
#include <QStringList>
#include <cmath>
#include <cstring>
#include <limits>

#include "ValueDecoding.h"

using namespace ValueDecoding;

namespace {

// Decodes the named type from the given Data [HEX] texts.
QString decode(const char* type, const QStringList& hex)
{
    const TDataTypeInfo* t = FindDataType(QString::fromLatin1(type));
    if (!t) return QStringLiteral("<no such type>");
    if (hex.size() < t->Rows) return QStringLiteral("<too few rows>");
    QStringView views[4];
    for (int i = 0; i < t->Rows; ++i) views[i] = hex[i];
    return DecodeValue(*t, views);
}

QString hexOfFloat(float f, bool highWord)
{
    uint32_t u;
    std::memcpy(&u, &f, 4);
    return QStringLiteral("%1").arg(highWord ? u >> 16 : u & 0xFFFF, 4, 16, QChar('0')).toUpper();
}

} // namespace

TEST(DataTypes, NamesRowsAndOrderAreThoseTheEditorLists)
{
    const QStringList names = DataTypeNames();
    ASSERT_EQ(names.size(), 35);
    EXPECT_EQ(names.first(), "HEX");
    EXPECT_EQ(names[4], "BIT");
    EXPECT_EQ(names[11], "SInt32 (Integer, LongInt) AABB CCDD");
    EXPECT_EQ(names[19], "Int64 AABB CCDD EEFF GGHH");
    EXPECT_EQ(names[27], "Single (Float) AABB CCDD");
    EXPECT_EQ(names.last(), "Double (Real) HHGG FFEE DDCC BBAA");
    EXPECT_EQ(QSet<QString>(names.begin(), names.end()).size(), 35);

    // Rows: 1 for the first 11 types, 2 for 12-19 and 28-31, 4 for 20-27 and 32-35.
    for (int i = 0; i < 35; ++i) {
        const int n = i + 1;
        const int expected = (n >= 12 && n <= 19) || (n >= 28 && n <= 31) ? 2
                             : (n >= 20 && n <= 27) || n >= 32              ? 4
                                                                            : 1;
        EXPECT_EQ(DataTypeRows(names[i]), expected) << names[i].toStdString();
    }
}

TEST(DataTypes, OnlyExactNamesAreTypes)
{
    for (const char* s : {"", "---", "hex", "Hex", " HEX", "HEX ", "SInt32 (Integer, LongInt) AABB  CCDD", "BIT\n"})
        EXPECT_EQ(FindDataType(QString::fromLatin1(s)), nullptr) << s;
    EXPECT_EQ(DataTypeRows(u"---"), 0);
    ASSERT_NE(FindDataType(u"UInt8 (Byte)"), nullptr);
    EXPECT_STREQ(FindDataType(u"UInt8 (Byte)")->Name, "UInt8 (Byte)");
}

TEST(RawTexts, ByteToBinIsEightDigitsMostSignificantFirst)
{
    EXPECT_EQ(ByteToBin(5), "00000101");
    EXPECT_EQ(ByteToBin(0), "00000000");
    EXPECT_EQ(ByteToBin(0xFF), "11111111");
    EXPECT_EQ(ByteToBin(0x80), "10000000");
}

TEST(RawTexts, OneRegisterInFiveForms)
{
    TRawTexts t = RegisterRawTexts(0x0A, 0x1F);
    EXPECT_EQ(t.Hex, "0A1F");
    EXPECT_EQ(t.Bin, "00001010 00011111");
    EXPECT_EQ(t.Dec, "2591");
    EXPECT_EQ(t.Bytes, "10,31");

    t = RegisterRawTexts(0x00, 0x41);
    EXPECT_EQ(t.Hex, "0041");
    EXPECT_EQ(t.Bin, "00000000 01000001");
    EXPECT_EQ(t.Dec, "65");
    EXPECT_EQ(t.Bytes, "0,65");
    ASSERT_EQ(t.Ascii.size(), 3);
    EXPECT_EQ(t.Ascii[0].unicode(), 0);
    EXPECT_EQ(t.Ascii[1], QChar(' '));
    EXPECT_EQ(t.Ascii[2], QChar('A'));

    t = RegisterRawTexts(0xFF, 0xFF);
    EXPECT_EQ(t.Hex, "FFFF");
    EXPECT_EQ(t.Dec, "65535");
    EXPECT_EQ(t.Bytes, "255,255");
}

TEST(RawTexts, AsciiUsesWindows1250AndDrawsControlsAsDots)
{
    EXPECT_EQ(CodePageChar('A'), QChar('A'));
    EXPECT_EQ(CodePageChar(0xA3), QChar(0x0141)); // Ł
    EXPECT_EQ(CodePageChar(0xB9), QChar(0x0105)); // ą
    EXPECT_EQ(CodePageChar(0x80), QChar(0x20AC)); // €
    EXPECT_EQ(CodePageChar(0xFF), QChar(0x02D9));
    EXPECT_EQ(RegisterRawTexts(0xA5, 0xEA).Ascii, QString::fromUtf8("Ą ę"));

    EXPECT_EQ(AsciiDisplayText(RegisterRawTexts(0x00, 0x41).Ascii), ". A");
    EXPECT_EQ(AsciiDisplayText(RegisterRawTexts(0x0D, 0x0A).Ascii), ". .");
    EXPECT_EQ(AsciiDisplayText(RegisterRawTexts(0x7F, 0x81).Ascii), ". .");
    EXPECT_EQ(AsciiDisplayText(RegisterRawTexts(0x20, 0x7E).Ascii), "  ~");
}

TEST(RawTexts, HalfRegisterShowsOnlyWhatArrived)
{
    const TRawTexts t = HalfRegisterRawTexts(0x41);
    EXPECT_EQ(t.Hex, "41");
    EXPECT_EQ(t.Bin, "01000001");
    EXPECT_EQ(t.Dec, "");
    EXPECT_EQ(t.Bytes, "65");
    EXPECT_EQ(t.Ascii, "A");
    // Nothing numeric can be decoded from it.
    EXPECT_EQ(decode("UInt8 (Byte)", {t.Hex}), "");
}

TEST(HexParsing, OnlyFourHexDigitsAreARegister)
{
    uint8_t h = 0, l = 0;
    EXPECT_TRUE(ParseHexRegister(u"0A1f", h, l));
    EXPECT_EQ(h, 0x0A);
    EXPECT_EQ(l, 0x1F);
    for (const char16_t* bad : {u"", u"---", u"123", u"12345", u"12G4", u" 123", u"0x12", u"1"})
        EXPECT_FALSE(ParseHexRegister(QStringView(bad), h, l));
}

TEST(Decoding, OneRowIntegers)
{
    EXPECT_EQ(decode("SInt8 (ShortInt)", {"12FF"}), "-1");
    EXPECT_EQ(decode("UInt8 (Byte)", {"12FF"}), "255");
    EXPECT_EQ(decode("SInt8 (ShortInt)", {"FF7F"}), "127");
    EXPECT_EQ(decode("SInt8 (ShortInt)", {"0080"}), "-128");
    EXPECT_EQ(decode("SInt16 (SmallInt) AABB", {"FFFE"}), "-2");
    EXPECT_EQ(decode("UInt16 (Word) AABB", {"FFFE"}), "65534");
    EXPECT_EQ(decode("SInt16 (SmallInt) BBAA", {"FFFE"}), "-257");
    EXPECT_EQ(decode("UInt16 (Word) BBAA", {"FFFE"}), "65279");
    EXPECT_EQ(decode("SInt16 (SmallInt) AABB", {"8000"}), "-32768");
    EXPECT_EQ(decode("UInt16 (Word) AABB", {"0000"}), "0");
    EXPECT_EQ(decode("UInt16 (Word) AABB", {"00ff"}), "255");
}

TEST(Decoding, ThirtyTwoBitByteOrders)
{
    const QStringList rows = {"0102", "0304"};
    EXPECT_EQ(decode("SInt32 (Integer, LongInt) AABB CCDD", rows), "16909060");
    EXPECT_EQ(decode("SInt32 (Integer, LongInt) CCDD AABB", rows), "50594050");
    EXPECT_EQ(decode("SInt32 (Integer, LongInt) BBAA DDCC", rows), "33620995");
    EXPECT_EQ(decode("SInt32 (Integer, LongInt) DDCC BBAA", rows), "67305985");
    EXPECT_EQ(decode("UInt32 (LongWord) AABB CCDD", rows), "16909060");
    EXPECT_EQ(decode("UInt32 (LongWord) CCDD AABB", rows), "50594050");
    EXPECT_EQ(decode("UInt32 (LongWord) BBAA DDCC", rows), "33620995");
    EXPECT_EQ(decode("UInt32 (LongWord) DDCC BBAA", rows), "67305985");

    const QStringList ones = {"FFFF", "FFFF"};
    EXPECT_EQ(decode("UInt32 (LongWord) AABB CCDD", ones), "4294967295");
    for (const char* t : {"SInt32 (Integer, LongInt) AABB CCDD", "SInt32 (Integer, LongInt) CCDD AABB",
                          "SInt32 (Integer, LongInt) BBAA DDCC", "SInt32 (Integer, LongInt) DDCC BBAA"})
        EXPECT_EQ(decode(t, ones), "-1") << t;
    EXPECT_EQ(decode("SInt32 (Integer, LongInt) AABB CCDD", {"8000", "0000"}), "-2147483648");
    EXPECT_EQ(decode("SInt32 (Integer, LongInt) AABB CCDD", {"7FFF", "FFFF"}), "2147483647");
}

TEST(Decoding, SixtyFourBitByteOrdersAndExtremes)
{
    const QStringList rows = {"0102", "0304", "0506", "0708"};
    EXPECT_EQ(decode("Int64 AABB CCDD EEFF GGHH", rows), "578437695752307201");
    EXPECT_EQ(decode("Int64 GGHH EEFF CCDD AABB", rows), "144401074084972551");
    EXPECT_EQ(decode("Int64 BBAA DDCC FFEE HHGG", rows), "506660481457717506");
    EXPECT_EQ(decode("Int64 HHGG FFEE DDCC BBAA", rows), "72623859790382856");
    EXPECT_EQ(decode("UInt64 AABB CCDD EEFF GGHH", rows), "578437695752307201");
    EXPECT_EQ(decode("UInt64 GGHH EEFF CCDD AABB", rows), "144401074084972551");
    EXPECT_EQ(decode("UInt64 BBAA DDCC FFEE HHGG", rows), "506660481457717506");
    EXPECT_EQ(decode("UInt64 HHGG FFEE DDCC BBAA", rows), "72623859790382856");

    const QStringList ones = {"FFFF", "FFFF", "FFFF", "FFFF"};
    for (const char* t : {"UInt64 AABB CCDD EEFF GGHH", "UInt64 GGHH EEFF CCDD AABB", "UInt64 BBAA DDCC FFEE HHGG",
                          "UInt64 HHGG FFEE DDCC BBAA"})
        EXPECT_EQ(decode(t, ones), "18446744073709551615") << t;
    for (const char* t : {"Int64 AABB CCDD EEFF GGHH", "Int64 GGHH EEFF CCDD AABB", "Int64 BBAA DDCC FFEE HHGG",
                          "Int64 HHGG FFEE DDCC BBAA"})
        EXPECT_EQ(decode(t, ones), "-1") << t;
    EXPECT_EQ(decode("Int64 HHGG FFEE DDCC BBAA", {"8000", "0000", "0000", "0000"}), "-9223372036854775808");
    EXPECT_EQ(decode("Int64 HHGG FFEE DDCC BBAA", {"7FFF", "FFFF", "FFFF", "FFFF"}), "9223372036854775807");
    EXPECT_EQ(decode("UInt64 HHGG FFEE DDCC BBAA", {"0000", "0000", "0000", "0000"}), "0");
}

TEST(Decoding, SinglesInEveryByteOrder)
{
    EXPECT_EQ(decode("Single (Float) DDCC BBAA", {"4148", "0000"}), "12.500000");
    EXPECT_EQ(decode("Single (Float) BBAA DDCC", {"0000", "4148"}), "12.500000");
    EXPECT_EQ(decode("Single (Float) AABB CCDD", {"0000", "4841"}), "12.500000");
    EXPECT_EQ(decode("Single (Float) CCDD AABB", {"4841", "0000"}), "12.500000");
    // "Single (Float) AABB CCDD" combines the bytes as "SInt32 ... DDCC BBAA" does.
    EXPECT_EQ(decode("SInt32 (Integer, LongInt) DDCC BBAA", {"0000", "4841"}), "1095237632");
    EXPECT_EQ(decode("SInt32 (Integer, LongInt) AABB CCDD", {"4148", "0000"}), "1095237632");

    // Widened exactly: 0.1f is 0.100000001490116...
    EXPECT_EQ(decode("Single (Float) DDCC BBAA", {hexOfFloat(0.1f, true), hexOfFloat(0.1f, false)}), "0.100000");
    EXPECT_EQ(decode("Single (Float) DDCC BBAA", {hexOfFloat(-2.5f, true), hexOfFloat(-2.5f, false)}), "-2.500000");
    EXPECT_EQ(decode("Single (Float) DDCC BBAA", {hexOfFloat(16777216.0f, true), hexOfFloat(16777216.0f, false)}),
              "16777216.000000");
}

TEST(Decoding, DoublesInEveryByteOrder)
{
    EXPECT_EQ(decode("Double (Real) HHGG FFEE DDCC BBAA", {"3FF0", "0000", "0000", "0000"}), "1.000000");
    EXPECT_EQ(decode("Double (Real) AABB CCDD EEFF GGHH", {"0000", "0000", "0000", "F03F"}), "1.000000");
    EXPECT_EQ(decode("Double (Real) GGHH EEFF CCDD AABB", {"F03F", "0000", "0000", "0000"}), "1.000000");
    EXPECT_EQ(decode("Double (Real) BBAA DDCC FFEE HHGG", {"0000", "0000", "0000", "3FF0"}), "1.000000");
    // -1234.5678 = C093 4A45 6D5C FAAD
    EXPECT_EQ(decode("Double (Real) HHGG FFEE DDCC BBAA", {"C093", "4A45", "6D5C", "FAAD"}), "-1234.567800");
}

TEST(Decoding, FixedTextRules)
{
    EXPECT_EQ(FixedText(0.0), "0.000000");
    EXPECT_EQ(FixedText(-0.0), "0.000000");
    EXPECT_EQ(FixedText(-1e-9), "0.000000");
    EXPECT_EQ(FixedText(0.5), "0.500000");
    EXPECT_EQ(FixedText(2.0000005), "2.000001");
    EXPECT_EQ(FixedText(-0.0000004), "0.000000");
    EXPECT_EQ(FixedText(-0.0000006), "-0.000001");
    EXPECT_EQ(FixedText(123456789012.25), "123456789012.250000");
    EXPECT_EQ(FixedText(std::numeric_limits<double>::quiet_NaN()), "NaN");
    EXPECT_EQ(FixedText(std::numeric_limits<double>::infinity()), "INF");
    EXPECT_EQ(FixedText(-std::numeric_limits<double>::infinity()), "-INF");
    EXPECT_EQ(FixedText(1.5e20), "1.500000E+20");
    EXPECT_EQ(FixedText(-std::numeric_limits<double>::max()), "-1.797693E+308");
    EXPECT_EQ(FixedText(std::numeric_limits<double>::denorm_min()), "0.000000");

    EXPECT_EQ(decode("Single (Float) DDCC BBAA", {"7FC0", "0000"}), "NaN");
    EXPECT_EQ(decode("Single (Float) DDCC BBAA", {"7F80", "0000"}), "INF");
    EXPECT_EQ(decode("Single (Float) DDCC BBAA", {"FF80", "0000"}), "-INF");
    EXPECT_EQ(decode("Double (Real) HHGG FFEE DDCC BBAA", {"7FF8", "0000", "0000", "0001"}), "NaN");
    EXPECT_EQ(decode("Double (Real) HHGG FFEE DDCC BBAA", {"FFF0", "0000", "0000", "0000"}), "-INF");
    EXPECT_EQ(decode("Single (Float) DDCC BBAA", {"7F7F", "FFFF"}), "3.402823E+38");
}

TEST(Decoding, AnyRowWithoutFourHexDigitsGivesAnEmptyValue)
{
    EXPECT_EQ(decode("UInt16 (Word) AABB", {""}), "");
    EXPECT_EQ(decode("UInt16 (Word) AABB", {"---"}), "");
    EXPECT_EQ(decode("SInt32 (Integer, LongInt) AABB CCDD", {"0102", ""}), "");
    EXPECT_EQ(decode("UInt64 HHGG FFEE DDCC BBAA", {"0102", "0304", "0506", "07"}), "");
    EXPECT_EQ(decode("Double (Real) HHGG FFEE DDCC BBAA", {"---", "0000", "0000", "0000"}), "");
    // The raw and bit types are not numbers.
    EXPECT_EQ(decode("HEX", {"0102"}), "");
    EXPECT_EQ(decode("BIT", {"0102"}), "");
}

TEST(Decoding, NumberTexts)
{
    EXPECT_EQ(SignedText(0), "0");
    EXPECT_EQ(SignedText(-7), "-7");
    EXPECT_EQ(SignedText(std::numeric_limits<int64_t>::min()), "-9223372036854775808");
    EXPECT_EQ(UnsignedText(std::numeric_limits<uint64_t>::max()), "18446744073709551615");
    EXPECT_EQ(UnsignedText(100), "100");
}
