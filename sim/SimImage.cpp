// SPDX-License-Identifier: GPL-3.0-or-later
#include "SimImage.h"

#include <algorithm>

namespace zorp::sim {

using namespace zorp::slave;

bool TableFromName(QStringView name, Table& out)
{
    static const struct { const char* n; Table t; } names[] = {
        {"coils", Table::Coils},       {"discrete", Table::Discrete}, {"inputs", Table::Inputs},
        {"holding", Table::Holding},   {"coil", Table::Coils},        {"input", Table::Inputs},
        {"registers", Table::Holding},
    };
    for (const auto& n : names)
        if (name.compare(QLatin1String(n.n), Qt::CaseInsensitive) == 0) {
            out = n.t;
            return true;
        }
    return false;
}

QString TableName(Table t)
{
    switch (t) {
    case Table::Coils: return QStringLiteral("coils");
    case Table::Discrete: return QStringLiteral("discrete");
    case Table::Inputs: return QStringLiteral("inputs");
    case Table::Holding: break;
    }
    return QStringLiteral("holding");
}

uint16_t UnitImage::Word(Table t, uint16_t a) const
{
    switch (t) {
    case Table::Coils: return coils[a];
    case Table::Discrete: return discrete[a];
    case Table::Inputs: return inputs[a];
    case Table::Holding: break;
    }
    return holding[a];
}

void UnitImage::SetWord(Table t, uint16_t a, uint16_t v)
{
    switch (t) {
    case Table::Coils: coils[a] = v != 0; break;
    case Table::Discrete: discrete[a] = v != 0; break;
    case Table::Inputs: inputs[a] = v; break;
    case Table::Holding: holding[a] = v; break;
    }
}

Served ServeRequest(UnitImage& img, const Request& r, Framing framing, uint8_t unit, uint16_t tid,
                    const DeviceIdentity& id, bool answer, std::span<uint8_t> out)
{
    Images images;
    images.coils = img.coils;
    images.discrete = img.discrete;
    images.inputs = img.inputs;
    images.holding = img.holding;
    const QByteArray* objects[kDeviceIdObjects] = {&id.vendor, &id.product, &id.revision};
    for (size_t k = 0; k < kDeviceIdObjects; ++k)
        images.deviceId[k] = {reinterpret_cast<const uint8_t*>(objects[k]->constData()), size_t(objects[k]->size())};
    Served s = Serve(images, r, framing, unit, tid, out);
    if (s.wrote) {
        auto& marks = (r.fc == 5 || r.fc == 15) ? img.coilWritten : img.holdingWritten;
        for (uint32_t k = 0; k < s.count && uint32_t(s.address) + k < kImageSize; ++k)
            marks[s.address + k] = true;
        ++img.writes;
    }
    if (!answer)
        s.length = 0;
    return s;
}

} // namespace zorp::sim
