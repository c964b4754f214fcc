// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A settings profile of the tester (".zvst"): what zorp-poll reads of it.
#include <QString>
#include <string>
#include <vector>

struct TProfile {
    long Start = 1;
    long Length = 1;
    long SlaveID = 1;
    long Function = 3;
    std::vector<QString> DataTypes;    // row 1 first
    std::vector<QString> Descriptions; // row 1 first
};

// Reads the profile as the tester loads it: missing keys take the tester's
// defaults; the function is one of the four texts of the tester's function
// box, letter case ignored. False with a message saying which key is wrong
// (or that the file cannot be read).
bool ReadProfile(const QString& fileName, TProfile& out, std::string& error);

struct TPollRow;
struct TDataTypeInfo;
// The rows the tester's Value column fills for a grid of `rows` rows typed
// so: after a register read each typed row spans its type's registers, and
// rows it spans are passed over whatever they hold; after a bit read every
// typed row stands alone. "---", empty and unknown texts give no row.
std::vector<TPollRow> ProfileRows(const TProfile& profile, long rows, bool bits);
