// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The windows are designed in Tahoma (and the log in Courier New). Where the
// system's font configuration does not know Tahoma but a metric-compatible
// copy is installed (Debian's fonts-wine keeps one outside the font path),
// it is registered with the application so that texts have their designed
// widths.
void EnsureDesignFonts();
