// SPDX-License-Identifier: GPL-3.0-or-later
// Address notations on arbitrary text: whatever reads as an address is in
// range, and the address written in the same notation reads back to itself.
//
// Input: a control byte (notation and function), then the text as UTF-8.
#include "AddressNotation.h"
#include "FuzzSupport.h"

using namespace zorp;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || size > 256) return 0;
    const uint8_t control = data[0];
    const TAddressNotation n{TAddressBase(control % 3), (control & 0x08) != 0};
    const int function = control >> 4 & 7; // 0 (none) to 7, 5 and 6 write
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
    const TAddressText r = ParseAddress(text, function, n);
    ZORP_FUZZ_CHECK(r.Ok == r.Error.isEmpty());
    if (!r.Ok) return 0;
    ZORP_FUZZ_CHECK(r.Address >= 1 && r.Address <= 65536);
    if (function >= 1 && function != 7) {
        const QString shown = FormatAddress(r.Address, function, n);
        const TAddressText back = ParseAddress(shown, function, n);
        ZORP_FUZZ_CHECK(back.Ok && back.Address == r.Address);
    }
    ZORP_FUZZ_CHECK(NotationFromKey(NotationKey(n)) == n);
    return 0;
}
