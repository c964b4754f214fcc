// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Window placement on Qt: the window's normal rectangle, its minimized and
// maximized positions, its show state and placement flags, as the stored
// window settings record them; the screen's size and pixel density.
//
// The normal rectangle is the window's client area in screen pixels (left,
// top, right, bottom with right = left + width), which is what setGeometry
// takes back, so a stored placement returns the window exactly where it was.
// Qt has no minimized or maximized position of its own: both are reported as
// -1, -1 (no position set) and ignored when applied.
#include <QPoint>
#include <QSize>

class QWidget;

namespace zorp {

// Show states, numbered as the settings file stores them.
constexpr int SW_SHOWNORMAL = 1;
constexpr int SW_SHOWMINIMIZED = 2;
constexpr int SW_SHOWMAXIMIZED = 3;
// Placement flags.
constexpr int WPF_SETMINPOSITION = 1;
constexpr int WPF_RESTORETOMAXIMIZED = 2;

struct TWindowPlacement {
    int flags = 0;
    int showCmd = SW_SHOWNORMAL;
    QPoint ptMinPosition{-1, -1};
    QPoint ptMaxPosition{-1, -1};
    int left = 0, top = 0, right = 0, bottom = 0; // normal rectangle
};

TWindowPlacement GetWindowPlacement(const QWidget* w);

// Gives the window the normal rectangle and flags of p without showing it.
// The show state is applied separately (ApplyShowCmd). A rectangle that
// would put the window wholly off every screen is moved onto the primary
// screen, and one larger than the whole desktop is cut to it, so that a
// damaged or foreign file cannot lose the window or make it unmanageable.
void SetWindowPlacement(QWidget* w, const TWindowPlacement& p);

// Sets the window state for a show command: 2, 6 and 7 minimized (returning
// to maximized when flags hold WPF_RESTORETOMAXIMIZED), 3 maximized, every
// other value normal.
void ApplyShowCmd(QWidget* w, int showCmd, int flags);

// The primary screen's size in pixels and its pixel density (dots per inch).
QSize ScreenSize();
int ScreenPixelsPerInch();

} // namespace zorp
