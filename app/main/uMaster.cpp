// SPDX-License-Identifier: GPL-3.0-or-later
// Main window: creation, controls and their designed layout, anchoring on
// resize, engine configuration and wiring, closing.
#include "uMaster.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <QScrollArea>
#include <QShowEvent>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QStylePainter>
#include <QTimer>
#include <algorithm>

#include "AppErrors.h"
#include "DesignFonts.h"
#include "DesignTheme.h"
#include "GroupBox.h"
#include "CommLog.h"
#include "LabeledEdit.h"
#include "LinkRecovery.h"
#include "PaintPacer.h"
#include "RadioGroup.h"
#include "StatusBar.h"
#include "StringGrid.h"
#include "VexaModbus.h"
#include "RegisterTools.h"
#include "ValueWatch.h"
#include "BusMonitorWindow.h"
#include "WriteAnyMenu.h"
#include "PollWindows.h"
#include "WorkspaceMenu.h"
#include "uSplash.h"

namespace {
const QColor kBackground(235, 235, 235);
const QColor kInputBackground(234, 242, 234);
constexpr int kStdHeight = 21;

QFont pixelFont(const QString& family, int px, bool bold = false)
{
    QFont f(family);
    f.setPixelSize(px);
    f.setBold(bold);
    return f;
}

void paintBackground(QWidget* w, const QColor& c)
{
    QPalette p = w->palette();
    p.setColor(QPalette::Window, c);
    w->setPalette(p);
    w->setAutoFillBackground(true);
}

// A drop-down list whose field is drawn in the designed input colour (the
// palette's Base) instead of the style's button gradient; frame, arrow and
// text are the style's.
class TDesignedComboBox : public QComboBox {
public:
    using QComboBox::QComboBox;

protected:
    void paintEvent(QPaintEvent*) override
    {
        QStylePainter p(this);
        p.setPen(palette().color(QPalette::Text));
        QStyleOptionComboBox opt;
        initStyleOption(&opt);
        p.drawComplexControl(QStyle::CC_ComboBox, opt);
        const QRect arrow = style()->subControlRect(QStyle::CC_ComboBox, &opt, QStyle::SC_ComboBoxArrow, this);
        QRect field = rect().adjusted(2, 2, -2, -2);
        field.setRight(std::min(field.right(), arrow.left() - 1));
        p.fillRect(field, palette().color(QPalette::Base));
        p.drawControl(QStyle::CE_ComboBoxLabel, opt);
    }
};

void paintInput(QWidget* w)
{
    QPalette p = w->palette();
    p.setColor(QPalette::Base, kInputBackground);
    p.setColor(QPalette::Button, kInputBackground);
    w->setPalette(p);
}
} // namespace

