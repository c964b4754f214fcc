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
// Requests come delimited by the listener's framers (framing/Framer.h): a
// Modbus TCP request is its header plus exactly the bytes its length field
// announces; an RTU request has the length of its function's layout, and a
// function without a fixed layout (08, or one the slave does not know) ends
// at the first length whose CRC matches, so that it is consumed whole.
//
// The standard profile (an option, off by default) makes the slave behave as
// Modbus devices do: exception 01 for every function it does not serve;
// 02 and 04 from images of their own; 22 (Mask Write Register), 23
// (Read/Write Multiple Registers, the write first), 43/14 (Read Device
// Identification, basic objects) and 08/00 (Return Query Data); over TCP
// units 0 and 255 are its own; in RTU framing a write for unit 0 is a
// broadcast, carried out and not answered, and a bad CRC gets no answer.
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
constexpr uint16_t kMaxReadWriteRead = 125;  // function 23: registers read
constexpr uint16_t kMaxReadWriteWrite = 121; // function 23: registers written

// Read Device Identification (43/14): the basic objects and the conformity
// level announced (basic identification, stream and individual access).
constexpr uint8_t kMeiDeviceId = 14;
constexpr size_t kDeviceIdObjects = 3;
constexpr uint8_t kDeviceIdConformity = 0x81;

enum class Profile { Designed, Standard };

// Second byte of the bad-CRC error frame, and the code it carries.
constexpr uint8_t kErrorFrameFunction = 0x50;
constexpr uint8_t kErrorFrameCode = 0x04;

constexpr uint8_t kIllegalFunction = 0x01;
constexpr uint8_t kIllegalDataAddress = 0x02;
constexpr uint8_t kIllegalDataValue = 0x03;


// ---- checks -----------------------------------------------------------------

enum class Verdict {
    NotForUs,     // byte 0 is another device: no answer
    BadCrcSingle, // RTU single-word request with a bad CRC: the error frame
    BadCrcMulti,  // RTU write multiple with a bad CRC: no answer
    Unsupported,  // another function code, the exception bit, or too short: no answer
    Refused,      // answered with the exception response `exceptionCode`
    Accepted,     // carry it out and answer (not when `broadcast`)
};

struct Request {
    Verdict verdict = Verdict::Unsupported;
    uint8_t fc = 0;
    uint16_t a = 0;          // wire address = image index
    uint16_t w = 0;          // the single word, or the quantity q of 15 and 16
    uint8_t bc = 0;          // byte count of 15 and 16
    std::span<const uint8_t> data; // the bc data bytes of 15, 16, 23; sub-function and data of 08
    uint8_t exceptionCode = 0;
    uint8_t unit = 0;        // byte 0 as received
    uint16_t a2 = 0;         // 22: the OR mask (w is the AND mask); 23: the write address
    uint16_t w2 = 0;         // 23: the write quantity
    uint8_t readCode = 0;    // 43/14: read device ID code
    uint8_t objectId = 0;    // 43/14: object id
    bool broadcast = false;  // RTU unit 0 (standard profile): carry out, never answer
};

// Checks a complete request in their order. `request` starts at the device
// address (TCP: the header already removed, and exactly the bytes the
// header's length announced) and holds at least the bytes its framer
// asked for; shorter input is Unsupported, never read past. In TCP a Write
// Multiple request whose byte count disagrees with the length is refused
// with exception 03 in both profiles.
Request CheckRequest(std::span<const uint8_t> request, Framing framing, uint8_t deviceId,
                     Profile profile = Profile::Designed);

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

// d, fc, m, the m packed bytes (RTU + CRC; TCP behind a header of length
// m + 3); fc 1 (coils) or 2 (discrete inputs).
size_t BuildReadCoilsAnswer(Framing framing, uint8_t d, uint16_t t, std::span<const uint8_t> packed,
                            std::span<uint8_t> out, uint8_t fc = 1);
// d, fc, 2w, regs[a] .. regs[a + w - 1] high byte first; fc 3, 4 or 23.
size_t BuildReadRegistersAnswer(Framing framing, uint8_t d, uint16_t t, std::span<const uint16_t> regs,
                                uint16_t a, uint16_t w, std::span<uint8_t> out, uint8_t fc = 3);
// Any answer whose body (device address onward, without CRC) is given:
// the echoes of 22 and 08.
size_t BuildAnswer(Framing framing, uint16_t t, std::span<const uint8_t> body, std::span<uint8_t> out);
// The answer to Read Device Identification: d, 43, 14, the read code, the
// conformity level, more follows, next object id, the number of objects,
// then id, length, text for each. Stream access (codes 1 to 3) lists the
// basic objects from objectId on as far as they fit the PDU (more follows
// 0xFF and the next id when not all do); individual access (code 4) the one
// object asked for. Texts longer than fits one PDU are cut.
size_t BuildDeviceIdAnswer(Framing framing, uint8_t d, uint16_t t, uint8_t readCode, uint8_t objectId,
                           const std::span<const uint8_t> (&objects)[kDeviceIdObjects], std::span<uint8_t> out);
// d, fc, a, w: the echo of 5, 6, 102 and (with q for w) of 15 and 16.
size_t BuildEchoAnswer(Framing framing, uint8_t d, uint16_t t, uint8_t fc, uint16_t a, uint16_t w,
                       std::span<uint8_t> out);
// d, fc | 0x80, code.
size_t BuildExceptionAnswer(Framing framing, uint8_t d, uint16_t t, uint8_t fc, uint8_t code,
                            std::span<uint8_t> out);
// d, 0x50, code, CRC: RTU only (a TCP request never gets it).
size_t BuildErrorFrame(uint8_t d, uint8_t code, std::span<uint8_t> out);

} // namespace zorp::slave
