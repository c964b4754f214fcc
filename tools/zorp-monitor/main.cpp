// SPDX-License-Identifier: GPL-3.0-or-later
// zorp-monitor: a passive Modbus bus monitor.
//
//   zorp-monitor --serial DEVICE [--serial2 DEVICE] [--baud B] [--parity N|E|O]
//                [--stop-bits 1|2] [--format text|csv|json] [--pcap FILE]
//                [--stats] [--timeout MS] [--duration SECONDS]
//   zorp-monitor --proxy [ADDRESS:]PORT HOST:PORT [same output options]
//
// On a serial line it only listens (the port is opened read-only): it
// frames both directions of the bus, tells requests from answers, pairs
// every answer with its request and prints each frame with its time
// stamp, unit, function, content, the silence before it and the slave's
// turnaround; bad CRCs, noise and unanswered requests are flagged. With
// --serial2 the first port hears the master's pair of a four-wire bus,
// the second the slaves'. With --proxy it relays Modbus TCP between any
// number of masters and one slave and logs both directions the same way.
// It runs until SIGINT or SIGTERM, or for --duration seconds, and ends
// with a summary (--stats: per unit and function). Frames go to stdout;
// "listening on ..." and the summary of the csv and json formats go to
// stderr.
#include <QCoreApplication>
#include <QStringList>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "BusMonitor.h"
#include "BusStats.h"
#include "EventFormat.h"
#include "PcapWriter.h"
#include "MonitorSession.h"

using namespace zorp::monitor;

