// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Serial side of the port object: a QSerialPort opened by device path with
// the line settings, read into the port's receive buffer as bytes arrive.
#include <QObject>
#include <QString>
#include <cstdint>

#include "ModbusTypes.h"

class QSerialPort;
class TCommPort;

namespace zorp {

struct SerialSettings {
    QString Path;
    int32_t Baud = 9600;
    TParity Parity = pNone;
    int DataBits = 8;
    int StopBits = 1;
    int InSize = 8192;
};

class SerialSide : public QObject {
    Q_OBJECT
public:
    explicit SerialSide(TCommPort* port);
    ~SerialSide() override;

    // Opens and configures the device; throws ECommPortError when the
    // device cannot be opened or refuses a line setting.
    void Open(const SerialSettings& settings);
    // Closes the device at once and stops all notifications to the port.
    void Shutdown();

    qint64 Write(const char* data, qint64 size);
    qint64 BytesAvailable() const;
    // Received bytes are waiting, in QSerialPort or still in the device.
    bool InputWaiting() const;
    // Moves the waiting bytes into the port's receive buffer, as far as it
    // has room.
    void ReadAvailable();

private:
    void HandleError(int error);

    TCommPort* FPort;
    QSerialPort* FDev = nullptr;
    bool FFailed = false;
};

} // namespace zorp
