// SPDX-License-Identifier: GPL-3.0-or-later
// The poll windows of a connection window and its link's scheduler.
#include "PollWindows.h"

#include <QAction>
#include <QActionGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QMenu>
#include <QTimer>

#include "AppErrors.h"
#include "CommLog.h"
#include "LabeledEdit.h"
#include "LinkRecovery.h"
#include "LinkScheduler.h"
#include "PollChart.h"
#include "RadioGroup.h"
#include "RealTimeIntent.h"
#include "StringGrid.h"
#include "VexaModbus.h"
#include "uMaster.h"
#include "uPoll.h"

namespace {
// The log's tag of the Data panel's frames; poll windows' follow it.
constexpr uint32_t kPanelLogTag = 1;
} // namespace

TPollWindows::TPollWindows(TfrmModbusMaster* Owner) : QObject(Owner), FOwner(Owner)
{
    setObjectName(QStringLiteral("PollWindows"));
    actNewPoll = new QAction(QStringLiteral("New &poll window"), this);
    actNewPoll->setObjectName(QStringLiteral("actNewPoll"));
    actNewPoll->setShortcut(QKeySequence(QStringLiteral("Ctrl+Shift+N")));
    connect(actNewPoll, &QAction::triggered, this, [this] { RunGuarded([this] { NewPollWindow()->show(); }); });
    QMenu* file = Owner->mnuFile;
    file->insertAction(file->actions().value(0), actNewPoll);
    file->insertSeparator(file->actions().value(1));
    if (QMenu* view = Owner->ExtensionMenu(QStringLiteral("View"))) {
        mnuLogFilter = view->addMenu(QStringLiteral("Log filter"));
        mnuLogFilter->setObjectName(QStringLiteral("mnuLogFilter"));
        connect(mnuLogFilter, &QMenu::aboutToShow, this, [this] { FillLogFilter(); });
        FillLogFilter();
    }
}

void TPollWindows::FillLogFilter()
{
    if (!mnuLogFilter) return;
    mnuLogFilter->clear();
    auto* group = new QActionGroup(mnuLogFilter);
    auto add = [&](const QString& text, TPoll* poll) {
        QAction* a = mnuLogFilter->addAction(text);
        a->setCheckable(true);
        a->setChecked(poll == FLogOnly.data());
        group->addAction(a);
        QPointer<TPoll> p(poll);
        connect(a, &QAction::triggered, this, [this, p, all = poll == nullptr] {
            if (all || p) SetLogFilter(p);
        });
    };
    add(QStringLiteral("All polls"), nullptr);
    for (TfrmPoll* w : Windows()) add(w->windowTitle(), w->Poll);
}

void TPollWindows::SetLogFilter(TPoll* Poll)
{
    FLogOnly = Poll;
    // The log shows the lines it holds anew under the filter.
    FOwner->REComm->SetFilterTag(Poll ? Poll->LogTag : 0);
    FillLogFilter();
}

TPollWindows::~TPollWindows()
{
    // The poll windows are the connection window's children and go with
    // it; their polls leave the scheduler first. Each deletion shortens
    // FWindows (its destroyed signal), so the loop walks a copy.
    FClosing = true;
    const QList<QPointer<TfrmPoll>> windows = FWindows;
    for (const QPointer<TfrmPoll>& w : windows)
        if (w) delete w.data();
}

TLinkScheduler* TPollWindows::Scheduler()
{
    if (!FScheduler) {
        TfrmModbusMaster* w = FOwner;
        FScheduler = new TLinkScheduler(w->mdb, this);
        FScheduler->LinkName = [this] { return LinkName(); };
        FScheduler->DesignedBusy = [w] { return w->FInFlight != TfrmModbusMaster::TInFlight::None; };
        FScheduler->DesignedTurn = [w] { w->DesignedTurn(); };
        FScheduler->FormatFrame = [](const uint8_t* b, int32_t n) { return TfrmModbusMaster::FormatLogLineNow(b, n); };
        // Each frame in the log is tagged with its poll (the Data panel's
        // with a tag of their own), for the log's filter; other lines are
        // the link's.
        QPointer<TCommLog> log = w->REComm;
        FScheduler->FrameBegins = [log](const TPoll* p) {
            if (log) log->SetAppendTag(p ? p->LogTag : kPanelLogTag);
        };
        FScheduler->FrameEnds = [log] {
            if (log) log->SetAppendTag(0);
        };
        w->Scheduler = FScheduler;
    }
    return FScheduler;
}

