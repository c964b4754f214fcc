// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Logging of decoded Values to a CSV file: a header line ("Time", then one
// column name per logged row), then one line per response: the local time
// in ISO 8601 with milliseconds and the UTC offset, then the Value texts as
// the grid shows them. Fields are quoted the RFC 4180 way where needed;
// lines end in CR LF; the text is UTF-8.
//
// The file is written as it goes and flushed to the disk at least every
// FlushIntervalMs (and synced, so that a pulled power cord loses no more
// either). A write or flush that fails stops the logging and reports the
// message through OnFailed; the caller goes on polling.
#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QStringView>
#include <functional>

class QFileDialog;
class QTimer;
class QWidget;

class TValueLogger : public QObject {
public:
    static constexpr int FlushIntervalMs = 500;

    explicit TValueLogger(QObject* parent = nullptr);
    ~TValueLogger() override;

    // Creates (or empties) FileName and writes the header line. False with
    // Error set when the file cannot be opened or written.
    bool Start(const QString& FileName, const QStringList& Headers, QString& Error);
    // Flushes and closes; no-op when not logging.
    void Stop();
    bool Active() const { return FFile.isOpen(); }
    QString FileName() const { return FFile.fileName(); }
    int Columns() const { return FColumns; }

    // One line for a response at When with one text per column (missing
    // columns are written empty, extra ones dropped). False when the line
    // could not be written; the logging has stopped then.
    bool WriteRow(const QDateTime& When, const QStringView* Values, int Count);
    // A column added while logging (a row plotted after the log began): the
    // header gets its name and every line already written an empty field,
    // so that the file stays one table; the lines from now on carry it. The
    // file is rewritten for it (through a temporary file beside it). False,
    // with the logging stopped, when that failed.
    bool AddColumn(const QString& Header);
    // Writes what was buffered to the disk now.
    bool Flush();

    qint64 Rows() const { return FRows; }
    qint64 FlushedRows() const { return FFlushedRows; }

    // Called once when a failure stopped the logging, with a message for
    // the user.
    std::function<void(const QString& Message)> OnFailed;
    // Called after every flush with the number of rows on the disk.
    std::function<void(qint64 Rows)> OnFlushed;

    // "2026-12-09T13:40:06.123+01:00".
    static QString TimeText(const QDateTime& When);
    // A field as written: quoted when it holds a comma, quote, line break
    // or outer blanks.
    static void AppendField(QByteArray& Line, QStringView Text);

private:
    bool Fail(const QString& What);
    QFile FFile;
    QTimer* FFlushTimer = nullptr;
    QElapsedTimer FSinceFlush;
    QByteArray FLine;
    int FColumns = 0;
    qint64 FRows = 0;
    qint64 FFlushedRows = 0;
    bool FDirty = false;
};

namespace zorp {
// Asks where to log values: the "Log values to CSV" save dialog (made on
// first use and kept in Dialog, so that it remembers its folder), opened
// at Last. The chosen name with ".csv" added when it has no suffix, or an
// empty string when cancelled.
QString AskLogFile(QWidget* Parent, QFileDialog*& Dialog, const QString& Last);
} // namespace zorp
