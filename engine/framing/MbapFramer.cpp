// SPDX-License-Identifier: GPL-3.0-or-later
// Modbus TCP framing: the header's length field delimits every frame.
#include "MbapFramer.h"

#include <cstring>

#include "MbapFraming.h"

namespace zorp::framing {

// ---- Modbus TCP -------------------------------------------------------------------

void MbapFramer::Reset()
{
    FSize = 0;
    FConsumed = 0;
    FLost = false;
}

void MbapFramer::DropConsumed()
{
    if (FConsumed == 0) return;
    std::memmove(FBuf, FBuf + FConsumed, FSize - FConsumed);
    FSize -= FConsumed;
    FConsumed = 0;
}

void MbapFramer::Feed(const uint8_t* data, size_t size, int64_t)
{
    DropConsumed();
    if (!data || size == 0) return;
    const size_t room = kMaxHeld - FSize;
    if (size > room) {
        FLost = true; // a frame is at most 260 bytes: this is no Modbus stream
        size = room;
    }
    std::memcpy(FBuf + FSize, data, size);
    FSize += size;
}

Output MbapFramer::Next(int64_t)
{
    DropConsumed();
    if (FSize == 0) return {};
    const mbap::Frame f = mbap::Delimit({FBuf, FSize});
    Output o;
    if (f.status == mbap::Status::Invalid || FLost) {
        // No length to go by: nothing in these bytes can be found again.
        o.what = Output::What::Fault;
        o.fault = Fault::BadHeader;
        o.bytes = {FBuf, FSize};
        FConsumed = FSize;
        FLost = false;
        return o;
    }
    if (f.status == mbap::Status::Incomplete) return o;
    o.what = Output::What::Frame;
    o.adu.transactionId = f.transactionId;
    o.adu.protocolId = f.protocolId;
    o.adu.unit = FBuf[mbap::kPrefixSize];
    o.adu.pdu = Pdu(FBuf + mbap::kHeaderSize, f.frameSize - mbap::kHeaderSize);
    o.adu.frame = {FBuf, f.frameSize};
    FConsumed = f.frameSize;
    return o;
}

} // namespace zorp::framing
