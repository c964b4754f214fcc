// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// An extension of the listening side, off by default: a hook that sees each
// complete request before the engine answers it, and may answer it itself
// with a frame of its own (sent at once or after a delay), drop it, or
// leave it to the engine. A simulator uses it to serve several units from
// images of its own and to answer wrongly on purpose (a bad CRC, a wrong
// unit or transaction identifier, a cut frame, a late answer, none at all).
#include "SlaveFrames.h"

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace zorp::slave {

struct HookRequest {
    Framing framing = Framing::Rtu;
    // The request from its device address on: RTU with its CRC, Modbus TCP
    // without the header (exactly the bytes the header's length announced).
    std::span<const uint8_t> request;
    uint16_t transactionId = 0; // Modbus TCP: the request's identifier
    bool serialLine = false;    // RTU on a serial line (not a TCP stream)
    int client = -1;            // the TCP master it came from (several at once), else -1
};

struct HookAnswer {
    enum class Action {
        Engine, // the engine handles the request as it would without the hook
        Send,   // send `frame` (a whole frame, header or CRC included) after `delayMs`
        Drop,   // no answer
    };
    Action action = Action::Engine;
    std::vector<uint8_t> frame;
    uint32_t delayMs = 0;
};

using RequestHook = std::function<HookAnswer(const HookRequest&)>;
// Whether the hook answers requests for a unit: on a serial line the answer
// to such a request waits for the line's quiet, as the engine's own does.
using UnitFilter = std::function<bool(uint8_t unit)>;

} // namespace zorp::slave
