// SPDX-License-Identifier: GPL-3.0-or-later
// Request builders, response delimitation and response checks.
#include <gtest/gtest.h>

#include "EngineTestUtil.h"
#include "FramerProbe.h"
#include "ModbusFrames.h"
#include "MbapFraming.h"
#include "RtuLine.h"
#include "ErrorText.h"

using namespace zorp;
using zorptest::Hex;
using zorptest::ToHex;
using zorptest::WithCrc;

namespace {

std::string Word(Framing f, uint8_t fc, uint16_t address, uint16_t word, uint16_t tid = 1, uint8_t dev = 1)
{
    uint8_t out[kShortFrameCapacity];
    const size_t n = BuildWordRequest(out, sizeof out, f, dev, tid, fc, address, word);
    return ToHex(std::vector<uint8_t>(out, out + n));
}

std::string MultiRegs(Framing f, uint16_t address, const std::vector<uint16_t>& v, uint16_t count, uint16_t tid = 1)
{
    uint8_t out[kBlockFrameCapacity];
    const size_t n = BuildMultiRegsRequest(out, sizeof out, f, 1, tid, address, v.data(), v.size(), count);
    return ToHex(std::vector<uint8_t>(out, out + n));
}

} // namespace

TEST(RequestFrames, SingleWordRequestsInRtu)
{
    EXPECT_EQ(Word(Framing::Rtu, 3, 1, 10), "01 03 00 00 00 0A C5 CD");
    EXPECT_EQ(Word(Framing::Rtu, 1, 17, 6), "01 01 00 10 00 06 BD CD");
    EXPECT_EQ(Word(Framing::Rtu, 5, 1, 0xFF00), "01 05 00 00 FF 00 8C 3A");
    EXPECT_EQ(Word(Framing::Rtu, 5, 1, 0x0000), "01 05 00 00 00 00 CD CA");
    EXPECT_EQ(Word(Framing::Rtu, 5, 17, 0xFF00), "01 05 00 10 FF 00 8D FF"); // relay 1
    EXPECT_EQ(Word(Framing::Rtu, 6, 1, 3), "01 06 00 00 00 03 C9 CB");
    EXPECT_EQ(Word(Framing::Rtu, 102, 1, 5), "01 66 00 00 00 05 C9 C1");
    // Address 0 goes out as wire address FF FF.
    EXPECT_EQ(Word(Framing::Rtu, 3, 0, 1).substr(0, 11), "01 03 FF FF");
}

TEST(RequestFrames, TcpFramingCarriesHeaderAndNoCrc)
{
    EXPECT_EQ(Word(Framing::Tcp, 3, 1, 10, 1), "00 01 00 00 00 06 01 03 00 00 00 0A");
    EXPECT_EQ(Word(Framing::Tcp, 6, 2, 0x1234, 0xABCD, 7), "AB CD 00 00 00 06 07 06 00 01 12 34");
    EXPECT_EQ(MultiRegs(Framing::Tcp, 1, {10, 258}, 2, 2), "00 02 00 00 00 0B 01 10 00 00 00 02 04 00 0A 01 02");
}

TEST(RequestFrames, NoFramingBuildsNothing)
{
    uint8_t out[kShortFrameCapacity] = {};
    EXPECT_EQ(BuildWordRequest(out, sizeof out, Framing::None, 1, 1, 3, 1, 10), 0u);
    EXPECT_EQ(RequestFraming(mbpASCII), Framing::None);
    EXPECT_EQ(RequestFraming(mbpNone), Framing::None);
    EXPECT_FALSE(IsTcpFraming(mbpASCII));
}

