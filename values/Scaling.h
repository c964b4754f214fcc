// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Engineering values: a register's value as the quantity it stands for.
// A gain and an offset turn the decoded number into the engineering value
// (value = raw * Gain + Offset), shown with a unit: "230.1 V". An integer
// type may instead name its values (an enumeration: 1 is "Running") or its
// bits (bit 3 is "Door open").
//
// Written the other way, an engineering text goes back to the raw value
// the type encodes: for an integer type (raw = (value - Offset) / Gain,
// rounded to the nearest integer), a name of the enumeration or a list of
// bit labels.
#include <QString>
#include <QStringView>
#include <cstdint>
#include <utility>
#include <vector>

#include "ValueEncoding.h"

namespace zorp {

struct TScaling {
    double Gain = 1;
    double Offset = 0;
    QString Unit;
    std::vector<std::pair<int64_t, QString>> Enum; // value, its name
    std::vector<std::pair<int, QString>> Bits;     // bit 0 to 63, its label
    bool Empty() const { return Gain == 1 && Offset == 0 && Unit.isEmpty() && Enum.empty() && Bits.empty(); }
    bool operator==(const TScaling&) const = default;
};

// "0=Stopped;1=Running" and "0=Alarm;3=Door open": pairs separated by ';'.
QString PairsText(const std::vector<std::pair<int64_t, QString>>& Pairs);
bool ParseEnumText(QStringView Text, std::vector<std::pair<int64_t, QString>>& Out, QString& Error);
QString BitsText(const std::vector<std::pair<int, QString>>& Bits);
bool ParseBitsText(QStringView Text, std::vector<std::pair<int, QString>>& Out, QString& Error);

// A number as the engineering value writes it: up to ten significant
// digits, no exponent below 1e15, "." as the decimal point.
QString NumberText(double Value);
// A number typed by the user ("." as the point, an optional exponent).
bool ParseNumber(QStringView Text, double& Value);

// Whether a type can carry a scaling (the numeric ones), and an
// enumeration or bit labels (the integer ones).
bool CanScale(const TDataTypeInfo& Type);
bool CanEnumerate(const TDataTypeInfo& Type);

// What the Value column shows for Type.Rows register words; empty when the
// scaling does not apply to the type.
QString EngineeringText(const TDataTypeInfo& Type, const uint16_t* Words, const TScaling& Scaling);

// The number the words stand for: the value Type decodes, or with a
// Scaling that is not empty its engineering value (Gain and Offset
// applied; an enumeration's or bit labels' integer as it is). This, not
// the Value text (units, names), is what charts and value logs record.
// False for the types that hold no number (raw and text types, BIT).
bool ValueNumber(const TDataTypeInfo& Type, const uint16_t* Words, const TScaling* Scaling, double& Out);

// The words that give Text as the engineering value, or why not.
ValueEncoding::TEncoded EncodeEngineering(const TDataTypeInfo& Type, QStringView Text, const TScaling& Scaling);

// The scaling as one CSV record (gain, offset, unit, enumeration, bits) and
// back, as profiles store it.
QString ScalingRecord(const TScaling& Scaling);
bool ScalingFromRecord(QStringView Record, TScaling& Out, QString& Error);
// Fields of the record read one at a time (maps keep them in columns).
bool ScalingFromFields(QStringView Gain, QStringView Offset, QStringView Unit, QStringView Enum, QStringView Bits,
                       TScaling& Out, QString& Error);

} // namespace zorp
