// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Event loop choice for programs that run the engine without a window.

namespace zorp {

// Makes the QCoreApplication created next run on Qt's own event dispatcher
// rather than the GLib one. The engine turns the loop once per transaction,
// and a turn of the GLib loop (its locks and the walk over its sources on
// every prepare and check) costs more than the engine's work on a frame.
// A program with windows keeps the GLib loop, which platform themes and
// input methods may need. Call it before the application object exists; an
// explicit QT_NO_GLIB in the environment is left as it is.
void UseQtEventDispatcher();

// The event loop of the command-line tools: on Linux the engine's own lean
// dispatcher (LeanDispatcher.h), whose turn costs a fraction of Qt's own;
// elsewhere, or when it cannot be set up, Qt's own (UseQtEventDispatcher).
// ZORP_EVENT_LOOP=qt in the environment chooses Qt's own, ZORP_EVENT_LOOP=glib
// the GLib one. Call it before the application object exists.
void UseToolEventLoop();

} // namespace zorp
