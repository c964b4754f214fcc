// SPDX-License-Identifier: GPL-3.0-or-later
// The chart and the CSV logging of the main window's decoded Values.
#include "ValueWatch.h"

#include <QAction>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMenu>
#include <QPointer>
#include <QStringList>
#include <QTimer>
#include <algorithm>
#include <limits>
#include <vector>

#include "AppErrors.h"
#include "ChartWindow.h"
#include "FormStorage.h"
#include "IniFile.h"
#include "RegisterGrid.h"
#include "RegisterTools.h"
#include "StrictInt.h"
#include "StringGrid.h"
#include "ValueDecoding.h"
#include "ValueLogger.h"
#include "uMaster.h"

namespace {

// Grid columns read here.
constexpr int colAddress = 0;
constexpr int colDataType = 1;
constexpr int colValue = 2;
constexpr int colDescription = 3;

const QString kChart = QStringLiteral("Chart");

bool IsNumericFormat(TTypeFormat f)
{
    return f == TTypeFormat::Bit || f == TTypeFormat::Signed || f == TTypeFormat::Unsigned ||
           f == TTypeFormat::Float32 || f == TTypeFormat::Float64;
}

} // namespace

TValueWatch::TValueWatch(TfrmModbusMaster* Owner) : QObject(Owner), FOwner(Owner)
{
    setObjectName(QStringLiteral("ValueWatch"));
    Logger = new TValueLogger(this);
    Logger->OnFailed = [this](const QString& m) { LoggingFailed(m); };

    actChart = new QAction(QStringLiteral("Chart"), this);
    actChart->setObjectName(QStringLiteral("actChart"));
    connect(actChart, &QAction::triggered, this, [this] { RunGuarded([this] { ShowChart(); }); });

    actLogCsv = new QAction(QStringLiteral("Log values to CSV..."), this);
    actLogCsv->setObjectName(QStringLiteral("actLogCsv"));
    actLogCsv->setCheckable(true);
    // The check mark follows the logging, not the click.
    connect(actLogCsv, &QAction::triggered, this, [this] {
        RunGuarded([this] { LogCsvClicked(); });
        UpdateLogAction();
    });

    // File > "Log values to CSV..." with the other file entries (above the
    // separator before Exit), View > "Chart".
    if (QMenu* file = Owner->ExtensionMenu(QStringLiteral("File"))) {
        QAction* before = nullptr;
        const QList<QAction*> items = file->actions();
        for (qsizetype i = items.size() - 1; i >= 0 && !before; --i)
            if (items[i]->isSeparator()) before = items[i];
        file->insertAction(before, actLogCsv);
    }
    if (QMenu* view = Owner->ExtensionMenu(QStringLiteral("View"))) view->addAction(actChart);

    Owner->OnValuesShown = [self = QPointer<TValueWatch>(this)] {
        if (self)
            RunGuarded([&self] { self->ResponseShown(); });
    };
    Owner->OnProfileSave = [this](zorp::TIniFile& ini) { SaveProfile(ini); };
    Owner->OnProfileLoad = [this](const zorp::TIniFile& ini) { LoadProfile(ini); };
}

TValueWatch::~TValueWatch()
{
    // The chart window is a child of the main window and goes with it; the
    // log file is closed (and flushed) by the logger.
    Logger->OnFailed = nullptr;
}

TfrmChart* TValueWatch::Chart()
{
    if (!FChart) {
        FChart = new TfrmChart(Recorder, FOwner);
        FChart->SeriesName = [this](int handle) { return SeriesName(handle); };
        FChart->OnRemove = [this](int row) { RemoveRow(row); };
        FChart->SeriesChanged();
    }
    return FChart;
}

void TValueWatch::ShowChart()
{
    TfrmChart* c = Chart();
    c->show();
    c->raise();
    c->activateWindow();
}

bool TValueWatch::CanPlotRow(int Row) const
{
    const TStringGrid* g = FOwner->sgData;
    if (Row < 1 || Row >= g->RowCount()) return false;
    const TDataTypeInfo* type = ValueDecoding::FindDataType(g->CellRef(colDataType, Row));
    return type && IsNumericFormat(type->Format);
}

void TValueWatch::PlotRow(int Row)
{
    if (!CanPlotRow(Row))
        throw EAppError(QStringLiteral("Only rows with a numeric data type or BIT can be plotted"));
    if (!Plotted(FOwner->KeyOfRow(Row))) {
        if (int(Recorder.Series().size()) >= TChartRecorder::MaxSeries)
            throw EAppError(QStringLiteral("The chart holds at most %1 rows").arg(TChartRecorder::MaxSeries));
        AddSeries(Row, QColor());
        Chart()->SeriesChanged();
        // A row plotted while logging is logged too, from now on.
        const TRegisterKey key = FOwner->KeyOfRow(Row);
        if (Logger->Active() && std::find(FLogKeys.begin(), FLogKeys.end(), key) == FLogKeys.end() &&
            Logger->AddColumn(RowName(Row)))
            FLogKeys.push_back(key);
    }
    ShowChart();
}

