// SPDX-License-Identifier: GPL-3.0-or-later
#include "Poller.h"

#include <QCoreApplication>
#include <algorithm>
#include <cstdio>

#include "CommPort.h"
#include "ErrorText.h"
#include "ModbusFrames.h"
#include "VexaModbus.h"

namespace {

// A slave's exception (the answer is a Modbus exception response).
bool IsException(int code) { return (code >= 20 && code <= 23) || code == 30; }

// Codes that leave no link to poll on.
bool IsLinkLost(int code) { return code == 0 || code == 1 || code == 15 || code == 16; }

void ClearEvents(TVexaModbus& m)
{
    m.OnConnect = nullptr;
    m.OnDisconnect = nullptr;
    m.OnError = nullptr;
    m.OnReadCoils = nullptr;
    m.OnReadDiscreteInputs = nullptr;
    m.OnReadHoldingRegs = nullptr;
    m.OnReadInputRegs = nullptr;
    m.OnWriteSingleCoil = nullptr;
    m.OnWriteSingleReg = nullptr;
    m.OnWriteMultiCoils = nullptr;
    m.OnWriteMultiRegs = nullptr;
}

// Leaves the event handler first: the engine may still be inside a pass.
void ExitSoon(int code)
{
    QTimer::singleShot(0, QCoreApplication::instance(), [code] { QCoreApplication::exit(code); });
}

int WatchdogMs(const Options& o, long tries)
{
    const qint64 perAttempt = o.timeout + 100;
    return int(std::min<qint64>(perAttempt * (tries + 1) + 2000, 2000000000));
}

// Registers of an answer to function 2 arrive packed; the engine hands coils
// over one flag each.
std::vector<bool> Unpack(const std::vector<uint8_t>& data, size_t count)
{
    return zorp::UnpackBits(data.data(), data.size(), count);
}

} // namespace

void ConfigureEngine(TVexaModbus& m, const Options& o)
{
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
    if (o.removeEcho) m.SetRemoveEcho(true);
}

std::string ReportEngineError(int32_t code, const Options& o)
{
    const std::string meaning = zorp::ExplainError(code, uint16_t(o.retries), uint32_t(o.timeout));
    std::string line = "error " + std::to_string(code) + ": " + meaning;
    if (const char* message = zorp::ErrorMessage(code)) line += std::string(" (") + message + ")";
    std::fprintf(stderr, "%s\n", line.c_str());
    return meaning;
}

// ---- Poller ---------------------------------------------------------------

Poller::Poller(const Options& o) : FOpt(o), FMdb(new TVexaModbus(nullptr)), FOutput(FOpt)
{
    TVexaModbus& m = *FMdb;
    ConfigureEngine(m, o);
    FFlushEach = o.repeat == 0 || o.interval > 0;

    m.OnConnect = [this](QObject*) { LinkUp(); };
    m.OnDisconnect = [this](QObject*) {
        if (!FDone) Finish(QStringLiteral("link closed"));
    };
    m.OnError = [this](QObject*, int32_t code) { Error(code); };
    m.OnReadCoils = [this](QObject*, uint8_t, uint16_t, uint16_t, const std::vector<bool>& data) {
        if (FDone) return;
        const size_t want = size_t(FOpt.count);
        // The engine pads a short answer with False; refuse it as for 02,
        // by the byte count the slave really sent.
        const size_t bytes = (want + 7) / 8;
        if (FMdb->ResponseByteCount() != bytes) {
            Short(FMdb->ResponseByteCount(), bytes, "bytes");
            return;
        }
        if (data.size() < want) {
            Short(data.size(), want, "items");
            return;
        }
        Bits(std::vector<bool>(data.begin(), data.begin() + long(want)));
    };
    m.OnReadDiscreteInputs = [this](QObject*, uint8_t, uint16_t, uint16_t, const std::vector<uint8_t>& data) {
        if (FDone) return;
        // Packed, least significant bit first; exactly the bytes the count needs.
        const size_t bytes = (size_t(FOpt.count) + 7) / 8;
        if (data.size() != bytes) {
            Short(data.size(), bytes, "bytes");
            return;
        }
        Bits(Unpack(data, size_t(FOpt.count)));
    };
    auto regs = [this](QObject*, uint8_t, uint16_t, uint16_t, const std::vector<uint8_t>& data) { Registers(data); };
    m.OnReadHoldingRegs = regs;
    m.OnReadInputRegs = regs;
    auto written = [this](QObject*) {
        if (FDone || !FPending) return;
        FPending = false;
        ++FResponses;
        FOutput.Written();
        Done();
    };
    m.OnWriteSingleCoil = written;
    m.OnWriteSingleReg = written;
    m.OnWriteMultiCoils = written;
    m.OnWriteMultiRegs = written;

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
    FPace.setSingleShot(true);
    FPace.setTimerType(Qt::PreciseTimer);
    QObject::connect(&FPace, &QTimer::timeout, [this] { Next(); });
}

