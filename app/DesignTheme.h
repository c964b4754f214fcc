// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The windows' colours, independent of the desktop's palette. The main
// window and the windows it parents get a complete palette of their own:
// the designed light colours, or with the dark variant on their dark
// counterparts. Colours a window sets on its controls itself (the
// designed greys and greens of backgrounds, a red message) are kept as the
// design's and, in the dark variant, replaced by dark backgrounds and light
// texts of the same hue. A desktop theme (a dark application palette, a
// platform theme, a style's palette) thus never mixes its text colours into
// the designed backgrounds.
//
// Painted colours that do not come from a palette (the grid's row colours,
// the log's line colours, the chart) go through PaintColor/TextColor, which
// return them unchanged outside the dark variant.
#include <QColor>
#include <QObject>
#include <QPalette>

class QWidget;

namespace DesignTheme {

// Gives window w the colours of the current variant, and every window
// it parents (dialogs, the chart) when that is first polished.
void Watch(QWidget* w);
bool Dark();
// Switches the variant and recolours every window that exists.
void SetDark(bool on);

// The complete palette of a window in the designed light colours or in the
// dark variant.
QPalette WindowPalette(bool dark);
// Gives w (a window) and its controls the colours of the current variant.
void Apply(QWidget* w);

// A background colour of the design as painted in the current variant.
QColor PaintColor(const QColor& designed);
// A text colour of the design drawn on background bg (already in the
// current variant's colours): unchanged outside the dark variant, else
// lightened until it reads on bg.
QColor TextColor(const QColor& designed, const QColor& bg);

// WCAG contrast ratio of two colours (1 to 21).
double Contrast(const QColor& a, const QColor& b);

} // namespace DesignTheme
