// SPDX-License-Identifier: GPL-3.0-or-later
#include "PollExtras.h"

#include <QCoreApplication>
#include <QTimer>
#include <cstdio>
#include <memory>

#include "AddressNotation.h"
#include "AddressScan.h"
#include "ErrorText.h"
#include "PollOptions.h"
#include "PollOutput.h"
#include "Poller.h"
#include "VexaModbus.h"
#include "ReadQueue.h"
#include "RegisterMap.h"
#include "StrictInt.h"

using namespace zorp;

namespace {

// Reads zorp-poll asks for at most: Modbus's 125 registers, and the 255
// bits the engine's count holds.
constexpr int kMostRegisters = 125;
constexpr int kMostBits = 255;

std::string Std(const QString& s) { return s.toStdString(); }

TVexaModbus* NewEngine(const Options& o)
{
    auto* m = new TVexaModbus(nullptr);
    ConfigureEngine(*m, o);
    return m;
}

// An address on the command line: a Modicon number when --base is not
// given and the number names the function's table (any table when no
// function is given yet), else a number counted as --base says.
TAddressText CliAddress(const QString& text, const Options& o, bool functionGiven)
{
    int table = -1;
    int64_t number = 0;
    const bool modicon = o.extras.base < 0 && ParseModicon(text, false, table, number) &&
                         (!functionGiven || ModiconTable(int(o.function)) == table);
    TAddressNotation n;
    if (modicon) n.Base = TAddressBase::Modicon;
    else if (o.extras.base == 0) n.Base = TAddressBase::Wire;
    return ParseAddress(text, functionGiven ? int(o.function) : 0, n);
}

void Flush(std::string& out)
{
    std::fwrite(out.data(), 1, out.size(), stdout);
    out.clear();
}

// What both runs share: the engine's reads, the end of the run.
class TRun {
public:
    explicit TRun(const Options& o) : FOpt(o), FQueue(NewEngine(o), uint32_t(o.timeout), uint16_t(o.retries)) {}
    void Interrupt() { Finish(); }
    int ExitCode() const { return FExit; }

protected:
    // The link did not come up: says so and ends the run.
    void LinkDown()
    {
        std::fprintf(stderr, "zorp-poll: link to %s not up within %ld ms\n", LinkText(FOpt).c_str(), FOpt.timeout);
        Finish();
    }
    void Finish()
    {
        if (FDone) return;
        FDone = true;
        std::fflush(stdout);
        QTimer::singleShot(0, QCoreApplication::instance(), [code = FExit] { QCoreApplication::exit(code); });
    }

    Options FOpt;
    TReadQueue FQueue;
    bool FDone = false;
    int FExit = 1;
};

// Every block of the map read once; the points printed by name.
class TMapRun : public TRun {
public:
    TMapRun(const Options& o, TRegisterMap map) : TRun(o), FMap(std::move(map))
    {
        FBlocks = PlanReads(FMap, kMostRegisters, kMostBits, int(o.extras.mapGap));
        FValues.resize(FMap.Points.size());
    }
    void Start()
    {
        if (FOpt.verbose)
            std::fprintf(stderr, "zorp-poll: map of %zu points in %zu requests\n", FMap.Points.size(), FBlocks.size());
        FQueue.Start([this](bool up) {
            if (!up) return LinkDown();
            Next();
        });
    }
private:
    void Next()
    {
        if (FBlock >= FBlocks.size()) return Print();
        const TMapBlock& b = FBlocks[FBlock];
        FQueue.Read(b.Function, b.Start, b.Count, [this](const TReadOutcome& r) { Outcome(r); });
    }
    void Outcome(const TReadOutcome& r)
    {
        const TMapBlock& b = FBlocks[FBlock++];
        ++FRequests;
        for (const size_t i : b.Points) {
            const TMapPoint& p = FMap.Points[i];
            if (r.Code != 0) {
                FValues[i] = "ERROR: " + (r.Code == kShortAnswer ? std::string("short answer") : ExplainError(r.Code, uint16_t(FOpt.retries), uint32_t(FOpt.timeout)));
                continue;
            }
            const uint16_t* words = r.Items.data() + (p.Address - b.Start);
            QString text;
            if (p.Function <= 2) text = QString::number(words[0]);
            else if (p.Type) text = EngineeringText(*p.Type, words, p.Scaling);
            if (text.isEmpty() && p.Type) text = ValueDecoding::DecodeWords(*p.Type, words);
            if (text.isEmpty()) text = QString::number(words[0]);
            FValues[i] = Std(text);
        }
        if (r.Code != 0) {
            ++FFailed;
            std::fprintf(stderr, "zorp-poll: function %d at %lld, %d items: %s\n", b.Function, (long long)b.Start,
                         b.Count, FValues[b.Points.front()].c_str() + 7);
            if (TReadQueue::LinkLost(r.Code)) return Print();
        }
        Next();
    }
    std::string NameOf(const TMapPoint& p) const
    {
        return p.Name.isEmpty() ? Std(FormatAddress(p.Address, p.Function, {TAddressBase::Modicon, false})) : Std(p.Name);
    }
    void Print()
    {
        std::string out;
        if (FOpt.format == TOutputFormat::Csv) out = "name,address,value\n";
        if (FOpt.format == TOutputFormat::Json) out = "{";
        for (size_t i = 0; i < FMap.Points.size(); ++i) {
            const TMapPoint& p = FMap.Points[i];
            const std::string& v = FValues[i].empty() ? std::string("ERROR: not read") : FValues[i];
            const std::string address = Std(FormatAddress(p.Address, p.Function, {TAddressBase::Modicon, false}));
            switch (FOpt.format) {
            case TOutputFormat::Text: out += NameOf(p) + '\t' + v + '\n'; break;
            case TOutputFormat::Csv: out += CsvField(NameOf(p)) + ',' + address + ',' + CsvField(v) + '\n'; break;
            case TOutputFormat::Json:
                out += (i ? ", " : "") + JsonString(NameOf(p)) + ": " + JsonString(v);
                break;
            }
        }
        if (FOpt.format == TOutputFormat::Json) out += "}\n";
        if (!FOpt.quiet) Flush(out);
        if (FOpt.verbose) std::fprintf(stderr, "requests %d failed %d\n", FRequests, FFailed);
        FExit = FFailed == 0 && FRequests == int(FBlocks.size()) ? 0 : 1;
        Finish();
    }

