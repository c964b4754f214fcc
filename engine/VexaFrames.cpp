// SPDX-License-Identifier: GPL-3.0-or-later
// Master requests: framing, transaction identifiers and handing frames over.
#include "VexaModbus.h"

#include "CommPort.h"
#include "EngineLife.h"
#include "ModbusFrames.h"

uint16_t TVexaModbus::NextTransactionID()
{
    FLastTransaction_ID = FLastTransaction_ID == 0xFFFF ? 0 : static_cast<uint16_t>(FLastTransaction_ID + 1);
    return FLastTransaction_ID;
}

int TVexaModbus::SendFrame(const uint8_t* block, uint16_t length)
{
    FTxCounter += length;
    if (FMode == mbmMaster) {
        LineSent(length);
        // Only a serial line can hear its own transmission.
        FTx.Sent(block, length);
        if (FRemoveEcho && FInterfaceType == mbiRS485 && !zorp::IsTcpFraming(FProtocol)) {
            FEchoPending = true;
            FEchoHeld = false;
            FEchoMatched = 0;
        }
    }
    // A failing log handler must not keep the frame off the wire.
    RaiseSwallowed(OnSendData, this, block, length);
    return FComPort ? FComPort->PutBlock(block, length) : -1;
}

void TVexaModbus::SendRequest(uint8_t fc, uint16_t Address, uint16_t word)
{
    const zorp::Framing f = zorp::RequestFraming(FProtocol);
    if (f == zorp::Framing::None) return;
    uint8_t frame[zorp::kShortFrameCapacity];
    const uint16_t tid = f == zorp::Framing::Tcp ? NextTransactionID() : 0;
    const size_t n = zorp::BuildWordRequest(frame, sizeof frame, f, FDeviceID, tid, fc, Address, word);
    if (n) SendFrame(frame, static_cast<uint16_t>(n));
}

void TVexaModbus::SendMultiRegsRequest(uint8_t fc, uint16_t Address, const std::vector<uint16_t>& values,
                                       uint16_t count)
{
    (void)fc; // always 16
    const zorp::Framing f = zorp::RequestFraming(FProtocol);
    if (f == zorp::Framing::None) return;
    // Refused requests (WriteMultiRegs never arms one) take no identifier.
    if (count == 0 || count > zorp::kMaxWriteRegisters || count > values.size()) return;
    uint8_t frame[zorp::kBlockFrameCapacity];
    const uint16_t tid = f == zorp::Framing::Tcp ? NextTransactionID() : 0;
    const size_t n = zorp::BuildMultiRegsRequest(frame, sizeof frame, f, FDeviceID, tid, Address,
                                                 values.data(), values.size(), count);
    if (n) SendFrame(frame, static_cast<uint16_t>(n));
}

void TVexaModbus::SendMultiCoilsRequest(uint8_t fc, uint16_t Address, const std::vector<uint8_t>& bytes,
                                        uint16_t byteCount)
{
    (void)fc; // always 15
    const zorp::Framing f = zorp::RequestFraming(FProtocol);
    if (f == zorp::Framing::None) return;
    if (byteCount > 255 || byteCount > bytes.size()) return;
    uint8_t frame[zorp::kBlockFrameCapacity];
    const uint16_t tid = f == zorp::Framing::Tcp ? NextTransactionID() : 0;
    const size_t n = zorp::BuildMultiCoilsRequest(frame, sizeof frame, f, FDeviceID, tid, Address, FTx.coils,
                                                  bytes.data(), bytes.size(), byteCount);
    if (n) SendFrame(frame, static_cast<uint16_t>(n));
}

void TVexaModbus::SendFileRecordRequest(uint8_t fc, uint16_t fileNo, uint16_t recordNo, uint16_t length)
{
    (void)fc; // always 20
    const zorp::Framing f = zorp::RequestFraming(FProtocol);
    if (f == zorp::Framing::None) return;
    uint8_t frame[zorp::kShortFrameCapacity];
    const uint16_t tid = f == zorp::Framing::Tcp ? NextTransactionID() : 0;
    const size_t n = zorp::BuildFileRecordRequest(frame, sizeof frame, f, FDeviceID, tid, fileNo, recordNo, length);
    if (n) SendFrame(frame, static_cast<uint16_t>(n));
}
