// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A settings profile of the tester (".zvst"): what zorp-poll reads of it.
#include <vector>

#include "ProfileFile.h"

struct TPollRow;
struct TDataTypeInfo;
// The rows the tester's Value column fills for a grid of `rows` rows typed
// so: after a register read each typed row spans its type's registers, and
// rows it spans are passed over whatever they hold; after a bit read every
// typed row stands alone. "---", empty and unknown texts give no row.
std::vector<TPollRow> ProfileRows(const TProfile& profile, long rows, bool bits);