TEST(RequestFrames, MultipleRegisters)
{
    EXPECT_EQ(MultiRegs(Framing::Rtu, 1, {10, 258}, 2), "01 10 00 00 00 02 04 00 0A 01 02 53 FC");
    // Only count values are written, even when more are given.
    EXPECT_EQ(MultiRegs(Framing::Rtu, 1, {10, 258, 7}, 2), "01 10 00 00 00 02 04 00 0A 01 02 53 FC");

    // The largest request fits its buffer, in both framings; beyond the
    // Modbus limit, with too few values or with no register it is refused.
    std::vector<uint16_t> many(300, 0x55AA);
    uint8_t out[kBlockFrameCapacity];
    EXPECT_EQ(BuildMultiRegsRequest(out, sizeof out, Framing::Rtu, 1, 0, 1, many.data(), many.size(), 123), 9u + 246u);
    EXPECT_EQ(out[6], 246);
    EXPECT_EQ(BuildMultiRegsRequest(out, sizeof out, Framing::Tcp, 1, 0, 1, many.data(), many.size(), 123), 13u + 246u);
    EXPECT_EQ(BuildMultiRegsRequest(out, sizeof out, Framing::Rtu, 1, 0, 1, many.data(), many.size(), 124), 0u);
    EXPECT_EQ(BuildMultiRegsRequest(out, sizeof out, Framing::Rtu, 1, 0, 1, many.data(), many.size(), 300), 0u);
    EXPECT_EQ(BuildMultiRegsRequest(out, sizeof out, Framing::Rtu, 1, 0, 1, many.data(), 1, 2), 0u);
    EXPECT_EQ(BuildMultiRegsRequest(out, sizeof out, Framing::Rtu, 1, 0, 1, many.data(), many.size(), 0), 0u);
    // A buffer too small for the frame is never written past.
    uint8_t small[12];
    EXPECT_EQ(BuildMultiRegsRequest(small, sizeof small, Framing::Rtu, 1, 0, 1, many.data(), many.size(), 2), 0u);
    EXPECT_EQ(BuildWordRequest(small, 7, Framing::Rtu, 1, 0, 3, 1, 1), 0u);
}

TEST(RequestFrames, MultipleCoilsAndFileRecord)
{
    const std::vector<bool> coils = {true, false, true, true, false, false, true, true, true, false};
    const std::vector<uint8_t> packed = PackBits(coils, coils.size());
    EXPECT_EQ(ToHex(packed), "CD 01");

    uint8_t out[kBlockFrameCapacity];
    size_t n = BuildMultiCoilsRequest(out, sizeof out, Framing::Rtu, 1, 0, 20, 10, packed.data(), packed.size(), 2);
    EXPECT_EQ(ToHex({out, out + n}), "01 0F 00 13 00 0A 02 CD 01 72 CB");
    n = BuildMultiCoilsRequest(out, sizeof out, Framing::Tcp, 1, 9, 20, 10, packed.data(), packed.size(), 2);
    EXPECT_EQ(ToHex({out, out + n}), "00 09 00 00 00 09 01 0F 00 13 00 0A 02 CD 01");
    EXPECT_EQ(BuildMultiCoilsRequest(out, sizeof out, Framing::Rtu, 1, 0, 20, 10, packed.data(), 1, 2), 0u);

    n = BuildFileRecordRequest(out, sizeof out, Framing::Rtu, 1, 0, 1, 0, 10);
    EXPECT_EQ(ToHex({out, out + n}), "01 14 07 06 00 01 00 00 00 0A 44 E3");
    n = BuildFileRecordRequest(out, sizeof out, Framing::Tcp, 1, 3, 1, 0, 10);
    EXPECT_EQ(ToHex({out, out + n}), "00 03 00 00 00 0A 01 14 07 06 00 01 00 00 00 0A");
    // The record number travels without the address shift.
    n = BuildFileRecordRequest(out, sizeof out, Framing::Rtu, 1, 0, 2, 5, 1);
    EXPECT_EQ(out[6], 0);
    EXPECT_EQ(out[7], 5);
}

TEST(BitPacking, ShortDataReadsFalseBeyondItsEnd)
{
    const uint8_t data[] = {0xCD, 0x01};
    const std::vector<bool> ten = UnpackBits(data, 2, 10);
    const std::vector<bool> expect = {true, false, true, true, false, false, true, true, true, false};
    EXPECT_EQ(ten, expect);
    const std::vector<bool> more = UnpackBits(data, 1, 12); // one byte for 12 coils
    EXPECT_TRUE(more[7]);
    for (size_t k = 8; k < 12; ++k) EXPECT_FALSE(more[k]) << k;
    EXPECT_EQ(PackBits({true}, 9).size(), 2u); // missing values count as off
}

