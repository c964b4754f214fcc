// SPDX-License-Identifier: GPL-3.0-or-later
#include "GridFreshness.h"

#include <algorithm>

bool TGridFreshness::Update()
{
    const bool fresh = FLast.Valid && FCause == TCause::None && FLast.Source == FGrid && FGrid.Valid();
    const bool changed = fresh != FAllFresh;
    FAllFresh = fresh;
    return changed;
}

bool TGridFreshness::SetGrid(const TReadSource& Source)
{
    FGrid = Source;
    return Update();
}

bool TGridFreshness::Answered(const TReadSource& Source, int64_t Ms, int Rows)
{
    Rows = std::max(0, Rows);
    const bool wasFresh = FAllFresh;
    const int oldCover = Cover();
    // Rows the new answer does not reach keep the texts of the one before.
    if (FLast.Valid && Rows < FCover) {
        if (FOlder.size() < size_t(FCover) + 1) FOlder.resize(size_t(FCover) + 1);
        for (int r = Rows + 1; r <= FCover; ++r) FOlder[size_t(r)] = FLast;
    }
    FLast.Source = Source;
    FLast.Ms = Ms;
    FLast.Valid = true;
    FCover = Rows;
    FCause = TCause::None;
    const bool changed = Update();
    return changed || (FAllFresh && wasFresh && oldCover != FCover);
}

bool TGridFreshness::Ended(TCause Cause, int64_t Ms)
{
    if (FCause == TCause::None || Cause == TCause::LinkClosed) {
        FCause = Cause;
        FCauseMs = Ms;
    }
    return Update();
}

TGridFreshness::TRowRead TGridFreshness::ReadOf(int Row) const
{
    if (Row < 1) return {};
    if (FLast.Valid && Row <= FCover) return FLast;
    return size_t(Row) < FOlder.size() ? FOlder[size_t(Row)] : TRowRead();
}

int TGridFreshness::RowOf(const TRegisterKey& Key, int Span) const
{
    const TReadSource& s = FLast.Source;
    if (!FLast.Valid || s.Func != Key.Func || s.Unit != Key.Unit || s.Start < 0 || Key.Address < 0) return 0;
    const int row = s.RowOfAddress(Key.Address);
    return row + std::max(1, Span) - 1 <= FCover ? row : 0;
}
