// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TLinkRecovery: with Options > "Keep polling after errors", a link that
// ended without the user asking (the slave closed or reset the connection,
// the serial adapter went away) is opened again after a pause that doubles
// with every failed attempt (1 s, 2 s, 4 s ... at most 30 s), and a
// Real-time cycle that ran when the link ended goes on once it is back.
// Status-bar panel 0 counts the pause down ("Reconnecting in N s").
// Connect or Disconnect pressed meanwhile ends the recovery.
#include <QObject>

class QTimer;
class TfrmModbusMaster;

class TLinkRecovery : public QObject {
public:
    explicit TLinkRecovery(TfrmModbusMaster* Owner);

    static constexpr int MaxPauseS = 30;
    // The pause before attempt n (from 0), in seconds.
    static int PauseSeconds(int Attempt);

    // The link ended without the user asking; Polling: a Real-time cycle ran.
    void LinkEnded(bool Polling);
    // The user took over (Connect or Disconnect).
    void Cancel();
    // The link is back (the window's connect report).
    void Connected();
    // An engine error: when an attempt is under way, it failed.
    void ErrorReported();

    bool Active() const { return FActive; }
    bool Connecting() const { return FConnecting; }
    int SecondsLeft() const { return FLeft; }
    int Attempts() const { return FAttempt; }

private:
    void Schedule();
    void Tick();
    void ShowLeft();
    TfrmModbusMaster* FOwner;
    QTimer* FTimer = nullptr;
    int FAttempt = 0;
    int FLeft = 0;
    bool FActive = false;
    bool FConnecting = false;
    bool FResume = false;
};
