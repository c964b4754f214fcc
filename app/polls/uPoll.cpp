// SPDX-License-Identifier: GPL-3.0-or-later
// A poll window: its fields, grid and counters around one TPoll.
#include "uPoll.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDialog>
#include <QDateTime>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QSaveFile>
#include <QVBoxLayout>

#include "AppErrors.h"
#include "CommLog.h"
#include "DesignTheme.h"
#include "FormStorage.h"
#include "LinkScheduler.h"
#include "PaintPacer.h"
#include "ProfileFile.h"
#include "PollLog.h"
#include "StatusBar.h"
#include "StringGrid.h"
#include "ScalingDialog.h"
#include "ValueDecoding.h"

namespace {
const char* const kFuncTexts[4] = {"01: Read Coil Status", "02: Read Input Status", "03: Read Holding Registers",
                                   "04: Read Input Registers"};
} // namespace

TfrmPoll::TfrmPoll(TLinkScheduler* Link, QWidget* Parent) : QWidget(Parent, Qt::Window)
{
    setObjectName(QStringLiteral("frmPoll"));
    setAttribute(Qt::WA_DeleteOnClose);
    Poll = new TPoll(Link, this);
    CreateControls();
    connect(Poll, &TPoll::CountersChanged, this, [this] { ShowCounters(); });
    connect(Poll, &TPoll::AnswerArrived, this, [this] { ShowAnswer(); });
    connect(Poll, &TPoll::ReadFailed, this, [this] {
        if (FFresh.Ended(TGridFreshness::TCause::ReadFailed, QDateTime::currentMSecsSinceEpoch()))
            sgData->InvalidateGrid();
    });
    connect(Poll, &TPoll::RealTimeChanged, this, [this](bool on) { cbRealTime->setChecked(on); });
    Log = new TPollLog(this);
    SetSettings(Poll->Settings);
    ShowCounters();
    resize(700, 420);
    // Repaints at the screen's rate, however fast the answers come; all poll
    // windows together spend at most 0.5 % of the time painting, so that eight
    // of them poll about as fast as one.
    static TPaintBudget budget(0.005);
    (new TPaintPacer(this))->SetBudget(&budget);
}

TfrmPoll::~TfrmPoll()
{
    // The poll goes first, so that no answer reaches controls being
    // destroyed; the fields' last signals (focus leaving) find no poll.
    for (QObject* o : std::initializer_list<QObject*>{leSlaveID, leStartAddress, leLength, leInterval, cbFunc, cbRealTime})
        QObject::disconnect(o, nullptr, this, nullptr);
    delete Poll;
    Poll = nullptr;
}

