// SPDX-License-Identifier: GPL-3.0-or-later
#include "ReadQueue.h"

#include "ModbusFrames.h"
#include "VexaModbus.h"

#include <algorithm>

TReadQueue::TReadQueue(TVexaModbus* Engine, uint32_t TimeoutMs, uint16_t Retries)
    : FMdb(Engine), FTimeoutMs(TimeoutMs), FRetries(Retries)
{
    TVexaModbus& m = *FMdb;
    m.OnConnect = [this](QObject*) {
        FLinkTimer.stop();
        if (auto ready = std::exchange(FReady, nullptr)) ready(true);
    };
    m.OnDisconnect = [this](QObject*) { Finish({16, {}}); };
    m.OnError = [this](QObject*, int32_t code) { Finish({code, {}}); };
    // A bit answer whose byte count is not the one the quantity asked for
    // is short (or long): its bits are not taken.
    m.OnReadCoils = [this](QObject*, uint8_t, uint16_t, uint16_t, const std::vector<bool>& bits) {
        TReadOutcome r;
        if (FMdb->ResponseByteCount() == BitBytes())
            for (int k = 0; k < FCount && size_t(k) < bits.size(); ++k) r.Items.push_back(bits[size_t(k)] ? 1 : 0);
        Finish(std::move(r));
    };
    m.OnReadDiscreteInputs = [this](QObject*, uint8_t, uint16_t, uint16_t, const std::vector<uint8_t>& data) {
        TReadOutcome r;
        if (data.size() == BitBytes())
            for (const bool b : zorp::UnpackBits(data.data(), data.size(), size_t(FCount))) r.Items.push_back(b ? 1 : 0);
        Finish(std::move(r));
    };
    auto regs = [this](QObject*, uint8_t, uint16_t, uint16_t, const std::vector<uint8_t>& data) {
        TReadOutcome r;
        for (size_t k = 0; k + 1 < data.size(); k += 2) r.Items.push_back(uint16_t(data[k] << 8 | data[k + 1]));
        Finish(std::move(r));
    };
    m.OnReadHoldingRegs = regs;
    m.OnReadInputRegs = regs;
    FLinkTimer.setSingleShot(true);
    QObject::connect(&FLinkTimer, &QTimer::timeout, [this] {
        if (auto ready = std::exchange(FReady, nullptr)) ready(false);
    });
    // Every read ends in an event well within this; a last guard all the same.
    FWatchdog.setSingleShot(true);
    QObject::connect(&FWatchdog, &QTimer::timeout, [this] { Finish({4, {}}); });
}

TReadQueue::~TReadQueue()
{
    FMdb->OnConnect = nullptr;
    FMdb->OnDisconnect = nullptr;
    FMdb->OnError = nullptr;
    FMdb->OnReadCoils = nullptr;
    FMdb->OnReadDiscreteInputs = nullptr;
    FMdb->OnReadHoldingRegs = nullptr;
    FMdb->OnReadInputRegs = nullptr;
    delete FMdb;
}

void TReadQueue::Start(std::function<void(bool)> Ready)
{
    FReady = std::move(Ready);
    FLinkTimer.start(int(std::min<uint32_t>(FTimeoutMs, 2000000000)));
    FMdb->Connect();
}

bool TReadQueue::Connected() const { return FMdb->Connected(); }

bool TReadQueue::LinkLost(int Code) { return Code == 0 || Code == 1 || Code == 15 || Code == 16; }

void TReadQueue::Read(int Function, int64_t Address, int Count, std::function<void(const TReadOutcome&)> Done)
{
    FDone = std::move(Done);
    FCount = Count;
    FWatchdog.start(int(std::min<int64_t>((int64_t(FTimeoutMs) + 100) * (FRetries + 2) + 2000, 2000000000)));
    const uint16_t a = uint16_t(Address); // 65536 travels as 0: wire address 65535
    const uint8_t n = uint8_t(Count);
    switch (Function) {
    case 1: FMdb->ReadCoils(a, n); break;
    case 2: FMdb->ReadDiscreteInputs(a, n); break;
    case 3: FMdb->ReadHoldingRegs(a, n); break;
    default: FMdb->ReadInputRegs(a, n); break;
    }
}

void TReadQueue::Finish(TReadOutcome Outcome)
{
    FWatchdog.stop();
    // A short answer is a failed read, as a bad frame would be.
    if (Outcome.Code == 0 && Outcome.Items.size() != size_t(FCount)) Outcome.Code = kShortAnswer;
    if (auto done = std::exchange(FDone, nullptr)) {
        // Leave the engine's event before the next read is armed.
        QTimer::singleShot(0, &FWatchdog, [done, Outcome] { done(Outcome); });
    }
}
