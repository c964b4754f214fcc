// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The serial ports found on the machine, with the COM number each maps to
// through "comports.ini", shared by the tester's port list and
// zorp-poll --list-ports.
//
// A port is a device the system lists (QSerialPortInfo) or the target of a
// link in the "by-id" folder (/dev/serial/by-id, where the system gives USB
// adapters a name that survives re-plugging). A port with such a link is
// known by that name too, and a new mapping names it by the link.
//
// COM numbers: n maps to the device that "comports.ini" names for n
// (section "Ports"), else to /dev/ttyS(n-1). A port's number is the key
// whose value is the port's device or by-id name (or a path that resolves
// to the same device); a /dev/ttySk port that no key names has k+1, unless
// the file gives k+1 to another device.
#include <QList>
#include <QMap>
#include <QString>
#include <functional>

namespace zorp {

struct SerialPortEntry {
    QString Device;       // the device path, e.g. /dev/ttyUSB0
    QString ById;         // the stable by-id name, empty when there is none
    QString Description;
    QString Manufacturer;
    QString SerialNumber;
    int ComNumber = 0;    // 0: no COM number maps to the port
    bool Accessible = true;
    QString Problem;      // why the user cannot open it, and what to do
};

// Whether the user may open a device for reading and writing; when not,
// the reason and what to do.
struct PortAccess {
    bool Ok = true;
    QString Problem;
};

// The folder of stable USB names; an empty text restores /dev/serial/by-id.
// The environment variable ZORP_SERIAL_BY_ID_DIR names another folder too.
QString SerialByIdFolder();
void SetSerialByIdFolder(const QString& folder);

// The ports the system lists (by default QSerialPortInfo). Tests replace it;
// nullptr restores the default.
using SerialPortSource = std::function<QList<SerialPortEntry>()>;
void SetSerialPortSource(SerialPortSource source);

// The access check (by default the real one, CheckPortAccess). Tests
// replace it; nullptr restores the default.
using PortAccessCheck = std::function<PortAccess(const QString& device)>;
void SetPortAccessCheck(PortAccessCheck check);
PortAccess CheckPortAccess(const QString& device);

// The [Ports] section of a "comports.ini": COM number to device path.
// Keys that are not numbers from 1 to 65535 and empty values are left out.
QMap<int, QString> ReadComPortMap(const QString& iniPath);

// A serial port named by its number, "COMn" (any case, n in decimal digits):
// n when it is 1 to 65535, -1 for any other number (which names no port and
// must not be cut to one that does), 0 when the text is no such name.
int ComNumberOfName(const QString& name);

// The device a COM number maps to under a given map.
QString DeviceForComNumber(const QMap<int, QString>& map, int comNumber);

// Every port, sorted by device path, with its by-id name, COM number and
// access (ComNumber 0 when no number maps to it).
QList<SerialPortEntry> ListSerialPorts(const QString& comPortsIni);

// The smallest number that neither "comports.ini" names nor belongs by
// default to a port in ports (a /dev/ttySk listed there takes k+1).
int NextFreeComNumber(const QMap<int, QString>& map, const QList<SerialPortEntry>& ports);

// The path a new mapping names: the by-id name when there is one.
inline QString MappingPath(const SerialPortEntry& port)
{
    return port.ById.isEmpty() ? port.Device : port.ById;
}

// The list as zorp-poll --list-ports prints it: a header line, then one
// line per port (tab-separated: COM, device, by-id name, description,
// manufacturer, serial number, access), then the file the numbers come from.
QString FormatSerialPortList(const QList<SerialPortEntry>& ports, const QString& comPortsIni);

} // namespace zorp
