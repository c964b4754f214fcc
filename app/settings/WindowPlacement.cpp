// SPDX-License-Identifier: GPL-3.0-or-later
#include "WindowPlacement.h"

#include <QGuiApplication>
#include <QRect>
#include <QScreen>
#include <QWidget>
#include <algorithm>

namespace zorp {

TWindowPlacement GetWindowPlacement(const QWidget* w)
{
    TWindowPlacement p;
    const Qt::WindowStates st = w->windowState();
    if (st & Qt::WindowMinimized) {
        p.showCmd = SW_SHOWMINIMIZED;
        if (st & Qt::WindowMaximized)
            p.flags |= WPF_RESTORETOMAXIMIZED;
    } else if (st & (Qt::WindowMaximized | Qt::WindowFullScreen)) {
        p.showCmd = SW_SHOWMAXIMIZED;
    }
    QRect r = w->normalGeometry();
    if (!r.isValid())
        r = w->geometry();
    p.left = r.x();
    p.top = r.y();
    p.right = r.x() + r.width();
    p.bottom = r.y() + r.height();
    return p;
}

void SetWindowPlacement(QWidget* w, const TWindowPlacement& p)
{
    const QRect current = w->geometry();
    // Work in 64 bits: the numbers come from a file and may be anything.
    const qint64 width64 = qint64(p.right) - p.left;
    const qint64 height64 = qint64(p.bottom) - p.top;
    int width = width64 > 0 && width64 <= INT32_MAX ? int(width64) : current.width();
    int height = height64 > 0 && height64 <= INT32_MAX ? int(height64) : current.height();

    QRect desktop;
    QRect primary(0, 0, 1024, 768);
    if (QScreen* s = QGuiApplication::primaryScreen()) {
        primary = s->availableGeometry();
        desktop = s->virtualGeometry();
    }
    if (desktop.isEmpty())
        desktop = primary;
    width = std::clamp(width, 1, std::max(desktop.width(), w->width()));
    height = std::clamp(height, 1, std::max(desktop.height(), w->height()));

    QRect r(p.left, p.top, width, height);
    bool visible = false;
    for (QScreen* s : QGuiApplication::screens())
        if (s->availableGeometry().intersects(r))
            visible = true;
    if (!visible)
        r.moveTopLeft(primary.topLeft());
    w->setGeometry(r);
}

void ApplyShowCmd(QWidget* w, int showCmd, int flags)
{
    Qt::WindowStates st = w->windowState() & ~(Qt::WindowMinimized | Qt::WindowMaximized | Qt::WindowFullScreen);
    switch (showCmd) {
    case 2:
    case 6:
    case 7:
        st |= Qt::WindowMinimized;
        if (flags & WPF_RESTORETOMAXIMIZED)
            st |= Qt::WindowMaximized;
        break;
    case 3:
        st |= Qt::WindowMaximized;
        break;
    default:
        break;
    }
    w->setWindowState(st);
}

QSize ScreenSize()
{
    if (QScreen* s = QGuiApplication::primaryScreen())
        return s->size();
    return {};
}

int ScreenPixelsPerInch()
{
    if (QScreen* s = QGuiApplication::primaryScreen())
        return qRound(s->logicalDotsPerInch());
    return 96;
}

} // namespace zorp
