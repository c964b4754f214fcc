// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TTesterOptions: the tester's own options beyond the designed window. They
// live in "setings.ini" in a section of their own ([Options]), apart from the
// designed keys of the window section, and each is off (or "as designed")
// by default, so that a file without the section gives the designed window.
#include <QString>

#include "AddressNotation.h"

struct TTesterOptions {
    // Pause after a Real-time response, in milliseconds; negative: as
    // designed (50 ms after function 03, none after 01, 02 and 04).
    int RealTimePauseMs = -1;
    // An error does not end the Real-time cycle.
    bool KeepPollingAfterErrors = false;
    // Each engine error also becomes a line of its own in the log.
    bool ErrorsInLog = false;
    // The write dialog sends even a single register with function 16.
    bool AlwaysUseFunction16 = false;
    // Echo removal for two-wire adapters (the engine's RemoveEcho).
    bool RemoveEcho = false;
    // The dark variant of every window (the designed colours otherwise).
    bool DarkTheme = false;
    // The engine's Timeout (ms) and MaxRepeat (retries after the first try).
    int TimeoutMs = 3000;
    int MaxRepeat = 3;
    // The grid's layout (range, types, descriptions) is kept at closing and
    // comes back at the next start.
    bool KeepLayout = true;
    // The folders the file dialogs were last used in (empty: none yet).
    QString LogFolder;
    QString CsvFolder;
    // How addresses are written in the window (the register + 1 in decimal
    // as designed), and the folder register maps were last used in.
    zorp::TAddressNotation Addresses;
    QString MapFolder;

    // The largest pause the options accept (one minute).
    static constexpr int MaxPauseMs = 60000;
    // The ranges the time-out and retries settings accept.
    static constexpr int MinTimeoutMs = 10;
    static constexpr int MaxTimeoutMs = 600000;
    static constexpr int MaxRepeats = 100;

    static QString Section() { return QStringLiteral("Options"); }

    // Reads the section; missing or malformed keys keep their defaults.
    static TTesterOptions Load(const QString& iniFileName);
    // Writes every key of the section, keeping everything else of the file.
    // False when the file could not be written (the file is then unchanged).
    bool Save(const QString& iniFileName) const;

    bool operator==(const TTesterOptions&) const = default;
};
