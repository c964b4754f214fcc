// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Value generators: a register run (or one bit) whose value follows a
// function of time. The text form is the command line's:
//
//   [TABLE:]ADDRESS=KIND[,period=SECONDS][,min=A][,max=B][,amplitude=X]
//                       [,offset=Y][,type=NAME][,seed=N][,unit=N]
//
// TABLE is holding (the default), inputs, coils or discrete; ADDRESS the
// wire address (the first register of a typed value); KIND one of
//   counter   min, min+1, ... max, then min again, one step per period
//   sawtooth  min to max in a straight line over one period, then back to min
//   ramp      min to max over the first half period, down again over the second
//   sine      (min+max)/2 + (max-min)/2 * sin(2 pi t / period)
//   square    max for the first half of each period, min for the second
//   random    a value in min..max drawn anew every period, the same for the
//             same seed and period number (repeatable)
// amplitude and offset are another way of writing min = offset - amplitude,
// max = offset + amplitude. Defaults: period 10 (counter 1), min 0, max 100
// (bits: max 1), type u16 (any of the 35 type names or their aliases), seed
// 1, every unit. A bit is on when the value lies in the upper half of min..max.
#include <QString>
#include <cstdint>

#include "SimImage.h"

namespace zorp::sim {

enum class GeneratorKind { Counter, Sawtooth, Ramp, Sine, Square, Random };

struct Generator {
    Table table = Table::Holding;
    uint16_t address = 0;
    GeneratorKind kind = GeneratorKind::Sine;
    double period = 10;
    double min = 0;
    double max = 100;
    const TDataTypeInfo* type = nullptr; // nullptr: u16
    uint64_t seed = 1;
    int unit = -1; // -1: every unit
    QString text;  // as given
};

// Parses the text form; on failure returns false and says why in `error`.
bool ParseGenerator(const QString& text, Generator& out, QString& error);
// The generator's value t seconds after its start.
double GeneratorValue(const Generator& g, double t);
// Writes the value at time t into the image: a bit, or the type's words
// (a value outside the type's range is held at its nearest end).
void ApplyGenerator(const Generator& g, double t, UnitImage& image);

} // namespace zorp::sim
