// SPDX-License-Identifier: GPL-3.0-or-later
// TPaintPacer: a window's repaint requests, at most one per frame.
#include "PaintPacer.h"

#include <QCoreApplication>
#include <QEvent>
#include <QWidget>

TPaintPacer::TPaintPacer(QWidget* window, int frameMs)
    : QObject(window), FWindow(window), FFrameMs(frameMs > 0 ? frameMs : 1)
{
    FClock.start();
    FTimer.setSingleShot(true);
    FTimer.setTimerType(Qt::PreciseTimer);
    connect(&FTimer, &QTimer::timeout, this, &TPaintPacer::Flush);
    window->installEventFilter(this);
}

bool TPaintPacer::eventFilter(QObject* watched, QEvent* event)
{
    // The window paints its dirty regions when it receives UpdateRequest;
    // while one is held back, the window asks for no other.
    if (watched != FWindow || event->type() != QEvent::UpdateRequest || FPassing) return false;
    const qint64 now = FClock.elapsed();
    const qint64 since = now - FLastPaint;
    if (!FPainted || since >= FFrameMs || (Active && !Active())) {
        FPainted = true;
        FLastPaint = now;
        return false;
    }
    ++FHeld;
    if (!FTimer.isActive()) FTimer.start(int(FFrameMs - since));
    return true;
}

void TPaintPacer::Flush()
{
    FPainted = true;
    FLastPaint = FClock.elapsed();
    FPassing = true;
    QEvent request(QEvent::UpdateRequest);
    QCoreApplication::sendEvent(FWindow, &request);
    FPassing = false;
}
