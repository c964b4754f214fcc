// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The inverse of value decoding: a typed text to the register words that
// decode back to it under the same data type (type and byte order are one
// entry of the type table).
//
// Accepted texts, blanks around them ignored:
//   integer types   decimal with an optional sign ("-1234", "+7"), or the bit
//                   pattern in hexadecimal ("0xFFFF"), which must fit the
//                   type's bytes; anything outside the type's range is refused
//   Single, Double  a decimal number with "." ("12.5", "-1e-3"), "NaN", "INF",
//                   "-INF"; a finite number beyond the type's range is refused
//   HEX             one to four hexadecimal digits, "0x" allowed ("0A1F")
//   BIN             up to sixteen binary digits, blanks ignored
//                   ("00001010 00011111")
//   BYTES           the high and low byte in decimal, "H,L" ("10,31")
//   ASCII           two characters of the Data [ASCII] code page, with or
//                   without a blank between them ("AB", "A B")
//   BIT             "0" or "1" (the word 0 or 1)
// SInt8 and UInt8 fill the low byte of the register and leave the high one 0.
#include "ValueDecoding.h"

#include <QString>
#include <QStringView>
#include <cstdint>
#include <vector>

namespace ValueEncoding {

struct TEncoded {
    // type.Rows register words, the one for the lowest address first; empty
    // when the text was refused.
    std::vector<uint16_t> Words;
    // Why the text was refused, as a sentence without a full stop; empty when
    // it was accepted.
    QString Error;
    bool Ok() const { return Error.isEmpty(); }
};

TEncoded EncodeValue(const TDataTypeInfo& type, QStringView text);

// The range a type accepts, for messages and hints: "-32768 to 32767",
// "0 to 4294967295", "±3.402823E+38"; empty for the raw types.
QString RangeText(const TDataTypeInfo& type);

} // namespace ValueEncoding
