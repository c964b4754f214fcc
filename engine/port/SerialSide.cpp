// SPDX-License-Identifier: GPL-3.0-or-later
// Serial side of the port object.
#include "SerialSide.h"

#include <QSerialPort>

#ifdef Q_OS_UNIX
#include <poll.h>
#endif
#include "CommPort.h"
#include "SerialLowLatency.h"

namespace zorp {

namespace {

[[noreturn]] void Fail(const QString& text)
{
    throw ECommPortError(text.toStdString());
}

QSerialPort::Parity ToQtParity(TParity p)
{
    switch (p) {
    case pOdd: return QSerialPort::OddParity;
    case pEven: return QSerialPort::EvenParity;
    case pMark: return QSerialPort::MarkParity;
    case pSpace: return QSerialPort::SpaceParity;
    case pNone: break;
    }
    return QSerialPort::NoParity;
}

const char* ParityName(TParity p)
{
    switch (p) {
    case pOdd: return "odd";
    case pEven: return "even";
    case pMark: return "mark";
    case pSpace: return "space";
    case pNone: break;
    }
    return "none";
}

} // namespace

SerialSide::SerialSide(TCommPort* port) : QObject(port), FPort(port) {}

SerialSide::~SerialSide() { Shutdown(); }

void SerialSide::Open(const SerialSettings& s)
{
    // Check the settings before touching the device, so that a bad value
    // is reported as such and not as a device failure.
    if (s.Path.isEmpty())
        Fail(QStringLiteral("no serial device given"));
    if (s.Baud <= 0)
        Fail(QStringLiteral("invalid baud rate %1").arg(s.Baud));
    if (s.DataBits < 5 || s.DataBits > 8)
        Fail(QStringLiteral("invalid number of data bits %1 (5 to 8)").arg(s.DataBits));
    if (s.StopBits != 1 && s.StopBits != 2)
        Fail(QStringLiteral("invalid number of stop bits %1 (1 or 2)").arg(s.StopBits));

    FDev = new QSerialPort(this);
    FDev->setPortName(s.Path);
    if (!FDev->open(QIODevice::ReadWrite)) {
        QString why = FDev->errorString();
        // The usual reason on Linux, with its usual remedy.
        if (FDev->error() == QSerialPort::PermissionError)
            why += QStringLiteral(" (the user may need to be in the \"dialout\" group: "
                                  "sudo usermod -aG dialout $USER, then log in again)");
        delete FDev;
        FDev = nullptr;
        Fail(QStringLiteral("cannot open serial port %1: %2").arg(s.Path, why));
    }

    auto refuse = [&](const QString& what) {
        const QString why = FDev->errorString();
        FDev->close();
        delete FDev;
        FDev = nullptr;
        Fail(QStringLiteral("serial port %1 refuses %2: %3").arg(s.Path, what, why));
    };
    if (!FDev->setBaudRate(s.Baud))
        refuse(QStringLiteral("%1 baud").arg(s.Baud));
    if (!FDev->setDataBits(static_cast<QSerialPort::DataBits>(s.DataBits)))
        refuse(QStringLiteral("%1 data bits").arg(s.DataBits));
    if (!FDev->setParity(ToQtParity(s.Parity)))
        refuse(QStringLiteral("%1 parity").arg(QLatin1String(ParityName(s.Parity))));
    if (!FDev->setStopBits(s.StopBits == 2 ? QSerialPort::TwoStop : QSerialPort::OneStop))
        refuse(QStringLiteral("%1 stop bits").arg(s.StopBits));
    if (!FDev->setFlowControl(QSerialPort::NoFlowControl))
        refuse(QStringLiteral("no flow control"));
    // A full buffer makes QSerialPort stop reading the device until the
    // port object has taken bytes out again.
    FDev->setReadBufferSize(s.InSize > 0 ? s.InSize : 0);
    FDev->clearError();
    AskForLowLatency(int(FDev->handle()));

    connect(FDev, &QSerialPort::readyRead, this, &SerialSide::ReadAvailable);
    connect(FDev, &QSerialPort::errorOccurred, this,
            [this](QSerialPort::SerialPortError e) { HandleError(static_cast<int>(e)); });
}

void SerialSide::Shutdown()
{
    if (!FDev)
        return;
    FDev->disconnect(this);
    if (FDev->isOpen())
        FDev->close();
    // Never deleted inside one of its own signals: Shutdown runs from the
    // port object's close, which is never called from a device signal.
    FDev->deleteLater();
    FDev = nullptr;
}

qint64 SerialSide::Write(const char* data, qint64 size)
{
    if (!FDev || FFailed)
        return -1;
    const qint64 n = FDev->write(data, size);
    if (n > 0)
        FDev->flush(); // hand the frame to the device now, not on the next loop pass
    return n;
}

qint64 SerialSide::BytesAvailable() const
{
    return FDev && !FFailed ? FDev->bytesAvailable() : 0;
}

bool SerialSide::InputWaiting() const
{
    if (!FDev || FFailed) return false;
    if (FDev->bytesAvailable() > 0) return true;
#ifdef Q_OS_UNIX
    pollfd p{int(FDev->handle()), POLLIN, 0};
    return p.fd >= 0 && ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
#else
    return false;
#endif
}

void SerialSide::ReadAvailable()
{
    if (FDev && !FFailed)
        FPort->ReceiveFrom(FDev);
}

void SerialSide::HandleError(int error)
{
    if (error == QSerialPort::NoError || error == QSerialPort::TimeoutError || FFailed)
        return;
    // The device failed (a vanished USB adapter, a pseudo-terminal whose
    // far end closed). QSerialPort would go on raising the error in a busy
    // loop while the device stays open, so stop here; the port object
    // closes the device on its next event-loop turn (not inside this
    // signal, which QSerialPort emits from its own notifier).
    FFailed = true;
    if (FDev)
        FPort->SetLastError(FDev->errorString());
    FPort->PostSelfClose(error);
}

} // namespace zorp
