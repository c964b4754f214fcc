// SPDX-License-Identifier: GPL-3.0-or-later
// needs: app
// Four polls of the tester on one RTU link, to two units, over the timed
// virtual serial line (8N1, slaves that answer after t3.5): every poll in
// Real time without an interval, so that the link's scheduler alone decides
// what goes on the line and when. Its time per transaction against the
// line's physical limit (request, answer and one t3.5 after each), as
// rtu_line measures one poll of the engine alone. Prints
//   workspace_line_efficiency_<baud>  limit / measured time per transaction
//   workspace_line_min_gap_us_<baud>, workspace_line_mean_gap_us_<baud>
//   workspace_line_short_gaps_<baud>  requests with less than t3.5 - 0.2 ms before them
//   workspace_line_fairness_<baud>    the fewest answers of a poll against a quarter of all
// Usage: workspace_line BAUD TRANSACTIONS
#include <QApplication>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "CommPort.h"
#include "LineFigures.h"
#include "LinkScheduler.h"
#include "Poll.h"
#include "TimedLine.h"
#include "VexaModbus.h"

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int baud = argc > 1 ? std::atoi(argv[1]) : 9600;
    const int transactions = argc > 2 ? std::max(8, std::atoi(argv[2])) : 100;
    if (baud < 300) {
        std::fprintf(stderr, "usage: workspace_line BAUD TRANSACTIONS\n");
        return 2;
    }

    zorptest::LineFormat f;
    f.baud = baud;
    const int64_t t35 = f.silenceNs();
    zorptest::TimedLine line(f);
    if (!line.ok()) {
        std::fprintf(stderr, "workspace_line: no pseudo-terminal\n");
        return 1;
    }
    // Units 1 and 2 on one bus, each answering its own requests.
    line.setResponder([t35](const std::vector<uint8_t>& q) {
        std::vector<uint8_t> a = zorptest::NormalAnswer(q, 1);
        if (a.empty()) a = zorptest::NormalAnswer(q, 2);
        if (a.empty()) return std::vector<zorptest::Burst>{};
        return std::vector<zorptest::Burst>{{t35, a}};
    });
    line.start();

    TVexaModbus e;
    e.SetInterfaceType(mbiRS485);
    e.SetProtocol(mbpRTU);
    e.SetComSpeed(baud);
    e.SetTimeout(1000);
    e.SetMaxRepeat(0);
    e.CommPort()->SetDevicePathOverride(QString::fromStdString(line.devicePath()));
    TLinkScheduler link(&e, nullptr);
    // Two units, holding and input registers of each: every answer 25 bytes.
    std::vector<std::unique_ptr<TPoll>> polls;
    for (int i = 0; i < 4; ++i) {
        auto p = std::make_unique<TPoll>(&link);
        p->Settings.Unit = 1 + i / 2;
        p->Settings.Func = i % 2 ? 4 : 3;
        p->Settings.Start = 1 + 10 * i;
        p->Settings.Length = 10;
        p->Settings.IntervalMs = 0;
        polls.push_back(std::move(p));
    }
    auto answered = [&] {
        int n = 0;
        for (const auto& p : polls) n += p->Responses + p->Errors;
        return n;
    };
    // One more transaction than measured: the time of N runs from the first
    // request to the (N+1)-th.
    for (const auto& p : polls)
        QObject::connect(p.get(), &TPoll::CountersChanged, &app, [&] {
            if (answered() > transactions)
                for (const auto& q : polls) q->SetRealTime(false);
            if (answered() > transactions + 2) app.quit();
        });
    e.OnConnect = [&](QObject*) {
        for (const auto& p : polls) p->SetRealTime(true);
    };
    QTimer::singleShot(0, &e, [&] { e.Connect(); });
    // The last turns end the run when no more requests are due.
    QTimer idle;
    QObject::connect(&idle, &QTimer::timeout, &app, [&] {
        if (answered() > transactions && !link.Active()) app.quit();
    });
    idle.start(100);
    QTimer::singleShot(600000, &app, [&] { app.quit(); });
    app.exec();
    e.Disconnect();
    line.stop();

    int errors = 0, fewest = INT32_MAX, all = 0;
    for (const auto& p : polls) {
        errors += p->Errors;
        fewest = std::min(fewest, p->Responses);
        all += p->Responses;
    }
    const std::vector<int64_t> starts = zorpbench::RequestStarts(zorpbench::SortedRecord(line), t35);
    if (starts.size() < size_t(transactions) + 1 || errors) {
        std::fprintf(stderr, "workspace_line: %zu requests, %d errors\n", starts.size(), errors);
        return 1;
    }
    zorpbench::PrintFigures("workspace_line", baud,
                            zorpbench::Figures(line, starts, transactions, zorpbench::TransactionLimitNs(f, 8, 25)));
    std::printf("workspace_line_fairness_%d %.3f\n", baud, all > 0 ? double(fewest) / (double(all) / 4.0) : 0.0);
    std::printf("workspace_line_relay_late_us_%d %.0f\n", baud, double(line.worstLatenessNs()) / 1000.0);
    return 0;
}
