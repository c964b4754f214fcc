// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The serial line's timing as the engine keeps it: the character time and
// t3.5 of the link opened last, when the line was last busy (the end of the
// last byte sent or received), and the hold of a request that waits for
// t3.5 of quiet. Times are nanoseconds of LineClockNs(), the one time base
// of the line (tests replace it). Private to the engine.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "LineTimer.h"

namespace zorp {

class LineClock {
public:
    // A link was opened with this character time and t3.5: nothing of the
    // last one's traffic counts any more.
    void Open(int64_t charNs, int64_t silenceNs)
    {
        *this = LineClock();
        FCharNs = charNs;
        FSilenceNs = silenceNs;
    }
    int64_t CharNs() const { return FCharNs; }
    int64_t SilenceNs() const { return FSilenceNs; }

    // A frame handed to the port leaves at once and occupies the line for
    // its characters' time.
    void Sent(size_t length)
    {
        const int64_t now = LineClockNs();
        FQuietFrom = std::max(FQuietFrom, now) + int64_t(length) * FCharNs;
    }
    void Received()
    {
        const int64_t now = LineClockNs();
        FLastRx = now;
        FQuietFrom = std::max(FQuietFrom, now);
    }
    int64_t LastReceivedNs() const { return FLastRx; }
    // When the line will have been quiet for t3.5 since its last traffic.
    int64_t QuietAtNs() const { return FQuietFrom + FSilenceNs; }
    // How soon to look again when received bytes still wait to be read.
    int64_t RecheckNs() const { return std::max<int64_t>(FCharNs, 100000); }

    // The pending request waits for quiet: from which tick (the hold counts
    // against its time-out).
    bool Holding() const { return FHolding; }
    uint32_t HoldStart() const { return FHoldStart; }
    void Hold(uint32_t tick)
    {
        if (FHolding) return;
        FHolding = true;
        FHoldStart = tick;
    }
    void EndHold() { FHolding = false; }

    // Listening: the request in hand became complete now; how long ago.
    void RequestDone() { FRequestDone = LineClockNs(); }
    int64_t SinceRequestDoneNs() const { return LineClockNs() - FRequestDone; }

private:
    int64_t FCharNs = 0;
    int64_t FSilenceNs = 0;
    int64_t FQuietFrom = 0;
    int64_t FLastRx = 0;
    int64_t FRequestDone = 0;
    uint32_t FHoldStart = 0;
    bool FHolding = false;
};

} // namespace zorp
