// SPDX-License-Identifier: GPL-3.0-or-later
// The monitor's figures.
#include "BusStats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "FrameText.h"

namespace zorp::monitor {

int64_t UnitFunctionStats::Percentile(double p) const
{
    if (responseNs.empty()) return -1;
    std::vector<int64_t> v = responseNs;
    const size_t rank = std::max<size_t>(1, size_t(std::ceil(p / 100.0 * double(v.size()))));
    const size_t i = std::min(rank, v.size()) - 1;
    std::nth_element(v.begin(), v.begin() + std::ptrdiff_t(i), v.end());
    return v[i];
}

void BusStats::Add(const BusEvent& e)
{
    if (e.kind == BusEvent::Kind::Fault) {
        ++FFaults[e.fault];
        return;
    }
    UnitFunctionStats& s = FPer[uint16_t(e.unit << 8 | (e.function & 0x7F))];
    switch (e.kind) {
    case BusEvent::Kind::Request:
        ++FFrames;
        ++s.requests;
        break;
    case BusEvent::Kind::Answer:
        ++FFrames;
        ++s.answers;
        if (e.function & 0x80) ++s.exceptions;
        if (e.requestSeq) {
            ++FPaired;
            if (e.bunched && e.turnaroundNs <= 0) ++s.unmeasured;
            else if (e.turnaroundNs >= 0) s.responseNs.push_back(e.turnaroundNs);
        } else {
            ++FUnpaired;
        }
        break;
    case BusEvent::Kind::NoAnswer:
        ++s.unanswered;
        break;
    case BusEvent::Kind::Fault:
        break;
    }
}

uint64_t BusStats::Faults(framing::Fault f) const
{
    const auto it = FFaults.find(f);
    return it == FFaults.end() ? 0 : it->second;
}

uint64_t BusStats::Requests() const
{
    uint64_t n = 0;
    for (const auto& [k, s] : FPer) n += s.requests;
    return n;
}

uint64_t BusStats::Unanswered() const
{
    uint64_t n = 0;
    for (const auto& [k, s] : FPer) n += s.unanswered;
    return n;
}

uint64_t BusStats::Exceptions() const
{
    uint64_t n = 0;
    for (const auto& [k, s] : FPer) n += s.exceptions;
    return n;
}

uint64_t BusStats::Unmeasured() const
{
    uint64_t n = 0;
    for (const auto& [k, s] : FPer) n += s.unmeasured;
    return n;
}

namespace {
std::string Ms(int64_t ns)
{
    if (ns < 0) return "-";
    char b[32];
    std::snprintf(b, sizeof b, "%.3f", double(ns) / 1e6);
    return b;
}
} // namespace

std::string BusStats::Report() const
{
    std::string out;
    char line[256];
    std::snprintf(line, sizeof line, "%4s %3s %8s %8s %5s %6s %9s %9s %9s %9s  %s\n", "unit", "fc", "requests",
                  "answers", "exc", "no-ans", "min_ms", "median_ms", "p95_ms", "max_ms", "function");
    out += line;
    for (const auto& [key, s] : FPer) {
        std::snprintf(line, sizeof line, "%4u %3u %8llu %8llu %5llu %6llu %9s %9s %9s %9s  %s\n", key >> 8,
                      key & 0xFF, (unsigned long long)s.requests,
                      (unsigned long long)s.answers, (unsigned long long)s.exceptions,
                      (unsigned long long)s.unanswered, Ms(s.Percentile(0)).c_str(), Ms(s.Percentile(50)).c_str(),
                      Ms(s.Percentile(95)).c_str(), Ms(s.Percentile(100)).c_str(),
                      FunctionName(uint8_t(key & 0xFF)).c_str());
        out += line;
    }
    std::snprintf(line, sizeof line,
                  "frames %llu, paired answers %llu, unpaired answers %llu, bad CRC %llu, noise %llu, bad length %llu, "
                  "bad header %llu, turnarounds not seen (bunched) %llu\n",
                  (unsigned long long)FFrames, (unsigned long long)FPaired, (unsigned long long)FUnpaired,
                  (unsigned long long)Faults(framing::Fault::BadCrc), (unsigned long long)Faults(framing::Fault::Noise),
                  (unsigned long long)Faults(framing::Fault::BadLength),
                  (unsigned long long)Faults(framing::Fault::BadHeader), (unsigned long long)Unmeasured());
    out += line;
    return out;
}

} // namespace zorp::monitor
