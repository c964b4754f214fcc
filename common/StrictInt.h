// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Strict integers: a whole text is a number or it is not. No blanks, no
// trailing junk, no silent wrap: every integer typed in a field, read from a
// settings file or given on a command line goes through here.
#include <QStringView>
#include <cstdint>
#include <string_view>

namespace zorp {

// Digits in Base (2 to 16, letters in either case) to an unsigned value:
// false on an empty text, any other character, or more than 64 bits.
bool ParseDigits(QStringView Text, int Base, uint64_t& Out);
bool ParseDigits(std::string_view Text, int Base, uint64_t& Out);

// What a text may hold besides decimal digits.
enum TIntSyntax : unsigned {
    IntDigitsOnly = 0,
    IntSign = 1,      // one '+' or '-' in front
    IntHexPrefix = 2, // "0x" or "0X" and hexadecimal digits (a bit pattern, no sign)
};

enum class TIntResult { Ok, NotANumber, OutOfRange };

// The whole Text as an integer within [Min, Max]. A text of digits only that
// lies outside the range (however long) is OutOfRange; anything else that
// is not the syntax is NotANumber. Out is set only on Ok.
TIntResult ParseInteger(QStringView Text, int64_t Min, int64_t Max, int64_t& Out, unsigned Syntax = IntSign);
TIntResult ParseInteger(std::string_view Text, int64_t Min, int64_t Max, int64_t& Out, unsigned Syntax = IntSign);

inline bool ParseInt(QStringView Text, int64_t Min, int64_t Max, int64_t& Out, unsigned Syntax = IntSign)
{
    return ParseInteger(Text, Min, Max, Out, Syntax) == TIntResult::Ok;
}
inline bool ParseInt(std::string_view Text, int64_t Min, int64_t Max, int64_t& Out, unsigned Syntax = IntSign)
{
    return ParseInteger(Text, Min, Max, Out, Syntax) == TIntResult::Ok;
}

} // namespace zorp
