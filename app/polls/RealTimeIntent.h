// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A Real time that a workspace asked for but that could not start when the
// workspace was opened (the link was not connected). The intention stays
// with the Real time check box until the box changes for any reason (the
// user ticks or clears it, or the intention starts it), so that saving the
// workspace again keeps what the file said instead of recording the
// unticked box.
#include <QString>

class QCheckBox;

namespace zorp {

// Box carries the intention from now on; a Hint, when not empty, is the
// box's tooltip meanwhile (the tooltip it had comes back when it ends).
void KeepRealTimeIntent(QCheckBox* Box, const QString& Hint = QString());
// Whether Box carries the intention.
bool HasRealTimeIntent(const QCheckBox* Box);
// The intention ends without a change of the box.
void DropRealTimeIntent(QCheckBox* Box);
// Box's Real time as a workspace stores it: ticked, or intended.
bool RealTimeAsStored(const QCheckBox* Box);
// Ticks Box when it carries the intention (which ends with it); true when
// it did.
bool StartRealTimeIntent(QCheckBox* Box);

} // namespace zorp
