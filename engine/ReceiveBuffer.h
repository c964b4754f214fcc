// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The engine's receive buffer: an in-memory byte stream with a size and a
// position. It is capped well above the largest Modbus frame so that a peer
// flooding the line cannot make it grow without bound: bytes past the cap
// are dropped (no frame needs them).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace zorp {

class ReceiveBuffer {
public:
    static constexpr size_t kCapacity = 8192;

    ReceiveBuffer() { FData.reserve(kCapacity); }

    void Clear() { FData.clear(); FPosition = 0; FOverflowed = false; }
    size_t Size() const { return FData.size(); }
    size_t Position() const { return FPosition; }
    void SetPosition(size_t p) { FPosition = p > FData.size() ? FData.size() : p; }
    const uint8_t* Data() const { return FData.data(); }
    uint8_t operator[](size_t i) const { return i < FData.size() ? FData[i] : 0; }
    bool Overflowed() const { return FOverflowed; }

    // Stores bytes at the position, advancing it and extending the size;
    // bytes that would pass the cap are dropped. Returns the bytes kept.
    size_t Write(const uint8_t* block, size_t count)
    {
        if (FPosition >= kCapacity) { FOverflowed = FOverflowed || count > 0; return 0; }
        size_t room = kCapacity - FPosition;
        size_t n = count < room ? count : room;
        if (n < count) FOverflowed = true;
        if (FPosition + n > FData.size()) FData.resize(FPosition + n);
        if (n) std::memcpy(FData.data() + FPosition, block, n);
        FPosition += n;
        return n;
    }

    // Removes the first n bytes (the MBAP header of a TCP frame).
    void RemoveFront(size_t n)
    {
        if (n >= FData.size()) { Clear(); return; }
        FData.erase(FData.begin(), FData.begin() + static_cast<std::ptrdiff_t>(n));
        FPosition = FPosition > n ? FPosition - n : 0;
    }

    void ResetOverflow() { FOverflowed = false; }

private:
    std::vector<uint8_t> FData;
    size_t FPosition = 0;
    bool FOverflowed = false;
};

} // namespace zorp
