// SPDX-License-Identifier: GPL-3.0-or-later
#include "PollOutput.h"

#include <QDateTime>
#include <cstdio>

#include "ValueAliases.h"

namespace {

const TDataTypeInfo& U16() { return *ValueDecoding::FindDataType(u"UInt16 (Word) AABB"); }
const TDataTypeInfo& BitType() { return *ValueDecoding::FindDataType(u"BIT"); }

// A value as JSON: numbers as numbers where JSON has them, anything else
// (raw texts, NaN, INF) as a string, an empty value as null.
std::string JsonValue(const TDataTypeInfo& type, const QString& text)
{
    if (text.isEmpty()) return "null";
    const std::string s = text.toStdString();
    switch (type.Format) {
    case TTypeFormat::Signed:
    case TTypeFormat::Unsigned:
    case TTypeFormat::Bit:
        return s;
    case TTypeFormat::Float32:
    case TTypeFormat::Float64:
        if (text == u"NaN" || text.endsWith(u"INF")) return JsonString(s);
        return s;
    default:
        return JsonString(s);
    }
}

// A value as a line of text shows it: an ASCII value's control characters
// drawn as "." (as the tester draws them), and no tab or line break left to
// break the line up.
std::string TextField(const QString& s, const TDataTypeInfo* type = nullptr)
{
    std::string out = (type && type->Format == TTypeFormat::RawAscii ? ValueDecoding::AsciiDisplayText(s) : s).toStdString();
    for (char& c : out)
        if (c == '\t' || c == '\n' || c == '\r') c = ' ';
    return out;
}

} // namespace


TPollOutput::TPollOutput(const Options& o) : FOpt(o) { FOut.reserve(4096); }

std::string TPollOutput::Time() const
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toStdString();
}

void TPollOutput::Header(const char* line)
{
    if (FHeaderDone || FOpt.format != TOutputFormat::Csv) return;
    FHeaderDone = true;
    Put(line);
}

