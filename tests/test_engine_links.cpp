// SPDX-License-Identifier: GPL-3.0-or-later
// What a master meets on real links beyond the well-behaved slave: exception
// codes of busy slaves and gateways, broadcasts, echo removal where there is
// no echo (and a write acknowledged by a copy of itself), a COM number that
// does not fit, a peer that closes the connection while a request waits, and
// a handler that destroys the engine from inside one of its events.
#include <gtest/gtest.h>

#include <QEventLoop>
#include <QTcpServer>
#include <QTimer>
#include <cstring>

#include <sys/mman.h>
#include <unistd.h>

#include "CommPort.h"
#include "EngineAccess.h"
#include "EngineFixture.h"
#include "EngineRecorder.h"
#include "EngineTestUtil.h"
#include "HostilePeer.h"
#include "ModbusFrames.h"
#include "TestSupport.h"

using A = TVexaModbusTestAccess;
using zorptest::EngineMemo;
using zorptest::EngineRecorder;
using zorptest::Hex;
using zorptest::ToHex;
using zorptest::WithCrc;

namespace {

uint32_t& gNow = zorptest::gEngineNow;

class Links : public zorptest::EngineFixture {
protected:
    void Up(TModbusProtocol p, TModbusInterface i = mbiRS485)
    {
        e->SetInterfaceType(i);
        EngineFixture::Up(p);
        rec.events.clear();
        rec.sent.clear();
    }
    // Lets the time-out of the wait run out, then passes.
    void Expire()
    {
        gNow += e->Timeout() + 1;
        Pass();
    }
};

// Exceptions beyond 01 to 04: a gateway's 0A and 0B end the transaction at
// once; busy (06) and acknowledge (05) are retried like a time-out and
// reported as themselves once no retry is left.
TEST_F(Links, ExceptionsOfBusySlavesAndGatewaysAreReportedAsThemselves)
{
    struct Case { uint8_t exception; bool write; size_t sends; int code; };
    const Case cases[] = {
        {0x0A, false, 1, 26}, {0x0B, false, 1, 27}, {0x0A, true, 1, 26}, {0x0B, true, 1, 27},
        {0x05, false, 3, 24}, {0x06, false, 3, 25}, {0x05, true, 3, 24}, {0x06, true, 3, 25},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "exception " << int(c.exception) << (c.write ? " to a write" : " to a read"));
        Up(mbpRTU);
        e->SetMaxRepeat(2);
        if (c.write) e->WriteSingleReg(1, 7);
        else e->ReadHoldingRegs(1, 1);
        for (size_t attempt = 0; attempt < 3 && rec.Outcomes().empty(); ++attempt) {
            Pass(); // the request
            Feed(WithCrc({1, uint8_t(c.write ? 0x86 : 0x83), c.exception}));
            Pass();
            if (rec.Outcomes().empty()) Expire();
        }
        EXPECT_EQ(rec.sent.size(), c.sends);
        EXPECT_EQ(rec.Outcomes(), std::vector<std::string>{"error " + std::to_string(c.code)});
        EXPECT_EQ(e->GetState(), msIdle);
        EXPECT_TRUE(memo->lines.contains(QString::fromUtf8(zorp::ErrorMessage(c.code))));
    }
}

// Unit 0 reaches every slave and none answers: a write goes once and is done
// after the turnaround delay; a read is refused without being sent.
TEST_F(Links, BroadcastWriteGoesOnceAndReadIsRefused)
{
    for (TModbusProtocol p : {mbpRTU, mbpTCP}) {
        SCOPED_TRACE(p == mbpRTU ? "RTU" : "TCP");
        Up(p);
        e->SetDeviceID(0);
        e->SetBroadcastDelay(150);
        e->WriteSingleReg(5, 9);
        Pass();
        ASSERT_EQ(rec.sent.size(), 1u);
        EXPECT_EQ(ToHex(rec.sent[0]), p == mbpRTU ? ToHex(WithCrc(Hex("00 06 00 04 00 09")))
                                                  : "00 01 00 00 00 06 00 06 00 04 00 09");
        gNow += 150;
        Pass();
        EXPECT_TRUE(rec.Outcomes().empty());
        gNow += 1;
        Pass();
        EXPECT_EQ(rec.Outcomes(), std::vector<std::string>{"wrote reg"});
        EXPECT_EQ(e->GetState(), msIdle);
        gNow += 10 * e->Timeout();
        Pass();
        EXPECT_EQ(rec.sent.size(), 1u);

        rec.events.clear();
        e->ReadHoldingRegs(1, 1);
        Pass();
        EXPECT_EQ(rec.sent.size(), 1u);
        EXPECT_EQ(rec.Outcomes(), std::vector<std::string>{"error 17"});
        EXPECT_EQ(e->GetState(), msIdle);
    }
}

