// SPDX-License-Identifier: GPL-3.0-or-later
// Listening (slave) side of TVexaModbus: delimiting the requests a master
// sends, answering them from the images, carrying out its writes, and the
// TCP client's arrival. The frames themselves are the pure functions of
// SlaveFrames.h.
#include "VexaModbus.h"

#include "CommPort.h"
#include "EngineLife.h"
#include "ListeningClients.h"
#include "LineTimer.h"
#include "SlaveFrames.h"
#include "framing/Framer.h"

#include <vector>

namespace {

zorp::slave::Framing FramingOf(TModbusProtocol p)
{
    // Only Modbus TCP carries a header; every other protocol is received as RTU.
    return p == mbpTCP ? zorp::slave::Framing::Tcp : zorp::slave::Framing::Rtu;
}

} // namespace

// Listening over a byte stream (Modbus TCP, RTU carried over TCP, or a
// serial line in Modbus TCP framing): each connection has its framer, which
// hands over one request at a time, exactly as long as its frame. While
// listening FLastArrival holds the tick of the last arrival (or of the last
// reset): bytes of a partial request that were followed by a silence longer
// than Timeout will never be completed; they are dropped when the next
// bytes come, so that a stray byte or a broken request cannot swallow the
// master's next request.
zorp::framing::Framer& TVexaModbus::ListeningFramer()
{
    if (zorp::framing::Framer* served = FClients->ServedFramer()) return *served;
    return Framer();
}

void TVexaModbus::FeedListening(const uint8_t* data, size_t size)
{
    const uint32_t now = zorp::GetTickCount();
    const bool silence = now - FLastArrival > FFixedTimeout;
    FLastArrival = now;
    zorp::framing::Framer& framer = ListeningFramer();
    if (silence && !FFrameCompleted) framer.Reset();
    framer.Feed(data, size, zorp::framing::kNoTime);
}

void TVexaModbus::DelimitListening()
{
    using namespace zorp::framing;
    if (FFrameCompleted)
        return; // a complete request is answered first; later bytes wait in the framer
    zorp::framing::Framer& framer = ListeningFramer();
    const bool tcp = framer.GetKind() == Kind::Mbap;
    // Bounded: every round consumes bytes, and the framer holds at most kMaxHeld.
    for (size_t round = 0; round <= kMaxHeld; ++round) {
        const Output o = framer.Next();
        if (o.what == Output::What::Nothing)
            return;
        if (o.what == Output::What::Fault) {
            if (o.fault == Fault::BadHeader) {
                DropBrokenClient();
                return;
            }
            // A request whose CRC is wrong goes to the checks, which answer
            // it as designed; bytes that form no request are dropped.
            if (o.fault == Fault::BadCrc) {
                TakeRequest(o.bytes.data(), o.bytes.size());
                return;
            }
            continue;
        }
        if (!tcp) {
            TakeRequest(o.adu.frame.data(), o.adu.frame.size());
            return;
        }
        if (o.adu.protocolId != 0) {
            DropBrokenClient();
            return;
        }
        FLastTransaction_ID = o.adu.transactionId;
        TakeRequest(o.adu.frame.data() + zorp::slave::kTcpHeaderSize, o.adu.frame.size() - zorp::slave::kTcpHeaderSize);
        return;
    }
}

void TVexaModbus::DropBrokenClient()
{
    // The length of what follows is unknown: no later byte of this
    // connection can be trusted to start a request.
    AddLog(QStringLiteral("Błędny nagłówek Modbus TCP - rozłączono klienta"));
    ResetReceive();
    ListeningFramer().Reset();
    if (FComPort)
        FComPort->DropClient();
    try {
        Raise(OnSlaveRefused, this, uint8_t(0), uint8_t(0));
    } catch (const zorp::EngineGone&) {
        throw;
    } catch (...) {
        AddLog(QStringLiteral("Exception: OnSlaveRefused"));
    }
}

