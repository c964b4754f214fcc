// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TCommPort: one byte pipe over a serial device or a TCP socket, chosen by
// its device layer when it opens. Runs on the thread that owns it (the UI
// thread) and is event-driven there: the serial side is a QSerialPort, the
// TCP side a non-blocking socket watched by socket notifiers (client, or the
// client accepted by a QTcpServer in server mode). Its notifications
// reach the user through the event queue, except OnPortOpen, which is raised
// inside the SetOpen(true) call that causes it (and OnTriggerAvail on the
// TCP side, which comes straight from the socket's read notification when
// nothing is queued before it). No notification is ever raised
// synchronously inside another call on the port object.
//
// Notifications that were posted before the port closed or reopened are
// dropped when they come due, except the OnWsDisconnect that the closing
// itself posts. OnTriggerAvail(Count) never announces more bytes than
// GetChar can deliver.
//
// TCP server mode takes one client at a time (WsMaxClients above 1: up to
// that many, see there): a client that connects while another is connected
// (or is being accepted) takes the place of an idle one, or is closed at
// once (see WsIdleAfter; OnWsFull tells). An accepted client is announced by OnWsAccept and then, when
// the handler left Accept true, by OnWsConnect; a refused client is closed.
//
// Serial ports: COM n is the device named for n in "comports.ini" beside the
// program (section "Ports", key n, value a device path), else /dev/ttyS(n-1)
// (COMn on Windows). Any failure of an open serial device (a read or write
// error, the device gone, the far end of a pseudo-terminal closed) closes
// the port and is reported by OnWsError with the QSerialPort error code.
#include <QObject>
#include <QByteArray>
#include <QIODevice>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>

#include "ModbusTypes.h"

namespace zorp {
class SerialSide;
class TcpSide;
}

// Device layer of the port object.
enum TDeviceLayer { dlSerial, dlTcp };
// TCP role of the port object.
enum TWsMode { wsClient, wsServer };

// Thrown by SetOpen(true) when the port cannot be opened: no such serial
// device, device busy, line settings the device refuses, a host or port
// that cannot be resolved, a server port that cannot be bound.
class ECommPortError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TCommPort : public QObject {
    Q_OBJECT
public:
    explicit TCommPort(QObject* owner = nullptr);
    ~TCommPort() override;

    // Settings; each applies at the next opening.
    TDeviceLayer DeviceLayer = dlSerial;
    // When set, PutBlock on a closed port opens it first.
    bool AutoOpen = false;
    // OnTriggerAvail comes once at least this many received bytes are
    // waiting unannounced (values below 1 count as 1).
    int CommNotificationLevel = 1;
    // Serial port number, 1 to 65535; opening with any other number fails
    // (it is never cut to the low bits, which would name another port).
    int32_t ComNumber = 1;
    int32_t Baud = 9600;
    TParity Parity = pNone;
    uint16_t DataBits = 8;   // 5 to 8
    uint16_t StopBits = 1;   // 1 or 2
    // Receive buffer: at most this many received bytes wait for GetChar;
    // further bytes stay in the device or socket until there is room again
    // (nothing is dropped). Transmit buffer size of the serial device.
    int InSize = 8192;
    int OutSize = 8192;
    // Client: the host to connect to, a dotted IPv4 address, an IPv6
    // address or a host name.
    QString WsAddress = QStringLiteral("255.255.255.255");
    // Client: the port to connect to; server: the port to listen on ("0"
    // picks a free one, see ServerPort). A decimal number or a service name.
    QString WsPort = QStringLiteral("0");
    TWsMode WsMode = wsClient;
    // Accepted for compatibility; the TCP byte stream always passes unchanged.
    bool WsTelnet = false;
    // Accepted for compatibility; the port object has no reading thread of
    // its own (it is event-driven on its owner's thread).
    int ThreadBoost = 2;
    // Server mode: the local address to listen on; every IPv4 interface by
    // default ("127.0.0.1" keeps the server to this machine).
    QString WsBindAddress = QStringLiteral("0.0.0.0");
    // Server mode: TCP keep-alive on every accepted connection, so that a
    // master that vanished without closing (cable pulled, machine switched
    // off) is dropped and the next one can be served: the first probe after
    // WsKeepAliveIdle seconds of silence, then one every WsKeepAliveInterval
    // seconds, the connection given up after WsKeepAliveCount unanswered
    // probes; an answer left unacknowledged that long fails the connection
    // too (TCP_USER_TIMEOUT). WsKeepAliveIdle 0 leaves both off.
    int WsKeepAliveIdle = 10;
    int WsKeepAliveInterval = 2;
    int WsKeepAliveCount = 3;
    // Server mode: Modbus TCP masters served at the same time. 1 (the
    // default): one client at a time, as described above. Above 1, up to
    // that many clients are connected at once, each a connection of its
    // own: its received bytes go to OnClientData with the client's number
    // (never into the receive buffer), PutBlock sends to the client chosen
    // by SelectClient, and a client that fails is only closed (OnWsDisconnect,
    // no OnWsError). Further clients are closed at once.
    int WsMaxClients = 1;
    // Server mode, when every place is taken (WsMaxClients) and a further
    // master connects: the connection idle longest (nothing received for at
    // least WsIdleAfter milliseconds) is closed to make room, as Modbus TCP
    // servers do; when none is idle that long, the newcomer is closed.
    // Either way OnWsFull tells which connection went. WsIdleAfter below 0:
    // newcomers are always closed (no connection is replaced).
    int WsIdleAfter = 1000;
    // Client mode: a connection not established within this many
    // milliseconds is given up and reported like a refused one (OnWsError
    // with QAbstractSocket::SocketTimeoutError). 0 leaves it to the system.
    int WsConnectTimeout = 0;
    // Longest wait for a host name lookup inside SetOpen(true).
    int WsResolveTimeout = 5000;

