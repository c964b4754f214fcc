// SPDX-License-Identifier: GPL-3.0-or-later
#include "Profile.h"

#include "PollOptions.h"
#include "ValueDecoding.h"

std::vector<TPollRow> ProfileRows(const TProfile& profile, long rows, bool bits)
{
    std::vector<TPollRow> out;
    long r = 0;
    while (r < rows) {
        const QString text = size_t(r) < profile.DataTypes.size() ? profile.DataTypes[size_t(r)] : QString();
        const TDataTypeInfo* type = ValueDecoding::FindDataType(text);
        if (!type) {
            ++r;
            continue;
        }
        TPollRow row;
        row.Offset = int(r);
        row.Type = type;
        row.Description = size_t(r) < profile.Descriptions.size() ? profile.Descriptions[size_t(r)] : QString();
        const long span = bits ? 1 : type->Rows;
        row.Decodable = r + span <= rows;
        out.push_back(row);
        r += row.Decodable ? span : 1;
    }
    return out;
}
