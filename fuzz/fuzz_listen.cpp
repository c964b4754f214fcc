// SPDX-License-Identifier: GPL-3.0-or-later
// The listening path: requests of any kind, RTU or Modbus TCP, cut into
// chunks of any size with passes and silences between them, answered from
// the register and coil images. Every answer the slave sends must be a
// well-formed frame within the answer buffer, and after whatever came
// before, a silence and one valid read are answered with the image's word.
//
// Input: flags (bit 0 Modbus TCP, bit 1 the standard profile, bits 2-7 x 5
// the length of the device identification texts), device, time-out, a
// probe address, the number of image words to preset (then the words);
// then chunks as in fuzz_master:
//   bits 0-4  length - 1 (31: the next byte + 32)
//   bit 5     run a pass before the chunk arrives
//   bit 6     run a pass after it
//   bit 7     move the clock forward (next byte x 8 ms) before the pass
#include <memory>

#include "CommPort.h"
#include "EngineAccess.h"
#include "FuzzSupport.h"
#include "ModbusCRC.h"
#include "ReceiveBuffer.h"
#include "SlaveFrames.h"

using A = TVexaModbusTestAccess;
using namespace zorpfuzz;

ZORP_FUZZ_ENGINE_INITIALIZE()

namespace {

void CheckAnswer(const std::vector<uint8_t>& f, bool tcp, bool standard, uint8_t device)
{
    ZORP_FUZZ_CHECK(f.size() <= zorp::slave::kAnswerBufferSize);
    if (tcp) {
        ZORP_FUZZ_CHECK(f.size() >= 9);
        ZORP_FUZZ_CHECK(f[2] == 0 && f[3] == 0);
        ZORP_FUZZ_CHECK(size_t(f[4] << 8 | f[5]) == f.size() - 6);
        // No Modbus TCP frame carries more than 254 bytes behind its length.
        ZORP_FUZZ_CHECK(f.size() - 6 <= 254);
        ZORP_FUZZ_CHECK(f[6] == device || (standard && (f[6] == 0 || f[6] == 255)));
    } else {
        ZORP_FUZZ_CHECK(f.size() >= 5);
        ZORP_FUZZ_CHECK(f[0] == device);
        const uint16_t crc = zorp::ModbusCRC16(f.data(), f.size() - 2);
        ZORP_FUZZ_CHECK(f[f.size() - 2] == uint8_t(crc) && f[f.size() - 1] == uint8_t(crc >> 8));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Reader in{data, size};
    const uint8_t flags = in.Byte();
    const bool tcp = flags & 1;
    const bool standard = flags & 2;
    const uint8_t device = in.Byte();
    const uint32_t timeout = 1 + in.Byte() * 4u;
    const uint16_t probe = in.Word();
    std::vector<uint16_t> words(in.Byte() % 124);
    for (auto& w : words) w = in.Word();

    auto e = std::make_unique<TVexaModbus>();
    e->SetProtocol(tcp ? mbpTCP : mbpRTU);
    e->SetDeviceID(device);
    e->SetTimeout(timeout);
    e->SetStandardProfile(standard);
    const QString text(int(flags >> 2) * 5, QLatin1Char('v'));
    e->SetDeviceIdentification(text, text.left(text.size() / 2), QStringLiteral("1.0"));
    A::SetRawState(*e, msIdleSlave);
    auto frame = [&](std::vector<uint8_t> pdu) {
        if (tcp) {
            std::vector<uint8_t> f = {0, 1, 0, 0, uint8_t(pdu.size() >> 8), uint8_t(pdu.size())};
            f.insert(f.end(), pdu.begin(), pdu.end());
            return f;
        }
        const uint16_t crc = zorp::ModbusCRC16(pdu.data(), pdu.size());
        pdu.push_back(uint8_t(crc));
        pdu.push_back(uint8_t(crc >> 8));
        return pdu;
    };
    // The preset words and as many coils go at the end of the images, where
    // ranges run out; they are written through the listening side itself.
    if (!words.empty()) {
        const uint16_t n = uint16_t(words.size()), a = uint16_t(65536 - n);
        std::vector<uint8_t> regs = {device, 16, uint8_t(a >> 8), uint8_t(a), 0, uint8_t(n), uint8_t(2 * n)};
        std::vector<uint8_t> bits = {device, 15, uint8_t(a >> 8), uint8_t(a), 0, uint8_t(n), uint8_t((n + 7) / 8)};
        for (uint16_t w : words) regs.insert(regs.end(), {uint8_t(w >> 8), uint8_t(w)});
        for (size_t k = 0; k < words.size(); k += 8) bits.push_back(uint8_t(words[k]));
        for (const auto& pdu : {regs, bits}) {
            Clock() += timeout + 1;
            A::Deliver(*e, frame(pdu));
            A::Pass(*e);
        }
        ZORP_FUZZ_CHECK(A::MapWord(*e, 65535) == words.back());
    }

    std::vector<std::vector<uint8_t>> sent;
    e->OnSendData = [&](QObject*, const void* b, int32_t n) {
        ZORP_FUZZ_CHECK(n > 0);
        const auto* p = static_cast<const uint8_t*>(b);
        sent.emplace_back(p, p + n);
        CheckAnswer(sent.back(), tcp, standard, device);
    };

    while (in.More()) {
        const uint8_t c = in.Byte();
        size_t len = (c & 0x1F) + 1u;
        if (len == 32) len = 32u + in.Byte();
        if (c & 0x20) A::Pass(*e);
        const std::vector<uint8_t> chunk = in.Take(len);
        if (!chunk.empty()) A::Deliver(*e, chunk);
        ZORP_FUZZ_CHECK(A::Buffer(*e).size() <= zorp::ReceiveBuffer::kCapacity);
        if (c & 0x80) Clock() += in.Byte() * 8u;
        if (c & 0x40) A::Pass(*e);
        ZORP_FUZZ_CHECK(A::State(*e) == msIdleSlave);
    }

    // Whatever is pending is answered (or dropped) first: one request per
    // pass, and no request is shorter than 3 bytes.
    const size_t most = zorp::ReceiveBuffer::kCapacity / 3 + 1;
    for (size_t i = 0; i < most && A::FrameCompleted(*e); ++i) A::Pass(*e);
    ZORP_FUZZ_CHECK(!A::FrameCompleted(*e));

    // After a silence, one valid read of the probe address.
    Clock() += timeout + 1;
    const std::vector<uint8_t> req = frame({device, 3, uint8_t(probe >> 8), uint8_t(probe), 0, 1});
    sent.clear();
    A::Deliver(*e, req);
    A::Pass(*e);
    ZORP_FUZZ_CHECK(sent.size() == 1);
    const std::vector<uint8_t>& f = sent[0];
    const size_t o = tcp ? 6 : 0;
    const uint16_t want = A::MapWord(*e, probe);
    ZORP_FUZZ_CHECK(f.size() == o + (tcp ? 5u : 7u));
    ZORP_FUZZ_CHECK(f[o + 1] == 3 && f[o + 2] == 2);
    ZORP_FUZZ_CHECK(f[o + 3] == uint8_t(want >> 8) && f[o + 4] == uint8_t(want));
    if (tcp) ZORP_FUZZ_CHECK(f[0] == 0 && f[1] == 1);
    return 0;
}
