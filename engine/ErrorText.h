// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// English explanations of the engine's error codes (the codes OnError
// delivers), for the command-line tools, the tester and the README. The
// engine's own log messages stay as they are (ErrorMessage in ModbusFrames.h).
#include <cstdint>
#include <string>

namespace zorp {

// A short English meaning of an error code, e.g. "exception 02, illegal data
// address"; "unknown error" for a code the engine never reports.
const char* ErrorMeaning(int32_t code);

// The meaning with the figures that explain it, for codes where they do:
// error 4 and 5 (no valid answer or acknowledgement after maxRepeat + 1
// tries with the given time-out), 24 and 25 (exception 05 or 06 still after
// those tries). Other codes give ErrorMeaning.
std::string ExplainError(int32_t code, uint16_t maxRepeat, uint32_t timeoutMs);

// "error N: <ExplainError>".
std::string FormatError(int32_t code, uint16_t maxRepeat, uint32_t timeoutMs);

} // namespace zorp
