// SPDX-License-Identifier: GPL-3.0-or-later
// The chart's recording on arbitrary input: a Value text read as a number,
// then a stream of points (key steps, values, gaps) into a small ring with
// drops, and thinning of arbitrary key ranges onto any column count.
// Checked: only plain number texts are numbers; the ring keeps the newest
// points with keys in order; thinned points come in key order from the
// series within the range drawn, no more than the bound, and the value
// range is that of the points kept.
#include <QString>
#include <QVector>
#include <cmath>
#include <limits>

#include "ChartRecorder.h"
#include "FuzzSupport.h"

using namespace zorpfuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Reader in{data, size};
    // A text up to the first 0x00 byte, taken as UTF-8.
    QByteArray text;
    while (in.More()) {
        const uint8_t b = in.Byte();
        if (b == 0) break;
        text += char(b);
    }
    double v = 0;
    const QString t = QString::fromUtf8(text);
    if (TChartRecorder::ParseValue(t, v)) {
        for (QChar c : t) ZORP_FUZZ_CHECK(c.unicode() < 0x80 && !c.isSpace());
        ZORP_FUZZ_CHECK(!t.isEmpty());
    }

    TChartRecorder rec;
    rec.SetMaxPoints(1 + in.Byte() * 4);
    rec.Add(1);
    double key = 1.8e9;
    int added = 0;
    // Points: a key step (may be zero) and a value, or a gap.
    while (in.More() && added < 20000) {
        const uint8_t op = in.Byte();
        key += (op & 0x0F) * 0.001;
        double value;
        if (op & 0x80) value = std::numeric_limits<double>::quiet_NaN();
        else value = double(int16_t(in.Word())) * ((op & 0x40) ? 1e-3 : 1.0);
        rec.RecordNumber(0, key, value);
        ++added;
        // Repeat the last point many times now and then, to cross blocks.
        if ((op & 0x30) == 0x30)
            for (int k = 0; k < 100; ++k, ++added) rec.RecordNumber(0, key + k * 0.01, value);
        if ((op & 0x30) == 0x30) key += 1.0;
    }
    const TChartSeries& s = rec.Series()[0];
    ZORP_FUZZ_CHECK(s.Points.size() <= rec.MaxPoints());
    ZORP_FUZZ_CHECK(s.Points.size() == std::min(added, rec.MaxPoints()));
    for (int k = 1; k < s.Points.size(); ++k) ZORP_FUZZ_CHECK(s.Points[k - 1].key < s.Points[k].key);

    double lo = 0, hi = 0;
    const bool any = rec.ValueRange(0, lo, hi);
    double rawLo = 1e300, rawHi = -1e300;
    bool rawAny = false;
    for (int k = 0; k < s.Points.size(); ++k) {
        const double x = s.Points[k].value;
        if (std::isnan(x)) continue;
        rawAny = true;
        rawLo = std::min(rawLo, x);
        rawHi = std::max(rawHi, x);
    }
    ZORP_FUZZ_CHECK(any == rawAny);
    if (any) ZORP_FUZZ_CHECK(lo == rawLo && hi == rawHi);

    if (s.Points.empty()) return 0;
    const double first = s.Points.front().key, last = s.Points.back().key;
    for (int round = 0; round < 4; ++round) {
        const double a = first + (last - first) * (int(in.Byte()) - 32) / 128.0;
        const double b = a + (last - first) * in.Byte() / 128.0;
        const int pixels = 1 + in.Byte();
        QVector<QCPGraphData> out;
        rec.Thinned(0, a, b, pixels, out);
        ZORP_FUZZ_CHECK(out.size() <= std::max(4 * pixels + 2, 3 * (2 * pixels + 4 * TChartRecorder::BlockSize)));
        for (qsizetype k = 0; k < out.size(); ++k) {
            if (k > 0) ZORP_FUZZ_CHECK(out[k - 1].key < out[k].key);
            const int at = s.Points.LowerBound(out[k].key);
            ZORP_FUZZ_CHECK(at < s.Points.size() && s.Points[at].key == out[k].key);
        }
    }
    return 0;
}
