// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// RTU framing backends: RtuLineFramer (a serial line, with arrival times)
// and RtuTcpFramer (RTU carried over TCP: content alone, bounded). One class
// serves both; see Framer.h for what each does.
#include "Framer.h"
#include "HeldBytes.h"

namespace zorp::framing {

// RtuResponseLength (side Master) or RtuRequestLength (Listener); byCrc
// tells whether the function has no fixed layout (its frame ends where a
// CRC matches).
size_t RtuLength(std::span<const uint8_t> bytes, Side side, bool& byCrc);

class RtuFramer : public Framer {
public:
    // timed: the serial line (bytes followed by a silence may start a frame,
    // and a silence decides what content cannot); otherwise RTU over TCP.
    RtuFramer(Side side, bool timed, const LineTiming& timing);

    Kind GetKind() const override { return FTimed ? Kind::RtuLine : Kind::RtuTcp; }
    Side GetSide() const override { return FSide; }
    void Reset() override;
    void Feed(const uint8_t* data, size_t size, int64_t arrivalNs) override;
    Output Next(int64_t nowNs = kNoTime) override;
    int64_t JudgeAtNs() const override;
    size_t Held() const override { return FHeld.Held(); }

    static constexpr size_t kMaxStarts = HeldBytes::kMaxStarts;
    static constexpr int64_t kFragmentNs = HeldBytes::kFragmentNs;

private:
    // The bytes came with their times on a serial line (not by content alone).
    bool OnLine() const { return FHeld.Timed(); }
    // A valid frame by this side's rules, else by the other side's, at
    // offset s: its length, 0 when none (other: by the other side's).
    // wait: a frame valid by the other side's rules is there, but the
    // listener's own frame at s may still complete; nothing is taken until
    // the line has been quiet (FWaitUntil) or more bytes decide.
    size_t ValidAt(size_t s, bool& other, bool& wait, int64_t nowNs);
    Output FrameAt(size_t start, size_t length, bool other);
    Output FaultOf(Fault fault, size_t n);
    // The silence after the last arrival that lets Next decide (kNoTime: none).
    int64_t SilenceAfter(bool completeByLength) const { return FHeld.SilenceAfter(completeByLength, FTiming); }

    Side FSide;
    bool FTimed;
    LineTiming FTiming;
    HeldBytes FHeld; // arrival times only on the serial line
    int64_t FWaitUntil = kNoTime; // see ValidAt; set by the last Next
};

class RtuLineFramer final : public RtuFramer {
public:
    RtuLineFramer(Side side, const LineTiming& timing) : RtuFramer(side, true, timing) {}
};

class RtuTcpFramer final : public RtuFramer {
public:
    explicit RtuTcpFramer(Side side) : RtuFramer(side, false, {}) {}
};

} // namespace zorp::framing
