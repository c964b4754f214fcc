// SPDX-License-Identifier: GPL-3.0-or-later
// The engine listening on a real loopback socket against masters that
// misbehave: requests cut short, byte counts larger than the data, address
// ranges past the images' end, megabytes of garbage, and a thousand clients
// that connect and leave. After each, the next valid request is answered
// byte for byte and the process's memory stays bounded. Both framings: Modbus
// TCP and RTU frames over TCP.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "CommPort.h"
#include "EngineAccess.h"
#include "EngineTestUtil.h"
#include "HostilePeer.h"
#include "ReceiveBuffer.h"
#include "TestSupport.h"

using A = TVexaModbusTestAccess;
using hostile::Bytes;
using hostile::HostileClient;
using zorptest::spin;
using zorptest::ToHex;
using zorptest::waitUntil;

namespace {

constexpr uint32_t kSilenceMs = 100; // the listener's Timeout: a silence ends a partial request
constexpr size_t kFlood = 4 * 1024 * 1024;
constexpr size_t kRssBound = 64 * 1024 * 1024;

class HostileListen : public ::testing::TestWithParam<TModbusProtocol> {
protected:
    TVexaModbus mdb;
    HostileClient client;
    int arrivals = 0, departures = 0, writes = 0;
    bool listening = false;
    uint16_t port = 0;
    uint16_t tid = 0x0100;

    bool Tcp() const { return GetParam() == mbpTCP; }

    void SetUp() override
    {
        mdb.OnListen = [this](QObject*) { listening = true; };
        mdb.OnClientConnect = [this](QObject*, const QString&) { ++arrivals; };
        mdb.OnClientDisconnect = [this](QObject*) { ++departures; };
        mdb.OnWriteMultiRegs = [this](QObject*) { ++writes; };
        mdb.OnWriteMultiCoils = [this](QObject*) { ++writes; };
        std::vector<uint16_t> regs(65536);
        for (size_t i = 0; i < regs.size(); ++i) regs[i] = uint16_t(i ^ 0x5A5A);
        mdb.Set_MapData(regs);
        mdb.SetInterfaceType(mbiEthernet);
        mdb.SetProtocol(GetParam());
        mdb.SetEthPort(0);
        mdb.CommPort()->WsBindAddress = QStringLiteral("127.0.0.1");
        mdb.SetTimeout(kSilenceMs);
        mdb.Listen();
        ASSERT_TRUE(waitUntil([&] { return listening; }));
        port = mdb.CommPort()->ServerPort();
        ASSERT_NE(port, 0);
        ASSERT_TRUE(ConnectClient(client));
    }
    bool ConnectClient(HostileClient& c)
    {
        const int before = arrivals;
        return c.Connect(port) && waitUntil([&] { return arrivals > before; });
    }

    // A request or answer in the framing under test (pdu from the device address).
    Bytes Frame(const Bytes& pdu)
    {
        if (!Tcp()) return zorptest::WithCrc(pdu);
        ++tid;
        Bytes f = {uint8_t(tid >> 8), uint8_t(tid), 0, 0, uint8_t(pdu.size() >> 8), uint8_t(pdu.size())};
        f.insert(f.end(), pdu.begin(), pdu.end());
        return f;
    }
    static uint16_t Reg(size_t i) { return uint16_t(i ^ 0x5A5A); }