void TVexaModbus::ListeningPass()
{
    using namespace zorp::slave;
    // On a serial line the answer waits for t3.5 of quiet after the
    // request; the pass comes again when it has passed.
    if (FFrameCompleted && AnswerMustWait()) {
        DisconnectCheck();
        return;
    }
    if (FFrameCompleted) {
        FFrameCompleted = false;
        const auto framing = FramingOf(FProtocol);
        const std::span<const uint8_t> buffer{FBuffer.Data(), FBuffer.Size()};
        // The request exactly (TCP: as long as its header said; RTU: as its
        // layout or CRC said); the bytes behind it wait in the framer.
        const size_t length = FRequestLength > 0 && FRequestLength <= buffer.size() ? FRequestLength : buffer.size();
        const std::span<const uint8_t> request = buffer.first(length);
        const Profile profile = FStandardProfile ? Profile::Standard : Profile::Designed;
        const bool hooked = ServeHooked(request, framing);
        const Request r = hooked ? Request{} : CheckRequest(request, framing, FDeviceID, profile);
        FRequestUnit = profile == Profile::Standard ? r.unit : FDeviceID;

        TNotifyEvent* event = nullptr;
        bool wrote = false;
        bool refused = false;
        const bool answer = !r.broadcast;
        switch (r.verdict) {
        case Verdict::Accepted:
            // The image is written first, then the answer is sent, then the event follows.
            wrote = r.fc == 5 || r.fc == 6 || r.fc == 15 || r.fc == 16 || r.fc == 22 || r.fc == 23 || r.fc == 102;
            switch (r.fc) {
            case 1:
            case 3:
                SendSlaveResponse(r.fc, r.a, r.w);
                break;
            case 5:
                FCoilData[r.a] = r.w == 0xFF00;
                if (answer) SendSlaveResponse(r.fc, r.a, r.w);
                event = &OnWriteSingleCoil;
                break;
            case 6:
                FMapData[r.a] = r.w;
                if (answer) SendSlaveResponse(r.fc, r.a, r.w);
                event = &OnWriteSingleReg;
                break;
            case 102:
                FMapData[r.a] = r.w;
                if (answer) SendSlaveResponse(r.fc, r.a, r.w);
                event = &OnWriteSingleSpecialReg;
                break;
            case 15:
                WriteCoilBits(FCoilData, r.a, r.w, r.data);
                if (answer) SendSlaveResponse(r.fc, r.a, r.w);
                event = &OnWriteMultiCoils;
                break;
            case 16:
                WriteRegisters(FMapData, r.a, r.w, r.data);
                if (answer) SendSlaveResponse(r.fc, r.a, r.w);
                event = &OnWriteMultiRegs;
                break;
            default:
                AnswerStandard(r, answer);
                break;
            }
            break;
        case Verdict::Refused:
            refused = true;
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
        // The framer may still hold a request that came behind this one (a
        // master on a byte stream may send it without waiting, or it came in
        // the same read): it is looked at now, not when more bytes happen to
        // arrive.
        if (State == msIdleSlave) {
            if (ListenerFramed())
                DelimitListeningLine(ListenerLineTimed() ? zorp::LineClockNs() : zorp::framing::kNoTime);
            else
                DelimitListening();
        }
        if (event)
            Raise(*event, this);
        if (wrote) {
            if (r.fc == 23)
                Raise(OnSlaveWrite, this, r.fc, r.a2, r.w2);
            else if (r.fc == 15 || r.fc == 16)
                Raise(OnSlaveWrite, this, r.fc, r.a, r.w);
            else
                Raise(OnSlaveWrite, this, r.fc, r.a, uint16_t(1));
        }
        if (refused)
            Raise(OnSlaveRefused, this, r.fc, r.exceptionCode);
    }
    DisconnectCheck();
}

bool TVexaModbus::AnswerStandard(const zorp::slave::Request& r, bool answer)
{
    using namespace zorp::slave;
    const auto framing = FramingOf(FProtocol);
    if (FProtocol != mbpRTU && FProtocol != mbpTCP)
        answer = false;
    uint8_t out[kAnswerBufferSize];
    size_t length = 0;
    switch (r.fc) {
    case 2: {
        uint8_t packed[kMaxReadCoils / 8 + 1];
        const size_t n = PackCoilBits(FDiscreteData, r.a, r.w, packed);
        length = BuildReadCoilsAnswer(framing, FRequestUnit, FLastTransaction_ID, {packed, n}, out, 2);
        break;
    }
    case 4:
        length = BuildReadRegistersAnswer(framing, FRequestUnit, FLastTransaction_ID, FInputRegData, r.a, r.w, out, 4);
        break;
    case 8: {
        uint8_t body[2 + 253];
        body[0] = FRequestUnit;
        body[1] = 8;
        const size_t n = std::min(r.data.size(), sizeof body - 2);
        std::copy_n(r.data.begin(), n, body + 2);
        length = BuildAnswer(framing, FLastTransaction_ID, {body, n + 2}, out);
        break;
    }
    case 22: {
        const uint16_t andMask = r.w;
        const uint16_t orMask = r.a2;
        FMapData[r.a] = static_cast<uint16_t>((FMapData[r.a] & andMask) | (orMask & ~andMask));
        const uint8_t body[8] = {FRequestUnit,          22, uint8_t(r.a >> 8),      uint8_t(r.a),
                                 uint8_t(andMask >> 8), uint8_t(andMask), uint8_t(orMask >> 8), uint8_t(orMask)};
        length = BuildAnswer(framing, FLastTransaction_ID, body, out);
        break;
    }
    case 23:
        WriteRegisters(FMapData, r.a2, r.w2, r.data);
        length = BuildReadRegistersAnswer(framing, FRequestUnit, FLastTransaction_ID, FMapData, r.a, r.w, out, 23);
        break;
    case 43: {
        const std::span<const uint8_t> objects[kDeviceIdObjects] = {
            {reinterpret_cast<const uint8_t*>(FDeviceIdObjects[0].constData()), size_t(FDeviceIdObjects[0].size())},
            {reinterpret_cast<const uint8_t*>(FDeviceIdObjects[1].constData()), size_t(FDeviceIdObjects[1].size())},
            {reinterpret_cast<const uint8_t*>(FDeviceIdObjects[2].constData()), size_t(FDeviceIdObjects[2].size())},
        };
        length = BuildDeviceIdAnswer(framing, FRequestUnit, FLastTransaction_ID, r.readCode, r.objectId, objects, out);
        break;
    }
    default:
        return false;
    }
    if (answer && length > 0)
        SendFrame(out, static_cast<uint16_t>(length));
    return true;
}

void TVexaModbus::SendSlaveResponse(uint8_t fc, uint16_t a, uint16_t word)
{
    using namespace zorp::slave;
    if (FProtocol != mbpRTU && FProtocol != mbpTCP)
        return;
    const auto framing = FramingOf(FProtocol);
    const uint8_t d = FRequestUnit;
    uint8_t out[kAnswerBufferSize];
    size_t length = 0;
    switch (fc) {
    case 1: {
        std::vector<uint8_t> bytes(word / 8u + (word % 8u ? 1u : 0u), 0);
        PackCoilBits(FCoilData, a, word, bytes);
        length = BuildReadCoilsAnswer(framing, d, FLastTransaction_ID, {bytes.data(), bytes.size()}, out);
        break;
    }
    case 3:
        length = BuildReadRegistersAnswer(framing, d, FLastTransaction_ID, FMapData, a, word, out);
        break;
    case 5:
    case 6:
    case 15:
    case 16:
    case 102:
        length = BuildEchoAnswer(framing, d, FLastTransaction_ID, fc, a, word, out);
        break;
    case kErrorFrameFunction:
        if (framing == Framing::Rtu)
            length = BuildErrorFrame(d, static_cast<uint8_t>(word), out);
        break;
    default:
        if (fc & 0x80)
            length = BuildExceptionAnswer(framing, d, FLastTransaction_ID, static_cast<uint8_t>(fc & 0x7F),
                                          static_cast<uint8_t>(word), out);
        break;
    }
    if (length > 0)
        SendFrame(out, static_cast<uint16_t>(length));
}

void TVexaModbus::SetDeviceIdentification(const QString& Vendor, const QString& Product, const QString& Revision)
{
    FDeviceIdObjects = {Vendor.toLatin1(), Product.toLatin1(), Revision.toLatin1()};
}

void TVexaModbus::Get_DiscreteData(std::vector<bool>& Data) const
{
    if (Data.size() > FDiscreteData.size()) return;
    for (size_t i = 0; i < Data.size(); ++i) Data[i] = FDiscreteData[i];
}

void TVexaModbus::Set_DiscreteData(const std::vector<bool>& Data)
{
    FDiscreteData.fill(false);
    if (Data.size() > FDiscreteData.size()) return;
    for (size_t i = 0; i < Data.size(); ++i) FDiscreteData[i] = Data[i];
}

void TVexaModbus::Get_InputRegData(std::vector<uint16_t>& Data) const
{
    if (Data.size() > FInputRegData.size()) return;
    std::copy_n(FInputRegData.begin(), Data.size(), Data.begin());
}

void TVexaModbus::Set_InputRegData(const std::vector<uint16_t>& Data)
{
    FInputRegData.fill(0);
    if (Data.size() > FInputRegData.size()) return;
    std::copy(Data.begin(), Data.end(), FInputRegData.begin());
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
    // Bytes a previous client left behind never belong to this one's
    // requests (with several masters at once each has a buffer of its own).
    if (FClients->Serving() < 0) {
        ResetReceive();
        if (FFramer)
            FFramer->Reset();
    }
    // This runs inside the port object's notification: a handler's
    // exception must not travel on into the event loop.
    try {
        Raise(OnClientConnect, port, FClientIP);
    } catch (const zorp::EngineGone&) {
        throw;
    } catch (...) {
        AddLog(QStringLiteral("Exception: OnClientConnect"));
    }
}
