// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TPollLog: "Log values to CSV..." of a poll window. The same file as the
// main window's value log (TValueLogger): a "Time" column, then one column
// for each typed row of the window when the logging began, one line per
// answer of the poll. A column belongs to its register (unit, function,
// address and type), not to a grid row: when the window reads elsewhere,
// the column stays empty until its register is read again.
#include <QObject>
#include <QPointer>
#include <QString>
#include <vector>

#include "RegisterKey.h"

class QAction;
class QFileDialog;
class TValueLogger;
class TfrmPoll;

class TPollLog : public QObject {
public:
    explicit TPollLog(TfrmPoll* Window);

    TValueLogger* Logger = nullptr;
    // "Log values to CSV...", checked while logging.
    QAction* actLogCsv = nullptr;
    QString LogFile; // the file last logged to, offered again

    // Starts logging every typed row's register to FileName; throws
    // EAppError when no row is typed or the file cannot be written.
    void Start(const QString& FileName);
    void Stop();
    bool Logging() const;
    // The menu entry: asks for a file and starts, or stops.
    void Clicked();
    // After every answer the window shows.
    void Answered();
    const std::vector<TRegisterKey>& Keys() const { return FKeys; }

private:
    void UpdateAction();
    TfrmPoll* FWindow;
    std::vector<TRegisterKey> FKeys;
    QPointer<QFileDialog> FDialog;
};
