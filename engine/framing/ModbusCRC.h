// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// CRC-16/MODBUS over a constant table, shared by the master and the
// listening side of the engine.
#include <cstddef>
#include <cstdint>

namespace zorp {

// Entry i is what eight shift-right steps of i give, XORing 0xA001 after
// each step whose shifted-out bit was 1 (entry 1 = 0xC0C1, 255 = 0x4040).
extern const uint16_t ModbusCRCTable[256];

// CRC of the first count bytes of block: start 0xFFFF, no final XOR.
// On the wire it follows the covered bytes, low byte first.
uint16_t ModbusCRC16(const uint8_t* block, size_t count);

// True when the count bytes at block are followed by their CRC (low byte
// first). The caller guarantees count + 2 bytes are readable.
bool CrcMatches(const uint8_t* block, size_t count);

} // namespace zorp
