// SPDX-License-Identifier: GPL-3.0-or-later
// Write operations, accepted acknowledgements and the blocking wait of the
// coil writes.
#include "VexaModbus.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QPointer>
#include <QTimer>

#include "CommPort.h"
#include "EngineLife.h"
#include "ModbusFrames.h"

void TVexaModbus::WriteSingleCoil(uint16_t Address, bool Value, bool Wait)
{
    if (!FConnected) return;
    FSendConfirm = false;
    if (Arm(msWriteSingleCoil, Address, Value ? 0xFF00 : 0x0000) && Wait) WaitForCoilConfirm();
}

void TVexaModbus::SetSingleRelay(uint8_t RelayNo, bool State)
{
    WriteSingleCoil(static_cast<uint16_t>(RelayNo + 16), State, false);
}

void TVexaModbus::WriteSingleReg(uint16_t Address, uint16_t Value)
{
    if (!FConnected) return;
    Arm(msWriteSingleReg, Address, Value);
}

void TVexaModbus::WriteSingleSpecialReg(uint16_t Address, uint16_t Value)
{
    if (!FConnected) return;
    Arm(msWriteSingleSpecialReg, Address, Value);
}

bool TVexaModbus::WriteMultiRegs(uint16_t Address, uint16_t Count, const std::vector<uint16_t>& Values)
{
    // Outside the Modbus limit the byte-count field would wrap and the frame
    // outgrow its buffer; with too few values there is nothing to send.
    if (Count < 1 || Count > zorp::kMaxWriteRegisters || Values.size() < Count) return false;
    if (!FConnected) return true;
    FTx.values.assign(Values.begin(), Values.begin() + Count);
    Arm(msWriteMultiRegs, Address, Count);
    return true;
}

bool TVexaModbus::WriteMultiCoils(uint16_t Address, uint16_t Count, const std::vector<bool>& Values, bool Wait)
{
    // The coil quantity travels in one byte: 1 to 255 coils.
    if (Count < 1 || Count > zorp::kMaxWriteCoils || Values.size() < Count) return false;
    if (!FConnected) return true;
    FSendConfirm = false;
    FTx.coils = static_cast<uint8_t>(Count);
    FTx.bytes = zorp::PackBits(Values, Count);
    if (Arm(msWriteMultiCoils, Address, static_cast<uint16_t>((Count + 7) / 8)) && Wait) WaitForCoilConfirm();
    return true;
}

void TVexaModbus::AcceptAck()
{
    const TMachineStates wait = State;
    FTx.Settle(zorp::Transaction::Outcome::Answered);
    ResetReceive();
    SetState(msIdle);
    switch (wait) {
    case msWaitForWriteSingleCoil:
        FSendConfirm = true;
        Raise(OnWriteSingleCoil, this);
        break;
    case msWaitForWriteMultiCoils:
        FSendConfirm = true;
        Raise(OnWriteMultiCoils, this);
        break;
    case msWaitForWriteSingleReg:
        Raise(OnWriteSingleReg, this);
        break;
    case msWaitForWriteMultiRegs:
        Raise(OnWriteMultiRegs, this);
        break;
    case msWaitForWriteSingleSpecialReg:
        Raise(OnWriteSingleSpecialReg, this);
        break;
    default:
        break;
    }
}

void TVexaModbus::WaitForCoilConfirm()
{
    // Up to 200 rounds of 10 ms while the event queue keeps being served; the
    // engine may be destroyed by a handler running inside the wait.
    QPointer<TVexaModbus> self(this);
    FWaitAborted = false;
    for (int round = 0; round < 200; ++round) {
        if (!self || FSendConfirm || FWaitAborted) return;
        WaitWithMessages(10);
    }
}

bool TVexaModbus::WaitWithMessages(uint32_t ms)
{
    if (!PortIsOpen()) return false;
    if (!QCoreApplication::instance() || QCoreApplication::closingDown()) return true;

    QPointer<TVexaModbus> self(this);
    QEventLoop loop;
    bool ticked = false;
    QTimer tick;
    tick.setSingleShot(true);
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] { ticked = true; loop.quit(); });
    // The round ends early once the port is gone or closed.
    QTimer watch;
    watch.setInterval(1);
    QObject::connect(&watch, &QTimer::timeout, &loop, [&] {
        if (!self || !PortIsOpen()) loop.quit();
    });
    tick.start(int(ms));
    watch.start();
    loop.exec();
    if (!self) return false;
    // Leaving without our tick means the application asked its loops to quit.
    if (!ticked && PortIsOpen()) FWaitAborted = true;
    return PortIsOpen();
}
