// SPDX-License-Identifier: GPL-3.0-or-later
// The listening side's frame functions: delimitation, checks in their
// order, refusals at the images' end and the buffer's limits, and answers
// byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <memory>
#include <random>
#include <vector>

#include "FramerProbe.h"
#include "ModbusCRC.h"
#include "SlaveFrames.h"

using namespace zorp::slave;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes WithCrc(Bytes b)
{
    const uint16_t crc = zorp::ModbusCRC16(b.data(), b.size());
    b.push_back(static_cast<uint8_t>(crc));
    b.push_back(static_cast<uint8_t>(crc >> 8));
    return b;
}

struct Images {
    std::vector<uint16_t> regs = std::vector<uint16_t>(kImageSize, 0);
    std::unique_ptr<bool[]> coilStore = std::make_unique<bool[]>(kImageSize);
    std::span<bool> coils{coilStore.get(), kImageSize};
};

Bytes Answer(size_t n, const std::array<uint8_t, kAnswerBufferSize>& out) { return Bytes(out.begin(), out.begin() + n); }

} // namespace

// The listener's framers deliver a request only whole: RTU by its
// function's layout (functions without one, and anything with the
// exception bit, where a CRC matches), Modbus TCP as long as its header says.
TEST(SlaveDelimit, RequestsComeWhole)
{
    using zorp::framing::Kind;
    const Bytes read = {0x01, 0x03, 0x00, 0x00, 0x00, 0x02, 0xC4, 0x0B};
    // Write Multiple Registers: byte count 4 → 13 bytes.
    const Bytes multi = WithCrc({0x01, 0x10, 0x00, 0x00, 0x00, 0x02, 0x04, 0x00, 0x0A, 0x01, 0x02});
    ASSERT_EQ(multi.size(), 13u);
    EXPECT_EQ(multi[11], 0x53);
    EXPECT_EQ(multi[12], 0xFC);
    const Bytes fc4 = WithCrc({0x01, 0x04, 0x00, 0x00, 0x00, 0x01});
    const Bytes odd = WithCrc({0x01, 0x41, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70});
    const Bytes echo = {0x00, 0x05, 0x00, 0x00, 0x00, 0x06, 0x01, 0x06, 0x00, 0x01, 0x00, 0x03};
    // A write multiple whose data byte has bit 7 set is not an exception.
    const Bytes tcpMulti = {0x00, 0x01, 0x00, 0x00, 0x00, 0x09, 0x01, 0x10, 0x00, 0x00, 0x00, 0x01, 0x02, 0x80, 0x00};
    struct Case { Kind kind; const Bytes& bytes; size_t from, to; const char* before; const char* whole; };
    const Bytes exc = WithCrc({0x01, 0x83, 0x02});
    const Case cases[] = {
        {Kind::RtuTcp, read, 0, read.size(), "nothing", "frame 8"},
        {Kind::RtuTcp, multi, 0, multi.size(), "nothing", "frame 13"},
        {Kind::RtuTcp, fc4, 0, fc4.size(), "nothing", "frame 8"},
        {Kind::RtuTcp, odd, 0, odd.size(), "nothing", "frame 11"},
        {Kind::RtuTcp, exc, 0, exc.size(), "nothing", "frame 5"},
        {Kind::Mbap, echo, 0, echo.size(), "nothing", "frame 12"},
        {Kind::Mbap, tcpMulti, 0, tcpMulti.size(), "nothing", "frame 15"},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        const Case& c = cases[i];
        for (size_t n = c.from; n < c.to; ++n)
            EXPECT_EQ(zorptest::FirstFramed(c.kind, zorp::framing::Side::Listener, c.bytes, n), c.before) << n;
        EXPECT_EQ(zorptest::FirstFramed(c.kind, zorp::framing::Side::Listener, c.bytes, c.bytes.size()), c.whole);
    }
}

