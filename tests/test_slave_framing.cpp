// SPDX-License-Identifier: GPL-3.0-or-later
// The listening side over a real loopback connection, in Modbus TCP and in
// RTU framing over TCP, in the designed mode and with the standard profile:
// every function code followed at once by a read, every header length,
// back-to-back requests, headers that cannot be resynchronised, lengths
// that lie, and a write whose byte count disagrees with its length.
#include <gtest/gtest.h>

#include <QByteArray>
#include <set>
#include <vector>

#include "SlaveSupport.h"
#include "TestSupport.h"
#include "CommPort.h"
#include "VexaModbus.h"

using slavetest::WithCrc;

namespace {

// Hex text of bytes, for readable failures.
std::string ToHex(const QByteArray& b) { return slavetest::ToHex(b).toStdString(); }

struct Mode {
    TModbusProtocol protocol;
    bool standard;
};

std::string ModeName(const ::testing::TestParamInfo<Mode>& info)
{
    return std::string(info.param.protocol == mbpTCP ? "ModbusTcp" : "RtuOverTcp") +
           (info.param.standard ? "Standard" : "Designed");
}

QByteArray Bytes(std::initializer_list<int> b)
{
    QByteArray out;
    for (int v : b) out.append(char(v));
    return out;
}

class SlaveFraming : public ::testing::TestWithParam<Mode> {
protected:
    TVexaModbus mdb;
    slavetest::RawClient client;
    quint16 port = 0;
    uint16_t tid = 0x0100;
    int departures = 0;
    int arrivals = 0;

    bool Tcp() const { return GetParam().protocol == mbpTCP; }
    bool Standard() const { return GetParam().standard; }
    static uint16_t Reg(int i) { return uint16_t(i ^ 0x5A5A); }

    void SetUp() override
    {
        bool listening = false;
        mdb.OnListen = [&listening](QObject*) { listening = true; };
        mdb.OnClientConnect = [this](QObject*, const QString&) { ++arrivals; };
        mdb.OnClientDisconnect = [this](QObject*) { ++departures; };
        std::vector<uint16_t> regs(65536);
        for (size_t i = 0; i < regs.size(); ++i) regs[i] = Reg(int(i));
        mdb.Set_MapData(regs);
        mdb.SetStandardProfile(Standard());
        mdb.SetInterfaceType(mbiEthernet);
        mdb.SetProtocol(GetParam().protocol);
        mdb.SetEthPort(0);
        mdb.CommPort()->WsBindAddress = QStringLiteral("127.0.0.1");
        mdb.Listen();
        ASSERT_TRUE(zorptest::waitUntil([&] { return listening; }));
        mdb.OnListen = nullptr;
        port = mdb.CommPort()->ServerPort();
        ASSERT_TRUE(Reconnect(client));
    }
    bool Reconnect(slavetest::RawClient& c)
    {
        const int before = arrivals;
        return c.Connect(port) && zorptest::waitUntil([&] { return arrivals > before; });
    }

    // A frame of the framing under test around pdu (from the unit on),
    // with transaction identifier t in Modbus TCP.
    QByteArray Frame(const QByteArray& pdu, int t = 1)
    {
        if (!Tcp()) return WithCrc(pdu);
        return Bytes({(t >> 8) & 0xFF, t & 0xFF, 0, 0, int(pdu.size()) >> 8, int(pdu.size()) & 0xFF}) + pdu;
    }
    QByteArray ReadRequest(int a, int t) { return Frame(Bytes({1, 3, a >> 8, a & 0xFF, 0, 1}), t); }
    QByteArray ReadAnswer(int a, int t) { return Frame(Bytes({1, 3, 2, Reg(a) >> 8, Reg(a) & 0xFF}), t); }
    QByteArray Exception(int fc, int code, int t) { return Frame(Bytes({1, fc | 0x80, code}), t); }
    // Sends bytes and collects what comes until the stream ends with `tail`.
    QByteArray SendUntil(const QByteArray& bytes, const QByteArray& tail)
    {
        client.Write(bytes);
        QByteArray got;
        zorptest::waitUntil([&] {
            got += client.ReadFor(0);
            return got.endsWith(tail);
        }, 5000);
        return got;
    }
};

// A well-formed request of each function the standard profile serves,
// writing only far from the registers the reads look at; the functions whose
// requests carry no data (or a pointer alone) as Modbus lays them out; for
// any other code a request with four bytes of data.
QByteArray RequestPdu(int fc)
{
    switch (fc) {
    case 15: return Bytes({1, 15, 0x03, 0xE8, 0, 3, 1, 5});
    case 16: return Bytes({1, 16, 0x03, 0xE8, 0, 1, 2, 0x12, 0x34});
    case 22: return Bytes({1, 22, 0x03, 0xE8, 0xFF, 0x00, 0x00, 0x12});
    case 23: return Bytes({1, 23, 0x03, 0xE8, 0, 1, 0x03, 0xE9, 0, 1, 2, 0, 7});
    case 43: return Bytes({1, 43, 14, 1, 0});
    case 8: return Bytes({1, 8, 0, 0, 0x12, 0x34});
    case 5: return Bytes({1, 5, 0x03, 0xE8, 0xFF, 0});
    case 6: return Bytes({1, 6, 0x03, 0xE8, 0, 9});
    // Functions whose requests carry no data, or a pointer alone.
    case 7: case 11: case 12: case 17: return Bytes({1, uint8_t(fc)});
    case 24: return Bytes({1, 24, 0x03, 0xE8});
    default: return Bytes({1, fc, 0x03, 0xE8, 0, 1});
    }
}

} // namespace

