// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Carrying out a checked request (CheckRequest) on a slave's images and
// building its answer: the one dispatch from function code to the reads
// and writes of the tables that the listening engine and the simulator's
// units share. The images are spans of kImageSize entries each.
#include "SlaveFrames.h"

namespace zorp::slave {

struct Images {
    std::span<bool> coils;
    std::span<const bool> discrete;
    std::span<const uint16_t> inputs;
    std::span<uint16_t> holding;
    // The basic device identification objects served by 43/14.
    std::span<const uint8_t> deviceId[kDeviceIdObjects];
};

struct Served {
    size_t length = 0;     // answer bytes in `out` (0: none)
    bool wrote = false;    // the images were written: coils by 5 and 15, holding registers otherwise
    uint16_t address = 0;  // what was written: first entry and count
    uint16_t count = 0;
    bool refused = false;  // answered with an exception
    uint8_t exception = 0;
};

// Carries out `r` when it is Accepted (an image is written first) and builds
// its answer, or the exception answer when it is Refused, for `unit` and
// transaction `tid` into `out` (kAnswerBufferSize bytes). Any other verdict,
// or a function that is not served, does nothing and builds nothing.
Served Serve(const Images& images, const Request& r, Framing framing, uint8_t unit, uint16_t tid,
             std::span<uint8_t> out);

} // namespace zorp::slave
