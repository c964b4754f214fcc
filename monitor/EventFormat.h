// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The monitor's output lines: text for people, CSV (a header, then one
// line per event) and JSON (one object per event on a line of its own).
#include <string>

#include "BusEvent.h"

namespace zorp::monitor {

enum class Format { Text, Csv, Json };

// "2026-12-10 12:00:00.123456" in local time.
std::string TimeStamp(int64_t wallNs);
// A gap or turnaround in milliseconds ("0.125"; "" when unknown, -1);
// "~0.000" when the host could not see the silence (BusEvent::bunched).
std::string Silence(int64_t ns, bool bunched);
std::string CsvHeader();
// One line, newline included.
std::string FormatEvent(const BusEvent& e, Format f);

} // namespace zorp::monitor
