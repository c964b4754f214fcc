// SPDX-License-Identifier: GPL-3.0-or-later
#include "PeerMaster.h"

#include <gtest/gtest.h>

#include "CommPort.h"
#include "PeerValues.h"
#include "TestSupport.h"
#include "VexaModbus.h"

namespace zorptest {

PeerMaster::PeerMaster() : FMdb(std::make_unique<TVexaModbus>())
{
    TVexaModbus& m = *FMdb;
    m.SetTimeout(1000);
    m.SetMaxRepeat(1);
    m.OnConnect = [this](QObject*) { FConnected = true; };
    m.OnDisconnect = [this](QObject*) { FConnected = false; };
    m.OnError = [this](QObject*, int32_t code) {
        FLastError = code;
        FDone = true;
    };
    m.OnReadCoils = [this](QObject*, uint8_t, uint16_t, uint16_t, const std::vector<bool>& data) {
        for (bool b : data)
            FItems.push_back(b ? 1 : 0);
        FDone = true;
    };
    m.OnReadDiscreteInputs = [this](QObject*, uint8_t, uint16_t, uint16_t, const std::vector<uint8_t>& data) {
        // One byte more than the count needs would be a fault too: keep all bits.
        for (size_t k = 0; k < data.size() * 8; ++k)
            FItems.push_back((data[k / 8] >> (k % 8)) & 1);
        if (FItems.size() >= FCount && data.size() == (FCount + 7u) / 8u)
            FItems.resize(FCount);
        FDone = true;
    };
    auto regs = [this](QObject*, uint8_t, uint16_t, uint16_t, const std::vector<uint8_t>& data) {
        for (size_t k = 0; k + 1 < data.size(); k += 2)
            FItems.push_back(static_cast<uint16_t>(data[k] << 8 | data[k + 1]));
        if (data.size() % 2)
            FItems.push_back(0xFFFF); // an odd byte count never matches
        FDone = true;
    };
    m.OnReadHoldingRegs = regs;
    m.OnReadInputRegs = regs;
}

PeerMaster::~PeerMaster()
{
    FMdb->OnConnect = nullptr;
    FMdb->OnDisconnect = nullptr;
    FMdb->OnError = nullptr;
}

bool PeerMaster::waitConnected()
{
    FMdb->Connect();
    return waitUntil([this] { return FConnected || FLastError != 0; }, 10000) && FConnected;
}

bool PeerMaster::connectTcp(quint16 port, TModbusProtocol protocol)
{
    FMdb->SetInterfaceType(mbiEthernet);
    FMdb->SetProtocol(protocol);
    FMdb->SetEthIP(QStringLiteral("127.0.0.1"));
    FMdb->SetEthPort(port);
    return waitConnected();
}

bool PeerMaster::connectSerial(const QString& device, int32_t baud)
{
    FMdb->SetInterfaceType(mbiRS485);
    FMdb->SetProtocol(mbpRTU);
    FMdb->SetComSpeed(baud);
    FMdb->SetParity(pNone);
    FMdb->SetDataBits(8);
    FMdb->SetStopBits(1);
    FMdb->CommPort()->SetDevicePathOverride(device);
    return waitConnected();
}

std::optional<std::vector<uint16_t>> PeerMaster::read(int function, uint16_t address, uint8_t count)
{
    FDone = false;
    FLastError = 0;
    FItems.clear();
    FCount = count;
    switch (function) {
    case 1: FMdb->ReadCoils(address, count); break;
    case 2: FMdb->ReadDiscreteInputs(address, count); break;
    case 3: FMdb->ReadHoldingRegs(address, count); break;
    default: FMdb->ReadInputRegs(address, count); break;
    }
    if (!waitUntil([this] { return FDone; }, 10000) || FLastError != 0)
        return std::nullopt;
    return FItems;
}

std::vector<uint16_t> peerExpected(int function, uint32_t address, uint32_t count)
{
    std::vector<uint16_t> out;
    for (uint32_t k = 0; k < count; ++k) {
        const uint32_t wire = (address - 1 + k) & 0xFFFF;
        switch (function) {
        case 1: out.push_back(peerCoil(wire)); break;
        case 2: out.push_back(peerDiscrete(wire)); break;
        case 3: out.push_back(peerHolding(wire)); break;
        default: out.push_back(peerInput(wire)); break;
        }
    }
    return out;
}

void expectPeerReads(PeerMaster& master)
{
    for (int fc = 1; fc <= 4; ++fc) {
        const uint32_t largest = fc <= 2 ? 255 : 125;
        const uint32_t cases[][2] = {{1, 1}, {100, 10}, {1, largest}, {65536 - largest + 1, largest}, {65536, 1}};
        for (const auto& c : cases) {
            const auto got = master.read(fc, static_cast<uint16_t>(c[0]), static_cast<uint8_t>(c[1]));
            ASSERT_TRUE(got.has_value()) << "function " << fc << " address " << c[0] << " count " << c[1]
                                         << ": error " << master.lastError();
            EXPECT_EQ(*got, peerExpected(fc, c[0], c[1])) << "function " << fc << " address " << c[0]
                                                          << " count " << c[1];
        }
    }
}

} // namespace zorptest
