// SPDX-License-Identifier: GPL-3.0-or-later
// TCommPort: the port object shared by the serial and TCP sides.
#include "CommPort.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QMetaObject>
#include <QStandardPaths>
#include <QStringDecoder>
#include <QtGlobal>

#include <algorithm>
#include <cstring>
#include <exception>

#include "SerialSide.h"
#include "SerialPorts.h"
#include "TcpSide.h"

namespace {

QString& IniPathOverride()
{
    static QString path;
    return path;
}

} // namespace

TCommPort::TCommPort(QObject* owner) : QObject(owner) {}

TCommPort::~TCommPort()
{
    // Notifications still queued die with the object (they are posted with
    // it as context); the devices close now.
    delete FSerial;
    delete FTcp;
    FSerial = nullptr;
    FTcp = nullptr;
}

template <typename F> void TCommPort::Post(F&& f)
{
    ++FQueued;
    QMetaObject::invokeMethod(this, [this, f = std::forward<F>(f)]() mutable {
        --FQueued;
        f();
    }, Qt::QueuedConnection);
}

// Runs a user notification; an exception never reaches the event loop.
template <typename Fn, typename... Args> static void Raise(const Fn& fn, Args&&... args)
{
    if (!fn)
        return;
    try {
        fn(std::forward<Args>(args)...);
    } catch (const std::exception& e) {
        qWarning("TCommPort: a notification handler failed: %s", e.what());
    } catch (...) {
        qWarning("TCommPort: a notification handler failed");
    }
}

void TCommPort::SetOpen(bool value)
{
    if (FOpen || FSerial || FTcp)
        Close();
    if (!value)
        return;
    try {
        OpenDevice();
    } catch (const std::exception& e) {
        FLastError = QString::fromLocal8Bit(e.what());
        throw;
    }
    FLastError.clear();
    FOpen = true;
    if (OnPortOpen) {
        try {
            OnPortOpen(this);
        } catch (...) {
            // The opening failed as far as the caller is concerned.
            Close();
            throw;
        }
    }
}

void TCommPort::OpenDevice()
{
    ++FGeneration;
    FInEnd = 0;
    FInPos = 0;
    FUnannounced = 0;
    FSelfClosePosted = false;

    if (DeviceLayer == dlSerial) {
        if (FDeviceOverride.isEmpty() && (ComNumber < 1 || ComNumber > 65535))
            throw ECommPortError(QStringLiteral("COM %1 is out of range 1..65535").arg(ComNumber).toStdString());
        zorp::SerialSettings s;
        s.Path = DevicePath();
        s.Baud = Baud;
        s.Parity = Parity;
        s.DataBits = DataBits;
        s.StopBits = StopBits;
        s.InSize = InSize;
        auto* side = new zorp::SerialSide(this);
        try {
            side->Open(s);
        } catch (...) {
            delete side;
            throw;
        }
        FSerial = side;
    } else {
        auto* side = new zorp::TcpSide(this);
        try {
            if (WsMode == wsServer) {
                const uint16_t port = zorp::ResolveTcpPort(WsPort, true);
                QHostAddress bind;
                if (!bind.setAddress(WsBindAddress.trimmed()))
                    throw ECommPortError(QStringLiteral("invalid listening address %1").arg(WsBindAddress).toStdString());
                side->SetKeepAlive(WsKeepAliveIdle, WsKeepAliveInterval, WsKeepAliveCount);
                side->SetMaxClients(WsMaxClients);
                side->SetIdleAfter(WsIdleAfter);
                side->OpenServer(bind, port, InSize);
            } else {
                const uint16_t port = zorp::ResolveTcpPort(WsPort, false);
                const QHostAddress host = zorp::ResolveHost(WsAddress, WsResolveTimeout);
                side->OpenClient(host, port, WsConnectTimeout, InSize);
            }
        } catch (...) {
            delete side;
            throw;
        }
        FTcp = side;
    }
}

