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
//
// Windows that change together (several polls of one link) may share a
// TPaintBudget: each pacer measures what its window's paints cost, and when
// the windows of a budget together would spend more than its share of the
// time painting at one frame each, every one of them paints less often (at
// most MaxFrameMs apart), so that the work they show keeps the time.
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <functional>
#include <vector>

class QWidget;
class TPaintPacer;

class TPaintBudget {
public:
    // Share: the part of the time the windows may paint (0.02: 2 %).
    explicit TPaintBudget(double Share, int MaxFrameMs = 100) : FShare(Share), FMaxFrameMs(MaxFrameMs) {}
    ~TPaintBudget();
    TPaintBudget(const TPaintBudget&) = delete;
    TPaintBudget& operator=(const TPaintBudget&) = delete;
    // The shortest time between two paints of one window, in ms, for
    // windows that each paint at most once every frameMs.
    int FrameMs(int frameMs) const;

private:
    friend class TPaintPacer;
    double FShare;
    int FMaxFrameMs;
    std::vector<TPaintPacer*> FPacers;
};

class TPaintPacer : public QObject {
public:
    // Installs itself on window (which owns it).
    explicit TPaintPacer(QWidget* window, int frameMs = 16);
    ~TPaintPacer() override;

    // Joins Budget (nullptr: none); the budget must outlive the pacer.
    void SetBudget(TPaintBudget* Budget);
    // The time between two paints now (FrameMs, or longer under a budget).
    int CurrentFrameMs() const;
    // What a paint of the window costs, smoothed over the last ones (ns).
    qint64 PaintCostNs() const { return FCostNs; }

    // Whether repaints are paced now.
    std::function<bool()> Active;

    int FrameMs() const { return FFrameMs; }
    // Repaints held back so far (for diagnostics and tests).
    int Held() const { return FHeld; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    friend class TPaintBudget;
    void Flush();
    // Hands the repaint request to the window now and measures the paint.
    void Pass(QEvent* request);
    // One clock for every pacer of a budget.
    static qint64 NowMs();

    QWidget* FWindow;
    int FFrameMs;
    QElapsedTimer FClock;
    qint64 FLastPaint = 0;
    bool FPainted = false;   // a repaint went through already
    bool FPassing = false;   // Flush is handing a repaint to the window
    int FHeld = 0;
    qint64 FCostNs = 0;
    qint64 FLastPaintMs = -1000000; // on NowMs's clock, measured paints only
    TPaintBudget* FBudget = nullptr;
    QTimer FTimer;
};