// The master's framers deliver a response only whole: RTU with its CRC
// (exceptions included), Modbus TCP as long as its header says.
TEST(ResponseFraming, WholeFramesOnly)
{
    using zorp::framing::Kind;
    struct Case { Kind kind; std::vector<uint8_t> bytes; size_t fed; const char* expect; };
    const auto read = WithCrc(Hex("01 03 04 00 0A 01 02"));
    std::vector<uint8_t> badCrc = read;
    badCrc[8] ^= 1;
    std::vector<uint8_t> readThenMore = read;
    readThenMore.push_back(0x55);
    const auto ack = Hex("01 06 00 00 00 03 C9 CB");
    const auto tcpExc = Hex("00 01 00 00 00 03 01 83 02");
    const auto tcpAck = Hex("00 01 00 00 00 06 01 06 00 00 00 03");
    const auto tcpRead = Hex("00 01 00 00 00 07 01 03 04 00 0A 01 02");
    const Case cases[] = {
        {Kind::RtuTcp, read, 2, "nothing"},  // the length is not known yet
        {Kind::RtuTcp, read, 3, "nothing"},
        {Kind::RtuTcp, read, 8, "nothing"},
        {Kind::RtuTcp, read, 9, "frame 9"},
        {Kind::RtuTcp, readThenMore, 10, "frame 9"}, // stray bytes behind do not matter
        {Kind::RtuTcp, badCrc, 9, "badcrc 9"},
        {Kind::RtuTcp, Hex("01 83 02"), 3, "nothing"}, // an exception waits for its CRC
        {Kind::RtuTcp, WithCrc(Hex("01 83 02")), 5, "frame 5"},
        {Kind::RtuTcp, WithCrc(Hex("01 86 02")), 5, "frame 5"},
        {Kind::RtuTcp, ack, 7, "nothing"},
        {Kind::RtuTcp, ack, 8, "frame 8"},
        {Kind::RtuTcp, WithCrc(Hex("01 03 00 00 00 0A")), 8, "badcrc 5"}, // an echoed request
        {Kind::RtuTcp, Hex("01 03"), 2, "nothing"},
        {Kind::RtuTcp, {}, 0, "nothing"},
        {Kind::Mbap, tcpExc, 8, "nothing"},
        {Kind::Mbap, tcpExc, 9, "frame 9"},
        {Kind::Mbap, tcpAck, 11, "nothing"},
        {Kind::Mbap, tcpAck, 12, "frame 12"},
        {Kind::Mbap, tcpRead, 12, "nothing"},
        {Kind::Mbap, tcpRead, 13, "frame 13"},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        const Case& c = cases[i];
        EXPECT_EQ(zorptest::FirstFramed(c.kind, zorp::framing::Side::Master, c.bytes, c.fed), c.expect);
    }
}

TEST(ResponseChecks, ReadResponses)
{
    auto resp = WithCrc(Hex("01 03 04 00 0A 01 02"));
    CheckResult r = CheckReadResponse(resp.data(), resp.size(), false, false, 1, 3);
    ASSERT_EQ(r.verdict, Verdict::Accept);
    EXPECT_EQ(r.dataOffset, 3u);
    EXPECT_EQ(r.dataLength, 4u);

    // Wrong function code; wrong CRC; the CRC is checked before the function.
    EXPECT_EQ(CheckReadResponse(resp.data(), resp.size(), false, false, 1, 20).code, 10);
    auto bad = resp;
    bad.back() ^= 0xFF;
    EXPECT_EQ(CheckReadResponse(bad.data(), bad.size(), false, false, 1, 3).code, 7);
    EXPECT_EQ(CheckReadResponse(bad.data(), bad.size(), false, false, 1, 4).code, 7);
    // Another device wins over a bad CRC, and empties the buffer first.
    r = CheckReadResponse(bad.data(), bad.size(), false, false, 2, 3);
    EXPECT_EQ(r.code, 9);
    EXPECT_TRUE(r.resetFirst);

    // A byte count other than the quantity is accepted with bc data bytes.
    const auto one = WithCrc(Hex("01 03 02 00 0A"));
    r = CheckReadResponse(one.data(), one.size(), false, false, 1, 3);
    EXPECT_EQ(r.verdict, Verdict::Accept);
    EXPECT_EQ(r.dataLength, 2u);

    // TCP (header removed): no CRC.
    const auto tcp = Hex("01 03 04 00 0A 01 02");
    EXPECT_EQ(CheckReadResponse(tcp.data(), tcp.size(), true, false, 1, 3).verdict, Verdict::Accept);
    // Too short for its byte count: wait, never read past the end.
    EXPECT_EQ(CheckReadResponse(tcp.data(), 5, true, false, 1, 3).verdict, Verdict::Wait);
    EXPECT_EQ(CheckReadResponse(tcp.data(), 0, true, false, 1, 3).verdict, Verdict::Wait);
}

