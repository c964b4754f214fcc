// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Master-side Modbus frames as small pure functions over byte spans: the
// request builders (into fixed caller buffers), the response delimitation
// and the checks of a complete response with the error codes they report.
// The engine wires them to its state; tests and fuzzers call them directly.
//
// Every function here is bounded by the sizes it is given: a builder never
// writes past its buffer (it refuses instead, returning 0) and a check never
// reads past the bytes it was handed.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "ModbusTypes.h"

namespace zorp {

// Frames without a data block fit in 16 bytes; frames with one are built
// in a 512-byte buffer.
constexpr size_t kShortFrameCapacity = 16;
constexpr size_t kBlockFrameCapacity = 512;
// The MBAP bytes in front of the unit identifier (transaction identifier,
// protocol identifier, length), removed from a received TCP frame.
constexpr size_t kMbapPrefix = 6;

// Caller limits of the multiple writes (Modbus allows at most 123 registers;
// the coil quantity travels in one byte).
constexpr uint16_t kMaxWriteRegisters = 123;
constexpr uint16_t kMaxWriteCoils = 255;

// Request framing chosen by the protocol: only RTU and TCP build frames.
enum class Framing { None, Rtu, Tcp };
inline Framing RequestFraming(TModbusProtocol p)
{
    return p == mbpRTU ? Framing::Rtu : p == mbpTCP ? Framing::Tcp : Framing::None;
}
// On the receive side everything but TCP is treated like RTU (with CRC).
inline bool IsTcpFraming(TModbusProtocol p) { return p == mbpTCP; }

// The wire carries the 1-based address minus one, modulo 65536.
inline uint16_t WireAddress(uint16_t address) { return static_cast<uint16_t>(address - 1u); }

// Request builders. Each writes one complete frame (RTU with CRC, or TCP
// with MBAP header and transaction identifier tid) into out and returns its
// length, or returns 0 and writes nothing when the framing builds no frame,
// the arguments would not fit a valid frame, or cap is too small.
//
// Function 1, 2, 3, 4 (word = quantity), 5, 6 and 102 (word = value).
size_t BuildWordRequest(uint8_t* out, size_t cap, Framing f, uint8_t device, uint16_t tid,
                        uint8_t fc, uint16_t address, uint16_t word);
// Function 16: count registers taken from values (valueCount available).
// Refused when count is 0, above kMaxWriteRegisters or above valueCount.
size_t BuildMultiRegsRequest(uint8_t* out, size_t cap, Framing f, uint8_t device, uint16_t tid,
                             uint16_t address, const uint16_t* values, size_t valueCount, uint16_t count);
// Function 15: quantity coilCount, byteCount packed bytes taken from bytes
// (bytesAvailable available). Refused when byteCount exceeds bytesAvailable
// or does not fit its one-byte field.
size_t BuildMultiCoilsRequest(uint8_t* out, size_t cap, Framing f, uint8_t device, uint16_t tid,
                              uint16_t address, uint8_t coilCount, const uint8_t* bytes,
                              size_t bytesAvailable, uint16_t byteCount);
// Function 20 with one sub-request (reference type 6); the record number
// travels unchanged.
size_t BuildFileRecordRequest(uint8_t* out, size_t cap, Framing f, uint8_t device, uint16_t tid,
                              uint16_t fileNumber, uint16_t recordNumber, uint16_t length);

// Packs the first count entries of values least significant bit first:
// entry k is bit (k mod 8) of byte (k div 8). Missing entries count as off.
std::vector<uint8_t> PackBits(const std::vector<bool>& values, size_t count);
// Unpacks count bits from data (LSB first). Bits beyond the given bytes are
// False: a short response is never read past its end.
std::vector<bool> UnpackBits(const uint8_t* data, size_t dataLength, size_t count);

// What kind of response a wait expects.
enum class ResponseKind { Read, Ack };

// Checks of a complete response (TCP: header already removed).
enum class Verdict {
    Wait,    // not decidable yet: leave the buffer alone, look again later
    Accept,  // valid; for reads the data are [dataOffset, dataOffset + dataLength)
    Report,  // report error code (resetFirst: empty the receive buffer first)
    Ignore   // exception code without a report now: empty the buffer, report nothing
};
struct CheckResult {
    Verdict verdict = Verdict::Wait;
    int32_t code = 0;
    bool resetFirst = false;
    size_t dataOffset = 0;
    size_t dataLength = 0;
};
CheckResult CheckReadResponse(const uint8_t* buf, size_t size, bool tcp, bool isException,
                              uint8_t device, uint8_t fc);
// address: the 1-based address of the request; word: what the request
// carried in bytes 4 and 5 (value, 0xFF00/0, register count, coil count).
CheckResult CheckAckResponse(const uint8_t* buf, size_t size, bool tcp, bool isException,
                             uint8_t device, uint8_t fc, uint16_t address, uint16_t word);

// Error code for a Modbus exception code reported at once (0: not reported).
// Gateways answer 0A (no path to the target) and 0B (the target did not
// answer) after trying themselves: a retry would only repeat that.
int32_t ExceptionReportCode(uint8_t exceptionCode, ResponseKind kind);
// Error code for an exception code that asks the master to try again later
// (05 acknowledge, 06 busy): the request is retried after the time-out as
// usual, and this code is reported when no retry is left (0: none). The
// Ignore verdict carries it in its code.
int32_t RetriedExceptionCode(uint8_t exceptionCode);

// The log message written with an error report, UTF-8; nullptr for codes
// that write none (15) and unknown codes.
const char* ErrorMessage(int32_t code);

} // namespace zorp
