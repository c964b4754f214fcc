// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Framing backends: one small object per framing behind one interface, used
// by the master and the listening side alike.
//
// Bytes go in as they arrive (with their arrival time where the link has
// one); complete application data units come out, or a fault (a bad CRC, a
// frame whose length cannot be, bytes that form no frame). The backends:
//
// - RtuLineFramer (RTU on a serial line): frames by content first: a frame
//   whose function's length rule is met and whose CRC is right is complete
//   at once, whatever pauses the link put inside it (a USB adapter hands
//   bytes over in bunches). A silence of t3.5 on the line is used only
//   where content cannot decide: bytes that follow one may start a frame
//   of their own, and what is complete by its length but fails its CRC is
//   judged (reported as a bad frame) once the line has been quiet.
// - RtuTcpFramer (RTU carried over TCP): no line timing; frames by CRC and
//   the length rules, bounded by the largest RTU frame.
// - MbapFramer (Modbus TCP): frames by the header's length field alone.
//
// The master's framers apply the response rules, the listener's the request
// rules. On a serial line, where other devices share the bus, a frame that
// is valid only by the other side's rules (the master hearing a request, a
// listener hearing another slave's answer) comes out flagged `otherSide`, so
// that the caller can skip it knowingly, and a valid frame behind bytes that
// can never become one is found wherever it starts. Without line timing the
// head of the stream alone is framed: a frame complete by its length whose
// CRC is wrong is a fault at once.
//
// Every backend is bounded: it holds at most kMaxHeld bytes, never reads
// past what it was given, and allocates nothing per frame (what Next
// returns is a view into the framer's own buffer, valid until the next
// call to Feed, Next or Reset).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace zorp::framing {

// Times are nanoseconds of one monotonic clock; kNoTime: the link gives none.
constexpr int64_t kNoTime = -1;

// The largest frames: RTU (address, 253 bytes of PDU, CRC) and Modbus TCP
// (6-byte prefix, unit identifier, 253 bytes of PDU).
constexpr size_t kMaxPdu = 253;
constexpr size_t kMaxRtuAdu = 256;
constexpr size_t kMaxMbapAdu = 260;
// Bytes a framer holds at most; whatever would go past is dropped as noise.
constexpr size_t kMaxHeld = 1024;

// One protocol data unit, function code first, exactly as long as its frame
// gave: a response check sees this and never the receive buffer. A view;
// reads past its end give 0 and never touch memory.
class Pdu {
public:
    constexpr Pdu() = default;
    constexpr Pdu(const uint8_t* data, size_t size) : FData(size ? data : nullptr), FSize(size) {}

    constexpr size_t Size() const { return FSize; }
    constexpr bool Empty() const { return FSize == 0; }
    constexpr const uint8_t* Data() const { return FData; }
    constexpr std::span<const uint8_t> Bytes() const { return {FData, FSize}; }
    constexpr uint8_t operator[](size_t i) const { return i < FSize ? FData[i] : 0; }
    // Function code (bit 7 included), 0 for an empty PDU.
    constexpr uint8_t Function() const { return (*this)[0]; }
    constexpr bool IsException() const { return FSize >= 1 && (FData[0] & 0x80) != 0; }
    // The big-endian word at byte i (0 when it is not all there).
    constexpr uint16_t Word(size_t i) const
    {
        return i + 1 < FSize ? static_cast<uint16_t>((FData[i] << 8) | FData[i + 1]) : 0;
    }
    // The bytes from i on (empty past the end).
    constexpr Pdu From(size_t i) const { return i < FSize ? Pdu(FData + i, FSize - i) : Pdu(); }

private:
    const uint8_t* FData = nullptr;
    size_t FSize = 0;
};

// One application data unit as received.
struct Adu {
    uint8_t unit = 0;            // RTU: device address; Modbus TCP: unit identifier
    uint16_t transactionId = 0;  // Modbus TCP only
    uint16_t protocolId = 0;     // Modbus TCP only
    Pdu pdu;                     // function code and data, no CRC, no header
    std::span<const uint8_t> frame; // the whole frame as received (header, CRC included)
    bool otherSide = false;      // valid only by the other side's rules (see above)
};

enum class Fault : uint8_t {
    None,
    BadCrc,    // RTU: complete by its function's length, but its CRC is wrong
    BadLength, // a frame whose own length cannot be (RTU: none within kMaxRtuAdu)
    Noise,     // bytes that form no frame: a fragment, garbage, another device's tail
    BadHeader  // Modbus TCP: the header's length is out of range; the stream is lost
};

struct Output {
    enum class What : uint8_t {
        Nothing, // content cannot tell yet (more bytes, or a silence, are needed)
        Frame,   // `adu` is complete
        Fault    // `fault`; `bytes` are the bytes it was about (now dropped)
    };
    What what = What::Nothing;
    Adu adu;
    Fault fault = Fault::None;
    std::span<const uint8_t> bytes;
};

enum class Side : uint8_t {
    Master,  // takes responses
    Listener // takes requests
};

enum class Kind : uint8_t { RtuLine, RtuTcp, Mbap };

// Serial line timing of RTU: one character's time and t3.5.
struct LineTiming {
    int64_t charNs = 0;
    int64_t silenceNs = 0;
    // The host's part: a silence this much beyond t3.5 is needed before
    // bytes are judged by it (the kernel of a busy machine holds received
    // bytes back for milliseconds).
    int64_t marginNs = 10000000;
};

class Framer {
public:
    virtual ~Framer() = default;
    virtual Kind GetKind() const = 0;
    virtual Side GetSide() const = 0;

    // Forgets every byte held: a request is about to go out, the link was
    // reopened, or the caller is done with the frame in hand.
    virtual void Reset() = 0;
    // Bytes as they arrived, in order. arrivalNs: when they came in
    // (kNoTime where the link has no timing; RtuLineFramer then frames by
    // content alone).
    virtual void Feed(const uint8_t* data, size_t size, int64_t arrivalNs) = 0;
    // The next frame or fault in stream order, or Nothing. nowNs (line
    // framer only): the time now, so that a silence since the last arrival
    // can decide what content cannot; kNoTime judges by content alone.
    // Each call consumes what it returns.
    virtual Output Next(int64_t nowNs = kNoTime) = 0;
    // Line framer: the time at which Next(nowNs) could decide something by
    // silence that content cannot decide now; kNoTime when nothing waits
    // for a silence.
    virtual int64_t JudgeAtNs() const { return kNoTime; }
    // Bytes held that no frame has taken yet.
    virtual size_t Held() const = 0;
};

// Makes the backend of a kind for a side. timing: for RtuLine (ignored by
// the others).
std::unique_ptr<Framer> MakeFramer(Kind kind, Side side, const LineTiming& timing = {});

// ---- RTU length rules, by content --------------------------------------
// Length (CRC included) of the RTU frame at the head of `bytes` by the rules
// of its function code, as far as the bytes present tell: 0 while unknown
// (too few bytes, or a function without a fixed layout whose CRC has not
// matched yet). Functions without a fixed layout end at the first length
// from 4 on whose CRC matches; kMaxRtuAdu + 1 when none does within it.
size_t RtuResponseLength(std::span<const uint8_t> bytes);
size_t RtuRequestLength(std::span<const uint8_t> bytes);
// A response PDU is exactly as long as its function's layout (and its byte
// count) says; functions without a fixed layout always fit.
bool ResponseFitsPdu(Pdu pdu);

} // namespace zorp::framing
