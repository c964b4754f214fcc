// SPDX-License-Identifier: GPL-3.0-or-later
#include "LinkRecovery.h"
#include "PollWindows.h"

#include <QCheckBox>
#include <QPushButton>
#include <QTimer>
#include <algorithm>

#include "AppErrors.h"
#include "StatusBar.h"
#include "VexaModbus.h"
#include "uMaster.h"

TLinkRecovery::TLinkRecovery(TfrmModbusMaster* Owner) : QObject(Owner), FOwner(Owner)
{
    setObjectName(QStringLiteral("LinkRecovery"));
    FTimer = new QTimer(this);
    FTimer->setInterval(1000);
    connect(FTimer, &QTimer::timeout, this, [this] { RunGuarded([this] { Tick(); }); });
}

int TLinkRecovery::PauseSeconds(int Attempt)
{
    return Attempt >= 5 ? MaxPauseS : std::min(MaxPauseS, 1 << std::max(0, Attempt));
}

void TLinkRecovery::LinkEnded(bool Polling)
{
    if (!FOwner->FOptions.KeepPollingAfterErrors) {
        Cancel();
        return;
    }
    if (!FActive) {
        FActive = true;
        FAttempt = 0;
        FResume = Polling;
    }
    FConnecting = false;
    // Disconnect stops the recovery.
    FOwner->btnDisconnect->setEnabled(true);
    Schedule();
}

void TLinkRecovery::Schedule()
{
    FLeft = PauseSeconds(FAttempt);
    ShowLeft();
    FTimer->start();
}

void TLinkRecovery::ShowLeft()
{
    FOwner->sBar->SetPanelText(0, QStringLiteral("Reconnecting in %1 s").arg(FLeft));
}

void TLinkRecovery::Tick()
{
    if (!FActive) {
        FTimer->stop();
        return;
    }
    if (--FLeft > 0) {
        ShowLeft();
        return;
    }
    FTimer->stop();
    ++FAttempt;
    FConnecting = true;
    FOwner->sBar->SetPanelText(0, QStringLiteral("Reconnecting..."));
    // The engine keeps the settings of the last Connect.
    FOwner->mdb->Connect();
}

void TLinkRecovery::ErrorReported()
{
    if (!FActive || !FConnecting || FOwner->mdb->Connected()) return;
    FConnecting = false;
    Schedule();
}

void TLinkRecovery::Connected()
{
    if (!FActive) return;
    const bool resume = FResume;
    FActive = FConnecting = FResume = false;
    FTimer->stop();
    // The poll windows' Real-time cycles go on too.
    QTimer::singleShot(0, FOwner, [w = FOwner] {
        if (w->PollWindows) RunGuarded([w] { w->PollWindows->ResumeRealTime(); });
    });
    if (!resume) return;
    // After the connect report has returned: the Read of a new cycle.
    QTimer::singleShot(0, FOwner, [w = FOwner] {
        if (!w->cbRealTime->isChecked() || w->FInFlight != TfrmModbusMaster::TInFlight::None) return;
        // A pause of the old link's cycle would read a second time.
        w->ReadAgainTimer->stop();
        RunGuarded([w] { w->btnReadClick(w->btnRead); });
    });
}

void TLinkRecovery::Cancel()
{
    const bool was = FActive;
    FActive = FConnecting = FResume = false;
    FTimer->stop();
    if (was && !FOwner->mdb->Connected()) {
        FOwner->btnDisconnect->setEnabled(false);
        FOwner->sBar->SetPanelText(0, FOwner->LinkLostText());
    }
}