TfrmModbusMaster::TfrmModbusMaster(QWidget* parent)
    : QWidget(parent)
{
    EnsureDesignFonts();
    setObjectName(QStringLiteral("frmModbusMaster"));
    setWindowTitle(QStringLiteral("ZORP (Zelvara) v. 1.0.2"));
    setFont(pixelFont(QStringLiteral("Tahoma"), 11));
    paintBackground(this, kBackground);
    CreateMenu();
    MainMenu->setFixedHeight(MainMenu->sizeHint().height());
    MainMenu->setGeometry(0, 0, DesignWidth, MainMenu->height());
    Client = new QWidget(this);
    Client->setObjectName(QStringLiteral("Client"));
    Client->setGeometry(0, MenuHeight(), DesignWidth, DesignHeight);
    paintBackground(Client, kBackground);
    resize(DesignWidth, DesignHeight + MenuHeight());
    if (const QScreen* s = QGuiApplication::primaryScreen()) {
        const QRect g = s->availableGeometry();
        move(g.x() + (g.width() - width()) / 2, g.y() + (g.height() - height()) / 2);
    }

    CreateControls();
    WireKeyboard();
    // Real-time polling changes the window thousands of times a second:
    // while connected, paint it at most once a frame.
    auto* pacer = new TPaintPacer(this);
    pacer->Active = [this] { return FLinkUp; };

    mdb = new TVexaModbus(this);
    mdb->setObjectName(QStringLiteral("mdb"));
    mdb->SetComNumber(1);
    mdb->SetComSpeed(9600);
    mdb->SetDataBits(8);
    mdb->SetStopBits(1);
    mdb->SetParity(pNone);
    mdb->SetMaxRepeat(3);
    mdb->SetProtocol(mbpRTU);
    mdb->SetInterfaceType(mbiRS485);
    mdb->SetDeviceID(1);
    mdb->SetEthPort(0);
    mdb->SetDeviceType(dvtNone);
    mdb->SetTimeout(3000);
    WireEngine();

    ReadAgainTimer = new QTimer(this);
    ReadAgainTimer->setObjectName(QStringLiteral("ReadAgainTimer"));
    ReadAgainTimer->setSingleShot(true);
    // A pause is never cut short (a coarse timer may fire up to 5% early).
    ReadAgainTimer->setTimerType(Qt::PreciseTimer);
    ReadAgainTimer->setInterval(50);
    connect(ReadAgainTimer, &QTimer::timeout, this,
            [this] { RunGuarded([this] { ReadAgainTimerTimer(ReadAgainTimer); }); });

    const QSize minClient = MinimumClientSize();
    setMinimumSize(minClient.width(), minClient.height() + MenuHeight());
    LayoutControls();
    FitToScreen();
    // The designed colours, whatever the desktop's palette; also for the
    // windows this one opens.
    DesignTheme::Watch(this);
    ValueWatch = new TValueWatch(this);
    RegisterTools = new TRegisterTools(this);
    Recovery = new TLinkRecovery(this);
    StaleMarkingCreate();
    new TWriteAnyMenu(this);
    new TBusMonitorEntry(this);
    PollWindows = new TPollWindows(this);
    new TWorkspaceMenu(this);
    RunGuarded([this] { FormCreate(this); });
}

TfrmModbusMaster::~TfrmModbusMaster()
{
    RunGuarded([this] { StorageSave(false); });
    // The poll windows and the link's scheduler go before the engine.
    delete PollWindows;
    PollWindows = nullptr;
    Scheduler = nullptr;
    // The engine goes first, with its events cut off, so that nothing it
    // reports while closing its port reaches controls already destroyed.
    if (mdb) {
        mdb->OnConnect = nullptr;
        mdb->OnDisconnect = nullptr;
        mdb->OnError = nullptr;
        mdb->OnChangeState = nullptr;
        mdb->OnReadCoils = nullptr;
        mdb->OnReadDiscreteInputs = nullptr;
        mdb->OnReadHoldingRegs = nullptr;
        mdb->OnReadInputRegs = nullptr;
        mdb->OnWriteSingleReg = nullptr;
        mdb->OnWriteMultiRegs = nullptr;
        mdb->OnWriteSingleCoil = nullptr;
        mdb->OnWriteMultiCoils = nullptr;
        mdb->OnSendData = nullptr;
        mdb->OnReceiveData = nullptr;
        delete mdb;
        mdb = nullptr;
    }
}

