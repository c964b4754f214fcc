// SPDX-License-Identifier: GPL-3.0-or-later
#include "ListeningClients.h"

namespace zorp {

ListeningClients::Client& ListeningClients::Get(int id, framing::Kind kind)
{
    auto& c = FClients[id];
    if (!c) {
        c = std::make_unique<Client>();
        c->framer = framing::MakeFramer(kind, framing::Side::Listener);
    }
    return *c;
}

ListeningClients::Client* ListeningClients::Find(int id)
{
    const auto it = FClients.find(id);
    return it == FClients.end() ? nullptr : it->second.get();
}

void ListeningClients::Close(int id)
{
    if (id == FServing) FServingClosed = true;
    else FClients.erase(id);
}

void ListeningClients::Hold(int id, const uint8_t* data, size_t size)
{
    Client* c = Find(id);
    if (!c || !data || size == 0) return;
    c->waiting.insert(c->waiting.end(), data, data + size);
    FOrder.push_back(id);
}

bool ListeningClients::TakeHeld(int& id, std::vector<uint8_t>& bytes)
{
    while (!FOrder.empty()) {
        id = FOrder.front();
        FOrder.erase(FOrder.begin());
        Client* c = Find(id);
        if (!c || c->waiting.empty()) continue;
        bytes.clear();
        bytes.swap(c->waiting);
        return true;
    }
    return false;
}

void ListeningClients::BeginServing(int id)
{
    FServing = id;
    FServingClosed = false;
}

void ListeningClients::EndServing()
{
    if (FServingClosed) FClients.erase(FServing);
    FServing = -1;
    FServingClosed = false;
}

framing::Framer* ListeningClients::ServedFramer()
{
    Client* c = FServing >= 0 ? Find(FServing) : nullptr;
    return c ? c->framer.get() : nullptr;
}

} // namespace zorp