    // Open := True / False. Opening throws ECommPortError on failure; a port
    // that is open is closed first.
    void SetOpen(bool value);
    bool Open() const;

    // Queues the bytes for transmission and starts sending them at once;
    // returns the number of bytes queued, 0 in server mode while no client
    // is connected, or -1 when the port is not open or the device refuses.
    int PutBlock(const void* block, int length);
    // Takes the next received byte; 0 when none is waiting.
    uint8_t GetChar();
    // Takes up to count received bytes into block, as count GetChar calls
    // would; returns the number taken.
    int GetBlock(uint8_t* block, int count);
    // Received bytes waiting to be taken.
    int InBuffUsed() const;
    // Serial layer: received bytes are waiting that the port has not taken
    // from the device yet (the event loop has not come round to them), or
    // that wait in its own buffer.
    bool InputWaiting() const;

    // Serial device that ComNumber maps to: the path given to
    // SetDevicePathOverride if any, else "comports.ini" beside the program
    // (section "Ports", key n), else /dev/ttyS(n-1).
    QString DevicePath() const;
    static QString DevicePathForNumber(int comNumber);
    // The "comports.ini" that DevicePathForNumber reads: the one
    // SetComPortsIniPath named (an empty text restores the default), else
    // the one in the folder named by ZORP_CONFIG_DIR, else the one beside
    // the program, or in ~/.config/ZORP when the program's folder cannot be
    // written (an installed program; the tester keeps "setings.ini" there).
    static QString ComPortsIniPath();
    static void SetComPortsIniPath(const QString& path);
    // Tests and tools: use this device path instead of the ComNumber mapping
    // (an empty text restores the mapping).
    void SetDevicePathOverride(const QString& path);

    // The system's reason for the last failure of the port, in English: why
    // the last opening failed (no such device, permission denied with its
    // remedy, a host that cannot be resolved), or why an open link failed
    // (refused, reset, timed out, closed by the peer). Empty after a
    // successful opening until the link fails.
    QString LastErrorText() const { return FLastError; }
    void SetLastError(const QString& text) { FLastError = text; }

