// SPDX-License-Identifier: GPL-3.0-or-later
// How the engine and the port object dispatch work on a real loopback link:
// a read issued from the read event goes out only after the handler has
// returned, a throwing handler does not lose the transaction it armed, bytes
// keep arriving while a handler runs the event loop, and frames handed to
// the port while earlier bytes still wait for the socket keep their order.
#include <gtest/gtest.h>

#include <QEventLoop>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <stdexcept>

#include "CommPort.h"
#include "EngineScriptedSlave.h"
#include "TestSupport.h"
#include "VexaModbus.h"

using zorptest::EngineScriptedSlave;
using zorptest::waitUntil;

namespace {

// Modbus TCP answer to a read of holding registers: Count words, each the
// transaction identifier's low byte (so that answers can be told apart).
EngineScriptedSlave::Chunks ReadAnswer(const std::vector<uint8_t>& req)
{
    if (req.size() < 12 || req[7] != 3) return {};
    const uint8_t n = req[11];
    std::vector<uint8_t> out(req.begin(), req.begin() + 4);
    out.push_back(0);
    out.push_back(uint8_t(3 + 2 * n));
    out.push_back(req[6]);
    out.push_back(3);
    out.push_back(uint8_t(2 * n));
    for (int i = 0; i < n; ++i) {
        out.push_back(0);
        out.push_back(req[1]);
    }
    return {out};
}

class Dispatch : public ::testing::Test {
protected:
    EngineScriptedSlave slave;
    QObject owner;
    TVexaModbus* e = nullptr;

    void SetUp() override
    {
        ASSERT_NE(slave.port(), 0);
        slave.responder = ReadAnswer;
        e = new TVexaModbus(&owner);
        e->SetInterfaceType(mbiEthernet);
        e->SetProtocol(mbpTCP);
        e->SetEthIP(QStringLiteral("127.0.0.1"));
        e->SetEthPort(slave.port());
        e->SetTimeout(2000);
    }
    void TearDown() override { zorp::SetUnhandledExceptionHandler(nullptr); }

    bool ConnectUp()
    {
        e->Connect();
        return waitUntil([&] { return e->Connected(); });
    }
};

} // namespace

TEST_F(Dispatch, ReadsIssuedFromTheReadEventGoOutAfterTheHandlerReturns)
{
    const int total = 200;
    bool inHandler = false;
    int sentInsideHandler = 0;
    int responses = 0;
    std::vector<uint16_t> ids;
    e->OnSendData = [&](QObject*, const void* block, int32_t size) {
        if (inHandler) ++sentInsideHandler;
        const auto* b = static_cast<const uint8_t*>(block);
        if (size >= 2) ids.push_back(uint16_t(b[0] << 8 | b[1]));
    };
    bool dataMatches = true;
    e->OnReadHoldingRegs = [&](QObject*, uint8_t, uint16_t, uint16_t count, const std::vector<uint8_t>& data) {
        inHandler = true;
        // Each answer belongs to the request just sent.
        dataMatches = dataMatches && count == 2 && data.size() == 4 && !ids.empty() && data[1] == (ids.back() & 0xFF);
        if (++responses < total) {
            e->ReadHoldingRegs(1, 2);
            // Armed, not sent: the operation only stores and arms.
            EXPECT_EQ(e->GetState(), int32_t(msReadHoldingRegs));
        }
        inHandler = false;
    };
    ASSERT_TRUE(ConnectUp());
    e->ReadHoldingRegs(1, 2);
    ASSERT_TRUE(waitUntil([&] { return responses >= total; }, 20000));
    EXPECT_EQ(sentInsideHandler, 0);
    EXPECT_TRUE(dataMatches);
    ASSERT_EQ(ids.size(), size_t(total));
    for (size_t i = 1; i < ids.size(); ++i) EXPECT_EQ(ids[i], uint16_t(ids[i - 1] + 1)) << i;
    EXPECT_EQ(slave.requests.size(), size_t(total));
    EXPECT_EQ(e->GetState(), int32_t(msIdle));
}