void TfrmPoll::CreateControls()
{
    auto* top = new QHBoxLayout;
    auto field = [&](const char* name, const QString& caption, int width, int maxLen) {
        auto* l = new QLabel(caption, this);
        auto* e = new QLineEdit(this);
        e->setObjectName(QLatin1String(name));
        e->setFixedWidth(width);
        e->setMaxLength(maxLen);
        e->setValidator(nullptr);
        l->setBuddy(e);
        top->addWidget(l);
        top->addWidget(e);
        return e;
    };
    leSlaveID = field("leSlaveID", QStringLiteral("Slave ID:"), 40, 3);
    cbFunc = new QComboBox(this);
    cbFunc->setObjectName(QStringLiteral("cbFunc"));
    for (const char* t : kFuncTexts) cbFunc->addItem(QLatin1String(t));
    top->addWidget(cbFunc);
    leStartAddress = field("leStartAddress", QStringLiteral("Start Address:"), 55, 5);
    leLength = field("leLength", QStringLiteral("Length:"), 40, 3);
    top->addStretch(1);
    auto* second = new QHBoxLayout;
    std::swap(top, second);
    leInterval = field("leInterval", QStringLiteral("Interval (ms):"), 55, 6);
    btnRead = new QPushButton(QStringLiteral("Read"), this);
    btnRead->setObjectName(QStringLiteral("btnRead"));
    top->addWidget(btnRead);
    cbRealTime = new QCheckBox(QStringLiteral("Real time"), this);
    cbRealTime->setObjectName(QStringLiteral("cbRealTime"));
    top->addWidget(cbRealTime);
    top->addStretch(1);

    sgData = new TStringGrid(this);
    sgData->setObjectName(QStringLiteral("sgData"));
    sgData->SetColCount(9);
    sgData->SetRowCount(2);
    sgData->SetFixedRows(1);
    sgData->SetFixedCols(1);
    sgData->setMinimumSize(200, 80);
    GridView.SetGrid(sgData);
    GridView.SetupHeader();
    GridView.Old = [this](int col, int row, int span) {
        if (row < 1 || (col != TRegisterGrid::colValue && col < TRegisterGrid::colHex)) return false;
        return !FFresh.Fresh(row, col == TRegisterGrid::colValue ? span : 1) && FFresh.ReadOf(row).Valid;
    };

    sBar = new TStatusBar(this);
    sBar->setObjectName(QStringLiteral("sBar"));
    sBar->setFixedHeight(19);
    sBar->AddPanel(100, Qt::AlignRight);
    sBar->AddPanel(110, Qt::AlignRight);
    sBar->AddPanel(100, Qt::AlignRight);
    sBar->AddPanel(50, Qt::AlignLeft);

    auto* v = new QVBoxLayout(this);
    v->setContentsMargins(6, 6, 6, 0);
    v->addLayout(second);
    v->addLayout(top);
    v->addWidget(sgData, 1);
    v->addWidget(sBar);

    auto fieldsChanged = [this] {
        if (!FSyncing && Poll) RunGuarded([this] { ApplyFields(); });
    };
    for (QLineEdit* e : {leSlaveID, leStartAddress, leLength, leInterval})
        connect(e, &QLineEdit::editingFinished, this, fieldsChanged);
    connect(cbFunc, &QComboBox::currentIndexChanged, this, fieldsChanged);
    connect(btnRead, &QPushButton::clicked, this, [this] { RunGuarded([this] { btnReadClick(); }); });
    connect(cbRealTime, &QCheckBox::toggled, this, [this](bool on) {
        RunGuarded([this, on] {
            if (on) ApplyFields();
            Poll->SetRealTime(on);
        });
        if (on != Poll->RealTime()) cbRealTime->setChecked(Poll->RealTime());
    });

    sgData->OnDrawCell = [this](TStringGrid*, QPainter& c, int col, int row, const QRect& r) {
        try {
            GridView.DrawCell(c, col, row, r);
        } catch (...) {
        }
    };
    sgData->OnMouseDown = [this](TStringGrid*, Qt::MouseButton b, Qt::KeyboardModifiers, int x, int y) {
        if (b != Qt::LeftButton) return;
        int col = -1, row = -1;
        if (!sgData->MouseToCell(QPoint(x, y), col, row)) return;
        RunGuarded([&] { GridView.EditCell(col, row); });
    };
    sgData->OnDblClick = [this](TStringGrid*, int col, int row) {
        if (col == TRegisterGrid::colValue || col >= TRegisterGrid::colHex)
            RunGuarded([&] { WriteRowValue(row); });
    };
    sgData->OnContextPopup = [this](TStringGrid*, const QPoint& pos) { RunGuarded([&] { ContextMenu(pos); }); };
    sgData->OnCopyText = [this](int col, int row) { return GridView.DisplayText(col, row); };
}

void TfrmPoll::SetSettings(const TPollSettings& s)
{
    FSyncing = true;
    Poll->Settings = s;
    leSlaveID->setText(QString::number(s.Unit));
    cbFunc->setCurrentIndex(s.Func >= 1 && s.Func <= 4 ? s.Func - 1 : 2);
    leStartAddress->setText(AddressText(s.Start));
    leLength->setText(QString::number(s.Length));
    leInterval->setText(QString::number(s.IntervalMs));
    Rows();
    for (int r = 1; r < sgData->RowCount(); ++r) {
        sgData->SetCells(TRegisterGrid::colDataType, r, r - 1 < s.Types.size() ? s.Types[r - 1] : QString());
        sgData->SetCells(TRegisterGrid::colDescription, r,
                         r - 1 < s.Descriptions.size() ? s.Descriptions[r - 1] : QString());
    }
    GridView.MarkContinuationRows();
    FSyncing = false;
    UpdateTitle();
}

