// SPDX-License-Identifier: GPL-3.0-or-later
// The bus monitor's core: RTU framing of both directions (one line, or the
// two pairs of a four-wire bus) or Modbus TCP frames of several
// connections, pairing, time-outs, and every frame put into words in
// every output format.
//
// Input: flags (bits 0-1: one line, four-wire, Modbus TCP, one line
// without arrival times; bits 2-3 the line's speed), then chunks, each led
// by a control byte:
//   bits 0-3  length - 1 (15: the next byte + 16)
//   bit 4     the chunk becomes a valid frame (RTU: CRC behind it; TCP:
//             header in front)
//   bit 5     let time decide after the chunk (Poll)
//   bit 6     the other channel (four-wire: the slaves' pair; TCP: the
//             answer direction of connection 2)
//   bit 7     move the clock forward (next byte x 100 us) before the chunk
// Checked: every frame reported is whole (RTU: a right CRC, 4 to 256
// bytes), events are numbered in order, an answer's pairing is to an
// earlier request of its unit and function; at the end, after a silence,
// a valid request and its answer are found and paired.
#include <map>

#include "BusMonitor.h"
#include "EventFormat.h"
#include "FuzzSupport.h"
#include "ModbusCRC.h"
#include "RtuLine.h"
#include "framing/MbapFramer.h"

using namespace zorpfuzz;
namespace zf = zorp::framing;
namespace zm = zorp::monitor;

namespace {

std::vector<uint8_t> Rtu(std::vector<uint8_t> f)
{
    const uint16_t crc = zorp::ModbusCRC16(f.data(), f.size());
    f.push_back(uint8_t(crc));
    f.push_back(uint8_t(crc >> 8));
    return f;
}

std::vector<uint8_t> Mbap(const std::vector<uint8_t>& body, uint16_t tid)
{
    std::vector<uint8_t> f{uint8_t(tid >> 8), uint8_t(tid), 0, 0, uint8_t(body.size() >> 8), uint8_t(body.size())};
    f.insert(f.end(), body.begin(), body.end());
    return f;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Reader in{data, size};
    const uint8_t flags = in.Byte();
    const int mode = flags & 3;
    static const int32_t kBauds[] = {9600, 19200, 115200, 1200};
    const int32_t baud = kBauds[(flags >> 2) & 3];
    zf::LineTiming timing;
    timing.charNs = zorp::rtu::CharTimeNs(baud, 8, pNone, 1);
    timing.silenceNs = zorp::rtu::SilenceNs(baud, 8, pNone, 1);

    std::map<uint64_t, zm::BusEvent> requests;
    uint64_t lastSeq = 0, pairedAtEnd = 0;
    bool atEnd = false;
    zm::BusMonitor mon([&](const zm::BusEvent& e) {
        ZORP_FUZZ_CHECK(e.seq == lastSeq + 1);
        lastSeq = e.seq;
        for (zm::Format f : {zm::Format::Text, zm::Format::Csv, zm::Format::Json})
            ZORP_FUZZ_CHECK(!zm::FormatEvent(e, f).empty());
        if (e.kind == zm::BusEvent::Kind::Request || e.kind == zm::BusEvent::Kind::Answer) {
            if (!e.tcp) {
                ZORP_FUZZ_CHECK(e.frame.size() >= 4 && e.frame.size() <= zf::kMaxRtuAdu);
                ZORP_FUZZ_CHECK(zorp::CrcMatches(e.frame.data(), e.frame.size() - 2));
            }
            ZORP_FUZZ_CHECK(!e.pdu.empty() && e.pdu[0] == e.function);
        }
        if (e.kind == zm::BusEvent::Kind::Request) requests[e.seq] = e;
        if (e.kind == zm::BusEvent::Kind::Answer && e.requestSeq) {
            const auto it = requests.find(e.requestSeq);
            ZORP_FUZZ_CHECK(it != requests.end() && it->second.unit == e.unit &&
                            it->second.function == (e.function & 0x7F));
            if (atEnd) ++pairedAtEnd;
        }
    });
    int64_t now = 1000000000;
    const bool tcp = mode == 2;
    const bool timed = mode != 3;
    if (mode == 1) {
        mon.AddLine(zf::BusMode::Requests, timing);
        mon.AddLine(zf::BusMode::Answers, timing);
    } else if (!tcp) {
        mon.AddLine(zf::BusMode::Both, timing);
    }
    zf::MbapFramer up(zf::Side::Listener), down(zf::Side::Master);

    while (in.More()) {
        const uint8_t c = in.Byte();
        size_t len = (c & 0x0F) + 1u;
        if (len == 16) len = 16u + in.Byte();
        if (c & 0x80) now += int64_t(in.Byte()) * 100000;
        std::vector<uint8_t> chunk = in.Take(len);
        const bool other = c & 0x40;
        if ((c & 0x10) && chunk.size() >= 2) chunk = tcp ? Mbap(chunk, uint16_t(chunk.size())) : Rtu(chunk);
        if (tcp) {
            zf::MbapFramer& f = other ? down : up;
            f.Feed(chunk.data(), chunk.size(), now);
            for (zf::Output o = f.Next(); o.what != zf::Output::What::Nothing; o = f.Next()) {
                const zf::Direction d = other ? zf::Direction::Answer : zf::Direction::Request;
                if (o.what == zf::Output::What::Frame) mon.OnTcpFrame(1, d, o.adu, now);
                else mon.OnTcpFault(1, d, o.bytes, now);
            }
        } else {
            mon.FeedLine(mode == 1 && other ? 2 : 1, chunk.data(), chunk.size(), timed ? now : zf::kNoTime);
        }
        if (c & 0x20) mon.Poll(now);
    }
    mon.Finish(now);
    // Without arrival times nothing but content ends a fragment.
    if (tcp || !timed) return 0;

    // Liveness: after a long silence a request and its answer are found and paired.
    now += 1000000000;
    atEnd = true;
    const std::vector<uint8_t> q = Rtu({7, 3, 0, 1, 0, 1});
    const std::vector<uint8_t> a = Rtu({7, 3, 2, 0x12, 0x34});
    mon.FeedLine(1, q.data(), q.size(), timed ? now : zf::kNoTime);
    now += 10000000;
    mon.FeedLine(mode == 1 ? 2 : 1, a.data(), a.size(), timed ? now : zf::kNoTime);
    mon.Poll(now);
    ZORP_FUZZ_CHECK(pairedAtEnd == 1);
    return 0;
}

ZORP_FUZZ_ENGINE_INITIALIZE()
