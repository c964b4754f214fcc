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

namespace {

void MarkWritten(std::array<bool, kImageSize>& marks, uint32_t a, uint32_t q)
{
    for (uint32_t k = 0; k < q && a + k < kImageSize; ++k)
        marks[a + k] = true;
}

} // namespace

Served ServeRequest(UnitImage& img, const Request& r, Framing framing, uint8_t unit, uint16_t tid,
                    const DeviceIdentity& id, bool answer, std::span<uint8_t> out)
{
    Served s;
    if (r.verdict == Verdict::Refused) {
        s.refused = true;
        s.exception = r.exceptionCode;
        if (answer)
            s.length = BuildExceptionAnswer(framing, unit, tid, r.fc, r.exceptionCode, out);
        return s;
    }
    if (r.verdict != Verdict::Accepted)
        return s;
    size_t n = 0;
    switch (r.fc) {
    case 1:
    case 2: {
        uint8_t packed[kMaxReadCoils / 8 + 1];
        const size_t m = PackCoilBits(r.fc == 1 ? std::span<const bool>(img.coils) : std::span<const bool>(img.discrete),
                                      r.a, r.w, packed);
        n = BuildReadCoilsAnswer(framing, unit, tid, {packed, m}, out, r.fc);
        break;
    }
    case 3:
        n = BuildReadRegistersAnswer(framing, unit, tid, img.holding, r.a, r.w, out, 3);
        break;
    case 4:
        n = BuildReadRegistersAnswer(framing, unit, tid, img.inputs, r.a, r.w, out, 4);
        break;
    case 5:
        img.coils[r.a] = r.w == 0xFF00;
        MarkWritten(img.coilWritten, r.a, 1);
        s = {0, true, r.a, 1, false, 0};
        n = BuildEchoAnswer(framing, unit, tid, r.fc, r.a, r.w, out);
        break;
    case 6:
    case 102:
        img.holding[r.a] = r.w;
        MarkWritten(img.holdingWritten, r.a, 1);
        s = {0, true, r.a, 1, false, 0};
        n = BuildEchoAnswer(framing, unit, tid, r.fc, r.a, r.w, out);
        break;
    case 15:
        WriteCoilBits(img.coils, r.a, r.w, r.data);
        MarkWritten(img.coilWritten, r.a, r.w);
        s = {0, true, r.a, r.w, false, 0};
        n = BuildEchoAnswer(framing, unit, tid, r.fc, r.a, r.w, out);
        break;
    case 16:
        WriteRegisters(img.holding, r.a, r.w, r.data);
        MarkWritten(img.holdingWritten, r.a, r.w);
        s = {0, true, r.a, r.w, false, 0};
        n = BuildEchoAnswer(framing, unit, tid, r.fc, r.a, r.w, out);
        break;
    case 8: {
        uint8_t body[2 + 253];
        body[0] = unit;
        body[1] = 8;
        const size_t m = std::min(r.data.size(), sizeof body - 2);
        std::copy_n(r.data.begin(), m, body + 2);
        n = BuildAnswer(framing, tid, {body, m + 2}, out);
        break;
    }
    case 22: {
        const uint16_t andMask = r.w, orMask = r.a2;
        img.holding[r.a] = static_cast<uint16_t>((img.holding[r.a] & andMask) | (orMask & ~andMask));
        MarkWritten(img.holdingWritten, r.a, 1);
        s = {0, true, r.a, 1, false, 0};
        const uint8_t body[8] = {unit, 22, uint8_t(r.a >> 8), uint8_t(r.a), uint8_t(andMask >> 8), uint8_t(andMask),
                                 uint8_t(orMask >> 8), uint8_t(orMask)};
        n = BuildAnswer(framing, tid, body, out);
        break;
    }
    case 23:
        WriteRegisters(img.holding, r.a2, r.w2, r.data);
        MarkWritten(img.holdingWritten, r.a2, r.w2);
        s = {0, true, r.a2, r.w2, false, 0};
        n = BuildReadRegistersAnswer(framing, unit, tid, img.holding, r.a, r.w, out, 23);
        break;
    case 43: {
        const std::span<const uint8_t> objects[kDeviceIdObjects] = {
            {reinterpret_cast<const uint8_t*>(id.vendor.constData()), size_t(id.vendor.size())},
            {reinterpret_cast<const uint8_t*>(id.product.constData()), size_t(id.product.size())},
            {reinterpret_cast<const uint8_t*>(id.revision.constData()), size_t(id.revision.size())},
        };
        n = BuildDeviceIdAnswer(framing, unit, tid, r.readCode, r.objectId, objects, out);
        break;
    }
    default:
        n = BuildExceptionAnswer(framing, unit, tid, r.fc, kIllegalFunction, out);
        s.refused = true;
        s.exception = kIllegalFunction;
        break;
    }
    if (s.wrote)
        ++img.writes;
    s.length = answer ? n : 0;
    return s;
}

} // namespace zorp::sim