    // Address and port of the connected TCP peer (client or accepted client).
    QString PeerAddress() const;
    uint16_t PeerPort() const;
    // Server mode: closes the accepted client's connection at once, dropping
    // its received bytes not yet taken; OnWsDisconnect follows through the
    // queue and the server goes on listening. Nothing happens otherwise.
    void DropClient();
    // Several masters at once: the client that PutBlock, PeerAddress,
    // PeerPort and DropClient refer to (-1: none).
    void SelectClient(int Client);
    // Local TCP port while listening in server mode (useful with WsPort "0").
    uint16_t ServerPort() const;
    // True while a TCP connection is established (client connected, or in
    // server mode a client accepted).
    bool WsConnected() const;

    // Notifications.
    std::function<void(TCommPort*)> OnPortOpen;
    std::function<void(TCommPort*, uint16_t Count)> OnTriggerAvail;
    std::function<void(TCommPort*)> OnWsConnect;
    std::function<void(TCommPort*)> OnWsDisconnect;
    std::function<void(TCommPort*, int ErrorCode)> OnWsError;
    std::function<void(TCommPort*, const uint8_t Address[4], bool& Accept)> OnWsAccept;
    // Several masters at once: bytes received from one client, raised
    // straight from its socket's notification; and a client closed (after
    // which its number is never used again).
    std::function<void(TCommPort*, int Client, const uint8_t* Data, int Size)> OnClientData;
    std::function<void(TCommPort*, int Client)> OnClientClosed;
    // Server mode, all places taken: Peer ("address:port") was closed, the
    // oldest idle connection to take a new master (Replaced) or the new
    // master itself, refused for want of an idle one. Not used by the engine.
    std::function<void(TCommPort*, const QString& Peer, bool Replaced)> OnWsFull;

    // Used by the sides: append received bytes and post the data-available
    // notification; post the link notifications.
    void DeliverReceived(const char* data, qint64 size);
    void PostConnect();
    void PostDisconnect();
    void PostError(int code);
    void PostAccept(const uint8_t address[4]);
    void DeliverClient(int client, const char* data, qint64 size);
    void ClientClosed(int client);
    void PostFull(const QString& peer, bool replaced);

    // Used by the sides.
    // Room left in the receive buffer.
    qint64 InRoom() const;
    // Reads what the device has waiting straight into the receive buffer,
    // as far as it has room, and posts the data-available notification.
    void ReceiveFrom(QIODevice* device);
    // For a side that reads its device itself: BeginIn makes room for want
    // more bytes at the end of the receive buffer and returns where they go;
    // FinishIn keeps the first got of them (0 to want) and announces them.
    // No other call on the port may come in between. fromReadyRead: called
    // for the device's read notification, which the event loop delivers;
    // when none of this port's notifications is queued, the data-available
    // notification is then raised at once rather than posted (the order of
    // notifications stays the same; it only skips a trip through the queue).
    char* BeginIn(qint64 want);
    void FinishIn(qint64 want, qint64 got, bool fromReadyRead);
    // The link failed or the peer ended it: after the notifications posted
    // so far have been delivered, the port closes itself and raises
    // OnWsError(code), or OnWsDisconnect when code is negative.
    void PostSelfClose(int code);

private:
    void OpenDevice(); // the device side of SetOpen(true); throws on failure
    void Close();
    // Room for want more received bytes behind those waiting; returns where they go.
    char* InReserve(qint64 want);
    void PostTrigger(uint16_t count);
    void PumpSide();
    bool SideHoldsBytes() const; // the device has bytes the buffer had no room for
    template <typename F> void Post(F&& f);

    zorp::SerialSide* FSerial = nullptr;
    zorp::TcpSide* FTcp = nullptr;
    // Received, not yet taken: bytes [FInPos, FInEnd) of FIn, which holds
    // FInCapacity bytes (no byte of it is set before it is received).
    std::unique_ptr<char[]> FIn;
    qsizetype FInCapacity = 0;
    qsizetype FInEnd = 0;
    qsizetype FInPos = 0;  // next byte to take
    qint64 FUnannounced = 0; // received bytes not yet announced by OnTriggerAvail
    bool FOpen = false;
    bool FSelfClosePosted = false;
    QString FDeviceOverride;
    QString FLastError;
    uint64_t FGeneration = 0; // bumps at every open/close: stale notifications are dropped
    int FQueued = 0;          // notifications posted and not yet run
    bool FReadyRead = false;  // announcing bytes that a ready-read notification brought
};
