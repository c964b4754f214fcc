// SPDX-License-Identifier: GPL-3.0-or-later
// zorp-poll: a command-line Modbus master on the engine.
//
//   zorp-poll (--tcp HOST:PORT | --rtu-tcp HOST:PORT | --serial DEVICE
//             [--baud N] [--parity N|E|O|M|S] [--data-bits N] [--stop-bits N])
//             [--unit N] --function 1|2|3|4 --address N --count N
//             [--repeat N] [--timeout MS] [--retries N] [--quiet]
//
// DEVICE is a device path or COMn (mapped like the tester's COM numbers).
// --address is 1-based, as in the tester. Every response prints one line
// per item: registers "ADDRESS<TAB>HHHH<TAB>DECIMAL", bits "ADDRESS<TAB>0|1"
// (none with --quiet). --repeat N reads N times back to back, each read
// issued from the previous one's event. The last line, on stderr, is
// "polls P responses R errors E elapsed_ms T". Engine errors print
// "error CODE: MESSAGE" on stderr.
//
// Exit status: 0 when every poll got its response, 1 when any failed (or
// the link did not come up within the time-out), 2 for bad arguments.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "CommPort.h"
#include "EventLoop.h"
#include "ModbusFrames.h"
#include "SerialPorts.h"
#include "VexaModbus.h"

namespace {

const char* const kUsage =
    "usage: zorp-poll (--tcp HOST:PORT | --rtu-tcp HOST:PORT | --serial DEVICE [--baud N]\n"
    "                 [--parity N|E|O|M|S] [--data-bits N] [--stop-bits N]) [--unit N]\n"
    "                 --function 1|2|3|4 --address N --count N [--repeat N]\n"
    "                 [--timeout MS] [--retries N] [--quiet]\n"
    "  DEVICE: a device path, or COMn (see \"Serial ports\" in README.md)\n"
    "  --address: first item, 1-based (1 to 65536)\n"
    "  --count: 1 to 125 registers, 1 to 255 bits (the engine asks at most 255 at a time)\n"
    "  --timeout: milliseconds per attempt (default 3000); also the wait for the link\n"
    "  --retries: further attempts after a time-out (default 3)\n";

[[noreturn]] void Usage(const std::string& error)
{
    std::fprintf(stderr, "zorp-poll: %s\n%s", error.c_str(), kUsage);
    std::exit(2);
}

// A decimal number without sign or blanks, within [min, max].
long Number(const std::string& text, long min, long max, const char* what)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
        Usage(std::string("invalid ") + what + " \"" + text + "\"");
    const long v = std::strtol(text.c_str(), nullptr, 10);
    if (v < min || v > max)
        Usage(std::string(what) + " " + text + " out of range (" + std::to_string(min) + " to " +
              std::to_string(max) + ")");
    return v;
}

struct Options {
    enum Link { None, Tcp, RtuTcp, Serial } link = None;
    std::string host;
    uint16_t port = 0;
    std::string device;
    long baud = 9600;
    TParity parity = pNone;
    long dataBits = 8;
    long stopBits = 1;
    long unit = 1;
    long function = 0;
    long address = -1;
    long count = -1;
    long repeat = 1;
    long timeout = 3000;
    long retries = 3;
    bool quiet = false;
};

void HostPort(const std::string& text, Options& o)
{
    std::string host, port;
    if (!text.empty() && text.front() == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':')
            Usage("expected [IPV6]:PORT, got \"" + text + "\"");
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        const size_t colon = text.rfind(':');
        if (colon == std::string::npos || text.find(':') != colon)
            Usage("expected HOST:PORT, got \"" + text + "\"");
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    if (host.empty())
        Usage("no host in \"" + text + "\"");
    o.host = host;
    o.port = static_cast<uint16_t>(Number(port, 1, 65535, "TCP port"));
}

