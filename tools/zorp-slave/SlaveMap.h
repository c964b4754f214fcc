// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// zorp-slave --map FILE: the points of a register map served with the
// values the map starts them at (the value column, an engineering value
// encoded through the point's type and scaling; 0 when empty).
#include <QString>
#include <vector>

#include "Demo.h"

// The map's starting values as entries of the four tables, added to Entries.
// False with Error when the map cannot be read or a value not encoded.
bool RegisterMapEntries(const QString& FileName, std::vector<Demo::Entry>& Entries, QString& Error);
