// SPDX-License-Identifier: GPL-3.0-or-later
// zorp-slave: a Modbus slave simulator on the engine's listening mode.
//
//   zorp-slave (--tcp PORT | --rtu-tcp PORT | --serial DEVICE [--baud N]
//              [--parity N|E|O] [--data-bits N] [--stop-bits N])
//              [--bind ADDRESS] [--unit N] [--designed] [--max-clients N]
//              [--registers START=V1,V2,...]... [--coils START=0|1,...]...
//              [--inputs START=V1,V2,...]... [--discrete START=0|1,...]...
//              [--device-id VENDOR,PRODUCT,REVISION]
//
// It answers as a standard Modbus slave for its unit: functions 1 to 6,
// 8/00, 15, 16, 22, 23, 43/14 and 102 from images of coils, discrete
// inputs, holding and input registers (START is the wire address, the
// image index), exception 01 for any other function; --designed restores
// the engine's designed listening mode (1, 3, 5, 6, 15, 16, 102 only). It
// prints a line for every client that connects or leaves, every write it
// carries out and every request it refuses, and runs until SIGINT or
// SIGTERM. An image given no values serves a small demonstration that
// changes once a second. The first line says where it listens, e.g.
// "listening on tcp 127.0.0.1:5020"; PORT 0 picks a free port; it listens
// on every interface unless --bind names one.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include "StrictInt.h"
#include "CommPort.h"
#include "EventLoop.h"
#include "SerialPorts.h"
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
                 "                  [--data-bits N] [--stop-bits N]) [--bind ADDRESS] [--unit N]\n"
                 "                  [--designed] [--max-clients N]\n"
                 "                  [--registers START=V1,V2,...]... [--coils START=0|1,...]... [--map FILE]\n"
                 "                  [--inputs START=V1,V2,...]... [--discrete START=0|1,...]...\n"
                 "                  [--device-id VENDOR,PRODUCT,REVISION]\n");
    std::exit(2);
}

long ParseNumber(const QString& text, long min, long max, const char* what)
{
    int64_t v = 0;
    if (!zorp::ParseInt(text.trimmed(), min, max, v, zorp::IntSign | zorp::IntHexPrefix))
        Usage(QStringLiteral("%1 must be a number from %2 to %3, not '%4'").arg(QLatin1String(what)).arg(min).arg(max).arg(text));
    return v;
}

// "START=V1,V2,..." into the start index and the values.
void ParseRun(const QString& spec, bool coils, std::vector<uint16_t>& regs, std::vector<bool>& bits)
{
    const int eq = spec.indexOf(QLatin1Char('='));
    if (eq <= 0)
        Usage(QStringLiteral("expected START=V1,V2,... in '%1'").arg(spec));
    const long start = ParseNumber(spec.left(eq), 0, 65535, "START");
    const QStringList values = spec.mid(eq + 1).split(QLatin1Char(','), Qt::SkipEmptyParts);
    if (values.isEmpty() || start + values.size() > 65536)
        Usage(QStringLiteral("'%1' gives no values or runs past address 65535").arg(spec));
    for (int i = 0; i < values.size(); ++i) {
        if (coils)
            bits[size_t(start + i)] = ParseNumber(values[i], 0, 1, "a coil") != 0;
        else
            regs[size_t(start + i)] = static_cast<uint16_t>(ParseNumber(values[i], -32768, 65535, "a register"));
    }
}

QString JoinValues(const std::vector<uint16_t>& regs, uint16_t a, uint16_t q)
{
    QStringList parts;
    for (uint32_t k = 0; k < q && a + k < regs.size(); ++k) {
        if (k == 32) { parts << QStringLiteral("..."); break; }
        parts << QString::number(regs[a + k]);
    }
    return parts.join(QLatin1Char(','));
}

QString JoinBits(const std::vector<bool>& bits, uint16_t a, uint16_t q)
{
    QStringList parts;
    for (uint32_t k = 0; k < q && a + k < bits.size(); ++k) {
        if (k == 64) { parts << QStringLiteral("..."); break; }
        parts << QString::number(bits[a + k] ? 1 : 0);
    }
    return parts.join(QLatin1Char(','));
}