Options Parse(const QStringList& args)
{
    Options o;
    bool haveLink = false;
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
            HostPort(next(), o);
        } else if (arg == "--serial") {
            link(Options::Serial);
            o.device = next();
            if (o.device.empty())
                Usage("empty device");
        } else if (arg == "--baud") {
            o.baud = Number(next(), 1, 100000000, "baud rate");
        } else if (arg == "--parity") {
            const std::string p = next();
            if (p == "N" || p == "n") o.parity = pNone;
            else if (p == "E" || p == "e") o.parity = pEven;
            else if (p == "O" || p == "o") o.parity = pOdd;
            else if (p == "M" || p == "m") o.parity = pMark;
            else if (p == "S" || p == "s") o.parity = pSpace;
            else Usage("parity must be N, E, O, M or S, not \"" + p + "\"");
        } else if (arg == "--data-bits") {
            o.dataBits = Number(next(), 5, 8, "data bits");
        } else if (arg == "--stop-bits") {
            o.stopBits = Number(next(), 1, 2, "stop bits");
        } else if (arg == "--unit") {
            o.unit = Number(next(), 0, 255, "unit");
        } else if (arg == "--function") {
            o.function = Number(next(), 1, 4, "function");
        } else if (arg == "--address") {
            o.address = Number(next(), 1, 65536, "address");
        } else if (arg == "--count") {
            o.count = Number(next(), 1, 2000, "count");
        } else if (arg == "--repeat") {
            o.repeat = Number(next(), 1, 1000000000, "repeat");
        } else if (arg == "--timeout") {
            o.timeout = Number(next(), 1, 3600000, "time-out");
        } else if (arg == "--retries") {
            o.retries = Number(next(), 0, 65535, "retries");
        } else if (arg == "--quiet") {
            if (inlineValue)
                Usage("--quiet takes no value");
            o.quiet = true;
        } else if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else {
            Usage("unknown argument \"" + arg + "\"");
        }
    }
    if (!haveLink)
        Usage("give one of --tcp, --rtu-tcp and --serial");
    if (o.function == 0)
        Usage("--function is required");
    if (o.address < 0)
        Usage("--address is required");
    if (o.count < 0)
        Usage("--count is required");
    const bool registers = o.function >= 3;
    if (registers && o.count > 125)
        Usage("count " + std::to_string(o.count) + " out of range: Modbus reads 1 to 125 registers");
    if (!registers && o.count > 255)
        Usage("count " + std::to_string(o.count) +
              " too large: the engine asks at most 255 bits at a time (Modbus allows 2000)");
    if (o.address + o.count - 1 > 65536)
        Usage("address " + std::to_string(o.address) + " with count " + std::to_string(o.count) +
              " runs past address 65536");
    const bool serialOption = o.baud != 9600 || o.parity != pNone || o.dataBits != 8 || o.stopBits != 1;
    if (o.link != Options::Serial && serialOption)
        Usage("--baud, --parity, --data-bits and --stop-bits apply to --serial only");
    return o;
}

