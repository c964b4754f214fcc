// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Enumerations and event types of the Modbus engine.
#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <vector>

// Framing. Only mbpRTU and mbpTCP produce frames.
enum TModbusProtocol { mbpNone, mbpRTU, mbpASCII, mbpTCP };
// Transport: serial line or TCP connection.
enum TModbusInterface { mbiNone, mbiRS485, mbiEthernet };
// Set by Connect (master) and Listen (slave).
enum TModbusMode { mbmMaster, mbmSlave };
enum TParity { pNone, pOdd, pEven, pMark, pSpace };
// Stored in DeviceType, never interpreted.
enum TDeviceTypes { dvtNone };
// Type of FValueType; nothing stores another value.
enum TValueTypes { vtNone };

// Transaction states, numbered in this order.
enum TMachineStates {
    msNone,                         // 0
    msInit,                         // 1
    msReadCoils,                    // 2
    msWaitForReadCoils,             // 3
    msReadDiscreteInputs,           // 4
    msWaitForReadDiscreteInputs,    // 5
    msReadHoldingRegs,              // 6
    msWaitForReadHoldingRegs,       // 7
    msReadInputRegs,                // 8
    msWaitForReadInputRegs,         // 9
    msWriteSingleReg,               // 10
    msWaitForWriteSingleReg,        // 11
    msWriteMultiRegs,               // 12
    msWaitForWriteMultiRegs,        // 13
    msDisconnect,                   // 14
    msIdle,                         // 15
    msDone,                         // 16
    msInitSlave,                    // 17
    msIdleSlave,                    // 18
    msReadHoldingRegsSlave,         // 19
    msWriteSingleCoil,              // 20
    msWaitForWriteSingleCoil,       // 21
    msWriteMultiCoils,              // 22
    msWaitForWriteMultiCoils,       // 23
    msSystemError,                  // 24
    msReadFileRecord,               // 25
    msWaitForReadFileRecord,        // 26
    msWriteSingleSpecialReg,        // 27
    msWaitForWriteSingleSpecialReg  // 28
};

// Event types. The first parameter is always the Sender.
using TNotifyEvent = std::function<void(QObject* Sender)>;
using TOnModbusError = std::function<void(QObject* Sender, int32_t ErrorCode)>;
using TOnModbusDataCoilResponse = std::function<void(QObject* Sender, uint8_t DeviceID, uint16_t Addr,
                                                     uint16_t Count, const std::vector<bool>& Data)>;
using TOnModbusDataResponse = std::function<void(QObject* Sender, uint8_t DeviceID, uint16_t Addr,
                                                 uint16_t Count, const std::vector<uint8_t>& Data)>;
using TOnModbusFileRecordDataResponse =
    std::function<void(QObject* Sender, uint8_t DeviceID, uint16_t FileNo, uint16_t Addr, uint16_t Count,
                       const std::vector<uint8_t>& Data)>;
using TOnReadRelayState = std::function<void(QObject* Sender, bool R1, bool R2, bool R3, bool R4, bool R5, bool R6)>;
using TOnDataValues = std::function<void(QObject* Sender, TValueTypes AValueType, const std::vector<float>& AData)>;
using TOnDataReading = std::function<void(QObject* Sender, uint32_t Counter, uint32_t Limit)>;
using TOnClientConnect = std::function<void(QObject* Sender, const QString& AdrIP)>;
using TOnClientDisconnect = std::function<void(QObject* Sender)>;
using TOnSendData = std::function<void(QObject* Sender, const void* Block, int32_t Size)>;
using TOnReceiveData = std::function<void(QObject* Sender, const uint8_t* Block, int32_t Size)>;
