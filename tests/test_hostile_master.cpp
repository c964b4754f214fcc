// SPDX-License-Identifier: GPL-3.0-or-later
// The engine as master against slaves that misbehave on a real loopback
// link: part of a frame and then silence, megabytes of garbage while a
// transaction waits and while the link idles, answers after the time-out, a
// reset in the middle of a frame, a close during a blocking coil write.
// After each, the next valid transaction is answered correctly and the
// engine's memory stays bounded.
#include <gtest/gtest.h>

#include <string>

#include "CommPort.h"
#include "EngineAccess.h"
#include "EngineTestUtil.h"
#include "HostilePeer.h"
#include "ReceiveBuffer.h"
#include "TestSupport.h"

using A = TVexaModbusTestAccess;
using hostile::Bytes;
using hostile::HostileSlave;
using zorptest::spin;
using zorptest::waitUntil;

namespace {

constexpr uint32_t kTimeoutMs = 150;
constexpr size_t kFlood = 4 * 1024 * 1024;
// Growth of the whole process allowed across a flood: far below what keeping
// the flood would take, far above what allocator caches and sanitizer
// quarantines hold.
constexpr size_t kRssBound = 64 * 1024 * 1024;

// A correct answer to a read of holding registers (RTU framing over TCP or
// Modbus TCP) whose registers hold base, base + 1, ...
Bytes ReadAnswer(const Bytes& req, bool tcp, uint16_t base)
{
    const size_t o = tcp ? 6 : 0;
    if (req.size() < o + 6) return {};
    const uint16_t count = uint16_t(req[o + 4] << 8 | req[o + 5]);
    Bytes pdu = {req[o], req[o + 1], uint8_t(2 * count)};
    for (uint16_t k = 0; k < count; ++k) {
        const uint16_t v = uint16_t(base + k);
        pdu.push_back(uint8_t(v >> 8));
        pdu.push_back(uint8_t(v));
    }
    if (!tcp) return zorptest::WithCrc(pdu);
    Bytes out = {req[0], req[1], 0, 0, uint8_t(pdu.size() >> 8), uint8_t(pdu.size())};
    out.insert(out.end(), pdu.begin(), pdu.end());
    return out;
}

class HostileMaster : public ::testing::TestWithParam<TModbusProtocol> {
protected:
    HostileSlave slave;
    QObject owner;
    TVexaModbus* e = nullptr;
    std::vector<std::string> outcomes;
    std::vector<uint8_t> lastData;

    bool Tcp() const { return GetParam() == mbpTCP; }

    void SetUp() override
    {
        ASSERT_NE(slave.Port(), 0);
        e = new TVexaModbus(&owner);
        e->SetInterfaceType(mbiEthernet);
        e->SetEthIP(QStringLiteral("127.0.0.1"));
        e->SetEthPort(slave.Port());
        e->SetProtocol(GetParam());
        e->SetTimeout(kTimeoutMs);
        e->SetMaxRepeat(1);
        // Outcomes only: nothing here keeps the bytes a flood brings.
        e->OnConnect = [this](QObject*) { outcomes.push_back("connect"); };
        e->OnDisconnect = [this](QObject*) { outcomes.push_back("disconnect"); };
        e->OnError = [this](QObject*, int32_t code) { outcomes.push_back("error " + std::to_string(code)); };
        e->OnReadHoldingRegs = [this](QObject*, uint8_t, uint16_t, uint16_t, const std::vector<uint8_t>& d) {
            lastData = d;
            outcomes.push_back("holding");
        };
        e->OnWriteSingleCoil = [this](QObject*) { outcomes.push_back("wrote coil"); };
    }

    bool ConnectUp()
    {
        outcomes.clear();
        e->Connect();
        return waitUntil([&] { return e->Connected() && e->GetState() == msIdle; });
    }
    // Waits for n outcomes after the ones already there.
    bool Outcome(size_t before, size_t n = 1)
    {
        return waitUntil([&] { return outcomes.size() >= before + n; });
    }
    void AnswerCorrectly(uint16_t base)
    {
        slave.onRequest = [this, base](HostileSlave& s, const Bytes& req) { s.Send(ReadAnswer(req, Tcp(), base)); };
    }
    // The next valid read is answered and delivers exactly the slave's data.
    void ExpectNextReadCorrect(uint16_t base)
    {
        AnswerCorrectly(base);
        const size_t before = outcomes.size();
        e->ReadHoldingRegs(1, 3);
        ASSERT_TRUE(Outcome(before));
        ASSERT_EQ(outcomes.size(), before + 1);
        EXPECT_EQ(outcomes.back(), "holding");
        const std::vector<uint8_t> want = {uint8_t(base >> 8), uint8_t(base), uint8_t((base + 1) >> 8),
                                           uint8_t(base + 1), uint8_t((base + 2) >> 8), uint8_t(base + 2)};
        EXPECT_EQ(lastData, want);
        EXPECT_LE(A::Buffer(*e).size(), zorp::ReceiveBuffer::kCapacity);
    }
    void WaitReceived(int64_t total)
    {
        ASSERT_TRUE(waitUntil([&] { return e->RxCounter() >= total; }, 30000))
            << e->RxCounter() << " of " << total;
    }
};

std::string ProtocolName(const ::testing::TestParamInfo<TModbusProtocol>& info)
{
    return info.param == mbpTCP ? "ModbusTcp" : "RtuOverTcp";
}

} // namespace

