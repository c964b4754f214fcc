// SPDX-License-Identifier: GPL-3.0-or-later
#include "SlaveFrames.h"

#include "MbapFraming.h"
#include "ModbusCRC.h"
#include "framing/Bits.h"
#include "framing/Framer.h"
#include "framing/FrameWriter.h"

#include <algorithm>
#include <cstdint>

namespace zorp::slave {

namespace {

bool IsSingleWordFunction(uint8_t fc) { return fc == 1 || fc == 3 || fc == 5 || fc == 6 || fc == 102; }
bool IsWriteMultipleFunction(uint8_t fc) { return fc == 15 || fc == 16; }

uint16_t Word(std::span<const uint8_t> b, size_t i) { return static_cast<uint16_t>((b[i] << 8) | b[i + 1]); }

// Where the device address goes in `out`: behind the MBAP header in TCP.
size_t BodyOffset(Framing f) { return framing::BodyOffset(f == Framing::Tcp); }

// Space the frame needs around a body of `bodyLength` bytes.
size_t FrameLength(Framing f, size_t bodyLength) { return framing::AduLength(f == Framing::Tcp, bodyLength); }

// Completes a frame whose body (device address onward) already stands at
// BodyOffset: the MBAP header in front (TCP) or the CRC behind (RTU).
size_t FinishFrame(Framing f, uint16_t t, std::span<uint8_t> out, size_t bodyLength)
{
    return framing::FinishAdu(f == Framing::Tcp, t, out.data(), bodyLength);
}

void PutWord(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

Request Refuse(Request r, uint8_t code)
{
    r.verdict = Verdict::Refused;
    r.exceptionCode = code;
    return r;
}

// Write Multiple Coils or Registers: the quantity within Modbus limits, the
// byte count that carries it, and the run inside the image.
Request CheckWriteRun(Request r)
{
    const uint16_t limit = r.fc == 15 ? kMaxWriteCoils : kMaxWriteRegisters;
    const uint32_t expected = r.fc == 15 ? (uint32_t(r.w) + 7) / 8 : uint32_t(r.w) * 2;
    if (r.w == 0 || r.w > limit || r.bc != expected)
        return Refuse(r, kIllegalDataValue);
    if (uint32_t(r.a) + r.w > kImageSize)
        return Refuse(r, kIllegalDataAddress);
    r.verdict = Verdict::Accepted;
    return r;
}

} // namespace



namespace {

bool ServedByStandard(uint8_t fc)
{
    return IsSingleWordFunction(fc) || IsWriteMultipleFunction(fc) || fc == 2 || fc == 4 || fc == 8 || fc == 22 ||
           fc == 23 || fc == 43;
}

bool IsWrite(uint8_t fc) { return fc == 5 || fc == 6 || fc == 15 || fc == 16 || fc == 22 || fc == 102; }

// The standard profile's checks of a request whose unit and CRC were
// accepted. `body` is the request without CRC, exactly as long as the frame.
Request CheckStandard(Request r, std::span<const uint8_t> body, bool tcp)
{
    if (!ServedByStandard(r.fc))
        return Refuse(r, kIllegalFunction);
    const size_t n = body.size();
    auto fixed = [&](size_t length) { return n == length; };
    switch (r.fc) {
    case 1: case 2: case 3: case 4: case 5: case 6: case 102: {
        if (!fixed(6))
            return Refuse(r, kIllegalDataValue);
        r.a = Word(body, 2);
        r.w = Word(body, 4);
        if (r.fc <= 4) {
            const uint16_t limit = (r.fc <= 2) ? kMaxReadCoils : kMaxReadRegisters;
            if (r.w == 0 || r.w > limit)
                return Refuse(r, kIllegalDataValue);
            if (uint32_t(r.a) + r.w > kImageSize)
                return Refuse(r, kIllegalDataAddress);
        } else if (r.fc == 5 && r.w != 0xFF00 && r.w != 0x0000) {
            return Refuse(r, kIllegalDataValue);
        }
        break;
    }
    case 15: case 16: {
        if (n < 7)
            return Refuse(r, kIllegalDataValue);
        r.a = Word(body, 2);
        r.w = Word(body, 4);
        r.bc = body[6];
        if (n != 7u + r.bc)
            return Refuse(r, kIllegalDataValue);
        r.data = body.subspan(7, r.bc);
        r = CheckWriteRun(r);
        if (r.verdict == Verdict::Refused)
            return r;
        break;
    }
    case 22:
        if (!fixed(8))
            return Refuse(r, kIllegalDataValue);
        r.a = Word(body, 2);
        r.w = Word(body, 4);  // AND mask
        r.a2 = Word(body, 6); // OR mask
        break;
    case 23: {
        if (n < 11)
            return Refuse(r, kIllegalDataValue);
        r.a = Word(body, 2);
        r.w = Word(body, 4);
        r.a2 = Word(body, 6);
        r.w2 = Word(body, 8);
        r.bc = body[10];
        if (n != 11u + r.bc)
            return Refuse(r, kIllegalDataValue);
        r.data = body.subspan(11, r.bc);
        if (r.w == 0 || r.w > kMaxReadWriteRead || r.w2 == 0 || r.w2 > kMaxReadWriteWrite || r.bc != 2u * r.w2)
            return Refuse(r, kIllegalDataValue);
        if (uint32_t(r.a) + r.w > kImageSize || uint32_t(r.a2) + r.w2 > kImageSize)
            return Refuse(r, kIllegalDataAddress);
        break;
    }
    case 43:
        if (n < 3)
            return Refuse(r, kIllegalDataValue);
        if (body[2] != kMeiDeviceId)
            return Refuse(r, kIllegalFunction);
        if (!fixed(5))
            return Refuse(r, kIllegalDataValue);
        r.readCode = body[3];
        r.objectId = body[4];
        if (r.readCode < 1 || r.readCode > 4)
            return Refuse(r, kIllegalDataValue);
        if (r.readCode == 4 && r.objectId >= kDeviceIdObjects)
            return Refuse(r, kIllegalDataAddress);
        break;
    case 8:
        if (n < 4)
            return Refuse(r, kIllegalDataValue);
        if (Word(body, 2) != 0)
            return Refuse(r, kIllegalFunction); // only Return Query Data is served
        r.data = body.subspan(2);
        break;
    default:
        break;
    }
    (void)tcp;
    r.verdict = Verdict::Accepted;
    return r;
}

} // namespace

Request CheckRequest(std::span<const uint8_t> req, Framing framing, uint8_t deviceId, Profile profile)
{
    Request r;
    const bool rtu = framing == Framing::Rtu;
    if (req.size() < 2)
        return r;
    r.unit = req[0];
    r.fc = req[1];

    if (profile == Profile::Standard) {
        bool own = req[0] == deviceId;
        if (!rtu && (req[0] == 0 || req[0] == 255))
            own = true;
        if (rtu && req[0] == 0 && deviceId != 0)
            r.broadcast = true;
        if (!own && !r.broadcast) {
            r.verdict = Verdict::NotForUs;
            return r;
        }
        if (r.fc & 0x80)
            return r; // an exception frame is no request
        std::span<const uint8_t> body = req;
        if (rtu) {
            // The request as its framer took it, when its CRC ends it;
            // otherwise as long as its function's layout says.
            const bool whole = req.size() >= 4 && CrcMatches(req.data(), req.size() - 2);
            const size_t length = whole ? req.size() : framing::RtuRequestLength(req);
            if (length < 4 || req.size() < length)
                return r;
            if (!CrcMatches(req.data(), length - 2)) {
                r.verdict = Verdict::BadCrcMulti; // no answer on a serial line
                return r;
            }
            body = req.first(length - 2);
        }
        r = CheckStandard(r, body, !rtu);
        if (r.broadcast && (r.verdict != Verdict::Accepted || !IsWrite(r.fc)))
            r.verdict = Verdict::NotForUs; // a broadcast is never answered; only writes are carried out
        return r;
    }

    if (req[0] != deviceId) {
        r.verdict = Verdict::NotForUs;
        return r;
    }
    if (IsSingleWordFunction(r.fc)) {
        if (req.size() < (rtu ? 8u : 6u))
            return r;
        if (rtu && !CrcMatches(req.data(), 6)) {
            r.verdict = Verdict::BadCrcSingle;
            return r;
        }
        r.a = Word(req, 2);
        r.w = Word(req, 4);
        const uint32_t end = uint32_t(r.a) + r.w;
        if (r.fc == 1 || r.fc == 3) {
            const uint16_t limit = r.fc == 1 ? kMaxReadCoils : kMaxReadRegisters;
            if (r.w == 0 || r.w > limit)
                return Refuse(r, kIllegalDataValue);
            if (end > kImageSize)
                return Refuse(r, kIllegalDataAddress);
        }
        r.verdict = Verdict::Accepted;
        return r;
    }
    if (IsWriteMultipleFunction(r.fc)) {
        if (req.size() < 7)
            return r;
        r.bc = req[6];
        const size_t length = 7u + r.bc;
        if (!rtu && req.size() != length) {
            // The header's length and the byte count disagree: the data
            // cannot be told from what follows, so nothing is written.
            r.a = Word(req, 2);
            r.w = Word(req, 4);
            return Refuse(r, kIllegalDataValue);
        }
        if (req.size() < length + (rtu ? 2u : 0u))
            return r;
        if (rtu && !CrcMatches(req.data(), length)) {
            r.verdict = Verdict::BadCrcMulti;
            return r;
        }
        r.a = Word(req, 2);
        r.w = Word(req, 4);
        r.data = req.subspan(7, r.bc);
        return CheckWriteRun(r);
    }
    return r; // another function code, or the exception bit
}

void WriteCoilBits(std::span<bool> coils, uint16_t a, uint16_t q, std::span<const uint8_t> data)
{
    const size_t room = a < coils.size() ? coils.size() - a : 0;
    framing::UnpackBitsFrom(data.data(), data.size(), std::min<size_t>(q, room),
                            [&](size_t k, bool v) { coils[a + k] = v; });
}

void WriteRegisters(std::span<uint16_t> regs, uint16_t a, uint16_t q, std::span<const uint8_t> data)
{
    for (size_t k = 0; k < q; ++k) {
        const size_t index = size_t(a) + k;
        if (index >= regs.size() || 2 * k + 1 >= data.size())
            break;
        regs[index] = static_cast<uint16_t>((data[2 * k] << 8) | data[2 * k + 1]);
    }
}

size_t PackCoilBits(std::span<const bool> coils, uint16_t a, uint16_t q, std::span<uint8_t> out)
{
    return framing::PackBitsInto(
        q, [&](size_t k) { return size_t(a) + k < coils.size() && coils[a + k]; }, out.data(), out.size());
}

size_t BuildReadCoilsAnswer(Framing f, uint8_t d, uint16_t t, std::span<const uint8_t> packed,
                            std::span<uint8_t> out, uint8_t fc)
{
    const size_t body = 3 + packed.size();
    if (packed.size() > 255 || FrameLength(f, body) > out.size())
        return 0;
    uint8_t* p = out.data() + BodyOffset(f);
    p[0] = d;
    p[1] = fc;
    p[2] = static_cast<uint8_t>(packed.size());
    for (size_t i = 0; i < packed.size(); ++i)
        p[3 + i] = packed[i];
    return FinishFrame(f, t, out, body);
}

size_t BuildReadRegistersAnswer(Framing f, uint8_t d, uint16_t t, std::span<const uint16_t> regs, uint16_t a,
                                uint16_t w, std::span<uint8_t> out, uint8_t fc)
{
    const size_t body = 3 + 2 * size_t(w);
    if (2 * size_t(w) > 255 || size_t(a) + w > regs.size() || FrameLength(f, body) > out.size())
        return 0;
    uint8_t* p = out.data() + BodyOffset(f);
    p[0] = d;
    p[1] = fc;
    p[2] = static_cast<uint8_t>(2 * w);
    for (size_t k = 0; k < w; ++k)
        PutWord(p + 3 + 2 * k, regs[a + k]);
    return FinishFrame(f, t, out, body);
}

size_t BuildEchoAnswer(Framing f, uint8_t d, uint16_t t, uint8_t fc, uint16_t a, uint16_t w, std::span<uint8_t> out)
{
    if (FrameLength(f, 6) > out.size())
        return 0;
    uint8_t* p = out.data() + BodyOffset(f);
    p[0] = d;
    p[1] = fc;
    PutWord(p + 2, a);
    PutWord(p + 4, w);
    return FinishFrame(f, t, out, 6);
}

size_t BuildExceptionAnswer(Framing f, uint8_t d, uint16_t t, uint8_t fc, uint8_t code, std::span<uint8_t> out)
{
    if (FrameLength(f, 3) > out.size())
        return 0;
    uint8_t* p = out.data() + BodyOffset(f);
    p[0] = d;
    p[1] = static_cast<uint8_t>(fc | 0x80);
    p[2] = code;
    return FinishFrame(f, t, out, 3);
}

size_t BuildAnswer(Framing f, uint16_t t, std::span<const uint8_t> body, std::span<uint8_t> out)
{
    if (body.size() < 2 || body.size() > mbap::kMaxLength || FrameLength(f, body.size()) > out.size())
        return 0;
    uint8_t* p = out.data() + BodyOffset(f);
    for (size_t i = 0; i < body.size(); ++i)
        p[i] = body[i];
    return FinishFrame(f, t, out, body.size());
}

size_t BuildDeviceIdAnswer(Framing f, uint8_t d, uint16_t t, uint8_t readCode, uint8_t objectId,
                           const std::span<const uint8_t> (&objects)[kDeviceIdObjects], std::span<uint8_t> out)
{
    // The PDU holds at most 253 bytes: 7 of them before the objects.
    constexpr size_t kMaxPdu = 253;
    constexpr size_t kFixed = 7;
    uint8_t body[1 + kMaxPdu];
    body[0] = d;
    body[1] = 43;
    body[2] = kMeiDeviceId;
    body[3] = readCode;
    body[4] = kDeviceIdConformity;
    body[5] = 0; // more follows
    body[6] = 0; // next object id
    body[7] = 0; // number of objects
    size_t n = 1 + kFixed;
    const bool individual = readCode == 4;
    size_t first = objectId < kDeviceIdObjects ? objectId : 0;
    const size_t last = individual ? first + 1 : kDeviceIdObjects;
    for (size_t id = first; id < last; ++id) {
        const size_t room = 1 + kMaxPdu - n;
        size_t length = objects[id].size();
        if (2 + length > room) {
            if (body[7] > 0) {
                body[5] = 0xFF;
                body[6] = static_cast<uint8_t>(id);
                break;
            }
            length = room - 2; // a single text longer than the PDU is cut
        }
        body[n] = static_cast<uint8_t>(id);
        body[n + 1] = static_cast<uint8_t>(length);
        for (size_t i = 0; i < length; ++i)
            body[n + 2 + i] = objects[id][i];
        n += 2 + length;
        ++body[7];
    }
    return BuildAnswer(f, t, {body, n}, out);
}

size_t BuildErrorFrame(uint8_t d, uint8_t code, std::span<uint8_t> out)
{
    if (out.size() < 5)
        return 0;
    out[0] = d;
    out[1] = kErrorFrameFunction;
    out[2] = code;
    return FinishFrame(Framing::Rtu, 0, out, 3);
}

} // namespace zorp::slave
