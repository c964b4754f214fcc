// SPDX-License-Identifier: GPL-3.0-or-later
// Strict integers and CSV, as every front end reads and writes them.
#include "Csv.h"
#include "StrictInt.h"

#include <gtest/gtest.h>

using namespace zorp;

TEST(StrictInt, WholeTextOrNothing)
{
    struct Case {
        const char* text;
        unsigned syntax;
        int64_t min, max;
        TIntResult result;
        int64_t value;
    };
    const Case cases[] = {
        {"12", IntSign, 0, 100, TIntResult::Ok, 12},
        {"-2147483648", IntSign, INT32_MIN, INT32_MAX, TIntResult::Ok, INT32_MIN},
        {"2147483648", IntSign, INT32_MIN, INT32_MAX, TIntResult::OutOfRange, 0},
        {"-9223372036854775808", IntSign, INT64_MIN, INT64_MAX, TIntResult::Ok, INT64_MIN},
        {"99999999999999999999999", IntSign, 0, 10, TIntResult::OutOfRange, 0},
        {"-0", IntSign, 0, 10, TIntResult::Ok, 0},
        {"-1", IntSign, 0, 10, TIntResult::OutOfRange, 0},
        {"+5", IntDigitsOnly, 0, 10, TIntResult::NotANumber, 0},
        {" 5", IntSign, 0, 10, TIntResult::NotANumber, 0},
        {"5 ", IntSign, 0, 10, TIntResult::NotANumber, 0},
        {"", IntSign, 0, 10, TIntResult::NotANumber, 0},
        {"-", IntSign, 0, 10, TIntResult::NotANumber, 0},
        {"1e3", IntSign, 0, 10000, TIntResult::NotANumber, 0},
        {"0x1A0", IntHexPrefix, 0, 65535, TIntResult::Ok, 0x1A0},
        {"0xffff", IntHexPrefix, 0, 65535, TIntResult::Ok, 0xFFFF},
        {"0x10000", IntHexPrefix, 0, 65535, TIntResult::OutOfRange, 0},
        {"0x", IntHexPrefix, 0, 65535, TIntResult::NotANumber, 0},
        {"0x1A0", IntSign, 0, 65535, TIntResult::NotANumber, 0},
        {"\xd9\xa3", IntSign, 0, 10, TIntResult::NotANumber, 0}, // an Arabic-Indic digit
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        int64_t q = -7, s = -7;
        EXPECT_EQ(ParseInteger(QString::fromUtf8(c.text), c.min, c.max, q, c.syntax), c.result);
        EXPECT_EQ(ParseInteger(std::string_view(c.text), c.min, c.max, s, c.syntax), c.result);
        EXPECT_EQ(q, c.result == TIntResult::Ok ? c.value : -7);
        EXPECT_EQ(s, q);
    }
}

TEST(Csv, WritesAndReadsBackEveryField)
{
    const QStringList fields = {"plain", "a,b", "semi;colon", "say \"hi\"", "two\r\nlines", " blank", "", "\t"};
    EXPECT_EQ(CsvRecord(fields), "plain,\"a,b\",\"semi;colon\",\"say \"\"hi\"\"\",\"two\r\nlines\",\" blank\",,\"\t\"");
    for (QChar sep : {QChar(u','), QChar(u';'), QChar(u'\t')}) {
        const QString text = CsvRecord(fields, sep) + "\r\n" + CsvRecord({"x", "y"}, sep) + "\n\n" +
                             CsvRecord({"z"}, sep);
        std::vector<TCsvRecord> recs;
        QString error;
        ASSERT_TRUE(ReadCsv(text, sep, recs, error)) << error.toStdString();
        ASSERT_EQ(recs.size(), 3u);
        EXPECT_EQ(recs[0].Fields, fields);
        EXPECT_EQ(recs[1].Fields, QStringList({"x", "y"}));
        EXPECT_EQ(recs[1].Line, 3);
        EXPECT_EQ(recs[2].Line, 5);
    }
}

TEST(Csv, MalformedTextNamesTheLine)
{
    const std::pair<const char*, const char*> cases[] = {
        {"a,b\n\"open,c\nd", "line 2: a quoted field is never closed"},
        {"a\n\"x\"y,z", "line 2: text after a closing quote"},
    };
    for (const auto& [text, message] : cases) {
        std::vector<TCsvRecord> recs;
        QString error;
        EXPECT_FALSE(ReadCsv(QString::fromUtf8(text), u',', recs, error));
        EXPECT_EQ(error, QString::fromUtf8(message));
        EXPECT_EQ(recs.size(), 1u);
    }
}
