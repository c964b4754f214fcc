// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The recording behind the chart window: up to MaxSeries series, one per
// chosen grid row, each a time series of that row's decoded Value. Every
// series keeps at most MaxPoints points (the oldest go first), so that an
// all-day Real-time run has bounded memory.
//
// A series' points live in a ring of fixed size (TChartPoints): once full,
// each new point takes the place of the oldest, so that the memory stays
// what the points take; every BlockSize points
// are also summed up by their extremes, so that drawing many points takes
// time in proportion to the pixels, not the points. Keys are seconds since
// the epoch (UTC), strictly increasing within a series.
#include <QColor>
#include <QSharedPointer>
#include <QString>
#include <QStringView>
#include <QVector>
#include <cstdint>
#include <deque>
#include <vector>

#include "RegisterKey.h"
#include "qcustomplot.h"

// The points of a series in key order, at most Capacity of them: a ring
// that grows up to its capacity and then overwrites the oldest point.
class TChartPoints {
public:
    explicit TChartPoints(int Capacity) : FCapacity(Capacity < 1 ? 1 : Capacity) {}
    int size() const { return FCount; }
    bool empty() const { return FCount == 0; }
    const QCPGraphData& operator[](int i) const
    {
        int k = FHead + i;
        if (k >= FCapacity) k -= FCapacity;
        return FBuf[size_t(k)];
    }
    const QCPGraphData& front() const { return (*this)[0]; }
    const QCPGraphData& back() const { return (*this)[FCount - 1]; }
    // Appends; true when the oldest point made room for it.
    bool push(const QCPGraphData& p);
    // Index of the first point with a key not below (LowerBound) or above
    // (UpperBound) Key.
    int LowerBound(double Key) const;
    int UpperBound(double Key) const;
    size_t AllocatedBytes() const { return FBuf.capacity() * sizeof(QCPGraphData); }

private:
    std::vector<QCPGraphData> FBuf;
    int FCapacity;
    int FHead = 0;
    int FCount = 0;
};

// The extremes of a run of points, and the key of its first NaN (NaN when
// it has none).
struct TChartBlock {
    double MinKey = 0, Min = 0, MaxKey = 0, Max = 0;
    double NanKey = 0;
    bool HasValue = false, HasNan = false;
    void Add(double key, double value);
};

struct TChartSeries {
    int Row = 0;          // the owner's handle: the grid row it was chosen on (1-based), unique
    // What the series records: one register of one unit and function, as
    // one type; and its name, for when the grid no longer shows it.
    TRegisterKey Key;
    QString Name;
    bool Gap = false;     // a gap was recorded since the last value
    QColor Color;
    bool Step = false;    // a BIT row: drawn as steps
    TChartPoints Points{1};
    // Of every number recorded since the series began (dropped points too).
    double Last = 0, Min = 0, Max = 0;
    bool HasValue = false;
    double LastKey = 0;   // last key added; NaN points included
    // Point numbers: the first kept point's and the next one's.
    int64_t FirstSeq = 0, NextSeq = 0;
    // Summaries of every BlockSize points (by point number); Blocks.front()
    // is block FirstBlock. Building collects the block being filled.
    std::deque<TChartBlock> Blocks;
    int64_t FirstBlock = 0;
    TChartBlock Building;
    // The last Value text and what it read as: an unchanged cell (the grid
    // keeps the text of a register that did not change) is not read again.
    QString LastText;
    double LastNumber = 0;
    bool LastOk = false;
};

class TChartRecorder {
public:
    static constexpr int MaxSeries = 16;
    static constexpr int DefaultMaxPoints = 100000;

    // Reads a decoded Value text as a number: integers, "0.000000" floats,
    // exponent forms, "NaN", "INF", "-INF". False for anything else (HEX,
    // BIN, BYTES and ASCII texts, empty). Non-finite values give true with
    // a NaN, which the chart draws as a gap.
    static bool ParseValue(QStringView text, double& value);

    // The colour a new series takes: the first of the palette that no
    // series uses.
    QColor NextColor() const;
    static QColor PaletteColor(int i);

    // Adds a series for Row (no-op returning false when the row already has
    // one or MaxSeries are there). An invalid Color takes NextColor().
    bool Add(int row, QColor color = QColor(), bool step = false);
    bool Remove(int row);
    void Clear();
    int IndexOf(int row) const;
    bool Contains(int row) const { return IndexOf(row) >= 0; }

    const std::vector<TChartSeries>& Series() const { return FSeries; }
    TChartSeries& At(int i) { return FSeries[size_t(i)]; }

    // One response: the point of the series at index i, at the time key
    // (seconds since the epoch). A text that is not a number adds nothing.
    void Record(int i, double key, QStringView valueText);
    void Record(int i, double key, const QString& valueText);
    // Same with a number (NaN draws a gap and leaves Last, Min, Max).
    void RecordNumber(int i, double key, double value);

    // Points of series i for drawing the keys [KeyFrom, KeyTo] on Pixels
    // columns: the points themselves (and one beyond each end) when they
    // are few, else the minimum and maximum of each run of points so short
    // that a column holds one or two runs. Only the columns that the
    // points' keys reach count. Keys in order; every extreme of the range
    // and every gap (NaN) is kept.
    static constexpr int BlockSize = 64;
    void Thinned(int i, double KeyFrom, double KeyTo, int Pixels, QVector<QCPGraphData>& Out) const;
    // The smallest and largest number that series i keeps; false when none.
    bool ValueRange(int i, double& Lo, double& Hi) const;

    int MaxPoints() const { return FMaxPoints; }
    // For series added after the call.
    void SetMaxPoints(int n) { FMaxPoints = n < 1 ? 1 : n; }

    // Bytes that the kept points take, and that their storage holds.
    size_t PointBytes() const;
    size_t AllocatedBytes() const;

private:
    std::vector<TChartSeries> FSeries;
    int FMaxPoints = DefaultMaxPoints;
};