TPollSettings TfrmPoll::CurrentSettings() const
{
    TPollSettings s = Poll->Settings;
    s.Types.clear();
    s.Descriptions.clear();
    for (int r = 1; r < sgData->RowCount(); ++r) {
        s.Types.append(sgData->Cells(TRegisterGrid::colDataType, r));
        s.Descriptions.append(sgData->Cells(TRegisterGrid::colDescription, r));
    }
    while (!s.Types.isEmpty() && s.Types.last().isEmpty() && s.Descriptions.last().isEmpty()) {
        s.Types.removeLast();
        s.Descriptions.removeLast();
    }
    return s;
}

void TfrmPoll::ApplyFields()
{
    TPollSettings s = Poll->Settings;
    s.Unit = StrToInt(leSlaveID->text());
    s.Func = cbFunc->currentIndex() + 1;
    s.Start = StartField(leStartAddress->text());
    s.Length = StrToInt(leLength->text());
    s.IntervalMs = StrToInt(leInterval->text());
    const QString problem = s.Problem();
    if (!problem.isEmpty()) throw EAppError(problem);
    const bool rows = s.Length != Poll->Settings.Length || s.Start != Poll->Settings.Start;
    Poll->Settings = s;
    if (rows) Rows();
    if (!CurrentNotation().IsDesigned()) NotationChanged();
    GridSourceChanged();
    UpdateTitle();
}

void TfrmPoll::Rows()
{
    const TPollSettings& s = Poll->Settings;
    sgData->SetRowCount(std::max(2, s.Length + 1));
    GridView.UpdateRowColors();
    GridView.FillAddresses(s.Start, [this](int64_t a) { return AddressText(a); });
    GridSourceChanged();
}

void TfrmPoll::GridSourceChanged()
{
    const TPollSettings& s = Poll->Settings;
    if (FFresh.SetGrid(TReadSource{s.Func, s.Unit, s.Start & 0xFFFF})) sgData->InvalidateGrid();
}

void TfrmPoll::btnReadClick()
{
    ApplyFields();
    Poll->Read();
}

QString TfrmPoll::TitleText() const
{
    const TLinkScheduler* link = Poll->Link();
    const QString name = link && link->LinkName ? link->LinkName() : QString();
    return QStringLiteral("%1 - %2%3").arg(AppTitle(), name.isEmpty() ? QString() : name + QStringLiteral(", "),
                                           Poll->Title());
}

void TfrmPoll::UpdateTitle() { setWindowTitle(TitleText()); }

void TfrmPoll::ShowCounters()
{
    sBar->SetPanelNumber(0, QLatin1StringView("Polls: "), Poll->Polls);
    sBar->SetPanelNumber(1, QLatin1StringView("Responses: "), Poll->Responses);
    sBar->SetPanelNumber(2, QLatin1StringView("Errors: "), Poll->Errors);
    QString hint;
    for (auto it = Poll->ErrorTexts.rbegin(); it != Poll->ErrorTexts.rend(); ++it)
        hint += (hint.isEmpty() ? QString() : QStringLiteral("\n")) + *it;
    sBar->SetPanelHint(2, hint);
}

void TfrmPoll::ShowAnswer()
{
    const int func = Poll->AnsweredFunc;
    const int items = func <= 2 ? int(Poll->Bits.size()) : int((Poll->Data.size() + 1) / 2);
    if (func <= 2) {
        GridView.ShowBitData(Poll->Bits);
    } else {
        GridView.ShowRegisterData(Poll->Data);
        GridView.ShowEngineering(FScaling, Poll->Data);
    }
    if (FFresh.Answered(TReadSource{func, Poll->AnsweredUnit, Poll->AnsweredAddress},
                        QDateTime::currentMSecsSinceEpoch(), std::min(items, sgData->RowCount() - 1)))
        sgData->InvalidateGrid();
    emit ValuesShown();
}

