// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// One simulated unit's image: coils, discrete inputs, input and holding
// registers (65,536 entries each, indexed by wire address), what a master
// wrote into it, and the ranges a file described (type, description).
// ServeRequest carries out a checked request on an image and builds the
// answer with the listening side's frame builders.
#include <QString>
#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "SlaveServe.h"
#include "ValueDecoding.h"

namespace zorp::sim {

enum class Table { Coils, Discrete, Inputs, Holding };

// "coils", "discrete", "inputs", "holding"; false for anything else.
bool TableFromName(QStringView name, Table& out);
QString TableName(Table t);
inline bool IsBitTable(Table t) { return t == Table::Coils || t == Table::Discrete; }

// A run of entries a file named: its type and description.
struct RangeInfo {
    Table table = Table::Holding;
    uint16_t address = 0;
    uint32_t count = 0;
    const TDataTypeInfo* type = nullptr; // nullptr: raw words or bits
    QString description;
};

struct UnitImage {
    std::array<bool, slave::kImageSize> coils{};
    std::array<bool, slave::kImageSize> discrete{};
    std::array<uint16_t, slave::kImageSize> inputs{};
    std::array<uint16_t, slave::kImageSize> holding{};
    // Entries a master wrote (coils, holding registers), for highlighting.
    std::array<bool, slave::kImageSize> coilWritten{};
    std::array<bool, slave::kImageSize> holdingWritten{};
    uint64_t writes = 0; // grows with every write a master made
    std::vector<RangeInfo> ranges;

    uint16_t Word(Table t, uint16_t a) const;
    void SetWord(Table t, uint16_t a, uint16_t v);
};

// The device identification objects served by 43/14.
struct DeviceIdentity {
    QByteArray vendor = "ZORP";
    QByteArray product = "zorp-slave";
    QByteArray revision = "1.0";
};

// Carries out an Accepted or Refused request `r` (from CheckRequest) on the
// image (slave::Serve), marks what it wrote, and builds the answer for
// `unit` and transaction `tid` into `out` (kAnswerBufferSize bytes).
// `answer` false (a broadcast): carried out only.
slave::Served ServeRequest(UnitImage& image, const slave::Request& r, slave::Framing framing, uint8_t unit,
                           uint16_t tid, const DeviceIdentity& id, bool answer, std::span<uint8_t> out);

} // namespace zorp::sim