TfrmPoll* TPollWindows::NewPollWindow(const TPollSettings* Settings)
{
    auto* f = new TfrmPoll(Scheduler(), FOwner);
    TfrmModbusMaster* w = FOwner;
    f->Notation = [w] { return w->FOptions.Addresses; };
    f->Poll->KeepRealTime = [this](int32_t code) { return PollFailed(code); };
    f->Poll->Name = QStringLiteral("Poll %1").arg(++FNumber);
    f->Poll->LogTag = kPanelLogTag + uint32_t(FNumber);
    TPollSettings s;
    if (Settings) {
        s = *Settings;
    } else {
        // A copy of the Data panel's read, a good start for another one.
        int v = 0;
        if (TryStrToInt(FOwner->leSlaveID->text(), v)) s.Unit = v;
        s.Func = FOwner->cbFunc->currentIndex() >= 0 ? FOwner->cbFunc->currentIndex() + 1 : 3;
        if (TryStrToInt(FOwner->leStartAddress->text(), v)) s.Start = v;
        if (TryStrToInt(FOwner->leLength->text(), v)) s.Length = std::clamp(v, 1, 255);
    }
    f->SetSettings(s);
    f->NotationChanged();
    if (!FChart) FChart = new TPollChart(FOwner);
    FChart->Attach(f);
    FWindows.append(f);
    connect(f, &QObject::destroyed, this, [this, tag = f->Poll->LogTag] {
        FWindows.removeIf([](const QPointer<TfrmPoll>& p) { return p.isNull(); });
        // The log was filtered to this poll: it shows every line again.
        if (!FClosing && FOwner->REComm->FilterTag() == tag) SetLogFilter(nullptr);
    });
    return f;
}

QList<TfrmPoll*> TPollWindows::Windows() const
{
    QList<TfrmPoll*> out;
    for (const QPointer<TfrmPoll>& w : FWindows)
        if (w) out.append(w.data());
    return out;
}

void TPollWindows::CloseAll()
{
    for (TfrmPoll* w : Windows()) delete w;
    FWindows.clear();
}

QString TPollWindows::LinkName() const
{
    const TfrmModbusMaster* w = FOwner;
    switch (w->rgModbusMode->ItemIndex()) {
    case 0: return QStringLiteral("COM %1").arg(w->leCOM->text());
    case 1: return QStringLiteral("RTU over TCP %1:%2").arg(w->leIP->text(), w->lePort->text());
    default: return QStringLiteral("%1:%2").arg(w->leIP->text(), w->lePort->text());
    }
}

bool TPollWindows::PollFailed(int32_t)
{
    TfrmModbusMaster* w = FOwner;
    if (!w->FOptions.KeepPollingAfterErrors) return false;
    // As with the window's own reads: an error that takes the link down
    // (the engine is closing it, or has) is the recovery's; the window
    // notices the ended link once the engine's pass is over.
    const auto state = w->mdb->GetState();
    if (state == msDisconnect || state == msNone || !w->mdb->Connected()) {
        if (w->Recovery) w->Recovery->ErrorReported();
        QTimer::singleShot(0, w, [w] { RunGuarded([w] { w->CheckLinkLost(); }); });
    }
    return true;
}

void TPollWindows::ResumeRealTime()
{
    for (TfrmPoll* f : Windows()) f->Poll->Resume();
}

void TPollWindows::LinkUp()
{
    QTimer::singleShot(0, this, [this] {
        if (!FOwner->mdb->Connected()) return;
        for (TfrmPoll* f : Windows()) RunGuarded([f] { zorp::StartRealTimeIntent(f->cbRealTime); });
        // A poll whose Real time is on (ticked while the link was down, or
        // kept on over a Disconnect) reads again, as its box says.
        ResumeRealTime();
    });
}

void TPollWindows::NotationChanged()
{
    for (TfrmPoll* w : Windows()) w->NotationChanged();
}

void TPollWindows::UpdateTitles()
{
    for (TfrmPoll* w : Windows()) w->UpdateTitle();
}
