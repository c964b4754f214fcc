// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Figures per unit and function: requests, answers, exceptions, requests
// left unanswered, and the slave's response time (min, median, 95th
// percentile, max), plus the bus's faults.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "BusEvent.h"

namespace zorp::monitor {

struct UnitFunctionStats {
    uint64_t requests = 0;
    uint64_t answers = 0;
    uint64_t exceptions = 0;
    uint64_t unanswered = 0;
    std::vector<int64_t> responseNs; // turnaround of every paired answer whose start was seen
    // Paired answers that came in one block with their request (an
    // adapter's bunch): their turnaround is no measurement and is left out.
    uint64_t unmeasured = 0;

    // Percentile p (0..100) of the response times, nearest rank; -1: none.
    int64_t Percentile(double p) const;
};

class BusStats {
public:
    void Add(const BusEvent& e);

    // Key: unit << 8 | function (bit 7 clear).
    const std::map<uint16_t, UnitFunctionStats>& PerUnit() const { return FPer; }
    uint64_t Frames() const { return FFrames; }
    uint64_t Paired() const { return FPaired; }
    uint64_t UnpairedAnswers() const { return FUnpaired; }
    uint64_t Faults(framing::Fault f) const;
    uint64_t Requests() const;
    uint64_t Unanswered() const;
    uint64_t Exceptions() const;
    uint64_t Unmeasured() const;

    // The summary as a table of text lines.
    std::string Report() const;

private:
    std::map<uint16_t, UnitFunctionStats> FPer;
    std::map<framing::Fault, uint64_t> FFaults;
    uint64_t FFrames = 0, FPaired = 0, FUnpaired = 0;
};

} // namespace zorp::monitor
