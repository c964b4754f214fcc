// SPDX-License-Identifier: GPL-3.0-or-later
// The bus monitor window.
#include "BusMonitorWindow.h"

#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QScrollBar>
#include <QSocketNotifier>
#include <QSerialPortInfo>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTableView>
#include <QTableWidget>
#include <QVBoxLayout>

#include "AppErrors.h"
#include "EventFormat.h"
#include "FrameText.h"
#include "PcapWriter.h"
#include "StringGrid.h"
#include "ValueDecoding.h"
#include "uMaster.h"

using zorp::monitor::BusEvent;
using zorp::monitor::MonitorSession;

namespace {
constexpr int kTurnMs = 20;
const QString kAllUnits = QStringLiteral("All units");
const QString kAllFunctions = QStringLiteral("All functions");
const QString kGridType = QStringLiteral("As in the grid");

QTableWidget* MakeTable(const QStringList& headers, const std::vector<int>& widths, QWidget* parent)
{
    auto* t = new QTableWidget(0, int(headers.size()), parent);
    t->setWordWrap(false);
    for (size_t c = 0; c < widths.size(); ++c) t->setColumnWidth(int(c), widths[c]);
    t->setHorizontalHeaderLabels(headers);
    t->setEditTriggers(QAbstractItemView::NoEditTriggers);
    t->verticalHeader()->setVisible(false);
    t->horizontalHeader()->setStretchLastSection(true);
    return t;
}

void SetRow(QTableWidget* t, int row, const QStringList& cells)
{
    for (int c = 0; c < cells.size(); ++c) {
        QTableWidgetItem* it = t->item(row, c);
        if (!it) t->setItem(row, c, it = new QTableWidgetItem);
        if (it->text() != cells[c]) it->setText(cells[c]);
    }
}

QString Ms(int64_t ns) { return ns < 0 ? QStringLiteral("-") : QString::number(double(ns) / 1e6, 'f', 3); }

// Inserts a numeric entry into a filter box in order, once.
void AddChoice(QComboBox* box, int value, const QString& text)
{
    for (int i = 1; i < box->count(); ++i) {
        const int v = box->itemData(i).toInt();
        if (v == value) return;
        if (v > value) {
            box->insertItem(i, text, value);
            return;
        }
    }
    box->addItem(text, value);
}
} // namespace