bool TCommPort::Open() const { return FOpen; }

void TCommPort::Close()
{
    const bool tcpEnded = FTcp && (FTcp->Established() || FTcp->IsServer());
    FOpen = false;
    ++FGeneration;
    FInEnd = 0;
    FInPos = 0;
    FUnannounced = 0;
    FSelfClosePosted = false;
    if (FSerial) {
        FSerial->Shutdown();
        FSerial->deleteLater();
        FSerial = nullptr;
    }
    if (FTcp) {
        FTcp->Shutdown();
        FTcp->deleteLater();
        FTcp = nullptr;
    }
    // Posted without the staleness check: the connection did end, even if
    // the port opens again before the notification comes due.
    if (tcpEnded)
        Post([this] { Raise(OnWsDisconnect, this); });
}

int TCommPort::PutBlock(const void* block, int length)
{
    if (!FOpen && AutoOpen) {
        try {
            SetOpen(true);
        } catch (const std::exception&) {
            return -1;
        }
    }
    if (!FOpen || length < 0 || (!block && length > 0))
        return -1;
    if (length == 0)
        return 0;
    qint64 n = -1;
    if (FSerial)
        n = FSerial->Write(static_cast<const char*>(block), length);
    else if (FTcp)
        n = FTcp->Write(static_cast<const char*>(block), length);
    return static_cast<int>(n);
}

uint8_t TCommPort::GetChar()
{
    uint8_t c = 0;
    GetBlock(&c, 1);
    return c;
}

int TCommPort::GetBlock(uint8_t* block, int count)
{
    if (!block || count <= 0 || FInPos >= FInEnd)
        return 0;
    const qsizetype n = std::min<qsizetype>(count, FInEnd - FInPos);
    std::memcpy(block, FIn.get() + FInPos, size_t(n));
    FInPos += n;
    if (FInPos == FInEnd) {
        FInEnd = 0;
        FInPos = 0;
        // Bytes held back in the device for want of room can come in now.
        if (SideHoldsBytes()) {
            const uint64_t gen = FGeneration;
            Post([this, gen] {
                if (gen == FGeneration)
                    PumpSide();
            });
        }
    }
    return static_cast<int>(n);
}

int TCommPort::InBuffUsed() const { return static_cast<int>(FInEnd - FInPos); }

bool TCommPort::InputWaiting() const
{
    if (InBuffUsed() > 0) return true;
    return FOpen && FSerial && FSerial->InputWaiting();
}

qint64 TCommPort::InRoom() const
{
    const qint64 cap = std::max(InSize, 1);
    return std::max<qint64>(0, cap - InBuffUsed());
}

char* TCommPort::InReserve(qint64 want)
{
    want = std::max<qint64>(want, 0);
    // The bytes not taken yet move to the front once they are the smaller
    // part, or when the room behind them is too small.
    if (FInPos > 0 && (FInPos * 2 >= FInEnd || FInEnd + want > FInCapacity)) {
        std::memmove(FIn.get(), FIn.get() + FInPos, size_t(FInEnd - FInPos));
        FInEnd -= FInPos;
        FInPos = 0;
    }
    if (FInEnd + want > FInCapacity) {
        const qsizetype capacity = std::max<qsizetype>(FInEnd + want, 2 * FInCapacity);
        std::unique_ptr<char[]> grown(new char[size_t(capacity)]);
        if (FInEnd > 0)
            std::memcpy(grown.get(), FIn.get(), size_t(FInEnd));
        FIn = std::move(grown);
        FInCapacity = capacity;
    }
    return FIn.get() + FInEnd;
}

char* TCommPort::BeginIn(qint64 want)
{
    return InReserve(want);
}

