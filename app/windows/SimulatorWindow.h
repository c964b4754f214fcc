// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The simulator window (File > "New simulator window"): a simulated slave
// of the sim library on a listening engine of its own, over TCP or a serial
// line. It shows one unit's image in a grid with data types and
// descriptions; values are edited in place (double-click), types and
// descriptions from the context menu, generators and faults from menus;
// entries a master wrote are highlighted; a log of its own tells who
// connected, wrote, was refused or hit by a fault. saveState() and
// restoreState() carry its set-up for a workspace.
#include <QJsonObject>
#include <QMainWindow>
#include <QMap>
#include <QTimer>
#include <memory>

#include "SimServer.h"

class QComboBox;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;
class QTableWidget;
class QLabel;
class TVexaModbus;

class TfrmSimulator : public QMainWindow {
public:
    explicit TfrmSimulator(QWidget* parent = nullptr);
    ~TfrmSimulator() override;

    QJsonObject saveState() const;
    void restoreState(const QJsonObject& state);

    // Starts listening with the settings shown; false (and a log line) when
    // they are not valid. Stop ends it.
    bool Start();
    void Stop();
    bool Listening() const { return FListening; }
    uint16_t ListeningPort() const; // TCP: the port in use (0 otherwise)
    bool AddGenerator(const QString& spec);
    bool AddFault(const QString& spec);
    void RefreshGrid();

    zorp::sim::SimServer& Sim() { return FSim; }

    QComboBox* cbLink = nullptr;   // "Modbus TCP", "RTU over TCP", "Serial (RTU)"
    QLineEdit* leWhere = nullptr;  // TCP port or serial device
    QLineEdit* leUnits = nullptr;  // "1,2,5-8"
    QPushButton* btnStart = nullptr;
    QComboBox* cbUnit = nullptr;
    QComboBox* cbTable = nullptr;
    QSpinBox* seStart = nullptr;
    QSpinBox* seCount = nullptr;
    QTableWidget* sgImage = nullptr;
    QPlainTextEdit* reLog = nullptr;
    QLabel* lblStatus = nullptr;

private:
    void Log(const QString& line);
    void ApplyUnits();
    void CellEdited(int row, int column);
    void GridMenu(const QPoint& pos);
    zorp::sim::UnitImage* ShownImage();
    zorp::sim::Table ShownTable() const;
    QString Key(int address) const; // "table:address" of the shown table
    void ShowUnits();

    zorp::sim::SimServer FSim;
    TVexaModbus* FMdb = nullptr;
    QTimer FRefresh;
    bool FListening = false;
    bool FFilling = false;
    QMap<QString, QString> FTypes;        // "table:address" -> type alias
    QMap<QString, QString> FDescriptions; // "table:address" -> text
};
