// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// zorp-slave --map FILE: the points of a register map served with the
// values the map starts them at (the value column, an engineering value
// encoded through the point's type and scaling; 0 when empty).
#include <QString>
#include <cstdint>
#include <vector>

struct TSlaveImages {
    std::vector<uint16_t>& Registers;
    std::vector<uint16_t>& Inputs;
    std::vector<bool>& Coils;
    std::vector<bool>& Discrete;
};

// False with Error when the map cannot be read or a value not encoded.
bool ApplyRegisterMap(const QString& FileName, TSlaveImages Images, QString& Error);
