// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TfrmModbusMaster: the tester's main window. It owns every control, the
// engine object mdb, the one-shot ReadAgainTimer, the save dialog SD and the
// stored window settings frmStorage; all are destroyed with it.
//
// Files: uMaster.cpp (creation, layout, anchoring, closing),
// uMasterConnection.cpp (connection panel and key filters), uMasterLog.cpp
// (communication log), uMasterPolling.cpp (reads, responses, counters),
// uMasterSettings.cpp (profiles and stored window settings), uMasterGrid.cpp
// (register grid and value decoding).
//
// Every handler is public so that tests can call it directly. Handlers run
// inside RunGuarded (AppErrors.h) when the controls or the engine call them.
#include <QColor>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <vector>

#include "ModbusTypes.h"
#include "ValueDecoding.h"

class QCheckBox;
class QComboBox;
class QDate;
class QDateTime;
class QTime;
class QFileDialog;
class QGroupBox;
class QLabel;
class QMenu;
class QMenuBar;
class QPainter;
class QPushButton;
class QTimer;
class TCommLog;
class TFormStorage;
class TLabeledEdit;
class TRadioGroup;
class TStatusBar;
class TStringGrid;
class TVexaModbus;

class TfrmModbusMaster : public QWidget {
    Q_OBJECT
public:
    explicit TfrmModbusMaster(QWidget* parent = nullptr);
    ~TfrmModbusMaster() override;

    // Designed client size.
    static constexpr int DesignWidth = 922;
    static constexpr int DesignHeight = 712;

    // ---- menu bar and client area (uMasterMenu.cpp) ---------------------------
    // The menu bar stands above the designed client area; the client area
    // keeps the designed 922 x 712 and every designed position, so the window
    // is taller than designed by the menu bar's height.
    QMenuBar* MainMenu = nullptr;
    QWidget* Client = nullptr;
    QMenu* mnuFile = nullptr;
    QMenu* mnuView = nullptr;
    QMenu* mnuOptions = nullptr;
    QMenu* mnuHelp = nullptr;
    // One of the four menus by its name ("File", "View", "Options", "Help",
    // case-insensitive), or nullptr. Other windows and features add their
    // entries through it without touching the menu code.
    QMenu* ExtensionMenu(const QString& name) const;
    // Height of the menu bar: the window is the client area plus this.
    int MenuHeight() const;
    // The text of Help > About: the program, its version and its licence.
    static QString AboutText();
    void actAboutExecute(QObject* Sender);

    // ---- controls ---------------------------------------------------------
    // gbSettings
    QGroupBox* gbSettings = nullptr;
    TRadioGroup* rgModbusMode = nullptr;
    TLabeledEdit* leIP = nullptr;
    TLabeledEdit* lePort = nullptr;
    TLabeledEdit* leCOM = nullptr;
    TLabeledEdit* leSpeed = nullptr;
    TLabeledEdit* leParity = nullptr;
    TLabeledEdit* leDataBits = nullptr;
    TLabeledEdit* leStopBits = nullptr;
    QPushButton* btnConnect = nullptr;
    QPushButton* btnDisconnect = nullptr;
    // gbData
    QGroupBox* gbData = nullptr;
    TLabeledEdit* leSlaveID = nullptr;
    QLabel* lblFunc = nullptr;
    QComboBox* cbFunc = nullptr;
    TLabeledEdit* leStartAddress = nullptr;
    TLabeledEdit* leLength = nullptr;
    TStringGrid* sgData = nullptr;
    QPushButton* btnRead = nullptr;
    QCheckBox* cbRealTime = nullptr;
    QLabel* lblSettings = nullptr;
    QComboBox* cbSettings = nullptr;
    QPushButton* btnLoadSettings = nullptr;
    QPushButton* btnSaveSettings = nullptr;
    // gbComm
    QGroupBox* gbComm = nullptr;
    TCommLog* REComm = nullptr;
    // status bar: panel 0 link state, 1 "Polls: ", 2 "Responses: ", 3 "Errors: ", 4 unused
    TStatusBar* sBar = nullptr;

    // ---- non-visual members -------------------------------------------------
    TVexaModbus* mdb = nullptr;
    QTimer* ReadAgainTimer = nullptr;  // 50 ms, one-shot, off at start
    QFileDialog* SD = nullptr;         // save dialog; may be created on first use
    // Stored window settings; created by StorageCreate with this window as its
    // QObject parent, so that it is destroyed with the window.
    TFormStorage* frmStorage = nullptr;

    // ---- fields -------------------------------------------------------------
    int32_t FPolls = 0;
    int32_t FResponses = 0;
    int32_t FErrors = 0;
    std::vector<uint8_t> ReadData;
    std::vector<bool> ReadDataBool;
    uint32_t FLastColor = 16777215;   // 0x00BBGGRR
    std::vector<uint32_t> FColors;     // one entry per grid row, 0x00BBGGRR
    // The data type of each grid row as ShowRegisterData last looked it up.
    ValueDecoding::TDataTypeCache FTypeCache;
    // What the last ShowRegisterData rendered: the response, the grid's row
    // count and the grid's text version when it was done. While no cell
    // text changed since, rows whose registers are unchanged already show
    // what a new rendering would write.
    struct TRenderedData {
        std::vector<uint8_t> Data;
        int Rows = -1;
        uint64_t TextVersion = 0;
        bool Valid = false;
    } FRendered;

