// SPDX-License-Identifier: GPL-3.0-or-later
#include "SlaveMap.h"

#include "RegisterMap.h"
#include "StrictInt.h"

using namespace zorp;

bool RegisterMapEntries(const QString& FileName, std::vector<Demo::Entry>& Entries, QString& Error)
{
    TRegisterMap map;
    if (!LoadRegisterMap(FileName, map, Error)) return false;
    for (const TMapPoint& p : map.Points) {
        const size_t wire = size_t(p.Address - 1);
        const QString value = p.Value.isEmpty() ? QStringLiteral("0") : p.Value;
        auto fail = [&](const QString& why) {
            Error = QStringLiteral("%1, line %2: %3").arg(FileName).arg(p.Line).arg(why);
            return false;
        };
        if (p.Function <= 2) {
            int64_t bit = 0;
            if (!ParseInt(value, 0, 1, bit, IntDigitsOnly)) return fail(QStringLiteral("a coil or input is 0 or 1"));
            Entries.push_back({p.Function == 1 ? sim::Table::Coils : sim::Table::Discrete, uint16_t(wire), uint16_t(bit)});
            continue;
        }
        const TDataTypeInfo* type = p.Type ? p.Type : ValueDecoding::FindDataType(u"UInt16 (Word) AABB");
        const ValueEncoding::TEncoded e = p.Scaling.Empty() ? ValueEncoding::EncodeValue(*type, value)
                                                            : EncodeEngineering(*type, value, p.Scaling);
        if (!e.Ok()) return fail(e.Error);
        if (wire + e.Words.size() > 65536) return fail(QStringLiteral("the value runs past the last register"));
        const sim::Table table = p.Function == 3 ? sim::Table::Holding : sim::Table::Inputs;
        for (size_t k = 0; k < e.Words.size(); ++k) Entries.push_back({table, uint16_t(wire + k), e.Words[k]});
    }
    return true;
}
