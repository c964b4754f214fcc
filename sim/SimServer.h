// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The simulated slave: several units, each with its own image (or all with
// one shared image), generators writing into them, and faults distorting
// their answers. Handle is the engine's request hook (SlaveHook.h): the
// engine delimits requests and sends what Handle returns.
//
// Units: on a serial line (and RTU over TCP) a request for a unit that is
// not simulated gets no answer, as on a shared bus; a write for unit 0 is a
// broadcast, carried out by every unit and never answered. Over Modbus TCP
// units 0 and 255 stand for the lowest unit when they are not simulated
// themselves, and any other unknown unit gets exception 0B (gateway target
// failed to respond), or no answer when UnknownUnitSilent is set.
#include <QString>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include "SimFaults.h"
#include "SimGenerators.h"
#include "SimImage.h"
#include "SlaveHook.h"

namespace zorp::sim {

class SimServer {
public:
    SimServer();

    // Units and their images. Shared: every unit serves the one image.
    void SetUnits(const std::vector<uint8_t>& units, bool shared);
    std::vector<uint8_t> Units() const;
    bool Shared() const { return FShared; }
    UnitImage* Unit(uint8_t unit);
    const UnitImage* Unit(uint8_t unit) const;

    std::vector<Generator> Generators;
    std::vector<Fault> Faults;
    bool UnknownUnitSilent = false;
    DeviceIdentity Identity;
    // Seeds the choice of faults given by a rate and of random delays.
    void Seed(uint64_t seed) { FRng.seed(seed); }

    // Seconds since the generators started: a steady clock unless replaced.
    std::function<double()> Clock;
    // Writes every generator's value at Clock() into the images.
    void UpdateGenerators();

    zorp::slave::HookAnswer Handle(const zorp::slave::HookRequest& in);
    // A simulated unit: the engine's unit filter beside Handle.
    bool Serves(uint8_t unit) const { return Unit(unit) != nullptr; }

    // What happened, for a log: a master's write carried out (the table is
    // coils or holding), a request refused with an exception, a fault applied.
    std::function<void(uint8_t unit, uint8_t fc, Table table, uint16_t address, uint16_t count)> OnWrite;
    std::function<void(uint8_t unit, uint8_t fc, uint8_t code)> OnRefused;
    std::function<void(uint8_t unit, uint8_t fc, const QString& faults)> OnFault;

    // Parses "1,2,5-8" into unit numbers (0..255, each once, in order).
    static bool ParseUnits(const QString& text, std::vector<uint8_t>& out, QString& error);

private:
    std::map<uint8_t, std::shared_ptr<UnitImage>> FUnits;
    bool FShared = false;
    std::mt19937_64 FRng{1};
};

} // namespace zorp::sim
