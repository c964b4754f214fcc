// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TGridFreshness: which rows of the register grid show what the last read
// returned for the address beside them, and for the others, what read put
// their texts there and since when they are old.
//
// The grid asks for one source (the function box, the Slave ID field and the
// Address column's first address); each answered read has a source too and
// covers rows 1 to Cover. A row is fresh while the last read answered, no
// error or closed link came after it, its source is the grid's, and the row
// lies within what it covered. Nothing here runs per cell: a read costs a
// few comparisons (rows are remembered one by one only when an answer covers
// fewer rows than the one before), so the painting can ask for every cell.
#include <cstdint>
#include <vector>

#include "RegisterKey.h"

class TGridFreshness {
public:
    // Why every row is old: a read failed, or the link closed.
    enum class TCause { None, ReadFailed, LinkClosed };
    // The read that wrote a row's texts; Valid false when none did.
    struct TRowRead {
        TReadSource Source;
        int64_t Ms = 0; // milliseconds since the epoch
        bool Valid = false;
    };

    // The grid asks for Source from now on. These three return true when a
    // row's freshness changed (the grid is then painted again).
    bool SetGrid(const TReadSource& Source);
    // A read of Source answered at Ms, its data on rows 1 to Rows.
    bool Answered(const TReadSource& Source, int64_t Ms, int Rows);
    // Every row is old from Ms on.
    bool Ended(TCause Cause, int64_t Ms);

    // Rows Row to Row + Span - 1 hold what the last read returned for them.
    bool Fresh(int Row, int Span = 1) const { return FAllFresh && Row >= 1 && Row + Span - 1 <= FCover; }
    TRowRead ReadOf(int Row) const;
    const TReadSource& Grid() const { return FGrid; }
    // The last answer: its source and the rows it covered (0: none yet).
    const TReadSource& Last() const { return FLast.Source; }
    int Cover() const { return FLast.Valid ? FCover : 0; }
    TCause Cause() const { return FCause; }
    int64_t CauseMs() const { return FCauseMs; }
    // The row that shows Key's value from the last answer, or 0.
    int RowOf(const TRegisterKey& Key, int Span) const;

private:
    bool Update();
    TReadSource FGrid;
    TRowRead FLast;
    int FCover = 0;
    // Rows beyond FCover: what older answers wrote there.
    std::vector<TRowRead> FOlder;
    TCause FCause = TCause::None;
    int64_t FCauseMs = 0;
    bool FAllFresh = false;
};