void TValueWatch::AddSeries(int Row, const QColor& Color)
{
    // The row is the handle unless a series of another register has it.
    int handle = Row;
    while (Recorder.Contains(handle)) handle = std::max(handle + 1, 65537);
    const TRegisterKey key = FOwner->KeyOfRow(Row);
    if (!Recorder.Add(handle, Color, key.Type && key.Type->Format == TTypeFormat::Bit)) return;
    TChartSeries& s = Recorder.At(int(Recorder.Series().size()) - 1);
    s.Key = key;
    s.Name = RowName(Row);
}

bool TValueWatch::Plotted(const TRegisterKey& Key) const
{
    for (const TChartSeries& s : Recorder.Series())
        if (s.Key == Key) return true;
    return false;
}

int TValueWatch::CurrentRowOf(const TRegisterKey& Key) const
{
    const TReadSource grid = FOwner->GridSource();
    if (grid.Func != Key.Func || grid.Unit != Key.Unit || grid.Start < 0 || Key.Address < 0) return 0;
    const int row = grid.RowOfAddress(Key.Address);
    const TStringGrid* g = FOwner->sgData;
    if (row >= g->RowCount() || ValueDecoding::FindDataType(g->CellRef(colDataType, row)) != Key.Type) return 0;
    return row;
}

int TValueWatch::AnsweredRowOf(const TRegisterKey& Key) const
{
    if (!Key.Type) return 0;
    const int row = FOwner->FFresh.RowOf(Key, Key.Type->Rows);
    if (row <= 0 || row >= FOwner->sgData->RowCount()) return 0;
    // The row decodes the register as the key's type.
    return FOwner->FTypeCache.Find(row, FOwner->sgData->CellRef(colDataType, row)) == Key.Type ? row : 0;
}

QString TValueWatch::SeriesName(int Handle) const
{
    const int i = Recorder.IndexOf(Handle);
    if (i < 0) return QStringLiteral("Row %1").arg(Handle);
    const TChartSeries& s = Recorder.Series()[size_t(i)];
    const int row = CurrentRowOf(s.Key);
    return row > 0 ? RowName(row) : s.Name;
}

void TValueWatch::RemoveRow(int Row)
{
    if (Row == 0) Recorder.Clear();
    else Recorder.Remove(Row);
    if (FChart) FChart->SeriesChanged();
}

QString TValueWatch::RowName(int Row) const
{
    const TStringGrid* g = FOwner->sgData;
    if (Row >= 1 && Row < g->RowCount()) {
        const QString d = g->CellRef(colDescription, Row).trimmed();
        if (!d.isEmpty()) return d;
        const QString& a = g->CellRef(colAddress, Row);
        if (!a.isEmpty()) return QStringLiteral("Address %1").arg(a);
    }
    return QStringLiteral("Row %1").arg(Row);
}

QList<int> TValueWatch::LogRows() const
{
    const TStringGrid* g = FOwner->sgData;
    QList<int> rows;
    for (int r = 1; r < g->RowCount(); ++r)
        if (ValueDecoding::FindDataType(g->CellRef(colDataType, r))) rows.append(r);
    return rows;
}

bool TValueWatch::Logging() const { return Logger->Active(); }

void TValueWatch::StartLogging(const QString& FileName)
{
    // The chart's registers, or else every typed row's.
    std::vector<TRegisterKey> keys;
    QStringList headers;
    for (const TChartSeries& s : Recorder.Series()) {
        keys.push_back(s.Key);
        headers.append(SeriesName(s.Row));
    }
    if (keys.empty()) {
        for (int r : LogRows()) {
            keys.push_back(FOwner->KeyOfRow(r));
            headers.append(RowName(r));
        }
    }
    if (keys.empty()) throw EAppError(QStringLiteral("No row has a data type to log"));
    QString error;
    if (!Logger->Start(FileName, headers, error)) {
        UpdateLogAction();
        throw EAppError(error);
    }
    FLogKeys = std::move(keys);
    LogFile = FileName;
    UpdateLogAction();
}

void TValueWatch::StopLogging()
{
    Logger->Stop();
    UpdateLogAction();
}

void TValueWatch::LogCsvClicked()
{
    if (Logging()) {
        StopLogging();
        return;
    }
    const QString name = zorp::AskLogFile(FOwner, FLogDialog, LogFile);
    if (name.isEmpty()) return;
    StartLogging(name);
}

