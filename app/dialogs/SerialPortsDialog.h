// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TfrmSerialPorts: the serial ports found on the machine, with the COM
// number each maps to, so that a user can reach a USB adapter by name
// instead of writing "comports.ini" by hand.
//
// "Use" (or a double-click on a row) takes the chosen port's COM number;
// a port that has none gets the next free number, written to
// "comports.ini" (section "Ports") with every other line of the file kept.
// Ports the user may not open are shown with the reason and what to do.
#include <QDialog>
#include <QList>
#include <QString>

#include "SerialPorts.h"

class QLabel;
class QPushButton;
class QTableWidget;

class TfrmSerialPorts : public QDialog {
    Q_OBJECT
public:
    // comPortsIni: the file the numbers come from and new ones go to.
    // currentCom: the COM field's number, whose port is selected first.
    TfrmSerialPorts(const QString& comPortsIni, int currentCom, QWidget* parent = nullptr);

    // Columns of sgPorts.
    enum { colCom, colDevice, colById, colDescription, colManufacturer, colSerial, colAccess, colCount };

    QTableWidget* sgPorts = nullptr;
    QLabel* lblInfo = nullptr;
    QPushButton* btnRefresh = nullptr;
    QPushButton* btnUse = nullptr;
    QPushButton* btnClose = nullptr;

    // Lists the ports again.
    void Refresh();
    const QList<zorp::SerialPortEntry>& Ports() const { return FPorts; }

    // Takes the port of a row: its number, or the next free one written to
    // the file. Returns the number, or 0 when the file could not be written
    // (the reason stands in lblInfo) or the row does not exist.
    int UsePort(int row);
    // The number the dialog was accepted with.
    int ChosenNumber() const { return FChosen; }

private:
    void ShowRowInfo();
    QString FIni;
    int FCurrentCom = 0;
    int FChosen = 0;
    QList<zorp::SerialPortEntry> FPorts;
};

// Runs the dialog modally for the COM field's text; returns the chosen COM
// number, or 0 when the dialog was closed without a choice. Tests replace
// the modal run with a hook that receives the prepared dialog and returns
// its result (nullptr restores the modal run).
int RunSerialPortsDialog(QWidget* parent, const QString& comPortsIni, int currentCom);
void SetSerialPortsDialogHook(std::function<int(TfrmSerialPorts* dialog)> hook);
