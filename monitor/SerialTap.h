// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A serial port opened only to listen: read-only, raw, non-blocking, the
// line settings applied and low latency asked for. Nothing is ever
// written, so a monitor on the bus cannot disturb it.
#include <string>

#include "framing/Framer.h"

namespace zorp::monitor {

struct TapSettings {
    std::string path;
    int baud = 9600;
    char parity = 'N'; // N, E, O
    int stopBits = 1;
    int dataBits = 8;
};

// RTU timing of the settings: a character's time and t3.5 (1.75 ms above 19200 baud).
framing::LineTiming TimingOf(const TapSettings& s);

// The open descriptor, or -1 with `error` saying why.
int OpenSerialTap(const TapSettings& s, std::string& error);

} // namespace zorp::monitor
