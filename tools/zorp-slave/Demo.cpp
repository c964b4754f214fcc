// SPDX-License-Identifier: GPL-3.0-or-later
#include "Demo.h"

#include <cmath>
#include <cstring>

using zorp::sim::Table;

void Demo::Start(bool registers, bool coils, bool inputs, bool discrete)
{
    FRegisters = registers;
    FCoils = coils;
    FInputs = inputs;
    FDiscrete = discrete;
    if (!registers && !coils && !inputs && !discrete)
        return;
    Tick();
    QObject::connect(&FTimer, &QTimer::timeout, [this] { Tick(); });
    FTimer.start(1000);
}

void Demo::Tick()
{
    std::vector<Entry> e;
    if (FRegisters) {
        e.push_back({Table::Holding, 0, uint16_t(FSeconds)});
        e.push_back({Table::Holding, 1, uint16_t(FSeconds >> 16)});
        e.push_back({Table::Holding, 2, uint16_t(FSeconds)});
        e.push_back({Table::Holding, 3, uint16_t(FSeconds % 100)});
        const float value = 230.0f + 5.0f * float(std::sin(double(FSeconds) / 10.0));
        uint32_t raw;
        std::memcpy(&raw, &value, sizeof raw);
        e.push_back({Table::Holding, 4, uint16_t(raw >> 16)});
        e.push_back({Table::Holding, 5, uint16_t(raw)});
        const char text[] = "Demo slave      ";
        for (int i = 0; i < 8; ++i)
            e.push_back({Table::Holding, uint16_t(10 + i),
                         uint16_t((uint8_t(text[2 * i]) << 8) | uint8_t(text[2 * i + 1]))});
    }
    for (int i = 0; i < 8; ++i) {
        if (FCoils)
            e.push_back({Table::Coils, uint16_t(i), uint16_t((FSeconds % 8) == uint32_t(i))});
        if (FDiscrete)
            e.push_back({Table::Discrete, uint16_t(i), uint16_t((FSeconds % 8) != uint32_t(i))});
    }
    if (FInputs) {
        for (int i = 0; i < 10; ++i)
            e.push_back({Table::Inputs, uint16_t(i), uint16_t(i == 0 ? FSeconds : 1000 + 10 * i)});
    }
    FSink(e);
    ++FSeconds;
}
