// SPDX-License-Identifier: GPL-3.0-or-later
// zorp-poll: a command-line Modbus master on the engine.
//
//   zorp-poll (-t|--tcp HOST[:PORT] | -r|--rtu-tcp HOST:PORT | -s|--serial DEVICE
//             [-b|--baud N] [-p|--parity N|E|O|M|S] [--data-bits N] [--stop-bits N])
//             [-u|--unit N] -f|--function F -a|--address N -c|--count N
//             [-T|--type TYPE] [-P|--profile FILE] [-w|--write VALUE[,VALUE...]]
//             [-F|--format text|csv|json] [-l|--repeat N] [-i|--interval MS]
//             [--scan FIRST-LAST [--scan-baud B,...] [--scan-parity P,...]]
//             [-o|--timeout MS] [--retries N] [--remove-echo] [-q|--quiet] [-v|--verbose]
//
// A short option takes its value as the next argument or joined to it
// ("-f 3", "-f3"). --tcp without a port means port 502.
// DEVICE is a device path or COMn (mapped like the tester's COM numbers).
// --address is 1-based, as in the tester. Reads print one line per item
// (see PollOutput.h for every format); without --type, registers print
// "ADDRESS<TAB>HHHH<TAB>DECIMAL" and bits "ADDRESS<TAB>0|1". --repeat N
// polls N times (0: until interrupted), back to back unless --interval
// sets a rhythm; each poll is issued from the previous one's event. With
// --verbose, or when stdout is a terminal, the last line on stderr is
// "polls P responses R errors E elapsed_ms T". Engine errors print
// "error CODE: MEANING" on stderr, in English.
//
// Exit status: 0 when every poll got its response (a scan: when any unit
// answered), 1 when any failed (or the link did not come up within the
// time-out), 2 for bad arguments.
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <unistd.h>
#include <vector>

#include "CommPort.h"
#include "EventLoop.h"
#include "ModbusFrames.h"
#include "Dump.h"
#include "Poller.h"
#include "Profile.h"
#include "PollExtras.h"
#include "SerialPorts.h"
#include "StrictInt.h"
#include "ValueAliases.h"
#include "ValueLists.h"
#include "VexaModbus.h"
#include "WorkspaceRun.h"

