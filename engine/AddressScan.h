// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Which addresses a device implements: a range read block by block; a block
// that ends in an exception or no answer is split in two and each half read
// again, down to single addresses, so that every address ends with its
// value, its exception, or no answer. Pure bookkeeping: the caller makes
// each read the scan asks for and reports its outcome.
#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

namespace zorp {

struct TScanEntry {
    int64_t Address = 0;  // 1-based, 1 to 65536
    bool Answered = false;
    uint16_t Value = 0;   // the register, or the bit (0 or 1)
    int Code = 0;         // the engine's error code when not answered
};

class TAddressScan {
public:
    // Function 1 to 4; First and Last 1-based; Block the largest read.
    TAddressScan(int Function, int64_t First, int64_t Last, int Block);

    int Function() const { return FFunction; }
    // The next read to make: false when the scan is over.
    bool Next(int64_t& Start, int& Count) const;
    // Its outcome: the values read (one per address), or the engine's error.
    void Answered(const std::vector<uint16_t>& Values);
    void Failed(int Code);

    bool Done() const { return FPending.empty(); }
    // Every address finished so far, in address order.
    const std::vector<TScanEntry>& Entries() const { return FEntries; }
    int64_t Total() const { return FLast - FFirst + 1; }
    // The runs of answered addresses: first and last of each.
    std::vector<std::pair<int64_t, int64_t>> Ranges() const;

    // An engine error code as an exception code (1 to 0x0B), 0 for an
    // error that is no exception (no answer, a bad frame).
    static int ExceptionOf(int Code);
    // "exception 02, illegal data address", "no answer", "short answer"
    // (code -1: fewer items than asked for), or the value.
    static std::string Outcome(const TScanEntry& Entry);

private:
    int FFunction;
    int64_t FFirst, FLast;
    std::deque<std::pair<int64_t, int>> FPending; // reads still to make, in address order
    std::vector<TScanEntry> FEntries;
};

} // namespace zorp
