#pragma once
// The reverse of the value decoding: a value typed for a grid row turned
// into the wire bytes of the registers the row's data type spans, in the
// type's byte order, so that decoding those bytes shows the value typed.
#include <QString>
#include <QStringView>
#include <cstdint>

#include "ValueDecoding.h"

namespace ValueEncoding {

// An integer text: optional sign and decimal digits, or a hexadecimal
// ("0x1F", "$1F", "1Fh") or binary ("0b1010") number, either optionally
// signed; blanks around it are ignored. base tells which form it had (10,
// 16 or 2). False for anything else or a magnitude beyond 64 bits.
bool ParseInteger(QStringView text, bool& negative, uint64_t& magnitude, int& base);

// Encodes text as a value of type into bytes, the 2 * type.Rows wire bytes
// of the rows it spans (H0 L0 H1 L1 ...). Bytes the type does not cover
// (the other byte of an 8-bit type) keep what bytes held on entry. On
// refusal returns false, leaves bytes unchanged and says why in error.
//   HEX    1 to 4 hexadecimal digits, or an integer text, 0 to 65535
//   BIN    up to 16 binary digits (blanks between them allowed), or an integer text
//   BYTES  "H,L" with both 0 to 255, or an integer text 0 to 65535
//   ASCII  exactly two characters of the code page of Data [ASCII]
//   BIT    0 or 1 (a coil; a register row of this type is not written)
//   integers  an integer text in the type's range; a hexadecimal or binary
//          text of a signed type may also give its bit pattern
//   Single, Double  a decimal number ("1.5", "-2e-3"), "NaN", "INF", "-INF";
//          a Single must be within its finite range
bool EncodeValue(const TDataTypeInfo& type, QStringView text, uint8_t* bytes, QString& error);

} // namespace ValueEncoding
