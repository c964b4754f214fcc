// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Asks a serial driver to hand received bytes over at once rather than
// after its latency timer (a USB adapter's 16 ms by default).

namespace zorp {

// fd: an open serial device. Drivers that do not know the request (a
// pseudo-terminal, most plain UARTs) refuse it; nothing is reported then,
// since framing copes with late bytes either way.
void AskForLowLatency(int fd);

} // namespace zorp
