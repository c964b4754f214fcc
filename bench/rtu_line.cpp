// SPDX-License-Identifier: GPL-3.0-or-later
// Polls of 10 holding registers back to back over the timed virtual serial
// line (8N1, a slave that answers after t3.5), against the line's physical
// limit: per poll, the request's and the answer's transmission times plus
// one t3.5 after each. Prints
//   rtu_line_efficiency_<baud>  limit / measured time per poll
//   rtu_line_min_gap_us_<baud>  shortest silence before a request (µs)
//   rtu_line_short_gaps_<baud>  requests sent with less than t3.5 - 0.2 ms before them
// Usage: rtu_line BAUD POLLS
#include <QCoreApplication>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "CommPort.h"
#include "LineFigures.h"
#include "LineTimer.h"
#include "TimedLine.h"
#include "VexaModbus.h"

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int baud = argc > 1 ? std::atoi(argv[1]) : 9600;
    const int polls = argc > 2 ? std::max(2, std::atoi(argv[2])) : 100;

    zorptest::LineFormat f;
    f.baud = baud;
    const int64_t t35 = f.silenceNs();
    zorptest::TimedLine line(f);
    if (!line.ok()) {
        std::fprintf(stderr, "rtu_line: no pseudo-terminal\n");
        return 1;
    }
    line.setResponder([t35](const std::vector<uint8_t>& q) {
        return std::vector<zorptest::Burst>{{t35, zorptest::NormalAnswer(q)}};
    });
    line.start();

    TVexaModbus e;
    e.SetInterfaceType(mbiRS485);
    e.SetProtocol(mbpRTU);
    e.SetComSpeed(baud);
    e.SetTimeout(1000);
    e.SetMaxRepeat(0);
    e.CommPort()->SetDevicePathOverride(QString::fromStdString(line.devicePath()));
    int done = 0, errors = 0;
    // When the engine saw the last bytes of each answer and handed each
    // request over: where the time beyond the line's own goes.
    std::vector<int64_t> rxAt, txAt;
    std::string recent;
    e.OnReceiveData = [&](QObject*, const void* b, int n) {
        rxAt.push_back(zorp::LineClockNs());
        if (getenv("RTU_LINE_DEBUG")) {
            char t[32];
            std::snprintf(t, sizeof t, "\n%lld:", (long long)(rxAt.back() / 1000));
            recent += t;
            for (int i = 0; i < n; ++i) {
                std::snprintf(t, sizeof t, " %02X", static_cast<const uint8_t*>(b)[i]);
                recent += t;
            }
            if (recent.size() > 4000) recent.erase(0, recent.size() - 4000);
        }
    };
    e.OnSendData = [&](QObject*, const void*, int) { txAt.push_back(zorp::LineClockNs()); };
    // One more poll than measured: the time of N polls runs from the first
    // request to the (N+1)-th.
    e.OnReadHoldingRegs = [&](QObject*, uint8_t, uint16_t, uint16_t, const std::vector<uint8_t>&) {
        if (++done <= polls) e.ReadHoldingRegs(1, 10);
        else app.quit();
    };
    e.OnError = [&](QObject*, int32_t code) {
        std::fprintf(stderr, "rtu_line: error %d at poll %d%s\n", code, done, recent.c_str());
        ++errors;
        if (++done <= polls) e.ReadHoldingRegs(1, 10);
        else app.quit();
    };
    e.OnConnect = [&](QObject*) { e.ReadHoldingRegs(1, 10); };
    QTimer::singleShot(0, &e, [&] { e.Connect(); });
    QTimer::singleShot(600000, &app, [&] { app.quit(); });
    app.exec();
    e.Disconnect();
    line.stop();

    const std::vector<zorptest::WireByte> r = zorpbench::SortedRecord(line);
    const std::vector<int64_t> starts = zorpbench::RequestStarts(r, t35);
    if (starts.size() < size_t(polls) + 1 || errors) {
        std::fprintf(stderr, "rtu_line: %zu requests, %d errors\n", starts.size(), errors);
        return 1;
    }
    zorpbench::PrintFigures("rtu_line", baud,
                            zorpbench::Figures(line, starts, polls, zorpbench::TransactionLimitNs(f, 8, 25)));
    // Per poll: the engine's send after the receipt of the answer's last
    // bytes beyond t3.5, and the receipt after the last byte's end on the line.
    {
        std::vector<int64_t> answerEnds;
        int64_t lastEnd = 0;
        size_t k = 0;
        for (const auto& b : r) {
            if (b.dir == zorptest::WireByte::ToMaster) lastEnd = b.end;
            if (k + 1 < starts.size() && b.start == starts[k + 1] && b.dir == zorptest::WireByte::FromMaster) {
                answerEnds.push_back(lastEnd);
                ++k;
            }
        }
        double engine = 0, receipt = 0;
        int n = 0;
        for (size_t i = 1; i < txAt.size() && i - 1 < answerEnds.size(); ++i) {
            // the last receipt before this send
            int64_t rx = 0;
            for (int64_t t : rxAt)
                if (t < txAt[i]) rx = t;
            engine += double(txAt[i] - rx - t35);
            receipt += double(rx - answerEnds[i - 1]);
            ++n;
        }
        if (n) {
            std::printf("rtu_line_engine_beyond_t35_us_%d %.0f\n", baud, engine / n / 1000.0);
            std::printf("rtu_line_receipt_delay_us_%d %.0f\n", baud, receipt / n / 1000.0);
        }
    }
    std::printf("rtu_line_relay_late_us_%d %.0f\n", baud, double(line.worstLatenessNs()) / 1000.0);
    return 0;
}
