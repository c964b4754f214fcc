// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Listening over TCP with several masters at once: what the engine keeps
// per connection (its framer, the tick of its last arrival) and the bytes
// that came while a request's handler ran the event loop, which are served
// afterwards in the order they came. Private to the engine.
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "framing/Framer.h"

namespace zorp {

class ListeningClients {
public:
    struct Client {
        std::unique_ptr<framing::Framer> framer; // one per connection: each master's bytes are a stream of their own
        uint32_t lastArrival = 0;                 // tick of the last arrival (the silence rule)
        std::vector<uint8_t> waiting;             // came while another request's handler ran
    };

    // The client's state, made with a framer of `kind` on first use.
    Client& Get(int id, framing::Kind kind);
    Client* Find(int id);
    // The connection is gone: its state goes, once it is no longer served.
    void Close(int id);

    // Bytes that must wait until the request being handled is done.
    void Hold(int id, const uint8_t* data, size_t size);
    bool AnyHeld() const { return !FOrder.empty(); }
    // The oldest client with bytes held, and all of them (the arrivals of
    // one client are one byte stream); false when none is left.
    bool TakeHeld(int& id, std::vector<uint8_t>& bytes);

    // The client being served (-1: none), and whether it closed meanwhile.
    int Serving() const { return FServing; }
    void BeginServing(int id);
    // Ends the service; a client closed meanwhile leaves its state now.
    void EndServing();
    framing::Framer* ServedFramer();

private:
    std::map<int, std::unique_ptr<Client>> FClients;
    std::vector<int> FOrder; // clients with bytes held, in order of arrival
    int FServing = -1;
    bool FServingClosed = false;
};

} // namespace zorp