TRegisterKey TfrmPoll::KeyOfRow(int Row)
{
    const TPollSettings& s = Poll->Settings;
    TRegisterKey k;
    k.Unit = s.Unit;
    k.Func = s.Func;
    k.Address = (s.Start + Row - 1) & 0xFFFF;
    if (Row >= 1 && Row < sgData->RowCount())
        k.Type = ValueDecoding::FindDataType(sgData->CellRef(TRegisterGrid::colDataType, Row));
    return k;
}

int TfrmPoll::AnsweredRowOf(const TRegisterKey& Key) const
{
    if (!Key.Type) return 0;
    const int row = FFresh.RowOf(Key, Key.Type->Rows);
    if (row <= 0 || row >= sgData->RowCount()) return 0;
    return ValueDecoding::FindDataType(sgData->CellRef(TRegisterGrid::colDataType, row)) == Key.Type ? row : 0;
}

bool TfrmPoll::NumberOf(const TRegisterKey& Key, double& Out) const
{
    const int row = AnsweredRowOf(Key);
    return row > 0 && TRegisterGrid::RowNumber(Key.Type, row, Poll->Data, Poll->Bits, Poll->AnsweredFunc <= 2,
                                               ScalingOf(row), Out);
}

QString TfrmPoll::LogText(const TRegisterKey& Key) const
{
    const int row = AnsweredRowOf(Key);
    if (row <= 0) return QString();
    return TRegisterGrid::LogText(Key.Type, row, Poll->Data, Poll->Bits, Poll->AnsweredFunc <= 2, ScalingOf(row),
                                  sgData->CellRef(TRegisterGrid::colValue, row));
}

QString TfrmPoll::RowName(int Row) const
{
    if (Row >= 1 && Row < sgData->RowCount()) {
        const QString d = sgData->CellRef(TRegisterGrid::colDescription, Row).trimmed();
        if (!d.isEmpty()) return d;
        return QStringLiteral("Address %1").arg(sgData->CellRef(TRegisterGrid::colAddress, Row));
    }
    return QStringLiteral("Row %1").arg(Row);
}

zorp::TAddressNotation TfrmPoll::CurrentNotation() const { return Notation ? Notation() : zorp::TAddressNotation(); }

QString TfrmPoll::AddressText(int64_t Address) const
{
    const zorp::TAddressNotation n = CurrentNotation();
    if (n.IsDesigned()) return ValueDecoding::SignedText(Address);
    // Other notations name the register on the wire: numbers wrap there.
    return zorp::FormatAddress(((Address - 1) & 0xFFFF) + 1, Poll->Settings.Func, n);
}

int TfrmPoll::StartField(const QString& Text) const
{
    const zorp::TAddressNotation n = CurrentNotation();
    if (n.IsDesigned()) return StrToInt(Text);
    // The field is written for the function the poll had (a Modicon
    // address names its table); ApplyFields writes it anew for the new one.
    const zorp::TAddressText a = zorp::ParseAddress(Text, Poll->Settings.Func, n);
    if (!a.Ok) throw EAppError(QStringLiteral("Start Address: ") + a.Error);
    return int(a.Address);
}

void TfrmPoll::NotationChanged()
{
    FSyncing = true;
    leStartAddress->setMaxLength(CurrentNotation().IsDesigned() ? 5 : 7);
    leStartAddress->setText(AddressText(Poll->Settings.Start));
    FSyncing = false;
    GridView.FillAddresses(Poll->Settings.Start, [this](int64_t a) { return AddressText(a); });
}