TEST(ResponseChecks, ExceptionCodes)
{
    for (uint8_t code = 0; code < 8; ++code) {
        const std::vector<uint8_t> exc = {0x01, 0x83, code, 0x00, 0x00}; // CRC never checked
        const CheckResult r = CheckReadResponse(exc.data(), 3, false, true, 1, 3);
        const CheckResult a = CheckAckResponse(exc.data(), 5, false, true, 1, 6, 1, 3);
        EXPECT_TRUE(r.resetFirst);
        if (code >= 1 && code <= 4) {
            EXPECT_EQ(r.code, 19 + code);
            EXPECT_EQ(a.code, code == 4 ? 30 : 19 + code);
        } else {
            EXPECT_EQ(r.verdict, Verdict::Ignore) << int(code);
            EXPECT_EQ(a.verdict, Verdict::Ignore) << int(code);
        }
    }
    // The exception's function code is not checked either.
    const auto exc = Hex("01 84 02");
    EXPECT_EQ(CheckReadResponse(exc.data(), 3, false, true, 1, 3).code, 21);
}

TEST(ResponseChecks, Acknowledgements)
{
    const auto ack = Hex("01 06 00 00 00 03 C9 CB");
    EXPECT_EQ(CheckAckResponse(ack.data(), 8, false, false, 1, 6, 1, 3).verdict, Verdict::Accept);
    // Another value, another address, a bad CRC: error 5; another function: 10.
    const auto other = WithCrc(Hex("01 06 00 00 00 04"));
    EXPECT_EQ(CheckAckResponse(other.data(), 8, false, false, 1, 6, 1, 3).code, 5);
    EXPECT_EQ(CheckAckResponse(ack.data(), 8, false, false, 1, 6, 2, 3).code, 5);
    auto bad = ack;
    bad[7] ^= 1;
    EXPECT_EQ(CheckAckResponse(bad.data(), 8, false, false, 1, 6, 1, 3).code, 5);
    EXPECT_EQ(CheckAckResponse(ack.data(), 8, false, false, 1, 16, 1, 3).code, 10);
    // Address 0 is sent as FF FF, and its echo is the acknowledgement.
    const auto wrap = WithCrc(Hex("01 06 FF FF 00 03"));
    EXPECT_EQ(CheckAckResponse(wrap.data(), 8, false, false, 1, 6, 0, 3).verdict, Verdict::Accept);
    EXPECT_EQ(CheckAckResponse(wrap.data(), 8, false, false, 1, 6, 1, 3).code, 5);
    const auto last = WithCrc(Hex("01 06 FF FE 00 03"));
    EXPECT_EQ(CheckAckResponse(last.data(), 8, false, false, 1, 6, 0xFFFF, 3).verdict, Verdict::Accept);
    // Frames from the examples.
    const auto regs = Hex("01 10 00 00 00 02 41 C8");
    EXPECT_EQ(CheckAckResponse(regs.data(), 8, false, false, 1, 16, 1, 2).verdict, Verdict::Accept);
    const auto coils = Hex("01 0F 00 13 00 0A 24 09");
    EXPECT_EQ(CheckAckResponse(coils.data(), 8, false, false, 1, 15, 20, 10).verdict, Verdict::Accept);
    // TCP acknowledgement (header removed) needs no CRC.
    const auto tcp = Hex("01 06 00 00 00 03");
    EXPECT_EQ(CheckAckResponse(tcp.data(), 6, true, false, 1, 6, 1, 3).verdict, Verdict::Accept);
    EXPECT_EQ(CheckAckResponse(tcp.data(), 5, true, false, 1, 6, 1, 3).verdict, Verdict::Wait);
}

TEST(ResponseChecks, EveryCodeHasItsMessage)
{
    for (int code : {0, 1, 4, 5, 7, 9, 10, 16, 20, 21, 22, 23, 30}) EXPECT_NE(ErrorMessage(code), nullptr) << code;
    EXPECT_EQ(ErrorMessage(15), nullptr);
    EXPECT_STREQ(ErrorMessage(7), "Error: Nieprawidłowa suma kontrolna (CRC).");
}

