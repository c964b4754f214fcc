// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The frame writer of each framing, for requests and answers alike: the
// body (unit identifier or device address, then the PDU) is written at
// BodyOffset in the output; FinishAdu puts the MBAP header in front of it
// (Modbus TCP: transaction identifier, protocol identifier 0, length) or
// the CRC behind it (RTU, low byte first) and returns the frame's length.
#include <cstddef>
#include <cstdint>

#include "ModbusCRC.h"

namespace zorp::framing {

constexpr size_t kMbapPrefixSize = 6;

constexpr size_t BodyOffset(bool tcp) { return tcp ? kMbapPrefixSize : 0; }
// Bytes a frame around a body of `body` bytes occupies.
constexpr size_t AduLength(bool tcp, size_t body) { return body + (tcp ? kMbapPrefixSize : 2); }

// out holds AduLength(tcp, bodyLength) bytes, the body at BodyOffset(tcp).
inline size_t FinishAdu(bool tcp, uint16_t tid, uint8_t* out, size_t bodyLength)
{
    if (tcp) {
        out[0] = static_cast<uint8_t>(tid >> 8);
        out[1] = static_cast<uint8_t>(tid);
        out[2] = 0;
        out[3] = 0;
        out[4] = static_cast<uint8_t>(bodyLength >> 8);
        out[5] = static_cast<uint8_t>(bodyLength);
        return kMbapPrefixSize + bodyLength;
    }
    const uint16_t crc = ModbusCRC16(out, bodyLength);
    out[bodyLength] = static_cast<uint8_t>(crc);
    out[bodyLength + 1] = static_cast<uint8_t>(crc >> 8);
    return bodyLength + 2;
}

} // namespace zorp::framing
