// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The poll loop of zorp-poll, and its slave scan: each owns one engine and
// ends the application with the exit status when it is done.
#include <QElapsedTimer>
#include <QTimer>
#include <memory>
#include <string>

#include "PollOptions.h"
#include "PollOutput.h"

class TVexaModbus;

// Sets the engine up for the options' link, unit, time-out and retries.
void ConfigureEngine(TVexaModbus& m, const Options& o);

// "error N: <English meaning>" on stderr; returns the meaning. The engine's
// own (Polish) log texts are not the tool's messages.
std::string ReportEngineError(int32_t code, const Options& o);

class Poller {
public:
    explicit Poller(const Options& o);
    ~Poller();
    void Start();
    // Ctrl-C or SIGTERM: the summary, then the exit status of what was done.
    void Interrupt();
    int ExitCode() const { return FExit; }

private:
    void LinkUp();
    void Next();
    void Issue();
    void Done();
    void Bits(const std::vector<bool>& bits);
    void Registers(const std::vector<uint8_t>& data);
    void Short(size_t got, size_t want, const char* what);
    void Error(int32_t code);
    void Finish(const QString& why);

    Options FOpt;
    TVexaModbus* FMdb;
    TPollOutput FOutput;
    QTimer FLinkTimer;
    QTimer FWatchdog;
    QTimer FPace;
    QElapsedTimer FClock;
    qint64 FPollStart = 0;
    long FPolls = 0, FResponses = 0, FErrors = 0;
    bool FPending = false;
    bool FLinkUp = false;
    bool FDone = false;
    bool FFlushEach = false;
    int FExit = 1;
};

class Scanner {
public:
    explicit Scanner(const Options& o);
    ~Scanner();
    void Start();
    void Interrupt();
    int ExitCode() const { return FExit; }

private:
    void NextLine();
    void NextUnit();
    void Outcome(int code);
    void LineFailed();
    void DropEngine();
    void Finish(const char* why);

    Options FOpt;
    TPollOutput FOutput;
    TVexaModbus* FMdb = nullptr;
    QTimer FLinkTimer;
    QTimer FWatchdog;
    QElapsedTimer FClock;
    size_t FLine = 0;     // index into the line settings tried
    long FUnit = 0;       // the unit asked last
    bool FAsking = false;
    unsigned FGeneration = 0; // events of an engine left behind are ignored
    long FTried = 0, FAnswered = 0;
    bool FDone = false;
    int FExit = 1;
};
