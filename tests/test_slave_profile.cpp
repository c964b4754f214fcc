// SPDX-License-Identifier: GPL-3.0-or-later
// The standard slave profile's checks and answers as pure functions: the
// limits of the Modbus application protocol for every function it serves,
// units 0 and 255, broadcasts, bad CRCs, and Read Device Identification.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "ModbusCRC.h"
#include "SlaveFrames.h"
#include "framing/Framer.h"

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

Bytes Words(Bytes head, int count, uint8_t fill = 0x11)
{
    for (int i = 0; i < count; ++i) head.push_back(fill);
    return head;
}

// A request body (unit on, no CRC) and what the standard profile makes of
// it: 0 accepted, an exception code, or -1 for no answer at all.
struct Row {
    const char* name;
    Bytes body;
    int outcome;
};

const Row kRows[] = {
    // 02 and 04: quantity 1 .. 2000 and 1 .. 125, the run inside the image.
    {"fc02_one", {1, 2, 0, 0, 0, 1}, 0},
    {"fc02_2000", {1, 2, 0, 0, 0x07, 0xD0}, 0},
    {"fc02_2001", {1, 2, 0, 0, 0x07, 0xD1}, 3},
    {"fc02_zero", {1, 2, 0, 0, 0, 0}, 3},
    {"fc02_last", {1, 2, 0xFF, 0xFF, 0, 1}, 0},
    {"fc02_past", {1, 2, 0xFF, 0xFF, 0, 2}, 2},
    {"fc04_125", {1, 4, 0, 0, 0, 125}, 0},
    {"fc04_126", {1, 4, 0, 0, 0, 126}, 3},
    {"fc04_zero", {1, 4, 0, 0, 0, 0}, 3},
    {"fc04_past", {1, 4, 0xFF, 0x84, 0, 125}, 2},
    {"fc04_short", {1, 4, 0, 0, 0}, 3},
    // 05: only FF00 and 0000 are coil values.
    {"fc05_on", {1, 5, 0, 1, 0xFF, 0}, 0},
    {"fc05_off", {1, 5, 0, 1, 0, 0}, 0},
    {"fc05_other", {1, 5, 0, 1, 0x12, 0x34}, 3},
    // 22: address, AND mask, OR mask, nothing more or less.
    {"fc22", {1, 22, 0xFF, 0xFF, 0xF2, 0x00, 0x00, 0x25}, 0},
    {"fc22_short", {1, 22, 0, 4, 0xF2, 0x00, 0x00}, 3},
    {"fc22_long", {1, 22, 0, 4, 0xF2, 0x00, 0x00, 0x25, 0}, 3},
    // 23: read 1 .. 125, write 1 .. 121, byte count twice the write quantity.
    {"fc23", Words({1, 23, 0, 0, 0, 125, 0, 10, 0, 121, 242}, 242), 0},
    {"fc23_read126", Words({1, 23, 0, 0, 0, 126, 0, 10, 0, 1, 2}, 2), 3},
    {"fc23_read0", Words({1, 23, 0, 0, 0, 0, 0, 10, 0, 1, 2}, 2), 3},
    {"fc23_write122", Words({1, 23, 0, 0, 0, 1, 0, 10, 0, 122, 244}, 244), 3},
    {"fc23_write0", {1, 23, 0, 0, 0, 1, 0, 10, 0, 0, 0}, 3},
    {"fc23_count", Words({1, 23, 0, 0, 0, 1, 0, 10, 0, 2, 2}, 2), 3},
    {"fc23_length", Words({1, 23, 0, 0, 0, 1, 0, 10, 0, 1, 2}, 3), 3},
    {"fc23_readpast", Words({1, 23, 0xFF, 0xFF, 0, 2, 0, 10, 0, 1, 2}, 2), 2},
    {"fc23_writepast", Words({1, 23, 0, 0, 0, 1, 0xFF, 0xFF, 0, 2, 4}, 4), 2},
    // 43: MEI 14 only, read codes 1 .. 4, objects 0 .. 2 for individual access.
    {"fc43_basic", {1, 43, 14, 1, 0}, 0},
    {"fc43_regular", {1, 43, 14, 2, 0}, 0},
    {"fc43_stream_unknown_object", {1, 43, 14, 1, 0x80}, 0},
    {"fc43_individual", {1, 43, 14, 4, 2}, 0},
    {"fc43_individual_unknown", {1, 43, 14, 4, 3}, 2},
    {"fc43_code0", {1, 43, 14, 0, 0}, 3},
    {"fc43_code5", {1, 43, 14, 5, 0}, 3},
    {"fc43_mei13", {1, 43, 13, 1, 0}, 1},
    {"fc43_short", {1, 43, 14, 1}, 3},
    // 08: Return Query Data only.
    {"fc08_query", {1, 8, 0, 0, 0xA5, 0x37}, 0},
    {"fc08_nodata", {1, 8, 0, 0}, 0},
    {"fc08_restart", {1, 8, 0, 1, 0, 0}, 1},
    {"fc08_short", {1, 8, 0}, 3},
    // 15 and 16 keep the designed limits.
    {"fc15_1968", Words({1, 15, 0, 0, 0x07, 0xB0, 246}, 246), 0},
    {"fc15_1969", Words({1, 15, 0, 0, 0x07, 0xB1, 247}, 247), 3},
    {"fc16_123", Words({1, 16, 0, 0, 0, 123, 246}, 246), 0},
    {"fc16_124", Words({1, 16, 0, 0, 0, 124, 248}, 248), 3},
    // Every other function code.
    {"fc07", {1, 7}, 1},
    {"fc17", {1, 17}, 1},
    {"fc20", {1, 20, 7, 6, 0, 1, 0, 0, 0, 1}, 1},
    {"fc24", {1, 24, 0, 0}, 1},
    {"fc127", {1, 127, 1, 2, 3}, 1},
    // Units: 0 and 255 are the slave's own over TCP; another unit is not.
    {"unit0", {0, 3, 0, 0, 0, 1}, 0},
    {"unit255", {255, 3, 0, 0, 0, 1}, 0},
    {"unit2", {2, 3, 0, 0, 0, 1}, -1},
    {"unit2_unknown_fc", {2, 65}, -1},
    {"exception_bit", {1, 0x83, 2}, -1},
};

