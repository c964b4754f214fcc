// SPDX-License-Identifier: GPL-3.0-or-later
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
    s.Points = TChartPoints(FMaxPoints);
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

void TChartRecorder::Record(int i, double key, const QString& valueText)
{
    TChartSeries& s = FSeries[size_t(i)];
    // The same characters in memory: the copy kept in LastText holds them,
    // so that they cannot have been freed and reused meanwhile.
    if (valueText.isEmpty() || valueText.constData() != s.LastText.constData() ||
        valueText.size() != s.LastText.size()) {
        s.LastText = valueText;
        s.LastOk = ParseValue(valueText, s.LastNumber);
    }
    if (s.LastOk) RecordNumber(i, key, s.LastNumber);
}

void TChartRecorder::RecordNumber(int i, double key, double value)
{
    TChartSeries& s = FSeries[size_t(i)];
    // Two responses within the clock's resolution still get keys in order:
    // the points are searched by key.
    if (!s.Points.empty() && !(key > s.LastKey)) key = std::nextafter(s.LastKey, std::numeric_limits<double>::infinity());
    s.LastKey = key;
    if (s.Points.push(QCPGraphData(key, value))) {
        ++s.FirstSeq;
        while (!s.Blocks.empty() && (s.FirstBlock + 1) * BlockSize <= s.FirstSeq) {
            s.Blocks.pop_front();
            ++s.FirstBlock;
        }
    }
    ++s.NextSeq;
    s.Building.Add(key, value);
    if (s.NextSeq % BlockSize == 0) {
        s.Blocks.push_back(s.Building);
        s.Building = TChartBlock();
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

void TChartBlock::Add(double key, double value)
{
    if (std::isnan(value)) {
        if (!HasNan) NanKey = key;
        HasNan = true;
        return;
    }
    if (!HasValue || value < Min) Min = value, MinKey = key;
    if (!HasValue || value > Max) Max = value, MaxKey = key;
    HasValue = true;
}

namespace {

// The points of a block in key order: its minimum, its maximum and its
// first gap.
void EmitBlock(const TChartBlock& b, QVector<QCPGraphData>& out)
{
    QCPGraphData p[3];
    int n = 0;
    if (b.HasValue) {
        p[n++] = QCPGraphData(b.MinKey, b.Min);
        if (b.MaxKey != b.MinKey) p[n++] = QCPGraphData(b.MaxKey, b.Max);
    }
    if (b.HasNan) p[n++] = QCPGraphData(b.NanKey, std::numeric_limits<double>::quiet_NaN());
    std::sort(p, p + n, [](const QCPGraphData& a, const QCPGraphData& c) { return a.key < c.key; });
    for (int k = 0; k < n; ++k) out.append(p[k]);
}

} // namespace

void TChartRecorder::Thinned(int i, double KeyFrom, double KeyTo, int Pixels, QVector<QCPGraphData>& Out) const
{
    Out.clear();
    const TChartSeries& s = FSeries[size_t(i)];
    const TChartPoints& b = s.Points;
    const qsizetype n = b.size();
    if (n == 0) return;
    qsizetype i0 = b.LowerBound(KeyFrom);
    qsizetype i1 = b.UpperBound(KeyTo);
    // One point beyond each end, so that the lines run to the edges.
    if (i0 > 0) --i0;
    if (i1 < n) ++i1;
    if (i1 <= i0) return;
    const qsizetype count = i1 - i0;
    // The columns the points lie in: the Pixels columns span KeyFrom to
    // KeyTo, and the points may fill only a part of that (a redraw asks for
    // the view and as much again on either side).
    qsizetype pixels = std::max(1, Pixels);
    if (count <= 4 * pixels) {
        Out.reserve(count);
        for (qsizetype k = i0; k < i1; ++k) Out.append(b[int(k)]);
        return;
    }
    const double span = KeyTo - KeyFrom, covered = b[int(i1 - 1)].key - b[int(i0)].key;
    if (span > 0 && covered >= 0 && covered < span)
        pixels = std::max<qsizetype>(1, qsizetype(std::ceil(double(pixels) * covered / span)));
    // Runs of raw points, at most Run long.
    auto raw = [&](qsizetype from, qsizetype to, qsizetype run) {
        for (qsizetype k = from; k < to; k += run) {
            TChartBlock blk;
            for (qsizetype m = k; m < std::min(to, k + run); ++m) blk.Add(b[int(m)].key, b[int(m)].value);
            EmitBlock(blk, Out);
        }
    };
    Out.reserve(3 * std::min(count, 2 * pixels + 4 * BlockSize));
    if (count <= qsizetype(BlockSize) * pixels) {
        raw(i0, i1, (count + pixels - 1) / pixels);
        return;
    }
    // Whole blocks inside the range from their summaries, the ends raw.
    const int64_t seq0 = s.FirstSeq + i0, seq1 = s.FirstSeq + i1;
    const int64_t jb = std::max((seq0 + BlockSize - 1) / BlockSize, s.FirstBlock);
    const int64_t je = std::min(seq1 / BlockSize, s.FirstBlock + int64_t(s.Blocks.size()));
    if (jb >= je) {
        raw(i0, i1, BlockSize);
        return;
    }
    raw(i0, qsizetype(jb * BlockSize - s.FirstSeq), BlockSize);
    for (int64_t j = jb; j < je; ++j) EmitBlock(s.Blocks[size_t(j - s.FirstBlock)], Out);
    raw(qsizetype(je * BlockSize - s.FirstSeq), i1, BlockSize);
}

bool TChartRecorder::ValueRange(int i, double& Lo, double& Hi) const
{
    const TChartSeries& s = FSeries[size_t(i)];
    const TChartPoints& b = s.Points;
    const qsizetype n = b.size();
    TChartBlock all;
    auto raw = [&](qsizetype from, qsizetype to) {
        for (qsizetype k = from; k < to; ++k) all.Add(b[int(k)].key, b[int(k)].value);
    };
    auto merge = [&](const TChartBlock& blk) {
        if (!blk.HasValue) return;
        all.Add(blk.MinKey, blk.Min);
        all.Add(blk.MaxKey, blk.Max);
    };
    const int64_t jb = std::max((s.FirstSeq + BlockSize - 1) / BlockSize, s.FirstBlock);
    const int64_t je = s.FirstBlock + int64_t(s.Blocks.size());
    if (jb >= je) {
        raw(0, n);
    } else {
        raw(0, qsizetype(jb * BlockSize - s.FirstSeq));
        for (int64_t j = jb; j < je; ++j) merge(s.Blocks[size_t(j - s.FirstBlock)]);
        raw(qsizetype(je * BlockSize - s.FirstSeq), n);
    }
    if (!all.HasValue) return false;
    Lo = all.Min;
    Hi = all.Max;
    return true;
}

size_t TChartRecorder::PointBytes() const
{
    size_t n = 0;
    for (const TChartSeries& s : FSeries) n += size_t(s.Points.size()) * sizeof(QCPGraphData);
    return n;
}

size_t TChartRecorder::AllocatedBytes() const
{
    size_t n = 0;
    for (const TChartSeries& s : FSeries) n += s.Points.AllocatedBytes();
    return n;
}

bool TChartPoints::push(const QCPGraphData& p)
{
    if (FCount < FCapacity) {
        // Grows by doubling, never past the capacity.
        if (FBuf.size() == FBuf.capacity())
            FBuf.reserve(std::min(size_t(FCapacity), std::max<size_t>(64, 2 * FBuf.capacity())));
        FBuf.push_back(p);
        ++FCount;
        return false;
    }
    FBuf[size_t(FHead)] = p;
    if (++FHead == FCapacity) FHead = 0;
    return true;
}

int TChartPoints::LowerBound(double Key) const
{
    int lo = 0, hi = FCount;
    while (lo < hi) {
        const int mid = lo + (hi - lo) / 2;
        if ((*this)[mid].key < Key) lo = mid + 1;
        else hi = mid;
    }
    return lo;
}

int TChartPoints::UpperBound(double Key) const
{
    int lo = 0, hi = FCount;
    while (lo < hi) {
        const int mid = lo + (hi - lo) / 2;
        if (!(Key < (*this)[mid].key)) lo = mid + 1;
        else hi = mid;
    }
    return lo;
}