TfrmBusMonitor::TfrmBusMonitor(TfrmModbusMaster* owner) : QWidget(owner, Qt::Window), FOwner(owner)
{
    setObjectName(QStringLiteral("frmBusMonitor"));
    setWindowTitle(QStringLiteral("Bus monitor"));
    resize(1080, 600);
    auto* root = new QVBoxLayout(this);

    // Where to listen.
    auto* source = new QHBoxLayout;
    cbSource = new QComboBox(this);
    cbSource->addItems({QStringLiteral("Serial port"), QStringLiteral("Modbus TCP relay")});
    source->addWidget(cbSource);
    FSourcePages = new QStackedWidget(this);
    auto* serial = new QWidget(FSourcePages);
    auto* sl = new QHBoxLayout(serial);
    sl->setContentsMargins(0, 0, 0, 0);
    cbDevice = new QComboBox(serial);
    cbDevice->setEditable(true);
    cbDevice->setMinimumWidth(180);
    for (const QSerialPortInfo& p : QSerialPortInfo::availablePorts()) cbDevice->addItem(p.systemLocation());
    cbBaud = new QComboBox(serial);
    cbBaud->setEditable(true);
    for (int b : {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 460800, 921600})
        cbBaud->addItem(QString::number(b));
    cbBaud->setCurrentText(QStringLiteral("9600"));
    cbParity = new QComboBox(serial);
    cbParity->addItems({QStringLiteral("None"), QStringLiteral("Even"), QStringLiteral("Odd")});
    cbStopBits = new QComboBox(serial);
    cbStopBits->addItems({QStringLiteral("1"), QStringLiteral("2")});
    sl->addWidget(new QLabel(QStringLiteral("Device"), serial));
    sl->addWidget(cbDevice, 1);
    sl->addWidget(new QLabel(QStringLiteral("Baud"), serial));
    sl->addWidget(cbBaud);
    sl->addWidget(new QLabel(QStringLiteral("Parity"), serial));
    sl->addWidget(cbParity);
    sl->addWidget(new QLabel(QStringLiteral("Stop bits"), serial));
    sl->addWidget(cbStopBits);
    auto* relay = new QWidget(FSourcePages);
    auto* rl = new QHBoxLayout(relay);
    rl->setContentsMargins(0, 0, 0, 0);
    edListen = new QLineEdit(QStringLiteral("127.0.0.1:1502"), relay);
    edListen->setToolTip(QStringLiteral("[ADDRESS:]PORT the masters connect to"));
    edTarget = new QLineEdit(QStringLiteral("127.0.0.1:502"), relay);
    edTarget->setToolTip(QStringLiteral("HOST:PORT of the slave"));
    rl->addWidget(new QLabel(QStringLiteral("Listen on"), relay));
    rl->addWidget(edListen, 1);
    rl->addWidget(new QLabel(QStringLiteral("Slave"), relay));
    rl->addWidget(edTarget, 1);
    FSourcePages->addWidget(serial);
    FSourcePages->addWidget(relay);
    source->addWidget(FSourcePages, 1);
    btnStart = new QPushButton(QStringLiteral("Start"), this);
    source->addWidget(btnStart);
    root->addLayout(source);
    connect(cbSource, &QComboBox::currentIndexChanged, FSourcePages, &QStackedWidget::setCurrentIndex);
    connect(btnStart, &QPushButton::clicked, this, [this] { RunGuarded([this] { StartClicked(); }); });

    // Filters and saving.
    auto* bar = new QHBoxLayout;
    cbUnit = new QComboBox(this);
    cbUnit->addItem(kAllUnits, -1);
    cbFunction = new QComboBox(this);
    cbFunction->addItem(kAllFunctions, -1);
    cbType = new QComboBox(this);
    cbType->addItem(kGridType);
    cbType->addItems(ValueDecoding::DataTypeNames());
    cbType->setToolTip(QStringLiteral("The data type the Values tab decodes the registers with"));
    btnSaveCsv = new QPushButton(QStringLiteral("Save CSV..."), this);
    btnSaveCapture = new QPushButton(QStringLiteral("Save capture..."), this);
    btnSaveCapture->setToolTip(QStringLiteral("A pcap file; RTU frames decode in Wireshark with Decode As: UDP port 502, Modbus RTU"));
    bar->addWidget(new QLabel(QStringLiteral("Show"), this));
    bar->addWidget(cbUnit);
    bar->addWidget(cbFunction);
    bar->addSpacing(12);
    bar->addWidget(new QLabel(QStringLiteral("Values as"), this));
    bar->addWidget(cbType);
    bar->addStretch(1);
    bar->addWidget(btnSaveCsv);
    bar->addWidget(btnSaveCapture);
    root->addLayout(bar);
    connect(cbUnit, &QComboBox::currentIndexChanged, this, [this] { FilterChanged(); });
    connect(cbFunction, &QComboBox::currentIndexChanged, this, [this] { FilterChanged(); });
    connect(cbType, &QComboBox::currentIndexChanged, this, [this] { RefreshTables(); });
    connect(btnSaveCsv, &QPushButton::clicked, this, [this] {
        RunGuarded([this] {
            const QString f = QFileDialog::getSaveFileName(this, QStringLiteral("Save frames as CSV"), QString(),
                                                           QStringLiteral("CSV files (*.csv)"));
            if (!f.isEmpty()) SaveCsv(f);
        });
    });
    connect(btnSaveCapture, &QPushButton::clicked, this, [this] {
        RunGuarded([this] {
            const QString f = QFileDialog::getSaveFileName(this, QStringLiteral("Save frames as a capture"), QString(),
                                                           QStringLiteral("Capture files (*.pcap)"));
            if (!f.isEmpty()) SaveCapture(f);
        });
    });

    // Frames, figures, values.
    tabs = new QTabWidget(this);
    Frames = new TBusFrameModel(this);
    Filter = new TBusFrameFilter(this);
    Filter->setSourceModel(Frames);
    tvFrames = new QTableView(tabs);
    tvFrames->setModel(Filter);
    tvFrames->verticalHeader()->setVisible(false);
    tvFrames->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
    tvFrames->setWordWrap(false);
    tvFrames->horizontalHeader()->setStretchLastSection(false);
    tvFrames->setSelectionBehavior(QAbstractItemView::SelectRows);
    const int widths[] = {50, 125, 120, 40, 210, 320, 70, 100};
    for (int c = 0; c < TBusFrameModel::colCount; ++c) tvFrames->setColumnWidth(c, widths[c]);
    twStats = MakeTable({"Unit", "Function", "Requests", "Answers", "Exceptions", "Unanswered", "Min ms", "Median ms",
                         "95% ms", "Max ms"},
                        {50, 240, 80, 80, 80, 80, 80, 80, 80}, tabs);
    for (int c = 6; c < 10; ++c)
        twStats->horizontalHeaderItem(c)->setToolTip(
            QStringLiteral("The slave's response time. An answer that came in one block with its request "
                           "(no silence between them seen) has none measured and is left out."));
    twValues = MakeTable({"Unit", "Function", "Address", "Data type", "Value", "Raw", "Read at"},
                         {50, 70, 70, 280, 180, 70}, tabs);
    tabs->addTab(tvFrames, QStringLiteral("Frames"));
    tabs->addTab(twStats, QStringLiteral("Statistics"));
    tabs->addTab(twValues, QStringLiteral("Values"));
    root->addWidget(tabs, 1);
    lblStatus = new QLabel(QStringLiteral("Not listening."), this);
    root->addWidget(lblStatus);

    connect(&FTimer, &QTimer::timeout, this, [this] { RunGuarded([this] { Tick(); }); });
    connect(&FRefresh, &QTimer::timeout, this, [this] { RunGuarded([this] { RefreshTables(); }); });
}

