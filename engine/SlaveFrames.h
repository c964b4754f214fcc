// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Frames of the listening (slave) side, as pure functions over byte spans:
// when a received request is complete, which checks it passes and in which
// order, and every byte of each answer. TVexaModbus runs them on FBuffer and
// its images; unit tests and fuzzers call them directly.
//
// Requests accepted: functions 1, 3, 5, 6 and 102 in the single-word form
// (d, fc, a, w) and functions 15 and 16 in the form d, fc, a, q, bc, the bc
// data bytes; RTU with its CRC, Modbus TCP behind the 6-byte MBAP header.
// Everything else is not answered.
//
// Bounds. A request never makes the slave read or write outside its two
// images (65,536 entries each) or its 512-byte answer buffer. The slave
// refuses, with a Modbus exception response (RTU: d, fc|0x80, code, CRC;
// TCP: header, d, fc|0x80, code):
//   - illegal data value (03): Read Coils with q = 0 or q > 2000, Read
//     Holding Registers with q = 0 or q > 125, Write Multiple Coils with
//     q = 0, q > 1968 or bc != ceil(q / 8), Write Multiple Registers with
//     q = 0, q > 123 or bc != 2q;
//   - illegal data address (02): a run whose last entry lies past the end
//     of the image (a + q > 65536).
// The quantity is checked before the address, as Modbus slaves do. A single
// write reaches one entry, which always exists. An RTU single-word request
// with a bad CRC keeps its own error frame d, 0x50, 0x04, CRC, which peers
// may rely on; a bad CRC on functions 15 and 16 gets no answer.
#include <cstddef>
#include <cstdint>
#include <span>

namespace zorp::slave {

enum class Framing { Rtu, Tcp };

constexpr size_t kImageSize = 65536;
constexpr size_t kAnswerBufferSize = 512;
constexpr size_t kTcpHeaderSize = 6;

// Modbus limits on the quantities a request may carry.
constexpr uint16_t kMaxReadCoils = 2000;
constexpr uint16_t kMaxReadRegisters = 125;
constexpr uint16_t kMaxWriteCoils = 1968;
constexpr uint16_t kMaxWriteRegisters = 123;

// Second byte of the bad-CRC error frame, and the code it carries.
constexpr uint8_t kErrorFrameFunction = 0x50;
constexpr uint8_t kErrorFrameCode = 0x04;

constexpr uint8_t kIllegalDataAddress = 0x02;
constexpr uint8_t kIllegalDataValue = 0x03;

// ---- delimitation ---------------------------------------------------------

struct Delimitation {
    bool flagKnown = false;   // enough bytes to see the function code (RTU 3, TCP 9)
    bool isException = false; // bit 7 of the function code
    bool complete = false;    // the buffer holds the whole request
    // Bytes the request occupies from the start of the buffer, header
    // included in TCP; 0 when it is not known (an exception-flagged frame).
    size_t frameLength = 0;
};

// Applies the completion rule to the bytes received so far (TCP: with the
// MBAP header still in front). A request is complete at
//   RTU: 8 bytes for 1, 3, 5, 6, 102; byte 6 + 9 for 15, 16; 6 otherwise;
//   TCP: 12 bytes for 1, 3, 5, 6, 102; byte 12 + 13 for 15, 16; 12 otherwise;
// and as soon as the exception flag is known and set.
Delimitation DelimitRequest(std::span<const uint8_t> buffer, Framing framing);

// Length of the request that starts `body` (at its device address; TCP with
// the header removed, so no CRC either), as far as it is known from the bytes
// present; 0 while the function code is missing or for an exception frame.
size_t RequestLength(std::span<const uint8_t> body, Framing framing);

// ---- checks -----------------------------------------------------------------

enum class Verdict {
    NotForUs,     // byte 0 is another device: no answer
    BadCrcSingle, // RTU single-word request with a bad CRC: the error frame
    BadCrcMulti,  // RTU write multiple with a bad CRC: no answer
    Unsupported,  // another function code, the exception bit, or too short: no answer
    Refused,      // answered with the exception response `exceptionCode`
    Accepted,     // carry it out and answer
};

struct Request {
    Verdict verdict = Verdict::Unsupported;
    uint8_t fc = 0;
    uint16_t a = 0;          // wire address = image index
    uint16_t w = 0;          // the single word, or the quantity q of 15 and 16
    uint8_t bc = 0;          // byte count of 15 and 16
    std::span<const uint8_t> data; // the bc data bytes of 15 and 16
    uint8_t exceptionCode = 0;
};

// Checks a complete request in their order. `request` starts at the device
// address (TCP: the header already removed) and holds at least the bytes
// DelimitRequest asked for; shorter input is Unsupported, never read past.
Request CheckRequest(std::span<const uint8_t> request, Framing framing, uint8_t deviceId);

// ---- image access -------------------------------------------------------------

// coils[a + k] := bit (k mod 8) of data byte (k div 8), k = 0 .. q - 1.
// Entries past the image or bits past the data are left alone.
void WriteCoilBits(std::span<bool> coils, uint16_t a, uint16_t q, std::span<const uint8_t> data);
// regs[a + k] := data bytes 2k, 2k + 1 (high byte first), k = 0 .. q - 1.
void WriteRegisters(std::span<uint16_t> regs, uint16_t a, uint16_t q, std::span<const uint8_t> data);

// Packs coils[a] .. coils[a + q - 1] least significant bit first into
// ceil(q / 8) bytes and returns that count. Entries past the image count as
// off; bytes that do not fit `out` are not written.
size_t PackCoilBits(std::span<const bool> coils, uint16_t a, uint16_t q, std::span<uint8_t> out);

// ---- answers --------------------------------------------------------------------
// Each builder writes one whole frame into `out` and returns its length, or
// returns 0 and leaves nothing usable when the frame would not fit. d is the
// device address, t the transaction identifier repeated in a TCP answer.

// d, 1, m, the m packed bytes (RTU + CRC; TCP behind a header of length m + 3).
size_t BuildReadCoilsAnswer(Framing framing, uint8_t d, uint16_t t, std::span<const uint8_t> packed,
                            std::span<uint8_t> out);
// d, 3, 2w, regs[a] .. regs[a + w - 1] high byte first.
size_t BuildReadRegistersAnswer(Framing framing, uint8_t d, uint16_t t, std::span<const uint16_t> regs,
                                uint16_t a, uint16_t w, std::span<uint8_t> out);
// d, fc, a, w: the echo of 5, 6, 102 and (with q for w) of 15 and 16.
size_t BuildEchoAnswer(Framing framing, uint8_t d, uint16_t t, uint8_t fc, uint16_t a, uint16_t w,
                       std::span<uint8_t> out);
// d, fc | 0x80, code.
size_t BuildExceptionAnswer(Framing framing, uint8_t d, uint16_t t, uint8_t fc, uint8_t code,
                            std::span<uint8_t> out);
// d, 0x50, code, CRC: RTU only (a TCP request never gets it).
size_t BuildErrorFrame(uint8_t d, uint8_t code, std::span<uint8_t> out);

} // namespace zorp::slave
