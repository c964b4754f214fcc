// SPDX-License-Identifier: GPL-3.0-or-later
#include "Dump.h"

#include <QCoreApplication>
#include <QString>
#include <QTimer>
#include <algorithm>
#include <cstdio>

#include "Poller.h"
#include "ReadQueue.h"
#include "SimImageFile.h"
#include "VexaModbus.h"

namespace {

[[noreturn]] void DumpUsage(const std::string& error)
{
    std::fprintf(stderr, "zorp-poll: %s\n(zorp-poll --help explains every option)\n", error.c_str());
    std::exit(2);
}

long RangeNumber(const std::string& text, long min, long max, const char* what, const std::string& range)
{
    char* end = nullptr;
    const long v = text.empty() ? -1 : std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || v < min || v > max || text[0] == '-' || text[0] == '+')
        DumpUsage("--range " + range + ": " + what + " must be " + std::to_string(min) + " to " + std::to_string(max));
    return v;
}

// Per request: as many registers as an answer holds, as many bits as the
// engine asks for at a time.
long Chunk(int function) { return function <= 2 ? 248 : 125; }

zorp::sim::Table TableOf(int function)
{
    switch (function) {
    case 1: return zorp::sim::Table::Coils;
    case 2: return zorp::sim::Table::Discrete;
    case 4: return zorp::sim::Table::Inputs;
    default: return zorp::sim::Table::Holding;
    }
}

void ExitSoon(int code)
{
    QTimer::singleShot(0, QCoreApplication::instance(), [code] { QCoreApplication::exit(code); });
}

} // namespace

std::vector<DumpRange> DumpRanges(const Options& o, const std::vector<std::string>& texts, bool functionGiven,
                                  bool addressGiven, bool countGiven)
{
    if (o.write || o.scan || o.profile)
        DumpUsage("--dump reads: it goes without --write, --scan and --profile");
    if (o.unit == 0)
        DumpUsage("unit 0 is the broadcast address and cannot be read");
    std::vector<DumpRange> out;
    for (const std::string& t : texts) {
        const size_t c1 = t.find(':'), c2 = c1 == std::string::npos ? c1 : t.find(':', c1 + 1);
        if (c2 == std::string::npos)
            DumpUsage("expected --range FUNCTION:ADDRESS:COUNT, got \"" + t + "\"");
        DumpRange r;
        r.function = int(RangeNumber(t.substr(0, c1), 1, 4, "FUNCTION", t));
        r.address = RangeNumber(t.substr(c1 + 1, c2 - c1 - 1), 1, 65536, "ADDRESS", t);
        r.count = RangeNumber(t.substr(c2 + 1), 1, 65536, "COUNT", t);
        out.push_back(r);
    }
    if (functionGiven || addressGiven || countGiven) {
        if (!functionGiven || !addressGiven || !countGiven)
            DumpUsage("--dump reads --function, --address and --count together (or --range)");
        if (o.function > 4)
            DumpUsage("--dump reads functions 1 to 4");
        out.push_back({int(o.function), o.address, o.count});
    }
    if (out.empty())
        DumpUsage("--dump needs --range FUNCTION:ADDRESS:COUNT or --function, --address and --count");
    for (const DumpRange& r : out)
        if (r.address + r.count - 1 > 65536)
            DumpUsage("a range runs past address 65536");
    return out;
}

Dumper::Dumper(const Options& o, std::vector<DumpRange> ranges, std::string file)
    : FOpt(o), FRanges(std::move(ranges)), FFile(std::move(file)), FImage(std::make_unique<zorp::sim::SimServer>())
{
    FImage->SetUnits({uint8_t(o.unit)}, false);
    auto* engine = new TVexaModbus(nullptr);
    ConfigureEngine(*engine, o);
    FQueue = std::make_unique<TReadQueue>(engine, uint32_t(o.timeout), uint16_t(o.retries));
}

Dumper::~Dumper() = default;

void Dumper::Start()
{
    FQueue->Start([this](bool up) {
        if (!up)
            return Fail("link not up within the time-out");
        Next();
    });
}

void Dumper::Interrupt() { Fail("interrupted"); }

void Dumper::Next()
{
    if (FFinished)
        return;
    while (FRange < FRanges.size() && FDone >= FRanges[FRange].count) {
        ++FRange;
        FDone = 0;
    }
    if (FRange == FRanges.size()) {
        FFinished = true;
        QString error;
        if (!zorp::sim::SaveImageFile(QString::fromStdString(FFile), *FImage, error)) {
            std::fprintf(stderr, "zorp-poll: %s\n", error.toLocal8Bit().constData());
            ExitSoon(1);
            return;
        }
        FExit = 0;
        long entries = 0;
        for (const DumpRange& r : FRanges)
            entries += r.count;
        std::fprintf(stderr, "zorp-poll: dumped %ld entries of unit %ld to %s\n", entries, FOpt.unit, FFile.c_str());
        ExitSoon(0);
        return;
    }
    const DumpRange& r = FRanges[FRange];
    FAsked = std::min(Chunk(r.function), r.count - FDone);
    const uint16_t a = uint16_t(r.address + FDone); // 65536 travels as 0
    FQueue->Read(r.function, a, int(FAsked), [this](const TReadOutcome& out) {
        if (out.Code == 0)
            return Store(out.Items);
        if (out.Code == kShortAnswer)
            return Fail("short answer");
        if (out.Code == 16)
            return Fail("link closed");
        Fail(ReportEngineError(out.Code, FOpt));
    });
}

void Dumper::Store(const std::vector<uint16_t>& words)
{
    if (FFinished)
        return;
    const DumpRange& r = FRanges[FRange];
    zorp::sim::UnitImage* img = FImage->Unit(uint8_t(FOpt.unit));
    const long wire = r.address - 1 + FDone;
    for (size_t k = 0; k < words.size(); ++k)
        img->SetWord(TableOf(r.function), uint16_t(wire + long(k)), words[k]);
    if (FDone == 0) {
        // The range as read, zeros included, so that the copy serves all of it.
        zorp::sim::RangeInfo info;
        info.table = TableOf(r.function);
        info.address = uint16_t(r.address - 1);
        info.count = uint32_t(r.count);
        info.type = FOpt.type;
        img->ranges.push_back(info);
    }
    FDone += FAsked;
    Next(); // outcomes come from the event loop, outside the engine's event
}

void Dumper::Fail(const std::string& why)
{
    if (FFinished)
        return;
    FFinished = true;
    std::fprintf(stderr, "zorp-poll: dump of %s failed: %s; nothing written\n", LinkText(FOpt).c_str(), why.c_str());
    ExitSoon(1);
}
