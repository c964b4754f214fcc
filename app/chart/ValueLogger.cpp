// SPDX-License-Identifier: GPL-3.0-or-later
// CSV logging of decoded Values, flushed twice a second.
#include "ValueLogger.h"
#include "Csv.h"
#include "FormStorage.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QSaveFile>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <unistd.h>

TValueLogger::TValueLogger(QObject* parent) : QObject(parent)
{
    FFlushTimer = new QTimer(this);
    FFlushTimer->setInterval(FlushIntervalMs);
    connect(FFlushTimer, &QTimer::timeout, this, [this] {
        if (FDirty) Flush();
    });
}

TValueLogger::~TValueLogger()
{
    // No callbacks into a caller that may be going away too.
    OnFailed = nullptr;
    OnFlushed = nullptr;
    Stop();
}

QString TValueLogger::TimeText(const QDateTime& When)
{
    const QDateTime local = When.toLocalTime();
    return local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODateWithMs);
}

void TValueLogger::AppendField(QByteArray& Line, QStringView Text) { Line += zorp::CsvField(Text).toUtf8(); }

bool TValueLogger::Start(const QString& FileName, const QStringList& Headers, QString& Error)
{
    Stop();
    FFile.setFileName(FileName);
    if (!FFile.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        Error = QStringLiteral("Unable to write to %1: %2").arg(FileName, FFile.errorString());
        return false;
    }
    FColumns = int(Headers.size());
    FRows = FFlushedRows = 0;
    FLine.clear();
    FLine += "Time";
    for (const QString& h : Headers) {
        FLine += ',';
        AppendField(FLine, h);
    }
    FLine += "\r\n";
    const bool written = FFile.write(FLine) == FLine.size() && FFile.flush();
    if (!written) {
        Error = QStringLiteral("Unable to write to %1: %2").arg(FileName, FFile.errorString());
        FFile.close();
        return false;
    }
    FDirty = false;
    FSinceFlush.start();
    FFlushTimer->start();
    return true;
}

void TValueLogger::Stop()
{
    FFlushTimer->stop();
    if (!FFile.isOpen()) return;
    if (FDirty) Flush();
    FFile.close();
}

bool TValueLogger::WriteRow(const QDateTime& When, const QStringView* Values, int Count)
{
    if (!FFile.isOpen()) return false;
    FLine.clear();
    FLine += TimeText(When).toLatin1();
    for (int i = 0; i < FColumns; ++i) {
        FLine += ',';
        if (i < Count) AppendField(FLine, Values[i]);
    }
    FLine += "\r\n";
    if (FFile.write(FLine) != FLine.size())
        return Fail(FFile.errorString());
    ++FRows;
    FDirty = true;
    // The timer may be held up by a busy event loop: a row that finds the
    // last flush too long ago flushes itself.
    if (FSinceFlush.elapsed() >= FlushIntervalMs) return Flush();
    return true;
}

bool TValueLogger::AddColumn(const QString& Header)
{
    if (!FFile.isOpen()) return false;
    if (FDirty && !Flush()) return false;
    const QString name = FFile.fileName();
    FFile.close();
    QFile in(name);
    QSaveFile out(name);
    if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly))
        return Fail(in.isOpen() ? out.errorString() : in.errorString());
    // Line ends inside quoted fields belong to the field: the quotes are
    // counted across the chunks read.
    bool quoted = false, header = true;
    QByteArray chunk, done;
    while (!(chunk = in.read(1 << 16)).isEmpty()) {
        done.clear();
        done.reserve(chunk.size() + chunk.size() / 8);
        for (qsizetype k = 0; k < chunk.size(); ++k) {
            const char c = chunk[k];
            if (c == '"') quoted = !quoted;
            if (c == '\r' && !quoted) {
                // Each record ends in CR LF: the new field goes before it.
                done += ',';
                if (header) AppendField(done, Header);
                header = false;
            }
            done += c;
        }
        if (out.write(done) != done.size()) break;
    }
    in.close();
    if (!out.commit()) {
        FFile.setFileName(name);
        return Fail(out.errorString());
    }
    FFile.setFileName(name);
    if (!FFile.open(QIODevice::WriteOnly | QIODevice::Append)) return Fail(FFile.errorString());
    ++FColumns;
    return true;
}

bool TValueLogger::Flush()
{
    if (!FFile.isOpen()) return false;
    FSinceFlush.start();
    if (!FFile.flush()) return Fail(FFile.errorString());
    // Down to the device, not only to the system's cache.
    if (::fdatasync(FFile.handle()) != 0 && errno != EINVAL && errno != EROFS)
        return Fail(QString::fromLocal8Bit(strerror(errno)));
    FDirty = false;
    FFlushedRows = FRows;
    if (OnFlushed) OnFlushed(FFlushedRows);
    return true;
}

bool TValueLogger::Fail(const QString& What)
{
    const QString message =
        QStringLiteral("Logging to %1 stopped: %2").arg(FFile.fileName(), What.isEmpty() ? QStringLiteral("write error") : What);
    FFlushTimer->stop();
    // Whatever is still buffered cannot be written either: drop it so that
    // closing does not try again.
    FDirty = false;
    FFile.close();
    if (OnFailed) OnFailed(message);
    return false;
}

QString zorp::AskLogFile(QWidget* Parent, QFileDialog*& Dialog, const QString& Last)
{
    if (!Dialog) {
        Dialog = new QFileDialog(Parent);
        Dialog->setObjectName(QStringLiteral("SDLog"));
        Dialog->setWindowTitle(QStringLiteral("Log values to CSV"));
        Dialog->setNameFilter(QStringLiteral("CSV file (*.csv)"));
        Dialog->setDefaultSuffix(QStringLiteral("csv"));
        Dialog->setAcceptMode(QFileDialog::AcceptSave);
        Dialog->setFileMode(QFileDialog::AnyFile);
    }
    if (!Last.isEmpty()) Dialog->selectFile(Last);
    QString name = RunSaveDialog(Dialog);
    if (!name.isEmpty() && QFileInfo(name).suffix().isEmpty()) name += QStringLiteral(".csv");
    return name;
}
