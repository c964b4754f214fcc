// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// One program at a time keeps its settings in a configuration folder: the
// first instance takes a lock file beside "setings.ini" and stores as
// designed; an instance started while another holds the lock keeps its
// settings in memory only, so that two instances side by side never
// overwrite each other's file.
#include <QString>

namespace zorp {

// Whether this program holds the lock of Folder (taken on the first call
// for it; a lock left by a program that ended is taken over).
bool OwnsSettings(const QString& Folder);
// The same for ConfigFolder().
bool OwnsSettings();
// The text that says why settings are not stored.
QString SettingsNotStoredText();

} // namespace zorp
