// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Groups of transaction states and what each wait state expects.
#include <cstdint>

#include "ModbusTypes.h"

namespace zorp::states {

// Request state of each wait state: a retry goes back to it.
inline TMachineStates RequestOf(TMachineStates wait)
{
    switch (wait) {
    case msWaitForReadCoils: return msReadCoils;
    case msWaitForReadDiscreteInputs: return msReadDiscreteInputs;
    case msWaitForReadHoldingRegs: return msReadHoldingRegs;
    case msWaitForReadInputRegs: return msReadInputRegs;
    case msWaitForWriteSingleReg: return msWriteSingleReg;
    case msWaitForWriteMultiRegs: return msWriteMultiRegs;
    case msWaitForWriteSingleCoil: return msWriteSingleCoil;
    case msWaitForWriteMultiCoils: return msWriteMultiCoils;
    case msWaitForReadFileRecord: return msReadFileRecord;
    case msWaitForWriteSingleSpecialReg: return msWriteSingleSpecialReg;
    default: return wait;
    }
}

// Wait state of each request state.
inline TMachineStates WaitOf(TMachineStates request)
{
    switch (request) {
    case msReadCoils: return msWaitForReadCoils;
    case msReadDiscreteInputs: return msWaitForReadDiscreteInputs;
    case msReadHoldingRegs: return msWaitForReadHoldingRegs;
    case msReadInputRegs: return msWaitForReadInputRegs;
    case msWriteSingleReg: return msWaitForWriteSingleReg;
    case msWriteMultiRegs: return msWaitForWriteMultiRegs;
    case msWriteSingleCoil: return msWaitForWriteSingleCoil;
    case msWriteMultiCoils: return msWaitForWriteMultiCoils;
    case msReadFileRecord: return msWaitForReadFileRecord;
    case msWriteSingleSpecialReg: return msWaitForWriteSingleSpecialReg;
    default: return request;
    }
}

// States whose pass sends a request and moves to its wait state.
inline bool IsRequest(TMachineStates s)
{
    switch (s) {
    case msReadCoils: case msReadDiscreteInputs: case msReadHoldingRegs: case msReadInputRegs:
    case msWriteSingleReg: case msWriteMultiRegs: case msWriteSingleCoil: case msWriteMultiCoils:
    case msReadFileRecord: case msWriteSingleSpecialReg:
        return true;
    default:
        return false;
    }
}

inline bool IsReadWait(TMachineStates s)
{
    return s == msWaitForReadCoils || s == msWaitForReadDiscreteInputs || s == msWaitForReadHoldingRegs
        || s == msWaitForReadInputRegs || s == msWaitForReadFileRecord;
}

inline bool IsAckWait(TMachineStates s)
{
    return s == msWaitForWriteSingleReg || s == msWaitForWriteMultiRegs || s == msWaitForWriteSingleCoil
        || s == msWaitForWriteMultiCoils || s == msWaitForWriteSingleSpecialReg;
}

inline bool IsWait(TMachineStates s) { return IsReadWait(s) || IsAckWait(s); }

// Function code a wait state expects in its response.
inline uint8_t FunctionOf(TMachineStates wait)
{
    switch (wait) {
    case msWaitForReadCoils: return 1;
    case msWaitForReadDiscreteInputs: return 2;
    case msWaitForReadHoldingRegs: return 3;
    case msWaitForReadInputRegs: return 4;
    case msWaitForReadFileRecord: return 20;
    case msWaitForWriteSingleReg: return 6;
    case msWaitForWriteMultiRegs: return 16;
    case msWaitForWriteSingleCoil: return 5;
    case msWaitForWriteMultiCoils: return 15;
    case msWaitForWriteSingleSpecialReg: return 102;
    default: return 0;
    }
}

} // namespace zorp::states
