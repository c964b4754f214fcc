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
#include "SlaveServe.h"
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
        switch (r.verdict) {
        case Verdict::Accepted:
        case Verdict::Refused: {
            // The image is written first, then the answer is sent, then the event follows.
            const Served s = ServeListening(r);
            wrote = s.wrote;
            refused = s.refused;
            if (r.verdict == Verdict::Accepted) event = WriteEvent(r.fc);
            break;
        }
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

zorp::slave::Served TVexaModbus::ServeListening(const zorp::slave::Request& r)
{
    using namespace zorp::slave;
    Images images;
    images.coils = FCoilData;
    images.discrete = FDiscreteData;
    images.inputs = FInputRegData;
    images.holding = FMapData;
    for (size_t k = 0; k < kDeviceIdObjects; ++k)
        images.deviceId[k] = {reinterpret_cast<const uint8_t*>(FDeviceIdObjects[k].constData()),
                              size_t(FDeviceIdObjects[k].size())};
    uint8_t out[kAnswerBufferSize];
    const Served s = Serve(images, r, FramingOf(FProtocol), FRequestUnit, FLastTransaction_ID, out);
    // A broadcast is carried out and never answered; only RTU and Modbus TCP are answered at all.
    if (s.length > 0 && !r.broadcast && (FProtocol == mbpRTU || FProtocol == mbpTCP))
        SendFrame(out, static_cast<uint16_t>(s.length));
    return s;
}

TNotifyEvent* TVexaModbus::WriteEvent(uint8_t fc)
{
    switch (fc) {
    case 5: return &OnWriteSingleCoil;
    case 6: return &OnWriteSingleReg;
    case 102: return &OnWriteSingleSpecialReg;
    case 15: return &OnWriteMultiCoils;
    case 16: return &OnWriteMultiRegs;
    default: return nullptr;
    }
}

// The error frame that answers an RTU single-word request with a bad CRC;
// every other answer is built by Serve (SlaveServe.h).
void TVexaModbus::SendSlaveResponse(uint8_t fc, uint16_t a, uint16_t word)
{
    using namespace zorp::slave;
    (void)a;
    if (FProtocol != mbpRTU || fc != kErrorFrameFunction)
        return;
    uint8_t out[kAnswerBufferSize];
    const size_t length = BuildErrorFrame(FRequestUnit, static_cast<uint8_t>(word), out);
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