Poller::~Poller()
{
    // The engine outlives nothing it reports to.
    ClearEvents(*FMdb);
    delete FMdb;
}

void Poller::Start()
{
    FLinkTimer.start(int(FOpt.timeout));
    FMdb->Connect();
}

void Poller::LinkUp()
{
    if (FLinkUp || FDone) return;
    FLinkUp = true;
    FLinkTimer.stop();
    FClock.start();
    Next();
}

void Poller::Next()
{
    if (FDone) return;
    if (FOpt.repeat != 0 && FPolls >= FOpt.repeat) {
        Finish(QString());
        return;
    }
    if (!FMdb->Connected()) {
        Finish(QStringLiteral("link lost"));
        return;
    }
    ++FPolls;
    FPending = true;
    FPollStart = FClock.elapsed();
    FWatchdog.start(WatchdogMs(FOpt, FOpt.retries + 1));
    Issue();
}

void Poller::Issue()
{
    TVexaModbus& m = *FMdb;
    const uint16_t a = uint16_t(FOpt.address); // 65536 travels as 0: wire address 65535
    switch (FOpt.function) {
    case 1: m.ReadCoils(a, uint8_t(FOpt.count)); break;
    case 2: m.ReadDiscreteInputs(a, uint8_t(FOpt.count)); break;
    case 3: m.ReadHoldingRegs(a, uint8_t(FOpt.count)); break;
    case 4: m.ReadInputRegs(a, uint8_t(FOpt.count)); break;
    case 5: m.WriteSingleCoil(a, FOpt.bits.at(0), false); break;
    case 6: m.WriteSingleReg(a, FOpt.words.at(0)); break;
    case 15: m.WriteMultiCoils(a, uint16_t(FOpt.bits.size()), FOpt.bits, false); break;
    default: m.WriteMultiRegs(a, uint16_t(FOpt.words.size()), FOpt.words); break;
    }
}

// One poll is over: the next one now, or when the interval says.
void Poller::Done()
{
    if (FFlushEach) std::fflush(stdout);
    if (FOpt.interval <= 0) {
        Next();
        return;
    }
    const qint64 wait = FPollStart + FOpt.interval - FClock.elapsed();
    FPace.start(int(std::clamp<qint64>(wait, 0, 2000000000)));
}

void Poller::Bits(const std::vector<bool>& bits)
{
    if (!FPending) return;
    FPending = false;
    ++FResponses;
    if (!FOpt.quiet && FOpt.format == TOutputFormat::Text && FOpt.rows.empty()) {
        std::string out;
        out.reserve(bits.size() * 8);
        for (size_t k = 0; k < bits.size(); ++k) {
            out += std::to_string(FOpt.address + long(k));
            out += bits[k] ? "\t1\n" : "\t0\n";
        }
        std::fwrite(out.data(), 1, out.size(), stdout);
    } else {
        FOutput.Bits(bits);
    }
    Done();
}