// Echo removal applies where an echo can exist, and a single write's
// acknowledgement (a copy of the request) never makes it go out again.
TEST_F(Links, RemoveEchoNeverRepeatsAWrite)
{
    struct Case { const char* name; TModbusProtocol p; TModbusInterface i; int copies; uint32_t waited; };
    const Case cases[] = {
        {"Modbus TCP: the acknowledgement at once", mbpTCP, mbiEthernet, 1, 0},
        {"RTU over TCP: the acknowledgement at once", mbpRTU, mbiEthernet, 1, 0},
        {"serial, echo and acknowledgement", mbpRTU, mbiRS485, 2, 0},
        {"serial without echo: the one copy, at the time-out", mbpRTU, mbiRS485, 1, 3001},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Up(c.p, c.i);
        e->SetDeviceID(1);
        e->SetRemoveEcho(true);
        e->WriteSingleCoil(3, true, false);
        Pass();
        ASSERT_EQ(rec.sent.size(), 1u);
        for (int k = 0; k < c.copies; ++k) Feed(rec.sent[0]);
        const uint32_t start = gNow;
        for (int k = 0; k < 4000 && rec.Outcomes().empty(); ++k) {
            Pass();
            if (rec.Outcomes().empty()) gNow += 1;
        }
        EXPECT_EQ(gNow - start, c.waited);
        EXPECT_EQ(rec.sent.size(), 1u);
        EXPECT_EQ(rec.Outcomes(), std::vector<std::string>{"wrote coil"});
    }
}

// A COM number is never cut to 16 bits: 65537 is not COM 1.
TEST_F(Links, ComNumberOutOfRangeIsNotAnotherPort)
{
    for (int n : {65536, 65537, 0, -1}) {
        SCOPED_TRACE(n);
        e->SetComNumber(n);
        EXPECT_EQ(e->ComNumber(), n);
        TCommPort port;
        port.ComNumber = n;
        EXPECT_THROW(port.SetOpen(true), ECommPortError);
        EXPECT_FALSE(port.Open());
    }
}

// The port keeps the system's reason for its last failure.
TEST_F(Links, PortNamesTheSystemsReason)
{
    TCommPort serial;
    serial.SetDevicePathOverride(QStringLiteral("/nonexistent/zorp-no-such-tty"));
    EXPECT_THROW(serial.SetOpen(true), ECommPortError);
    EXPECT_TRUE(serial.LastErrorText().contains(QStringLiteral("No such file or directory")))
        << serial.LastErrorText().toStdString();

    // A port on 127.0.0.1 that nobody listens on: free a bound one.
    quint16 closed = 0;
    {
        QTcpServer s;
        ASSERT_TRUE(s.listen(QHostAddress::LocalHost, 0));
        closed = s.serverPort();
    }
    TCommPort tcp;
    int errors = 0;
    tcp.OnWsError = [&](TCommPort*, int) { ++errors; };
    tcp.DeviceLayer = dlTcp;
    tcp.WsAddress = QStringLiteral("127.0.0.1");
    tcp.WsPort = QString::number(closed);
    tcp.SetOpen(true);
    EXPECT_TRUE(tcp.LastErrorText().isEmpty());
    ASSERT_TRUE(zorptest::waitUntil([&] { return errors > 0; }));
    EXPECT_EQ(tcp.LastErrorText(), QStringLiteral("Connection refused"));
}

} // namespace

