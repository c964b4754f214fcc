// SPDX-License-Identifier: GPL-3.0-or-later
#include "SimServer.h"

#include <QStringList>
#include <chrono>
#include <set>

namespace zorp::sim {

using namespace zorp::slave;

SimServer::SimServer()
{
    const auto start = std::chrono::steady_clock::now();
    Clock = [start] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    SetUnits({1}, false);
}

void SimServer::SetUnits(const std::vector<uint8_t>& units, bool shared)
{
    FShared = shared;
    std::map<uint8_t, std::shared_ptr<UnitImage>> next;
    std::shared_ptr<UnitImage> one;
    for (uint8_t u : units) {
        auto it = FUnits.find(u);
        if (shared) {
            if (!one)
                one = it != FUnits.end() ? it->second : std::make_shared<UnitImage>();
            next[u] = one;
        } else {
            next[u] = it != FUnits.end() && it->second.use_count() == 1 ? it->second : std::make_shared<UnitImage>();
        }
    }
    FUnits = std::move(next);
}

std::vector<uint8_t> SimServer::Units() const
{
    std::vector<uint8_t> out;
    for (const auto& [u, img] : FUnits)
        out.push_back(u);
    return out;
}

UnitImage* SimServer::Unit(uint8_t unit)
{
    auto it = FUnits.find(unit);
    return it == FUnits.end() ? nullptr : it->second.get();
}

const UnitImage* SimServer::Unit(uint8_t unit) const
{
    auto it = FUnits.find(unit);
    return it == FUnits.end() ? nullptr : it->second.get();
}

void SimServer::UpdateGenerators()
{
    if (Generators.empty())
        return;
    const double t = Clock();
    for (const Generator& g : Generators) {
        if (g.unit >= 0) {
            if (UnitImage* img = Unit(uint8_t(g.unit)))
                ApplyGenerator(g, t, *img);
            continue;
        }
        const UnitImage* last = nullptr;
        for (auto& [u, img] : FUnits)
            if (img.get() != last) {
                ApplyGenerator(g, t, *img);
                last = img.get();
            }
    }
}

namespace {

// The entries a request touches, for matching faults by address.
bool RequestRange(const Request& r, uint32_t& first, uint32_t& last)
{
    switch (r.fc) {
    case 1: case 2: case 3: case 4: case 15: case 16:
        first = r.a;
        last = uint32_t(r.a) + (r.w ? r.w : 1) - 1;
        return true;
    case 5: case 6: case 22: case 102:
        first = last = r.a;
        return true;
    case 23:
        first = std::min(r.a, r.a2);
        last = std::max(uint32_t(r.a) + r.w, uint32_t(r.a2) + r.w2) - 1;
        return true;
    default:
        return false;
    }
}

HookAnswer Frame(const uint8_t* data, size_t n, uint32_t delay)
{
    HookAnswer a;
    a.action = HookAnswer::Action::Send;
    a.frame.assign(data, data + n);
    a.delayMs = delay;
    return a;
}

HookAnswer Drop()
{
    HookAnswer a;
    a.action = HookAnswer::Action::Drop;
    return a;
}

} // namespace

HookAnswer SimServer::Handle(const HookRequest& in)
{
    if (in.request.size() < 2)
        return Drop();
    uint8_t unit = in.request[0];
    const bool tcp = in.framing == Framing::Tcp;
    uint8_t out[kAnswerBufferSize];
    UnitImage* img = Unit(unit);
    if (!img && tcp && (unit == 0 || unit == 255) && !FUnits.empty())
        img = FUnits.begin()->second.get();
    const bool broadcast = !tcp && unit == 0 && !img;
    if (!img && !broadcast) {
        if (!tcp || UnknownUnitSilent)
            return Drop();
        const uint8_t fc = in.request[1] & 0x7F;
        if (OnRefused)
            OnRefused(unit, fc, 0x0B);
        return Frame(out, BuildExceptionAnswer(Framing::Tcp, unit, in.transactionId, fc, 0x0B, out), 0);
    }
    UpdateGenerators();
    const Request r = CheckRequest(in.request, in.framing, unit, Profile::Standard);
    if (r.verdict != Verdict::Accepted && r.verdict != Verdict::Refused)
        return Drop();
    uint32_t first = 0, last = 0;
    const bool ranged = RequestRange(r, first, last);
    const FaultHits hits = MatchFaults(Faults, unit, r.fc, ranged, first, last, FRng);
    if (hits.Any() && OnFault)
        OnFault(unit, r.fc, hits.names.join(QLatin1Char('+')));
    if (hits.noAnswer)
        return Drop();
    if (hits.exception >= 0 && !broadcast) {
        if (OnRefused)
            OnRefused(unit, r.fc, uint8_t(hits.exception));
        const size_t n = BuildExceptionAnswer(in.framing, unit, in.transactionId, r.fc, uint8_t(hits.exception), out);
        std::vector<uint8_t> frame(out, out + n);
        DistortAnswer(frame, in.framing, hits);
        HookAnswer a;
        a.action = HookAnswer::Action::Send;
        a.frame = std::move(frame);
        a.delayMs = hits.delayMs;
        return a;
    }
    Served s;
    if (broadcast) {
        std::set<UnitImage*> done;
        for (auto& [u, each] : FUnits)
            if (done.insert(each.get()).second)
                s = ServeRequest(*each, r, in.framing, u, in.transactionId, Identity, false, out);
    } else {
        s = ServeRequest(*img, r, in.framing, unit, in.transactionId, Identity, true, out);
    }
    if (s.wrote && OnWrite) {
        const Table t = (r.fc == 5 || r.fc == 15) ? Table::Coils : Table::Holding;
        OnWrite(unit, r.fc, t, s.address, s.count);
    }
    if (s.refused && OnRefused)
        OnRefused(unit, r.fc, s.exception);
    if (s.length == 0)
        return Drop();
    HookAnswer a = Frame(out, s.length, hits.delayMs);
    DistortAnswer(a.frame, in.framing, hits);
    return a;
}

bool SimServer::ParseUnits(const QString& text, std::vector<uint8_t>& out, QString& error)
{
    out.clear();
    std::set<int> seen;
    for (const QString& part : text.split(QLatin1Char(','))) {
        const QString p = part.trimmed();
        const int dash = p.indexOf(QLatin1Char('-'));
        bool ok1 = false, ok2 = false;
        const int a = (dash < 0 ? p : p.left(dash)).trimmed().toInt(&ok1);
        const int b = dash < 0 ? a : p.mid(dash + 1).trimmed().toInt(&ok2);
        if (!ok1 || (dash >= 0 && !ok2) || a < 0 || b > 255 || b < a) {
            error = QStringLiteral("units are numbers 0..255 and ranges such as 1,2,5-8; not '%1'").arg(p);
            return false;
        }
        for (int u = a; u <= b; ++u)
            if (seen.insert(u).second)
                out.push_back(uint8_t(u));
    }
    return !out.empty();
}

} // namespace zorp::sim
