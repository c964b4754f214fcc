// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// One engine that makes reads one after the other (zorp-poll's map poll and
// address scan, the tester's address scan window): each read ends in exactly
// one outcome, the items read or the engine's error code, delivered from the
// event loop (never inside the engine's event).
#include <QTimer>
#include <cstdint>
#include <functional>
#include <vector>


class TVexaModbus;

// The outcome code of an answer with fewer items than asked for.
inline constexpr int kShortAnswer = -1;

struct TReadOutcome {
    int Code = 0;                // 0: answered; else the engine's error code
    std::vector<uint16_t> Items; // registers, or bits as 0 and 1
};

class TReadQueue {
public:
    // Takes over Engine, configured for its link; TimeoutMs and Retries are
    // its settings (they bound the wait for the link and for each read).
    TReadQueue(TVexaModbus* Engine, uint32_t TimeoutMs, uint16_t Retries);
    ~TReadQueue();
    // Connects; Ready(true) once the link is up, Ready(false) when it did not
    // come up within the time-out.
    void Start(std::function<void(bool Up)> Ready);
    // Function 1 to 4, Address 1-based; Done is called once.
    void Read(int Function, int64_t Address, int Count, std::function<void(const TReadOutcome&)> Done);
    bool Connected() const;
    // An outcome code that leaves no link to read on.
    static bool LinkLost(int Code);

private:
    void Finish(TReadOutcome Outcome);
    size_t BitBytes() const { return size_t(FCount + 7) / 8; }

    TVexaModbus* FMdb;
    uint32_t FTimeoutMs;
    uint16_t FRetries;
    QTimer FLinkTimer, FWatchdog;
    std::function<void(bool)> FReady;
    std::function<void(const TReadOutcome&)> FDone;
    int FCount = 0;
};
