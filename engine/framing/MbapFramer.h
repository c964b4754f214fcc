// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The Modbus TCP framing backend; see Framer.h.
#include "Framer.h"

namespace zorp::framing {

// Modbus TCP: frames by the header's length field alone.
class MbapFramer : public Framer {
public:
    explicit MbapFramer(Side side) : FSide(side) {}
    Kind GetKind() const override { return Kind::Mbap; }
    Side GetSide() const override { return FSide; }
    void Reset() override;
    void Feed(const uint8_t* data, size_t size, int64_t arrivalNs) override;
    Output Next(int64_t nowNs = kNoTime) override;
    size_t Held() const override { return FSize - FConsumed; }

private:
    void DropConsumed();

    Side FSide;
    uint8_t FBuf[kMaxHeld];
    size_t FSize = 0;
    size_t FConsumed = 0;
    bool FLost = false; // bytes were dropped: the stream cannot be followed
};

} // namespace zorp::framing
