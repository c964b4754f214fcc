// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What a passive bus monitor reports: every frame it finds (a master's
// request or a slave's answer, paired with its request), every stretch of
// bytes that forms no frame, and every request that went unanswered.
#include <cstdint>
#include <string>
#include <vector>

#include "framing/Framer.h"

namespace zorp::monitor {

struct BusEvent {
    enum class Kind : uint8_t { Request, Answer, Fault, NoAnswer };
    Kind kind = Kind::Request;
    uint64_t seq = 0;            // numbered from 1 in the order reported
    int channel = 0;             // serial: 1 or 2 (four-wire); TCP: the connection's number
    bool tcp = false;            // Modbus TCP (the frame has the MBAP header)
    int64_t startNs = -1;        // line time of its first bit (monotonic clock; -1: unknown)
    int64_t endNs = -1;          // of its last bit
    int64_t wallNs = 0;          // time stamp, nanoseconds since the epoch (of startNs)
    uint8_t unit = 0;
    uint8_t function = 0;        // bit 7 set in an exception answer
    uint16_t transactionId = 0;  // Modbus TCP
    framing::Fault fault = framing::Fault::None;
    std::vector<uint8_t> frame;  // the bytes as on the line (header and CRC included)
    std::vector<uint8_t> pdu;    // function code and data
    int64_t gapNs = -1;          // silence on the line before it (-1: unknown)
    int64_t turnaroundNs = -1;   // answer: from its request's last bit to its first
    // The bytes came in one block with those before them (an adapter's
    // bunch): no silence between them was seen, so a gap or turnaround of
    // 0 is the host's estimate, not a measurement.
    bool bunched = false;
    uint64_t requestSeq = 0;     // answer, NoAnswer: the request's seq (0: none paired)
    std::vector<uint8_t> requestPdu; // answer: the paired request's PDU

    bool IsException() const { return kind == Kind::Answer && (function & 0x80); }
};

const char* KindName(BusEvent::Kind k);
const char* FaultName(framing::Fault f);

} // namespace zorp::monitor