void TfrmModbusMaster::CreateControls()
{
    auto place = [](QWidget* w, const char* name, int x, int y, int width, int height = kStdHeight) {
        w->setObjectName(QLatin1String(name));
        w->setGeometry(x, y, width, height);
    };
    auto edit = [&](QWidget* parent, const char* name, const char* caption, int x, int y, int width,
                    const char* text, int maxLen) {
        auto* e = new TLabeledEdit(QString::fromUtf8(caption), parent);
        place(e, name, x, y, width);
        e->EditLabel()->setObjectName(QLatin1String(name) + QStringLiteral("_Label"));
        e->setText(QString::fromUtf8(text));
        e->setMaxLength(maxLen);
        paintInput(e);
        return e;
    };
    auto button = [&](QWidget* parent, const char* name, const char* caption, int x, int y, int w, int h) {
        auto* b = new QPushButton(QString::fromUtf8(caption), parent);
        place(b, name, x, y, w, h);
        b->setAutoDefault(false);
        return b;
    };
    auto label = [&](QWidget* parent, const char* name, const char* caption, int x, int y) {
        auto* l = new QLabel(QString::fromUtf8(caption), parent);
        l->setObjectName(QLatin1String(name));
        l->adjustSize();
        l->move(x, y);
        return l;
    };

    // ---- Settings -----------------------------------------------------------
    gbSettings = new TGroupBox(QStringLiteral("Settings:"), Client);
    place(gbSettings, "gbSettings", 8, 0, 906, 93);
    rgModbusMode = new TRadioGroup(QStringLiteral("Modbus mode:"),
                                   {QStringLiteral("RTU over Serial"), QStringLiteral("RTU over TCP"), QStringLiteral("TCP")},
                                   gbSettings);
    place(rgModbusMode, "rgModbusMode", 14, 17, 135, 69);
    rgModbusMode->SetItemIndex(2);
    leIP = edit(gbSettings, "leIP", "IP:", 192, 24, 121, "192.168.0.115", 15);
    lePort = edit(gbSettings, "lePort", "Port:", 192, 48, 121, "502", 5);
    leCOM = edit(gbSettings, "leCOM", "COM:", 360, 24, 65, "1", 3);
    leSpeed = edit(gbSettings, "leSpeed", "Speed:", 360, 48, 65, "9600", 7);
    leParity = edit(gbSettings, "leParity", "Parity:", 480, 24, 65, "E", 1);
    leDataBits = edit(gbSettings, "leDataBits", "Data Bits:", 480, 48, 65, "8", 1);
    leStopBits = edit(gbSettings, "leStopBits", "Stop Bits:", 600, 24, 65, "1", 1);
    btnConnect = button(gbSettings, "btnConnect", "Connect", 678, 22, 75, 25);
    btnDisconnect = button(gbSettings, "btnDisconnect", "Disconnect", 678, 46, 75, 25);
    btnDisconnect->setEnabled(false);

    // ---- Data -----------------------------------------------------------------
    gbData = new TGroupBox(QStringLiteral("Data:"), Client);
    place(gbData, "gbData", 8, 92, 906, 425);
    paintBackground(gbData, kBackground);
    leSlaveID = edit(gbData, "leSlaveID", "Slave ID:", 64, 24, 65, "1", 3);
    lblFunc = label(gbData, "lblFunc", "Modbus Function:", 144, 27);
    cbFunc = new TDesignedComboBox(gbData);
    place(cbFunc, "cbFunc", 235, 24, 174);
    cbFunc->addItems({QStringLiteral("01: Read Coil Status"), QStringLiteral("02: Read Input Status"),
                      QStringLiteral("03: Read Holding Registers"), QStringLiteral("04: Read Input Registers")});
    cbFunc->setCurrentIndex(2);
    connect(cbFunc, &QComboBox::currentTextChanged, this, [this] { FFuncChoice = -2; });
    paintInput(cbFunc);
    leStartAddress = edit(gbData, "leStartAddress", "Start Address:", 496, 24, 65, "1", 5);
    leLength = edit(gbData, "leLength", "Length:", 648, 24, 65, "1", 3);
    connect(leStartAddress, &QLineEdit::textChanged, this, [this] { FReadAddressField.reset(); });
    connect(leLength, &QLineEdit::textChanged, this, [this] { FReadCountField.reset(); });
    sgData = new TStringGrid(gbData);
    place(sgData, "sgData", 14, 64, 795, 326);
    sgData->SetColCount(9);
    sgData->SetRowCount(2);
    sgData->SetFixedRows(1);
    sgData->SetFixedCols(1);
    FGridView.SetGrid(sgData);
    FGridView.Old = [this](int col, int row, int span) { return CellIsOld(col, row, span); };
    btnRead = button(gbData, "btnRead", "Read", 823, 64, 75, 25);
    cbRealTime = new QCheckBox(QStringLiteral("Real time"), gbData);
    place(cbRealTime, "cbRealTime", 823, 95, 71, 17);
    lblSettings = label(gbData, "lblSettings", "Load settings:", 14, 399);
    cbSettings = new TDesignedComboBox(gbData);
    place(cbSettings, "cbSettings", 88, 396, 145);
    paintInput(cbSettings);
    btnLoadSettings = button(gbData, "btnLoadSettings", "Load Settings", 239, 392, 88, 25);
    btnSaveSettings = button(gbData, "btnSaveSettings", "Save Settings", 337, 392, 88, 25);

    // ---- Communication log ------------------------------------------------------
    gbComm = new TGroupBox(QStringLiteral("Communication Log:"), Client);
    place(gbComm, "gbComm", 8, 518, 906, 172);
    REComm = new TCommLog(gbComm);
    place(REComm, "REComm", 3, 15, 900, 155);
    REComm->setFont(pixelFont(QStringLiteral("Courier New"), 11));

    // ---- Status bar -------------------------------------------------------------
    sBar = new TStatusBar(Client);
    place(sBar, "sBar", 0, DesignHeight - 19, DesignWidth, 19);
    paintBackground(sBar, kBackground);
    sBar->AddPanel(200, Qt::AlignLeft);
    sBar->AddPanel(100, Qt::AlignRight);
    sBar->AddPanel(100, Qt::AlignRight);
    sBar->AddPanel(100, Qt::AlignRight);
    sBar->AddPanel(50, Qt::AlignLeft);

    // ---- handlers -----------------------------------------------------------------
    auto clicked = [this](QPushButton* b, void (TfrmModbusMaster::*h)(QObject*)) {
        connect(b, &QPushButton::clicked, this, [this, b, h] { RunGuarded([this, b, h] { (this->*h)(b); }); });
    };
    clicked(btnConnect, &TfrmModbusMaster::btnConnectClick);
    clicked(btnDisconnect, &TfrmModbusMaster::btnDisconnectClick);
    clicked(btnRead, &TfrmModbusMaster::btnReadClick);
    clicked(btnLoadSettings, &TfrmModbusMaster::btnLoadSettingsClick);
    clicked(btnSaveSettings, &TfrmModbusMaster::btnSaveSettingsClick);

    auto keyPress = [this](TLabeledEdit* e, void (TfrmModbusMaster::*h)(QObject*, QChar&)) {
        e->OnKeyPress = [this, h](QObject* s, QChar& k) {
            if (!RunGuarded([this, h, s, &k] { (this->*h)(s, k); }))
                k = QChar(0);
        };
    };
    keyPress(leIP, &TfrmModbusMaster::leIPKeyPress);
    keyPress(lePort, &TfrmModbusMaster::lePortKeyPress);
    keyPress(leCOM, &TfrmModbusMaster::leCOMKeyPress);
    keyPress(leSpeed, &TfrmModbusMaster::leCOMKeyPress);
    keyPress(leParity, &TfrmModbusMaster::leParityKeyPress);
    keyPress(leDataBits, &TfrmModbusMaster::leDataBitsKeyPress);
    keyPress(leStopBits, &TfrmModbusMaster::leStopBitsKeyPress);
    keyPress(leSlaveID, &TfrmModbusMaster::leCOMKeyPress);
    keyPress(leStartAddress, &TfrmModbusMaster::leStartAddressKeyPress);
    keyPress(leLength, &TfrmModbusMaster::leLengthKeyPress);
    leCOM->OnContextMenu = [this](QMenu* menu) {
        menu->addSeparator();
        QAction* a = menu->addAction(QStringLiteral("Serial ports..."));
        a->setObjectName(QStringLiteral("actSerialPorts"));
        connect(a, &QAction::triggered, this, [this] { RunGuarded([this] { ShowSerialPorts(); }); });
    };
    // The speed box is a digits-only box in its own right, also for pasted text.
    leSpeed->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), leSpeed));

    leStartAddress->OnKeyUp = [this](QObject* s, int& k, Qt::KeyboardModifiers m) {
        RunGuarded([&] { leStartAddressKeyUp(s, k, m); });
    };
    leLength->OnKeyUp = [this](QObject* s, int& k, Qt::KeyboardModifiers m) {
        RunGuarded([&] { leLengthKeyUp(s, k, m); });
    };
    leLength->OnExit = [this](QObject* s) { RunGuarded([&] { leLengthExit(s); }); };

    sgData->OnDrawCell = [this](TStringGrid* g, QPainter& c, int col, int row, const QRect& r) {
        // Painting must never open a box; a failing cell stays as painted so far.
        try {
            sgDataDrawCell(g, c, col, row, r);
        } catch (...) {
        }
    };
    sgData->OnMouseDown = [this](TStringGrid* g, Qt::MouseButton b, Qt::KeyboardModifiers m, int x, int y) {
        RunGuarded([&] { sgDataMouseDown(g, b, m, x, y); });
    };
    sgData->OnDblClick = [this](TStringGrid* g, int col, int row) { RunGuarded([&] { sgDataDblClick(g, col, row); }); };
    sgData->OnContextPopup = [this](TStringGrid* g, const QPoint& pos) {
        RunGuarded([&] { sgDataContextPopup(g, pos); });
    };
    // A copy gives the cells as drawn.
    sgData->OnCopyText = [this](int col, int row) { return CellDisplayText(col, row); };
    REComm->OnChange = [this](QObject* s) { RunGuarded([&] { RECommChange(s); }); };
}

