// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TPollWindows: the poll windows of a connection window. File > "New poll
// window" opens another poll on the window's link; the link's scheduler is
// made with the first one, so that a window without poll windows runs
// exactly as designed.
#include <QList>
#include <QObject>
#include <QPointer>

#include "Poll.h"

class QAction;
class QMenu;
class TfrmModbusMaster;
class TfrmPoll;
class TLinkScheduler;

class TPollWindows : public QObject {
    Q_OBJECT
public:
    explicit TPollWindows(TfrmModbusMaster* Owner);
    ~TPollWindows() override;

    QAction* actNewPoll = nullptr; // File > "New poll window"
    // View > "Log filter": "All polls" (the designed log) or one poll
    // window's frames only (with the link's own lines). Filled as it opens.
    // A choice shows the lines the log holds anew under it, those hidden
    // by an earlier choice included.
    QMenu* mnuLogFilter = nullptr;
    void FillLogFilter();
    // The poll whose frames alone the log takes; nullptr: every frame.
    void SetLogFilter(TPoll* Poll);
    TPoll* LogFilter() const { return FLogOnly; }

    // The link's scheduler, made on first use.
    TLinkScheduler* Scheduler();
    // Opens a poll window (with Settings, or a copy of the Data panel's).
    TfrmPoll* NewPollWindow(const TPollSettings* Settings = nullptr);
    // The poll windows open now, in the order they were opened.
    QList<TfrmPoll*> Windows() const;
    // Closes every poll window.
    void CloseAll();
    // The link as titles name it.
    QString LinkName() const;
    // A poll's transaction failed: with Keep polling after errors its
    // cycle goes on, and an error that means the link is gone reaches the
    // lost-link recovery. True when the cycle goes on.
    bool PollFailed(int32_t Code);
    // The recovery took the link up again: Real-time polls read again.
    void ResumeRealTime();
    // The link is connected: poll windows whose workspace asked for Real
    // time while it was not start it now (after the connect report), their
    // Real time boxes ticked.
    void LinkUp();
    // Options > "Addresses" changed: the poll windows write addresses anew.
    void NotationChanged();
    // The poll windows' titles follow the link.
    void UpdateTitles();

private:
    TfrmModbusMaster* FOwner;
    TLinkScheduler* FScheduler = nullptr;
    class TPollChart* FChart = nullptr;
    QList<QPointer<TfrmPoll>> FWindows;
    QPointer<TPoll> FLogOnly;
    int FNumber = 0;
    bool FClosing = false; // being destroyed: the log may be gone
};
