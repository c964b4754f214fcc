// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A settings profile of the tester (".zvst") as a read set-up: the read
// (start, length, unit, function), the rows' data types and descriptions,
// and the rows' engineering values (the section [Scaling], row = record).
// zorp-poll and the tester's poll windows read profiles through it.
#include <QString>
#include <map>
#include <string>
#include <vector>

#include "Scaling.h"

struct TProfile {
    long Start = 1;
    long Length = 1;
    long SlaveID = 1;
    long Function = 3;
    std::vector<QString> DataTypes;    // row 1 first
    std::vector<QString> Descriptions; // row 1 first
    // Rows with an engineering value (records that cannot be read are left out).
    std::map<int, zorp::TScaling> Scaling;
};

// Reads the profile as the tester loads it: missing keys take the tester's
// defaults; the function is one of the four texts of the tester's function
// box, letter case ignored. False with a message saying which key is wrong
// (or that the file cannot be read).
bool ReadProfile(const QString& fileName, TProfile& out, std::string& error);
