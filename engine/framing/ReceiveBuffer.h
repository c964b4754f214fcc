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

    void Clear() { FData.clear(); FStart = 0; FPosition = 0; FOverflowed = false; }
    size_t Size() const { return FData.size() - FStart; }
    size_t Position() const { return FPosition; }
    void SetPosition(size_t p) { FPosition = p > Size() ? Size() : p; }
    const uint8_t* Data() const { return FData.data() + FStart; }
    uint8_t operator[](size_t i) const { return i < Size() ? FData[FStart + i] : 0; }
    bool Overflowed() const { return FOverflowed; }

    // Stores bytes at the position, advancing it and extending the size;
    // bytes that would pass the cap are dropped. Returns the bytes kept.
    size_t Write(const uint8_t* block, size_t count)
    {
        if (FPosition >= kCapacity) { FOverflowed = FOverflowed || count > 0; return 0; }
        size_t room = kCapacity - FPosition;
        size_t n = count < room ? count : room;
        if (n < count) FOverflowed = true;
        if (n == 0) return 0;
        // Bytes removed from the front go for good only when their room is
        // needed, so that removing a header costs no move of what follows.
        if (FStart > 0 && FStart + FPosition + n > FData.capacity()) {
            FData.erase(FData.begin(), FData.begin() + static_cast<std::ptrdiff_t>(FStart));
            FStart = 0;
        }
        if (FPosition == Size()) {
            FData.insert(FData.end(), block, block + n); // the usual case: appended
        } else {
            if (FPosition + n > Size()) FData.resize(FStart + FPosition + n);
            std::memcpy(FData.data() + FStart + FPosition, block, n);
        }
        FPosition += n;
        return n;
    }

    // Removes the first n bytes (the MBAP header of a TCP frame).
    void RemoveFront(size_t n)
    {
        if (n >= Size()) { Clear(); return; }
        FStart += n;
        FPosition = FPosition > n ? FPosition - n : 0;
    }

    void ResetOverflow() { FOverflowed = false; }

private:
    std::vector<uint8_t> FData; // the bytes from FStart on are the buffer's
    size_t FStart = 0;
    size_t FPosition = 0;
    bool FOverflowed = false;
};

} // namespace zorp
