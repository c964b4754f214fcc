// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Records what an engine reports: events in order, frames sent, log lines
// (through a memo-like child of the owner) and terminal attachments.
#include <QObject>
#include <QStringList>
#include <cstdint>
#include <string>
#include <vector>

#include "VexaModbus.h"

namespace zorptest {

// A log sink the engine binds as its Memo (it has appendPlainText).
class EngineMemo : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    QStringList lines;
public slots:
    void appendPlainText(const QString& text) { lines << text; }
};

// A terminal display the engine binds as its Terminal.
class EngineTerminal : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    QList<QObject*> attached;
public slots:
    void attachPort(QObject* port) { attached << port; }
};

struct EngineRecorder {
    std::vector<std::string> events;               // "state 15", "error 4", "connect", ...
    std::vector<std::vector<uint8_t>> sent;        // every frame, as OnSendData saw it
    std::vector<std::vector<uint8_t>> received;    // every chunk, as OnReceiveData saw it
    std::vector<uint8_t> lastData;                 // data of the last read event
    std::vector<bool> lastCoils;
    int lastAddr = -1;
    int lastCount = -1;

    // Sets every event of the engine to record into this object.
    void Attach(TVexaModbus& e);
    // Events other than state changes, in order.
    std::vector<std::string> Outcomes() const;
    int Count(const std::string& event) const;
};

} // namespace zorptest
