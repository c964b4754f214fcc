// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Helpers shared by the test binaries: event-loop waiting and paths.
#include <QString>
#include <functional>

namespace zorptest {

// Runs the event loop until pred() is true or timeoutMs passes; returns pred().
bool waitUntil(const std::function<bool()>& pred, int timeoutMs = 5000);

// Spins the event loop for ms milliseconds.
void spin(int ms);

// Source and build directories of the project.
QString sourceDir();
QString binaryDir();

} // namespace zorptest