void TfrmPoll::EditScaling(int Row)
{
    const TDataTypeInfo* type =
        Row >= 1 && Row < sgData->RowCount() ? ValueDecoding::FindDataType(sgData->CellRef(TRegisterGrid::colDataType, Row)) : nullptr;
    if (!type || !zorp::CanScale(*type))
        throw EAppError(QStringLiteral("Give the row a numeric data type first: engineering values scale numbers"));
    const zorp::TScaling* now = ScalingOf(Row);
    TfrmScaling dlg(this, QStringLiteral("Engineering value of %1").arg(sgData->CellRef(TRegisterGrid::colAddress, Row)),
                    now ? *now : zorp::TScaling(), zorp::CanEnumerate(*type));
    QPointer<TfrmPoll> self(this);
    if (dlg.exec() != QDialog::Accepted || !self) return;
    SetScaling(Row, dlg.Result);
}

void TfrmPoll::SetScalings(const std::map<int, zorp::TScaling>& Scaling)
{
    FScaling.clear();
    for (const auto& [row, s] : Scaling)
        if (!s.Empty()) FScaling[row] = s;
    GridView.Rendered.Valid = false;
    if (Poll->AnsweredFunc >= 3 && Poll->AnsweredFunc == Poll->Settings.Func) {
        GridView.ShowRegisterData(Poll->Data);
        GridView.ShowEngineering(FScaling, Poll->Data);
    }
}

const zorp::TScaling* TfrmPoll::ScalingOf(int Row) const
{
    const auto it = FScaling.find(Row);
    return it == FScaling.end() ? nullptr : &it->second;
}

void TfrmPoll::SetScaling(int Row, const zorp::TScaling& Scaling)
{
    std::map<int, zorp::TScaling> all = FScaling;
    all[Row] = Scaling;
    SetScalings(all);
}

void TfrmPoll::WriteRowValue(int Row)
{
    const TShownAnswer shown{Poll->AnsweredFunc, Poll->AnsweredAddress, &Poll->Data, &Poll->Bits};
    bool use16 = false;
    TWriteRequest w;
    QPointer<TfrmPoll> self(this);
    if (!AskRowWrite(this, GridView, shown, Row, use16, w) || !self) return;
    Poll->Write(w);
}

void TfrmPoll::ContextMenu(const QPoint& pos)
{
    int col = -1, row = -1;
    const bool onCell = sgData->MouseToCell(pos, col, row);
    const TShownAnswer shown{Poll->AnsweredFunc, Poll->AnsweredAddress, &Poll->Data, &Poll->Bits};
    QMenu menu(this);
    menu.setObjectName(QStringLiteral("mnuGrid"));
    QAction* write = menu.addAction(QStringLiteral("Write value..."));
    write->setEnabled(onCell && CanWriteGridRow(GridView, shown, row));
    QAction* copy = menu.addAction(QStringLiteral("Copy"));
    copy->setEnabled(sgData->HasSelection());
    QAction* plot = menu.addAction(QStringLiteral("Plot this row"));
    plot->setEnabled(onCell && OnPlotRow && CanPlotRow && CanPlotRow(this, row));
    QAction* csv = menu.addAction(QStringLiteral("Export grid as CSV..."));
    QAction* frames = menu.addAction(QStringLiteral("Frames of this poll..."));
    // Beyond the entries above (their places stay as they were).
    menu.addSeparator();
    QAction* scaling = menu.addAction(QStringLiteral("Engineering value..."));
    scaling->setObjectName(QStringLiteral("actScaling"));
    const TDataTypeInfo* type =
        onCell && row >= 1 ? ValueDecoding::FindDataType(sgData->CellRef(TRegisterGrid::colDataType, row)) : nullptr;
    scaling->setEnabled(type && zorp::CanScale(*type));
    menu.addAction(Log->actLogCsv);
    QAction* profile = menu.addAction(QStringLiteral("Load profile..."));
    profile->setObjectName(QStringLiteral("actLoadProfile"));
    QPointer<TfrmPoll> self(this);
    QAction* chosen = GridMenuHook ? GridMenuHook(&menu) : menu.exec(sgData->viewport()->mapToGlobal(pos));
    if (!self) return;
    if (chosen == write && write->isEnabled()) WriteRowValue(row);
    else if (chosen == copy) sgData->CopySelection();
    else if (chosen == plot && plot->isEnabled()) OnPlotRow(this, row);
    else if (chosen == scaling && scaling->isEnabled()) EditScaling(row);
    else if (chosen == csv) ExportCsv();
    else if (chosen == frames) ShowFrames();
    else if (chosen == profile) LoadProfileClicked();
}