void TfrmModbusMaster::WireEngine()
{
    mdb->OnConnect = [this](QObject* s) { RunGuarded([&] { mdbConnect(s); }); };
    mdb->OnDisconnect = [this](QObject* s) { RunGuarded([&] { mdbDisconnect(s); }); };
    mdb->OnError = [this](QObject* s, int32_t code) { RunGuarded([&] { mdbError(s, code); }); };
    mdb->OnReadCoils = [this](QObject* s, uint8_t id, uint16_t a, uint16_t n, const std::vector<bool>& d) {
        RunGuarded([&] { mdbReadCoils(s, id, a, n, d); });
    };
    mdb->OnReadDiscreteInputs = [this](QObject* s, uint8_t id, uint16_t a, uint16_t n, const std::vector<uint8_t>& d) {
        RunGuarded([&] { mdbReadDiscreteInputs(s, id, a, n, d); });
    };
    mdb->OnReadHoldingRegs = [this](QObject* s, uint8_t id, uint16_t a, uint16_t n, const std::vector<uint8_t>& d) {
        RunGuarded([&] { mdbReadHoldingRegs(s, id, a, n, d); });
    };
    mdb->OnReadInputRegs = [this](QObject* s, uint8_t id, uint16_t a, uint16_t n, const std::vector<uint8_t>& d) {
        RunGuarded([&] { mdbReadInputRegs(s, id, a, n, d); });
    };
    // Not designed events: the acknowledgements of the writes from the grid.
    for (TNotifyEvent* e : {&mdb->OnWriteSingleReg, &mdb->OnWriteMultiRegs, &mdb->OnWriteSingleCoil,
                            &mdb->OnWriteMultiCoils})
        *e = [this](QObject* s) { RunGuarded([&] { mdbWriteDone(s); }); };
    mdb->OnSendData = [this](QObject* s, const void* b, int32_t n) { RunGuarded([&] { mdbSendData(s, b, n); }); };
    mdb->OnReceiveData = [this](QObject* s, const uint8_t* b, int32_t n) {
        RunGuarded([&] { mdbReceiveData(s, b, n); });
    };
    // Not a designed event: it lets the window notice a link the transport
    // lost without a disconnect report (see CheckLinkLost).
    // Raised several times a poll; only a return to msNone while the window
    // shows a link needs the handler.
    mdb->OnChangeState = [this](QObject* s) {
        if (FLinkUp && mdb->GetState() == msNone)
            RunGuarded([&] { mdbChangeState(s); });
    };
    WatchPortErrors();
}

