// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Register maps: the named points of a device in a CSV file of ZORP's own.
//
// The first record names the columns (any order, any letter case; unknown
// columns are left alone): address (required), function, name, type, gain,
// offset, unit, enum, bits, description, value. The address column may say
// its notation after a colon ("address:modicon", "address:wire-hex"; plain
// "address" is the register + 1). Records whose first field begins with '#'
// are comments. The separator is ',' or, when the header holds none but a
// ';', ';'.
//
// A Modicon address names its table; otherwise the function column does
// (1 coils, 2 discrete inputs, 3 holding registers, 4 input registers; 3
// when empty). The type is one of the 35 type names or an alias (empty: no
// type, the plain register). Gain, offset, unit, enum ("0=Stopped;1=Running")
// and bits ("0=Alarm;3=Door") are the point's engineering value; value is
// the engineering value a simulated device starts with.
#include <QString>
#include <QStringView>
#include <cstdint>
#include <vector>

#include "AddressNotation.h"
#include "Scaling.h"

namespace zorp {

struct TMapPoint {
    int Function = 3;       // the read function: 1 to 4
    int64_t Address = 1;    // 1 to 65536, the register + 1
    QString Name;
    const TDataTypeInfo* Type = nullptr; // nullptr: no type (one plain register or bit)
    TScaling Scaling;
    QString Description;
    QString Value;          // the starting engineering value, or empty
    int Line = 0;           // where the file gives it
    // Registers (or bits) the point spans.
    int Span() const { return Type && Function >= 3 ? Type->Rows : 1; }
};

struct TRegisterMap {
    std::vector<TMapPoint> Points;
};

// False with Error ("line N: ...") on a map that cannot be read whole.
bool ReadRegisterMap(QStringView Text, TRegisterMap& Out, QString& Error);
bool LoadRegisterMap(const QString& FileName, TRegisterMap& Out, QString& Error);
// The map as a file with the addresses in Notation, lines ending in CR LF.
QString WriteRegisterMap(const TRegisterMap& Map, TAddressNotation Notation);

// One read: Count items of Function from Start, and the points it covers.
struct TMapBlock {
    int Function = 3;
    int64_t Start = 1;
    int Count = 0;
    std::vector<size_t> Points; // indices into the map's points
};

// The fewest reads that cover every point: points of one function, in
// address order, share a read while it stays within MaxRegisters (functions
// 3 and 4) or MaxBits (1 and 2) and the gap between them is at most MaxGap
// items (addresses the map does not name are not asked for by default).
std::vector<TMapBlock> PlanReads(const TRegisterMap& Map, int MaxRegisters, int MaxBits, int MaxGap = 0);

} // namespace zorp