TEST(SlaveCheck, OrderOfChecks)
{
    // Another device wins over a bad CRC.
    EXPECT_EQ(CheckRequest(Bytes{0x02, 0x03, 0, 0, 0, 1, 0, 0}, Framing::Rtu, 1).verdict, Verdict::NotForUs);
    EXPECT_EQ(CheckRequest(Bytes{0x01, 0x03, 0, 0, 0, 1, 0, 0}, Framing::Rtu, 1).verdict, Verdict::BadCrcSingle);
    // A bad CRC wins over bounds: the error frame, not an exception.
    EXPECT_EQ(CheckRequest(Bytes{0x01, 0x03, 0xFF, 0xFF, 0x00, 0x10, 0, 0}, Framing::Rtu, 1).verdict,
              Verdict::BadCrcSingle);
    Bytes multi = WithCrc({0x01, 0x0F, 0x00, 0x13, 0x00, 0x0A, 0x02, 0xCD, 0x01});
    EXPECT_EQ(multi[9], 0x72);
    EXPECT_EQ(multi[10], 0xCB);
    EXPECT_EQ(CheckRequest(multi, Framing::Rtu, 1).verdict, Verdict::Accepted);
    multi[10] ^= 1;
    EXPECT_EQ(CheckRequest(multi, Framing::Rtu, 1).verdict, Verdict::BadCrcMulti);
    // Functions 2 and 4, unknown codes and the exception bit are not answered.
    for (uint8_t fc : {2, 4, 7, 0x43, 0x83})
        EXPECT_EQ(CheckRequest(WithCrc({0x01, fc, 0, 0, 0, 1}), Framing::Rtu, 1).verdict, Verdict::Unsupported)
            << int(fc);
    // TCP carries no CRC.
    const auto tcp = CheckRequest(Bytes{0x01, 0x06, 0x00, 0x01, 0x00, 0x03}, Framing::Tcp, 1);
    EXPECT_EQ(tcp.verdict, Verdict::Accepted);
    EXPECT_EQ(tcp.a, 1);
    EXPECT_EQ(tcp.w, 3);
    // Truncated input is never read past.
    EXPECT_EQ(CheckRequest(Bytes{0x01}, Framing::Rtu, 1).verdict, Verdict::Unsupported);
    // A TCP write multiple whose byte count runs past the header's length
    // is refused whole: its data cannot be told from the next request.
    const auto lying = CheckRequest(Bytes{0x01, 0x10, 0, 0, 0, 1, 0xFF, 1, 2}, Framing::Tcp, 1);
    EXPECT_EQ(lying.verdict, Verdict::Refused);
    EXPECT_EQ(lying.exceptionCode, kIllegalDataValue);
}

