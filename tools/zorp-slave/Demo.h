// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// zorp-slave's demonstration image, for a slave started without values: a
// seconds counter (holding register 0), the uptime as a 32-bit number (1-2,
// high word first), a sawtooth 0..99 (3), a 32-bit float that swings around
// 230.0 (4-5, high word first), a text (10-17, two characters per register,
// first character in the high byte), and a running light on coils 0-7;
// input registers 0-9 hold 1000 plus ten times their address, input
// register 0 the seconds counter; discrete inputs 0-7 show the running
// light inverted. It changes once a second.
#include <QTimer>
#include <cstdint>
#include <functional>
#include <vector>

#include "SimImage.h"

class Demo {
public:
    // One entry to set: its table, wire address and value.
    struct Entry {
        zorp::sim::Table table;
        uint16_t address;
        uint16_t value;
    };
    using Sink = std::function<void(const std::vector<Entry>&)>;
    explicit Demo(Sink sink) : FSink(std::move(sink)) {}
    // Serves the demonstration in the tables asked for (none: nothing).
    void Start(bool registers, bool coils, bool inputs, bool discrete);

private:
    void Tick();

    Sink FSink;
    QTimer FTimer;
    uint32_t FSeconds = 0;
    bool FRegisters = false, FCoils = false, FInputs = false, FDiscrete = false;
};
