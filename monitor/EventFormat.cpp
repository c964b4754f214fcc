// SPDX-License-Identifier: GPL-3.0-or-later
// The monitor's output lines.
#include "EventFormat.h"

#include <cstdio>
#include <ctime>

#include "FrameText.h"
#include "TextFields.h"

namespace zorp::monitor {

namespace {
std::string Ms(int64_t ns)
{
    if (ns < 0 && ns != -1) ns = 0; // overlapping bytes, as the host saw them
    if (ns < 0) return {};
    char b[32];
    std::snprintf(b, sizeof b, "%.3f", double(ns) / 1e6);
    return b;
}
std::string Hex2(unsigned v)
{
    char b[8];
    std::snprintf(b, sizeof b, "%02X", v & 0xFF);
    return b;
}
} // namespace

std::string TimeStamp(int64_t wallNs)
{
    const time_t sec = time_t(wallNs / 1000000000);
    tm t{};
    localtime_r(&sec, &t);
    char b[64];
    std::snprintf(b, sizeof b, "%04d-%02d-%02d %02d:%02d:%02d.%06lld", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                  t.tm_hour, t.tm_min, t.tm_sec, (long long)(wallNs % 1000000000 / 1000));
    return b;
}

std::string Silence(int64_t ns, bool bunched)
{
    return (bunched && ns != -1 && ns <= 0 ? "~" : "") + Ms(ns);
}

std::string CsvHeader()
{
    return "seq,time,channel,kind,unit,function,transaction,request,gap_ms,turnaround_ms,fault,content,bytes\n";
}

std::string FormatEvent(const BusEvent& e, Format f)
{
    const std::string content = DescribeEvent(e);
    const bool frameKind = e.kind == BusEvent::Kind::Request || e.kind == BusEvent::Kind::Answer ||
                           e.kind == BusEvent::Kind::NoAnswer;
    switch (f) {
    case Format::Text: {
        std::string s = TimeStamp(e.wallNs) + " #" + std::to_string(e.seq);
        if (e.channel) s += " [" + std::to_string(e.channel) + "]";
        switch (e.kind) {
        case BusEvent::Kind::Request: s += " request "; break;
        case BusEvent::Kind::Answer: s += e.requestSeq ? " answer  " : " answer? "; break;
        case BusEvent::Kind::Fault: s += " FAULT   "; break;
        case BusEvent::Kind::NoAnswer: s += " NO ANSWER "; break;
        }
        if (frameKind) s += "unit " + std::to_string(e.unit) + " fc " + Hex2(e.function) + " ";
        if (e.tcp && frameKind) s += "tid " + std::to_string(e.transactionId) + " ";
        s += content;
        if (e.kind == BusEvent::Kind::Fault) s += ": " + HexBytes(e.frame, 32);
        if (e.gapNs != -1 && e.kind != BusEvent::Kind::NoAnswer) s += " | gap " + Silence(e.gapNs, e.bunched) + " ms";
        if (e.turnaroundNs >= 0) s += " | turnaround " + Silence(e.turnaroundNs, e.bunched) + " ms";
        if (e.kind == BusEvent::Kind::Answer && !e.requestSeq) s += " | unpaired";
        return s + "\n";
    }
    case Format::Csv:
        return std::to_string(e.seq) + ',' + TimeStamp(e.wallNs) + ',' + std::to_string(e.channel) + ',' +
               KindName(e.kind) + ',' + (frameKind ? std::to_string(e.unit) : "") + ',' +
               (frameKind ? std::to_string(e.function) : "") + ',' + (e.tcp ? std::to_string(e.transactionId) : "") +
               ',' + (e.requestSeq ? std::to_string(e.requestSeq) : "") + ',' +
               (e.kind == BusEvent::Kind::NoAnswer ? "" : Silence(e.gapNs, e.bunched)) + ',' +
               Silence(e.turnaroundNs, e.bunched) + ',' +
               CsvField(FaultName(e.fault)) + ',' + CsvField(content) + ',' + HexBytes(e.frame, SIZE_MAX) + "\n";
    case Format::Json: {
        std::string s = "{\"seq\":" + std::to_string(e.seq) + ",\"time\":" + JsonString(TimeStamp(e.wallNs)) +
                        ",\"channel\":" + std::to_string(e.channel) + ",\"kind\":" + JsonString(KindName(e.kind));
        if (frameKind) s += ",\"unit\":" + std::to_string(e.unit) + ",\"function\":" + std::to_string(e.function);
        if (e.tcp && frameKind) s += ",\"transaction\":" + std::to_string(e.transactionId);
        if (e.requestSeq) s += ",\"request\":" + std::to_string(e.requestSeq);
        if (e.gapNs != -1 && e.kind != BusEvent::Kind::NoAnswer) s += ",\"gap_ms\":" + Ms(e.gapNs);
        if (e.turnaroundNs >= 0) s += ",\"turnaround_ms\":" + Ms(e.turnaroundNs);
        if (e.bunched && e.kind != BusEvent::Kind::NoAnswer) s += ",\"bunched\":true";
        if (e.kind == BusEvent::Kind::Fault) s += ",\"fault\":" + JsonString(FaultName(e.fault));
        if (e.IsException()) s += ",\"exception\":" + std::to_string(e.pdu.size() > 1 ? e.pdu[1] : 0);
        s += ",\"content\":" + JsonString(content) + ",\"bytes\":" + JsonString(HexBytes(e.frame, SIZE_MAX));
        return s + "}\n";
    }
    }
    return {};
}

} // namespace zorp::monitor
