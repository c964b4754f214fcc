// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The monitor's core, free of any event loop: bytes heard on serial lines
// (one line, or the two pairs of a four-wire bus) or frames relayed over
// Modbus TCP go in; events come out through the sink, requests paired
// with their answers (on a serial bus: the answer that follows; over TCP:
// by connection and transaction identifier).
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "BusEvent.h"
#include "framing/BusFramer.h"

namespace zorp::monitor {

class BusMonitor {
public:
    using Sink = std::function<void(const BusEvent&)>;
    explicit BusMonitor(Sink sink);

    // A request unanswered this long after its end is reported as such.
    void SetAnswerTimeoutNs(int64_t ns) { FTimeoutNs = ns; }
    int64_t AnswerTimeoutNs() const { return FTimeoutNs; }

    // A serial line; returns its channel (1, 2, ...). A four-wire bus: the
    // master's pair first (BusMode::Requests), then the slaves' (Answers).
    int AddLine(framing::BusMode mode, const framing::LineTiming& timing);
    void FeedLine(int channel, const uint8_t* data, size_t size, int64_t arrivalNs);

    // A Modbus TCP frame, delimited by its header, on a connection.
    void OnTcpFrame(int connection, framing::Direction dir, const framing::Adu& adu, int64_t atNs);
    void OnTcpFault(int connection, framing::Direction dir, std::span<const uint8_t> bytes, int64_t atNs);
    // The connection ended: its pending requests are unanswered.
    void CloseConnection(int connection, int64_t nowNs);

    // Lets silence and time-outs decide; call at NextWakeNs or later.
    void Poll(int64_t nowNs);
    // When Poll has something to decide (-1: nothing).
    int64_t NextWakeNs() const;
    // The end: what the framers hold is judged, pending requests unanswered.
    void Finish(int64_t nowNs);

    // Monotonic nanoseconds into nanoseconds since the epoch.
    int64_t WallOf(int64_t monoNs) const { return monoNs + FWallOffset; }
    static int64_t NowNs();

private:
    struct Pending {
        uint64_t seq;
        uint8_t unit;
        uint8_t function;
        int64_t endNs;
        int channel;
        uint16_t transactionId;
        bool tcp;
        std::vector<uint8_t> pdu;
    };
    struct Line {
        std::unique_ptr<framing::BusFramer> framer;
        int64_t lastArrivalNs = -1;
        std::deque<BusEvent> ready; // framed, not yet reported
    };
    void Drain(int channel, int64_t nowNs);
    // Reports what the lines have framed in line-time order (see the .cpp).
    void Release(int64_t nowNs);
    bool HeldBack(const BusEvent& e, int64_t nowNs) const;
    void Report(BusEvent& e);
    void Emit(BusEvent& e);
    void OnFrame(BusEvent& e, uint64_t key);
    void Unanswered(uint64_t key, int64_t nowNs);

    Sink FSink;
    int64_t FTimeoutNs = 1000000000;
    int64_t FWallOffset = 0;
    uint64_t FSeq = 0;
    std::vector<Line> FLines;
    bool FFlushing = false; // Finish: every framed event goes out
    int64_t FLastEnd = -1; // the serial bus: the end of the last frame or fault
    std::map<uint64_t, Pending> FPending;
};

} // namespace zorp::monitor
