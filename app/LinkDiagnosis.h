// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Why a link failed, in words a user can act on: the device or host, and
// the system's reason (no such device, permission denied with its remedy,
// refused, timed out, reset). The engine reports only that a port could not
// be opened or that the link failed; these functions look at the device and
// at the port object's error code to say why.
#include <QString>

namespace LinkDiagnosis {

// Why a serial device could not be opened, judged from the device file
// without opening it (opening would toggle the modem lines of some
// adapters): "device: reason".
QString SerialOpenFailure(const QString& device, const QString& lineSettings);
// The same from a system error number (errno of an access to the device)
// and the group that owns the device (empty: unknown).
QString SerialErrnoText(const QString& device, int err, const QString& group);
// A serial device that failed while open, from its QSerialPort error code.
QString SerialFailure(const QString& device, int serialPortError);
// A TCP link to host:port that failed, from its QAbstractSocket error code;
// wasUp: the connection had been established.
QString SocketFailure(const QString& host, int port, int socketError, bool wasUp, int timeoutMs);
// A host that could not be connected to at all (no socket error known).
QString HostFailure(const QString& host, int port);

} // namespace LinkDiagnosis
