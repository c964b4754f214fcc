// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TByteStore: a block of bytes whose storage is kept when it is emptied and
// written over without being cleared first, for a slot of a ring that is
// reused at every append (the communication log's lines).
#include <cstddef>
#include <cstdint>
#include <memory>

class TByteStore {
public:
    size_t size() const { return Size; }
    size_t capacity() const { return Cap; }
    uint8_t operator[](size_t i) const { return P[i]; }
    const uint8_t* data() const { return P.get(); }
    // Empties the block; the storage stays.
    void clear() { Size = 0; }
    // Empties the block and gives the storage back.
    void release()
    {
        P.reset();
        Size = Cap = 0;
    }
    // Room for n bytes, returned to be written; what was held is gone.
    uint8_t* Overwrite(size_t n)
    {
        if (n > Cap) {
            P.reset(new uint8_t[n]);
            Cap = n;
        }
        Size = n;
        return P.get();
    }

private:
    std::unique_ptr<uint8_t[]> P;
    size_t Size = 0, Cap = 0;
};
