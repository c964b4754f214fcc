// SPDX-License-Identifier: GPL-3.0-or-later
// zorp-slave: a Modbus slave simulator on the engine's listening mode.
//
//   zorp-slave (--tcp PORT | --rtu-tcp PORT | --serial DEVICE [--baud N]
//              [--parity N|E|O] [--data-bits N] [--stop-bits N])
//              [--bind ADDRESS] [--unit LIST] [--shared-image] [--designed]
//              [--max-clients N] [--unknown-unit exception|silent]
//              [--registers START=V1,V2,...]... [--coils START=0|1,...]...
//              [--inputs START=V1,V2,...]... [--discrete START=0|1,...]...
//              [--generate SPEC]... [--fault SPEC]... [--seed N]
//              [--image FILE [--save] [--save-interval SECONDS]]
//              [--device-id VENDOR,PRODUCT,REVISION]
//
// It simulates one or several Modbus units (--unit 1,2,5-8), each with an
// image of its own (or one shared image), answering functions 1 to 6, 8/00,
// 15, 16, 22, 23, 43/14 and 102 from images of coils, discrete inputs,
// holding and input registers (START is the wire address, the image index),
// exception 01 for any other function. Value generators (--generate), faults
// on demand (--fault) and image files (--image, --save) are described in
// --help and the manual page; the library under sim/ does the work. --designed
// restores the engine's designed listening mode (one unit; 1, 3, 5, 6, 15,
// 16, 102 only). It prints a line for every client that connects or leaves,
// every write it carries out, every request it refuses and every fault it
// applies, and runs until SIGINT or SIGTERM (saving the image first with
// --save). An image given no values serves a small demonstration that
// changes once a second. The first line says where it listens, e.g.
// "listening on tcp 127.0.0.1:5020"; PORT 0 picks a free port; it listens on
// every interface unless --bind names one.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

#include "StrictInt.h"
#include "CommPort.h"
#include "Demo.h"
#include "EventLoop.h"
#include "SerialPorts.h"
#include "SimImageFile.h"
#include "SimServer.h"
#include "SlaveMap.h"
#include "VexaModbus.h"

