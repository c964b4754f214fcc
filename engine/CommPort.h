#pragma once
// TCommPort: one byte pipe over a serial device or a TCP socket, chosen by
// its device layer when it opens. Runs on the thread that owns it (the UI
// thread); its notifications reach the user through the event queue, except
// OnPortOpen, which is raised inside the SetOpen(true) call that causes it.
#include <QObject>
#include <QByteArray>
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
// device, device busy, a host or port that cannot be resolved, a server
// port that cannot be bound.
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
    bool AutoOpen = false;
    int CommNotificationLevel = 1;
    uint16_t ComNumber = 1;
    int32_t Baud = 9600;
    TParity Parity = pNone;
    uint16_t DataBits = 8;
    uint16_t StopBits = 1;
    int InSize = 8192;
    int OutSize = 8192;
    QString WsAddress = QStringLiteral("255.255.255.255");
    QString WsPort = QStringLiteral("0");
    TWsMode WsMode = wsClient;
    bool WsTelnet = false;
    int ThreadBoost = 2;

    // Open := True / False. Opening throws ECommPortError on failure.
    void SetOpen(bool value);
    bool Open() const;

    // Queues the bytes for transmission; returns the number of bytes queued,
    // or -1 when the port is not open.
    int PutBlock(const void* block, int length);
    // Takes the next received byte; 0 when none is waiting.
    uint8_t GetChar();
    // Received bytes waiting to be taken.
    int InBuffUsed() const;

    // Serial device that ComNumber maps to: the path given to
    // SetDevicePathOverride if any, else "comports.ini" beside the program
    // (section "Ports", key n), else /dev/ttyS(n-1).
    QString DevicePath() const;
    static QString DevicePathForNumber(int comNumber);
    // Tests and tools: use this device path instead of the ComNumber mapping
    // (an empty text restores the mapping).
    void SetDevicePathOverride(const QString& path);

    // Address of the connected TCP peer (client or accepted client).
    QString PeerAddress() const;
    // Local TCP port while listening in server mode (useful with WsPort "0").
    uint16_t ServerPort() const;

    // Notifications.
    std::function<void(TCommPort*)> OnPortOpen;
    std::function<void(TCommPort*, uint16_t Count)> OnTriggerAvail;
    std::function<void(TCommPort*)> OnWsConnect;
    std::function<void(TCommPort*)> OnWsDisconnect;
    std::function<void(TCommPort*, int ErrorCode)> OnWsError;
    std::function<void(TCommPort*, const uint8_t Address[4], bool& Accept)> OnWsAccept;

    // Used by the sides: append received bytes and post the data-available
    // notification; post the link notifications.
    void DeliverReceived(const char* data, qint64 size);
    void PostConnect();
    void PostDisconnect();
    void PostError(int code);
    void PostAccept(const uint8_t address[4]);

private:
    void Close();

    std::unique_ptr<zorp::SerialSide> FSerial;
    std::unique_ptr<zorp::TcpSide> FTcp;
    QByteArray FIn;        // received, not yet taken
    qsizetype FInPos = 0;  // next byte to take
    bool FOpen = false;
    QString FDeviceOverride;
    uint64_t FGeneration = 0; // bumps at every open/close: stale notifications are dropped
};