TfrmBusMonitor::~TfrmBusMonitor() { FSession.reset(); }

void TfrmBusMonitor::closeEvent(QCloseEvent* e)
{
    // Closing the window stops listening (a relay would otherwise keep its masters).
    Stop();
    e->accept();
}

void TfrmBusMonitor::StartClicked()
{
    if (Running()) Stop();
    else Start();
}

void TfrmBusMonitor::Heard(const BusEvent& e)
{
    FStats.Add(e);
    FValues.Add(e);
    if (e.kind != BusEvent::Kind::Fault) {
        AddChoice(cbUnit, e.unit, QStringLiteral("Unit %1").arg(e.unit));
        const int fc = e.function & 0x7F;
        AddChoice(cbFunction, fc, QStringLiteral("%1 %2").arg(fc).arg(QString::fromStdString(zorp::monitor::FunctionName(uint8_t(fc)))));
    }
    FPending.push_back(e);
    FTablesStale = true;
}

void TfrmBusMonitor::Start()
{
    if (Running()) return;
    auto session = std::make_unique<MonitorSession>([this](const BusEvent& e) { Heard(e); });
    bool ok = false;
    if (cbSource->currentIndex() == 0) {
        zorp::monitor::TapSettings s;
        s.path = cbDevice->currentText().trimmed().toStdString();
        bool baudOk = false;
        s.baud = cbBaud->currentText().trimmed().toInt(&baudOk);
        if (!baudOk || s.baud <= 0) throw EAppError(QStringLiteral("The baud rate must be a number"));
        s.parity = "NEO"[cbParity->currentIndex()];
        s.stopBits = cbStopBits->currentIndex() + 1;
        ok = session->OpenSerial(s, {});
    } else {
        ok = session->OpenProxy(edListen->text().trimmed().toStdString(), edTarget->text().trimmed().toStdString());
    }
    if (!ok) throw EAppError(QString::fromStdString(session->Error()));
    FSession = std::move(session);
    // Bytes from a serial port are read as they come, so that their
    // arrival times (the frames' gaps and turnarounds) are the port's and
    // not the timer's.
    for (int fd : FSession->Taps()) {
        auto* n = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(n, &QSocketNotifier::activated, this, [this] { RunGuarded([this] { Tick(); }); });
        FNotifiers.push_back(n);
    }
    lblStatus->setText(QStringLiteral("Listening on %1.").arg(QString::fromStdString(FSession->Where().front())));
    btnStart->setText(QStringLiteral("Stop"));
    cbSource->setEnabled(false);
    FSourcePages->setEnabled(false);
    FTimer.start(kTurnMs);
    FRefresh.start(1000);
}