// The demonstration image: a seconds counter (0), the uptime as a 32-bit
// number (1-2, high word first), a sawtooth 0..99 (3), a 32-bit float that
// swings around 230.0 (4-5, high word first), a text (10-17, two characters
// per register, first character in the high byte), and a running light on
// coils 0-7; input registers 0-9 hold 1000 plus ten times their address,
// input register 0 the seconds counter; discrete inputs 0-7 show the
// running light inverted.
class Demo {
public:
    explicit Demo(TVexaModbus& mdb) : FMdb(mdb) {}
    void Start(bool registers, bool coils, bool inputs, bool discrete)
    {
        FRegisters = registers;
        FCoils = coils;
        FInputs = inputs;
        FDiscrete = discrete;
        if (!registers && !coils && !inputs && !discrete)
            return;
        Tick();
        QObject::connect(&FTimer, &QTimer::timeout, [this] { Tick(); });
        FTimer.start(1000);
    }

private:
    void Tick()
    {
        if (FRegisters) {
            std::vector<uint16_t> regs(65536);
            FMdb.Get_MapData(regs);
            regs[0] = static_cast<uint16_t>(FSeconds);
            regs[1] = static_cast<uint16_t>(FSeconds >> 16);
            regs[2] = static_cast<uint16_t>(FSeconds);
            regs[3] = static_cast<uint16_t>(FSeconds % 100);
            const float value = 230.0f + 5.0f * float(std::sin(double(FSeconds) / 10.0));
            uint32_t raw;
            std::memcpy(&raw, &value, sizeof raw);
            regs[4] = static_cast<uint16_t>(raw >> 16);
            regs[5] = static_cast<uint16_t>(raw);
            const char text[] = "Demo slave      ";
            for (int i = 0; i < 8; ++i)
                regs[size_t(10 + i)] = static_cast<uint16_t>((uint8_t(text[2 * i]) << 8) | uint8_t(text[2 * i + 1]));
            FMdb.Set_MapData(regs);
        }
        if (FCoils) {
            std::vector<bool> bits(65536);
            FMdb.Get_CoilData(bits);
            for (int i = 0; i < 8; ++i)
                bits[size_t(i)] = (FSeconds % 8) == uint32_t(i);
            FMdb.Set_CoilData(bits);
        }
        if (FInputs) {
            std::vector<uint16_t> regs(65536);
            FMdb.Get_InputRegData(regs);
            for (int i = 0; i < 10; ++i)
                regs[size_t(i)] = static_cast<uint16_t>(1000 + 10 * i);
            regs[0] = static_cast<uint16_t>(FSeconds);
            FMdb.Set_InputRegData(regs);
        }
        if (FDiscrete) {
            std::vector<bool> bits(65536);
            FMdb.Get_DiscreteData(bits);
            for (int i = 0; i < 8; ++i)
                bits[size_t(i)] = (FSeconds % 8) != uint32_t(i);
            FMdb.Set_DiscreteData(bits);
        }
        ++FSeconds;
    }

    TVexaModbus& FMdb;
    QTimer FTimer;
    uint32_t FSeconds = 0;
    bool FRegisters = false;
    bool FCoils = false;
    bool FInputs = false;
    bool FDiscrete = false;
};

} // namespace

int main(int argc, char** argv)
{
    zorp::UseToolEventLoop();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zorp-slave"));

    QCommandLineParser p;
    p.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    p.addOptions({
        {QStringLiteral("tcp"), QStringLiteral("Modbus TCP on PORT."), QStringLiteral("PORT")},
        {QStringLiteral("rtu-tcp"), QStringLiteral("RTU frames over TCP on PORT."), QStringLiteral("PORT")},
        {QStringLiteral("serial"), QStringLiteral("RTU on the serial DEVICE."), QStringLiteral("DEVICE")},
        {QStringLiteral("baud"), QStringLiteral("Baud rate (9600)."), QStringLiteral("N")},
        {QStringLiteral("parity"), QStringLiteral("Parity N, E or O (N)."), QStringLiteral("N|E|O")},
        {QStringLiteral("data-bits"), QStringLiteral("Data bits (8)."), QStringLiteral("N")},
        {QStringLiteral("stop-bits"), QStringLiteral("Stop bits (1)."), QStringLiteral("N")},
        {QStringLiteral("bind"), QStringLiteral("Local address to listen on (all)."), QStringLiteral("ADDRESS")},
        {QStringLiteral("unit"), QStringLiteral("Slave address / unit identifier (1)."), QStringLiteral("N")},
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
        {QStringLiteral("max-clients"), QStringLiteral("TCP masters served at the same time (1); when all are "
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
    if (p.isSet(QStringLiteral("unit")))
        mdb.SetDeviceID(uint8_t(ParseNumber(p.value(QStringLiteral("unit")), 0, 255, "--unit")));

    const bool standard = !p.isSet(QStringLiteral("designed"));
    mdb.SetStandardProfile(standard);
    if (p.isSet(QStringLiteral("max-clients"))) {
        const long n = ParseNumber(p.value(QStringLiteral("max-clients")), 1, 64, "--max-clients");
        mdb.SetMaxClients(int(n));
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

    const QStringList regRuns = p.values(QStringLiteral("registers"));
    const QStringList coilRuns = p.values(QStringLiteral("coils"));
    const QStringList inputRuns = p.values(QStringLiteral("inputs"));
    const QStringList discreteRuns = p.values(QStringLiteral("discrete"));
    {
        std::vector<uint16_t> regs(65536), inputs(65536);
        std::vector<bool> bits(65536), discrete(65536);
        for (const QString& run : regRuns)
            ParseRun(run, false, regs, bits);
        for (const QString& run : coilRuns)
            ParseRun(run, true, regs, bits);
        for (const QString& run : inputRuns)
            ParseRun(run, false, inputs, discrete);
        for (const QString& run : discreteRuns)
            ParseRun(run, true, inputs, discrete);
        QString error;
        if (p.isSet(QStringLiteral("map")) && !ApplyRegisterMap(p.value(QStringLiteral("map")), {regs, inputs, bits, discrete}, error))
            Usage(error);
        mdb.Set_MapData(regs);
        mdb.Set_CoilData(bits);
        mdb.Set_InputRegData(inputs);
        mdb.Set_DiscreteData(discrete);
    }
    Demo demo(mdb);
    // Each image without values of its own serves the demonstration (the
    // coils only when no registers were given either, as before).
    const bool map = p.isSet(QStringLiteral("map"));
    demo.Start(regRuns.isEmpty() && !map, regRuns.isEmpty() && coilRuns.isEmpty() && !map, inputRuns.isEmpty() && !map,
               discreteRuns.isEmpty() && !map);

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

    mdb.Listen();
    const int rc = app.exec();
    mdb.OnListen = nullptr;
    mdb.OnError = nullptr;
    mdb.OnClientDisconnect = nullptr;
    return rc;
}