TEST(SlaveCheck, RefusesWhatDoesNotFit)
{
    struct Row {
        Bytes pdu; // device address onward, without CRC
        Verdict verdict;
        uint8_t code;
    };
    const std::vector<Row> rows = {
        {{1, 3, 0x00, 0x00, 0x00, 125}, Verdict::Accepted, 0},
        {{1, 3, 0x00, 0x00, 0x00, 126}, Verdict::Refused, kIllegalDataValue},
        {{1, 3, 0x00, 0x00, 0x00, 0x00}, Verdict::Refused, kIllegalDataValue},
        {{1, 3, 0xFF, 0xFF, 0x00, 0x01}, Verdict::Accepted, 0},
        {{1, 3, 0xFF, 0xFF, 0x00, 0x02}, Verdict::Refused, kIllegalDataAddress},
        {{1, 3, 0xFF, 0xF0, 0x00, 0x7D}, Verdict::Refused, kIllegalDataAddress},
        {{1, 1, 0x00, 0x00, 0x07, 0xD0}, Verdict::Accepted, 0},
        {{1, 1, 0x00, 0x00, 0x07, 0xD1}, Verdict::Refused, kIllegalDataValue},
        {{1, 1, 0xFF, 0xFF, 0x00, 0x02}, Verdict::Refused, kIllegalDataAddress},
        // Single writes reach one existing entry.
        {{1, 6, 0xFF, 0xFF, 0x12, 0x34}, Verdict::Accepted, 0},
        {{1, 5, 0xFF, 0xFF, 0xFF, 0x00}, Verdict::Accepted, 0},
        // Write multiple registers: q against bc and the limits.
        {{1, 16, 0x00, 0x00, 0x00, 0x01, 0x02, 0, 1}, Verdict::Accepted, 0},
        {{1, 16, 0x00, 0x00, 0x00, 0x02, 0x02, 0, 1}, Verdict::Refused, kIllegalDataValue},
        {{1, 16, 0x00, 0x00, 0x00, 0x00, 0x00}, Verdict::Refused, kIllegalDataValue},
        {{1, 16, 0xFF, 0xFF, 0x00, 0x02, 0x04, 0, 1, 0, 2}, Verdict::Refused, kIllegalDataAddress},
        // Write multiple coils: bc = ceil(q / 8).
        {{1, 15, 0x00, 0x00, 0x00, 0x09, 0x02, 0xFF, 0x01}, Verdict::Accepted, 0},
        {{1, 15, 0x00, 0x00, 0x00, 0x09, 0x01, 0xFF}, Verdict::Refused, kIllegalDataValue},
        {{1, 15, 0xFF, 0xFF, 0x00, 0x02, 0x01, 0x03}, Verdict::Refused, kIllegalDataAddress},
        {{1, 15, 0xFF, 0xFF, 0x00, 0x01, 0x01, 0x01}, Verdict::Accepted, 0},
    };
    for (size_t i = 0; i < rows.size(); ++i) {
        for (Framing f : {Framing::Rtu, Framing::Tcp}) {
            const Bytes req = f == Framing::Rtu ? WithCrc(rows[i].pdu) : rows[i].pdu;
            const auto r = CheckRequest(req, f, 1);
            EXPECT_EQ(r.verdict, rows[i].verdict) << "row " << i;
            EXPECT_EQ(r.exceptionCode, rows[i].code) << "row " << i;
        }
    }
    // Write multiple registers over the limit, with a consistent byte count.
    Bytes big = {1, 16, 0, 0, 0, 124, 248};
    big.resize(7 + 248, 0);
    EXPECT_EQ(CheckRequest(WithCrc(big), Framing::Rtu, 1).exceptionCode, kIllegalDataValue);
}

TEST(SlaveImages, WritesAndPacksStayInside)
{
    Images img;
    WriteRegisters(img.regs, 0xFFFF, 3, Bytes{0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC});
    EXPECT_EQ(img.regs[0xFFFF], 0x1234);
    EXPECT_EQ(img.regs[0], 0); // no wrap to the front
    WriteRegisters(img.regs, 10, 2, Bytes{0x00, 0x0A, 0x01}); // short data: the second word is left
    EXPECT_EQ(img.regs[10], 10);
    EXPECT_EQ(img.regs[11], 0);

    WriteCoilBits(img.coils, 0, 10, Bytes{0xCD, 0x01});
    const bool expected[10] = {true, false, true, true, false, false, true, true, true, false};
    for (int k = 0; k < 10; ++k)
        EXPECT_EQ(img.coils[k], expected[k]) << k;
    EXPECT_FALSE(img.coils[10]);

    std::array<uint8_t, 2> packed{0xFF, 0xFF};
    EXPECT_EQ(PackCoilBits(img.coils, 0, 10, packed), 2u);
    EXPECT_EQ(packed[0], 0xCD);
    EXPECT_EQ(packed[1], 0x01);

    img.coils[0xFFFF] = true;
    std::array<uint8_t, 1> one{};
    EXPECT_EQ(PackCoilBits(img.coils, 0xFFFF, 16, one), 2u); // needs 2, writes 1
    EXPECT_EQ(one[0], 0x01);
}