void Poller::Registers(const std::vector<uint8_t>& data)
{
    if (FDone || !FPending) return;
    const size_t want = size_t(FOpt.count);
    if (data.size() != want * 2) {
        Short(data.size(), want * 2, "bytes");
        return;
    }
    FPending = false;
    ++FResponses;
    FOutput.Registers(data);
    Done();
}

// A response the engine accepted but that carries another number of items
// than was asked for: a faulty slave, counted as a failed poll.
void Poller::Short(size_t got, size_t want, const char* what)
{
    FPending = false;
    ++FErrors;
    const std::string meaning = "response carries " + std::to_string(got) + " data " + what + ", " +
                                std::to_string(want) + " expected";
    std::fprintf(stderr, "zorp-poll: %s\n", meaning.c_str());
    FOutput.Failed(-1, meaning);
    Done();
}

void Poller::Error(int32_t code)
{
    if (FDone) return;
    FPending = false;
    ++FErrors;
    const std::string meaning = ReportEngineError(code, FOpt);
    FOutput.Failed(code, meaning);
    if (IsLinkLost(code) || !FMdb->Connected()) {
        Finish(QString());
        return;
    }
    Done();
}

void Poller::Interrupt()
{
    if (FDone) return;
    // The poll under way has no outcome: it is not counted.
    if (FPending && FPolls > 0) --FPolls;
    FPending = false;
    Finish(QStringLiteral("interrupted"));
}

void Poller::Finish(const QString& why)
{
    if (FDone) return;
    FDone = true;
    FLinkTimer.stop();
    FWatchdog.stop();
    FPace.stop();
    std::fflush(stdout);
    if (!why.isEmpty()) std::fprintf(stderr, "zorp-poll: %s\n", why.toLocal8Bit().constData());
    const long long elapsed = FClock.isValid() ? FClock.elapsed() : 0;
    std::fprintf(stderr, "polls %ld responses %ld errors %ld elapsed_ms %lld\n", FPolls, FResponses, FErrors, elapsed);
    FExit = (FLinkUp && FPolls > 0 && FResponses == FPolls && FErrors == 0) ? 0 : 1;
    ExitSoon(FExit);
}

// ---- Scanner --------------------------------------------------------------

Scanner::Scanner(const Options& o) : FOpt(o), FOutput(FOpt)
{
    FLinkTimer.setSingleShot(true);
    QObject::connect(&FLinkTimer, &QTimer::timeout, [this] {
        if (FDone) return;
        std::fprintf(stderr, "zorp-poll: link not up within %ld ms\n", FOpt.timeout);
        LineFailed();
    });
    FWatchdog.setSingleShot(true);
    QObject::connect(&FWatchdog, &QTimer::timeout, [this] {
        if (FDone) return;
        std::fprintf(stderr, "zorp-poll: no outcome from the engine for unit %ld\n", FUnit);
        Finish(nullptr);
    });
}

Scanner::~Scanner() { DropEngine(); }

void Scanner::DropEngine()
{
    if (!FMdb) return;
    // Called only outside the engine's own events (NextLine runs from the
    // event queue): the port is closed before the next engine opens it.
    ClearEvents(*FMdb);
    FMdb->Disconnect();
    delete FMdb;
    FMdb = nullptr;
}

void Scanner::Start()
{
    FClock.start();
    FLine = 0;
    NextLine();
}