void TfrmModbusMaster::FormCreate(QObject*)
{
    if (!TfrmSplash::Instance()) {
        TfrmSplash* splash = TfrmSplash::CreateInstance();
        splash->exec();
    }
    StorageCreate();
    SetOptions(TTesterOptions::Load(OptionsFileName()), false);
    UpdateRowColors();
    SetupGridHeader();
    FillAddresses();
    LoadSettingsList();
    sBar->SetPanelText(1, QStringLiteral("Polls: 0"));
    sBar->SetPanelText(2, QStringLiteral("Responses: 0"));
    sBar->SetPanelText(3, QStringLiteral("Errors: 0"));
    for (auto& shown : FCountersShown)
        shown = 0;
}

void TfrmModbusMaster::SetupGridHeader() { FGridView.SetupHeader(); }

void TfrmModbusMaster::ShowCounters()
{
    // A poll moves one counter; only its panel is told, and the panel puts
    // its text together when it is painted.
    auto show = [this](int panel, QLatin1StringView label, int32_t value) {
        std::optional<int32_t>& shown = FCountersShown[panel - 1];
        if (shown == value)
            return;
        shown = value;
        sBar->SetPanelNumber(panel, label, value);
    };
    show(1, QLatin1StringView("Polls: "), FPolls);
    show(2, QLatin1StringView("Responses: "), FResponses);
    show(3, QLatin1StringView("Errors: "), FErrors);
}