TEST(SlaveAnswers, FramesByteForByte)
{
    Images img;
    img.regs[0] = 10;
    img.regs[1] = 258;
    std::array<uint8_t, kAnswerBufferSize> out{};

    size_t n = BuildReadRegistersAnswer(Framing::Rtu, 1, 0, img.regs, 0, 2, out);
    EXPECT_EQ(Answer(n, out), (Bytes{0x01, 0x03, 0x04, 0x00, 0x0A, 0x01, 0x02, 0x5A, 0x60}));
    n = BuildReadRegistersAnswer(Framing::Tcp, 1, 0x1234, img.regs, 0, 2, out);
    EXPECT_EQ(Answer(n, out), (Bytes{0x12, 0x34, 0, 0, 0, 7, 0x01, 0x03, 0x04, 0x00, 0x0A, 0x01, 0x02}));

    const Bytes packed = {0xCD, 0x01};
    n = BuildReadCoilsAnswer(Framing::Rtu, 1, 0, packed, out);
    EXPECT_EQ(Answer(n, out), (Bytes{0x01, 0x01, 0x02, 0xCD, 0x01, 0x2C, 0xAC}));
    n = BuildReadCoilsAnswer(Framing::Tcp, 1, 7, packed, out);
    EXPECT_EQ(Answer(n, out), (Bytes{0, 7, 0, 0, 0, 5, 0x01, 0x01, 0x02, 0xCD, 0x01}));

    n = BuildEchoAnswer(Framing::Rtu, 1, 0, 6, 1, 3, out);
    EXPECT_EQ(Answer(n, out), (Bytes{0x01, 0x06, 0x00, 0x01, 0x00, 0x03, 0x98, 0x0B}));
    n = BuildEchoAnswer(Framing::Tcp, 1, 5, 6, 1, 3, out);
    EXPECT_EQ(Answer(n, out), (Bytes{0x00, 0x05, 0x00, 0x00, 0x00, 0x06, 0x01, 0x06, 0x00, 0x01, 0x00, 0x03}));
    n = BuildEchoAnswer(Framing::Rtu, 1, 0, 15, 0x13, 10, out);
    EXPECT_EQ(Answer(n, out), (Bytes{0x01, 0x0F, 0x00, 0x13, 0x00, 0x0A, 0x24, 0x09}));

    n = BuildErrorFrame(1, kErrorFrameCode, out);
    EXPECT_EQ(Answer(n, out), (Bytes{0x01, 0x50, 0x04, 0x1D, 0xC3}));
    n = BuildExceptionAnswer(Framing::Rtu, 1, 0, 3, kIllegalDataAddress, out);
    EXPECT_EQ(Answer(n, out), WithCrc({0x01, 0x83, 0x02}));
    n = BuildExceptionAnswer(Framing::Tcp, 1, 9, 16, kIllegalDataValue, out);
    EXPECT_EQ(Answer(n, out), (Bytes{0, 9, 0, 0, 0, 3, 0x01, 0x90, 0x03}));
}

TEST(SlaveAnswers, RefuseToOverrunTheBuffer)
{
    Images img;
    std::array<uint8_t, kAnswerBufferSize> out{};
    // The largest legal answers fit.
    EXPECT_EQ(BuildReadRegistersAnswer(Framing::Tcp, 1, 0, img.regs, 0, kMaxReadRegisters, out),
              9u + 2 * kMaxReadRegisters);
    // A byte count that would wrap, a run past the image, a short buffer: nothing.
    EXPECT_EQ(BuildReadRegistersAnswer(Framing::Rtu, 1, 0, img.regs, 0, 128, out), 0u);
    EXPECT_EQ(BuildReadRegistersAnswer(Framing::Rtu, 1, 0, img.regs, 0xFFFF, 2, out), 0u);
    std::array<uint8_t, 8> small{};
    EXPECT_EQ(BuildReadRegistersAnswer(Framing::Rtu, 1, 0, img.regs, 0, 2, small), 0u);
    EXPECT_EQ(BuildEchoAnswer(Framing::Tcp, 1, 0, 6, 0, 0, small), 0u);
    EXPECT_EQ(BuildEchoAnswer(Framing::Rtu, 1, 0, 6, 0, 0, small), 8u);
    const Bytes tooMany(256, 0);
    EXPECT_EQ(BuildReadCoilsAnswer(Framing::Rtu, 1, 0, tooMany, out), 0u);
}

