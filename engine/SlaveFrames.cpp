// SPDX-License-Identifier: GPL-3.0-or-later
#include "SlaveFrames.h"

#include "ModbusCRC.h"

namespace zorp::slave {

namespace {

bool IsSingleWordFunction(uint8_t fc) { return fc == 1 || fc == 3 || fc == 5 || fc == 6 || fc == 102; }
bool IsWriteMultipleFunction(uint8_t fc) { return fc == 15 || fc == 16; }

uint16_t Word(std::span<const uint8_t> b, size_t i) { return static_cast<uint16_t>((b[i] << 8) | b[i + 1]); }

// Where the device address goes in `out`: behind the MBAP header in TCP.
size_t BodyOffset(Framing f) { return f == Framing::Tcp ? kTcpHeaderSize : 0; }

// Space the frame needs around a body of `bodyLength` bytes.
size_t FrameLength(Framing f, size_t bodyLength) { return bodyLength + (f == Framing::Tcp ? kTcpHeaderSize : 2); }

// Completes a frame whose body (device address onward) already stands at
// BodyOffset: the MBAP header in front (TCP) or the CRC behind (RTU).
size_t FinishFrame(Framing f, uint16_t t, std::span<uint8_t> out, size_t bodyLength)
{
    if (f == Framing::Tcp) {
        out[0] = static_cast<uint8_t>(t >> 8);
        out[1] = static_cast<uint8_t>(t);
        out[2] = 0;
        out[3] = 0;
        out[4] = static_cast<uint8_t>(bodyLength >> 8);
        out[5] = static_cast<uint8_t>(bodyLength);
        return kTcpHeaderSize + bodyLength;
    }
    const uint16_t crc = ModbusCRC16(out.data(), bodyLength);
    out[bodyLength] = static_cast<uint8_t>(crc);
    out[bodyLength + 1] = static_cast<uint8_t>(crc >> 8);
    return bodyLength + 2;
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

} // namespace

size_t RequestLength(std::span<const uint8_t> body, Framing framing)
{
    if (body.size() < 2 || (body[1] & 0x80))
        return 0;
    const uint8_t fc = body[1];
    const size_t tail = framing == Framing::Tcp ? 0 : 2; // the CRC
    if (IsSingleWordFunction(fc))
        return 6 + tail;
    if (IsWriteMultipleFunction(fc))
        return 7 + (body.size() > 6 ? size_t(body[6]) : 0) + tail;
    return 6;
}

Delimitation DelimitRequest(std::span<const uint8_t> buffer, Framing framing)
{
    Delimitation d;
    const size_t base = framing == Framing::Tcp ? kTcpHeaderSize : 0;
    if (buffer.size() < base + 3)
        return d;
    d.flagKnown = true;
    d.isException = (buffer[base + 1] & 0x80) != 0;
    if (d.isException) {
        d.complete = true;
        return d;
    }
    d.frameLength = base + RequestLength(buffer.subspan(base), framing);
    d.complete = buffer.size() >= d.frameLength;
    return d;
}

Request CheckRequest(std::span<const uint8_t> req, Framing framing, uint8_t deviceId)
{
    Request r;
    const bool rtu = framing == Framing::Rtu;
    if (req.size() < 2)
        return r;
    if (req[0] != deviceId) {
        r.verdict = Verdict::NotForUs;
        return r;
    }
    r.fc = req[1];
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
        if (req.size() < length + (rtu ? 2u : 0u))
            return r;
        if (rtu && !CrcMatches(req.data(), length)) {
            r.verdict = Verdict::BadCrcMulti;
            return r;
        }
        r.a = Word(req, 2);
        r.w = Word(req, 4);
        r.data = req.subspan(7, r.bc);
        const uint16_t limit = r.fc == 15 ? kMaxWriteCoils : kMaxWriteRegisters;
        const uint32_t expectedBytes = r.fc == 15 ? (uint32_t(r.w) + 7) / 8 : uint32_t(r.w) * 2;
        if (r.w == 0 || r.w > limit || r.bc != expectedBytes)
            return Refuse(r, kIllegalDataValue);
        if (uint32_t(r.a) + r.w > kImageSize)
            return Refuse(r, kIllegalDataAddress);
        r.verdict = Verdict::Accepted;
        return r;
    }
    return r; // another function code, or the exception bit
}

void WriteCoilBits(std::span<bool> coils, uint16_t a, uint16_t q, std::span<const uint8_t> data)
{
    for (size_t k = 0; k < q; ++k) {
        const size_t index = size_t(a) + k;
        if (index >= coils.size() || k / 8 >= data.size())
            break;
        coils[index] = ((data[k / 8] >> (k % 8)) & 1) != 0;
    }
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
    const size_t bytes = (size_t(q) + 7) / 8;
    for (size_t i = 0; i < bytes && i < out.size(); ++i)
        out[i] = 0;
    for (size_t k = 0; k < q; ++k) {
        const size_t index = size_t(a) + k;
        if (index >= coils.size() || k / 8 >= out.size())
            break;
        if (coils[index])
            out[k / 8] = static_cast<uint8_t>(out[k / 8] | (1u << (k % 8)));
    }
    return bytes;
}

size_t BuildReadCoilsAnswer(Framing f, uint8_t d, uint16_t t, std::span<const uint8_t> packed,
                            std::span<uint8_t> out)
{
    const size_t body = 3 + packed.size();
    if (packed.size() > 255 || FrameLength(f, body) > out.size())
        return 0;
    uint8_t* p = out.data() + BodyOffset(f);
    p[0] = d;
    p[1] = 1;
    p[2] = static_cast<uint8_t>(packed.size());
    for (size_t i = 0; i < packed.size(); ++i)
        p[3 + i] = packed[i];
    return FinishFrame(f, t, out, body);
}

size_t BuildReadRegistersAnswer(Framing f, uint8_t d, uint16_t t, std::span<const uint16_t> regs, uint16_t a,
                                uint16_t w, std::span<uint8_t> out)
{
    const size_t body = 3 + 2 * size_t(w);
    if (2 * size_t(w) > 255 || size_t(a) + w > regs.size() || FrameLength(f, body) > out.size())
        return 0;
    uint8_t* p = out.data() + BodyOffset(f);
    p[0] = d;
    p[1] = 3;
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
