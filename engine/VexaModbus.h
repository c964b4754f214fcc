// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TVexaModbus: the non-visual Modbus engine. One object owns one link to one
// slave (or, listening, takes the slave's place): its configuration, the port
// object, a 1 ms timer driving the transaction state machine, the receive
// buffer, a register and a coil image, and the events that report everything.
//
// Public operations never block (except the coil writes with Wait = true)
// and never fail for link or protocol trouble: they store their arguments
// and arm the state machine; each transaction ends in exactly one event.
#include <QObject>
#include <QPointer>
#include <QString>
#include <array>
#include <cstdint>
#include <exception>
#include <functional>
#include <vector>

#include "ModbusTypes.h"
#include "ReceiveBuffer.h"

class QTimer;
class TCommPort;

namespace zorp {
// The 32-bit wrapping millisecond tick count used for time-outs. Tests may
// replace the source (nullptr restores the monotonic clock).
uint32_t GetTickCount();
void SetTickCountSource(std::function<uint32_t()> source);

// Exceptions thrown by event handlers end the engine operation that raised
// the event; where that operation was started by the event loop (a timer
// tick, a posted pass, a port notification) the engine catches them there so
// that none crosses the Qt event loop. An application may install a hook to
// learn of them (nullptr: they are dropped).
void SetUnhandledExceptionHandler(std::function<void(std::exception_ptr)> handler);
void HandleUnhandledException(std::exception_ptr e) noexcept;
} // namespace zorp

class TVexaModbus : public QObject {
    Q_OBJECT
    friend struct TVexaModbusTestAccess; // white-box access for tests and fuzzers
public:
    // Create(AOwner): the owner (QObject parent) destroys the engine.
    explicit TVexaModbus(QObject* AOwner = nullptr);
    // Destroy.
    ~TVexaModbus() override;

    // ---- published properties -------------------------------------------
    QString ClientIP() const { return FClientIP; }
    int64_t RxCounter() const { return FRxCounter; }
    int64_t TxCounter() const { return FTxCounter; }
    int32_t ComNumber() const { return GetComNumber(); }
    void SetComNumber(int32_t Value);
    int32_t GetComNumber() const;
    int32_t ComSpeed() const { return FComSpeed; }
    void SetComSpeed(int32_t v) { FComSpeed = v; }
    uint16_t DataBits() const { return FDataBits; }
    void SetDataBits(uint16_t v) { FDataBits = v; }
    uint16_t StopBits() const { return FStopBits; }
    void SetStopBits(uint16_t v) { FStopBits = v; }
    TParity Parity() const { return FParity; }
    void SetParity(TParity v) { FParity = v; }
    uint16_t MaxRepeat() const { return FMaxRepeat; }
    void SetMaxRepeat(uint16_t v) { FMaxRepeat = v; }
    TModbusProtocol Protocol() const { return FProtocol; }
    void SetProtocol(TModbusProtocol v) { FProtocol = v; }
    TModbusInterface InterfaceType() const { return FInterfaceType; }
    void SetInterfaceType(TModbusInterface v) { FInterfaceType = v; }
    uint8_t DeviceID() const { return FDeviceID; }
    void SetDeviceID(uint8_t v) { FDeviceID = v; }
    QString EthIP() const { return FEthIP; }
    void SetEthIP(const QString& Value);
    uint16_t EthPort() const { return FEthPort; }
    void SetEthPort(uint16_t v) { FEthPort = v; }
    TDeviceTypes DeviceType() const { return FDeviceType; }
    void SetDeviceType(TDeviceTypes v) { FDeviceType = v; }
    uint32_t Timeout() const { return FFixedTimeout; }
    void SetTimeout(uint32_t v);
    QString SerialNo() const { return FSerialNo; }
    void SetSerialNo(const QString& v) { FSerialNo = v; }

    // ---- extensions (off by default) -------------------------------------
    // Two-wire adapters hear their own transmission: when on, an exact copy
    // of the request at the head of the received bytes is dropped before the
    // answer is delimited.
    bool RemoveEcho() const { return FRemoveEcho; }
    void SetRemoveEcho(bool v) { FRemoveEcho = v; }

    // ---- public, not published -----------------------------------------
    bool Connected() const { return FConnected; }
    void SetConnected(bool v) { FConnected = v; }
    TModbusMode Mode() const { return FMode; }

    // ---- operations -------------------------------------------------------
    void Connect();
    void Disconnect();
    void Listen();
    int32_t GetState() const { return static_cast<int32_t>(State); }
    static QString GetStateStr(int32_t VState);