// Random and mutated requests go through delimitation, checks, image writes
// and answers without reading or writing out of bounds (run under the
// sanitizers), and every answer fits its buffer.
TEST(SlaveRobustness, ArbitraryBytesStayInBounds)
{
    Images img;
    std::mt19937 rng(12345);
    const std::vector<Bytes> seeds = {
        WithCrc({0x01, 0x03, 0x00, 0x00, 0x00, 0x02}),
        WithCrc({0x01, 0x10, 0xFF, 0xF0, 0x00, 0x02, 0x04, 1, 2, 3, 4}),
        WithCrc({0x01, 0x0F, 0xFF, 0xFF, 0x00, 0x01, 0x01, 0x01}),
        {0x00, 0x01, 0x00, 0x00, 0x00, 0x06, 0x01, 0x01, 0xFF, 0x00, 0x07, 0xD0},
    };
    for (int i = 0; i < 20000; ++i) {
        Bytes b = seeds[size_t(i) % seeds.size()];
        const int mutations = int(rng() % 4);
        for (int m = 0; m < mutations; ++m) {
            switch (rng() % 3) {
            case 0: b[rng() % b.size()] = uint8_t(rng()); break;
            case 1: b.resize(rng() % (b.size() + 1)); break;
            default: b.push_back(uint8_t(rng())); break;
            }
            if (b.empty()) b.push_back(0x01);
        }
        const Framing f = (i / 4) % 2 ? Framing::Tcp : Framing::Rtu;
        using namespace zorp::framing;
        auto framer = MakeFramer(f == Framing::Tcp ? Kind::Mbap : Kind::RtuTcp, Side::Listener);
        framer->Feed(b.data(), b.size(), kNoTime);
        const Output o = framer->Next();
        const bool badCrc = o.what == Output::What::Fault && o.fault == Fault::BadCrc;
        if (o.what != Output::What::Frame && !badCrc) continue;
        const size_t skip = f == Framing::Tcp ? kTcpHeaderSize : 0;
        const std::span<const uint8_t> whole = badCrc ? o.bytes : o.adu.frame;
        const std::span<const uint8_t> body = whole.subspan(std::min(skip, whole.size()));
        const Request r = CheckRequest(body, f, 1);
        std::array<uint8_t, kAnswerBufferSize> out{};
        if (r.verdict == Verdict::Refused) {
            EXPECT_GT(BuildExceptionAnswer(f, 1, 0, r.fc, r.exceptionCode, out), 0u);
            continue;
        }
        if (r.verdict != Verdict::Accepted) continue;
        size_t n = 0;
        switch (r.fc) {
        case 1: {
            std::array<uint8_t, 256> packed{};
            const size_t m = PackCoilBits(img.coils, r.a, r.w, packed);
            ASSERT_LE(m, packed.size());
            n = BuildReadCoilsAnswer(f, 1, 0, {packed.data(), m}, out);
            break;
        }
        case 3: n = BuildReadRegistersAnswer(f, 1, 0, img.regs, r.a, r.w, out); break;
        case 15: WriteCoilBits(img.coils, r.a, r.w, r.data); n = BuildEchoAnswer(f, 1, 0, r.fc, r.a, r.w, out); break;
        case 16: WriteRegisters(img.regs, r.a, r.w, r.data); n = BuildEchoAnswer(f, 1, 0, r.fc, r.a, r.w, out); break;
        default: n = BuildEchoAnswer(f, 1, 0, r.fc, r.a, r.w, out); break;
        }
        EXPECT_GT(n, 0u) << "accepted request without an answer, fc " << int(r.fc);
    }
}
