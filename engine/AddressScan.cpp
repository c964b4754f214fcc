// SPDX-License-Identifier: GPL-3.0-or-later
#include "AddressScan.h"

#include "ErrorText.h"

#include <algorithm>

namespace zorp {

TAddressScan::TAddressScan(int Function, int64_t First, int64_t Last, int Block)
    : FFunction(Function), FFirst(First), FLast(Last)
{
    Block = std::max(Block, 1);
    for (int64_t a = First; a <= Last; a += Block) FPending.emplace_back(a, int(std::min<int64_t>(Block, Last - a + 1)));
}

bool TAddressScan::Next(int64_t& Start, int& Count) const
{
    if (FPending.empty()) return false;
    Start = FPending.front().first;
    Count = FPending.front().second;
    return true;
}

void TAddressScan::Answered(const std::vector<uint16_t>& Values)
{
    if (FPending.empty()) return;
    const auto [start, count] = FPending.front();
    FPending.pop_front();
    for (int k = 0; k < count; ++k)
        FEntries.push_back({start + k, true, size_t(k) < Values.size() ? Values[size_t(k)] : uint16_t(0), 0});
}

void TAddressScan::Failed(int Code)
{
    if (FPending.empty()) return;
    const auto [start, count] = FPending.front();
    FPending.pop_front();
    if (count > 1) {
        // Each half asked again, the lower one first: the entries stay in
        // address order.
        const int low = count / 2;
        FPending.emplace_front(start + low, count - low);
        FPending.emplace_front(start, low);
        return;
    }
    FEntries.push_back({start, false, 0, Code});
}

std::vector<std::pair<int64_t, int64_t>> TAddressScan::Ranges() const
{
    std::vector<std::pair<int64_t, int64_t>> out;
    for (const TScanEntry& e : FEntries) {
        if (!e.Answered) continue;
        if (!out.empty() && out.back().second + 1 == e.Address) out.back().second = e.Address;
        else out.emplace_back(e.Address, e.Address);
    }
    return out;
}

int TAddressScan::ExceptionOf(int Code)
{
    switch (Code) {
    case 20: return 1;
    case 21: return 2;
    case 22: return 3;
    case 23: case 30: return 4;
    case 24: return 5;
    case 25: return 6;
    case 26: return 0x0A;
    case 27: return 0x0B;
    }
    return 0;
}

std::string TAddressScan::Outcome(const TScanEntry& Entry)
{
    if (Entry.Answered) return std::to_string(Entry.Value);
    if (ExceptionOf(Entry.Code)) return ErrorMeaning(Entry.Code);
    if (Entry.Code == -1) return "short answer";
    return Entry.Code == 4 ? "no answer" : ErrorMeaning(Entry.Code);
}

} // namespace zorp
