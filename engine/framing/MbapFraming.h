// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Modbus TCP (MBAP) framing shared by the master and the listening side.
//
// A Modbus TCP frame is a 7-byte header, then the PDU:
//   transaction id (2), protocol id (2), length (2), unit id (1), PDU ...
// The length field counts the unit identifier and the PDU, so the whole
// frame occupies 6 + length bytes. Frames are delimited by that field alone,
// never by the function code: two frames in one segment, a function nobody
// serves, or stray bytes behind a frame then never shift the next one.
#include <cstddef>
#include <cstdint>
#include <span>

namespace zorp::mbap {

constexpr size_t kLengthOffset = 4;
constexpr size_t kPrefixSize = 6;  // transaction id, protocol id, length
constexpr size_t kHeaderSize = 7;  // the prefix and the unit identifier
// The length field of a frame: a unit identifier and a function code at
// least, and a PDU of at most 253 bytes.
constexpr uint16_t kMinLength = 2;
constexpr uint16_t kMaxLength = 254;
constexpr size_t kMaxFrameSize = kPrefixSize + kMaxLength; // 260

enum class Status {
    Incomplete, // fewer bytes than the header or than its length announces
    Complete,   // the frame [0, frameSize) is all there
    Invalid     // the length field is out of range: the stream cannot be resynchronised
};

struct Frame {
    Status status = Status::Incomplete;
    uint16_t transactionId = 0; // valid once the prefix is in (6 bytes)
    uint16_t protocolId = 0;
    uint16_t length = 0;
    size_t frameSize = 0;       // 6 + length, once the prefix is in and the length is valid
};

// Looks at the bytes at the start of a stream and tells how much of the
// first frame is there. Never reads past `bytes`.
inline Frame Delimit(std::span<const uint8_t> bytes)
{
    Frame f;
    if (bytes.size() < kPrefixSize) return f;
    f.transactionId = static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
    f.protocolId = static_cast<uint16_t>((bytes[2] << 8) | bytes[3]);
    f.length = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
    if (f.length < kMinLength || f.length > kMaxLength) {
        f.status = Status::Invalid;
        return f;
    }
    f.frameSize = kPrefixSize + f.length;
    f.status = bytes.size() >= f.frameSize ? Status::Complete : Status::Incomplete;
    return f;
}

} // namespace zorp::mbap
