// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Several values written in one request, as a user types them: the words of
// a list of typed values (function 16, or one value for function 06) and the
// bits of a coil pattern (functions 05 and 15). The tester's Write dialog and
// zorp-poll --write read the same texts the same way.
#include "ValueEncoding.h"

#include <QString>
#include <QStringView>
#include <vector>

namespace ValueEncoding {

// Values of one type separated by commas ("12.5,-2"), each encoded by
// EncodeValue, their words in order. A BYTES value is itself "H,L": the
// items pair up ("10,31,0,65" is two registers). Refused as a whole, with
// the reason of the first refused value, when any value is refused.
TEncoded EncodeValueList(const TDataTypeInfo& type, QStringView text);

struct TEncodedBits {
    // One flag per coil, the coil at the lowest address first; empty when
    // the text was refused.
    std::vector<bool> Bits;
    // Why the text was refused (a sentence without a full stop), else empty.
    QString Error;
    bool Ok() const { return Error.isEmpty(); }
};

// A coil pattern: "0101" sets the coils at the address and the three above
// it to off, on, off, on. Bits may be separated by commas or blanks
// ("0,1,0,1", "0 1 0 1"); anything but 0 and 1 is refused.
TEncodedBits EncodeBitPattern(QStringView text);

} // namespace ValueEncoding
