// SPDX-License-Identifier: GPL-3.0-or-later
// TPaintPacer: a window's repaint requests, at most one per frame.
#include "PaintPacer.h"

#include <QCoreApplication>
#include <QEvent>
#include <QWidget>
#include <algorithm>

TPaintBudget::~TPaintBudget()
{
    for (TPaintPacer* p : FPacers) p->FBudget = nullptr;
}

int TPaintBudget::FrameMs(int frameMs) const
{
    // The windows painting now: those that painted within the last second
    // (an open window that shows nothing new costs nothing).
    const qint64 now = TPaintPacer::NowMs();
    qint64 costNs = 0;
    for (const TPaintPacer* p : FPacers)
        if (now - p->FLastPaintMs < 1000) costNs += p->FCostNs;
    // Every window paints once per interval: the interval that keeps their
    // paints within the share.
    const double needMs = FShare > 0 ? double(costNs) / 1e6 / FShare : 0.0;
    return std::clamp(int(needMs + 0.5), frameMs, std::max(frameMs, FMaxFrameMs));
}

TPaintPacer::TPaintPacer(QWidget* window, int frameMs)
    : QObject(window), FWindow(window), FFrameMs(frameMs > 0 ? frameMs : 1)
{
    FClock.start();
    FTimer.setSingleShot(true);
    FTimer.setTimerType(Qt::PreciseTimer);
    connect(&FTimer, &QTimer::timeout, this, &TPaintPacer::Flush);
    window->installEventFilter(this);
}

TPaintPacer::~TPaintPacer() { SetBudget(nullptr); }

void TPaintPacer::SetBudget(TPaintBudget* Budget)
{
    if (FBudget) std::erase(FBudget->FPacers, this);
    FBudget = Budget;
    if (FBudget) FBudget->FPacers.push_back(this);
}

int TPaintPacer::CurrentFrameMs() const { return FBudget ? FBudget->FrameMs(FFrameMs) : FFrameMs; }

qint64 TPaintPacer::NowMs()
{
    static QElapsedTimer clock;
    if (!clock.isValid()) clock.start();
    return clock.elapsed();
}

void TPaintPacer::Pass(QEvent* request)
{
    FLastPaintMs = NowMs();
    QElapsedTimer t;
    t.start();
    FPassing = true;
    QCoreApplication::sendEvent(FWindow, request);
    FPassing = false;
    // Smoothed over about eight paints: one slow paint (the machine busy
    // elsewhere) moves the pace little.
    const qint64 ns = t.nsecsElapsed();
    FCostNs = FCostNs == 0 ? ns : FCostNs + (ns - FCostNs) / 8;
}

bool TPaintPacer::eventFilter(QObject* watched, QEvent* event)
{
    // The window paints its dirty regions when it receives UpdateRequest;
    // while one is held back, the window asks for no other.
    if (watched != FWindow || event->type() != QEvent::UpdateRequest || FPassing) return false;
    const qint64 now = FClock.elapsed();
    const qint64 since = now - FLastPaint;
    const int frame = CurrentFrameMs();
    if (!FPainted || since >= frame || (Active && !Active())) {
        FPainted = true;
        FLastPaint = now;
        if (!FBudget) return false;
        // Under a budget the paint is measured: handed over here, at once.
        Pass(event);
        return true;
    }
    ++FHeld;
    if (!FTimer.isActive()) FTimer.start(int(frame - since));
    return true;
}

void TPaintPacer::Flush()
{
    FPainted = true;
    FLastPaint = FClock.elapsed();
    QEvent request(QEvent::UpdateRequest);
    Pass(&request);
}