void TfrmBusMonitor::Stop()
{
    if (!FSession) return;
    FTimer.stop();
    FRefresh.stop();
    for (QSocketNotifier* n : FNotifiers) delete n;
    FNotifiers.clear();
    FSession->Finish();
    FSession.reset();
    Frames->Append(FPending);
    RefreshTables();
    btnStart->setText(QStringLiteral("Start"));
    cbSource->setEnabled(true);
    FSourcePages->setEnabled(true);
    lblStatus->setText(QStringLiteral("Stopped: %1 frames, %2 answers paired, %3 unanswered requests.")
                           .arg(FStats.Frames())
                           .arg(FStats.Paired())
                           .arg(FStats.Unanswered()));
}

void TfrmBusMonitor::Tick()
{
    if (!FSession) return;
    if (!FSession->Turn(0)) {
        const QString why = QString::fromStdString(FSession->Error());
        Stop();
        throw EAppError(why);
    }
    if (FPending.empty()) return;
    // The view follows new frames unless the user scrolled up.
    const QScrollBar* sb = tvFrames->verticalScrollBar();
    const bool atEnd = sb->value() >= sb->maximum() - 1;
    Frames->Append(FPending);
    if (atEnd) tvFrames->scrollToBottom();
    lblStatus->setText(QStringLiteral("Listening on %1: %2 frames, %3 answers paired, %4 unanswered, %5 faults.")
                           .arg(QString::fromStdString(FSession->Where().front()))
                           .arg(FStats.Frames())
                           .arg(FStats.Paired())
                           .arg(FStats.Unanswered())
                           .arg(FStats.Faults(zorp::framing::Fault::BadCrc) + FStats.Faults(zorp::framing::Fault::Noise) +
                                FStats.Faults(zorp::framing::Fault::BadLength) + FStats.Faults(zorp::framing::Fault::BadHeader)));
}

void TfrmBusMonitor::FilterChanged()
{
    Filter->SetFilter(cbUnit->currentData().toInt(), cbFunction->currentData().toInt());
    RefreshTables();
}

QString TfrmBusMonitor::GridTypeAt(int address) const
{
    if (!FOwner || !FOwner->sgData) return {};
    const TStringGrid* g = FOwner->sgData;
    for (int r = 1; r < g->RowCount(); ++r)
        if (g->Cells(0, r).trimmed() == QString::number(address)) return g->Cells(1, r);
    return {};
}

QString TfrmBusMonitor::ValueText(const TBusValues::Key& key) const
{
    const auto& all = FValues.All();
    const auto it = all.find(key);
    if (it == all.end()) return {};
    if (key.function == 1 || key.function == 2) return QString::number(it->second.word);
    const QString name = cbType->currentIndex() == 0 ? GridTypeAt(key.address) : cbType->currentText();
    const TDataTypeInfo* type = ValueDecoding::FindDataType(name);
    if (!type) type = ValueDecoding::FindDataType(u"UInt16 (Word) AABB");
    if (!type) return QString::number(it->second.word);
    const uint16_t w = it->second.word;
    const ValueDecoding::TRawTexts raw = ValueDecoding::RegisterRawTexts(uint8_t(w >> 8), uint8_t(w));
    switch (type->Format) {
    case TTypeFormat::RawHex: return raw.Hex;
    case TTypeFormat::RawBin: return raw.Bin;
    case TTypeFormat::RawBytes: return raw.Bytes;
    case TTypeFormat::RawAscii: return ValueDecoding::AsciiDisplayText(raw.Ascii);
    case TTypeFormat::Bit: return QString();
    default: break;
    }
    // A value spanning registers needs them all from the master's reads.
    QString hex[4];
    for (int k = 0; k < type->Rows; ++k) {
        const auto r = all.find({key.unit, key.function, uint16_t(key.address + k)});
        if (r == all.end() || key.address + k > 0xFFFF) return QStringLiteral("(needs %1 registers)").arg(type->Rows);
        hex[k] = ValueDecoding::RegisterRawTexts(uint8_t(r->second.word >> 8), uint8_t(r->second.word)).Hex;
    }
    QStringView views[4] = {hex[0], hex[1], hex[2], hex[3]};
    return ValueDecoding::DecodeValue(*type, views);
}

