// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Register words and the Value the tester shows for them under a data type:
// the tester's own decoding expectations, as words, for the tests of the
// values library and of zorp-poll, which must agree with them.
#include <cstdint>
#include <vector>

struct TValueCase {
    const char* Type;            // exact type name
    std::vector<uint16_t> Words; // the registers, lowest address first
    const char* Text;            // the Value text
};

inline const std::vector<TValueCase>& ValueCases()
{
    static const std::vector<TValueCase> cases = {
        {"HEX", {0x0A1F}, "0A1F"},
        {"BIN", {0x0A1F}, "00001010 00011111"},
        {"BYTES", {0x0A1F}, "10,31"},
        {"ASCII", {0x4142}, "A B"},
        {"SInt8 (ShortInt)", {0x12FF}, "-1"},
        {"UInt8 (Byte)", {0x12FF}, "255"},
        {"SInt8 (ShortInt)", {0x0080}, "-128"},
        {"SInt16 (SmallInt) AABB", {0xFFFE}, "-2"},
        {"UInt16 (Word) AABB", {0xFFFE}, "65534"},
        {"SInt16 (SmallInt) BBAA", {0xFFFE}, "-257"},
        {"UInt16 (Word) BBAA", {0xFFFE}, "65279"},
        {"SInt16 (SmallInt) AABB", {0x8000}, "-32768"},
        {"SInt32 (Integer, LongInt) AABB CCDD", {0x0102, 0x0304}, "16909060"},
        {"SInt32 (Integer, LongInt) CCDD AABB", {0x0102, 0x0304}, "50594050"},
        {"SInt32 (Integer, LongInt) BBAA DDCC", {0x0102, 0x0304}, "33620995"},
        {"SInt32 (Integer, LongInt) DDCC BBAA", {0x0102, 0x0304}, "67305985"},
        {"UInt32 (LongWord) AABB CCDD", {0x0102, 0x0304}, "16909060"},
        {"UInt32 (LongWord) CCDD AABB", {0x0102, 0x0304}, "50594050"},
        {"UInt32 (LongWord) BBAA DDCC", {0x0102, 0x0304}, "33620995"},
        {"UInt32 (LongWord) DDCC BBAA", {0x0102, 0x0304}, "67305985"},
        {"UInt32 (LongWord) AABB CCDD", {0xFFFF, 0xFFFF}, "4294967295"},
        {"SInt32 (Integer, LongInt) CCDD AABB", {0xFFFF, 0xFFFF}, "-1"},
        {"SInt32 (Integer, LongInt) AABB CCDD", {0x8000, 0x0000}, "-2147483648"},
        {"Int64 AABB CCDD EEFF GGHH", {0x0102, 0x0304, 0x0506, 0x0708}, "578437695752307201"},
        {"Int64 GGHH EEFF CCDD AABB", {0x0102, 0x0304, 0x0506, 0x0708}, "144401074084972551"},
        {"Int64 BBAA DDCC FFEE HHGG", {0x0102, 0x0304, 0x0506, 0x0708}, "506660481457717506"},
        {"Int64 HHGG FFEE DDCC BBAA", {0x0102, 0x0304, 0x0506, 0x0708}, "72623859790382856"},
        {"UInt64 AABB CCDD EEFF GGHH", {0x0102, 0x0304, 0x0506, 0x0708}, "578437695752307201"},
        {"UInt64 GGHH EEFF CCDD AABB", {0x0102, 0x0304, 0x0506, 0x0708}, "144401074084972551"},
        {"UInt64 BBAA DDCC FFEE HHGG", {0x0102, 0x0304, 0x0506, 0x0708}, "506660481457717506"},
        {"UInt64 HHGG FFEE DDCC BBAA", {0x0102, 0x0304, 0x0506, 0x0708}, "72623859790382856"},
        {"UInt64 HHGG FFEE DDCC BBAA", {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF}, "18446744073709551615"},
        {"Int64 BBAA DDCC FFEE HHGG", {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF}, "-1"},
        {"Int64 HHGG FFEE DDCC BBAA", {0x8000, 0x0000, 0x0000, 0x0000}, "-9223372036854775808"},
        {"Single (Float) DDCC BBAA", {0x4148, 0x0000}, "12.500000"},
        {"Single (Float) BBAA DDCC", {0x0000, 0x4148}, "12.500000"},
        {"Single (Float) AABB CCDD", {0x0000, 0x4841}, "12.500000"},
        {"Single (Float) CCDD AABB", {0x4841, 0x0000}, "12.500000"},
        {"Single (Float) DDCC BBAA", {0xC020, 0x0000}, "-2.500000"},
        {"Single (Float) DDCC BBAA", {0x7F80, 0x0000}, "INF"},
        {"Single (Float) DDCC BBAA", {0xFF80, 0x0000}, "-INF"},
        {"Double (Real) HHGG FFEE DDCC BBAA", {0x3FF0, 0x0000, 0x0000, 0x0000}, "1.000000"},
        {"Double (Real) AABB CCDD EEFF GGHH", {0x0000, 0x0000, 0x0000, 0xF03F}, "1.000000"},
        {"Double (Real) GGHH EEFF CCDD AABB", {0xF03F, 0x0000, 0x0000, 0x0000}, "1.000000"},
        {"Double (Real) BBAA DDCC FFEE HHGG", {0x0000, 0x0000, 0x0000, 0x3FF0}, "1.000000"},
        {"Double (Real) HHGG FFEE DDCC BBAA", {0xC093, 0x4A45, 0x6D5C, 0xFAAD}, "-1234.567800"},
    };
    return cases;
}