TEST_P(SlaveFraming, EveryFunctionCodeFollowedAtOnceByARead)
{
    const std::set<int> served = Standard() ? std::set<int>{1, 2, 3, 4, 5, 6, 8, 15, 16, 22, 23, 43, 102}
                                            : std::set<int>{1, 3, 5, 6, 15, 16, 102};
    for (int fc = 1; fc <= 127; ++fc) {
        const int a = fc; // a register no request writes
        const QByteArray want = ReadAnswer(a, 2 * fc + 1);
        const QByteArray got = SendUntil(Frame(RequestPdu(fc), 2 * fc) + ReadRequest(a, 2 * fc + 1), want);
        ASSERT_TRUE(got.endsWith(want)) << "fc " << fc << ": " << ToHex(got);
        if (served.count(fc)) continue;
        // Not served: exception 01 (standard profile) or silence (designed).
        const QByteArray expected = Standard() ? Exception(fc, 1, 2 * fc) + want : want;
        EXPECT_EQ(ToHex(got), ToHex(expected)) << "fc " << fc;
    }
}

TEST_P(SlaveFraming, EveryHeaderLengthIsConsumedWhole)
{
    if (!Tcp()) GTEST_SKIP() << "Modbus TCP only";
    for (int length = 2; length <= 254; ++length) {
        // An unknown function with length - 2 bytes of data, then a read.
        QByteArray pdu = Bytes({1, 0x41});
        for (int k = 0; k < length - 2; ++k) pdu.append(char(k == 3 ? 0x00 : 0x01 + k));
        const QByteArray want = ReadAnswer(length, 7);
        const QByteArray got = SendUntil(Frame(pdu, 6) + ReadRequest(length, 7), want);
        const QByteArray expected = Standard() ? Exception(0x41, 1, 6) + want : want;
        ASSERT_EQ(ToHex(got), ToHex(expected)) << "length " << length;
    }
}

TEST_P(SlaveFraming, BackToBackRequestsAreAnsweredInOrder)
{
    QByteArray requests, answers;
    for (int k = 0; k < 40; ++k) {
        requests += ReadRequest(500 + k, 1000 + k);
        answers += ReadAnswer(500 + k, 1000 + k);
    }
    // One write, and again split at every odd byte boundary.
    EXPECT_EQ(ToHex(SendUntil(requests, answers)), ToHex(answers));
    for (int at = 1; at < requests.size(); at += 37) {
        client.Write(requests.left(at));
        zorptest::spin(1);
        EXPECT_EQ(ToHex(SendUntil(requests.mid(at), answers)), ToHex(answers)) << "split at " << at;
    }
}

// A length that lies about its request: the request is still exactly the
// bytes the header announces; a read with four bytes too many is refused
// by a standard slave (answered by the designed one), and the next read
// is answered either way.
TEST_P(SlaveFraming, LengthThatLiesStaysInsideItsRequest)
{
    if (!Tcp()) GTEST_SKIP() << "Modbus TCP only";
    const QByteArray longRead = Frame(Bytes({1, 3, 0, 9, 0, 1, 0, 3, 0, 1}), 5);
    const QByteArray first = Standard() ? Exception(3, 3, 5) : ReadAnswer(9, 5);
    const QByteArray want = first + ReadAnswer(12, 6);
    EXPECT_EQ(ToHex(SendUntil(longRead + ReadRequest(12, 6), want)), ToHex(want));
    // A Write Multiple Registers of 123 registers whose byte count (200)
    // disagrees with its header's length: refused, nothing written.
    QByteArray write = Bytes({1, 16, 0, 50, 0, 123, 200});
    for (int k = 0; k < 246; ++k) write.append(char(0x77));
    const QByteArray refused = Exception(16, 3, 8) + ReadAnswer(50, 9) + ReadAnswer(172, 10);
    EXPECT_EQ(ToHex(SendUntil(Frame(write, 8) + ReadRequest(50, 9) + ReadRequest(172, 10), refused)), ToHex(refused));
}

TEST_P(SlaveFraming, HeaderThatCannotBeResynchronisedClosesTheConnection)
{
    if (!Tcp()) GTEST_SKIP() << "Modbus TCP only";
    const QByteArray broken[] = {
        Bytes({0, 1, 0, 1, 0, 6, 1, 3, 0, 0, 0, 1}),    // protocol identifier 1
        Bytes({0, 1, 0, 0, 0, 1, 1}),                   // length 1
        Bytes({0, 1, 0, 0, 0, 0}),                      // length 0
        Bytes({0, 1, 0, 0, 0, 255, 1, 3}),              // length 255
        Bytes({0, 1, 0, 0, 0xFF, 0xFF, 1, 3}),          // length 65535
    };
    for (const QByteArray& header : broken) {
        const int before = departures;
        client.Write(header + ReadRequest(3, 2));
        ASSERT_TRUE(zorptest::waitUntil([&] { return departures > before; })) << ToHex(header);
        EXPECT_TRUE(zorptest::waitUntil([&] { return client.Socket().state() == QAbstractSocket::UnconnectedState; }));
        EXPECT_EQ(ToHex(client.ReadFor(0)), "") << ToHex(header);
        EXPECT_EQ(mdb.GetState(), msIdleSlave);
        // The listener serves the next master.
        client.Close();
        ASSERT_TRUE(Reconnect(client));
        EXPECT_EQ(ToHex(SendUntil(ReadRequest(4, 3), ReadAnswer(4, 3))), ToHex(ReadAnswer(4, 3)));
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, SlaveFraming,
                         ::testing::Values(Mode{mbpTCP, false}, Mode{mbpTCP, true}, Mode{mbpRTU, false},
                                           Mode{mbpRTU, true}),
                         ModeName);
