// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the timed virtual serial line recorded, turned into the figures of the
// line benchmarks: when each request began, how close a run of transactions
// came to the line's physical limit and the silences before the requests.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "TimedLine.h"

namespace zorpbench {

// The line's record in the order the bytes went on it.
inline std::vector<zorptest::WireByte> SortedRecord(const zorptest::TimedLine& line)
{
    std::vector<zorptest::WireByte> r = line.record();
    std::stable_sort(r.begin(), r.end(), [](const auto& a, const auto& b) { return a.start < b.start; });
    return r;
}

// The start of every request: a master byte after at least half a t3.5 of
// the master's own silence.
inline std::vector<int64_t> RequestStarts(const std::vector<zorptest::WireByte>& sorted, int64_t t35)
{
    std::vector<int64_t> starts;
    int64_t lastMaster = INT64_MIN / 2;
    for (const auto& b : sorted) {
        if (b.dir != zorptest::WireByte::FromMaster) continue;
        if (b.start - lastMaster >= t35 / 2) starts.push_back(b.start);
        lastMaster = b.end;
    }
    return starts;
}

// The line's physical limit for one transaction: the request's and the
// answer's transmission times and one t3.5 after each.
inline int64_t TransactionLimitNs(const zorptest::LineFormat& f, size_t requestBytes, size_t answerBytes)
{
    return f.bytesNs(requestBytes) + f.silenceNs() + f.bytesNs(answerBytes) + f.silenceNs();
}

struct LineFigures {
    double Efficiency = 0; // limit / measured time per transaction
    int64_t MinGapNs = 0;  // shortest silence before a request
    double MeanGapNs = 0;
    long ShortGaps = 0;    // requests with less than t3.5 - 0.2 ms before them
};

// The figures of the first Transactions transactions: their time runs from
// the first request to the (Transactions + 1)-th, which starts must hold.
inline LineFigures Figures(const zorptest::TimedLine& line, const std::vector<int64_t>& starts, int Transactions,
                           int64_t limitNs)
{
    LineFigures out;
    const int64_t t35 = line.format().silenceNs();
    const double per = double(starts[size_t(Transactions)] - starts[0]) / Transactions;
    out.Efficiency = double(limitNs) / per;
    const std::vector<int64_t> gaps = line.gapsBeforeRequests();
    out.MinGapNs = gaps.empty() ? 0 : *std::min_element(gaps.begin(), gaps.end());
    double sum = 0;
    for (int64_t g : gaps) sum += double(g);
    out.MeanGapNs = gaps.empty() ? 0.0 : sum / double(gaps.size());
    out.ShortGaps = long(std::count_if(gaps.begin(), gaps.end(), [&](int64_t g) { return g < t35 - 200000; }));
    return out;
}

// "<name>_efficiency_<baud> 0.993" and the gap lines.
inline void PrintFigures(const char* name, int baud, const LineFigures& f)
{
    std::printf("%s_efficiency_%d %.3f\n", name, baud, f.Efficiency);
    std::printf("%s_min_gap_us_%d %.0f\n", name, baud, double(f.MinGapNs) / 1000.0);
    std::printf("%s_mean_gap_us_%d %.0f\n", name, baud, f.MeanGapNs / 1000.0);
    std::printf("%s_short_gaps_%d %ld\n", name, baud, f.ShortGaps);
}

} // namespace zorpbench