void TValueWatch::UpdateLogAction() { actLogCsv->setChecked(Logger->Active()); }

void TValueWatch::LoggingFailed(const QString& Message)
{
    // Shown once the response handler has returned; polling goes on.
    QTimer::singleShot(0, this, [this, Message] {
        UpdateLogAction();
        ShowErrorBox(Message + u'.');
    });
}

const zorp::TScaling* TValueWatch::ScalingOf(int Row) const
{
    return FOwner->RegisterTools ? FOwner->RegisterTools->ScalingOf(Row) : nullptr;
}

void TValueWatch::ResponseShown()
{
    const TStringGrid* g = FOwner->sgData;
    const int rows = g->RowCount();
    const bool plot = !Recorder.Series().empty();
    const bool log = Logger->Active();
    if (!plot && !log) return;
    const bool bits = FOwner->FShownFunc <= 2;
    // The clock without the local time's conversions, which only the log needs.
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    // A series and a log column follow their register: the row that shows
    // it in this answer, if any; a register this answer did not read gets a
    // gap (one, until it is read again) and an empty cell. Both take the
    // number the answer holds, never the Value text (units, names).
    if (plot) {
        const double key = double(now) / 1000.0;
        const int n = int(Recorder.Series().size());
        for (int i = 0; i < n; ++i) {
            TChartSeries& s = Recorder.At(i);
            if (FedElsewhere && FedElsewhere(s.Key)) continue;
            const int r = AnsweredRowOf(s.Key);
            double v = 0;
            if (r > 0 && TRegisterGrid::RowNumber(s.Key.Type, r, FOwner->ReadData, FOwner->ReadDataBool, bits,
                                                  ScalingOf(r), v)) {
                s.Gap = false;
                Recorder.RecordNumber(i, key, v);
            } else if (!s.Gap && !s.Points.empty()) {
                s.Gap = true;
                Recorder.RecordNumber(i, key, std::numeric_limits<double>::quiet_NaN());
            }
        }
        if (FChart) FChart->DataAdded();
    }
    if (log) {
        std::vector<QString> texts;
        texts.reserve(FLogKeys.size());
        for (const TRegisterKey& k : FLogKeys) {
            const int r = AnsweredRowOf(k);
            texts.push_back(r > 0 && r < rows ? TRegisterGrid::LogText(k.Type, r, FOwner->ReadData, FOwner->ReadDataBool,
                                                                       bits, ScalingOf(r), g->CellRef(colValue, r))
                                              : QString());
        }
        std::vector<QStringView> values(texts.begin(), texts.end());
        Logger->WriteRow(QDateTime::fromMSecsSinceEpoch(now), values.data(), int(values.size()));
    }
}

void TValueWatch::SaveProfile(zorp::TIniFile& Ini) const
{
    QStringList rows, colors;
    // The rows of the registers in the layout saved; others cannot come back.
    for (const TChartSeries& s : Recorder.Series()) {
        const int row = CurrentRowOf(s.Key);
        if (row <= 0) continue;
        rows.append(QString::number(row));
        colors.append(s.Color.name());
    }
    // A profile made without the chart stays as the designed format has it;
    // one that had a [Chart] section gets it emptied.
    if (rows.isEmpty() && LogFile.isEmpty() && !Ini.SectionExists(kChart)) return;
    Ini.WriteString(kChart, QStringLiteral("Rows"), rows.join(u','));
    Ini.WriteString(kChart, QStringLiteral("Colors"), colors.join(u','));
    Ini.WriteString(kChart, QStringLiteral("LogFile"), LogFile);
}

void TValueWatch::LoadProfile(const zorp::TIniFile& Ini)
{
    // The chart's rows belong to the grid's layout: a profile without them
    // leaves none.
    Recorder.Clear();
    const QStringList rows = Ini.ReadString(kChart, QStringLiteral("Rows"), QString()).split(u',', Qt::SkipEmptyParts);
    const QStringList colors = Ini.ReadString(kChart, QStringLiteral("Colors"), QString()).split(u',');
    for (qsizetype i = 0; i < rows.size(); ++i) {
        int64_t row = 0;
        // Rows that the layout does not hold as numbers are left out.
        if (!zorp::ParseInt(rows[i].trimmed(), 0, INT32_MAX, row) || !CanPlotRow(int(row))) continue;
        QColor color;
        if (i < colors.size()) color = QColor::fromString(colors[i].trimmed());
        if (!Plotted(FOwner->KeyOfRow(int(row)))) AddSeries(int(row), color);
    }
    const QString file = Ini.ReadString(kChart, QStringLiteral("LogFile"), QString());
    if (Ini.ValueExists(kChart, QStringLiteral("LogFile"))) LogFile = file;
    if (FChart) FChart->SeriesChanged();
}
