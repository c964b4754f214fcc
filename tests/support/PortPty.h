// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A raw pseudo-terminal pair for serial tests: the port object opens the
// slave side by path, the test talks through the master side.
#include <QByteArray>
#include <QString>

namespace zorptest {

class PortPty {
public:
    PortPty();
    ~PortPty();
    PortPty(const PortPty&) = delete;
    PortPty& operator=(const PortPty&) = delete;

    bool ok() const { return FMaster >= 0; }
    // Device path of the slave side (what the port object opens).
    QString slavePath() const { return FSlavePath; }

    // Writes to the master side (the far end of the line).
    bool write(const QByteArray& bytes);
    // Collects bytes from the master side until `want` bytes came or
    // timeoutMs passed, running the event loop meanwhile.
    QByteArray read(int want, int timeoutMs = 3000);
    // Closes the far end: the slave side then reads as a line gone away.
    void closeMaster();
    // Closes the test's own handle of the slave side.
    void closeSlave();

private:
    int FMaster = -1;
    int FSlave = -1;
    QString FSlavePath;
};

} // namespace zorptest
