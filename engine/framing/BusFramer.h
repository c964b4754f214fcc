// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// RTU framing of a whole bus, as a passive listener hears it: every frame
// on the line is either a master's request or a slave's answer, and the
// length rules of the two differ for one function. The framer tells them
// apart by content (which reading gives a frame whose CRC is right), by
// the pairing state (after a request to a unit, that unit's answer is
// expected) and, where content cannot decide, by the line's silence; as
// the line framer does, it frames by content first, so that bytes handed
// over late and in bunches (a USB adapter) are framed as they were sent.
//
// Mode Requests or Answers serves one pair of a four-wire bus (only the
// master's, or only the slaves' transmissions are heard there).
//
// Bounded like every framer: at most kMaxHeld bytes held, views into its
// own buffer valid until the next Feed, Next or Reset.
#include "Framer.h"
#include "HeldBytes.h"

namespace zorp::framing {

enum class Direction : uint8_t { Request, Answer };
enum class BusMode : uint8_t { Both, Requests, Answers };

struct BusOutput {
    Output::What what = Output::What::Nothing;
    Direction dir = Direction::Request; // a frame's; a fault's best guess
    Adu adu;                           // a frame (otherSide unused)
    Fault fault = Fault::None;
    std::span<const uint8_t> bytes;    // a fault's bytes (the frame's for a frame)
    // Estimated line times of the first bit and the last bit (kNoTime
    // without arrival times): the bytes are taken to have come back to
    // back up to the time their block arrived.
    int64_t startNs = kNoTime;
    int64_t endNs = kNoTime;
};

class BusFramer {
public:
    BusFramer(BusMode mode, const LineTiming& timing);

    BusMode Mode() const { return FMode; }
    const LineTiming& Timing() const { return FTiming; }
    void Reset();
    void Feed(const uint8_t* data, size_t size, int64_t arrivalNs);
    // The next frame or fault in stream order, or Nothing (see Framer::Next).
    BusOutput Next(int64_t nowNs = kNoTime);
    // When Next(nowNs) may decide by silence what content cannot (kNoTime: nothing waits).
    int64_t JudgeAtNs() const;
    size_t Held() const { return FHeld.Held(); }

    // An answer of this unit and function is expected (set by a request
    // seen here, or by the caller from the other pair of a four-wire bus);
    // unit 0 clears it.
    void ExpectAnswer(uint8_t unit, uint8_t function);
    bool Expecting() const { return FExpectUnit != 0; }

    static constexpr size_t kMaxStarts = HeldBytes::kMaxStarts;
    static constexpr int64_t kFragmentNs = HeldBytes::kFragmentNs;

private:
    struct Found {
        size_t length = 0;
        Direction dir = Direction::Request;
    };
    bool OnLine() const { return FHeld.Timed(); }
    // The sides to try at s, preferred first (count: 1 or 2).
    int Order(Side out[2]) const;
    Found ValidAt(size_t s, bool& wait, int64_t nowNs);
    // No reading can make the bytes at the head a frame.
    bool HeadDead() const;
    // Of the bytes b: the length of a complete frame by the first reading
    // that has one (0: none), and whether some reading may still complete.
    void Readings(std::span<const uint8_t> b, size_t& complete, bool& mayComplete) const;
    BusOutput FrameAt(size_t start, const Found& f);
    BusOutput FaultOf(Fault fault, size_t n);
    int64_t SilenceAfter(bool completeByLength) const { return FHeld.SilenceAfter(completeByLength, FTiming); }

    BusMode FMode;
    LineTiming FTiming;
    HeldBytes FHeld{true}; // with each byte's estimated end on the line
    int64_t FWaitUntil = kNoTime;
    uint8_t FExpectUnit = 0;
    uint8_t FExpectFunction = 0;
};

} // namespace zorp::framing
