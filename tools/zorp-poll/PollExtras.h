// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// zorp-poll's address notations, register maps and address scan:
//   --address TEXT   1-based decimal (or with --base 0 the wire's number),
//                    "0x1A0" or "1A0h" in hexadecimal, or a Modicon number
//                    (40001, 400001) when --base is not given; a Modicon
//                    number names the function when -f does not
//   --base 0|1       how plain numbers count
//   --map FILE       reads the map's points in the fewest requests and
//                    prints them by name; --map-gap N lets one request span
//                    up to N addresses the map does not name
//   --scan-addresses FIRST-LAST   which addresses the device implements
#include <QSocketNotifier>
#include <functional>
#include <string>

struct Options;

struct TPollExtras {
    std::string addressText; // --address as given
    int base = -1;           // --base, -1 when not given
    std::string mapFile;
    long mapGap = 0;
    bool scanAddresses = false;
    std::string scanText;    // FIRST-LAST as given
    long long scanFirst = 0, scanLast = 0;
    bool Runs() const { return !mapFile.empty() || scanAddresses; }
};

// True when Arg is one of these options (Next gives its value); Error is
// set for a bad value.
bool ParseExtraOption(const std::string& Arg, const std::function<std::string()>& Next, Options& O,
                      std::string& Error);
// After all options: --address in its notation, then the checks of --map
// and --scan-addresses. An error text, or empty.
std::string ResolveExtras(Options& O, bool FunctionGiven, bool CountGiven);
// Runs --map or --scan-addresses when given (true, with the exit status).
bool RunExtras(const Options& O, QSocketNotifier& Interrupt, int& ExitCode);
