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
#include <QDateTime>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

#include "GridFreshness.h"
#include "RegisterGrid.h"
#include "RowWrite.h"
#include "ModbusTypes.h"
#include "TesterOptions.h"
#include "ValueDecoding.h"
#include "ValueEncoding.h"

class QAction;
class QActionGroup;
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
class QScrollArea;
class QTimer;
class TCommLog;
class TFormStorage;
class TLabeledEdit;
class TRadioGroup;
class TStatusBar;
class TStringGrid;
class TVexaModbus;
class TValueWatch;
namespace zorp {
class TIniFile;
}
class TfrmWriteValue;
class TLinkRecovery;
class TLinkScheduler;
class TPollWindows;

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

    // ---- options (uMasterMenu.cpp) --------------------------------------------
    TTesterOptions FOptions;
    QAction* actSaveLog = nullptr;        // File > Save log as...
    QAction* actExportCsv = nullptr;      // File > Export grid as CSV...
    QAction* actErrorsInLog = nullptr;    // View > Errors in the log
    QAction* actPauseDesigned = nullptr;  // Options > Real-time pause > As designed
    QAction* actPauseCustom = nullptr;    // Options > Real-time pause > custom pause
    QAction* actKeepPolling = nullptr;    // Options > Keep polling after errors
    QAction* actRemoveEcho = nullptr;     // Options > Remove echo (two-wire adapters)
    // The file the options are stored in ("setings.ini").
    QString OptionsFileName() const;
    // Takes the options over: the menu's checks, the engine and the file.
    // Throws EFileWriteError when the file cannot be written (the options
    // are in force all the same).
    void SetOptions(const TTesterOptions& o, bool store = true);
    // Asks for a pause in milliseconds (Options > Real-time pause).
    void actPauseCustomExecute(QObject* Sender);

    // ---- keyboard, colours, time-outs (uMasterActions.cpp) ----------------------
    QAction* actConnect = nullptr;    // File > Connect (F9)
    QAction* actDisconnect = nullptr; // File > Disconnect (Shift+F9)
    QAction* actRead = nullptr;       // File > Read (F5)
    QAction* actRealTime = nullptr;   // File > Real time (Ctrl+R), follows cbRealTime
    QAction* actDarkTheme = nullptr;  // View > Dark colours
    QAction* actTimeouts = nullptr;   // Options > Time-out and retries...
    QAction* actKeepLayout = nullptr; // Options > Keep the grid layout between runs
    void CreateExtraActions();
    // A checkable entry of menu for a Boolean option; it takes effect at once
    // and is stored.
    QAction* AddOptionToggle(QMenu* menu, const char* name, const QString& text, bool TTesterOptions::*field);
    // Tooltips naming the shortcuts, the grid's keys (after the controls exist).
    void WireKeyboard();
    // The options of these entries into the menu's checks, the engine and the colours.
    void ApplyExtraOptions(const TTesterOptions& o);
    // Asks for the engine's time-out and tries (Options > Time-out and retries...).
    void actTimeoutsExecute(QObject* Sender);
    // Enter or F2 on a Data Type or Description cell opens its editor.
    void sgDataKeyDown(QObject* Sender, int& Key, Qt::KeyboardModifiers Shift);
    // The data editor for a cell of the Data Type or Description column.
    void EditCell(int ACol, int ARow);
    // A file dialog's folder remembered in [Options] (the field of FOptions).
    void RememberFolder(QString TTesterOptions::*field, const QString& fileName);
    // Asks for a file name in the folder kept in the option, writes text
    // there and remembers the folder; nothing happens when none is chosen.
    void SaveTextAs(const QString& title, const QString& filter, const QString& suffix,
                    QString TTesterOptions::*folder, const QString& text);

    // ---- why a link failed (uMasterDiagnosis.cpp) -------------------------------
    // The last error of the port object (its OnWsError code), -1: none since Connect.
    int FPortError = -1;
    // Catches the port object's error reports on their way to the engine.
    void WatchPortErrors();
    // The device or host and the system's reason for a link error (codes 0,
    // 1, 15 and 16), empty for other codes.
    QString LinkErrorReason(int32_t Code) const;

    // ---- small screens (uMasterScreen.cpp) --------------------------------------
    // Set when the screen cannot hold the window at its smallest: the client
    // area then scrolls inside it.
    QScrollArea* ClientScroll = nullptr;
    // Whether the window fits the screen it opens on; when not, the client
    // area goes into ClientScroll and the window is made to fit.
    void FitToScreen();

    // ---- the last grid layout (uMasterSettings.cpp) ------------------------------
    // The profile kept beside "setings.ini" at closing and read at start.
    QString LastLayoutFileName() const;
    void SaveLastLayout();
    void LoadLastLayout();
    // A profile's keys from the window, and the window from a profile's keys.
    void WriteProfile(zorp::TIniFile& Ini) const;
    void ReadProfile(const zorp::TIniFile& Ini);

    // ---- data out (uMasterExport.cpp) ---------------------------------------------
    // The log's lines as saved: a direction mark ("TX ", "RX ", "ERR ") and
    // the line as shown, one per line.
    QString LogFileText() const;
    // The grid as CSV: every row (header included), all nine columns, as
    // drawn (control characters of ASCII texts as ".").
    QString GridCsvText() const;
    // A cell's text as the grid draws it.
    QString CellDisplayText(int ACol, int ARow) const;
    void actSaveLogExecute(QObject* Sender);
    void actExportCsvExecute(QObject* Sender);
    // Writes text to fileName as UTF-8, replacing the file atomically.
    // Throws EFileWriteError.
    static void WriteTextFile(const QString& fileName, const QString& text);

    // ---- errors (uMasterErrors.cpp) -----------------------------------------------
    struct TErrorRecord {
        QDateTime When;
        int32_t Code = 0;
        QString Request;   // the request it answered, as RequestText gave it
        QString Meaning;   // English meaning with its figures
        bool EndedCycle = false; // it ended a Real-time cycle
    };
    static constexpr int MaxErrorRecords = 10;
    std::deque<TErrorRecord> FErrorRecords; // oldest first
    // The request in flight, for the error list: a write's description, or a
    // read's function, address and count (put into words only when an error
    // needs them, not for every poll).
    QString FRequestText;
    int FReadAddress = 0;
    int FReadCount = 0;
    // The request in flight in words.
    QString RequestText() const;
    // The "Errors:" panel's tooltip: the last errors, newest first.
    QString ErrorsHint() const;
    // One error as listed in the tooltip and in the log.
    static QString ErrorRecordText(const TErrorRecord& r);
    static QColor ErrorLogColor() { return QColor(160, 0, 160); }
    // Records an error, updates the tooltip and, with the option on, the log.
    void RecordError(int32_t Code, bool EndedCycle);

    // ---- Real-time cycle and writes (uMasterPolling.cpp, uMasterWrite.cpp) ---------
    // What the engine is busy with on the window's behalf.
    enum class TInFlight { None, Read, Write };
    TInFlight FInFlight = TInFlight::None;
    int FInFlightFunc = 0;   // function code of the transaction in flight
    // The function whose data the grid shows: 1 to 4, 0 before any response.
    int FShownFunc = 0;
    // The start address of the read whose data the grid shows (1-based).
    uint16_t FShownAddress = 0;
    // After a response (or an error with Keep polling on): the next read of
    // the Real-time cycle, paced as the options say.
    void ContinueCycle(int Func);
    // A write waiting for the read in flight to be answered.
    using TWriteRequest = ::TWriteRequest;
    std::optional<TWriteRequest> FPendingWrite;
    // Forgets every transaction in flight or waiting (a new or lost link).
    void ResetTransactions();
    // The function of the read whose cycle goes on after the write (0: none).
    int FResumeFunc = 0;
    // The pause ended while a write was in flight: read when it is answered.
    bool FReadAfterWrite = false;
    // Sends a write now when nothing is in flight, otherwise after the
    // answer to the read in flight. Throws EAppError when not connected or
    // the engine refuses it.
    void RequestWrite(const TWriteRequest& w);
    void SendWrite(const TWriteRequest& w);
    // Starts a write waiting for the read just answered; true when one was started.
    bool StartPendingWrite(int ReadFunc);
    void mdbWriteDone(QObject* Sender);
    // The write in flight ended (ok: acknowledged): a waiting write goes
    // out, then the Real-time cycle goes on, or outside Real time one read
    // shows what the write changed.
    void mdbWriteFinished(bool ok);
    // The write dialog for a grid row (after a 03 or 01 read).
    bool CanWriteRow(int ARow) const;
    void WriteRowValue(int ARow);
    void sgDataDblClick(QObject* Sender, int ACol, int ARow);
    void sgDataContextPopup(QObject* Sender, const QPoint& pos);
    // Instead of running the grid's context menu, a set hook receives it and
    // returns the chosen action (nullptr: none). Tests use it.
    static inline std::function<QAction*(QMenu*)> GridMenuHook;

    // ---- poll windows on this link (PollWindows.h) -------------------------------
    TPollWindows* PollWindows = nullptr;
    // The link's scheduler once a poll window was opened; nullptr before.
    TLinkScheduler* Scheduler = nullptr;
    // False for a connection window opened beside the first one: it stores
    // no window settings (the first one's are in "setings.ini").
    bool FKeepsSettings = true;
    // A read waits for the turns of the link's polls.
    bool FDeferredRead = false;
    // The link's scheduler gives the Data panel its turn: what waited goes out.
    void DesignedTurn();

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
    // Which of the four read functions cbFunc's text names (0 to 3, -1:
    // none); -2 until the text is looked at after a change.
    int FFuncChoice = -2;
    // Length and Start Address as read from their fields; read again only
    // after the field's text changed.
    std::optional<int> FReadCountField, FReadAddressField;
    int32_t FPolls = 0;
    // The counters as their panels show them (ShowCounters).
    std::optional<int32_t> FCountersShown[3];
    int32_t FResponses = 0;
    int32_t FErrors = 0;
    std::vector<uint8_t> ReadData;
    std::vector<bool> ReadDataBool;
    // The grid's colours, types and rendering, shared with the poll windows.
    TRegisterGrid FGridView{nullptr};
    uint32_t& FLastColor = FGridView.LastColor;       // 0x00BBGGRR
    std::vector<uint32_t>& FColors = FGridView.Colors; // one entry per grid row, 0x00BBGGRR
    // The data type of each grid row as ShowRegisterData last looked it up.
    ValueDecoding::TDataTypeCache& FTypeCache = FGridView.TypeCache;
    // What the last ShowRegisterData rendered (TRegisterGrid::Rendered).
    TRegisterGrid::TRenderedData& FRendered = FGridView.Rendered;

    // The chart and the CSV logging of decoded Values (ValueWatch.h).
    TValueWatch* ValueWatch = nullptr;
    // Called with the profile being saved, before it is written, and with
    // the profile just loaded: additions keep their keys in sections of
    // their own.
    std::function<void(zorp::TIniFile& Ini)> OnProfileSave;
    std::function<void(const zorp::TIniFile& Ini)> OnProfileLoad;
    // Called after each response has been rendered into the grid, before
    // ValuesShown is emitted: a plain call for the window's own value watch,
    // which a signal's dispatch would cost several times over at every poll.
    std::function<void()> OnValuesShown;

    // Address notations, engineering values and register maps, implemented
    // in RegisterTools.cpp: the grid's context menu before it opens (Row -1
    // off the cells), the Start Address field in the notation in use (as
    // designed: a strict decimal integer), an address as the window shows
    // it, a row's written value, and Start as profiles keep it (the
    // designed decimal number) from and to the field's text.
    class TRegisterTools* RegisterTools = nullptr;
    std::function<void(QMenu* Menu, int Row)> OnGridMenu;
    int StartAddressField(const QString& Text) const;
    bool TryStartAddressField(const QString& Text, int& Value) const;
    bool StartAddressKeyAllowed(char16_t Key) const;
    // The Address column's first address: false (the column keeps its
    // numbers) for a text the notation cannot read yet.
    bool ColumnStartAddress(int64_t& Start) const;
    QString AddressText(int64_t Address, int Function) const;
    ValueEncoding::TEncoded EncodeRowValue(int Row, const TDataTypeInfo& Type, const QString& Text) const;
    QString ProfileStart(const QString& Text, bool ToProfile) const;

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
    // The same for the time now, as the log writes it: the local time is
    // worked out once a second, not once a line.
    static QString FormatLogLineNow(const uint8_t* Block, int32_t Size);

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

    // ---- old values, the unit of each read (uMasterStale.cpp) -------------------
    // Which rows show what the last read returned for the address beside them.
    TGridFreshness FFresh;
    // The first address the Address column shows (FillAddresses); -1: none yet.
    int64_t FAddressStart = -1;
    // The Slave ID field as read for the last read; read again after a change.
    std::optional<int> FSlaveIdField;
    void StaleMarkingCreate();
    // The Slave ID field as a unit: throws EAppError when it is not an
    // integer from 0 to 255.
    int SlaveIdField();
    // What the grid asks for now: function box, Slave ID, Address column.
    TReadSource GridSource();
    void GridSourceChanged();
    // A read answered with Items items (registers, coils or inputs).
    void ReadAnswered(int Func, uint8_t Unit, uint16_t Addr, int Items);
    // Every value shown is old from now on.
    void ReadsEnded(TGridFreshness::TCause Cause);
    // Whether a cell shows an old value (drawn grey and italic); Span: the
    // rows the row's Value reads.
    bool CellIsOld(int ACol, int ARow, int Span) const;
    bool CellIsOld(int ACol, int ARow);
    // The tooltip of an old value: what it was read as and when; empty for
    // a fresh or empty cell.
    QString OldValueHint(int ACol, int ARow);
    // The text colour of old values: grey, apart from the designed black on
    // both group colours.
    static QColor OldValueColor() { return QColor(128, 128, 128); }
    // The register a row stands for now: unit, function, address, type.
    TRegisterKey KeyOfRow(int Row);
    // Which of the four read functions cbFunc's text names (0 to 3, -1: none).
    int ChosenFunc();

    // ---- lost links (LinkRecovery.h) ---------------------------------------------
    TLinkRecovery* Recovery = nullptr;
    // Disconnect was pressed: the disconnect report that follows is no lost link.
    bool FUserDisconnect = false;
    // The link ended without the user asking.
    void LinkEnded();

    // ---- helpers -------------------------------------------------------------
    // Panels 1 to 3 from the three counters.
    void ShowCounters();
    // Tells OnValuesShown and emits ValuesShown.
    void NotifyValuesShown();

    // The smallest client size at which no control overlaps another and the
    // grid shows at least three rows.
    QSize MinimumClientSize() const;

signals:
    // Raised after each response has been rendered into the grid.
    void ValuesShown();
    // Raised once, when the first show has restored the stored window
    // settings and the last grid layout: what the program restores beyond
    // them (the last workspace) waits for it, so that they cannot overwrite it.
    void SettingsRestored();

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
