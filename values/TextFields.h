// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Text for the tools' output formats: CSV fields quoted when they need it
// (by the one CSV writer, Csv.h), JSON strings escaped.
#include <string>

std::string CsvField(const std::string& s);
std::string JsonString(const std::string& s);
