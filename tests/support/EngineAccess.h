// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// White-box access to TVexaModbus for tests and fuzzers: private fields, one
// state-machine pass, and the receive path after the bytes were taken from
// the port object.
#include <QTimer>
#include <cstdint>
#include <vector>

#include "VexaModbus.h"

struct TVexaModbusTestAccess {
    using E = TVexaModbus;

    static void Pass(E& e) { e.StateMachine(); }
    // The receive path as the port's data notification runs it once the
    // bytes were taken: counted, announced, appended and delimited.
    static void Deliver(E& e, const std::vector<uint8_t>& bytes) { e.ReceiveBlock(bytes.data(), int(bytes.size())); }

    static TMachineStates State(const E& e) { return e.State; }
    static void SetRawState(E& e, TMachineStates s) { e.State = s; }
    static void SetState(E& e, TMachineStates s) { e.SetState(s); }
    static bool InMainLoop(const E& e) { return e.InMainLoop; }

    // Brings a master link "up" without a real port: FConnected and the
    // port treated as open, so request passes send (PutBlock then fails
    // quietly, OnSendData still sees every frame).
    static void FakeLinkUp(E& e, bool up = true)
    {
        e.FConnected = up;
        e.FPortOpenForTests = up;
    }
    static void SetPortOpenForTests(E& e, bool open) { e.FPortOpenForTests = open; }
    // Serial line timing on the fake link: delimitation by length and CRC
    // (and by silence, with real timers once a serial link was opened).
    static void SetLineTimingForTests(E& e, bool on) { e.FLineTimingForTests = on; }
    static void SetConnectedField(E& e, bool c) { e.FConnected = c; }

    static bool FrameCompleted(const E& e) { return e.FFrameCompleted; }
    static bool IsException(const E& e) { return e.FIsException; }
    static std::vector<uint8_t> Buffer(const E& e)
    {
        return std::vector<uint8_t>(e.FBuffer.Data(), e.FBuffer.Data() + e.FBuffer.Size());
    }
    static uint32_t TimeoutStamp(const E& e) { return e.FTx.Since(); }
    static uint16_t CounterTry(const E& e) { return e.FTx.Tries(); }
    static bool SendConfirm(const E& e) { return e.FSendConfirm; }
    static bool TryDisconnect(const E& e) { return e.FTryDisconnect; }
    static uint16_t LastTransactionID(const E& e) { return e.FLastTransaction_ID; }
    static void SetLastTransactionID(E& e, uint16_t id) { e.FLastTransaction_ID = id; }
    static uint16_t NextTransactionID(E& e) { return e.NextTransactionID(); }
    static uint8_t CoilsCount(const E& e) { return e.FTx.coils; }
    static uint16_t DataCount(const E& e) { return e.FTx.count; }
    static uint16_t MemAddress(const E& e) { return e.FTx.address; }
    static std::vector<uint8_t> ByteValues(const E& e) { return e.FTx.bytes; }
    static std::vector<uint16_t> DataValues(const E& e) { return e.FTx.values; }
    static bool TimerActive(const E& e) { return e.FMainTimer && e.FMainTimer->isActive(); }
    static bool TimerExists(const E& e) { return e.FMainTimer != nullptr; }
    static void AddLog(E& e, const QString& s) { e.AddLog(s); }
    static void ReportError(E& e, int32_t code) { e.ReportError(code); }
    static void SendFrame(E& e, const std::vector<uint8_t>& b) { e.SendFrame(b.data(), uint16_t(b.size())); }
    static void RemovePort(E& e) { delete e.FComPort; e.FComPort = nullptr; }
    static uint16_t MapWord(const E& e, size_t i) { return e.FMapData[i]; }
    static bool Coil(const E& e, size_t i) { return e.FCoilData[i]; }
    // The link's mode without a port (Connect and Listen set it).
    static void SetMode(E& e, TModbusMode m) { e.FMode = m; }
    // The line's timing and timers, made as when a serial port opens.
    static void OpenLine(E& e) { e.LineOpened(); }
    // The silence timer's call, for callers that run no event loop.
    static void LineSilence(E& e) { e.LineSilence(); }
};
