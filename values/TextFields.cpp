// SPDX-License-Identifier: GPL-3.0-or-later
#include "TextFields.h"

#include <cstdio>

#include "Csv.h"

std::string CsvField(const std::string& s)
{
    return zorp::CsvField(QString::fromStdString(s)).toStdString();
}

std::string JsonString(const std::string& s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += char(c);
            }
        }
    }
    return out + '"';
}
