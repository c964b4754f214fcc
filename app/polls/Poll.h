// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TPoll: one poll of a link: which unit, function and range it reads, how
// often, the rows' data types and descriptions, its counters and its last
// answer. Its reads and writes go out when the link's scheduler gives it a
// turn (TLinkScheduler); the engine's answer comes back to it there.
#include <QObject>
#include <functional>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "RowWrite.h"

class QTimer;
class TLinkScheduler;
class TVexaModbus;

// What a poll reads and how often.
struct TPollSettings {
    int Unit = 1;          // 0 to 255 (0 can only be written)
    int Func = 3;          // 1 to 4
    int Start = 1;         // the user's address (1-based), 0 to 65536
    int Length = 10;       // 1 to 255 items
    int IntervalMs = 1000; // from the start of one read to the start of the next
    // The rows' data types and descriptions (row 1 first).
    QStringList Types;
    QStringList Descriptions;
    bool operator==(const TPollSettings&) const = default;
    // Empty when the settings can be sent, else why not.
    QString Problem() const;
};

class TPoll : public QObject {
    Q_OBJECT
public:
    TPoll(TLinkScheduler* Link, QObject* Parent = nullptr);
    ~TPoll() override;

    TPollSettings Settings;
    TLinkScheduler* Link() const { return FLink; }
    // "unit 1, 03 Holding Registers 1-10".
    QString Title() const;
    // A short name for the log's filter: "Poll 2".
    QString Name;
    // The tag of its frames in the connection window's log (TCommLog), for
    // the log's filter; 0: none.
    uint32_t LogTag = 0;

    // Counters, as the window shows them.
    int32_t Polls = 0;
    int32_t Responses = 0;
    int32_t Errors = 0;
    // The last answer: the function, unit and first address it read,
    // register bytes (functions 3 and 4) or bits (1 and 2).
    int AnsweredFunc = 0;
    int AnsweredUnit = -1;
    uint16_t AnsweredAddress = 0;
    std::vector<uint8_t> Data;
    std::vector<bool> Bits;
    // The last errors, newest last, as the counters' tooltip lists them.
    std::deque<QString> ErrorTexts;
    static constexpr size_t MaxErrorTexts = 10;

    // The frames of this poll's transactions as the log writes them (sent:
    // true for a request), the newest last, at most MaxFrames.
    struct TFrame {
        QString Line;
        bool Sent = false;
    };
    std::deque<TFrame> Frames;
    static constexpr size_t MaxFrames = 2000;
    void AddFrame(const QString& Line, bool Sent)
    {
        Frames.push_back({Line, Sent});
        if (Frames.size() > MaxFrames) Frames.pop_front();
    }

    // One read when the link gives a turn (nothing while not connected).
    void Read();
    // Real time: a read every IntervalMs until stopped or an error.
    void SetRealTime(bool On);
    bool RealTime() const { return FRealTime; }
    // A write: sent at the poll's next turn (a newer one replaces a write
    // still waiting); a read of the answer follows outside Real time.
    void Write(const TWriteRequest& W);
    bool Wants() const { return FReadWanted || FWrite.has_value(); }

    // ---- the scheduler's side -------------------------------------------
    // Sends what the poll wants; false when nothing was sent.
    bool Start(TVexaModbus* Engine);
    void Answered(int Func, uint8_t Unit, uint16_t Addr, const std::vector<uint8_t>& Bytes,
                  const std::vector<bool>& BitValues);
    void WriteDone();
    void Failed(int32_t Code);
    // The link closed: nothing is in flight any more.
    void LinkClosed();
    // Asked when a transaction failed: true when the Real-time cycle goes
    // on (the connection window keeps polling after errors); unset: an
    // error ends the cycle.
    std::function<bool(int32_t Code)> KeepRealTime;
    // The link is back: a Real-time cycle that a lost link stopped reads again.
    void Resume();

signals:
    // The counters changed.
    void CountersChanged();
    // A read was answered (Data or Bits hold it).
    void AnswerArrived();
    // A read failed: every value shown is old.
    void ReadFailed();
    // Real time ended by itself (an error).
    void RealTimeChanged(bool On);

private:
    void Due();
    void Next();
    TLinkScheduler* FLink;
    QTimer* FTimer;
    bool FRealTime = false;
    bool FReadWanted = false;
    std::optional<TWriteRequest> FWrite;
    // What is in flight: 0 none, 1 a read, 2 a write.
    int FInFlight = 0;
    QString FInFlightText;
    qint64 FLastStartMs = 0;
};
