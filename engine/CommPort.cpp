// TCommPort. Placeholder bodies until the serial and TCP sides land.
#include "CommPort.h"

namespace zorp {
class SerialSide {};
class TcpSide {};
}

TCommPort::TCommPort(QObject* owner) : QObject(owner) {}
TCommPort::~TCommPort() = default;
void TCommPort::SetOpen(bool value)
{
    if (value) throw ECommPortError("port object not available");
    FOpen = false;
}
bool TCommPort::Open() const { return FOpen; }
int TCommPort::PutBlock(const void*, int) { return -1; }
uint8_t TCommPort::GetChar() { return 0; }
int TCommPort::InBuffUsed() const { return 0; }
QString TCommPort::DevicePath() const { return FDeviceOverride.isEmpty() ? DevicePathForNumber(ComNumber) : FDeviceOverride; }
QString TCommPort::DevicePathForNumber(int n) { return QStringLiteral("/dev/ttyS%1").arg(n - 1); }
void TCommPort::SetDevicePathOverride(const QString& path) { FDeviceOverride = path; }
QString TCommPort::PeerAddress() const { return {}; }
uint16_t TCommPort::ServerPort() const { return 0; }
void TCommPort::DeliverReceived(const char*, qint64) {}
void TCommPort::PostConnect() {}
void TCommPort::PostDisconnect() {}
void TCommPort::PostError(int) {}
void TCommPort::PostAccept(const uint8_t[4]) {}
void TCommPort::Close() {}
