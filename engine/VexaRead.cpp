// SPDX-License-Identifier: GPL-3.0-or-later
// Read operations, decoding of accepted read responses, and the register
// and coil images.
#include "VexaModbus.h"

#include <algorithm>

#include "EngineLife.h"
#include "ModbusFrames.h"

void TVexaModbus::ReadCoils(uint16_t Address, uint8_t Count)
{
    if (!FConnected) return;
    FTx.coils = Count;
    Arm(msReadCoils, Address, Count);
}

void TVexaModbus::ReadDiscreteInputs(uint16_t Address, uint8_t Count)
{
    if (!FConnected) return;
    Arm(msReadDiscreteInputs, Address, Count);
}

void TVexaModbus::ReadHoldingRegs(uint16_t Address, uint8_t Count)
{
    if (!FConnected) return;
    Arm(msReadHoldingRegs, Address, Count);
}

void TVexaModbus::ReadInputRegs(uint16_t Address, uint8_t Count)
{
    if (!FConnected) return;
    Arm(msReadInputRegs, Address, Count);
}

void TVexaModbus::ReadFileRecord(uint16_t FileNumber, uint16_t Address, uint8_t Count)
{
    if (!FConnected) return;
    FTx.fileNumber = FileNumber;
    Arm(msReadFileRecord, Address, Count);
}

void TVexaModbus::ReadRelayState() { ReadCoils(17, 6); }

void TVexaModbus::AcceptRead()
{
    // The checks have passed: byte 2 is the byte count and all bc data bytes
    // follow from byte 3 (TCP: after the removed header).
    const size_t bc = FBuffer[2];
    const size_t avail = FBuffer.Size() > 3 ? FBuffer.Size() - 3 : 0;
    const uint8_t* p = FBuffer.Data() + 3;
    // Copied before ResetReceive empties the buffer, into storage kept from
    // one response to the next (no pass can run while the event's handler
    // holds it: the pass guard is set).
    std::vector<uint8_t>& data = FData;
    data.assign(p, p + std::min(bc, avail));
    FResponseByteCount = static_cast<uint16_t>(data.size());
    const TMachineStates wait = State;
    FTx.Settle(zorp::Transaction::Outcome::Answered);
    ResetReceive();
    SetState(msIdle);

    switch (wait) {
    case msWaitForReadCoils: {
        // Coils for which the response carries no bit read as False.
        const std::vector<bool> coils = zorp::UnpackBits(data.data(), data.size(), FTx.coils);
        FTx.coils = 0;
        Raise(OnReadCoils, this, FDeviceID, FTx.address, static_cast<uint16_t>(coils.size()), coils);
        break;
    }
    case msWaitForReadDiscreteInputs:
        Raise(OnReadDiscreteInputs, this, FDeviceID, FTx.address, FTx.count, data);
        break;
    case msWaitForReadHoldingRegs:
        if (FValueType == vtNone) Raise(OnReadHoldingRegs, this, FDeviceID, FTx.address, FTx.count, data);
        break;
    case msWaitForReadInputRegs:
        if (FValueType == vtNone) Raise(OnReadInputRegs, this, FDeviceID, FTx.address, FTx.count, data);
        break;
    case msWaitForReadFileRecord:
        if (FValueType == vtNone) Raise(OnReadFileRecord, this, FDeviceID, FTx.fileNumber, FTx.address, FTx.count, data);
        break;
    default:
        break;
    }
}

void TVexaModbus::ClearMapData() { FMapData.fill(0); }
void TVexaModbus::ClearCoilData() { FCoilData.fill(false); }

void TVexaModbus::Get_MapData(std::vector<uint16_t>& Data) const
{
    if (Data.size() > FMapData.size()) return;
    std::copy_n(FMapData.begin(), Data.size(), Data.begin());
}

void TVexaModbus::Set_MapData(const std::vector<uint16_t>& Data)
{
    ClearMapData();
    if (Data.size() > FMapData.size()) return;
    std::copy(Data.begin(), Data.end(), FMapData.begin());
}

void TVexaModbus::Get_CoilData(std::vector<bool>& Data) const
{
    if (Data.size() > FCoilData.size()) return;
    for (size_t i = 0; i < Data.size(); ++i) Data[i] = FCoilData[i];
}

void TVexaModbus::Set_CoilData(const std::vector<bool>& Data)
{
    ClearCoilData();
    if (Data.size() > FCoilData.size()) return;
    for (size_t i = 0; i < Data.size(); ++i) FCoilData[i] = Data[i];
}