// One data-driven table over the MBAP delimitation: header pieces, length
// limits, a frame followed by stray bytes, two frames in one segment.
TEST(MbapFraming, DelimitsByTheLengthField)
{
    using zorp::mbap::Status;
    struct Row {
        const char* name;
        std::vector<uint8_t> bytes;
        Status status;
        size_t frameSize;
    };
    const std::vector<Row> rows = {
        {"empty", {}, Status::Incomplete, 0},
        {"five bytes", {0, 1, 0, 0, 0}, Status::Incomplete, 0},
        {"prefix only", {0, 1, 0, 0, 0, 6}, Status::Incomplete, 12},
        {"read request", {0, 1, 0, 0, 0, 6, 1, 3, 0, 0, 0, 10}, Status::Complete, 12},
        {"stray bytes behind", {0, 1, 0, 0, 0, 3, 1, 0x83, 2, 0xAA, 0xBB}, Status::Complete, 9},
        {"two in one segment", {0, 1, 0, 0, 0, 2, 1, 7, 0, 2, 0, 0, 0, 2, 1, 7}, Status::Complete, 8},
        {"length 1", {0, 1, 0, 0, 0, 1, 1}, Status::Invalid, 0},
        {"length 0", {0, 1, 0, 0, 0, 0}, Status::Invalid, 0},
        {"length 255", {0, 1, 0, 0, 0, 255}, Status::Invalid, 0},
        {"length 65535", {0, 1, 0, 0, 0xFF, 0xFF}, Status::Invalid, 0},
        {"foreign protocol still delimited", {0, 1, 0, 7, 0, 2, 1, 7}, Status::Complete, 8},
    };
    for (const Row& r : rows) {
        const auto f = zorp::mbap::Delimit(r.bytes);
        EXPECT_EQ(f.status, r.status) << r.name;
        if (r.status != Status::Invalid) {
            EXPECT_EQ(f.frameSize, r.frameSize) << r.name;
        }
    }
    std::vector<uint8_t> max(zorp::mbap::kMaxFrameSize, 0);
    max[4] = 0;
    max[5] = 254;
    EXPECT_EQ(zorp::mbap::Delimit(max).status, Status::Complete);
    max.pop_back();
    EXPECT_EQ(zorp::mbap::Delimit(max).status, Status::Incomplete);
    const auto ids = zorp::mbap::Delimit(std::vector<uint8_t>{0x12, 0x34, 0xAB, 0xCD, 0, 2});
    EXPECT_EQ(ids.transactionId, 0x1234);
    EXPECT_EQ(ids.protocolId, 0xABCD);
}

TEST(ErrorText, EveryReportedCodeHasAnEnglishMeaning)
{
    for (int code : {0, 1, 4, 5, 7, 9, 10, 15, 16, 20, 21, 22, 23, 30})
        EXPECT_STRNE(zorp::ErrorMeaning(code), "unknown error") << code;
    EXPECT_STREQ(zorp::ErrorMeaning(99), "unknown error");
    EXPECT_EQ(zorp::FormatError(4, 3, 1000), "error 4: no valid answer after 4 tries (time-out 1000 ms)");
    EXPECT_EQ(zorp::FormatError(4, 0, 50), "error 4: no valid answer after 1 try (time-out 50 ms)");
    EXPECT_EQ(zorp::FormatError(21, 3, 1000), "error 21: exception 02, illegal data address");
}

TEST(RtuLine, CharacterTimeAndSilenceFollowTheFrameFormat)
{
    struct Case { int32_t baud; int dataBits; TParity parity; int stopBits; int64_t charNs; int64_t silenceNs; };
    const Case cases[] = {
        {9600, 8, pEven, 1, 1145833, 4010415},   // 11 bits: t3.5 = 4.0 ms
        {9600, 8, pNone, 1, 1041666, 3645831},   // 10 bits
        {9600, 8, pNone, 2, 1145833, 4010415},
        {19200, 7, pOdd, 1, 520833, 1822915},    // 19200 still counts characters
        {19201, 8, pNone, 1, 520806, 1750000},   // above it t3.5 is fixed
        {115200, 8, pEven, 1, 95486, 1750000},
        {0, 8, pNone, 1, 0, 0},                  // no baud rate: no waiting, no division by zero
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.baud);
        EXPECT_EQ(rtu::CharTimeNs(c.baud, c.dataBits, c.parity, c.stopBits), c.charNs);
        EXPECT_EQ(rtu::SilenceNs(c.baud, c.dataBits, c.parity, c.stopBits), c.silenceNs);
    }
}
