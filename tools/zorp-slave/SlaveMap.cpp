// SPDX-License-Identifier: GPL-3.0-or-later
#include "SlaveMap.h"

#include "RegisterMap.h"
#include "StrictInt.h"

using namespace zorp;

bool ApplyRegisterMap(const QString& FileName, TSlaveImages Images, QString& Error)
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
            (p.Function == 1 ? Images.Coils : Images.Discrete)[wire] = bit != 0;
            continue;
        }
        const TDataTypeInfo* type = p.Type ? p.Type : ValueDecoding::FindDataType(u"UInt16 (Word) AABB");
        const ValueEncoding::TEncoded e = p.Scaling.Empty() ? ValueEncoding::EncodeValue(*type, value)
                                                            : EncodeEngineering(*type, value, p.Scaling);
        if (!e.Ok()) return fail(e.Error);
        std::vector<uint16_t>& image = p.Function == 3 ? Images.Registers : Images.Inputs;
        for (size_t k = 0; k < e.Words.size(); ++k) image[wire + k] = e.Words[k];
    }
    return true;
}
