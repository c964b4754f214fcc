// SPDX-License-Identifier: GPL-3.0-or-later
// needs: app
// log_append_ratio: the time the communication log (the real control,
// shown, following its end as the window makes it) takes to append a line
// when it holds its full capacity, against when it is empty. The lines are
// those of a Real-time poll of 100 registers: a request line and a response
// line in turn. Each figure is the median of many batches; prints
// "log_append_empty_us", "log_append_full_us" (per line) and
// "log_append_ratio".
#include <QApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "CommLog.h"
#include "uMaster.h"

namespace {

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    TCommLog log;
    log.resize(889, 168); // the window's log at its designed size
    log.OnChange = [&](QObject*) { log.ScrollToEnd(); };
    log.show();
    QApplication::processEvents();

    std::vector<uint8_t> request = {0, 1, 0, 0, 0, 6, 1, 4, 0, 0, 0, 100};
    std::vector<uint8_t> response(9 + 200);
    for (size_t i = 0; i < response.size(); ++i) response[i] = uint8_t(i * 7);
    const QDateTime when = QDateTime::currentDateTime();
    const QString lines[2] = {TfrmModbusMaster::FormatLogLine(when, request.data(), int(request.size())),
                              TfrmModbusMaster::FormatLogLine(when, response.data(), int(response.size()))};
    const QColor colors[2] = {QColor(255, 0, 0), QColor(0, 0, 255)};

    const int batch = 200;
    const int batches = 101;
    // One batch of appends, in microseconds per line. Painting is left to the
    // event loop between batches, as polling leaves it between responses.
    // Every line is a string of its own, as the window makes one per frame.
    std::vector<QString> fresh(batch);
    auto timeBatch = [&](int& k) {
        for (int i = 0; i < batch; ++i) fresh[size_t(i)] = QString(lines[(k + i) & 1].constData(), lines[(k + i) & 1].size());
        QElapsedTimer t;
        t.start();
        for (int i = 0; i < batch; ++i, ++k) log.AppendLine(fresh[size_t(i)], colors[k & 1]);
        for (QString& f : fresh) f = QString();
        const double us = double(t.nsecsElapsed()) / 1000.0 / batch;
        QApplication::processEvents();
        return us;
    };

    // Empty: each batch starts from an empty log.
    std::vector<double> empty;
    int k = 0;
    for (int b = 0; b < batches; ++b) {
        log.Clear();
        QApplication::processEvents();
        empty.push_back(timeBatch(k));
    }
    // Full: filled to capacity first, so every append drops the oldest line.
    log.Clear();
    for (int i = 0; i < log.MaxLines(); ++i, ++k)
        log.AppendLine(QString(lines[k & 1].constData(), lines[k & 1].size()), colors[k & 1]);
    QApplication::processEvents();
    std::vector<double> full;
    for (int b = 0; b < batches; ++b) full.push_back(timeBatch(k));

    const double e = Median(empty), f = Median(full);
    std::printf("log_append_empty_us %.3f\n", e);
    std::printf("log_append_full_us %.3f\n", f);
    std::printf("log_append_ratio %.2f\n", e > 0 ? f / e : 0.0);
    std::fprintf(stderr, "log_append: capacity %d lines, %d lines kept\n", log.MaxLines(), log.LineCount());
    return 0;
}