    // Whether the window shows the connected state (set by mdbConnect,
    // cleared by mdbDisconnect and by the lost-link recovery).
    bool FLinkUp = false;

    // ---- start-up and closing (uMaster.cpp) ----------------------------------
    void FormCreate(QObject* Sender);
    // Header row and column widths of sgData.
    void SetupGridHeader();

    // ---- connection panel (uMasterConnection.cpp) -----------------------------
    void btnConnectClick(QObject* Sender);
    void btnDisconnectClick(QObject* Sender);
    void mdbConnect(QObject* Sender);
    void mdbDisconnect(QObject* Sender);
    // Character filters: Key set to 0 discards the character.
    void leCOMKeyPress(QObject* Sender, QChar& Key);
    void lePortKeyPress(QObject* Sender, QChar& Key);
    void leIPKeyPress(QObject* Sender, QChar& Key);
    void leParityKeyPress(QObject* Sender, QChar& Key);
    void leDataBitsKeyPress(QObject* Sender, QChar& Key);
    void leStopBitsKeyPress(QObject* Sender, QChar& Key);
    void leStartAddressKeyPress(QObject* Sender, QChar& Key);
    void leLengthKeyPress(QObject* Sender, QChar& Key);
    // The engine's state changes: notices a link that the transport lost
    // without a disconnect report and returns the window to the
    // disconnected state.
    void mdbChangeState(QObject* Sender);
    void CheckLinkLost();
    // Panel 0 text for a link lost that way.
    QString LinkLostText() const;
    // The serial ports found on the machine (Options menu and the COM
    // field's context menu): the chosen port's COM number goes into leCOM,
    // a port without one first gets the next free number in "comports.ini".
    void ShowSerialPorts();
    QAction* actSerialPorts = nullptr; // Options > Serial ports...

    // ---- polling (uMasterPolling.cpp) ---------------------------------------
    void btnReadClick(QObject* Sender);
    void mdbError(QObject* Sender, int32_t ErrorCode);
    void mdbReadCoils(QObject* Sender, uint8_t DeviceID, uint16_t Addr, uint16_t Count,
                      const std::vector<bool>& Data);
    void mdbReadDiscreteInputs(QObject* Sender, uint8_t DeviceID, uint16_t Addr, uint16_t Count,
                               const std::vector<uint8_t>& Data);
    void mdbReadHoldingRegs(QObject* Sender, uint8_t DeviceID, uint16_t Addr, uint16_t Count,
                            const std::vector<uint8_t>& Data);
    void mdbReadInputRegs(QObject* Sender, uint8_t DeviceID, uint16_t Addr, uint16_t Count,
                          const std::vector<uint8_t>& Data);
    void ReadAgainTimerTimer(QObject* Sender);
    void leStartAddressKeyUp(QObject* Sender, int& Key, Qt::KeyboardModifiers Shift);
    void leLengthKeyUp(QObject* Sender, int& Key, Qt::KeyboardModifiers Shift);
    void leLengthExit(QObject* Sender);

    // ---- communication log (uMasterLog.cpp) ---------------------------------
    void mdbSendData(QObject* Sender, const void* Block, int32_t Size);
    void mdbReceiveData(QObject* Sender, const uint8_t* Block, int32_t Size);
    void RECommChange(QObject* Sender);
    // One log line: time stamp, ": ", then "[XX] " per byte.
    static QString FormatLogLine(const QDateTime& when, const uint8_t* Block, int32_t Size);
    // The same from the local date and time of day.
    static QString FormatLogLine(const QDate& day, const QTime& time, const uint8_t* Block, int32_t Size);

    // ---- settings (uMasterSettings.cpp) --------------------------------------
    void btnSaveSettingsClick(QObject* Sender);
    void btnLoadSettingsClick(QObject* Sender);
    void LoadSettingsList();
    // Creates frmStorage and names its file: the program's folder + "setings.ini".
    void StorageCreate();
    // Restores placement and the eight stored control values (first show).
    void StorageRestore();
    // Writes "setings.ini": AtClose true when the close was accepted, false
    // from the destructor (which writes only when no close wrote before).
    void StorageSave(bool AtClose);

    // ---- register grid (uMasterGrid.cpp) --------------------------------------
    void FillAddresses();
    void UpdateRowColors();
    void sgDataDrawCell(QObject* Sender, QPainter& Canvas, int ACol, int ARow, const QRect& Rect);
    void ShowRegisterData();
    void ShowBitData();
    void sgDataMouseDown(QObject* Sender, Qt::MouseButton Button, Qt::KeyboardModifiers Shift, int X, int Y);
    void MarkContinuationRows();

    // ---- helpers -------------------------------------------------------------
    // Panels 1 to 3 from the three counters.
    void ShowCounters();

protected:
    void showEvent(QShowEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;

private:
    void CreateMenu();
    void CreateControls();
    void WireEngine();
    void LayoutControls();
    bool FShownOnce = false;
};