class Poller {
public:
    explicit Poller(const Options& o) : FOpt(o), FMdb(new TVexaModbus(nullptr))
    {
        TVexaModbus& m = *FMdb;
        switch (o.link) {
        case Options::Tcp:
        case Options::RtuTcp:
            m.SetInterfaceType(mbiEthernet);
            m.SetProtocol(o.link == Options::Tcp ? mbpTCP : mbpRTU);
            m.SetEthIP(QString::fromStdString(o.host));
            m.SetEthPort(o.port);
            break;
        case Options::Serial:
        case Options::None: {
            m.SetInterfaceType(mbiRS485);
            m.SetProtocol(mbpRTU);
            const QString dev = QString::fromStdString(o.device);
            bool isNumber = false;
            const int n = dev.startsWith(QLatin1String("COM"), Qt::CaseInsensitive) ? dev.mid(3).toInt(&isNumber) : 0;
            if (isNumber && n >= 1 && n <= 65535 && dev.mid(3).at(0).isDigit())
                m.SetComNumber(n);
            else if (m.CommPort())
                m.CommPort()->SetDevicePathOverride(dev);
            m.SetComSpeed(static_cast<int32_t>(o.baud));
            m.SetParity(o.parity);
            m.SetDataBits(static_cast<uint16_t>(o.dataBits));
            m.SetStopBits(static_cast<uint16_t>(o.stopBits));
            break;
        }
        }
        m.SetDeviceID(static_cast<uint8_t>(o.unit));
        m.SetTimeout(static_cast<uint32_t>(o.timeout));
        m.SetMaxRepeat(static_cast<uint16_t>(o.retries));

        m.OnConnect = [this](QObject*) { LinkUp(); };
        m.OnDisconnect = [this](QObject*) {
            if (!FDone)
                Finish(QStringLiteral("link closed"));
        };
        m.OnError = [this](QObject*, int32_t code) { Error(code); };
        m.OnReadCoils = [this](QObject*, uint8_t, uint16_t, uint16_t, const std::vector<bool>& data) {
            Bits([&](size_t k) { return k < data.size() && data[k]; }, data.size());
        };
        m.OnReadDiscreteInputs = [this](QObject*, uint8_t, uint16_t, uint16_t, const std::vector<uint8_t>& data) {
            // Packed, least significant bit first; exactly the bytes the count needs.
            const size_t bytes = (static_cast<size_t>(FOpt.count) + 7) / 8;
            if (data.size() != bytes) {
                if (!FDone)
                    Short(data.size(), bytes, "bytes");
                return;
            }
            Bits([&](size_t k) { return ((data[k / 8] >> (k % 8)) & 1) != 0; }, static_cast<size_t>(FOpt.count));
        };
        auto regs = [this](QObject*, uint8_t, uint16_t, uint16_t, const std::vector<uint8_t>& data) {
            Registers(data);
        };
        m.OnReadHoldingRegs = regs;
        m.OnReadInputRegs = regs;

        FOut.reserve(4096);
        // The link must come up within the time-out.
        FLinkTimer.setSingleShot(true);
        QObject::connect(&FLinkTimer, &QTimer::timeout, [this] {
            if (!FLinkUp && !FDone) {
                std::fprintf(stderr, "zorp-poll: link not up within %ld ms\n", FOpt.timeout);
                Finish(QString());
            }
        });
        // A last guard: every poll ends in an event well within this.
        FWatchdog.setSingleShot(true);
        QObject::connect(&FWatchdog, &QTimer::timeout, [this] {
            if (!FDone) {
                std::fprintf(stderr, "zorp-poll: no outcome from the engine for poll %ld\n", FPolls);
                Finish(QString());
            }
        });
    }

    ~Poller()
    {
        // The engine outlives nothing it reports to.
        FMdb->OnConnect = nullptr;
        FMdb->OnDisconnect = nullptr;
        FMdb->OnError = nullptr;
        FMdb->OnReadCoils = nullptr;
        FMdb->OnReadDiscreteInputs = nullptr;
        FMdb->OnReadHoldingRegs = nullptr;
        FMdb->OnReadInputRegs = nullptr;
        delete FMdb;
    }

    void Start()
    {
        FLinkTimer.start(static_cast<int>(FOpt.timeout));
        FMdb->Connect();
    }

    int ExitCode() const { return FExit; }

private:
    void LinkUp()
    {
        if (FLinkUp || FDone)
            return;
        FLinkUp = true;
        FLinkTimer.stop();
        FClock.start();
        Next();
    }

    void Next()
    {
        if (FDone)
            return;
        if (FPolls >= FOpt.repeat) {
            Finish(QString());
            return;
        }
        if (!FMdb->Connected()) {
            Finish(QStringLiteral("link lost"));
            return;
        }
        ++FPolls;
        const qint64 perAttempt = FOpt.timeout + 100;
        FWatchdog.start(static_cast<int>(std::min<qint64>(perAttempt * (FOpt.retries + 2) + 2000, 2000000000)));
        const uint16_t a = static_cast<uint16_t>(FOpt.address); // 65536 travels as 0: wire address 65535
        const uint8_t n = static_cast<uint8_t>(FOpt.count);
        switch (FOpt.function) {
        case 1: FMdb->ReadCoils(a, n); break;
        case 2: FMdb->ReadDiscreteInputs(a, n); break;
        case 3: FMdb->ReadHoldingRegs(a, n); break;
        default: FMdb->ReadInputRegs(a, n); break;
        }
    }

