// SPDX-License-Identifier: GPL-3.0-or-later
#include "ErrorText.h"

namespace zorp {

const char* ErrorMeaning(int32_t code)
{
    switch (code) {
    case 0: return "the serial port does not exist";
    case 1: return "the port could not be opened";
    case 4: return "no valid answer (time-out)";
    case 5: return "no valid acknowledgement (time-out, a wrong echo or a bad CRC)";
    case 7: return "the answer failed its CRC check";
    case 9: return "the answer came from another slave address (DeviceID)";
    case 10: return "the answer carries another function code than the request";
    case 15: return "the TCP connection failed (refused, reset, aborted or timed out)";
    case 16: return "the connection was lost";
    case 17: return "unit 0 is the broadcast address: it can be written to, not read";
    case 20: return "exception 01, illegal function";
    case 21: return "exception 02, illegal data address";
    case 22: return "exception 03, illegal data value";
    case 23: return "exception 04, slave device failure (read)";
    case 24: return "exception 05, acknowledge: the slave is still processing the request";
    case 25: return "exception 06, slave device busy";
    case 26: return "exception 0A, gateway path unavailable";
    case 27: return "exception 0B, gateway target device failed to respond";
    case 30: return "exception 04, slave device failure (write)";
    default: return "unknown error";
    }
}

std::string ExplainError(int32_t code, uint16_t maxRepeat, uint32_t timeoutMs)
{
    const unsigned tries = maxRepeat + 1u;
    const std::string triesText = std::to_string(tries) + (tries == 1 ? " try" : " tries") + " (time-out " +
                                  std::to_string(timeoutMs) + " ms)";
    if (code == 4) return "no valid answer after " + triesText;
    // 5 is also reported at once for an echo of other values or a bad CRC.
    if (code == 5) return "no valid acknowledgement: none after " + triesText + ", or a wrong echo or CRC";
    // Retried like a time-out, reported once no retry is left.
    if (code == 24 || code == 25) return std::string(ErrorMeaning(code)) + ", still after " + triesText;
    return ErrorMeaning(code);
}

std::string FormatError(int32_t code, uint16_t maxRepeat, uint32_t timeoutMs)
{
    return "error " + std::to_string(code) + ": " + ExplainError(code, maxRepeat, timeoutMs);
}

} // namespace zorp
