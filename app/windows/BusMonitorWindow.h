// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The bus monitor window (View > "Bus monitor"): listens to a serial bus
// read-only, or relays Modbus TCP between masters and a slave, as
// zorp-monitor does; shows the frames live with filters by unit and
// function, the figures per unit and function, and the values the real
// master reads, decoded by a data type (the one the main window's grid
// gives the address, or one chosen here). Frames can be saved as CSV or
// as a capture file.
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <memory>
#include <vector>

#include "BusMonitorModel.h"
#include "MonitorSession.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSocketNotifier;
class QStackedWidget;
class QTableView;
class QTableWidget;
class QTabWidget;
class TfrmModbusMaster;

class TfrmBusMonitor : public QWidget {
    Q_OBJECT
public:
    explicit TfrmBusMonitor(TfrmModbusMaster* owner);
    ~TfrmBusMonitor() override;

    // Starts listening with the settings shown; throws EAppError when the
    // port or address cannot be opened.
    void Start();
    void Stop();
    bool Running() const { return FSession != nullptr; }
    // Every frame kept, as CSV lines or a capture file; throws EAppError.
    void SaveCsv(const QString& path) const;
    void SaveCapture(const QString& path) const;
    const zorp::monitor::BusStats& Stats() const { return FStats; }

    TBusFrameModel* Frames = nullptr;
    TBusFrameFilter* Filter = nullptr;
    QComboBox* cbSource = nullptr;   // "Serial port", "Modbus TCP relay"
    QComboBox* cbDevice = nullptr;
    QComboBox* cbBaud = nullptr;
    QComboBox* cbParity = nullptr;
    QComboBox* cbStopBits = nullptr;
    QLineEdit* edListen = nullptr;
    QLineEdit* edTarget = nullptr;
    QPushButton* btnStart = nullptr;
    QComboBox* cbUnit = nullptr;     // "All units", then the units heard
    QComboBox* cbFunction = nullptr; // "All functions", then the functions heard
    QComboBox* cbType = nullptr;     // "As in the grid", then the data types
    QPushButton* btnSaveCsv = nullptr;
    QPushButton* btnSaveCapture = nullptr;
    QLabel* lblStatus = nullptr;
    QTabWidget* tabs = nullptr;
    QTableView* tvFrames = nullptr;
    QTableWidget* twStats = nullptr;
    QTableWidget* twValues = nullptr;

    // One turn of the monitor (the timer's work; tests call it directly).
    void Tick();
    void RefreshTables();

protected:
    void closeEvent(QCloseEvent* e) override;

private:
    void StartClicked();
    void FilterChanged();
    void Heard(const zorp::monitor::BusEvent& e);
    QString ValueText(const TBusValues::Key& key) const;
    QString GridTypeAt(int address) const;

    QPointer<TfrmModbusMaster> FOwner;
    std::unique_ptr<zorp::monitor::MonitorSession> FSession;
    std::vector<zorp::monitor::BusEvent> FPending;
    zorp::monitor::BusStats FStats;
    TBusValues FValues;
    QStackedWidget* FSourcePages = nullptr;
    std::vector<QSocketNotifier*> FNotifiers;
    QTimer FTimer;   // the monitor's turns
    QTimer FRefresh; // the figures and values, once a second
    bool FTablesStale = false;
};

// Puts View > "Bus monitor" into the main window; the window is made when
// first opened.
class TBusMonitorEntry : public QObject {
    Q_OBJECT
public:
    explicit TBusMonitorEntry(TfrmModbusMaster* owner);
    TfrmBusMonitor* Window();

private:
    TfrmModbusMaster* FOwner;
    QPointer<TfrmBusMonitor> FWindow;
};
