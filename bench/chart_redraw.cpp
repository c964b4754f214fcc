// SPDX-License-Identifier: GPL-3.0-or-later
// needs: app
// One redraw of the chart window (900 x 520, offscreen) holding 16 series of
// 100,000 points each: a sawtooth, sines, a noisy signal and BIT steps, one
// response every 50 ms. Auto-scale is on, so each redraw also finds the
// ranges of all points.
//
//   chart_redraw [ROUNDS]
//
// Prints "chart_redraw_ms VALUE" (median processor time of ROUNDS redraws,
// default 30; "chart_redraw_wall_ms" the same on the clock) and
// "chart_redraw_empty_ms VALUE" (the same window without points: what the
// axes, legend and frame cost alone), and "chart_points_mb VALUE" (what the
// points take).
#include <QApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <time.h>
#include <vector>

#include "ChartRecorder.h"
#include "ChartWindow.h"

namespace {

double ThreadCpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

// The processor time of a redraw, which other work on the machine moves
// less than the time on the clock.
double MedianRedrawMs(TfrmChart& chart, int rounds)
{
    std::vector<double> ms;
    for (int i = 0; i < rounds; ++i) {
        QApplication::processEvents();
        const double t = ThreadCpuMs();
        chart.Redraw();
        ms.push_back(ThreadCpuMs() - t);
    }
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    TChartRecorder rec;
    TfrmChart chart(rec);
    chart.resize(900, 520);
    chart.show();
    QApplication::processEvents();
    for (int s = 0; s < TChartRecorder::MaxSeries; ++s) rec.Add(s + 1, QColor(), s >= 14);
    chart.SeriesChanged();
    const double emptyMs = MedianRedrawMs(chart, rounds);

    std::mt19937 rng(1);
    std::normal_distribution<double> noise(0, 3);
    const double t0 = 1.8e9;
    const int n = TChartRecorder::DefaultMaxPoints;
    for (int i = 0; i < n; ++i) {
        const double key = t0 + i * 0.05;
        for (int s = 0; s < TChartRecorder::MaxSeries; ++s) {
            double v;
            if (s == 0) v = i % 100;
            else if (s >= 14) v = (i / (50 + 10 * s)) % 2;
            else if (s == 13) v = 100 + noise(rng);
            else v = 50 * s + 20 * std::sin(i / (200.0 + 37 * s));
            rec.RecordNumber(s, key, v);
        }
    }
    const double fullMs = MedianRedrawMs(chart, rounds);
    std::vector<double> wall;
    for (int i = 0; i < rounds; ++i) {
        chart.Redraw();
        wall.push_back(chart.LastRedrawMs());
    }
    std::sort(wall.begin(), wall.end());
    std::printf("chart_redraw_ms %.2f\n", fullMs);
    std::printf("chart_redraw_wall_ms %.2f\n", wall[wall.size() / 2]);
    std::printf("chart_redraw_empty_ms %.2f\n", emptyMs);
    std::printf("chart_points_mb %.1f\n", double(rec.PointBytes()) / (1024.0 * 1024.0));
    return 0;
}
