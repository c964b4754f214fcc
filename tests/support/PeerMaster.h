// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// An engine driven as a master against an interoperability peer: connect,
// then one read at a time, waiting for its event.
#include <QString>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "ModbusTypes.h"

class TVexaModbus;

namespace zorptest {

class PeerMaster {
public:
    PeerMaster();
    ~PeerMaster();

    // Connects over TCP (Modbus TCP or RTU framing) or a serial device;
    // true once OnConnect came.
    bool connectTcp(quint16 port, TModbusProtocol protocol);
    bool connectSerial(const QString& device, int32_t baud);

    // One read; the items in order, or nothing when the engine reported an
    // error (lastError) or no event came in time. Function 2 is unpacked.
    std::optional<std::vector<uint16_t>> read(int function, uint16_t address, uint8_t count);

    int lastError() const { return FLastError; }
    TVexaModbus& engine() { return *FMdb; }

private:
    bool waitConnected();

    std::unique_ptr<TVexaModbus> FMdb;
    bool FConnected = false;
    bool FDone = false;
    int FLastError = 0;
    uint16_t FCount = 0;
    std::vector<uint16_t> FItems;
};

// The values a peer holds for count items from 1-based address onwards.
std::vector<uint16_t> peerExpected(int function, uint32_t address, uint32_t count);

} // namespace zorptest

namespace zorptest {
// Functions 1 to 4 for one item, ten items, the largest count the engine
// asks (255 bits, 125 registers) from address 1 and at the top of the
// address space: every read must return exactly what the peer holds.
void expectPeerReads(PeerMaster& master);
} // namespace zorptest
