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
#include <QByteArray>
#include <QString>
#include <array>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "ModbusTypes.h"
#include "ReceiveBuffer.h"
#include "SlaveHook.h"
#include "Transaction.h"

class QTimer;
class TCommPort;
namespace zorp { class LineClock; class LineTimer; class ListeningClients; }
namespace zorp::framing { class Framer; class Pdu; }
namespace zorp::slave { struct Request; struct Served; }

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
    // Destroy. Safe anywhere, also inside a handler of one of the engine's
    // own events (delete the engine, or its owner): the engine checks its
    // liveness after every event it raises and returns at once when it was
    // destroyed, touching nothing of itself; its port object and timers,
    // which may be on the stack then, are deleted later from the event loop.
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
    // answer is delimited. Applies to RTU on a serial line only (nothing
    // else has an echo). A single write (05, 06, 102) is acknowledged by a
    // copy of itself: when only one copy comes within the time-out, it is
    // taken as the acknowledgement, and the write is never sent again for
    // want of a second one.
    bool RemoveEcho() const { return FRemoveEcho; }
    void SetRemoveEcho(bool v) { FRemoveEcho = v; }

    // Broadcast (DeviceID 0): a write is sent once, never answered, and
    // done (its write event) once this turnaround delay in milliseconds has
    // passed, giving the slaves the time to carry it out before the next
    // request; a read is not sent and reports error 17.
    uint32_t BroadcastDelay() const { return FBroadcastDelay; }
    void SetBroadcastDelay(uint32_t ms) { FBroadcastDelay = ms; }

    // Listening: the standard slave profile. When on, the slave answers as
    // Modbus devices do: exception 01 for every function it does not serve,
    // 02 and 04 from the discrete-input and input-register images, 08/00,
    // 22, 23 and 43/14 besides the designed functions, units 0 and 255 as
    // its own over TCP, broadcast writes (unit 0) carried out unanswered in
    // RTU framing, and no answer to a bad CRC. Off: the designed listening mode.
    bool StandardProfile() const { return FStandardProfile; }
    void SetStandardProfile(bool v) { FStandardProfile = v; }
    // Listening, standard profile: the basic objects of Read Device
    // Identification (vendor name, product code, revision), as Latin-1.
    void SetDeviceIdentification(const QString& Vendor, const QString& Product, const QString& Revision);
    // Listening over TCP (Modbus TCP or RTU over TCP): masters served at
    // the same time over the one set of images, each with its own receive
    // buffer (and transaction identifiers) (1, the default: one master at a
    // time, as designed). When all places are taken, a newcomer takes the
    // place of the connection silent longest (TCommPort::WsIdleAfter).
    int MaxClients() const { return FMaxClients; }
    void SetMaxClients(int v) { FMaxClients = v < 1 ? 1 : v; }
    // Listening: a hook that may answer a complete request itself (unset by
    // default: the engine answers as designed), and the units it answers
    // besides the engine's own DeviceID. See SlaveHook.h.
    void SetSlaveHook(zorp::slave::RequestHook hook, zorp::slave::UnitFilter serves = {})
    {
        FSlaveHook = std::move(hook);
        FSlaveHookServes = std::move(serves);
    }

    // ---- public, not published -----------------------------------------
    bool Connected() const { return FConnected; }
    void SetConnected(bool v) { FConnected = v; }
    // Data bytes (the byte count) of the last read response accepted: lets
    // a caller tell a Read Coils answer that carried fewer bits than asked
    // for from one that carried them all.
    uint16_t ResponseByteCount() const { return FResponseByteCount; }
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
    // The images that functions 02 and 04 read in the standard profile.
    void Get_DiscreteData(std::vector<bool>& Data) const;
    void Set_DiscreteData(const std::vector<bool>& Data);
    void Get_InputRegData(std::vector<uint16_t>& Data) const;
    void Set_InputRegData(const std::vector<uint16_t>& Data);

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
    // Listening, beyond the designed events (unset by default): a master's
    // write carried out (function code, wire address, quantity; after the
    // designed write event), and a request refused with an exception code,
    // or (code 0) a connection closed because its Modbus TCP header cannot
    // be resynchronised.
    std::function<void(QObject* Sender, uint8_t Function, uint16_t Address, uint16_t Count)> OnSlaveWrite;
    std::function<void(QObject* Sender, uint8_t Function, uint8_t ExceptionCode)> OnSlaveRefused;

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
    // False when a handler of OnChangeState destroyed the engine.
    bool Arm(TMachineStates request, uint16_t address, uint16_t dataCount);
    void ReportError(int32_t code);
    void AddLog(const QString& text);
    void AttachTerminal();
    bool MainTimerTimer();     // false when a handler destroyed the engine
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
    void BroadcastWait(uint32_t elapsed);
    uint32_t WaitLimit() const { return FTx.Limit(FFixedTimeout, FBroadcastDelay); }
    void SystemErrorPass();
    void ListeningPass();
    void DisconnectCheck();
    void AcceptRead();
    void AcceptAck();

    // Port notifications.
    void PortOpened(TCommPort* port);
    void PortDataAvailable(TCommPort* port, uint16_t Count);
    void PortConnected(TCommPort* port);
    // The port is open (serial) or connected (TCP): the master's link is up
    // (masterLog written), or listening starts.
    void LinkUp(const QString& masterLog);
    void PortDisconnected(TCommPort* port);
    void PortError(TCommPort* port, int code);
    void PortClientAccepted(TCommPort* port, const uint8_t Address[4], bool& Accept);
    // The receive path after the bytes were taken from the port: count and
    // announce them, append them to FBuffer and apply the delimitation of
    // the current state.
    void ReceiveBlock(const uint8_t* block, int count);
    // The framing backend of the link (made, or remade when the protocol,
    // the interface or the side changed, before bytes are fed to it).
    zorp::framing::Framer& Framer();
    // Master: feeds the bytes of an arrival to the framer (an exact copy of
    // the request at their head dropped first, RemoveEcho); DelimitMaster,
    // in a wait, takes the next response from it. nowNs: the time on the
    // line, or kNoTime (-1) where the link has none.
    void FeedMaster(const uint8_t* block, size_t count, int64_t nowNs);
    void DelimitMaster(int64_t nowNs);
    // Listening on a serial line: requests framed by the same line backend.
    bool ListenerFramed() const;
    void DelimitListeningLine(int64_t nowNs);
    // RTU over TCP after a time-out: true while the next request waits for
    // the late answer (dropped when it comes) or for its time-out to pass.
    bool LateAnswerOwed();
    // A complete frame for the checks: FBuffer holds exactly it.
    void TakeFrame(const uint8_t* bytes, size_t size, bool exception);
    // Leading bytes of an arrival that are the echo of the request sent.
    size_t EchoPrefix(const uint8_t* block, size_t count);
    // At the time-out: the copy of a single write that RemoveEcho took for
    // its echo becomes the acknowledgement when no other copy came.
    bool TakeHeldEcho();

    // Serial line timing (RTU on a serial line, see VexaLine.cpp).
    bool LineTimed() const;
    void LineOpened();
    bool LineBusy();            // request pass: true while t3.5 of quiet is still to come
    bool ListenerLineTimed() const; // listening on a serial line: answers wait for the line's quiet
    bool AnswerMustWait();      // listening pass: true while t3.5 of quiet is still to come
    bool AnswersUnit(uint8_t unit); // the engine or its hook answers requests for the unit (VexaSlaveHook.cpp)
    bool HoldForQuiet();        // arms the request timer unless the line has been quiet for t3.5
    void LineSent(size_t length);
    void LineReceived();
    void LineSilence();         // the framer's time to judge by silence has come
    void ArmSilence();          // sets the silence timer for the framer's next judgement
    bool PortInputWaiting() const;

    // Listening side over a byte stream: the framer of the connection being
    // served; FeedListening hands it an arrival's bytes, DelimitListening
    // takes the next request from it into FBuffer (TakeRequest).
    zorp::framing::Framer& ListeningFramer();
    void FeedListening(const uint8_t* data, size_t size);
    void DelimitListening();
    void TakeRequest(const uint8_t* bytes, size_t size);
    void SendSlaveResponse(uint8_t fc, uint16_t a, uint16_t word);
    // Carries out an accepted request on the images (or refuses it) and
    // sends the answer; WriteEvent is the designed event of a write.
    zorp::slave::Served ServeListening(const zorp::slave::Request& r);
    TNotifyEvent* WriteEvent(uint8_t fc);
    bool ServeHooked(std::span<const uint8_t> request, zorp::slave::Framing framing); // VexaSlaveHook.cpp
    // A Modbus TCP header that cannot be resynchronised: the connection goes.
    void DropBrokenClient();
    // Several masters at once: the bytes of one client, and its end. Bytes
    // that come while a handler of a request runs the event loop wait in
    // the client's state and are served after it (ServeWaiting).
    void ClientData(TCommPort* port, int client, const uint8_t* data, int size);
    void ServeBytes(int client, const uint8_t* data, int size);
    void ServeWaiting();
    void ClientClosed(int client);

    // Events and the engine's liveness (EngineLife.h): every event is raised
    // through Raise, which throws zorp::EngineGone when the handler has
    // destroyed the engine; RaiseSwallowed drops the handler's own failures.
    struct LifeFrame;
    template <typename Ev, typename... A> void Raise(const Ev& ev, A&&... args);
    template <typename Ev, typename... A> void RaiseSwallowed(const Ev& ev, A&&... args);

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
    bool FConnected = false;
    bool FTryDisconnect = false;
    bool FFrameCompleted = false;
    zorp::Transaction FTx;     // the pending (or last) master transaction
    uint32_t FBroadcastDelay = 100;
    uint32_t FLastArrival = 0; // listening: tick of the last arrival or reset (the silence rule)
    bool FIsException = false;

    LifeFrame* FLife = nullptr; // innermost liveness frame on the stack (EngineLife.h)
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
    bool FLineTimingForTests = false; // test seam: time the line even on the fake link

    // Serial line timing: character time and t3.5 of the link opened last,
    // the line's last traffic and the hold of a request waiting for quiet.
    std::unique_ptr<zorp::LineClock> FLine;
    std::unique_ptr<zorp::framing::Framer> FFramer;
    size_t FFrameLength = 0;    // bytes of the complete frame at the head of FBuffer
    int32_t FFrameFault = 0;    // the complete "frame" is a bad one: the error it reports
    bool FLateOwed = false;     // RTU over TCP: a timed-out request's answer may still come
    uint32_t FLateSince = 0;    // tick of that time-out
    zorp::LineTimer* FRequestTimer = nullptr; // the request pass waiting for t3.5 of quiet
    zorp::LineTimer* FSilenceTimer = nullptr; // the silence that ends what was received
    bool FLineWaiting = false;  // a request pass (or a listening pass) is held back until the line has been quiet

    bool FEchoPending = false;  // the echo of the request sent may still be at the head of the received bytes
    bool FEchoHeld = false;     // a copy of a single write was taken as its echo: the acknowledgement if no other comes
    size_t FEchoMatched = 0;    // bytes of it seen so far
    uint16_t FResponseByteCount = 0;

    // Listening beyond the designed mode.
    bool FStandardProfile = false;
    size_t FRequestLength = 0;   // TCP: bytes of the completed request behind its header
    uint8_t FRequestUnit = 0;    // the unit the request was addressed to
    std::array<bool, 65536> FDiscreteData{};
    std::array<uint16_t, 65536> FInputRegData{};
    std::array<QByteArray, 3> FDeviceIdObjects;
    int FMaxClients = 1;
    std::unique_ptr<zorp::ListeningClients> FClients; // several masters at once (MaxClients above 1)
    zorp::slave::RequestHook FSlaveHook;
    zorp::slave::UnitFilter FSlaveHookServes;
};
