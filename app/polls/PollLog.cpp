// SPDX-License-Identifier: GPL-3.0-or-later
// The CSV value log of a poll window.
#include "PollLog.h"

#include <QAction>
#include <QDateTime>
#include <QFileDialog>
#include <QFileInfo>
#include <QStringList>
#include <QTimer>

#include "AppErrors.h"
#include "FormStorage.h"
#include "StringGrid.h"
#include "ValueLogger.h"
#include "uPoll.h"

TPollLog::TPollLog(TfrmPoll* Window) : QObject(Window), FWindow(Window)
{
    setObjectName(QStringLiteral("PollLog"));
    Logger = new TValueLogger(this);
    Logger->OnFailed = [this](const QString& m) {
        // Shown once the answer's handler has returned; polling goes on.
        QTimer::singleShot(0, this, [this, m] {
            UpdateAction();
            ShowErrorBox(m + u'.');
        });
    };
    actLogCsv = new QAction(QStringLiteral("Log values to CSV..."), this);
    actLogCsv->setObjectName(QStringLiteral("actLogCsv"));
    actLogCsv->setCheckable(true);
    connect(actLogCsv, &QAction::triggered, this, [this] {
        RunGuarded([this] { Clicked(); });
        UpdateAction();
    });
    connect(Window, &TfrmPoll::ValuesShown, this, [this] { RunGuarded([this] { Answered(); }); });
}

bool TPollLog::Logging() const { return Logger->Active(); }

void TPollLog::UpdateAction() { actLogCsv->setChecked(Logger->Active()); }

void TPollLog::Start(const QString& FileName)
{
    std::vector<TRegisterKey> keys;
    QStringList headers;
    const TStringGrid* g = FWindow->sgData;
    for (int r = 1; r < g->RowCount(); ++r) {
        const TRegisterKey key = FWindow->KeyOfRow(r);
        if (!key.Type) continue;
        keys.push_back(key);
        headers.append(FWindow->RowName(r));
    }
    if (keys.empty()) throw EAppError(QStringLiteral("No row has a data type to log"));
    QString error;
    if (!Logger->Start(FileName, headers, error)) {
        UpdateAction();
        throw EAppError(error);
    }
    FKeys = std::move(keys);
    LogFile = FileName;
    UpdateAction();
}

void TPollLog::Stop()
{
    Logger->Stop();
    UpdateAction();
}

void TPollLog::Clicked()
{
    if (Logging()) {
        Stop();
        return;
    }
    QPointer<TPollLog> self(this);
    QFileDialog* dialog = FDialog;
    const QString name = zorp::AskLogFile(FWindow, dialog, LogFile);
    if (!self) return;
    FDialog = dialog;
    if (name.isEmpty()) return;
    Start(name);
}

void TPollLog::Answered()
{
    if (!Logger->Active()) return;
    std::vector<QString> texts;
    texts.reserve(FKeys.size());
    for (const TRegisterKey& k : FKeys) texts.push_back(FWindow->LogText(k));
    std::vector<QStringView> values(texts.begin(), texts.end());
    Logger->WriteRow(QDateTime::currentDateTime(), values.data(), int(values.size()));
}
