// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// How an address is written: as the register number plus one (the 1-based
// numbers the tester has always shown), as the register on the wire
// (0-based), or in the Modicon way, where a leading digit names the table
// (0 coils, 1 discrete inputs, 3 input registers, 4 holding registers) and
// the rest is the 1-based number: 40001, or six digits (400001 to 465536)
// where four would not do. Each in decimal or hexadecimal.
//
// Addresses here are the engine's: 1-based, 1 to 65536 (the wire address
// plus one).
#include <QString>
#include <QStringView>
#include <cstdint>

namespace zorp {

enum class TAddressBase { PlusOne, Wire, Modicon };

struct TAddressNotation {
    TAddressBase Base = TAddressBase::PlusOne;
    bool Hex = false;
    bool IsDesigned() const { return Base == TAddressBase::PlusOne && !Hex; }
    bool operator==(const TAddressNotation&) const = default;
};

// Key texts, as stored in settings: "plus1", "wire", "modicon", with
// "-hex" for hexadecimal. Unknown text reads as the designed notation.
QString NotationKey(TAddressNotation Notation);
TAddressNotation NotationFromKey(QStringView Key);
// For menus: "Register + 1", "Register as on the wire (0-based)", "Modicon (40001)".
QString NotationTitle(TAddressBase Base);

// The Modicon table digit of a function (0, 1, 3 or 4), -1 for functions
// without one; the read function of a table digit, 0 for none.
int ModiconTable(int Function);
int ReadFunctionOfTable(int Table);

// Address (1 to 65536) as the notation writes it for Function.
QString FormatAddress(int64_t Address, int Function, TAddressNotation Notation);

struct TAddressText {
    bool Ok = false;
    int64_t Address = 0; // 1 to 65536
    int Table = -1;      // the Modicon table written, -1 when none
    QString Error;       // a sentence without a full stop
};

// Text in the notation for Function back to an address. "0x1A0" and "1A0h"
// are hexadecimal in any notation; in a hexadecimal notation plain digits
// are hexadecimal too. A Modicon number must name Function's table (any
// table when Function is 0).
TAddressText ParseAddress(QStringView Text, int Function, TAddressNotation Notation);

// A number with an explicit hexadecimal form ("0x1A0", "1a0h"): true with
// Value set, false for any other text.
bool ParseHexForm(QStringView Text, uint64_t& Value);

// A Modicon text (five or six decimal digits, or in hexadecimal the table
// digit and at least four hexadecimal digits): its table and 1-based number.
bool ParseModicon(QStringView Text, bool Hex, int& Table, int64_t& Number);

} // namespace zorp
