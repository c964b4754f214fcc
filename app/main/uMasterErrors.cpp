// SPDX-License-Identifier: GPL-3.0-or-later
// Main window: why a poll failed. Every engine error is kept with its time,
// the request it answered and its English meaning; the "Errors:" panel's
// tooltip lists the last ones, and with View > "Errors in the log" each also
// becomes a log line of its own colour.
#include "uMaster.h"

#include <QDateTime>

#include "CommLog.h"
#include "ErrorText.h"
#include "StatusBar.h"
#include "VexaModbus.h"

namespace {
const QString kCycleEnded = QStringLiteral(" - Real-time polling stopped");
}

QString TfrmModbusMaster::ErrorRecordText(const TErrorRecord& r)
{
    // The time stamp as the log writes it, then the code and its meaning.
    QString s = FormatLogLine(r.When, nullptr, 0) + QStringLiteral("error ") + QString::number(r.Code) +
                QStringLiteral(": ") + r.Meaning;
    if (!r.Request.isEmpty())
        s += QStringLiteral(" (") + r.Request + u')';
    if (r.EndedCycle)
        s += kCycleEnded;
    return s;
}

QString TfrmModbusMaster::ErrorsHint() const
{
    if (FErrorRecords.empty())
        return {};
    QString s = FErrorRecords.size() == 1 ? QStringLiteral("The last error:")
                                          : QStringLiteral("The last %1 errors, newest first:").arg(FErrorRecords.size());
    for (auto it = FErrorRecords.rbegin(); it != FErrorRecords.rend(); ++it)
        s += u'\n' + ErrorRecordText(*it);
    return s;
}

void TfrmModbusMaster::RecordError(int32_t Code, bool EndedCycle)
{
    TErrorRecord r;
    r.When = QDateTime::currentDateTime();
    r.Code = Code;
    // Errors of the link itself belong to no request.
    r.Request = Code == 0 || Code == 1 || Code == 15 || Code == 16 ? QString() : RequestText();
    r.Meaning = QString::fromStdString(zorp::ExplainError(Code, mdb->MaxRepeat(), mdb->Timeout()));
    const QString why = LinkErrorReason(Code);
    if (!why.isEmpty())
        r.Meaning += QStringLiteral(": ") + why;
    FPortError = -1;
    r.EndedCycle = EndedCycle;
    FErrorRecords.push_back(r);
    while (FErrorRecords.size() > size_t(MaxErrorRecords))
        FErrorRecords.pop_front();
    sBar->SetPanelHint(3, ErrorsHint());
    // The last error in plain sight: its meaning in the free panel, the
    // whole record (time, request) in its tooltip.
    sBar->SetPanelText(4, QStringLiteral("Error %1: %2").arg(Code).arg(r.Meaning));
    sBar->SetPanelHint(4, ErrorRecordText(r));
    if (FOptions.ErrorsInLog)
        REComm->AppendLine(ErrorRecordText(r), ErrorLogColor());
}
