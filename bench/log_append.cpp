// SPDX-License-Identifier: GPL-3.0-or-later
// needs: app
// log_append_ratio: the time the communication log (the real control,
// shown, following its end as the window makes it) takes to append a line
// when it holds its full capacity, against when it is empty. The lines are
// those of a Real-time poll of 100 registers: a request line and a response
// line in turn, appended as the window appends a frame: its time stamp and
// its bytes (AppendBytes). Each figure is the median of many batches; prints
// "log_append_empty_us", "log_append_full_us" (per line) and
// "log_append_ratio", then the same for lines appended as finished text
// (AppendLine, as error lines are): "log_append_text_empty_us",
// "log_append_text_full_us" and "log_append_text_ratio".
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
    // The time stamp part of a line: what the window passes with the bytes.
    const QString head = TfrmModbusMaster::FormatLogLine(when, nullptr, 0);
    const std::vector<uint8_t>* frames[2] = {&request, &response};
    const QColor colors[2] = {QColor(255, 0, 0), QColor(0, 0, 255)};

    const int batch = 200;
    const int batches = 101;
    // One batch of appends, in microseconds per line. Painting is left to the
    // event loop between batches, as polling leaves it between responses.
    // A text line is a string of its own, made before the batch is timed.
    std::vector<QString> fresh(batch);
    auto timeBatch = [&](int& k, bool text) {
        if (text)
            for (int i = 0; i < batch; ++i) fresh[size_t(i)] = QString(lines[(k + i) & 1].constData(), lines[(k + i) & 1].size());
        QElapsedTimer t;
        t.start();
        if (text) {
            for (int i = 0; i < batch; ++i, ++k) log.AppendLine(fresh[size_t(i)], colors[k & 1]);
        } else {
            for (int i = 0; i < batch; ++i, ++k)
                log.AppendBytes(head, frames[k & 1]->data(), int(frames[k & 1]->size()), colors[k & 1]);
        }
        const double us = double(t.nsecsElapsed()) / 1000.0 / batch;
        for (QString& f : fresh) f = QString();
        QApplication::processEvents();
        return us;
    };

    int k = 0;
    auto measure = [&](bool text, const char* name) {
        // Empty: each batch starts from an empty log.
        std::vector<double> empty;
        for (int b = 0; b < batches; ++b) {
            log.Clear();
            QApplication::processEvents();
            empty.push_back(timeBatch(k, text));
        }
        // Full: filled to capacity first, so every append drops the oldest line.
        log.Clear();
        while (log.LineCount() < log.MaxLines()) timeBatch(k, text);
        QApplication::processEvents();
        std::vector<double> full;
        for (int b = 0; b < batches; ++b) full.push_back(timeBatch(k, text));

        const double e = Median(empty), f = Median(full);
        std::printf("%s_empty_us %.3f\n", name, e);
        std::printf("%s_full_us %.3f\n", name, f);
        std::printf("%s_ratio %.2f\n", name, e > 0 ? f / e : 0.0);
    };
    measure(false, "log_append");
    measure(true, "log_append_text");
    std::fprintf(stderr, "log_append: capacity %d lines, %d lines kept\n", log.MaxLines(), log.LineCount());
    return 0;
}
