// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// zorp-poll --dump FILE: reads ranges of a device (--range FUNCTION:ADDRESS:COUNT,
// repeatable, or the one of --function, --address and --count) in requests
// that fit a Modbus answer, and writes them as an image file that
// zorp-slave --image serves. Addresses are 1-based as everywhere in
// zorp-poll; the file holds wire addresses (one less). Nothing is written
// unless every range was read.
#include <memory>
#include <string>
#include <vector>

#include "PollOptions.h"

class TReadQueue;
namespace zorp::sim { class SimServer; }

struct DumpRange {
    int function = 3;  // 1 coils, 2 discrete inputs, 3 holding, 4 input registers
    long address = 1;  // 1-based
    long count = 1;
};

// Checks the dump's options after parsing (exits with status 2 and a
// message on a mistake) and returns the ranges to read.
std::vector<DumpRange> DumpRanges(const Options& o, const std::vector<std::string>& rangeTexts, bool functionGiven,
                                  bool addressGiven, bool countGiven);

class Dumper {
public:
    Dumper(const Options& o, std::vector<DumpRange> ranges, std::string file);
    ~Dumper();
    void Start();
    void Interrupt();
    int ExitCode() const { return FExit; }

private:
    void Next();
    void Store(const std::vector<uint16_t>& words);
    void Fail(const std::string& why);

    Options FOpt;
    std::vector<DumpRange> FRanges;
    std::string FFile;
    std::unique_ptr<zorp::sim::SimServer> FImage;
    std::unique_ptr<TReadQueue> FQueue; // the reads, one after the other
    size_t FRange = 0;   // the range being read
    long FDone = 0;      // entries of it read so far
    long FAsked = 0;     // entries the pending request asked for
    bool FFinished = false;
    int FExit = 1;
};