namespace {

const char* const kUsage =
    "usage: zorp-poll (-t HOST[:PORT] | -r HOST:PORT | -s DEVICE [-b BAUD] [-p N|E|O|M|S]\n"
    "                 [--data-bits N] [--stop-bits N]) [-u UNIT]\n"
    "                 -f 1|2|3|4|5|6|15|16 -a ADDRESS -c COUNT [-T TYPE] [-P FILE]\n"
    "                 [-w VALUE[,VALUE...]] [-F text|csv|json] [-l REPEAT] [-i MS]\n"
    "                 [-o TIMEOUT_MS] [--retries N] [--remove-echo] [-q] [-v]\n"
    "       zorp-poll LINK --scan FIRST-LAST [--scan-baud B,...] [--scan-parity P,...]\n"
    "                 [-f 1|2|3|4] [-a ADDRESS] [-c COUNT] [-o TIMEOUT_MS]\n"
    "       zorp-poll LINK [-u UNIT] --dump FILE (--range F:ADDRESS:COUNT... | -f F -a ADDRESS -c COUNT)\n"
    "       zorp-poll LINK --map FILE [--map-gap N] [-F text|csv|json]\n"
    "       zorp-poll LINK [-f 1|2|3|4] --scan-addresses FIRST-LAST [-c BLOCK]\n"
    "       zorp-poll --list-ports\n"
    "example: zorp-poll -t 192.168.1.10 -f 3 -a 1 -c 10\n";

const char* const kOptions =
    "Options (short and long forms are the same; a short one takes its value joined or apart):\n"
    "  -t, --tcp HOST[:PORT]  Modbus TCP (port 502 when none is given; IPv6 as [ADDR]:PORT)\n"
    "  -r, --rtu-tcp HOST:PORT  RTU frames over a TCP connection (a serial gateway)\n"
    "  -s, --serial DEVICE  RTU on a serial line: a device path, or COMn (see \"Serial\n"
    "                       ports\" in README.md); -b, --baud (9600), -p, --parity (N),\n"
    "                       --data-bits (8), --stop-bits (1)\n"
    "  -u, --unit: the slave's unit (address), 0 to 255 (default 1; 0 is broadcast)\n"
    "  -f, --function: 1 coils, 2 discrete inputs, 3 holding registers, 4 input registers\n"
    "                  (reads); 5, 6, 15, 16 (writes, with -w)\n"
    "  -a, --address: first item, 1-based (1 to 65536); 0x1A0 or 1A0h hexadecimal; a Modicon\n"
    "                 number (40001, 465536) names its table and function; --base 0|1 counts\n"
    "                 plain and hexadecimal numbers from 0 (the wire) or 1 (the default)\n"
    "  -c, --count: 1 to 125 registers, 1 to 255 bits (the engine asks at most 255 at a time);\n"
    "           a write's count is that of its values and may be left out\n"
    "  -T, --type: the tester's type name or an alias; registers print ADDRESS<TAB>VALUE and\n"
    "          a type of 2 or 4 registers takes as many per value. Aliases: hex bin bytes\n"
    "          ascii bit i8 u8 i16 u16 i32 u32 i64 u64 f32 f64 (big-endian), or with the\n"
    "          byte order, one letter per byte as they come from the device, a = most\n"
    "          significant (u32:cdab); every type's full alias is listed below\n"
    "  -P, --profile: a tester profile (.zvst): address, count, unit, function and the rows'\n"
    "             types; prints ADDRESS<TAB>TYPE<TAB>VALUE<TAB>DESCRIPTION per typed row\n"
    "  -w, --write: values for function 5 (one 0|1), 6 (one register), 15 (coils as a bit\n"
    "           pattern, the first coil first: 0101 or 0,1,0,1) or 16 (registers, separated\n"
    "           by commas; with --type each value takes the type's registers; BYTES values\n"
    "           are H,L pairs); values out of range are refused before sending\n"
    "  -F, --format: text (default), csv (with a header) or json (one object per poll)\n"
    "  -l, --repeat: polls (default 1; 0 polls until Ctrl-C)\n"
    "  -i, --interval: milliseconds from the start of one poll to the start of the next\n"
    "              (default 0: back to back)\n"
    "  -o, --timeout: milliseconds per attempt (default 3000); also the wait for the link\n"
    "  --retries: further attempts after a time-out (default 3)\n"
    "  --remove-echo: drop the echo of the request that a two-wire adapter sends back\n"
    "  -q, --quiet: print no values (errors still go to stderr)\n"
    "  -v, --verbose: the summary line on stderr (\"polls P responses R errors E\n"
    "                 elapsed_ms T\"); without it only when stdout is a terminal\n"
    "  --list-ports: the serial ports found, with their COM numbers\n"
    "  --map FILE: a register map (README.md); its points read in the fewest requests and\n"
    "              printed by name; --map-gap N lets a request span N unnamed addresses\n"
    "  --scan-addresses FIRST-LAST: each address with its value, exception or no answer;\n"
    "              blocks of --count (125 registers, 255 bits) split where a read fails\n"
    "  --scan: ask each unit of FIRST-LAST once (function 3, address 1, count 1 unless\n"
    "          given) and print those that answer, with data or an exception; on a\n"
    "          serial link every --scan-baud and --scan-parity is tried\n"
    "  --dump FILE: read the ranges and write them as a zorp-slave image file (JSON), so that\n"
    "          zorp-slave --image FILE serves a copy of the device; --range F:ADDRESS:COUNT\n"
    "          (repeatable; F 1 to 4, ADDRESS 1-based, COUNT up to 65536, read in as many\n"
    "          requests as needed) or -f, -a, -c give them; with -T the range keeps the type\n"
    "Types (alias, then the name the tester shows; either is taken):\n";

// One line per type: its full alias and its name as the tester lists it.
std::string TypeTable()
{
    std::string out;
    for (int i = 0; i < ValueDecoding::DataTypeCount(); ++i) {
        const TDataTypeInfo& t = ValueDecoding::DataTypeAt(i);
        std::string alias = ValueDecoding::DataTypeAlias(t).toStdString();
        alias.resize(std::max<size_t>(alias.size(), 14), ' ');
        out += "  " + alias + ' ' + t.Name + '\n';
    }
    return out;
}

void PrintHelp()
{
    std::fputs(kUsage, stdout);
    std::fputs(kOptions, stdout);
    std::fputs(TypeTable().c_str(), stdout);
}

[[noreturn]] void Usage(const std::string& error)
{
    std::fprintf(stderr, "zorp-poll: %s\n%s(zorp-poll --help explains every option)\n", error.c_str(), kUsage);
    std::exit(2);
}

// A decimal number without sign or blanks, within [min, max].
long Number(const std::string& text, long min, long max, const char* what)
{
    int64_t v = 0;
    switch (zorp::ParseInteger(std::string_view(text), min, max, v, zorp::IntDigitsOnly)) {
    case zorp::TIntResult::NotANumber: Usage(std::string("invalid ") + what + " \"" + text + "\"");
    case zorp::TIntResult::OutOfRange:
        Usage(std::string(what) + " " + text + " out of range (" + std::to_string(min) + " to " +
              std::to_string(max) + ")");
    case zorp::TIntResult::Ok: break;
    }
    return long(v);
}

// HOST:PORT; with defaultPort (Modbus TCP's 502) the port may be left out:
// HOST, [IPV6] or a bare IPv6 address.
void HostPort(const std::string& text, Options& o, const char* defaultPort)
{
    std::string host, port;
    if (!text.empty() && text.front() == '[') {
        const size_t close = text.find(']');
        const bool bare = close != std::string::npos && close + 1 == text.size() && defaultPort;
        if (!bare && (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':'))
            Usage(std::string("expected [IPV6]:PORT") + (defaultPort ? " or [IPV6]" : "") + ", got \"" + text + "\"");
        host = text.substr(1, close - 1);
        port = bare ? defaultPort : text.substr(close + 2);
    } else {
        const size_t colon = text.rfind(':');
        if (defaultPort && (colon == std::string::npos || text.find(':') != colon)) {
            host = text; // no port, or an IPv6 address without brackets
            port = defaultPort;
        } else {
            if (colon == std::string::npos || text.find(':') != colon)
                Usage("expected HOST:PORT, got \"" + text + "\"");
            host = text.substr(0, colon);
            port = text.substr(colon + 1);
        }
    }
    if (host.empty())
        Usage("no host in \"" + text + "\"");
    o.host = host;
    o.port = static_cast<uint16_t>(Number(port, 1, 65535, "TCP port"));
}

std::vector<std::string> Split(const std::string& text, char sep)
{
    std::vector<std::string> out;
    size_t from = 0;
    while (true) {
        const size_t at = text.find(sep, from);
        out.push_back(text.substr(from, at == std::string::npos ? std::string::npos : at - from));
        if (at == std::string::npos) break;
        from = at + 1;
    }
    return out;
}

void ScanRange(const std::string& text, Options& o)
{
    const size_t dash = text.find('-');
    if (dash == std::string::npos)
        Usage("expected --scan FIRST-LAST, got \"" + text + "\"");
    o.scanFirst = Number(text.substr(0, dash), 1, 255, "first scan unit");
    o.scanLast = Number(text.substr(dash + 1), 1, 255, "last scan unit");
    if (o.scanLast < o.scanFirst)
        Usage("scan range " + text + " runs backwards");
    o.scan = true;
}

bool IsBitType(const TDataTypeInfo* t) { return t && t->Format == TTypeFormat::Bit; }

// The profile's address, count, unit and function, unless the command line
// gives them, and its typed rows.
void ApplyProfile(const std::string& file, bool function, bool address, bool count, bool unit, Options& o)
{
    TProfile profile;
    std::string error;
    if (!ReadProfile(QString::fromLocal8Bit(file.c_str()), profile, error))
        Usage(error);
    if (o.write || o.scan || o.type)
        Usage("--profile reads with its own rows: it goes without --write, --scan and --type");
    if (!function) o.function = profile.Function;
    if (!address) o.address = profile.Start;
    if (!count) o.count = profile.Length;
    if (!unit) o.unit = profile.SlaveID;
    if (o.function > 4)
        Usage("--profile reads: function " + std::to_string(o.function) + " writes");
    o.profile = true;
    o.rows = ProfileRows(profile, o.count, o.function <= 2);
}

// One row per value of the type, as many registers each as it spans.
void TypeRows(Options& o)
{
    const bool bits = o.function <= 2;
    if (bits != IsBitType(o.type))
        Usage(bits ? "function " + std::to_string(o.function) + " reads bits: its only type is BIT"
                   : "type BIT is for functions 1 and 2; registers take any other type");
    if (bits) return;
    const long span = o.type->Rows;
    if (o.count % span != 0)
        Usage("count " + std::to_string(o.count) + " is not a whole number of " + o.type->Name + " values (" +
              std::to_string(span) + " registers each)");
    for (long k = 0; k < o.count; k += span) o.rows.push_back({int(k), o.type, QString(), true});
}

// Encodes --write's values for the function; refuses any the type cannot
// hold, before anything is sent.
void WriteChecks(const std::string& text, bool countGiven, Options& o)
{
    if (o.function <= 4)
        Usage("--write needs a write function: 5, 6, 15 or 16, not " + std::to_string(o.function));
    const bool coils = o.function == 5 || o.function == 15;
    if (coils && o.type && !IsBitType(o.type))
        Usage("function " + std::to_string(o.function) + " writes coils: values 0 or 1, no --type");
    const TDataTypeInfo* type = o.type ? o.type : ValueDecoding::FindDataType(u"UInt16 (Word) AABB");
    if (!coils && IsBitType(type))
        Usage("type BIT is for coils (functions 5 and 15)");
    const QString values = QString::fromLocal8Bit(text.c_str());
    if (coils) {
        const auto r = ValueEncoding::EncodeBitPattern(values);
        if (!r.Ok())
            Usage("--write: " + r.Error.toStdString());
        o.bits = r.Bits;
        for (const bool b : o.bits) o.writeTexts.push_back(b ? QStringLiteral("1") : QStringLiteral("0"));
    } else {
        const auto r = ValueEncoding::EncodeValueList(*type, values);
        if (!r.Ok())
            Usage("--write: " + r.Error.toStdString());
        o.words = r.Words;
        // The texts as written: a BYTES value is an "H,L" pair.
        const std::vector<std::string> items = Split(text, ',');
        const size_t step = type->Format == TTypeFormat::RawBytes ? 2 : 1;
        for (size_t i = 0; i + step <= items.size(); i += step)
            o.writeTexts.push_back(QString::fromLocal8Bit((step == 1 ? items[i] : items[i] + ',' + items[i + 1]).c_str()));
    }
    const long n = long(coils ? o.bits.size() : o.words.size());
    const bool single = o.function == 5 || o.function == 6;
    if (single && n != 1)
        Usage("function " + std::to_string(o.function) + " writes one " + (coils ? "coil" : "register") + "; \"" +
              text + "\" gives " + std::to_string(n) + (o.function == 6 ? " (use function 16)" : " (use function 15)"));
    const long most = coils ? long(zorp::kMaxWriteCoils) : long(zorp::kMaxWriteRegisters);
    if (n > most)
        Usage("--write gives " + std::to_string(n) + (coils ? " coils" : " registers") + "; one request writes at most " +
              std::to_string(most));
    if (countGiven && o.count != n)
        Usage("--count " + std::to_string(o.count) + " does not match the " + std::to_string(n) +
              (coils ? " coils" : " registers") + " that --write gives");
    o.count = n;
}

Options ScanChecks(Options& o, bool function, bool address, bool count, bool typedOrWrite)
{
    if (typedOrWrite)
        Usage("--scan reads: it goes without --write and --type");
    if (!function) o.function = 3;
    if (!address) o.address = 1;
    if (!count) o.count = 1;
    if (o.function > 4)
        Usage("--scan reads: function " + std::to_string(o.function) + " writes");
    if (o.function >= 3 && o.count > 125)
        Usage("count " + std::to_string(o.count) + " out of range: Modbus reads 1 to 125 registers");
    if (o.count > 255)
        Usage("count " + std::to_string(o.count) + " too large: the engine asks at most 255 bits at a time");
    if (o.address + o.count - 1 > 65536)
        Usage("address " + std::to_string(o.address) + " with count " + std::to_string(o.count) +
              " runs past address 65536");
    if (o.link == Options::Serial) {
        if (o.scanBauds.empty()) o.scanBauds.push_back(o.baud);
        if (o.scanParities.empty()) o.scanParities.push_back(o.parity);
    }
    return o;
}

// The short forms of the common options.
const std::pair<char, const char*> kShortOptions[] = {
    {'t', "--tcp"},     {'r', "--rtu-tcp"}, {'s', "--serial"},  {'b', "--baud"},   {'p', "--parity"},
    {'u', "--unit"},    {'f', "--function"}, {'a', "--address"}, {'c', "--count"},  {'T', "--type"},
    {'P', "--profile"}, {'w', "--write"},   {'F', "--format"},  {'l', "--repeat"}, {'i', "--interval"},
    {'o', "--timeout"}, {'q', "--quiet"},   {'v', "--verbose"}, {'h', "--help"},
};

Options Parse(const QStringList& args)
{
    Options o;
    bool haveLink = false;
    struct {
        bool function = false, address = false, count = false, unit = false;
    } given;
    std::string typeText, profileFile, writeText;
    for (int i = 1; i < args.size(); ++i) {
        std::string arg = args[i].toStdString();
        std::string value;
        bool inlineValue = false;
        if (arg.rfind("--", 0) == 0) {
            const size_t eq = arg.find('=');
            if (eq != std::string::npos) {
                value = arg.substr(eq + 1);
                arg = arg.substr(0, eq);
                inlineValue = true;
            }
        } else if (arg.size() >= 2 && arg[0] == '-') {
            // "-f 3" or "-f3": the long option it stands for.
            for (const auto& [letter, name] : kShortOptions) {
                if (arg[1] != letter) continue;
                if (arg.size() > 2) {
                    value = arg.substr(2);
                    inlineValue = true;
                }
                arg = name;
                break;
            }
        }
        auto next = [&]() -> std::string {
            if (inlineValue)
                return value;
            if (i + 1 >= args.size())
                Usage("option " + arg + " needs a value");
            return args[++i].toStdString();
        };
        auto link = [&](Options::Link l) {
            if (haveLink)
                Usage("give one of --tcp, --rtu-tcp and --serial");
            haveLink = true;
            o.link = l;
        };
        if (arg == "--tcp" || arg == "--rtu-tcp") {
            link(arg == "--tcp" ? Options::Tcp : Options::RtuTcp);
            HostPort(next(), o, arg == "--tcp" ? "502" : nullptr);
        } else if (arg == "--serial") {
            link(Options::Serial);
            o.device = next();
            if (o.device.empty())
                Usage("empty device");
            if (zorp::ComNumberOfName(QString::fromStdString(o.device)) < 0)
                Usage("serial port " + o.device + " is out of range COM1..COM65535");
        } else if (arg == "--baud") {
            o.baud = Number(next(), 1, 100000000, "baud rate");
        } else if (arg == "--parity") {
            const std::string p = next();
            if (!ParityFromText(p, o.parity))
                Usage("parity must be N, E, O, M or S, not \"" + p + "\"");
        } else if (arg == "--data-bits") {
            o.dataBits = Number(next(), 5, 8, "data bits");
        } else if (arg == "--stop-bits") {
            o.stopBits = Number(next(), 1, 2, "stop bits");
        } else if (arg == "--unit") {
            o.unit = Number(next(), 0, 255, "unit");
            given.unit = true;
        } else if (arg == "--function") {
            o.function = Number(next(), 1, 16, "function");
            if (o.function > 6 && o.function != 15 && o.function != 16)
                Usage("function " + std::to_string(o.function) + " is none of 1, 2, 3, 4, 5, 6, 15 and 16");
            given.function = true;
        } else if (arg == "--address") {
            o.extras.addressText = next();
            given.address = true;
        } else if (arg == "--count") {
            o.count = Number(next(), 1, 2000, "count");
            given.count = true;
        } else if (arg == "--repeat") {
            o.repeat = Number(next(), 0, 1000000000, "repeat");
        } else if (arg == "--interval") {
            o.interval = Number(next(), 0, 86400000, "interval");
        } else if (arg == "--type") {
            typeText = next();
            o.type = ValueDecoding::FindDataTypeOrAlias(QString::fromStdString(typeText));
            if (!o.type)
                Usage("unknown type \"" + typeText + "\" (see --help for the names)");
        } else if (arg == "--profile") {
            profileFile = next();
            if (profileFile.empty())
                Usage("empty profile file name");
        } else if (arg == "--write") {
            writeText = next();
            o.write = true;
        } else if (arg == "--format") {
            const std::string f = next();
            if (f == "text") o.format = TOutputFormat::Text;
            else if (f == "csv") o.format = TOutputFormat::Csv;
            else if (f == "json") o.format = TOutputFormat::Json;
            else Usage("format must be text, csv or json, not \"" + f + "\"");
        } else if (arg == "--scan") {
            ScanRange(next(), o);
        } else if (arg == "--scan-baud") {
            for (const std::string& b : Split(next(), ','))
                o.scanBauds.push_back(Number(b, 1, 100000000, "scan baud rate"));
        } else if (arg == "--scan-parity") {
            for (const std::string& p : Split(next(), ',')) {
                TParity parity;
                if (!ParityFromText(p, parity))
                    Usage("scan parity must be N, E, O, M or S, not \"" + p + "\"");
                o.scanParities.push_back(parity);
            }
        } else if (arg == "--dump") {
            o.dumpFile = next();
        } else if (arg == "--range") {
            o.dumpRanges.push_back(next());
        } else if (arg == "--remove-echo") {
            if (inlineValue)
                Usage("--remove-echo takes no value");
            o.removeEcho = true;
        } else if (arg == "--timeout") {
            o.timeout = Number(next(), 1, 3600000, "time-out");
        } else if (arg == "--retries") {
            o.retries = Number(next(), 0, 65535, "retries");
        } else if (arg == "--quiet") {
            if (inlineValue)
                Usage("--quiet takes no value");
            o.quiet = true;
        } else if (arg == "--verbose") {
            if (inlineValue)
                Usage("--verbose takes no value");
            o.verbose = true;
        } else if (arg == "--help") {
            PrintHelp();
            std::exit(0);
        } else if (std::string e; ParseExtraOption(arg, next, o, e)) {
            if (!e.empty()) Usage(e);
        } else {
            Usage("unknown argument \"" + arg + "\"");
        }
    }
    if (!haveLink)
        Usage("give one of --tcp, --rtu-tcp and --serial");
    // Someone watching the terminal sees the summary; a script reading the
    // output asks for it.
    if (::isatty(STDOUT_FILENO)) o.verbose = true;
    const bool serialOption = o.baud != 9600 || o.parity != pNone || o.dataBits != 8 || o.stopBits != 1;
    if (o.link != Options::Serial && serialOption)
        Usage("--baud, --parity, --data-bits and --stop-bits apply to --serial only");
    if (o.link != Options::Serial && (!o.scanBauds.empty() || !o.scanParities.empty()))
        Usage("--scan-baud and --scan-parity apply to --serial only");
    if (!o.scan && (!o.scanBauds.empty() || !o.scanParities.empty()))
        Usage("--scan-baud and --scan-parity go with --scan");
    if (const std::string e = ResolveExtras(o, given.function, given.count); !e.empty())
        Usage(e);
    if (o.extras.Runs())
        return o;
    if (!profileFile.empty())
        ApplyProfile(profileFile, given.function, given.address, given.count, given.unit, o);
    if (!o.dumpFile.empty() || !o.dumpRanges.empty())
        return o; // checked by DumpRanges
    if (o.scan)
        return ScanChecks(o, given.function, given.address, given.count, !typeText.empty() || o.write);
    if (o.function == 0)
        Usage("--function is required");
    if (o.address < 0)
        Usage("--address is required");
    if (o.write)
        WriteChecks(writeText, given.count, o);
    else if (o.function >= 5)
        Usage("function " + std::to_string(o.function) + " writes: give the values with --write");
    if (o.function <= 4 && o.unit == 0)
        Usage("unit 0 is the broadcast address: every slave carries out a write to it and none answers, "
              "so it cannot be read");
    if (o.count < 0)
        Usage("--count is required");
    const bool registers = o.function == 3 || o.function == 4 || o.function == 6 || o.function == 16;
    if (!o.write && registers && o.count > 125)
        Usage("count " + std::to_string(o.count) + " out of range: Modbus reads 1 to 125 registers");
    if (!o.write && !registers && o.count > 255)
        Usage("count " + std::to_string(o.count) +
              " too large: the engine asks at most 255 bits at a time (Modbus allows 2000)");
    if (o.address + o.count - 1 > 65536)
        Usage("address " + std::to_string(o.address) + " with count " + std::to_string(o.count) +
              " runs past address 65536");
    if (!o.write && !o.profile && o.type)
        TypeRows(o);
    return o;
}

// Ctrl-C and SIGTERM end the run through the event loop: the handler only
// writes a byte to a pipe that a socket notifier watches.
int gInterruptPipe[2] = {-1, -1};

void OnInterrupt(int)
{
    const char byte = 1;
    const ssize_t ignored = ::write(gInterruptPipe[1], &byte, 1);
    (void)ignored;
}

void WatchInterrupts()
{
    if (::pipe(gInterruptPipe) != 0) {
        std::perror("zorp-poll: pipe");
        std::exit(1);
    }
    struct sigaction sa = {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

} // namespace

std::string LinkText(const Options& o)
{
    if (o.link == Options::Serial) return o.device;
    const std::string host = o.host.find(':') != std::string::npos ? '[' + o.host + ']' : o.host;
    return (o.link == Options::RtuTcp ? "RTU over TCP " : "") + host + ':' + std::to_string(o.port);
}

bool ParityFromText(const std::string& p, TParity& out)
{
    if (p == "N" || p == "n") out = pNone;
    else if (p == "E" || p == "e") out = pEven;
    else if (p == "O" || p == "o") out = pOdd;
    else if (p == "M" || p == "m") out = pMark;
    else if (p == "S" || p == "s") out = pSpace;
    else return false;
    return true;
}

char ParityLetter(TParity p)
{
    switch (p) {
    case pEven: return 'E';
    case pOdd: return 'O';
    case pMark: return 'M';
    case pSpace: return 'S';
    default: return 'N';
    }
}

int main(int argc, char** argv)
{
    zorp::UseToolEventLoop();
    QCoreApplication app(argc, argv);
    // --list-ports: the serial ports found, with the COM number of each.
    if (QCoreApplication::arguments().contains(QStringLiteral("--list-ports"))) {
        const QString ini = TCommPort::ComPortsIniPath();
        std::fputs(zorp::FormatSerialPortList(zorp::ListSerialPorts(ini), ini).toLocal8Bit().constData(), stdout);
        return 0;
    }
    if (QCoreApplication::arguments().contains(QStringLiteral("--workspace")))
        return RunWorkspaceCommand(QCoreApplication::arguments());
    const Options options = Parse(QCoreApplication::arguments());
    if (options.verbose)
        std::fprintf(stderr, "zorp-poll: %s %s, unit %ld\n", options.scan ? "scanning" : "polling",
                     LinkText(options).c_str(), options.unit);
    std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
    WatchInterrupts();
    int rc;
    if (!options.dumpFile.empty() || !options.dumpRanges.empty()) {
        if (options.dumpFile.empty())
            Usage("--range goes with --dump FILE");
        Dumper dumper(options, DumpRanges(options, options.dumpRanges, options.function != 0, options.address >= 0,
                                          options.count >= 0), options.dumpFile);
        QSocketNotifier notifier(gInterruptPipe[0], QSocketNotifier::Read);
        QObject::connect(&notifier, &QSocketNotifier::activated, [&dumper] { dumper.Interrupt(); });
        QTimer::singleShot(0, &app, [&dumper] { dumper.Start(); });
        rc = app.exec();
        rc = rc == 0 ? dumper.ExitCode() : rc;
    } else if (QSocketNotifier notifier(gInterruptPipe[0], QSocketNotifier::Read); RunExtras(options, notifier, rc)) {
    } else if (options.scan) {
        Scanner scanner(options);
        QSocketNotifier notifier(gInterruptPipe[0], QSocketNotifier::Read);
        QObject::connect(&notifier, &QSocketNotifier::activated, [&scanner] { scanner.Interrupt(); });
        QTimer::singleShot(0, &app, [&scanner] { scanner.Start(); });
        rc = app.exec();
        rc = rc == 0 ? scanner.ExitCode() : rc;
    } else {
        Poller poller(options);
        QSocketNotifier notifier(gInterruptPipe[0], QSocketNotifier::Read);
        QObject::connect(&notifier, &QSocketNotifier::activated, [&poller] { poller.Interrupt(); });
        QTimer::singleShot(0, &app, [&poller] { poller.Start(); });
        rc = app.exec();
        rc = rc == 0 ? poller.ExitCode() : rc;
    }
    std::fflush(stdout);
    return rc;
}