    // Reads (armed only while Connected). OnReadCoils receives one entry per
    // coil asked for; coils for which the response carries no bit (a byte
    // count too small for the quantity) are False.
    void ReadCoils(uint16_t Address, uint8_t Count);
    void ReadDiscreteInputs(uint16_t Address, uint8_t Count);
    void ReadHoldingRegs(uint16_t Address, uint8_t Count);
    void ReadInputRegs(uint16_t Address, uint8_t Count);
    void ReadFileRecord(uint16_t FileNumber, uint16_t Address, uint8_t Count);
    void ReadRelayState();

    // Image accessors (entry i = wire address i).
    void Get_MapData(std::vector<uint16_t>& Data) const;
    void Set_MapData(const std::vector<uint16_t>& Data);
    void Get_CoilData(std::vector<bool>& Data) const;
    void Set_CoilData(const std::vector<bool>& Data);

    // Writes (armed only while Connected).
    //
    // Bounds: WriteMultiRegs accepts 1 to 123 registers and WriteMultiCoils
    // 1 to 255 coils, and each needs at least Count values. A call outside
    // these bounds sends nothing, leaves any pending transaction alone and
    // returns false; every accepted (or not-connected) call returns true.
    void WriteSingleReg(uint16_t Address, uint16_t Value);
    bool WriteMultiRegs(uint16_t Address, uint16_t Count, const std::vector<uint16_t>& Values);
    void WriteSingleCoil(uint16_t Address, bool Value, bool Wait);
    bool WriteMultiCoils(uint16_t Address, uint16_t Count, const std::vector<bool>& Values, bool Wait);
    void SetSingleRelay(uint8_t RelayNo, bool State);
    void WriteSingleSpecialReg(uint16_t Address, uint16_t Value);

    // ---- events (an unset event is skipped) -------------------------------
    TNotifyEvent OnConnect;
    TNotifyEvent OnDisconnect;
    TNotifyEvent OnListen;
    TOnModbusError OnError;
    TNotifyEvent OnChangeState;
    TOnModbusDataCoilResponse OnReadCoils;
    TOnReadRelayState OnReadRelayState;           // never raised
    TOnModbusDataResponse OnReadDiscreteInputs;
    TOnModbusDataResponse OnReadHoldingRegs;
    TOnModbusDataResponse OnReadInputRegs;
    TOnModbusFileRecordDataResponse OnReadFileRecord;
    TOnDataValues OnDataValues;                   // never raised
    TNotifyEvent OnWriteSingleReg;
    TNotifyEvent OnWriteMultiRegs;
    TNotifyEvent OnWriteSingleCoil;
    TNotifyEvent OnChangeRelay;                   // never raised
    TNotifyEvent OnChangeRelays;                  // never raised
    TNotifyEvent OnWriteMultiCoils;
    TNotifyEvent OnWriteSingleSpecialReg;
    TNotifyEvent OnDataReaded;                    // never raised
    TOnDataReading OnDataReading;                 // never raised
    TOnClientConnect OnClientConnect;             // Sender: the port object
    TOnClientDisconnect OnClientDisconnect;       // Sender: the port object
    TOnSendData OnSendData;                       // exceptions swallowed
    TOnReceiveData OnReceiveData;                 // exceptions swallowed

    // The port object (tests and tools may set a device path override on it).
    TCommPort* CommPort() const { return FComPort; }

public:
    // Diagnostic sinks found among the owner's children at construction:
    // Memo is the first object with an appendPlainText(QString) slot,
    // Terminal the first with an attachPort(QObject*) slot.
    QPointer<QObject> Memo;
    QPointer<QObject> Terminal;

protected:
    bool event(QEvent* e) override; // the posted early pass

    TMachineStates State = msNone;
    bool InMainLoop = false;

private:
    // ---- building blocks --------------------------------------------------
    void SetState(TMachineStates s);
    // Arms a transaction: its address and count (or value), no retries yet, then the request state.
    void Arm(TMachineStates request, uint16_t address, uint16_t dataCount);
    void ReportError(int32_t code);
    void AddLog(const QString& text);
    void AttachTerminal();
    void MainTimerTimer();
    void TimerTick();          // FMainTimer's tick: a pass, then the timer set for the state it left
    void StartTimer(bool tick);
    void StateMachine();
    void SchedulePass();       // posts one early pass through the event queue
    // Ends one of the engine's own dispatches from the event loop (a pass,
    // a data notification); outer tells whether another one is still on the
    // stack. In the outermost one, an early pass asked for while it ran is
    // posted, or, when mayRunPass and nothing failed, left to the caller to
    // run now (returns true). A failure goes to the unhandled-exception hook.
    bool FinishDispatch(bool outer, bool mayRunPass, std::exception_ptr failure);
    void DataNotification(TCommPort* port, uint16_t Count);
    void ResetReceive();
    void UpdateTimer();        // runs FMainTimer only while a pass can do something
    bool NeedsTimer() const;
    bool PortIsOpen() const;
    void Fail(int32_t code, TMachineStates after);  // message, state, then OnError
    void MasterPass();         // request and wait states

