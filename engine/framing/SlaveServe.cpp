// SPDX-License-Identifier: GPL-3.0-or-later
#include "SlaveServe.h"

#include <algorithm>

namespace zorp::slave {

namespace {

Served Wrote(uint16_t address, uint16_t count)
{
    Served s;
    s.wrote = true;
    s.address = address;
    s.count = count;
    return s;
}

} // namespace

Served Serve(const Images& img, const Request& r, Framing framing, uint8_t unit, uint16_t tid,
             std::span<uint8_t> out)
{
    Served s;
    if (r.verdict == Verdict::Refused) {
        s.refused = true;
        s.exception = r.exceptionCode;
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
        const size_t m = PackCoilBits(r.fc == 1 ? std::span<const bool>(img.coils) : img.discrete, r.a, r.w, packed);
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
        s = Wrote(r.a, 1);
        n = BuildEchoAnswer(framing, unit, tid, r.fc, r.a, r.w, out);
        break;
    case 6:
    case 102:
        img.holding[r.a] = r.w;
        s = Wrote(r.a, 1);
        n = BuildEchoAnswer(framing, unit, tid, r.fc, r.a, r.w, out);
        break;
    case 15:
        WriteCoilBits(img.coils, r.a, r.w, r.data);
        s = Wrote(r.a, r.w);
        n = BuildEchoAnswer(framing, unit, tid, r.fc, r.a, r.w, out);
        break;
    case 16:
        WriteRegisters(img.holding, r.a, r.w, r.data);
        s = Wrote(r.a, r.w);
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
        s = Wrote(r.a, 1);
        const uint8_t body[8] = {unit, 22, uint8_t(r.a >> 8), uint8_t(r.a), uint8_t(andMask >> 8), uint8_t(andMask),
                                 uint8_t(orMask >> 8), uint8_t(orMask)};
        n = BuildAnswer(framing, tid, body, out);
        break;
    }
    case 23:
        // The write comes first, so that the read sees it.
        WriteRegisters(img.holding, r.a2, r.w2, r.data);
        s = Wrote(r.a2, r.w2);
        n = BuildReadRegistersAnswer(framing, unit, tid, img.holding, r.a, r.w, out, 23);
        break;
    case 43:
        n = BuildDeviceIdAnswer(framing, unit, tid, r.readCode, r.objectId, img.deviceId, out);
        break;
    default:
        break; // CheckRequest accepts no other function
    }
    s.length = n;
    return s;
}

} // namespace zorp::slave