namespace {

int gSignalPipe[2] = {-1, -1};

void OnSignal(int)
{
    const char c = 1;
    [[maybe_unused]] const ssize_t n = ::write(gSignalPipe[1], &c, 1);
}

const char* const kUsage =
    "usage: zorp-monitor --serial DEVICE [--serial2 DEVICE] [--baud B] [--parity N|E|O]\n"
    "                    [--stop-bits 1|2] [output options]\n"
    "       zorp-monitor --proxy [ADDRESS:]PORT HOST:PORT [output options]\n"
    "output options: [--format text|csv|json] [--pcap FILE] [--stats] [--timeout MS]\n"
    "                [--duration SECONDS]\n";

[[noreturn]] void Usage(const std::string& error)
{
    std::fprintf(stderr, "zorp-monitor: %s\n%s", error.c_str(), kUsage);
    std::exit(2);
}

long Number(const QString& text, long min, long max, const char* what)
{
    bool ok = false;
    const long v = text.trimmed().toLong(&ok);
    if (!ok || v < min || v > max)
        Usage(std::string(what) + " must be a number from " + std::to_string(min) + " to " + std::to_string(max) +
              ", not '" + text.toStdString() + "'");
    return v;
}

struct Options {
    std::string serial, serial2, pcap;
    TapSettings line;
    Format format = Format::Text;
    bool stats = false;
    long timeoutMs = 1000;
    double duration = 0;
    std::string proxyListen, proxyTarget;
};

Options Parse(const QStringList& args)
{
    Options o;
    auto value = [&](int& i) -> QString {
        if (i + 1 >= args.size()) Usage("missing value after " + args[i].toStdString());
        return args[++i];
    };
    for (int i = 1; i < args.size(); ++i) {
        const QString a = args[i];
        if (a == u"--serial") o.serial = value(i).toStdString();
        else if (a == u"--serial2") o.serial2 = value(i).toStdString();
        else if (a == u"--baud") o.line.baud = int(Number(value(i), 50, 4000000, "--baud"));
        else if (a == u"--parity") {
            const QString p = value(i).toUpper();
            if (p != u"N" && p != u"E" && p != u"O") Usage("--parity must be N, E or O");
            o.line.parity = char(p[0].unicode());
        } else if (a == u"--stop-bits") o.line.stopBits = int(Number(value(i), 1, 2, "--stop-bits"));
        else if (a == u"--format") {
            const QString f = value(i);
            if (f == u"text") o.format = Format::Text;
            else if (f == u"csv") o.format = Format::Csv;
            else if (f == u"json") o.format = Format::Json;
            else Usage("--format must be text, csv or json");
        } else if (a == u"--pcap") o.pcap = value(i).toStdString();
        else if (a == u"--stats") o.stats = true;
        else if (a == u"--timeout") o.timeoutMs = Number(value(i), 1, 3600000, "--timeout");
        else if (a == u"--duration") {
            bool ok = false;
            o.duration = value(i).toDouble(&ok);
            if (!ok || o.duration <= 0 || o.duration > 1e7) Usage("--duration must be a positive number of seconds");
        } else if (a == u"--proxy") {
            o.proxyListen = value(i).toStdString();
            o.proxyTarget = value(i).toStdString();
        } else if (a == u"--help" || a == u"-h") {
            std::printf("zorp-monitor: a passive Modbus bus monitor and Modbus TCP relay\n%s", kUsage);
            std::exit(0);
        }
        else Usage("unknown option " + a.toStdString());
    }
    if (o.serial.empty() == o.proxyListen.empty()) Usage("give either --serial DEVICE or --proxy LISTEN TARGET");
    if (!o.serial2.empty() && o.serial.empty()) Usage("--serial2 needs --serial");
    return o;
}

void Out(const std::string& s, std::FILE* f = stdout)
{
    std::fwrite(s.data(), 1, s.size(), f);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const Options o = Parse(app.arguments());

    if (::pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("zorp-monitor: pipe");
        return 1;
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGPIPE, SIG_IGN);

    PcapWriter pcap;
    if (!o.pcap.empty() && !pcap.Open(o.pcap)) {
        std::fprintf(stderr, "zorp-monitor: cannot write %s: %s\n", o.pcap.c_str(), std::strerror(errno));
        return 1;
    }
    BusStats stats;
    std::string pending; // output gathered during one turn of the loop
    MonitorSession session([&](const BusEvent& e) {
        stats.Add(e);
        pcap.Write(e);
        pending += FormatEvent(e, o.format);
    });
    session.Monitor().SetAnswerTimeoutNs(int64_t(o.timeoutMs) * 1000000);
    TapSettings line = o.line;
    line.path = o.serial;
    if (!(o.serial.empty() ? session.OpenProxy(o.proxyListen, o.proxyTarget) : session.OpenSerial(line, o.serial2))) {
        std::fprintf(stderr, "zorp-monitor: %s\n", session.Error().c_str());
        return 1;
    }
    if (o.format == Format::Csv) Out(CsvHeader());
    std::fflush(stdout);
    for (const std::string& where : session.Where()) std::fprintf(stderr, "listening on %s\n", where.c_str());
    std::fflush(stderr);

    const int64_t endAt = o.duration > 0 ? BusMonitor::NowNs() + int64_t(o.duration * 1e9) : -1;
    int rc = 0;
    for (bool stop = false; !stop;) {
        if (!session.Turn(endAt, gSignalPipe[0], &stop)) {
            std::fprintf(stderr, "zorp-monitor: %s\n", session.Error().c_str());
            rc = 1;
            break;
        }
        if (endAt >= 0 && BusMonitor::NowNs() >= endAt) stop = true;
        if (!pending.empty()) {
            Out(pending);
            std::fflush(stdout);
            pending.clear();
        }
    }
    session.Finish();
    Out(pending);
    pending.clear();
    pcap.Close();
    std::string summary = o.stats ? stats.Report()
                                  : "frames " + std::to_string(stats.Frames()) + ", paired answers " +
                                        std::to_string(stats.Paired()) + ", unanswered requests " +
                                        std::to_string(stats.Unanswered()) + "\n";
    Out(summary, o.format == Format::Text ? stdout : stderr);
    std::fflush(stdout);
    return rc;
}