    TRegisterMap FMap;
    std::vector<TMapBlock> FBlocks;
    std::vector<std::string> FValues;
    size_t FBlock = 0;
    int FRequests = 0, FFailed = 0;
};

// The address scan: every address of the range with its value, its
// exception or no answer.
class TScanRun : public TRun {
public:
    explicit TScanRun(const Options& o)
        : TRun(o), FScan(int(o.function), o.extras.scanFirst, o.extras.scanLast, int(o.count))
    {
    }
    void Start()
    {
        FQueue.Start([this](bool up) {
            if (!up) return LinkDown();
            if (FOpt.format == TOutputFormat::Csv) FOut = "address,value,exception,meaning\n";
            if (FOpt.format == TOutputFormat::Json) FOut = "[";
            Next();
        });
    }
private:
    void Next()
    {
        Emit();
        int64_t start = 0;
        int count = 0;
        if (!FScan.Next(start, count)) return Done();
        ++FRequests;
        FQueue.Read(FScan.Function(), start, count, [this](const TReadOutcome& r) {
            if (r.Code == 0) FScan.Answered(r.Items);
            else FScan.Failed(r.Code);
            if (r.Code != 0 && TReadQueue::LinkLost(r.Code)) {
                std::fprintf(stderr, "%s\n", FormatError(r.Code, uint16_t(FOpt.retries), uint32_t(FOpt.timeout)).c_str());
                return Done();
            }
            Next();
        });
    }
    // The entries finished since the last call.
    void Emit()
    {
        const auto& entries = FScan.Entries();
        for (; FShown < entries.size(); ++FShown) {
            const TScanEntry& e = entries[FShown];
            const std::string address = std::to_string(e.Address);
            const std::string outcome = TAddressScan::Outcome(e);
            const int ex = TAddressScan::ExceptionOf(e.Code);
            switch (FOpt.format) {
            case TOutputFormat::Text: FOut += address + '\t' + outcome + '\n'; break;
            case TOutputFormat::Csv:
                FOut += address + ',' + (e.Answered ? outcome : std::string()) + ',' +
                        (ex ? std::to_string(ex) : std::string()) + ',' + (e.Answered ? std::string() : CsvField(outcome)) + '\n';
                break;
            case TOutputFormat::Json:
                FOut += std::string(FShown ? ", " : "") + "{\"address\": " + address +
                        (e.Answered ? ", \"value\": " + outcome : ", \"error\": " + JsonString(outcome)) + '}';
                break;
            }
        }
        if (!FOpt.quiet) Flush(FOut);
        FOut.clear();
    }
    void Done()
    {
        Emit();
        if (FOpt.format == TOutputFormat::Json && !FOpt.quiet) std::fputs("]\n", stdout);
        std::string ranges;
        for (const auto& [a, b] : FScan.Ranges())
            ranges += (ranges.empty() ? "" : ",") + std::to_string(a) + (a == b ? "" : "-" + std::to_string(b));
        if (FOpt.verbose)
            std::fprintf(stderr, "requests %d implemented %s\n", FRequests, ranges.empty() ? "none" : ranges.c_str());
        FExit = FScan.Done() ? 0 : 1;
        Finish();
    }

