// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Small helpers for engine tests: hex byte strings and RTU frames.
#include <QString>
#include <QStringList>
#include <cstdint>
#include <string>
#include <vector>

#include "ModbusCRC.h"

namespace zorptest {

// "01 03 00 0A" -> {0x01, 0x03, 0x00, 0x0A}
inline std::vector<uint8_t> Hex(const char* text)
{
    std::vector<uint8_t> out;
    const QStringList parts = QString::fromLatin1(text).split(u' ', Qt::SkipEmptyParts);
    for (const QString& p : parts) out.push_back(static_cast<uint8_t>(p.toUInt(nullptr, 16)));
    return out;
}

inline std::string ToHex(const std::vector<uint8_t>& b)
{
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < b.size(); ++i) {
        if (i) s += ' ';
        s += digits[b[i] >> 4];
        s += digits[b[i] & 15];
    }
    return s;
}

// Appends the CRC (low byte first) to the bytes given.
inline std::vector<uint8_t> WithCrc(std::vector<uint8_t> b)
{
    const uint16_t crc = zorp::ModbusCRC16(b.data(), b.size());
    b.push_back(static_cast<uint8_t>(crc));
    b.push_back(static_cast<uint8_t>(crc >> 8));
    return b;
}

} // namespace zorptest