    // Sends a read of count registers at a and expects exactly the image's words.
    void ExpectReadAnswered(uint16_t a, uint16_t count)
    {
        const Bytes req = Frame({1, 3, uint8_t(a >> 8), uint8_t(a), 0, uint8_t(count)});
        Bytes pdu = {1, 3, uint8_t(2 * count)};
        std::vector<uint16_t> m(size_t(a) + count);
        mdb.Get_MapData(m);
        for (uint16_t k = 0; k < count; ++k) {
            pdu.push_back(uint8_t(m[a + k] >> 8));
            pdu.push_back(uint8_t(m[a + k]));
        }
        --tid;
        const Bytes want = Frame(pdu);
        client.Discard();
        client.Write(req);
        EXPECT_EQ(ToHex(client.Read(want.size())), ToHex(want));
        EXPECT_LE(A::Buffer(mdb).size(), zorp::ReceiveBuffer::kCapacity);
    }
    // Sends a request and expects the exception answer with code.
    void ExpectRefused(const Bytes& pdu, uint8_t code)
    {
        const Bytes req = Frame(pdu);
        --tid;
        const Bytes want = Frame({pdu[0], uint8_t(pdu[1] | 0x80), code});
        client.Discard();
        client.Write(req);
        EXPECT_EQ(ToHex(client.Read(want.size())), ToHex(want)) << "request " << ToHex(req);
    }
    // Sends bytes that must get no answer, then keeps silent.
    void ExpectNoAnswer(const Bytes& bytes)
    {
        client.Discard();
        client.Write(bytes);
        EXPECT_EQ(ToHex(client.ReadFor(int(kSilenceMs) + 100)), "") << "request " << ToHex(bytes);
    }
};

std::string ProtocolName(const ::testing::TestParamInfo<TModbusProtocol>& info)
{
    return info.param == mbpTCP ? "ModbusTcp" : "RtuOverTcp";
}

} // namespace

TEST_P(HostileListen, TruncatedRequestsAreDroppedAfterASilence)
{
    const Bytes read = Frame({1, 3, 0, 10, 0, 2});
    ExpectNoAnswer(Bytes(read.begin(), read.end() - 2));
    ExpectReadAnswered(10, 2);
    // A write cut inside its data, and one cut inside its header.
    const Bytes write = Frame({1, 16, 0, 20, 0, 2, 4, 0xDE, 0xAD, 0xBE, 0xEF});
    ExpectNoAnswer(Bytes(write.begin(), write.end() - 3));
    ExpectNoAnswer(Bytes(write.begin(), write.begin() + (Tcp() ? 9 : 4)));
    ExpectReadAnswered(20, 2);
    EXPECT_EQ(writes, 0);
    ExpectNoAnswer({1}); // a single byte
    ExpectReadAnswered(0, 1);
}

TEST_P(HostileListen, ByteCountsLargerThanTheDataWriteNothing)
{
    // The byte count promises more than comes: nothing is written. In RTU
    // the request never completes; in Modbus TCP the header's length ends
    // it, and the disagreement is refused.
    if (Tcp()) {
        ExpectRefused({1, 16, 0, 30, 0, 2, 200, 1, 2, 3, 4}, 0x03);
        ExpectRefused({1, 15, 0, 30, 0, 16, 250, 0xFF, 0xFF}, 0x03);
    } else {
        ExpectNoAnswer(Frame({1, 16, 0, 30, 0, 2, 200, 1, 2, 3, 4}));
        ExpectNoAnswer(Frame({1, 15, 0, 30, 0, 16, 250, 0xFF, 0xFF}));
    }
    ExpectReadAnswered(30, 2);
    // A byte count that does not match the quantity is refused.
    ExpectRefused({1, 16, 0, 30, 0, 2, 6, 1, 2, 3, 4, 5, 6}, 0x03);
    ExpectRefused({1, 15, 0, 30, 0, 10, 1, 0xFF}, 0x03);
    ExpectRefused({1, 16, 0, 30, 0, 0, 0}, 0x03);
    ExpectReadAnswered(30, 2);
    EXPECT_EQ(writes, 0);
}

TEST_P(HostileListen, RangesPastTheImagesEndAreRefused)
{
    ExpectRefused({1, 3, 0xFF, 0xFF, 0, 2}, 0x02);
    ExpectRefused({1, 1, 0xFF, 0xF8, 0, 16}, 0x02);
    ExpectRefused({1, 16, 0xFF, 0xFF, 0, 2, 4, 1, 2, 3, 4}, 0x02);
    ExpectRefused({1, 15, 0xFF, 0xF8, 0, 16, 2, 0xFF, 0xFF}, 0x02);
    ExpectRefused({1, 3, 0, 0, 0, 126}, 0x03); // over the quantity limit
    EXPECT_EQ(writes, 0);
    // The last entries themselves are reachable, and were not written.
    ExpectReadAnswered(0xFFFE, 2);
    EXPECT_EQ(A::MapWord(mdb, 0xFFFF), Reg(0xFFFF));
}

