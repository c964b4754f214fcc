// SPDX-License-Identifier: GPL-3.0-or-later
// The master over Modbus TCP against answers that do not belong to the
// pending request (late, foreign protocol, two in one segment, stray bytes
// behind), against a peer that resets the connection, and against a host
// that never answers the connection attempt.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTimer>
#include <string>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "CommPort.h"
#include "HostilePeer.h"
#include "TestSupport.h"
#include "VexaModbus.h"

using hostile::Bytes;
using hostile::HostileSlave;
using zorptest::waitUntil;

namespace {

// A Modbus TCP answer to a read of count holding registers holding base,
// base + 1, ... with transaction identifier tid and protocol identifier pid.
Bytes TcpAnswer(uint16_t tid, uint16_t count, uint16_t base, uint16_t pid = 0)
{
    Bytes pdu = {1, 3, uint8_t(2 * count)};
    for (uint16_t k = 0; k < count; ++k) {
        pdu.push_back(uint8_t((base + k) >> 8));
        pdu.push_back(uint8_t(base + k));
    }
    Bytes out = {uint8_t(tid >> 8), uint8_t(tid), uint8_t(pid >> 8), uint8_t(pid), 0, uint8_t(pdu.size())};
    for (uint8_t b : pdu) out.push_back(b);
    return out;
}

Bytes Cat(Bytes a, const Bytes& b)
{
    for (uint8_t x : b) a.push_back(x);
    return a;
}

uint16_t TidOf(const Bytes& request) { return request.size() >= 2 ? uint16_t(request[0] << 8 | request[1]) : 0; }

class TcpMaster : public ::testing::Test {
protected:
    HostileSlave slave;
    QObject owner;
    TVexaModbus* e = nullptr;
    std::vector<std::string> outcomes;
    std::vector<uint8_t> lastData;

    void SetUp() override
    {
        ASSERT_NE(slave.Port(), 0);
        e = new TVexaModbus(&owner);
        e->SetInterfaceType(mbiEthernet);
        e->SetEthIP(QStringLiteral("127.0.0.1"));
        e->SetEthPort(slave.Port());
        e->SetProtocol(mbpTCP);
        e->SetTimeout(200);
        e->SetMaxRepeat(0);
        e->OnConnect = [this](QObject*) { outcomes.push_back("connect"); };
        e->OnDisconnect = [this](QObject*) { outcomes.push_back("disconnect"); };
        e->OnError = [this](QObject*, int32_t code) { outcomes.push_back("error " + std::to_string(code)); };
        e->OnReadHoldingRegs = [this](QObject*, uint8_t, uint16_t, uint16_t, const std::vector<uint8_t>& d) {
            lastData = d;
            outcomes.push_back("holding " + std::to_string(d.size() >= 2 ? d[0] << 8 | d[1] : -1));
        };
    }

    void TearDown() override
    {
        delete e;
        e = nullptr;
    }

    bool Up()
    {
        e->Connect();
        return waitUntil([&] { return e->Connected(); });
    }

