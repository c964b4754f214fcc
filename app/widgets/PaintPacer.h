// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TPaintPacer: paces the repaints of one top-level window to the rate a
// screen can show. A window whose contents change thousands of times a
// second (the log, the grid and the counters in a Real-time poll) would
// otherwise paint every change, and painting would then cost far more than
// the polling itself. A repaint goes through at once when the last one is at
// least a frame ago; otherwise it is held until that frame is over, and then
// everything that changed meanwhile is painted in one go. What ends up on
// the screen is the same; a change is at most one frame late. Pacing applies
// only while Active says so (unset: always).
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <functional>

class QWidget;

class TPaintPacer : public QObject {
public:
    // Installs itself on window (which owns it).
    explicit TPaintPacer(QWidget* window, int frameMs = 16);

    // Whether repaints are paced now.
    std::function<bool()> Active;

    int FrameMs() const { return FFrameMs; }
    // Repaints held back so far (for diagnostics and tests).
    int Held() const { return FHeld; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Flush();

    QWidget* FWindow;
    int FFrameMs;
    QElapsedTimer FClock;
    qint64 FLastPaint = 0;
    bool FPainted = false;   // a repaint went through already
    bool FPassing = false;   // Flush is handing a repaint to the window
    int FHeld = 0;
    QTimer FTimer;
};