TEST_F(Dispatch, AThrowingReadHandlerEndsItsPassButTheReadItArmedStillRuns)
{
    int failures = 0;
    zorp::SetUnhandledExceptionHandler([&](std::exception_ptr) { ++failures; });
    int responses = 0;
    e->OnReadHoldingRegs = [&](QObject*, uint8_t, uint16_t, uint16_t, const std::vector<uint8_t>&) {
        if (++responses == 1) {
            e->ReadHoldingRegs(1, 2);
            throw std::runtime_error("handler failed");
        }
    };
    ASSERT_TRUE(ConnectUp());
    e->ReadHoldingRegs(1, 2);
    ASSERT_TRUE(waitUntil([&] { return responses >= 2; }));
    EXPECT_EQ(failures, 1);
    EXPECT_EQ(slave.requests.size(), 2u);
    EXPECT_EQ(e->GetState(), int32_t(msIdle));
}

TEST_F(Dispatch, BytesKeepArrivingWhileAHandlerRunsTheEventLoop)
{
    // The answer comes in two pieces; the handler of the first piece waits
    // in a local event loop until the second one has been announced too.
    slave.responder = [](const std::vector<uint8_t>& req) {
        EngineScriptedSlave::Chunks whole = ReadAnswer(req);
        if (whole.empty()) return whole;
        const std::vector<uint8_t>& f = whole[0];
        return EngineScriptedSlave::Chunks{{f.begin(), f.begin() + 5}, {f.begin() + 5, f.end()}};
    };
    slave.chunkPauseMs = 20;
    int chunks = 0;
    bool sawSecondInside = false;
    int responses = 0;
    e->OnReceiveData = [&](QObject*, const uint8_t*, int32_t) {
        if (++chunks == 1) {
            sawSecondInside = waitUntil([&] { return chunks >= 2; }, 3000);
        }
    };
    e->OnReadHoldingRegs = [&](QObject*, uint8_t, uint16_t, uint16_t, const std::vector<uint8_t>& data) {
        ++responses;
        EXPECT_EQ(data.size(), 4u);
    };
    ASSERT_TRUE(ConnectUp());
    e->ReadHoldingRegs(1, 2);
    ASSERT_TRUE(waitUntil([&] { return responses >= 1; }));
    EXPECT_TRUE(sawSecondInside);
    EXPECT_EQ(chunks, 2);

    // The same while a read event's handler waits: bytes that follow the
    // answer are announced during the wait.
    slave.responder = [](const std::vector<uint8_t>& req) {
        EngineScriptedSlave::Chunks c = ReadAnswer(req);
        if (!c.empty()) c.push_back({0xEE, 0xEE, 0xEE});
        return c;
    };
    chunks = 0;
    bool strayInside = false;
    e->OnReceiveData = [&](QObject*, const uint8_t*, int32_t) { ++chunks; };
    e->OnReadHoldingRegs = [&](QObject*, uint8_t, uint16_t, uint16_t, const std::vector<uint8_t>&) {
        ++responses;
        strayInside = waitUntil([&] { return chunks >= 2; }, 3000);
    };
    e->ReadHoldingRegs(1, 2);
    ASSERT_TRUE(waitUntil([&] { return responses >= 2; }));
    EXPECT_TRUE(strayInside);
    EXPECT_EQ(chunks, 2);
}

TEST(PortWrites, FramesQueuedBehindABacklogKeepTheirOrder)
{
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
    QTcpSocket* peer = nullptr;
    QObject::connect(&server, &QTcpServer::newConnection, [&] {
        while (QTcpSocket* s = server.nextPendingConnection()) peer = s;
    });
    TCommPort port;
    bool connected = false;
    port.OnWsConnect = [&](TCommPort*) { connected = true; };
    port.DeviceLayer = dlTcp;
    port.WsMode = wsClient;
    port.WsAddress = QStringLiteral("127.0.0.1");
    port.WsPort = QString::number(server.serverPort());
    port.SetOpen(true);
    ASSERT_TRUE(waitUntil([&] { return connected && peer; }));

    // More than the socket takes at once, then small frames straight after:
    // they must go out behind the bytes that still wait.
    QByteArray big(8 << 20, '\0');
    for (int i = 0; i < big.size(); ++i) big[i] = char(i * 7);
    QByteArray expected = big;
    EXPECT_EQ(port.PutBlock(big.constData(), int(big.size())), int(big.size()));
    for (int k = 0; k < 50; ++k) {
        const char frame[3] = {char(0xA5), char(k), char(0x5A)};
        EXPECT_EQ(port.PutBlock(frame, 3), 3);
        expected.append(frame, 3);
    }
    QByteArray got;
    ASSERT_TRUE(waitUntil([&] {
        got += peer->readAll();
        return got.size() >= expected.size();
    }, 20000));
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected);
    port.SetOpen(false);
}