void TfrmPoll::LoadProfileClicked()
{
    QString name;
    if (AskProfileFile) {
        name = AskProfileFile();
    } else {
        QFileDialog dlg(this, QStringLiteral("Load profile"), zorp::ProfilesFolder(),
                        QStringLiteral("Settings file (*.zvst);;All files (*)"));
        dlg.setAcceptMode(QFileDialog::AcceptOpen);
        dlg.setFileMode(QFileDialog::ExistingFile);
        QPointer<TfrmPoll> self(this);
        const bool ok = dlg.exec() == QDialog::Accepted;
        if (!self || !ok || dlg.selectedFiles().isEmpty()) return;
        name = dlg.selectedFiles().constFirst();
    }
    if (!name.isEmpty()) LoadProfile(name);
}

void TfrmPoll::LoadProfile(const QString& FileName)
{
    TProfile p;
    std::string error;
    if (!ReadProfile(FileName, p, error)) throw EAppError(QStringLiteral("The profile cannot be loaded: %1").arg(QString::fromStdString(error)));
    TPollSettings s = Poll->Settings;
    s.Unit = int(p.SlaveID);
    s.Func = int(p.Function);
    s.Start = int(p.Start);
    s.Length = int(p.Length);
    s.Types = QStringList(p.DataTypes.begin(), p.DataTypes.end());
    s.Descriptions = QStringList(p.Descriptions.begin(), p.Descriptions.end());
    const QString problem = s.Problem();
    if (!problem.isEmpty()) throw EAppError(problem);
    SetSettings(s);
    NotationChanged();
    GridSourceChanged();
    SetScalings(p.Scaling);
}

void TfrmPoll::ShowFrames()
{
    // The link's log filtered to this poll: its frames in the log's format
    // and colours, as they stand now.
    auto* dlg = new QDialog(this);
    dlg->setObjectName(QStringLiteral("dlgPollFrames"));
    dlg->setAttribute(Qt::WA_DeleteOnClose);
    dlg->setWindowTitle(QStringLiteral("Frames of %1").arg(Poll->Title()));
    auto* log = new TCommLog(dlg);
    log->setObjectName(QStringLiteral("REFrames"));
    log->setFont(font());
    for (const TPoll::TFrame& f : Poll->Frames)
        log->AppendLine(f.Line, f.Sent ? QColor(255, 0, 0) : QColor(0, 0, 255));
    auto* v = new QVBoxLayout(dlg);
    v->addWidget(log);
    dlg->resize(720, 300);
    dlg->show();
    log->ScrollToEnd();
    FFramesDialog = dlg;
}

void TfrmPoll::ExportCsv()
{
    QString name;
    if (AskCsvFile) {
        name = AskCsvFile();
    } else {
        QFileDialog dlg(this);
        dlg.setWindowTitle(QStringLiteral("Export grid as CSV"));
        dlg.setNameFilter(QStringLiteral("CSV files (*.csv);;All files (*)"));
        dlg.setDefaultSuffix(QStringLiteral("csv"));
        dlg.setAcceptMode(QFileDialog::AcceptSave);
        name = zorp::RunSaveDialog(&dlg);
    }
    if (name.isEmpty()) return;
    QSaveFile f(name);
    const QByteArray bytes = CsvText().toUtf8();
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size() || !f.commit()) throw EFileWriteError(name);
}

void TfrmPoll::closeEvent(QCloseEvent* e)
{
    Poll->SetRealTime(false);
    QWidget::closeEvent(e);
}
