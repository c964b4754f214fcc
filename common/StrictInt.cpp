// SPDX-License-Identifier: GPL-3.0-or-later
#include "StrictInt.h"

#include <limits>

namespace zorp {

namespace {

int DigitValue(char16_t c, int base)
{
    int v = 99;
    if (c >= u'0' && c <= u'9') v = c - u'0';
    else if (c >= u'A' && c <= u'F') v = c - u'A' + 10;
    else if (c >= u'a' && c <= u'f') v = c - u'a' + 10;
    return v < base ? v : -1;
}

char16_t At(QStringView s, qsizetype i) { return s[i].unicode(); }
char16_t At(std::string_view s, size_t i) { return char16_t(static_cast<unsigned char>(s[i])); }
QStringView Tail(QStringView s, qsizetype first) { return s.mid(first); }
std::string_view Tail(std::string_view s, size_t first) { return s.substr(first); }

// Digits to a value; Valid false on a foreign character or no digit,
// Overflow true (with Valid) when the digits exceed 64 bits.
template <class View>
void Digits(View s, int base, uint64_t& out, bool& valid, bool& overflow)
{
    valid = s.size() > 0 && base >= 2 && base <= 16;
    overflow = false;
    uint64_t v = 0;
    for (decltype(s.size()) i = 0; valid && i < s.size(); ++i) {
        const int d = DigitValue(At(s, i), base);
        if (d < 0) {
            valid = false;
            break;
        }
        if (v > (std::numeric_limits<uint64_t>::max() - uint64_t(d)) / uint64_t(base)) overflow = true;
        else v = v * uint64_t(base) + uint64_t(d);
    }
    out = v;
}

template <class View>
bool DigitsOnly(View s, int base, uint64_t& out)
{
    bool valid = false, overflow = false;
    uint64_t v = 0;
    Digits(s, base, v, valid, overflow);
    if (!valid || overflow) return false;
    out = v;
    return true;
}

template <class View>
TIntResult Integer(View s, int64_t min, int64_t max, int64_t& out, unsigned syntax)
{
    using Size = decltype(s.size());
    int base = 10;
    bool negative = false;
    Size first = 0;
    if ((syntax & IntHexPrefix) && s.size() > 2 && At(s, 0) == u'0' && (At(s, 1) == u'x' || At(s, 1) == u'X')) {
        base = 16;
        first = 2;
    } else if ((syntax & IntSign) && s.size() > 0 && (At(s, 0) == u'+' || At(s, 0) == u'-')) {
        negative = At(s, 0) == u'-';
        first = 1;
    }
    bool valid = false, overflow = false;
    uint64_t mag = 0;
    Digits(Tail(s, first), base, mag, valid, overflow);
    if (!valid) return TIntResult::NotANumber;
    if (overflow) return TIntResult::OutOfRange;
    // The magnitude against the range, without overflowing int64_t.
    if (negative) {
        if (mag == 0) {
            if (min > 0 || max < 0) return TIntResult::OutOfRange;
            out = 0;
            return TIntResult::Ok;
        }
        const uint64_t limit = min >= 0 ? 0 : uint64_t(-(min + 1)) + 1;
        if (mag > limit) return TIntResult::OutOfRange;
        const int64_t v = mag == uint64_t(std::numeric_limits<int64_t>::max()) + 1 ? std::numeric_limits<int64_t>::min()
                                                                                  : -int64_t(mag);
        if (v > max) return TIntResult::OutOfRange;
        out = v;
        return TIntResult::Ok;
    }
    if (max < 0 || mag > uint64_t(max) || (min > 0 && mag < uint64_t(min))) return TIntResult::OutOfRange;
    out = int64_t(mag);
    return TIntResult::Ok;
}

} // namespace

bool ParseDigits(QStringView Text, int Base, uint64_t& Out) { return DigitsOnly(Text, Base, Out); }
bool ParseDigits(std::string_view Text, int Base, uint64_t& Out) { return DigitsOnly(Text, Base, Out); }

TIntResult ParseInteger(QStringView Text, int64_t Min, int64_t Max, int64_t& Out, unsigned Syntax)
{
    return Integer(Text, Min, Max, Out, Syntax);
}

TIntResult ParseInteger(std::string_view Text, int64_t Min, int64_t Max, int64_t& Out, unsigned Syntax)
{
    return Integer(Text, Min, Max, Out, Syntax);
}

} // namespace zorp
