// The chart's recording: series of decoded Values with a cap on their points.
#include "ChartRecorder.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string_view>

namespace {

// Sixteen colours that stay apart from each other on a white background.
constexpr QRgb kPalette[TChartRecorder::MaxSeries] = {
    0x1f77b4, 0xd62728, 0x2ca02c, 0xff7f0e, 0x9467bd, 0x8c564b, 0xe377c2, 0x7f7f7f,
    0xbcbd22, 0x17becf, 0x000080, 0x800000, 0x008080, 0x808000, 0xff00ff, 0x000000,
};

} // namespace

bool TChartRecorder::ParseValue(QStringView text, double& value)
{
    // The Value texts are short and plain ASCII; anything longer or wider is
    // no number the decoder writes.
    char buf[64] = {};
    const qsizetype n = text.size();
    if (n == 0 || n >= qsizetype(sizeof buf)) return false;
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t c = text[i].unicode();
        if (c > 0x7F) return false;
        buf[i] = char(c);
    }
    const char* first = buf;
    const char* last = buf + n;
    if (*first == '+') return false;
    const std::string_view s(buf, size_t(n));
    if (s == "NaN" || s == "INF" || s == "-INF") {
        value = std::numeric_limits<double>::quiet_NaN();
        return true;
    }
    // Only digits, one sign, one point and an exponent: from_chars alone
    // would also take "inf", "nan" and hexadecimal-looking prefixes.
    for (const char* p = first; p != last; ++p) {
        const char c = *p;
        if (!((c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'E' || c == 'e')) return false;
    }
    double v = 0;
    const auto r = std::from_chars(first, last, v);
    if (r.ec != std::errc() || r.ptr != last) return false;
    value = std::isfinite(v) ? v : std::numeric_limits<double>::quiet_NaN();
    return true;
}

QColor TChartRecorder::PaletteColor(int i)
{
    return QColor::fromRgb(kPalette[size_t(i) % MaxSeries]);
}

QColor TChartRecorder::NextColor() const
{
    for (int i = 0; i < MaxSeries; ++i) {
        const QColor c = PaletteColor(i);
        bool used = false;
        for (const TChartSeries& s : FSeries) used = used || s.Color == c;
        if (!used) return c;
    }
    return PaletteColor(int(FSeries.size()));
}

bool TChartRecorder::Add(int row, QColor color, bool step)
{
    if (row < 1 || Contains(row) || int(FSeries.size()) >= MaxSeries) return false;
    TChartSeries s;
    s.Row = row;
    s.Color = color.isValid() ? color : NextColor();
    s.Step = step;
    s.Data = QSharedPointer<QCPGraphDataContainer>::create();
    FSeries.push_back(std::move(s));
    return true;
}

bool TChartRecorder::Remove(int row)
{
    const int i = IndexOf(row);
    if (i < 0) return false;
    FSeries.erase(FSeries.begin() + i);
    return true;
}

void TChartRecorder::Clear() { FSeries.clear(); }

int TChartRecorder::IndexOf(int row) const
{
    for (size_t i = 0; i < FSeries.size(); ++i)
        if (FSeries[i].Row == row) return int(i);
    return -1;
}

void TChartRecorder::Record(int i, double key, QStringView valueText)
{
    double v = 0;
    if (ParseValue(valueText, v)) RecordNumber(i, key, v);
}

void TChartRecorder::RecordNumber(int i, double key, double value)
{
    TChartSeries& s = FSeries[size_t(i)];
    QCPGraphDataContainer& d = *s.Data;
    // Two responses within the clock's resolution still get keys in order:
    // the container is sorted by key, and equal keys would make the cap
    // below remove by key drop more or fewer points than it should.
    if (!d.isEmpty() && !(key > s.LastKey)) key = std::nextafter(s.LastKey, std::numeric_limits<double>::infinity());
    s.LastKey = key;
    d.add(QCPGraphData(key, value));
    if (d.size() > FMaxPoints) {
        // Keys are unique, so this drops exactly the oldest surplus.
        const auto cut = d.constBegin() + (d.size() - FMaxPoints);
        d.removeBefore(cut->key);
    }
    if (std::isnan(value)) return;
    s.Last = value;
    if (!s.HasValue) {
        s.Min = s.Max = value;
        s.HasValue = true;
    } else {
        s.Min = std::min(s.Min, value);
        s.Max = std::max(s.Max, value);
    }
}

size_t TChartRecorder::PointBytes() const
{
    size_t n = 0;
    for (const TChartSeries& s : FSeries) n += size_t(s.Data->size()) * sizeof(QCPGraphData);
    return n;
}
