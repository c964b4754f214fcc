// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// CSV as RFC 4180 writes it, with a separator of the caller's choice: the
// grid export, the value log, zorp-poll's output and the register maps all
// write and read through here.
//
// Writing: a field goes in double quotes (a quote inside doubled) when it
// holds the separator, a comma or semicolon (the separators spreadsheets
// guess), a quote, a line break, or blanks at either end; otherwise as it
// stands. Records end in CR LF.
//
// Reading: fields split at the separator; a field that begins with a quote
// runs to its closing quote and may hold separators, doubled quotes and line
// breaks. Records end in CR LF, LF or CR; a record that is only a line end
// is skipped. A quote never closed, or text between a closing quote and the
// next separator, is an error naming the line.
#include <QChar>
#include <QString>
#include <QStringList>
#include <QStringView>
#include <vector>

namespace zorp {

QString CsvField(QStringView Text, QChar Separator = u',');
// Fields joined by the separator, without a line end.
QString CsvRecord(const QStringList& Fields, QChar Separator = u',');

struct TCsvRecord {
    QStringList Fields;
    int Line = 0; // the line it begins on, from 1
};

// False with Error set on a malformed text; Records then holds the records
// read before the fault.
bool ReadCsv(QStringView Text, QChar Separator, std::vector<TCsvRecord>& Records, QString& Error);

// Bytes of a CSV file as text: UTF-8, a BOM dropped.
QString CsvText(const QByteArray& Bytes);

} // namespace zorp