void TCommPort::FinishIn(qint64 want, qint64 got, bool fromReadyRead)
{
    got = std::clamp<qint64>(got, 0, std::max<qint64>(want, 0));
    FInEnd += got;
    if (got <= 0 || !FOpen)
        return;
    FUnannounced += got;
    FReadyRead = fromReadyRead;
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{FReadyRead};
    // DeliverReceived with nothing to append announces what is waiting.
    DeliverReceived(nullptr, 0);
}

void TCommPort::ReceiveFrom(QIODevice* device)
{
    if (!device || !FOpen)
        return;
    const qint64 want = std::min(device->bytesAvailable(), InRoom());
    if (want <= 0)
        return;
    char* into = BeginIn(want);
    FinishIn(want, device->read(into, want), false);
}

void TCommPort::DeliverReceived(const char* data, qint64 size)
{
    if (!FOpen)
        return;
    if (data && size > 0) {
        std::memcpy(InReserve(size), data, size_t(size));
        FInEnd += size;
        FUnannounced += size;
    }
    if (FUnannounced < std::max(CommNotificationLevel, 1))
        return;
    if (FReadyRead && FQueued == 0 && FUnannounced <= 65535) {
        // Straight from the event loop's readyRead, with nothing queued
        // before it: what the posted notification would do, done now.
        FReadyRead = false;
        const uint16_t n = static_cast<uint16_t>(FUnannounced);
        FUnannounced = 0;
        const uint64_t gen = FGeneration;
        Raise(OnTriggerAvail, this, n);
        // More may wait in the device for want of room: fetched later,
        // never from inside this call.
        if (gen == FGeneration && FOpen && SideHoldsBytes() && InRoom() > 0)
            Post([this, gen] {
                if (gen == FGeneration)
                    PumpSide();
            });
        return;
    }
    while (FUnannounced > 0) {
        const qint64 n = std::min<qint64>(FUnannounced, 65535);
        PostTrigger(static_cast<uint16_t>(n));
        FUnannounced -= n;
    }
}

void TCommPort::PostTrigger(uint16_t count)
{
    const uint64_t gen = FGeneration;
    Post([this, gen, count] {
        if (gen != FGeneration)
            return;
        // Never more than GetChar can deliver (a handler may have taken
        // bytes beyond what it was told of).
        const uint16_t n = static_cast<uint16_t>(std::min<int>(count, InBuffUsed()));
        if (n > 0)
            Raise(OnTriggerAvail, this, n);
        // Bytes held back for want of room come in now; anything else is
        // announced by the device's own notification (a read that finds
        // nothing would be a system call for nothing).
        if (gen == FGeneration && SideHoldsBytes())
            PumpSide();
    });
}

bool TCommPort::SideHoldsBytes() const
{
    return (FSerial && FSerial->BytesAvailable() > 0) || (FTcp && FTcp->BytesAvailable() > 0);
}

void TCommPort::PumpSide()
{
    if (!FOpen || InRoom() <= 0)
        return;
    if (FSerial)
        FSerial->ReadAvailable();
    else if (FTcp)
        FTcp->ReadAvailable();
}

void TCommPort::PostConnect()
{
    const uint64_t gen = FGeneration;
    Post([this, gen] {
        if (gen == FGeneration)
            Raise(OnWsConnect, this);
    });
}

void TCommPort::PostDisconnect()
{
    const uint64_t gen = FGeneration;
    Post([this, gen] {
        if (gen == FGeneration)
            Raise(OnWsDisconnect, this);
    });
}

void TCommPort::PostError(int code)
{
    const uint64_t gen = FGeneration;
    Post([this, gen, code] {
        if (gen == FGeneration)
            Raise(OnWsError, this, code);
    });
}

