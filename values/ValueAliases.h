// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Short names of the data types for command lines and scripts.
//
// A numeric type's alias is its family ("i8", "u8", "i16", "u16", "i32",
// "u32", "i64", "u64", "f32", "f64") and, from 16 bits up, a colon and one
// letter per value byte in the order the bytes come from the device (the
// register at the lowest address first, its high byte first), "a" naming the
// most significant byte: "u32:abcd" is big-endian, "u32:cdab" has its two
// registers swapped, "f64:hgfedcba" is little-endian. The letters are worked
// out from each type's byte order, so they mean the same in every family
// (the types' own names do not: "Single (Float) DDCC BBAA" is "f32:abcd").
// A family alone is its big-endian type ("u16" = "u16:ab", "f32" =
// "f32:abcd"). The raw types are "hex", "bin", "bytes", "ascii" and "bit".
#include "ValueDecoding.h"

#include <QList>
#include <QString>
#include <QStringView>

namespace ValueDecoding {

struct TDataTypeAlias {
    QString Alias;
    const TDataTypeInfo* Type;
};

// Every alias, each type's full alias in the order of the type table, then the
// families alone.
const QList<TDataTypeAlias>& DataTypeAliases();

// The full alias of a type ("u32:cdab", "i8", "hex").
QString DataTypeAlias(const TDataTypeInfo& type);

// A type by its exact name or by an alias (aliases in any case); nullptr for
// anything else.
const TDataTypeInfo* FindDataTypeOrAlias(QStringView text);

} // namespace ValueDecoding
