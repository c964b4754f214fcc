// SPDX-License-Identifier: GPL-3.0-or-later
// Listening (slave) side of TVexaModbus: delimiting the requests a master
// sends, answering them from the register and coil images, carrying out its
// writes, and the TCP client's arrival. The frames themselves are the pure
// functions of SlaveFrames.h.
#include "VexaModbus.h"

#include "CommPort.h"
#include "SlaveFrames.h"

#include <vector>

namespace {

zorp::slave::Framing FramingOf(TModbusProtocol p)
{
    // Only Modbus TCP carries a header; every other protocol is received as RTU.
    return p == mbpTCP ? zorp::slave::Framing::Tcp : zorp::slave::Framing::Rtu;
}

} // namespace

// Runs on every arrival of bytes while listening, after they were appended.
// While listening FTimeout holds the tick of the last arrival (or of the
// last reset). Bytes of a partial request that were followed by a silence
// longer than Timeout will never be completed: they are dropped when the
// next bytes come, so that a stray byte or a broken request on the line
// cannot swallow the master's next request.
void TVexaModbus::DelimitListening()
{
    const uint32_t now = zorp::GetTickCount();
    const bool silence = now - FTimeout > FFixedTimeout;
    FTimeout = now;
    if (FFrameCompleted)
        return; // a complete request is not examined again; later bytes wait behind it
    if (silence) {
        const size_t chunk = FRxScratch.size(); // the bytes of this arrival
        if (chunk < FBuffer.Size())
            FBuffer.RemoveFront(FBuffer.Size() - chunk);
    }
    const auto framing = FramingOf(FProtocol);
    const auto d = zorp::slave::DelimitRequest({FBuffer.Data(), FBuffer.Size()}, framing);
    if (!d.flagKnown)
        return;
    FIsException = d.isException;
    if (!d.complete) {
        // No request needs more than 268 bytes, so a full buffer holds only
        // garbage: start again rather than wait for bytes that cannot fit.
        if (FBuffer.Overflowed() || FBuffer.Size() >= zorp::ReceiveBuffer::kCapacity)
            ResetReceive();
        return;
    }
    if (framing == zorp::slave::Framing::Tcp) {
        FLastTransaction_ID = static_cast<uint16_t>((FBuffer[0] << 8) | FBuffer[1]);
        FBuffer.RemoveFront(zorp::slave::kTcpHeaderSize);
    }
    FFrameCompleted = true;
    SchedulePass();
}

void TVexaModbus::ListeningPass()
{
    using namespace zorp::slave;
    if (FFrameCompleted) {
        FFrameCompleted = false;
        const auto framing = FramingOf(FProtocol);
        const std::span<const uint8_t> buffer{FBuffer.Data(), FBuffer.Size()};
        const Request r = CheckRequest(buffer, framing, FDeviceID);

        // Modbus TCP is a reliable stream: bytes behind a well-formed request
        // are the next request (a master may send it without waiting), so
        // they are kept. On a serial line they are noise and are dropped.
        std::vector<uint8_t> next;
        if (framing == Framing::Tcp && !FIsException) {
            const size_t length = RequestLength(buffer, Framing::Tcp);
            if (length > 0 && buffer.size() > length)
                next.assign(buffer.begin() + static_cast<std::ptrdiff_t>(length), buffer.end());
        }

        TNotifyEvent* event = nullptr;
        switch (r.verdict) {
        case Verdict::Accepted:
            // The image is written first, then the answer is sent, then the event follows.
            switch (r.fc) {
            case 1:
            case 3:
                SendSlaveResponse(r.fc, r.a, r.w);
                break;
            case 5:
                FCoilData[r.a] = r.w == 0xFF00;
                SendSlaveResponse(r.fc, r.a, r.w);
                event = &OnWriteSingleCoil;
                break;
            case 6:
                FMapData[r.a] = r.w;
                SendSlaveResponse(r.fc, r.a, r.w);
                event = &OnWriteSingleReg;
                break;
            case 102:
                FMapData[r.a] = r.w;
                SendSlaveResponse(r.fc, r.a, r.w);
                event = &OnWriteSingleSpecialReg;
                break;
            case 15:
                WriteCoilBits(FCoilData, r.a, r.w, r.data);
                SendSlaveResponse(r.fc, r.a, r.w);
                event = &OnWriteMultiCoils;
                break;
            case 16:
                WriteRegisters(FMapData, r.a, r.w, r.data);
                SendSlaveResponse(r.fc, r.a, r.w);
                event = &OnWriteMultiRegs;
                break;
            default:
                break;
            }
            break;
        case Verdict::Refused:
            SendSlaveResponse(static_cast<uint8_t>(r.fc | 0x80), r.a, r.exceptionCode);
            break;
        case Verdict::BadCrcSingle:
            SendSlaveResponse(kErrorFrameFunction, r.a, kErrorFrameCode);
            break;
        case Verdict::NotForUs:
        case Verdict::BadCrcMulti:
        case Verdict::Unsupported:
            break;
        }

        // The buffer is emptied before the event is raised: should the
        // handler throw, the request it answered cannot be taken again.
        ResetReceive();
        if (!next.empty()) {
            FBuffer.Write(next.data(), next.size());
            DelimitListening();
        }
        if (event && *event)
            (*event)(this);
    }
    DisconnectCheck();
}