// The peer ends the connection in the orderly way while a read waits: the
// transaction ends at once as a lost connection, not after its time-out.
TEST(LinkClosed, OrderlyCloseEndsThePendingTransactionAtOnce)
{
    hostile::HostileSlave slave;
    ASSERT_NE(slave.Port(), 0);
    QObject owner;
    auto* e = new TVexaModbus(&owner);
    EngineRecorder rec;
    rec.Attach(*e);
    e->SetInterfaceType(mbiEthernet);
    e->SetProtocol(mbpTCP);
    e->SetEthIP(QStringLiteral("127.0.0.1"));
    e->SetEthPort(slave.Port());
    e->SetTimeout(60000);
    e->Connect();
    ASSERT_TRUE(zorptest::waitUntil([&] { return e->Connected(); }));
    slave.onRequest = [](hostile::HostileSlave& s, const hostile::Bytes&) { s.Close(); };
    rec.events.clear();
    e->ReadHoldingRegs(1, 2);
    ASSERT_TRUE(zorptest::waitUntil([&] { return rec.Count("disconnect") > 0; }, 10000));
    EXPECT_EQ(rec.Outcomes(), (std::vector<std::string>{"error 16", "disconnect"}));
    EXPECT_FALSE(e->Connected());
}

namespace {

// An engine on pages of its own: once deleted, the pages are taken away, so
// that any later access to it faults at once.
struct GuardedEngine : TVexaModbus {
    using TVexaModbus::TVexaModbus;
    static size_t Pages(size_t n)
    {
        const size_t page = size_t(::sysconf(_SC_PAGESIZE));
        return (n + sizeof(size_t) + page - 1) / page * page;
    }
    static void* operator new(size_t n)
    {
        const size_t size = Pages(n);
        void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw std::bad_alloc();
        std::memcpy(p, &size, sizeof size);
        return static_cast<char*>(p) + sizeof(size_t);
    }
    static void operator delete(void* q)
    {
        char* p = static_cast<char*>(q) - sizeof(size_t);
        size_t size = 0;
        std::memcpy(&size, p, sizeof size);
        ::mprotect(p, size, PROT_NONE); // kept mapped: no later object lands there
    }
};

} // namespace

// Every kind of event may delete the engine (or its owner): the engine
// touches nothing of itself afterwards, and the event loop goes on.
TEST(EngineDeletion, InsideItsOwnEventsIsSafe)
{
    hostile::HostileSlave slave;
    ASSERT_NE(slave.Port(), 0);
    slave.onRequest = [](hostile::HostileSlave& s, const hostile::Bytes& q) {
        if (q.size() >= 12 && q[7] == 3) s.Send({q[0], q[1], 0, 0, 0, 5, 1, 3, 2, 0, 42});
        else if (q.size() >= 12 && q[7] == 6) s.Send(q);
        else s.Send({q[0], q[1], 0, 0, 0, 3, 1, 0x83, 2});
    };
    enum Where { Connect, ReadEvent, WriteEvent, Error, ChangeState, Receive, Send, Owner };
    for (Where where : {Connect, ReadEvent, WriteEvent, Error, ChangeState, Receive, Send, Owner}) {
        SCOPED_TRACE(int(where));
        auto* owner = new QObject;
        TVexaModbus* e = new GuardedEngine(owner);
        bool deleted = false;
        auto kill = [&] {
            if (deleted) return;
            deleted = true;
            if (where == Owner) delete owner;
            else delete e;
        };
        e->SetInterfaceType(mbiEthernet);
        e->SetProtocol(mbpTCP);
        e->SetEthIP(QStringLiteral("127.0.0.1"));
        e->SetEthPort(slave.Port());
        e->SetTimeout(2000);
        e->OnConnect = [&](QObject*) {
            if (where == Connect) kill();
            else if (where == WriteEvent) e->WriteSingleReg(1, 5);
            else if (where == Error) e->ReadCoils(1, 1);
            else e->ReadHoldingRegs(1, 1);
        };
        e->OnReadHoldingRegs = [&](QObject*, uint8_t, uint16_t, uint16_t, const std::vector<uint8_t>&) {
            if (where == ReadEvent || where == Owner) kill();
        };
        e->OnWriteSingleReg = [&](QObject*) { if (where == WriteEvent) kill(); };
        e->OnError = [&](QObject*, int32_t) { if (where == Error) kill(); };
        e->OnChangeState = [&](QObject* s) {
            if (where == ChangeState && static_cast<TVexaModbus*>(s)->GetState() == msWaitForReadHoldingRegs) kill();
        };
        e->OnReceiveData = [&](QObject*, const uint8_t*, int) { if (where == Receive) kill(); };
        e->OnSendData = [&](QObject*, const void*, int32_t) { if (where == Send) kill(); };
        e->Connect();
        EXPECT_TRUE(zorptest::waitUntil([&] { return deleted; }, 5000));
        zorptest::spin(50); // what was left for the event loop runs without the engine
        if (where != Owner) delete owner;
    }
}
