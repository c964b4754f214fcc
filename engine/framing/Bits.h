// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The one bit packer of Modbus: coil or input k of a run is bit (k mod 8) of
// data byte (k div 8), least significant bit first. Every place that packs
// or unpacks bits (requests, answers, the listener's images) goes through
// these two.
#include <cstddef>
#include <cstdint>

namespace zorp::framing {

// Packs `count` bits, bit(k) giving bit k, into out[0 .. cap): the bytes are
// cleared first; bytes past cap are not written. Returns the bytes the run
// needs, ceil(count / 8).
template <typename Bit> size_t PackBitsInto(size_t count, Bit bit, uint8_t* out, size_t cap)
{
    const size_t bytes = (count + 7) / 8;
    for (size_t i = 0; i < bytes && i < cap; ++i) out[i] = 0;
    for (size_t k = 0; k < count && k / 8 < cap; ++k)
        if (bit(k)) out[k / 8] = static_cast<uint8_t>(out[k / 8] | (1u << (k % 8)));
    return bytes;
}

// Unpacks `count` bits from data[0 .. length), calling set(k, value) for
// every bit the data carry; bits past the data are not visited.
template <typename Set> void UnpackBitsFrom(const uint8_t* data, size_t length, size_t count, Set set)
{
    for (size_t k = 0; k < count && k / 8 < length; ++k) set(k, ((data[k / 8] >> (k % 8)) & 1u) != 0);
}

} // namespace zorp::framing
