// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What a read asks for and what a recorded value belongs to: a register (or
// coil, or input) of one unit, read with one function, decoded as one type.
#include <cstdint>

struct TDataTypeInfo;

// A read: its function (1 to 4; 0 none), unit (0 to 255; -1 none) and first
// address in the user's numbering, modulo 65536 (-1 none; 65536 and 0 both
// stand for the last wire address).
struct TReadSource {
    int Func = 0;
    int Unit = -1;
    int Start = -1;
    bool Valid() const { return Func > 0 && Unit >= 0 && Start >= 0; }
    bool operator==(const TReadSource&) const = default;
    // The user's address of row Row (1-based), modulo 65536.
    int AddressOf(int Row) const { return (Start + Row - 1) & 0xFFFF; }
    // The row (1-based) of Address (modulo 65536) in this read.
    int RowOfAddress(int Address) const { return ((Address - Start) & 0xFFFF) + 1; }
};

struct TRegisterKey {
    int Unit = -1;
    int Func = 0;
    int Address = -1; // the user's numbering, modulo 65536
    const TDataTypeInfo* Type = nullptr;
    bool operator==(const TRegisterKey&) const = default;
};