    template <typename Bit> void Bits(Bit bit, size_t available)
    {
        if (FDone)
            return;
        const size_t want = static_cast<size_t>(FOpt.count);
        if (available < want) {
            Short(available, want, "items");
            return;
        }
        ++FResponses;
        if (!FOpt.quiet) {
            FOut.clear();
            for (size_t k = 0; k < want; ++k) {
                FOut += std::to_string(FOpt.address + static_cast<long>(k));
                FOut += bit(k) ? "\t1\n" : "\t0\n";
            }
            std::fwrite(FOut.data(), 1, FOut.size(), stdout);
        }
        Next();
    }

    void Registers(const std::vector<uint8_t>& data)
    {
        if (FDone)
            return;
        const size_t want = static_cast<size_t>(FOpt.count);
        if (data.size() != want * 2) {
            Short(data.size(), want * 2, "bytes");
            return;
        }
        ++FResponses;
        if (!FOpt.quiet) {
            FOut.clear();
            char line[32];
            for (size_t k = 0; k < want; ++k) {
                const unsigned v = static_cast<unsigned>(data[2 * k] << 8 | data[2 * k + 1]);
                const int len = std::snprintf(line, sizeof line, "%ld\t%04X\t%u\n",
                                              FOpt.address + static_cast<long>(k), v, v);
                FOut.append(line, static_cast<size_t>(len));
            }
            std::fwrite(FOut.data(), 1, FOut.size(), stdout);
        }
        Next();
    }

    // A response the engine accepted but that carries another number of
    // items than was asked for: a faulty slave, counted as a failed poll.
    void Short(size_t got, size_t want, const char* what)
    {
        ++FErrors;
        std::fprintf(stderr, "zorp-poll: response carries %zu data %s, %zu expected\n", got, what, want);
        Next();
    }

    void Error(int32_t code)
    {
        if (FDone)
            return;
        ++FErrors;
        const char* message = zorp::ErrorMessage(code);
        if (message)
            std::fprintf(stderr, "error %d: %s\n", code, message);
        else if (code == 15)
            std::fprintf(stderr, "error 15: transport error (connection refused, reset or lost)\n");
        else
            std::fprintf(stderr, "error %d\n", code);
        // Errors 0, 1, 15 and 16 leave no link to poll on.
        if (code == 0 || code == 1 || code == 15 || code == 16 || !FMdb->Connected()) {
            Finish(QString());
            return;
        }
        Next();
    }

    void Finish(const QString& why)
    {
        if (FDone)
            return;
        FDone = true;
        FLinkTimer.stop();
        FWatchdog.stop();
        std::fflush(stdout);
        if (!why.isEmpty())
            std::fprintf(stderr, "zorp-poll: %s\n", why.toLocal8Bit().constData());
        const long long elapsed = FClock.isValid() ? FClock.elapsed() : 0;
        std::fprintf(stderr, "polls %ld responses %ld errors %ld elapsed_ms %lld\n", FPolls, FResponses, FErrors,
                     elapsed);
        FExit = (FLinkUp && FResponses == FOpt.repeat && FErrors == 0) ? 0 : 1;
        // Leave the event handler first: the engine may still be inside a pass.
        QTimer::singleShot(0, QCoreApplication::instance(), [this] { QCoreApplication::exit(FExit); });
    }

    Options FOpt;
    TVexaModbus* FMdb;
    QTimer FLinkTimer;
    QTimer FWatchdog;
    QElapsedTimer FClock;
    std::string FOut;
    long FPolls = 0, FResponses = 0, FErrors = 0;
    bool FLinkUp = false;
    bool FDone = false;
    int FExit = 1;
};

} // namespace

int main(int argc, char** argv)
{
    zorp::UseQtEventDispatcher();
    QCoreApplication app(argc, argv);
    // --list-ports: the serial ports found, with the COM number of each.
    if (QCoreApplication::arguments().contains(QStringLiteral("--list-ports"))) {
        const QString ini = TCommPort::ComPortsIniPath();
        std::fputs(zorp::FormatSerialPortList(zorp::ListSerialPorts(ini), ini).toLocal8Bit().constData(), stdout);
        return 0;
    }
    const Options options = Parse(QCoreApplication::arguments());
    std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
    Poller poller(options);
    QTimer::singleShot(0, &app, [&poller] { poller.Start(); });
    const int rc = app.exec();
    std::fflush(stdout);
    return rc == 0 ? poller.ExitCode() : rc;
}