void TfrmBusMonitor::RefreshTables()
{
    FTablesStale = false;
    const int unit = cbUnit->currentData().toInt(), function = cbFunction->currentData().toInt();
    int row = 0;
    for (const auto& [key, s] : FStats.PerUnit()) {
        const int u = key >> 8, f = key & 0xFF;
        if ((unit >= 0 && u != unit) || (function >= 0 && f != function)) continue;
        if (row >= twStats->rowCount()) twStats->setRowCount(row + 1);
        SetRow(twStats, row++,
               {QString::number(u), QStringLiteral("%1 %2").arg(f).arg(QString::fromStdString(zorp::monitor::FunctionName(uint8_t(f)))),
                QString::number(s.requests), QString::number(s.answers), QString::number(s.exceptions),
                QString::number(s.unanswered), Ms(s.Percentile(0)), Ms(s.Percentile(50)), Ms(s.Percentile(95)),
                Ms(s.Percentile(100))});
    }
    twStats->setRowCount(row);
    row = 0;
    for (const auto& [key, v] : FValues.All()) {
        if ((unit >= 0 && key.unit != unit) || (function >= 0 && key.function != function)) continue;
        if (row >= twValues->rowCount()) twValues->setRowCount(row + 1);
        const QString typeName = key.function <= 2 ? QStringLiteral("BIT")
                                 : cbType->currentIndex() == 0 ? GridTypeAt(key.address)
                                                               : cbType->currentText();
        SetRow(twValues, row++,
               {QString::number(key.unit), QString::number(key.function), QString::number(key.address),
                typeName.isEmpty() ? QStringLiteral("UInt16 (Word) AABB") : typeName, ValueText(key),
                ValueDecoding::RegisterRawTexts(uint8_t(v.word >> 8), uint8_t(v.word)).Hex,
                QString::fromStdString(zorp::monitor::TimeStamp(v.wallNs)).mid(11)});
    }
    twValues->setRowCount(row);
}

void TfrmBusMonitor::SaveCsv(const QString& path) const
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        throw EAppError(QStringLiteral("Cannot write %1: %2").arg(path, f.errorString()));
    std::string out = zorp::monitor::CsvHeader();
    for (const BusEvent& e : Frames->Events()) out += zorp::monitor::FormatEvent(e, zorp::monitor::Format::Csv);
    if (f.write(out.data(), qint64(out.size())) != qint64(out.size()))
        throw EAppError(QStringLiteral("Cannot write %1: %2").arg(path, f.errorString()));
}

void TfrmBusMonitor::SaveCapture(const QString& path) const
{
    zorp::monitor::PcapWriter w;
    if (!w.Open(path.toStdString())) throw EAppError(QStringLiteral("Cannot write %1").arg(path));
    for (const BusEvent& e : Frames->Events()) w.Write(e);
}

TBusMonitorEntry::TBusMonitorEntry(TfrmModbusMaster* owner) : QObject(owner), FOwner(owner)
{
    setObjectName(QStringLiteral("BusMonitorEntry"));
    auto* act = new QAction(QStringLiteral("Bus monitor"), this);
    act->setObjectName(QStringLiteral("actBusMonitor"));
    connect(act, &QAction::triggered, this, [this] {
        RunGuarded([this] {
            TfrmBusMonitor* w = Window();
            w->show();
            w->raise();
            w->activateWindow();
        });
    });
    if (QMenu* view = owner->ExtensionMenu(QStringLiteral("View"))) view->addAction(act);
}

TfrmBusMonitor* TBusMonitorEntry::Window()
{
    if (!FWindow) FWindow = new TfrmBusMonitor(FOwner);
    return FWindow;
}