void TVexaModbus::SendSlaveResponse(uint8_t fc, uint16_t a, uint16_t word)
{
    using namespace zorp::slave;
    if (FProtocol != mbpRTU && FProtocol != mbpTCP)
        return;
    const auto framing = FramingOf(FProtocol);
    uint8_t out[kAnswerBufferSize];
    size_t length = 0;
    switch (fc) {
    case 1:
        FCoilsCount = static_cast<uint8_t>(word);
        PackCoils(a, word);
        length = BuildReadCoilsAnswer(framing, FDeviceID, FLastTransaction_ID,
                                      {FByteValues.data(), FByteValues.size()}, out);
        break;
    case 3:
        length = BuildReadRegistersAnswer(framing, FDeviceID, FLastTransaction_ID, FMapData, a, word, out);
        break;
    case 5:
    case 6:
    case 15:
    case 16:
    case 102:
        length = BuildEchoAnswer(framing, FDeviceID, FLastTransaction_ID, fc, a, word, out);
        break;
    case kErrorFrameFunction:
        if (framing == Framing::Rtu)
            length = BuildErrorFrame(FDeviceID, static_cast<uint8_t>(word), out);
        break;
    default:
        if (fc & 0x80)
            length = BuildExceptionAnswer(framing, FDeviceID, FLastTransaction_ID, static_cast<uint8_t>(fc & 0x7F),
                                          static_cast<uint8_t>(word), out);
        break;
    }
    if (length > 0)
        SendFrame(out, static_cast<uint16_t>(length));
}

void TVexaModbus::PackCoils(uint16_t a, uint16_t q)
{
    FDataCount = static_cast<uint16_t>(q / 8 + (q % 8 ? 1 : 0));
    FByteValues.assign(FDataCount, 0);
    zorp::slave::PackCoilBits(FCoilData, a, q, FByteValues);
}

void TVexaModbus::PortClientAccepted(TCommPort* port, const uint8_t Address[4], bool& Accept)
{
    Accept = true; // the client is always taken
    if (Address)
        FClientIP = QStringLiteral("%1.%2.%3.%4")
                        .arg(unsigned(Address[0]))
                        .arg(unsigned(Address[1]))
                        .arg(unsigned(Address[2]))
                        .arg(unsigned(Address[3]));
    else
        FClientIP = QStringLiteral("0.0.0.0");
    FRxCounter = 0;
    FTxCounter = 0;
    // Bytes a previous client left behind never belong to this one's requests.
    ResetReceive();
    if (OnClientConnect) {
        // This runs inside the port object's notification: a handler's
        // exception must not travel on into the event loop.
        try {
            OnClientConnect(port, FClientIP);
        } catch (...) {
            AddLog(QStringLiteral("Exception: OnClientConnect"));
        }
    }
}