TEST_P(HostileListen, GarbageFloodLeavesTheListenerServingAndBounded)
{
    const size_t rss = hostile::ResidentBytes();
    if (Tcp()) {
        // Garbage has no valid Modbus TCP header: the connection is closed
        // and the listener serves the next master.
        client.Flood(kFlood, 1234);
        ASSERT_TRUE(waitUntil([&] { return departures > 0; }, 30000));
        client.Abort();
        ASSERT_TRUE(ConnectClient(client));
    } else {
        ASSERT_TRUE(client.Flood(kFlood, 1234));
        ASSERT_TRUE(waitUntil([&] { return mdb.RxCounter() >= int64_t(kFlood); }, 30000)) << mdb.RxCounter();
    }
    EXPECT_LE(A::Buffer(mdb).size(), zorp::ReceiveBuffer::kCapacity);
    spin(int(kSilenceMs) + 50);
    EXPECT_EQ(mdb.GetState(), msIdleSlave);
    EXPECT_LT(hostile::ResidentBytes(), rss + kRssBound);
    ExpectReadAnswered(100, 3);
    ExpectReadAnswered(0xFFFD, 3);
}

TEST_P(HostileListen, ThousandConnectAndDisconnectCycles)
{
    client.Close();
    ASSERT_TRUE(waitUntil([&] { return departures == arrivals; }));
    const size_t rss = hostile::ResidentBytes();
    for (int i = 0; i < 1000; ++i) {
        HostileClient c;
        ASSERT_TRUE(c.Connect(port)) << "cycle " << i;
        if (i % 3 == 1) c.Write(Frame({1, 3, 0, 0})); // half a request left behind
        if (i % 2) c.Abort();
        else c.Close();
        // The listener takes one client at a time: let it see this one leave.
        ASSERT_TRUE(waitUntil([&] { return departures == arrivals; })) << "cycle " << i;
    }
    EXPECT_GE(arrivals, 1000);
    EXPECT_LT(hostile::ResidentBytes(), rss + kRssBound);
    ASSERT_TRUE(ConnectClient(client));
    ExpectReadAnswered(0, 4);
}

// A master that reconnects at once: its new connection reaches the listener
// before the listener has seen the old one close. The old client is gone
// (its end of the connection is closed), so the new one is served rather
// than refused as a second client.
TEST_P(HostileListen, ClientThatReconnectsAtOnceIsServed)
{
    client.Close();
    ASSERT_TRUE(waitUntil([&] { return departures == arrivals; }));
    auto rawConnect = [&] {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? fd : (::close(fd), -1);
    };
    int before = arrivals;
    int fd = rawConnect();
    ASSERT_GE(fd, 0);
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(waitUntil([&] { return arrivals > before; })) << "cycle " << i;
        before = arrivals;
        // Close and connect again without letting the listener run between.
        ::close(fd);
        fd = rawConnect();
        ASSERT_GE(fd, 0);
        const Bytes req = Frame({1, 3, 0, uint8_t(i), 0, 1});
        ASSERT_EQ(::send(fd, req.data(), req.size(), 0), ssize_t(req.size()));
        Bytes got;
        const size_t want = Tcp() ? 11 : 7;
        waitUntil([&] {
            uint8_t buf[64];
            const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) got.insert(got.end(), buf, buf + n);
            return got.size() >= want || n == 0;
        });
        ASSERT_EQ(got.size(), want) << "cycle " << i;
        EXPECT_EQ(got[want - (Tcp() ? 1 : 3)], uint8_t(Reg(size_t(i))));
    }
    ::close(fd);
}

INSTANTIATE_TEST_SUITE_P(Framings, HostileListen, ::testing::Values(mbpTCP, mbpRTU), ProtocolName);