TEST_P(HostileMaster, PartOfAFrameThenSilenceTimesOutAndRecovers)
{
    ASSERT_TRUE(ConnectUp());
    slave.onRequest = [this](HostileSlave& s, const Bytes& req) {
        const Bytes full = ReadAnswer(req, Tcp(), 7);
        s.Send(Bytes(full.begin(), full.begin() + 5));
    };
    const size_t before = outcomes.size();
    e->ReadHoldingRegs(1, 3);
    ASSERT_TRUE(Outcome(before));
    spin(int(kTimeoutMs)); // nothing further comes of it
    ASSERT_EQ(outcomes.size(), before + 1);
    EXPECT_EQ(outcomes.back(), "error 4");
    EXPECT_EQ(slave.requests.size(), 2u); // the first attempt and one retry
    ExpectNextReadCorrect(0x1230);
}

TEST_P(HostileMaster, FloodWhileWaitingEndsTheTransactionOnceAndStaysBounded)
{
    ASSERT_TRUE(ConnectUp());
    slave.onRequest = [](HostileSlave& s, const Bytes&) { s.Flood(kFlood, 99); };
    const size_t rss = hostile::ResidentBytes();
    const int64_t rx = e->RxCounter();
    const size_t before = outcomes.size();
    e->ReadHoldingRegs(1, 3);
    ASSERT_TRUE(Outcome(before));
    WaitReceived(rx + int64_t(kFlood));
    spin(int(kTimeoutMs) * 2); // retries, if any, have run out
    EXPECT_LE(A::Buffer(*e).size(), zorp::ReceiveBuffer::kCapacity);
    // Exactly one outcome, and no garbage taken for data.
    ASSERT_EQ(outcomes.size(), before + 1);
    EXPECT_EQ(outcomes.back().rfind("error ", 0), 0u) << outcomes.back();
    EXPECT_LT(hostile::ResidentBytes(), rss + kRssBound);
    ExpectNextReadCorrect(0x0102);
}

TEST_P(HostileMaster, FloodWhileIdleIsDroppedAndStaysBounded)
{
    ASSERT_TRUE(ConnectUp());
    const size_t rss = hostile::ResidentBytes();
    const int64_t rx = e->RxCounter();
    const size_t before = outcomes.size();
    slave.Flood(kFlood, 7);
    WaitReceived(rx + int64_t(kFlood));
    EXPECT_LE(A::Buffer(*e).size(), zorp::ReceiveBuffer::kCapacity);
    EXPECT_EQ(outcomes.size(), before); // no transaction, so nothing to report
    EXPECT_EQ(e->GetState(), msIdle);
    EXPECT_LT(hostile::ResidentBytes(), rss + kRssBound);
    ExpectNextReadCorrect(0xBEEF);
}

TEST_P(HostileMaster, AnswerAfterTheTimeoutIsNotTakenForTheNextRead)
{
    e->SetMaxRepeat(0);
    ASSERT_TRUE(ConnectUp());
    slave.onRequest = [this](HostileSlave& s, const Bytes& req) {
        s.SendLater(int(kTimeoutMs) + 150, ReadAnswer(req, Tcp(), 0x6666));
    };
    const int64_t rx = e->RxCounter();
    const size_t before = outcomes.size();
    e->ReadHoldingRegs(1, 3);
    ASSERT_TRUE(Outcome(before));
    EXPECT_EQ(outcomes.back(), "error 4");
    WaitReceived(rx + 1); // the late answer arrives while the engine idles
    spin(50);
    EXPECT_EQ(outcomes.size(), before + 1);
    ExpectNextReadCorrect(0x0042);
}

TEST_P(HostileMaster, ResetInTheMiddleOfAFrameEndsTheLinkAndReconnectWorks)
{
    ASSERT_TRUE(ConnectUp());
    slave.onRequest = [this](HostileSlave& s, const Bytes& req) {
        const Bytes full = ReadAnswer(req, Tcp(), 1);
        s.Send(Bytes(full.begin(), full.begin() + 4));
        QTimer::singleShot(20, &s, [&s] { s.Reset(); });
    };
    const size_t before = outcomes.size();
    e->ReadHoldingRegs(1, 3);
    ASSERT_TRUE(Outcome(before));
    spin(int(kTimeoutMs) * 3);
    // One report of the transaction, however the engine learnt of the loss.
    size_t reports = 0;
    for (size_t i = before; i < outcomes.size(); ++i) reports += outcomes[i].rfind("error ", 0) == 0;
    EXPECT_EQ(reports, 1u);
    EXPECT_EQ(std::count(outcomes.begin() + long(before), outcomes.end(), "holding"), 0);

    e->Disconnect();
    waitUntil([&] { return e->GetState() == msNone; });
    ASSERT_TRUE(ConnectUp());
    ExpectNextReadCorrect(0x0A0B);
}

TEST_P(HostileMaster, CloseDuringABlockingCoilWriteReturnsAndReconnectWorks)
{
    ASSERT_TRUE(ConnectUp());
    slave.onRequest = [](HostileSlave& s, const Bytes&) { s.Close(); };
    e->WriteSingleCoil(1, true, true); // returns once the port is gone
    EXPECT_EQ(std::count(outcomes.begin(), outcomes.end(), "wrote coil"), 0);
    EXPECT_FALSE(e->CommPort()->Open());

    e->Disconnect();
    waitUntil([&] { return e->GetState() == msNone; });
    ASSERT_TRUE(ConnectUp());
    // An echoing slave: the blocking write returns with its acknowledgement.
    slave.onRequest = [](HostileSlave& s, const Bytes& req) { s.Send(req); };
    e->WriteSingleCoil(1, true, true);
    EXPECT_EQ(std::count(outcomes.begin(), outcomes.end(), "wrote coil"), 1);
    ExpectNextReadCorrect(0x7777);
}

INSTANTIATE_TEST_SUITE_P(Framings, HostileMaster, ::testing::Values(mbpTCP, mbpRTU), ProtocolName);