void TfrmModbusMaster::showEvent(QShowEvent* e)
{
    QWidget::showEvent(e);
    if (!FShownOnce && !e->spontaneous()) {
        FShownOnce = true;
        RunGuarded([this] { StorageRestore(); });
        emit SettingsRestored();
    }
}

void TfrmModbusMaster::closeEvent(QCloseEvent* e)
{
    // Closing asks nothing, also while connected.
    RunGuarded([this] { StorageSave(true); });
    e->accept();
}

void TfrmModbusMaster::resizeEvent(QResizeEvent* e)
{
    QWidget::resizeEvent(e);
    MainMenu->setGeometry(0, 0, width(), MenuHeight());
    if (ClientScroll) {
        // The client area is laid out when the scroll area resizes it.
        ClientScroll->setGeometry(0, MenuHeight(), width(), std::max(0, height() - MenuHeight()));
        return;
    }
    Client->setGeometry(0, MenuHeight(), width(), std::max(0, height() - MenuHeight()));
    LayoutControls();
}

void TfrmModbusMaster::LayoutControls()
{
    // Every control keeps the distances of the designed 922 x 712 layout to
    // the edges it is anchored to.
    const int dw = Client->width() - DesignWidth;
    const int dh = Client->height() - DesignHeight;
    auto nn = [](int v) { return v < 0 ? 0 : v; };

    gbSettings->setGeometry(8, 0, nn(906 + dw), 93);
    gbData->setGeometry(8, 92, nn(906 + dw), nn(425 + dh));
    gbComm->setGeometry(8, 518 + dh, nn(906 + dw), 172);
    sBar->setGeometry(0, Client->height() - 19, Client->width(), 19);

    sgData->setGeometry(14, 64, nn(795 + dw), nn(326 + dh));
    btnRead->move(823 + dw, 64);
    cbRealTime->move(823 + dw, 95);
    lblSettings->move(14, 399 + dh);
    cbSettings->move(88, 396 + dh);
    btnLoadSettings->move(239, 392 + dh);
    btnSaveSettings->move(337, 392 + dh);

    REComm->setGeometry(3, 15, nn(900 + dw), 155);
}

QSize TfrmModbusMaster::MinimumClientSize() const
{
    // Width: the settings group still holds its right-most control with the
    // margin it has on its left (the groups keep 8 pixels to the window's
    // edges).
    const int groupMargin = 8;
    const int width = gbSettings->x() + btnConnect->geometry().right() + 1 + groupMargin + (DesignWidth - 8 - 906);
    // Height: the grid shows its header and three rows under a horizontal
    // scroll bar (the columns are wider than the grid at that width).
    const int extent = sgData->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, sgData);
    const int pitch = sgData->DefaultRowHeight() + (sgData->HorzLines ? 1 : 0);
    const int gridHeight = 2 * sgData->frameWidth() + (sgData->FixedRows() + 3) * pitch + extent;
    const int height = DesignHeight - 326 + gridHeight;
    return QSize(width, height);
}