void TPollOutput::Put(const std::string& lines)
{
    if (PollName.empty()) {
        std::fwrite(lines.data(), 1, lines.size(), stdout);
        return;
    }
    const bool header = lines.rfind("time,", 0) == 0;
    std::string out;
    size_t at = 0;
    while (at < lines.size()) {
        size_t end = lines.find('\n', at);
        end = end == std::string::npos ? lines.size() : end + 1;
        const std::string line = lines.substr(at, end - at);
        if (FOpt.format == TOutputFormat::Text) out += PollName + '\t' + line;
        else if (FOpt.format == TOutputFormat::Csv) out += (header && at == 0 ? std::string("poll") : CsvField(PollName)) + ',' + line;
        else if (!line.empty() && line[0] == '{') out += "{\"poll\":" + JsonString(PollName) + ',' + line.substr(1);
        else out += line;
        at = end;
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
}

void TPollOutput::Registers(const std::vector<uint8_t>& data)
{
    if (FOpt.quiet) return;
    const size_t n = data.size() / 2;
    if (FOpt.format == TOutputFormat::Text && FOpt.rows.empty()) {
        // The raw lines, built without allocating: this is the loop's hot path.
        FOut.clear();
        char line[32];
        for (size_t k = 0; k < n; ++k) {
            const unsigned v = static_cast<unsigned>(data[2 * k] << 8 | data[2 * k + 1]);
            const int len = std::snprintf(line, sizeof line, "%ld\t%04X\t%u\n", FOpt.address + long(k), v, v);
            FOut.append(line, static_cast<size_t>(len));
        }
        Put(FOut);
        return;
    }
    std::vector<uint16_t> words(n);
    for (size_t k = 0; k < n; ++k) words[k] = uint16_t(data[2 * k] << 8 | data[2 * k + 1]);
    std::vector<Value> values;
    if (FOpt.rows.empty()) {
        for (size_t k = 0; k < n; ++k)
            values.push_back({FOpt.address + long(k), &U16(), ValueDecoding::DecodeWords(U16(), &words[k]), nullptr});
    } else {
        for (const TPollRow& row : FOpt.rows) {
            QString text;
            if (row.Decodable && size_t(row.Offset + row.Type->Rows) <= n)
                text = ValueDecoding::DecodeWords(*row.Type, &words[size_t(row.Offset)]);
            values.push_back({FOpt.address + row.Offset, row.Type, text, FOpt.profile ? &row.Description : nullptr});
        }
    }
    Emit(values);
}

void TPollOutput::Bits(const std::vector<bool>& bits)
{
    if (FOpt.quiet) return;
    std::vector<Value> values;
    const auto bitText = [&](int k) {
        return size_t(k) < bits.size() ? QString(bits[size_t(k)] ? u'1' : u'0') : QString();
    };
    if (FOpt.profile) {
        // Only rows typed BIT show their bit, as in the tester.
        for (const TPollRow& row : FOpt.rows)
            values.push_back({FOpt.address + row.Offset, row.Type,
                              row.Type->Format == TTypeFormat::Bit ? bitText(row.Offset) : QString(), &row.Description});
    } else {
        for (size_t k = 0; k < bits.size(); ++k) values.push_back({FOpt.address + long(k), &BitType(), bitText(int(k)), nullptr});
    }
    Emit(values);
}

void TPollOutput::Emit(const std::vector<Value>& values)
{
    FOut.clear();
    switch (FOpt.format) {
    case TOutputFormat::Text:
        for (const Value& v : values) {
            FOut += std::to_string(v.Address);
            if (FOpt.profile) {
                FOut += '\t';
                FOut += v.Type->Name;
            }
            FOut += '\t';
            FOut += TextField(v.Text, v.Type);
            if (v.Description) {
                FOut += '\t';
                FOut += TextField(*v.Description);
            }
            FOut += '\n';
        }
        break;
    case TOutputFormat::Csv: {
        Header("time,unit,address,type,value,description,error,meaning\n");
        const std::string prefix = Time() + ',' + std::to_string(FOpt.unit) + ',';
        for (const Value& v : values) {
            FOut += prefix + std::to_string(v.Address) + ',' + CsvField(v.Type->Name) + ',' +
                    CsvField(TextField(v.Text, v.Type)) + ',' +
                    (v.Description ? CsvField(v.Description->toStdString()) : std::string()) + ",,\n";
        }
        break;
    }
    case TOutputFormat::Json: {
        FOut += "{\"time\":" + JsonString(Time()) + ",\"unit\":" + std::to_string(FOpt.unit) +
                ",\"function\":" + std::to_string(FOpt.function) + ",\"values\":[";
        for (size_t i = 0; i < values.size(); ++i) {
            const Value& v = values[i];
            if (i) FOut += ',';
            FOut += "{\"address\":" + std::to_string(v.Address) + ",\"type\":" + JsonString(v.Type->Name) +
                    ",\"value\":" + JsonValue(*v.Type, v.Text);
            if (v.Description) FOut += ",\"description\":" + JsonString(v.Description->toStdString());
            FOut += '}';
        }
        FOut += "]}\n";
        break;
    }
    }
    Put(FOut);
}

void TPollOutput::Written()
{
    if (FOpt.quiet || FOpt.format == TOutputFormat::Text) return;
    const bool coils = FOpt.function == 5 || FOpt.function == 15;
    const TDataTypeInfo* type = coils ? &BitType() : FOpt.type ? FOpt.type : &U16();
    std::vector<Value> values;
    long address = FOpt.address;
    for (const QString& text : FOpt.writeTexts) {
        values.push_back({address, type, text.trimmed(), nullptr});
        address += coils ? 1 : type->Rows;
    }
    Emit(values);
}

void TPollOutput::Failed(int code, const std::string& meaning)
{
    if (FOpt.quiet || FOpt.format == TOutputFormat::Text) return;
    const std::string error = code >= 0 ? std::to_string(code) : std::string();
    if (FOpt.format == TOutputFormat::Csv) {
        Header("time,unit,address,type,value,description,error,meaning\n");
        FOut = Time() + ',' + std::to_string(FOpt.unit) + ',' + std::to_string(FOpt.address) + ",,,," + error + ',' +
               CsvField(meaning) + '\n';
    } else {
        FOut = "{\"time\":" + JsonString(Time()) + ",\"unit\":" + std::to_string(FOpt.unit) +
               ",\"function\":" + std::to_string(FOpt.function) + ",\"error\":" + (code >= 0 ? error : "null") +
               ",\"meaning\":" + JsonString(meaning) + "}\n";
    }
    Put(FOut);
}

void TPollOutput::ScanHit(long unit, long baud, TParity parity, int code, const std::string& meaning)
{
    const bool serial = FOpt.link == Options::Serial;
    const std::string answer = code == 0 ? "data" : "exception";
    const std::string line = serial ? std::to_string(baud) + '\t' + ParityLetter(parity) + '\t' : std::string();
    switch (FOpt.format) {
    case TOutputFormat::Text:
        FOut = std::to_string(unit) + '\t' + line + (code == 0 ? answer : meaning) + '\n';
        break;
    case TOutputFormat::Csv:
        Header("time,unit,baud,parity,answer,error,meaning\n");
        FOut = Time() + ',' + std::to_string(unit) + ',' + (serial ? std::to_string(baud) : std::string()) + ',' +
               (serial ? std::string(1, ParityLetter(parity)) : std::string()) + ',' + answer + ',' +
               (code ? std::to_string(code) : std::string()) + ',' + CsvField(code ? meaning : std::string()) + '\n';
        break;
    case TOutputFormat::Json:
        FOut = "{\"time\":" + JsonString(Time()) + ",\"unit\":" + std::to_string(unit);
        if (serial) FOut += ",\"baud\":" + std::to_string(baud) + ",\"parity\":\"" + ParityLetter(parity) + '"';
        FOut += ",\"answer\":\"" + answer + '"';
        if (code) FOut += ",\"error\":" + std::to_string(code) + ",\"meaning\":" + JsonString(meaning);
        FOut += "}\n";
        break;
    }
    Put(FOut);
    std::fflush(stdout);
}