int Outcome(const Request& r)
{
    if (r.verdict == Verdict::Accepted) return 0;
    if (r.verdict == Verdict::Refused) return r.exceptionCode;
    return -1;
}

class ProfileLimits : public ::testing::TestWithParam<Row> {};

} // namespace

TEST_P(ProfileLimits, TcpAndRtu)
{
    const Row& row = GetParam();
    // Modbus TCP: the body is exactly what the header announced.
    EXPECT_EQ(Outcome(CheckRequest(row.body, Framing::Tcp, 1, Profile::Standard)), row.outcome) << "TCP";
    // RTU, where the frame has a layout the RTU receiver can delimit: the
    // same outcome (unit 0 is a broadcast there, checked apart).
    if (row.body[0] == 0 || row.body[0] == 255) return;
    const Bytes rtu = WithCrc(row.body);
    const size_t length = zorp::framing::RtuRequestLength(rtu);
    if (length != rtu.size()) return; // a body that lies about its layout has no RTU form
    EXPECT_EQ(Outcome(CheckRequest(rtu, Framing::Rtu, 1, Profile::Standard)), row.outcome) << "RTU";
}

INSTANTIATE_TEST_SUITE_P(Rows, ProfileLimits, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

TEST(ProfileUnits, SerialBroadcastAndBadCrc)
{
    // Unit 0 on a serial line: a write is carried out and never answered;
    // a read or a refused write is ignored.
    const auto write = CheckRequest(WithCrc({0, 6, 0, 7, 0x12, 0x34}), Framing::Rtu, 1, Profile::Standard);
    EXPECT_EQ(write.verdict, Verdict::Accepted);
    EXPECT_TRUE(write.broadcast);
    for (const Bytes& body : {Bytes{0, 3, 0, 0, 0, 1}, Bytes{0, 16, 0, 0, 0, 0, 0}, Bytes{0, 7}})
        EXPECT_EQ(CheckRequest(WithCrc(body), Framing::Rtu, 1, Profile::Standard).verdict, Verdict::NotForUs);
    // Unit 255 is no one's on a serial line.
    EXPECT_EQ(CheckRequest(WithCrc({255, 3, 0, 0, 0, 1}), Framing::Rtu, 1, Profile::Standard).verdict,
              Verdict::NotForUs);
    // A bad CRC gets no answer, for every kind of request (the designed
    // mode answers a single-word one with its error frame).
    for (Bytes frame : {WithCrc({1, 3, 0, 0, 0, 1}), WithCrc({1, 16, 0, 0, 0, 1, 2, 0, 1}), WithCrc({1, 43, 14, 1, 0})}) {
        frame.back() ^= 0x40;
        const auto r = CheckRequest(frame, Framing::Rtu, 1, Profile::Standard);
        EXPECT_NE(r.verdict, Verdict::Accepted);
        EXPECT_NE(r.verdict, Verdict::Refused);
        EXPECT_NE(r.verdict, Verdict::BadCrcSingle);
    }
    EXPECT_EQ(CheckRequest(Bytes{1, 3, 0, 0, 0, 1, 0, 0}, Framing::Rtu, 1).verdict, Verdict::BadCrcSingle);
}

TEST(ProfileAnswers, DeviceIdentification)
{
    const std::string vendor = "Vendor", product = "P-1", revision = "2.5";
    auto span = [](const std::string& s) { return std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(s.data()), s.size()); };
    const std::span<const uint8_t> objects[kDeviceIdObjects] = {span(vendor), span(product), span(revision)};
    std::array<uint8_t, kAnswerBufferSize> out{};
    auto answer = [&](uint8_t code, uint8_t object) {
        const size_t n = BuildDeviceIdAnswer(Framing::Tcp, 1, 0x0102, code, object, objects, out);
        return Bytes(out.begin(), out.begin() + std::ptrdiff_t(n));
    };
    // Stream access from object 0: all three, in order.
    EXPECT_EQ(answer(1, 0), (Bytes{0x01, 0x02, 0, 0, 0, 26, 1, 43, 14, 1, 0x81, 0, 0, 3,
                                   0, 6, 'V', 'e', 'n', 'd', 'o', 'r', 1, 3, 'P', '-', '1', 2, 3, '2', '.', '5'}));
    // From object 2, and from an object that does not exist (back to 0).
    EXPECT_EQ(answer(1, 2), (Bytes{0x01, 0x02, 0, 0, 0, 13, 1, 43, 14, 1, 0x81, 0, 0, 1, 2, 3, '2', '.', '5'}));
    EXPECT_EQ(answer(3, 9).size(), answer(1, 0).size());
    // Individual access: that one object.
    EXPECT_EQ(answer(4, 1), (Bytes{0x01, 0x02, 0, 0, 0, 13, 1, 43, 14, 4, 0x81, 0, 0, 1, 1, 3, 'P', '-', '1'}));
    // Texts too long for one PDU: what fits, "more follows" and the next object.
    const std::string longText(200, 'x');
    const std::span<const uint8_t> big[kDeviceIdObjects] = {span(longText), span(longText), span(revision)};
    const size_t n = BuildDeviceIdAnswer(Framing::Rtu, 1, 0, 1, 0, big, out);
    ASSERT_EQ(n, 1 + 7 + 2 + 200 + 2u);
    EXPECT_EQ(out[5], 0xFF); // more follows
    EXPECT_EQ(out[6], 1);    // next object
    EXPECT_EQ(out[7], 1);    // one object in this answer
    EXPECT_TRUE(zorp::CrcMatches(out.data(), n - 2));
    const std::string huge(300, 'y');
    const std::span<const uint8_t> one[kDeviceIdObjects] = {span(huge), span(product), span(revision)};
    const size_t cut = BuildDeviceIdAnswer(Framing::Tcp, 1, 0, 4, 0, one, out);
    EXPECT_EQ(cut, 6 + 254u); // a single text is cut to the PDU
}
