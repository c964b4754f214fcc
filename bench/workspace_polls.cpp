// SPDX-License-Identifier: GPL-3.0-or-later
// needs: app
// Several polls on one link: the tester window (offscreen) connected to a
// Modbus TCP slave on 127.0.0.1, first with one poll window in Real time
// (function 04, Length 10, no interval), then with eight at once, then with
// the eight open and not polling.
//
//   workspace_polls PORT [SECONDS]
//
// Prints "workspace_tps_ratio VALUE" (transactions per second of the eight
// together against the one alone), "workspace_fairness VALUE" (the slowest
// poll's rate against an eighth of the total) and "workspace_idle_cpu_pct
// VALUE" (CPU time over wall time, in percent, with eight idle windows).
// SECONDS (default 10) is the length of each polling phase.
#include <QApplication>
#include <QCheckBox>
#include <QPushButton>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sys/resource.h>
#include <vector>

#include "LabeledEdit.h"
#include "LinkScheduler.h"
#include "PollWindows.h"
#include "RadioGroup.h"
#include "VexaModbus.h"
#include "uMaster.h"
#include "uPoll.h"
#include "uSplash.h"

namespace {

double CpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void Run(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Responses of the polls over ms milliseconds of Real time, each poll's own;
// cpuUs: this program's CPU time per response (what the shared machine's
// other load disturbs least).
std::vector<double> Rates(const std::vector<TfrmPoll*>& polls, int ms, double& cpuUs)
{
    std::vector<int32_t> before;
    for (TfrmPoll* f : polls) {
        before.push_back(f->Poll->Responses);
        f->cbRealTime->setChecked(true);
    }
    QElapsedTimer t;
    t.start();
    const double cpu0 = CpuSeconds();
    Run(ms);
    const double s = double(t.elapsed()) / 1000.0;
    const double cpu = CpuSeconds() - cpu0;
    std::vector<double> out;
    int64_t answers = 0;
    for (size_t i = 0; i < polls.size(); ++i) {
        polls[i]->cbRealTime->setChecked(false);
        answers += polls[i]->Poll->Responses - before[i];
        out.push_back(double(polls[i]->Poll->Responses - before[i]) / s);
        if (polls[i]->Poll->Errors) std::fprintf(stderr, "workspace_polls: poll %zu has errors\n", i + 1);
    }
    cpuUs = answers > 0 ? 1e6 * cpu / double(answers) : 0.0;
    Run(200);
    return out;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: workspace_polls PORT [SECONDS]\n");
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 10;
    if (port <= 0 || port > 65535 || seconds < 1) {
        std::fprintf(stderr, "workspace_polls: bad arguments\n");
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
    w.rgModbusMode->SetItemIndex(2);
    w.leIP->setText(QStringLiteral("127.0.0.1"));
    w.lePort->setText(QString::number(port));
    w.btnConnect->click();
    QElapsedTimer wait;
    wait.start();
    while (!w.mdb->Connected() && wait.elapsed() < 10000) QApplication::processEvents(QEventLoop::AllEvents, 20);
    if (!w.mdb->Connected()) {
        std::fprintf(stderr, "workspace_polls: not connected to port %d\n", port);
        return 1;
    }
    std::vector<TfrmPoll*> polls;
    for (int i = 0; i < 8; ++i) {
        TPollSettings s;
        s.Unit = 1;
        s.Func = 4;
        s.Start = 1 + 10 * i;
        s.Length = 10;
        s.IntervalMs = 0;
        TfrmPoll* f = w.PollWindows->NewPollWindow(&s);
        f->show();
        polls.push_back(f);
    }
    Run(300);

    double cpuOne = 0, cpuEight = 0;
    const std::vector<double> one = Rates({polls[0]}, seconds * 1000, cpuOne);
    const std::vector<double> eight = Rates(polls, seconds * 1000, cpuEight);
    double total = 0, slowest = eight[0];
    for (double r : eight) {
        total += r;
        slowest = std::min(slowest, r);
    }
    // Idle: eight windows open, nothing polling.
    const double cpu0 = CpuSeconds();
    QElapsedTimer idle;
    idle.start();
    Run(3000);
    const double idlePct = 100.0 * (CpuSeconds() - cpu0) / (double(idle.elapsed()) / 1000.0);

    std::fprintf(stderr, "workspace_polls: one %.0f/s, eight %.0f/s in all, slowest %.0f/s; CPU per answer %.1f us, %.1f us\n",
                 one[0], total, slowest, cpuOne, cpuEight);
    std::printf("workspace_tps_ratio %.3f\n", one[0] > 0 ? total / one[0] : 0.0);
    std::printf("workspace_fairness %.3f\n", total > 0 ? slowest / (total / 8.0) : 0.0);
    std::printf("workspace_idle_cpu_pct %.2f\n", idlePct);
    w.mdb->Disconnect();
    return one[0] > 0 && total > 0 ? 0 : 1;
}