void TCommPort::PostAccept(const uint8_t address[4])
{
    const uint64_t gen = FGeneration;
    const uint8_t a0 = address[0], a1 = address[1], a2 = address[2], a3 = address[3];
    Post([this, gen, a0, a1, a2, a3] {
        if (gen != FGeneration || !FTcp)
            return;
        const uint8_t addr[4] = {a0, a1, a2, a3};
        bool accept = true;
        if (OnWsAccept) {
            try {
                OnWsAccept(this, addr, accept);
            } catch (...) {
                accept = false;
                qWarning("TCommPort: the accept handler failed; the client is refused");
            }
        }
        if (gen == FGeneration && FTcp)
            FTcp->FinishAccept(accept);
    });
}

void TCommPort::PostFull(const QString& peer, bool replaced)
{
    const uint64_t gen = FGeneration;
    Post([this, gen, peer, replaced] {
        if (gen == FGeneration)
            Raise(OnWsFull, this, peer, replaced);
    });
}

void TCommPort::PostSelfClose(int code)
{
    if (FSelfClosePosted)
        return;
    FSelfClosePosted = true;
    const uint64_t gen = FGeneration;
    // Queued behind the data notifications already posted, so bytes that
    // arrived before the end are still delivered.
    Post([this, gen, code] {
        if (gen != FGeneration)
            return;
        Close();
        if (code < 0) {
            // Close() announced nothing (the connection had already ended).
            Raise(OnWsDisconnect, this);
        } else {
            Raise(OnWsError, this, code);
        }
    });
}

QString TCommPort::DevicePath() const
{
    return FDeviceOverride.isEmpty() ? DevicePathForNumber(ComNumber) : FDeviceOverride;
}

QString TCommPort::ComPortsIniPath()
{
    if (!IniPathOverride().isEmpty())
        return IniPathOverride();
    // The folder the tester keeps "setings.ini" in: one named by
    // ZORP_CONFIG_DIR, else the program's folder, else (an installed
    // program, whose folder cannot be written) the per-user one.
    QString dir = qEnvironmentVariable("ZORP_CONFIG_DIR");
    if (dir.isEmpty()) {
        dir = QCoreApplication::instance() ? QCoreApplication::applicationDirPath() : QDir::currentPath();
        if (!QFileInfo(dir).isWritable())
            dir = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/ZORP");
    }
    return QDir(dir).filePath(QStringLiteral("comports.ini"));
}

void TCommPort::SetComPortsIniPath(const QString& path) { IniPathOverride() = path; }

QString TCommPort::DevicePathForNumber(int n)
{
    // The serial-port list reads "comports.ini" with the same function, so
    // both always agree on what a number means.
    const QString path = zorp::ReadComPortMap(ComPortsIniPath()).value(n);
    if (!path.isEmpty())
        return path;
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(n);
#else
    return QStringLiteral("/dev/ttyS%1").arg(n - 1);
#endif
}

void TCommPort::SetDevicePathOverride(const QString& path) { FDeviceOverride = path; }

QString TCommPort::PeerAddress() const { return FTcp ? FTcp->PeerAddress() : QString(); }

uint16_t TCommPort::PeerPort() const { return FTcp ? FTcp->PeerPort() : 0; }

void TCommPort::SelectClient(int Client)
{
    if (FTcp)
        FTcp->SelectClient(Client);
}

void TCommPort::DeliverClient(int client, const char* data, qint64 size)
{
    if (!FOpen || size <= 0)
        return;
    Raise(OnClientData, this, client, reinterpret_cast<const uint8_t*>(data), int(size));
}

void TCommPort::ClientClosed(int client)
{
    Raise(OnClientClosed, this, client);
}

void TCommPort::DropClient()
{
    if (FTcp && FTcp->Multi()) {
        FTcp->DropClient();
        return;
    }
    if (!FTcp || !FTcp->IsServer() || !FTcp->Established())
        return;
    FInEnd = 0;
    FInPos = 0;
    FUnannounced = 0;
    FTcp->DropClient();
}

uint16_t TCommPort::ServerPort() const { return FTcp ? FTcp->ServerPort() : 0; }

bool TCommPort::WsConnected() const { return FOpen && FTcp && FTcp->Established(); }