    TAddressScan FScan;
    std::string FOut;
    size_t FShown = 0;
    int FRequests = 0;
};

template <class Run>
int Exec(Run& run, QSocketNotifier& interrupt)
{
    QObject::connect(&interrupt, &QSocketNotifier::activated, [&run] { run.Interrupt(); });
    QTimer::singleShot(0, [&run] { run.Start(); });
    const int rc = QCoreApplication::exec();
    return rc == 0 ? run.ExitCode() : rc;
}

} // namespace

bool ParseExtraOption(const std::string& Arg, const std::function<std::string()>& Next, Options& O,
                      std::string& Error)
{
    TPollExtras& x = O.extras;
    int64_t v = 0;
    if (Arg == "--base") {
        const std::string t = Next();
        if (t != "0" && t != "1") Error = "--base is 0 or 1, not \"" + t + "\"";
        x.base = t == "0" ? 0 : 1;
    } else if (Arg == "--map") {
        x.mapFile = Next();
    } else if (Arg == "--map-gap") {
        const std::string t = Next();
        if (!ParseInt(std::string_view(t), 0, 124, v, IntDigitsOnly)) Error = "--map-gap is 0 to 124, not \"" + t + "\"";
        x.mapGap = long(v);
    } else if (Arg == "--scan-addresses") {
        x.scanText = Next();
        x.scanAddresses = true;
    } else {
        return false;
    }
    return true;
}

std::string ResolveExtras(Options& O, bool FunctionGiven, bool CountGiven)
{
    TPollExtras& x = O.extras;
    if (!x.addressText.empty()) {
        const TAddressText a = CliAddress(QString::fromStdString(x.addressText), O, FunctionGiven);
        if (!a.Ok) return "--address: " + Std(a.Error);
        O.address = long(a.Address);
        if (a.Table >= 0 && !FunctionGiven) O.function = ReadFunctionOfTable(a.Table);
        FunctionGiven = FunctionGiven || O.function != 0;
    }
    if (!x.mapFile.empty() && x.scanAddresses) return "--map and --scan-addresses go one at a time";
    if (x.Runs() && (O.write || O.scan || O.type || O.profile))
        return "--map and --scan-addresses read on their own: no --write, --scan, --type or --profile";
    if (x.scanAddresses) {
        const QString t = QString::fromStdString(x.scanText);
        const qsizetype dash = t.indexOf(u'-');
        const TAddressText first = CliAddress(t.left(dash), O, FunctionGiven);
        if (first.Table >= 0 && !FunctionGiven) {
            O.function = ReadFunctionOfTable(first.Table);
            FunctionGiven = true;
        }
        if (!FunctionGiven) O.function = 3;
        if (O.function > 4) return "--scan-addresses reads: function " + std::to_string(O.function) + " writes";
        const TAddressText last = CliAddress(t.mid(dash + 1), O, true);
        if (dash <= 0 || !first.Ok || !last.Ok || last.Address < first.Address)
            return "expected --scan-addresses FIRST-LAST (addresses in order), got \"" + x.scanText + "\"" +
                   (dash > 0 && !first.Ok ? ": " + Std(first.Error) : dash > 0 && !last.Ok ? ": " + Std(last.Error) : "");
        x.scanFirst = first.Address;
        x.scanLast = last.Address;
        const long most = O.function >= 3 ? kMostRegisters : kMostBits;
        if (!CountGiven) O.count = most;
        if (O.count < 1 || O.count > most)
            return "--count for --scan-addresses is the largest block: 1 to " + std::to_string(most);
    }
    return {};
}

bool RunExtras(const Options& O, QSocketNotifier& Interrupt, int& ExitCode)
{
    const TPollExtras& x = O.extras;
    if (x.scanAddresses) {
        TScanRun run(O);
        ExitCode = Exec(run, Interrupt);
        return true;
    }
    if (x.mapFile.empty()) return false;
    TRegisterMap map;
    QString error;
    if (!LoadRegisterMap(QString::fromLocal8Bit(x.mapFile.c_str()), map, error)) {
        std::fprintf(stderr, "zorp-poll: %s\n", error.toLocal8Bit().constData());
        ExitCode = 2;
        return true;
    }
    TMapRun run(O, std::move(map));
    ExitCode = Exec(run, Interrupt);
    return true;
}
