// SPDX-License-Identifier: GPL-3.0-or-later
#include "PollChart.h"

#include <QDateTime>
#include <algorithm>

#include "AppErrors.h"
#include "ChartRecorder.h"
#include "ChartWindow.h"
#include "RegisterGrid.h"
#include "StringGrid.h"
#include "ValueDecoding.h"
#include "ValueWatch.h"
#include "uMaster.h"
#include "uPoll.h"

TPollChart::TPollChart(TfrmModbusMaster* Owner) : QObject(Owner), FOwner(Owner)
{
    FOwner->ValueWatch->FedElsewhere = [this](const TRegisterKey& Key) {
        return std::any_of(FFed.begin(), FFed.end(), [&](const TFed& f) { return f.Key == Key; });
    };
}

void TPollChart::Attach(TfrmPoll* Window)
{
    Window->CanPlotRow = [this](TfrmPoll* f, int Row) { return CanPlotRow(f, Row); };
    Window->OnPlotRow = [this](TfrmPoll* f, int Row) { PlotRow(f, Row); };
    connect(Window, &TfrmPoll::ValuesShown, this, [this, Window] { Answered(Window); });
}

bool TPollChart::CanPlotRow(TfrmPoll* Window, int Row) const
{
    if (Row < 1 || Row >= Window->sgData->RowCount()) return false;
    const TDataTypeInfo* t = ValueDecoding::FindDataType(Window->sgData->CellRef(TRegisterGrid::colDataType, Row));
    return t && t->Format != TTypeFormat::RawHex && t->Format != TTypeFormat::RawBin &&
           t->Format != TTypeFormat::RawBytes && t->Format != TTypeFormat::RawAscii;
}

void TPollChart::PlotRow(TfrmPoll* Window, int Row)
{
    if (!CanPlotRow(Window, Row))
        throw EAppError(QStringLiteral("Only rows with a numeric data type or BIT can be plotted"));
    TValueWatch* watch = FOwner->ValueWatch;
    const TRegisterKey key = Window->KeyOfRow(Row);
    if (!watch->Plotted(key)) {
        if (int(watch->Recorder.Series().size()) >= TChartRecorder::MaxSeries)
            throw EAppError(QStringLiteral("The chart holds at most %1 rows").arg(TChartRecorder::MaxSeries));
        const int handle = FNextHandle++;
        if (!watch->Recorder.Add(handle, QColor(), key.Type && key.Type->Format == TTypeFormat::Bit)) return;
        TChartSeries& s = watch->Recorder.At(int(watch->Recorder.Series().size()) - 1);
        s.Key = key;
        const QString description = Window->sgData->Cells(TRegisterGrid::colDescription, Row);
        s.Name = QStringLiteral("%1 %2").arg(Window->Poll->Name,
                                             description.isEmpty() ? QStringLiteral("address %1").arg(key.Address) : description);
        FFed.push_back({Window, key});
        watch->Chart()->SeriesChanged();
    }
    watch->ShowChart();
}

void TPollChart::Answered(TfrmPoll* Window)
{
    TValueWatch* watch = FOwner->ValueWatch;
    const double now = double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
    bool any = false;
    const int n = int(watch->Recorder.Series().size());
    for (int i = 0; i < n; ++i) {
        TChartSeries& s = watch->Recorder.At(i);
        for (const TFed& f : FFed) {
            if (f.Window != Window || !(f.Key == s.Key)) continue;
            const TPollSettings& p = Window->Poll->Settings;
            const int row = ((s.Key.Address - p.Start) & 0xFFFF) + 1;
            const TPoll& poll = *Window->Poll;
            double v = 0;
            if (row < Window->sgData->RowCount() && Window->KeyOfRow(row) == s.Key &&
                TRegisterGrid::RowNumber(s.Key.Type, row, poll.Data, poll.Bits, poll.AnsweredFunc <= 2,
                                         Window->ScalingOf(row), v)) {
                watch->Recorder.RecordNumber(i, now, v);
                any = true;
            }
        }
    }
    if (any && watch->HasChart()) watch->Chart()->DataAdded();
}
