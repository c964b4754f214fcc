// SPDX-License-Identifier: GPL-3.0-or-later
// Frames in words.
#include "FrameText.h"

#include <cstdio>
#include <cstring>

#include "ErrorText.h"

namespace zorp::monitor {

namespace {

// Values listed at most per frame; the rest is "...".
constexpr size_t kMaxValues = 32;

uint16_t Word(const std::vector<uint8_t>& p, size_t i)
{
    return i + 1 < p.size() ? static_cast<uint16_t>(p[i] << 8 | p[i + 1]) : 0;
}

std::string Num(unsigned v) { return std::to_string(v); }

std::string Range(unsigned a, unsigned n)
{
    if (n <= 1) return Num(a);
    return Num(a) + "-" + Num(a + n - 1);
}

// "A=v A+1=v ..." for registers from byte `at` on.
std::string Registers(const std::vector<uint8_t>& p, size_t at, unsigned count, unsigned first, bool addresses)
{
    std::string s;
    for (unsigned k = 0; k < count && at + 2 * k + 1 < p.size(); ++k) {
        if (k == kMaxValues) return s + " ...";
        if (!s.empty()) s += ' ';
        if (addresses) s += Num(first + k) + "=";
        s += Num(Word(p, at + 2 * k));
    }
    return s;
}

std::string Bits(const std::vector<uint8_t>& p, size_t at, unsigned count, unsigned first, bool addresses)
{
    std::string s;
    for (unsigned k = 0; k < count && at + k / 8 < p.size(); ++k) {
        if (k == kMaxValues * 2) return s + " ...";
        if (!s.empty()) s += ' ';
        if (addresses) s += Num(first + k) + "=";
        s += (p[at + k / 8] >> (k % 8)) & 1 ? '1' : '0';
    }
    return s;
}

std::string Request(const std::vector<uint8_t>& p)
{
    const uint8_t fc = p.empty() ? 0 : p[0];
    const unsigned a = Word(p, 1), n = Word(p, 3);
    const std::string name = FunctionName(fc);
    switch (fc) {
    case 1: case 2: case 3: case 4:
        return name + " " + Range(a, n) + " (" + Num(n) + ")";
    case 5:
        return name + " " + Num(a) + " = " + (n == 0xFF00 ? "ON" : n == 0 ? "OFF" : "invalid " + Num(n));
    case 6:
        return name + " " + Num(a) + " = " + Num(n);
    case 15:
        return name + " " + Range(a, n) + " (" + Num(n) + "): " + Bits(p, 6, n, a, false);
    case 16:
        return name + " " + Range(a, n) + " (" + Num(n) + "): " + Registers(p, 6, n, a, false);
    case 22:
        return name + " " + Num(a) + " and " + Num(n) + " or " + Num(Word(p, 5));
    case 23:
        return name + " read " + Range(a, n) + ", write " + Range(Word(p, 5), Word(p, 7)) + ": " +
               Registers(p, 10, Word(p, 7), Word(p, 5), false);
    case 8:
        return name + " sub-function " + Num(a) + " data " + Num(n);
    case 43:
        return p.size() > 3 && p[1] == 14 ? name + " code " + Num(p[2]) + " object " + Num(p[3]) : name;
    default:
        return name + ", " + Num(unsigned(p.size() > 0 ? p.size() - 1 : 0)) + " data bytes";
    }
}

std::string Answer(const std::vector<uint8_t>& p, const std::vector<uint8_t>& q)
{
    const uint8_t fc = p.empty() ? 0 : p[0];
    if (fc & 0x80) {
        const uint8_t code = p.size() > 1 ? p[1] : 0;
        char hex[8];
        std::snprintf(hex, sizeof hex, "%02X", code);
        return "exception " + std::string(hex) + ": " + ExceptionMeaning(code);
    }
    const bool paired = !q.empty() && q[0] == fc;
    const unsigned a = paired ? Word(q, 1) : 0;
    const unsigned n = paired ? Word(q, 3) : 0;
    const unsigned bytes = p.size() > 1 ? p[1] : 0;
    switch (fc) {
    case 1: case 2:
        return Bits(p, 2, paired ? n : bytes * 8, a, paired);
    case 3: case 4:
        return Registers(p, 2, paired ? n : bytes / 2, a, paired);
    case 23:
        return Registers(p, 2, bytes / 2, paired ? Word(q, 1) : 0, paired);
    case 5: case 6:
        return "done " + Num(Word(p, 1)) + " = " + Num(Word(p, 3));
    case 15: case 16:
        return "done " + Range(Word(p, 1), Word(p, 3)) + " (" + Num(Word(p, 3)) + ")";
    default:
        return FunctionName(fc) + ", " + Num(unsigned(p.size() > 0 ? p.size() - 1 : 0)) + " data bytes";
    }
}

} // namespace

std::string FunctionName(uint8_t function)
{
    switch (function & 0x7F) {
    case 1: return "read coils";
    case 2: return "read discrete inputs";
    case 3: return "read holding registers";
    case 4: return "read input registers";
    case 5: return "write single coil";
    case 6: return "write single register";
    case 7: return "read exception status";
    case 8: return "diagnostics";
    case 11: return "get comm event counter";
    case 12: return "get comm event log";
    case 15: return "write multiple coils";
    case 16: return "write multiple registers";
    case 17: return "report server id";
    case 20: return "read file record";
    case 21: return "write file record";
    case 22: return "mask write register";
    case 23: return "read/write multiple registers";
    case 24: return "read FIFO queue";
    case 43: return "read device identification";
    default: return "function " + Num(function & 0x7F);
    }
}

std::string ExceptionMeaning(uint8_t code)
{
    // The engine's error codes 20-27 are the exceptions 01-06, 0A, 0B.
    int32_t err = 0;
    if (code >= 1 && code <= 6) err = 19 + code;
    else if (code == 0x0A) err = 26;
    else if (code == 0x0B) err = 27;
    if (code == 4) return "slave device failure";
    if (code == 8) return "memory parity error";
    if (err == 0) return "unknown exception";
    const char* text = ErrorMeaning(err);
    const char* comma = std::strchr(text, ',');
    return comma ? std::string(comma + 2) : std::string(text);
}

std::string HexBytes(const std::vector<uint8_t>& bytes, size_t max)
{
    std::string s;
    char b[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i == max) return s + " ...";
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", bytes[i]);
        s += b;
    }
    return s;
}

std::string DescribeEvent(const BusEvent& e)
{
    switch (e.kind) {
    case BusEvent::Kind::Request: return Request(e.pdu);
    case BusEvent::Kind::Answer: return Answer(e.pdu, e.requestPdu);
    case BusEvent::Kind::Fault:
        return std::string(FaultName(e.fault)) + ", " + Num(unsigned(e.frame.size())) + " bytes";
    case BusEvent::Kind::NoAnswer:
        return "no answer to #" + std::to_string(e.requestSeq) + " (" + Request(e.pdu) + ")";
    }
    return {};
}

} // namespace zorp::monitor