    bool Outcome(size_t n, int ms = 5000) { return waitUntil([&] { return outcomes.size() >= n; }, ms); }
};

// The first read (Start Address 1) goes unanswered and times out; the
// answers of the second read (Start Address 100) come as each case says.
struct Late {
    const char* name;
    std::function<void(HostileSlave&, uint16_t firstTid, uint16_t tid)> answer;
};

const Late kLate[] = {
    {"LateAnswerThenTheRightOne",
     [](HostileSlave& s, uint16_t first, uint16_t tid) {
         s.Send(TcpAnswer(first, 2, 1));
         s.SendLater(30, TcpAnswer(tid, 2, 100));
     }},
    {"LateAndRightAnswerInOneSegment",
     [](HostileSlave& s, uint16_t first, uint16_t tid) { s.Send(Cat(TcpAnswer(first, 2, 1), TcpAnswer(tid, 2, 100))); }},
    {"ForeignProtocolIdentifierFirst",
     [](HostileSlave& s, uint16_t, uint16_t tid) { s.Send(Cat(TcpAnswer(tid, 2, 7, 0x5678), TcpAnswer(tid, 2, 100))); }},
    {"RightAnswerWithStrayBytesBehind",
     [](HostileSlave& s, uint16_t, uint16_t tid) { s.Send(Cat(TcpAnswer(tid, 2, 100), Bytes{0xAA, 0xBB, 0xCC})); }},
    {"HeaderWithoutAValidLengthIsDropped",
     [](HostileSlave& s, uint16_t, uint16_t tid) {
         s.Send(Bytes{uint8_t(tid >> 8), uint8_t(tid), 0, 0, 0, 0, 1, 3});
         s.SendLater(30, TcpAnswer(tid, 2, 100));
     }},
    {"AnswerInTwoPiecesAfterALateOne",
     [](HostileSlave& s, uint16_t first, uint16_t tid) {
         const Bytes all = Cat(TcpAnswer(first, 2, 1), TcpAnswer(tid, 2, 100));
         s.Send(Bytes(all.begin(), all.begin() + 16));
         s.SendLater(30, Bytes(all.begin() + 16, all.end()));
     }},
};

TEST_F(TcpMaster, OnlyTheAnswerCarryingTheRequestsIdentifierReachesAReadEvent)
{
    ASSERT_TRUE(Up());
    for (const Late& c : kLate) {
        SCOPED_TRACE(c.name);
        outcomes.clear();
        uint16_t firstTid = 0;
        slave.onRequest = [&](HostileSlave& s, const Bytes& q) {
            if (!firstTid) {
                firstTid = TidOf(q); // no answer in time
                return;
            }
            c.answer(s, firstTid, TidOf(q));
        };
        e->ReadHoldingRegs(1, 2);
        ASSERT_TRUE(Outcome(1));
        EXPECT_EQ(outcomes[0], "error 4");
        e->ReadHoldingRegs(100, 2);
        ASSERT_TRUE(Outcome(2));
        EXPECT_EQ(outcomes[1], "holding 100");
        // Nothing else comes of the dropped frames.
        waitUntil([] { return false; }, 60);
        EXPECT_EQ(outcomes.size(), 2u);
    }
}

TEST_F(TcpMaster, ResetEndsTheLinkWithErrorFifteen)
{
    for (bool pending : {true, false}) {
        SCOPED_TRACE(pending ? "request pending" : "link idle");
        outcomes.clear();
        ASSERT_TRUE(Up());
        if (pending) {
            slave.onRequest = [](HostileSlave& s, const Bytes&) { s.Reset(); };
            e->ReadHoldingRegs(1, 2);
        } else {
            slave.onRequest = nullptr;
            slave.Reset();
        }
        ASSERT_TRUE(waitUntil([&] { return !outcomes.empty() && outcomes.back() == "error 15"; }, 2000));
        EXPECT_FALSE(e->Connected());
        EXPECT_EQ(e->GetState(), msNone);
        EXPECT_EQ(std::count(outcomes.begin(), outcomes.end(), "disconnect"), 0);
    }
}

TEST_F(TcpMaster, UnansweredConnectionAttemptEndsWithErrorFifteenAfterTheTimeout)
{
    // A listening socket whose queue is full drops further connection
    // attempts unanswered, as a host that does not exist would.
    const int server = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(server, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(server, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(server, 0), 0);
    socklen_t len = sizeof a;
    ::getsockname(server, reinterpret_cast<sockaddr*>(&a), &len);
    std::vector<int> fillers;
    for (int k = 0; k < 3; ++k) {
        const int c = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a);
        fillers.push_back(c);
    }
    zorptest::spin(50);
    e->SetEthPort(ntohs(a.sin_port));
    e->SetTimeout(400);
    QElapsedTimer clock;
    clock.start();
    e->Connect();
    ASSERT_TRUE(waitUntil([&] { return !outcomes.empty(); }, 10000));
    EXPECT_EQ(outcomes[0], "error 15");
    EXPECT_GE(clock.elapsed(), 400);
    EXPECT_FALSE(e->Connected());
    EXPECT_EQ(e->GetState(), msNone);
    for (int c : fillers) ::close(c);
    ::close(server);
}

} // namespace