namespace {

int gSignalPipe[2] = {-1, -1};

void OnSignal(int)
{
    const char c = 1;
    const ssize_t ignored = ::write(gSignalPipe[1], &c, 1);
    (void)ignored;
}

void Say(const QString& line)
{
    std::fputs(line.toLocal8Bit().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

[[noreturn]] void Usage(const QString& error)
{
    std::fprintf(stderr, "zorp-slave: %s\n", error.toLocal8Bit().constData());
    std::fprintf(stderr,
                 "usage: zorp-slave (--tcp PORT | --rtu-tcp PORT | --serial DEVICE [--baud N] [--parity N|E|O]\n"
                 "                  [--data-bits N] [--stop-bits N]) [--bind ADDRESS] [--unit LIST]\n"
                 "                  [--shared-image] [--designed] [--max-clients N] [--unknown-unit exception|silent]\n"
                 "                  [--registers START=V1,V2,...]... [--coils START=0|1,...]...\n"
                 "                  [--inputs START=V1,V2,...]... [--discrete START=0|1,...]...\n"
                 "                  [--generate SPEC]... [--fault SPEC]... [--seed N]\n"
                 "                  [--image FILE [--save] [--save-interval SECONDS]]\n"
                 "                  [--device-id VENDOR,PRODUCT,REVISION]\n"
                 "see zorp-slave --help\n");
    std::exit(2);
}

long ParseNumber(const QString& text, long min, long max, const char* what)
{
    int64_t v = 0;
    if (!zorp::ParseInt(text.trimmed(), min, max, v, zorp::IntSign | zorp::IntHexPrefix))
        Usage(QStringLiteral("%1 must be a number from %2 to %3, not '%4'").arg(QLatin1String(what)).arg(min).arg(max).arg(text));
    return v;
}

// "START=V1,V2,..." into entries of `table`.
void ParseRun(const QString& spec, zorp::sim::Table table, std::vector<Demo::Entry>& out)
{
    const int eq = spec.indexOf(QLatin1Char('='));
    if (eq <= 0)
        Usage(QStringLiteral("expected START=V1,V2,... in '%1'").arg(spec));
    const long start = ParseNumber(spec.left(eq), 0, 65535, "START");
    const QStringList values = spec.mid(eq + 1).split(QLatin1Char(','), Qt::SkipEmptyParts);
    if (values.isEmpty() || start + values.size() > 65536)
        Usage(QStringLiteral("'%1' gives no values or runs past address 65535").arg(spec));
    const bool bits = zorp::sim::IsBitTable(table);
    for (int i = 0; i < values.size(); ++i)
        out.push_back({table, uint16_t(start + i),
                       uint16_t(bits ? ParseNumber(values[i], 0, 1, "a coil")
                                     : ParseNumber(values[i], -32768, 65535, "a register"))});
}

template <typename Words>
QString JoinValues(const Words& regs, uint16_t a, uint16_t q)
{
    QStringList parts;
    for (uint32_t k = 0; k < q && a + k < regs.size(); ++k) {
        if (k == 32) { parts << QStringLiteral("..."); break; }
        parts << QString::number(regs[a + k]);
    }
    return parts.join(QLatin1Char(','));
}

template <typename Bits>
QString JoinBits(const Bits& bits, uint16_t a, uint16_t q)
{
    QStringList parts;
    for (uint32_t k = 0; k < q && a + k < bits.size(); ++k) {
        if (k == 64) { parts << QStringLiteral("..."); break; }
        parts << QString::number(bits[a + k] ? 1 : 0);
    }
    return parts.join(QLatin1Char(','));
}

// The simulated units behind the engine's request hook: the image file,
// the units, generators, faults and the other options of the simulation.
void SetUpSimulation(const QCommandLineParser& p, TVexaModbus& mdb, zorp::sim::SimServer& sim,
                     const QString& imagePath, bool save)
{
    QString error;
    if (!imagePath.isEmpty()) {
        if (QFileInfo::exists(imagePath) || !save) {
            if (!zorp::sim::LoadImageFile(imagePath, sim, error))
                Usage(error);
        }
    }
    const bool shared = p.isSet(QStringLiteral("shared-image")) || sim.Shared();
    if (p.isSet(QStringLiteral("unit"))) {
        std::vector<uint8_t> units;
        if (!zorp::sim::SimServer::ParseUnits(p.value(QStringLiteral("unit")), units, error))
            Usage(QStringLiteral("--unit: %1").arg(error));
        sim.SetUnits(units, shared);
    } else if (shared != sim.Shared()) {
        sim.SetUnits(sim.Units(), shared);
    }
    const QString unknown = p.value(QStringLiteral("unknown-unit"));
    if (!unknown.isEmpty() && unknown != QLatin1String("exception") && unknown != QLatin1String("silent"))
        Usage(QStringLiteral("--unknown-unit takes exception or silent"));
    sim.UnknownUnitSilent = unknown == QLatin1String("silent");
    for (const QString& text : p.values(QStringLiteral("generate"))) {
        zorp::sim::Generator g;
        if (!zorp::sim::ParseGenerator(text, g, error))
            Usage(QStringLiteral("--generate: %1").arg(error));
        sim.Generators.push_back(g);
    }
    for (const QString& text : p.values(QStringLiteral("fault"))) {
        zorp::sim::Fault f;
        if (!zorp::sim::ParseFault(text, f, error))
            Usage(QStringLiteral("--fault: %1").arg(error));
        sim.Faults.push_back(f);
    }
    if (p.isSet(QStringLiteral("seed")))
        sim.Seed(uint64_t(ParseNumber(p.value(QStringLiteral("seed")), 0, 0x7FFFFFFF, "--seed")));
    if (p.isSet(QStringLiteral("device-id"))) {
        const QStringList id = p.value(QStringLiteral("device-id")).split(QLatin1Char(','));
        sim.Identity = {id[0].toLatin1(), id[1].toLatin1(), id[2].toLatin1()};
    }
    // On a serial line the answers of every simulated unit wait for the line's quiet.
    mdb.SetDeviceID(sim.Units().front());
    mdb.SetSlaveHook([&sim](const zorp::slave::HookRequest& r) { return sim.Handle(r); },
                     [&sim](uint8_t unit) { return sim.Serves(unit); });
}

} // namespace

int main(int argc, char** argv)
{
    zorp::UseToolEventLoop();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zorp-slave"));

    QCommandLineParser p;
    p.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    p.setApplicationDescription(QStringLiteral(
        "A Modbus slave simulator: one or several units, value generators, faults on demand.\n"
        "Image file (--image): a JSON object\n"
        "  {\"shared\": false,\n"
        "   \"units\": [{\"unit\": 1,\n"
        "              \"holding\": [{\"address\": 0, \"words\": [1, 2]},\n"
        "                          {\"address\": 10, \"type\": \"f32:cdab\", \"values\": [12.5],\n"
        "                           \"description\": \"Temperature\"}],\n"
        "              \"inputs\": [...], \"coils\": [{\"address\": 0, \"bits\": [1, 0]}], \"discrete\": [...]}],\n"
        "   \"generators\": [\"10=sine,period=10,min=0,max=100,type=f32:cdab\"],\n"
        "   \"faults\": [\"exception:6,function=3,every=5\"]}\n"
        "Addresses are wire addresses; \"words\" raw, \"values\" typed, \"bits\" 0 or 1.\n"
        "zorp-poll --dump FILE --range F:ADDRESS:COUNT... writes one from a real device."));
    p.addOptions({
        {QStringLiteral("tcp"), QStringLiteral("Modbus TCP on PORT."), QStringLiteral("PORT")},
        {QStringLiteral("rtu-tcp"), QStringLiteral("RTU frames over TCP on PORT."), QStringLiteral("PORT")},
        {QStringLiteral("serial"), QStringLiteral("RTU on the serial DEVICE."), QStringLiteral("DEVICE")},
        {QStringLiteral("baud"), QStringLiteral("Baud rate (9600)."), QStringLiteral("N")},
        {QStringLiteral("parity"), QStringLiteral("Parity N, E or O (N)."), QStringLiteral("N|E|O")},
        {QStringLiteral("data-bits"), QStringLiteral("Data bits (8)."), QStringLiteral("N")},
        {QStringLiteral("stop-bits"), QStringLiteral("Stop bits (1)."), QStringLiteral("N")},
        {QStringLiteral("bind"), QStringLiteral("Local address to listen on (all)."), QStringLiteral("ADDRESS")},
        {QStringLiteral("unit"), QStringLiteral("Units simulated, each with an image of its own: a number, or a "
                                                "list such as 1,2,5-8 (1)."),
         QStringLiteral("LIST")},
        {QStringLiteral("shared-image"), QStringLiteral("Every unit serves one shared image.")},
        {QStringLiteral("unknown-unit"), QStringLiteral("Modbus TCP: a request for a unit not simulated gets "
                                                        "exception 0B (exception, the default) or no answer (silent). "
                                                        "On a serial line and RTU over TCP it is never answered."),
         QStringLiteral("exception|silent")},
        {QStringLiteral("generate"),
         QStringLiteral("A value generator (repeatable): [TABLE:]ADDRESS=KIND[,period=SECONDS][,min=A][,max=B]"
                        "[,amplitude=X][,offset=Y][,type=NAME][,seed=N][,unit=N]. TABLE: holding (default), inputs, "
                        "coil(s), discrete. KIND: counter, ramp, sawtooth, sine, square, random. NAME: one of the 35 "
                        "data types or an alias (u16, i32:cdab, f32:cdab, f64, ...). Example: "
                        "10=sine,period=10,min=0,max=100,type=f32:cdab; coil:3=square,period=2."),
         QStringLiteral("SPEC")},
        {QStringLiteral("fault"),
         QStringLiteral("A fault on demand (repeatable): KIND[:ARG][,unit=N][,function=F][,address=A-B]"
                        "[,every=N|,rate=P]. KIND: noanswer, exception:CODE (e.g. exception:6 busy), delay:MS or "
                        "delay:MIN-MAX, wrongunit, wrongtid (TCP), badcrc (RTU), cut, lyingcount. Example: "
                        "exception:6,unit=2,function=3,every=3."),
         QStringLiteral("SPEC")},
        {QStringLiteral("seed"), QStringLiteral("Seed of the faults given by a rate and of random delays (1)."),
         QStringLiteral("N")},
        {QStringLiteral("image"),
         QStringLiteral("Load units, values, types, descriptions, generators and faults from the JSON image FILE "
                        "(see the manual page; zorp-poll --dump writes one from a real device). Options given "
                        "beside it apply on top."),
         QStringLiteral("FILE")},
        {QStringLiteral("save"), QStringLiteral("Write the image, with what masters wrote, back to the --image FILE "
                                                "at every --save-interval and on exit (atomically).")},
        {QStringLiteral("save-interval"), QStringLiteral("Seconds between saves when masters wrote something (10)."),
         QStringLiteral("SECONDS")},
        {QStringLiteral("registers"), QStringLiteral("Register values from wire address START."),
         QStringLiteral("START=V1,V2,...")},
        {QStringLiteral("coils"), QStringLiteral("Coil states from wire address START."), QStringLiteral("START=0|1,...")},
        {QStringLiteral("map"), QStringLiteral("The points of a register map, at their values."), QStringLiteral("FILE")},
        {QStringLiteral("inputs"), QStringLiteral("Input register values from wire address START."),
         QStringLiteral("START=V1,V2,...")},
        {QStringLiteral("discrete"), QStringLiteral("Discrete input states from wire address START."),
         QStringLiteral("START=0|1,...")},
        {QStringLiteral("device-id"), QStringLiteral("Read Device Identification objects."),
         QStringLiteral("VENDOR,PRODUCT,REVISION")},
        {QStringLiteral("designed"), QStringLiteral("The engine's designed listening mode instead of a standard slave.")},
        {QStringLiteral("max-clients"), QStringLiteral("TCP masters served at the same time (32; 1 with "
                                                       "--designed, up to 4096); when all are "
                                                       "taken, a new one replaces the one idle longest."),
         QStringLiteral("N")},
    });
    p.addHelpOption();
    if (!p.parse(app.arguments()))
        Usage(p.errorText());
    if (p.isSet(QStringLiteral("help")))
        p.showHelp(0);
    if (!p.positionalArguments().isEmpty())
        Usage(QStringLiteral("unexpected argument '%1'").arg(p.positionalArguments().first()));

    const int links = int(p.isSet(QStringLiteral("tcp"))) + int(p.isSet(QStringLiteral("rtu-tcp"))) +
                      int(p.isSet(QStringLiteral("serial")));
    if (links != 1)
        Usage(QStringLiteral("give exactly one of --tcp, --rtu-tcp and --serial"));

    TVexaModbus mdb(&app);
    mdb.SetTimeout(1000); // a partial request silent for a second is dropped
    QString linkName;
    QString where;
    const QString bind = p.isSet(QStringLiteral("bind")) ? p.value(QStringLiteral("bind")) : QStringLiteral("0.0.0.0");
    if (p.isSet(QStringLiteral("serial"))) {
        const QString device = p.value(QStringLiteral("serial"));
        mdb.SetInterfaceType(mbiRS485);
        mdb.SetProtocol(mbpRTU);
        // COMn names a port as the tester and zorp-poll do (see "comports.ini").
        const int com = zorp::ComNumberOfName(device);
        if (com < 0)
            Usage(QStringLiteral("serial port %1 is out of range COM1..COM65535").arg(device));
        if (com > 0)
            mdb.SetComNumber(com);
        else
            mdb.CommPort()->SetDevicePathOverride(device);
        mdb.SetComSpeed(int32_t(ParseNumber(p.value(QStringLiteral("baud")).isEmpty() ? QStringLiteral("9600")
                                                                                       : p.value(QStringLiteral("baud")),
                                            1, 4000000, "--baud")));
        if (p.isSet(QStringLiteral("data-bits")))
            mdb.SetDataBits(uint16_t(ParseNumber(p.value(QStringLiteral("data-bits")), 5, 8, "--data-bits")));
        if (p.isSet(QStringLiteral("stop-bits")))
            mdb.SetStopBits(uint16_t(ParseNumber(p.value(QStringLiteral("stop-bits")), 1, 2, "--stop-bits")));
        const QString parity = p.value(QStringLiteral("parity")).toUpper();
        if (parity.isEmpty() || parity == QLatin1String("N"))
            mdb.SetParity(pNone);
        else if (parity == QLatin1String("E"))
            mdb.SetParity(pEven);
        else if (parity == QLatin1String("O"))
            mdb.SetParity(pOdd);
        else
            Usage(QStringLiteral("--parity must be N, E or O"));
        linkName = QStringLiteral("serial");
        where = device;
    } else {
        const bool tcp = p.isSet(QStringLiteral("tcp"));
        const QString port = p.value(tcp ? QStringLiteral("tcp") : QStringLiteral("rtu-tcp"));
        mdb.SetInterfaceType(mbiEthernet);
        mdb.SetProtocol(tcp ? mbpTCP : mbpRTU);
        mdb.SetEthPort(uint16_t(ParseNumber(port, 0, 65535, "PORT")));
        mdb.CommPort()->WsBindAddress = bind;
        linkName = tcp ? QStringLiteral("tcp") : QStringLiteral("rtu-tcp");
    }
    const bool standard = !p.isSet(QStringLiteral("designed"));
    if (!standard) {
        for (const char* o : {"shared-image", "unknown-unit", "generate", "fault", "image", "save", "seed"})
            if (p.isSet(QLatin1String(o)))
                Usage(QStringLiteral("--%1 needs the standard slave (not --designed)").arg(QLatin1String(o)));
        if (p.isSet(QStringLiteral("unit")))
            mdb.SetDeviceID(uint8_t(ParseNumber(p.value(QStringLiteral("unit")), 0, 255, "--unit")));
    }
    mdb.SetStandardProfile(standard);
    {
        const long n = p.isSet(QStringLiteral("max-clients"))
                           ? ParseNumber(p.value(QStringLiteral("max-clients")), 1, 4096, "--max-clients")
                           : (standard ? 32 : 1);
        mdb.SetMaxClients(int(n));
        // Every master is a descriptor: take what the system allows.
        rlimit rl{};
        if (::getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rlim_t(n) + 64 && rl.rlim_cur < rl.rlim_max) {
            rl.rlim_cur = std::min<rlim_t>(rl.rlim_max, rlim_t(n) + 64);
            ::setrlimit(RLIMIT_NOFILE, &rl);
        }
    }
    {
        QStringList id = {QStringLiteral("ZORP"), QStringLiteral("zorp-slave"), QStringLiteral("1.0")};
        if (p.isSet(QStringLiteral("device-id"))) {
            id = p.value(QStringLiteral("device-id")).split(QLatin1Char(','));
            if (id.size() != 3)
                Usage(QStringLiteral("--device-id takes VENDOR,PRODUCT,REVISION"));
            for (const QString& text : id)
                if (text.size() > 200 || text.toLatin1() != text.toUtf8())
                    Usage(QStringLiteral("--device-id texts are plain ASCII of at most 200 characters"));
        }
        mdb.SetDeviceIdentification(id[0], id[1], id[2]);
    }

    std::vector<Demo::Entry> given;
    for (const QString& run : p.values(QStringLiteral("registers")))
        ParseRun(run, zorp::sim::Table::Holding, given);
    for (const QString& run : p.values(QStringLiteral("coils")))
        ParseRun(run, zorp::sim::Table::Coils, given);
    for (const QString& run : p.values(QStringLiteral("inputs")))
        ParseRun(run, zorp::sim::Table::Inputs, given);
    for (const QString& run : p.values(QStringLiteral("discrete")))
        ParseRun(run, zorp::sim::Table::Discrete, given);
    const bool map = p.isSet(QStringLiteral("map"));
    if (QString error; map && !RegisterMapEntries(p.value(QStringLiteral("map")), given, error))
        Usage(error);

    zorp::sim::SimServer sim;
    const QString imagePath = p.value(QStringLiteral("image"));
    const bool save = p.isSet(QStringLiteral("save"));
    if (save && imagePath.isEmpty())
        Usage(QStringLiteral("--save writes back to the --image FILE: give one"));
    if (standard)
        SetUpSimulation(p, mdb, sim, imagePath, save);

    // Where the values go: the images of the simulated units, or the
    // engine's own images in the designed mode.
    const Demo::Sink sink = [&](const std::vector<Demo::Entry>& entries) {
        if (standard) {
            for (const uint8_t u : sim.Units())
                if (zorp::sim::UnitImage* img = sim.Unit(u))
                    for (const Demo::Entry& e : entries)
                        img->SetWord(e.table, e.address, e.value);
            return;
        }
        std::vector<uint16_t> regs(65536), inputs(65536);
        std::vector<bool> bits(65536), discrete(65536);
        mdb.Get_MapData(regs);
        mdb.Get_CoilData(bits);
        mdb.Get_InputRegData(inputs);
        mdb.Get_DiscreteData(discrete);
        for (const Demo::Entry& e : entries) {
            switch (e.table) {
            case zorp::sim::Table::Holding: regs[e.address] = e.value; break;
            case zorp::sim::Table::Coils: bits[e.address] = e.value != 0; break;
            case zorp::sim::Table::Inputs: inputs[e.address] = e.value; break;
            case zorp::sim::Table::Discrete: discrete[e.address] = e.value != 0; break;
            }
        }
        mdb.Set_MapData(regs);
        mdb.Set_CoilData(bits);
        mdb.Set_InputRegData(inputs);
        mdb.Set_DiscreteData(discrete);
    };
    sink(given);
    auto givenIn = [&](zorp::sim::Table t) {
        return std::any_of(given.begin(), given.end(), [t](const Demo::Entry& e) { return e.table == t; });
    };
    Demo demo(sink);
    // Each image without values of its own serves the demonstration (the
    // coils only when no registers were given either, as before); an image
    // file, a register map or generators mean the user set the image up.
    if (imagePath.isEmpty() && !map && sim.Generators.empty()) {
        const bool regs = !givenIn(zorp::sim::Table::Holding);
        demo.Start(regs, regs && !givenIn(zorp::sim::Table::Coils), !givenIn(zorp::sim::Table::Inputs),
                   !givenIn(zorp::sim::Table::Discrete));
    }

    // Signals reach the event loop through a pipe.
    if (::pipe(gSignalPipe) != 0) {
        std::perror("zorp-slave: pipe");
        return 1;
    }
    ::fcntl(gSignalPipe[0], F_SETFL, O_NONBLOCK);
    ::fcntl(gSignalPipe[1], F_SETFL, O_NONBLOCK);
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    QSocketNotifier signalNotifier(gSignalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [&] {
        char c;
        while (::read(gSignalPipe[0], &c, 1) > 0) {}
        Say(QStringLiteral("stopped"));
        QCoreApplication::exit(0);
    });

    bool announced = false;
    int lastError = 0;
    mdb.OnListen = [&](QObject*) {
        lastError = 0;
        if (announced)
            return;
        announced = true;
        if (linkName != QLatin1String("serial")) {
            const uint16_t port = mdb.CommPort()->ServerPort();
            mdb.SetEthPort(port); // listening again after a transport error keeps the port
            where = QStringLiteral("%1:%2").arg(bind).arg(port);
        }
        Say(QStringLiteral("listening on %1 %2").arg(linkName, where));
    };
    // Where a request came from: the master's address and port, or the line.
    auto origin = [&]() -> QString {
        if (linkName == QLatin1String("serial"))
            return where;
        return QStringLiteral("%1:%2").arg(mdb.CommPort()->PeerAddress()).arg(mdb.CommPort()->PeerPort());
    };
    mdb.OnClientConnect = [&](QObject*, const QString& ip) {
        const uint16_t peerPort = mdb.CommPort()->PeerPort();
        Say(peerPort ? QStringLiteral("client connected %1:%2").arg(ip).arg(peerPort)
                     : QStringLiteral("client connected %1").arg(ip));
    };
    mdb.OnClientDisconnect = [&](QObject*) { Say(QStringLiteral("client disconnected")); };
    mdb.CommPort()->OnWsFull = [&](TCommPort*, const QString& peer, bool replaced) {
        Say(replaced ? QStringLiteral("closed idle connection of %1 to take a new master").arg(peer)
                     : QStringLiteral("refused connection of %1: every place is taken and none idle").arg(peer));
    };
    mdb.OnError = [&](QObject*, int32_t code) {
        if (!announced) {
            const QString target = linkName == QLatin1String("serial")
                                       ? where
                                       : QStringLiteral("%1:%2").arg(bind).arg(mdb.EthPort());
            std::fprintf(stderr, "zorp-slave: cannot listen on %s %s (error %d)\n",
                         linkName.toLocal8Bit().constData(), target.toLocal8Bit().constData(), int(code));
            QCoreApplication::exit(1);
            return;
        }
        // A link failure ends listening: take it up again, once a second
        // while the device or address cannot be opened.
        if (code != lastError)
            Say(QStringLiteral("link error %1; listening again").arg(code));
        lastError = code;
        QTimer::singleShot(code == 15 ? 100 : 1000, &app, [&] { mdb.Listen(); });
    };
    mdb.OnSlaveRefused = [&](QObject*, uint8_t fc, uint8_t code) {
        if (code == 0)
            Say(QStringLiteral("closed connection of %1: not a Modbus TCP header").arg(origin()));
        else
            Say(QStringLiteral("refused fc %1 from %2: exception %3")
                    .arg(fc)
                    .arg(origin())
                    .arg(code, 2, 10, QLatin1Char('0')));
    };
    mdb.OnSlaveWrite = [&](QObject*, uint8_t fc, uint16_t a, uint16_t q) {
        const uint32_t last = uint32_t(a) + q - 1;
        switch (fc) {
        case 5: {
            std::vector<bool> bits(size_t(a) + 1);
            mdb.Get_CoilData(bits);
            Say(QStringLiteral("write coil %1 = %2").arg(a).arg(bits[a] ? 1 : 0));
            break;
        }
        case 15: {
            std::vector<bool> bits(65536);
            mdb.Get_CoilData(bits);
            Say(QStringLiteral("write coils %1..%2 = %3").arg(a).arg(last).arg(JoinBits(bits, a, q)));
            break;
        }
        default: {
            std::vector<uint16_t> regs(65536);
            mdb.Get_MapData(regs);
            const char* what = fc == 102 ? "write special register"
                               : fc == 22 ? "mask write register"
                               : (fc == 16 || fc == 23) ? "write registers"
                                                        : "write register";
            if (fc == 16 || fc == 23)
                Say(QStringLiteral("%1 %2..%3 = %4").arg(QLatin1String(what)).arg(a).arg(last).arg(JoinValues(regs, a, q)));
            else
                Say(QStringLiteral("%1 %2 = %3").arg(QLatin1String(what)).arg(a).arg(regs[a]));
            break;
        }
        }
    };

    // The simulated units' side of the same report.
    auto unitText = [&](uint8_t unit) {
        return sim.Units().size() > 1 ? QStringLiteral("unit %1: ").arg(unit) : QString();
    };
    sim.OnWrite = [&](uint8_t unit, uint8_t fc, zorp::sim::Table table, uint16_t a, uint16_t q) {
        const zorp::sim::UnitImage* img = sim.Unit(unit);
        if (!img) {
            Say(QStringLiteral("broadcast write fc %1 at %2 (%3 entries)").arg(fc).arg(a).arg(q));
            return;
        }
        const uint32_t last = uint32_t(a) + q - 1;
        if (table == zorp::sim::Table::Coils) {
            if (fc == 5)
                Say(QStringLiteral("%1write coil %2 = %3").arg(unitText(unit)).arg(a).arg(img->coils[a] ? 1 : 0));
            else
                Say(QStringLiteral("%1write coils %2..%3 = %4").arg(unitText(unit)).arg(a).arg(last).arg(JoinBits(img->coils, a, q)));
            return;
        }
        const char* what = fc == 102 ? "write special register"
                           : fc == 22 ? "mask write register"
                           : (fc == 16 || fc == 23) ? "write registers"
                                                    : "write register";
        if (fc == 16 || fc == 23)
            Say(QStringLiteral("%1%2 %3..%4 = %5").arg(unitText(unit), QLatin1String(what)).arg(a).arg(last).arg(JoinValues(img->holding, a, q)));
        else
            Say(QStringLiteral("%1%2 %3 = %4").arg(unitText(unit), QLatin1String(what)).arg(a).arg(img->holding[a]));
    };
    sim.OnRefused = [&](uint8_t unit, uint8_t fc, uint8_t code) {
        Say(QStringLiteral("%1refused fc %2 from %3: exception %4")
                .arg(unitText(unit))
                .arg(fc)
                .arg(origin(), QStringLiteral("%1").arg(code, 2, 16, QLatin1Char('0')).toUpper()));
    };
    sim.OnFault = [&](uint8_t unit, uint8_t fc, const QString& faults) {
        Say(QStringLiteral("fault %1 on fc %2 for unit %3 from %4").arg(faults).arg(fc).arg(unit).arg(origin()));
    };

    // Saving: at the interval when a master wrote since the last save, and at the end.
    QTimer saveTimer;
    uint64_t savedWrites = 0;
    auto writesSoFar = [&] {
        uint64_t n = 0;
        for (uint8_t u : sim.Units())
            n += sim.Unit(u)->writes;
        return n;
    };
    auto saveImage = [&](bool always, bool quiet) {
        const uint64_t writes = writesSoFar();
        if (!always && writes == savedWrites)
            return;
        QString error;
        if (zorp::sim::SaveImageFile(imagePath, sim, error)) {
            savedWrites = writes;
            if (!quiet)
                Say(QStringLiteral("saved %1").arg(imagePath));
        } else {
            std::fprintf(stderr, "zorp-slave: %s\n", error.toLocal8Bit().constData());
        }
    };
    if (save) {
        const long seconds = p.isSet(QStringLiteral("save-interval"))
                                 ? ParseNumber(p.value(QStringLiteral("save-interval")), 1, 86400, "--save-interval")
                                 : 10;
        QObject::connect(&saveTimer, &QTimer::timeout, [&] { saveImage(false, false); });
        saveTimer.start(int(seconds * 1000));
    }

    mdb.Listen();
    const int rc = app.exec();
    if (save)
        saveImage(true, true); // after "stopped": its line stays the last
    mdb.OnListen = nullptr;
    mdb.OnError = nullptr;
    mdb.OnClientDisconnect = nullptr;
    return rc;
}