    // Frames (master side).
    uint16_t NextTransactionID();
    int SendFrame(const uint8_t* block, uint16_t length);
    void SendRequest(uint8_t fc, uint16_t Address, uint16_t word);
    void SendMultiRegsRequest(uint8_t fc, uint16_t Address, const std::vector<uint16_t>& values, uint16_t count);
    void SendMultiCoilsRequest(uint8_t fc, uint16_t Address, const std::vector<uint8_t>& bytes, uint16_t byteCount);
    void SendFileRecordRequest(uint8_t fc, uint16_t fileNo, uint16_t recordNo, uint16_t length);

    // State-machine passes.
    void OpeningPass();
    void RequestPass();
    void WaitPass();
    void ClosingPass();
    void SystemErrorPass();
    void ListeningPass();
    void DisconnectCheck();
    void AcceptRead();
    void AcceptAck();

    // Port notifications.
    void PortOpened(TCommPort* port);
    void PortDataAvailable(TCommPort* port, uint16_t Count);
    void PortConnected(TCommPort* port);
    void PortDisconnected(TCommPort* port);
    void PortError(TCommPort* port, int code);
    void PortClientAccepted(TCommPort* port, const uint8_t Address[4], bool& Accept);
    // The receive path after the bytes were taken from the port: count and
    // announce them, append them to FBuffer and apply the delimitation of
    // the current state.
    void ReceiveBlock(const uint8_t* block, int count);
    void DelimitMaster();

    // Listening side. DelimitListening applies the request delimitation to
    // FBuffer in msIdleSlave (called by the receive path).
    void DelimitListening();
    void SendSlaveResponse(uint8_t fc, uint16_t a, uint16_t word);
    void PackCoils(uint16_t a, uint16_t q);

    // Writes.
    bool WaitWithMessages(uint32_t ms);
    void WaitForCoilConfirm();

    void ClearMapData();
    void ClearCoilData();

    // ---- fields, in declaration order -----------------------------------
    QString FClientIP;
    int64_t FRxCounter = 0;
    int64_t FTxCounter = 0;
    bool FSendConfirm = false;
    TCommPort* FComPort = nullptr;
    QTimer* FMainTimer = nullptr;
    TDeviceTypes FDeviceType = dvtNone;
    TValueTypes FValueType = vtNone;
    TModbusProtocol FProtocol = mbpRTU;
    TModbusInterface FInterfaceType = mbiRS485;
    TModbusMode FMode = mbmMaster;
    uint8_t FDeviceID = 1;
    int32_t FComSpeed = 9600;
    uint16_t FDataBits = 8;
    uint16_t FStopBits = 1;
    TParity FParity = pNone;
    uint32_t FFixedTimeout = 3000;
    QString FSerialNo;
    QString FEthIP;
    uint16_t FEthPort = 0;
    uint16_t FMaxRepeat = 3;
    bool FRemoveEcho = false;
    zorp::ReceiveBuffer FBuffer;
    std::vector<uint8_t> FData;
    std::array<uint16_t, 65536> FMapData{};
    std::array<bool, 65536> FCoilData{};
    uint16_t FLastTransaction_ID = 0;
    uint8_t FCoilsCount = 0;
    bool FConnected = false;
    bool FTryDisconnect = false;
    bool FFrameCompleted = false;
    uint16_t FFileNumber = 0;
    uint16_t FMemAddress = 0;
    uint16_t FDataCount = 0;
    std::vector<uint16_t> FDataValues;
    std::vector<uint8_t> FByteValues;
    uint16_t FCounterTry = 0;
    uint32_t FTimeout = 0;
    bool FIsException = false;

    bool FPassPosted = false;  // an early pass is queued
    bool FDeferPasses = false; // a dispatch of the engine runs: early passes wait for its end
    bool FPassWanted = false;  // an early pass was asked for during that dispatch
    bool FTimerEnabled = false; // Connect or Listen has enabled the machine
    bool FTimerRunning = false; // FMainTimer was last started (not stopped) by UpdateTimer
    bool FTimerTick = false;    // it runs with the 1 ms tick, else timed to the wait's time-out
    bool FOpening = false;     // inside the opening pass's SetOpen(true)
    std::exception_ptr FOpeningException; // raised by a handler during the opening
    bool FWaitAborted = false; // the event loop was told to quit during a wait
    bool FPortOpenForTests = false; // test seam: treat the port as open
    std::vector<uint8_t> FRxScratch;  // the bytes of the arrival being handled
};
