// SPDX-License-Identifier: GPL-3.0-or-later
// needs: app
// The tester window itself (offscreen) polling a Modbus TCP slave on
// 127.0.0.1 in Real time: function 04, Start Address 1, Length 100, the grid
// typed with a mix of one-, two- and four-row types, the log and the grid
// live as the user would see them.
//
//   tester_poll PORT [SECONDS [FROM [CHART_ROWS]]]
//
// With CHART_ROWS (1 to 16), that many numeric rows are plotted in the chart
// window, shown beside the main window, and "tester_chart_points_mb VALUE"
// tells what the points recorded after second FROM take.
//
// Prints "tester_polls_per_s VALUE" (polls per second over the whole run)
// and "tester_rss_growth_mb VALUE" (resident memory at the end minus at
// second FROM; defaults: 60 s, from second 10), and on standard error the
// counters and the log's line count. Exit code 1 when the cycle stopped
// (an error) or nothing was polled.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sys/resource.h>
#include <unistd.h>

#include "CommLog.h"
#include "LabeledEdit.h"
#include "RadioGroup.h"
#include "ChartRecorder.h"
#include "StringGrid.h"
#include "ValueWatch.h"
#include "uMaster.h"
#include "VexaModbus.h"
#include "uSplash.h"

namespace {

double ResidentMb()
{
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return double(resident) * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

double CpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: tester_poll PORT [SECONDS [FROM]]\n");
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 60;
    const int from = argc > 3 ? std::atoi(argv[3]) : 10;
    const int chartRows = argc > 4 ? std::atoi(argv[4]) : 0;
    if (port <= 0 || port > 65535 || seconds < 1 || from < 0 || from >= seconds || chartRows < 0 ||
        chartRows > TChartRecorder::MaxSeries) {
        std::fprintf(stderr, "tester_poll: bad arguments\n");
        return 2;
    }

    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir config;
    qputenv("ZORP_CONFIG_DIR", config.path().toLocal8Bit());
    QApplication app(argc, argv);
    TfrmSplash::SetDuration(0);

    TfrmModbusMaster w;
    w.show();
    QApplication::processEvents();

    w.rgModbusMode->SetItemIndex(2); // Modbus TCP
    w.leIP->setText(QStringLiteral("127.0.0.1"));
    w.lePort->setText(QString::number(port));
    w.leSlaveID->setText(QStringLiteral("1"));
    w.cbFunc->setCurrentText(QStringLiteral("04: Read Input Registers"));
    w.leStartAddress->setText(QStringLiteral("1"));
    w.leLength->setText(QStringLiteral("100"));
    w.sgData->SetRowCount(101);
    w.FillAddresses();
    // One-, two- and four-row types, as an engineer would set up a meter.
    const char* pattern[] = {"UInt16 (Word) AABB", "SInt32 (Integer, LongInt) AABB CCDD", "---",
                             "Single (Float) DDCC BBAA", "---", "HEX", "Double (Real) HHGG FFEE DDCC BBAA",
                             "---", "---", "---"};
    for (int r = 1; r <= 100; ++r) w.sgData->SetCells(1, r, QString::fromLatin1(pattern[(r - 1) % 10]));
    w.UpdateRowColors();
    for (int r = 1, n = 0; r <= 100 && n < chartRows; ++r) {
        if (!w.ValueWatch->CanPlotRow(r)) continue;
        w.ValueWatch->PlotRow(r);
        ++n;
    }
    if (chartRows > 0) QApplication::processEvents();
    size_t pointsAtFrom = 0;

    // Counted on the way through, for the diagnostics line.
    long chunks = 0;
    auto receive = w.mdb->OnReceiveData;
    w.mdb->OnReceiveData = [&](QObject* sender, const uint8_t* block, int32_t size) {
        ++chunks;
        receive(sender, block, size);
    };

    int rc = 0;
    int pollsAtFrom = 0;
    double rssAtFrom = 0;
    double cpuAtStart = 0;
    QElapsedTimer clock;

    QTimer::singleShot(10000, &app, [&] {
        if (!w.FLinkUp) {
            std::fprintf(stderr, "tester_poll: not connected to port %d\n", port);
            app.exit(1);
        }
    });
    QTimer connected;
    connected.setInterval(5);
    QObject::connect(&connected, &QTimer::timeout, &app, [&] {
        if (!w.FLinkUp) return;
        connected.stop();
        w.cbRealTime->setChecked(true);
        clock.start();
        cpuAtStart = CpuSeconds();
        w.btnRead->click();
        QTimer::singleShot(from * 1000, &app, [&] {
            pollsAtFrom = w.FPolls;
            rssAtFrom = ResidentMb();
            pointsAtFrom = w.ValueWatch->Recorder.PointBytes();
        });
        QTimer::singleShot(seconds * 1000, &app, [&] {
            const double s = double(clock.nsecsElapsed()) / 1e9;
            const double rss = ResidentMb();
            std::printf("tester_polls_per_s %.1f\n", double(w.FPolls) / s);
            std::printf("tester_rss_growth_mb %.2f\n", rss - rssAtFrom);
            if (chartRows > 0)
                std::printf("tester_chart_points_mb %.2f\n",
                            double(w.ValueWatch->Recorder.PointBytes() - pointsAtFrom) / (1024.0 * 1024.0));
            std::fflush(stdout);
            std::fprintf(stderr,
                         "tester_poll: %d polls, %d responses, %d errors in %.1f s; %d polls after second %d; "
                         "RSS %.1f MB -> %.1f MB; log %d lines; %.1f us CPU per poll; %.2f received blocks per poll\n",
                         w.FPolls, w.FResponses, w.FErrors, s, w.FPolls - pollsAtFrom, from, rssAtFrom, rss,
                         w.REComm->LineCount(), 1e6 * (CpuSeconds() - cpuAtStart) / std::max(1, w.FPolls),
                         double(chunks) / std::max(1, w.FPolls));
            if (w.FErrors > 0 || w.FPolls == 0) rc = 1;
            w.cbRealTime->setChecked(false);
            app.quit();
        });
    });
    connected.start();
    w.btnConnect->click();

    const int loop = app.exec();
    w.btnDisconnect->click();
    return rc || loop ? 1 : 0;
}
