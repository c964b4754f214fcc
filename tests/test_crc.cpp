// SPDX-License-Identifier: GPL-3.0-or-later
// CRC-16/MODBUS: check values, table entries and frame CRCs.
#include <gtest/gtest.h>

#include "ModbusCRC.h"

using zorp::ModbusCRC16;
using zorp::ModbusCRCTable;

TEST(ModbusCRC, CheckValueOfNineDigits)
{
    const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(ModbusCRC16(digits, sizeof digits), 0x4B37);
}

TEST(ModbusCRC, TableEntriesAndReadRequest)
{
    EXPECT_EQ(ModbusCRCTable[0], 0x0000);
    EXPECT_EQ(ModbusCRCTable[1], 0xC0C1);
    EXPECT_EQ(ModbusCRCTable[2], 0xC181);
    EXPECT_EQ(ModbusCRCTable[128], 0xA001);
    EXPECT_EQ(ModbusCRCTable[255], 0x4040);

    // 01 03 00 00 00 0A is followed by C5 CD (low byte first).
    const uint8_t req[] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD};
    EXPECT_EQ(ModbusCRC16(req, 6), 0xCDC5);
    EXPECT_TRUE(zorp::CrcMatches(req, 6));
    uint8_t bad[sizeof req];
    std::copy(std::begin(req), std::end(req), bad);
    bad[7] ^= 1;
    EXPECT_FALSE(zorp::CrcMatches(bad, 6));
    EXPECT_EQ(ModbusCRC16(req, 0), 0xFFFF);
}
