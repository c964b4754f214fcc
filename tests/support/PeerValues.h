// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The images that the interoperability peers (tests/peers/) serve, indexed
// by wire address. The peers compute the same values.
#include <cstdint>

namespace zorptest {

inline bool peerCoil(uint32_t i) { return (i % 3 == 0) != (i % 7 == 1); }
inline bool peerDiscrete(uint32_t i) { return i % 5 == 1 || i % 11 == 4; }
inline uint16_t peerHolding(uint32_t i) { return static_cast<uint16_t>(i * 257u + 0x1234u); }
// The holding registers of a unit served with images of its own ("+1,2,3").
inline uint16_t peerHoldingOfUnit(uint32_t i, uint32_t unit)
{
    return static_cast<uint16_t>(i * 257u + 0x1234u + unit * 0x1111u);
}
inline uint16_t peerInput(uint32_t i) { return static_cast<uint16_t>(i * 40503u + 7u); }

} // namespace zorptest
