// SPDX-License-Identifier: GPL-3.0-or-later
// The engine as a Modbus TCP master against a server on 127.0.0.1.
//
//   engine_bench tps PORT COUNT N [glib]
//                                     N reads of COUNT holding registers back
//                                     to back, each next read issued from the
//                                     read event; prints "tps VALUE"
//   engine_bench idle PORT SECONDS    connected and idle for SECONDS; prints
//                                     "idle_cpu_pct VALUE" (CPU time of the
//                                     process as a share of one core)
//
// The program runs on the event loop of zorp-poll and zorp-slave (see
// zorp::UseToolEventLoop); "glib" as the last word runs it on the GLib one
// instead, as a program with windows has it.
//
// Exit code 0 when every read was answered with the expected data (the
// reference server holds value = address), 1 otherwise.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/resource.h>

#include "EventLoop.h"
#include "VexaModbus.h"

namespace {

double CpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

int Usage()
{
    std::fprintf(stderr, "usage: engine_bench tps PORT COUNT N [glib] | engine_bench idle PORT SECONDS [glib]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 4) return Usage();
    const bool tps = std::strcmp(argv[1], "tps") == 0;
    const bool idle = std::strcmp(argv[1], "idle") == 0;
    if (!tps && !idle) return Usage();
    if (tps && argc < 5) return Usage();
    const int port = std::atoi(argv[2]);
    const int count = tps ? std::atoi(argv[3]) : 0;
    const long n = tps ? std::atol(argv[4]) : 0;
    const int seconds = idle ? std::atoi(argv[3]) : 0;
    if (port <= 0 || port > 65535 || (tps && (count < 1 || count > 125 || n < 1)) || (idle && seconds < 1))
        return Usage();

    const int words = tps ? 5 : 4;
    if (argc > words + 1 || (argc == words + 1 && std::strcmp(argv[words], "glib") != 0)) return Usage();
    if (argc == words) zorp::UseToolEventLoop();
    QCoreApplication app(argc, argv);
    TVexaModbus mdb;
    mdb.SetInterfaceType(mbiEthernet);
    mdb.SetProtocol(mbpTCP);
    mdb.SetEthIP(QStringLiteral("127.0.0.1"));
    mdb.SetEthPort(uint16_t(port));
    mdb.SetDeviceID(1);
    mdb.SetTimeout(2000);

    int rc = 0;
    long done = 0;
    long bad = 0;
    QElapsedTimer clock;

    mdb.OnError = [&](QObject*, int32_t code) {
        std::fprintf(stderr, "engine error %d after %ld reads\n", code, done);
        rc = 1;
        app.exit(1);
    };
    mdb.OnReadHoldingRegs = [&](QObject*, uint8_t, uint16_t, uint16_t, const std::vector<uint8_t>& data) {
        // Spot checks only: the figure is the engine's, not the checker's.
        if (done == 0 || done == n - 1) {
            bool ok = int(data.size()) == 2 * count;
            for (int i = 0; ok && i < count; ++i) ok = data[2 * i] == (i >> 8) && data[2 * i + 1] == (i & 0xFF);
            if (!ok) ++bad;
        }
        if (++done < n) {
            mdb.ReadHoldingRegs(1, uint8_t(count));
            return;
        }
        const double s = double(clock.nsecsElapsed()) / 1e9;
        std::printf("tps %.1f\n", double(n) / s);
        std::fflush(stdout);
        app.quit();
    };
    mdb.OnConnect = [&](QObject*) {
        if (tps) {
            clock.start();
            mdb.ReadHoldingRegs(1, uint8_t(count));
            return;
        }
        // Let the connection settle, then measure a quiet stretch.
        QTimer::singleShot(200, &app, [&] {
            const double cpu0 = CpuSeconds();
            clock.start();
            QTimer::singleShot(seconds * 1000, &app, [&, cpu0] {
                const double wall = double(clock.nsecsElapsed()) / 1e9;
                std::printf("idle_cpu_pct %.3f\n", 100.0 * (CpuSeconds() - cpu0) / wall);
                std::fflush(stdout);
                app.quit();
            });
        });
    };
    // A hung run ends by itself.
    QTimer::singleShot(tps ? 120000 : (seconds + 30) * 1000, &app, [&] {
        std::fprintf(stderr, "engine_bench: timed out after %ld reads\n", done);
        app.exit(1);
    });

    mdb.Connect();
    const int loop = app.exec();
    mdb.OnError = nullptr;
    mdb.Disconnect();
    if (bad) std::fprintf(stderr, "engine_bench: %ld responses with unexpected data\n", bad);
    return rc || loop || bad ? 1 : 0;
}