// Opens the link with the next line settings (one pass for TCP).
void Scanner::NextLine()
{
    if (FDone) return;
    DropEngine();
    const bool serial = FOpt.link == Options::Serial;
    const size_t bauds = serial ? FOpt.scanBauds.size() : 1;
    const size_t lines = serial ? bauds * FOpt.scanParities.size() : 1;
    if (FLine >= lines) {
        Finish(nullptr);
        return;
    }
    if (serial) {
        FOpt.baud = FOpt.scanBauds[FLine % bauds];
        FOpt.parity = FOpt.scanParities[FLine / bauds];
    }
    FMdb = new TVexaModbus(nullptr);
    TVexaModbus& m = *FMdb;
    ConfigureEngine(m, FOpt);
    // One try each.
    m.SetMaxRepeat(0);
    const unsigned gen = ++FGeneration;
    m.OnConnect = [this, gen](QObject*) {
        if (FDone || FAsking || gen != FGeneration) return;
        FLinkTimer.stop();
        FUnit = FOpt.scanFirst - 1;
        NextUnit();
    };
    m.OnDisconnect = [this, gen](QObject*) {
        if (FDone || gen != FGeneration) return;
        std::fprintf(stderr, "zorp-poll: link closed\n");
        LineFailed();
    };
    m.OnError = [this, gen](QObject*, int32_t code) {
        if (FDone || gen != FGeneration) return;
        if (!FAsking && IsLinkLost(code)) {
            ReportEngineError(code, FOpt);
            LineFailed();
            return;
        }
        Outcome(code);
    };
    auto data = [this](QObject*, uint8_t, uint16_t, uint16_t, const auto&) { Outcome(0); };
    m.OnReadCoils = data;
    m.OnReadDiscreteInputs = data;
    m.OnReadHoldingRegs = data;
    m.OnReadInputRegs = data;
    FLinkTimer.start(int(FOpt.timeout));
    m.Connect();
}

// The link with these line settings failed: the next settings on a serial
// link (out of the failing engine's event), the end on TCP.
void Scanner::LineFailed()
{
    ++FGeneration;
    FAsking = false;
    FLinkTimer.stop();
    FWatchdog.stop();
    if (FOpt.link != Options::Serial) {
        Finish(nullptr);
        return;
    }
    ++FLine;
    QTimer::singleShot(0, QCoreApplication::instance(), [this] { NextLine(); });
}

void Scanner::NextUnit()
{
    if (FDone) return;
    if (FUnit >= FOpt.scanLast) {
        // A new engine, out of the event of the old one.
        ++FGeneration;
        ++FLine;
        QTimer::singleShot(0, QCoreApplication::instance(), [this] { NextLine(); });
        return;
    }
    if (!FMdb->Connected()) {
        Outcome(16);
        return;
    }
    ++FUnit;
    ++FTried;
    FAsking = true;
    FMdb->SetDeviceID(uint8_t(FUnit));
    FWatchdog.start(WatchdogMs(FOpt, 1));
    const uint16_t a = uint16_t(FOpt.address);
    const uint8_t n = uint8_t(FOpt.count);
    switch (FOpt.function) {
    case 1: FMdb->ReadCoils(a, n); break;
    case 2: FMdb->ReadDiscreteInputs(a, n); break;
    case 3: FMdb->ReadHoldingRegs(a, n); break;
    default: FMdb->ReadInputRegs(a, n); break;
    }
}

void Scanner::Outcome(int code)
{
    if (FDone || !FAsking) return;
    FAsking = false;
    FWatchdog.stop();
    if (code == 0 || IsException(code)) {
        ++FAnswered;
        FOutput.ScanHit(FUnit, FOpt.baud, FOpt.parity, code, code ? zorp::ErrorMeaning(code) : "");
    } else if (IsLinkLost(code)) {
        ReportEngineError(code, FOpt);
        LineFailed();
        return;
    } else if (code != 4) {
        // Something answered, but not as this unit: noise, another line
        // setting or a slave at another address. Said, not counted.
        std::fprintf(stderr, "unit %ld: ", FUnit);
        ReportEngineError(code, FOpt);
    }
    NextUnit();
}

void Scanner::Interrupt()
{
    if (!FDone) Finish("interrupted");
}

void Scanner::Finish(const char* why)
{
    if (FDone) return;
    FDone = true;
    FLinkTimer.stop();
    FWatchdog.stop();
    std::fflush(stdout);
    if (why) std::fprintf(stderr, "zorp-poll: %s\n", why);
    std::fprintf(stderr, "scanned %ld answered %ld elapsed_ms %lld\n", FTried, FAnswered,
                 static_cast<long long>(FClock.elapsed()));
    FExit = FAnswered > 0 ? 0 : 1;
    ExitSoon(FExit);
}
