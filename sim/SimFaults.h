// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Faults on demand: rules that make the simulator answer some requests
// wrongly. The text form is the command line's:
//
//   KIND[:ARG][,unit=N][,function=F][,address=A-B][,every=N|,rate=P]
//
//   noanswer         no answer (a write is not carried out)
//   exception:CODE   the exception response CODE (1-255, e.g. 6 busy,
//                    0x0B gateway target failed); a write is not carried out
//   delay:MS         the answer MS milliseconds late (delay:MIN-MAX: a random
//                    delay in that range)
//   wrongunit        the answer carries another unit id (the next one)
//   wrongtid         Modbus TCP: the answer carries another transaction id
//   badcrc           RTU: the answer's CRC is wrong
//   cut              only the first half of the answer is sent
//   lyingcount       the byte count of a read answer is 2 more than the
//                    data that follows (RTU: with a CRC that matches)
//
// A rule applies to requests for its unit, function and address range (any,
// when not given; an address range matches a request whose entries overlap
// it); of those it hits every Nth (every=N) or each with probability P
// (rate=P, 0..1), or all of them when neither is given.
#include <QString>
#include <QStringList>
#include <cstdint>
#include <random>
#include <vector>

#include "SlaveFrames.h"

namespace zorp::sim {

enum class FaultKind { NoAnswer, Exception, Delay, WrongUnit, WrongTid, BadCrc, Cut, LyingCount };

struct Fault {
    FaultKind kind = FaultKind::NoAnswer;
    uint8_t code = 0;           // Exception
    uint32_t delayMin = 0;      // Delay, milliseconds
    uint32_t delayMax = 0;
    int unit = -1;              // -1: any
    int function = -1;          // -1: any
    uint16_t first = 0, last = 65535; // address range
    uint32_t every = 1;
    double rate = -1;           // >= 0: probability instead of every
    uint64_t seen = 0;          // matching requests so far
    QString text;               // as given
};

bool ParseFault(const QString& text, Fault& out, QString& error);
QString FaultKindName(FaultKind k);

// The faults that hit one request, and what they do to its answer.
struct FaultHits {
    bool noAnswer = false;
    int exception = -1;
    uint32_t delayMs = 0;
    bool wrongUnit = false, wrongTid = false, badCrc = false, cut = false, lyingCount = false;
    QStringList names; // for the log
    bool Any() const { return !names.isEmpty(); }
};

// Counts the request against every rule it matches and collects the hits.
// `first`..`last` are the entries the request touches (none for functions
// without an address: pass hasAddress false).
FaultHits MatchFaults(std::vector<Fault>& faults, uint8_t unit, uint8_t fc, bool hasAddress, uint32_t first,
                      uint32_t last, std::mt19937_64& rng);

// Rewrites a whole answer frame as the hits say (wrong unit, wrong
// transaction id, bad CRC, lying count, cut); noAnswer, exception and delay
// are the caller's.
void DistortAnswer(std::vector<uint8_t>& frame, slave::Framing framing, const FaultHits& hits);

} // namespace zorp::sim
