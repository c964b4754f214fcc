// SPDX-License-Identifier: GPL-3.0-or-later
#include "SimulatorWindow.h"

#include <QApplication>
#include <QComboBox>
#include <QDateTime>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QSplitter>
#include <QTableWidget>
#include <QVBoxLayout>

#include "AppErrors.h"
#include "CommPort.h"
#include "SerialPorts.h"
#include "ValueAliases.h"
#include "ValueEncoding.h"
#include "VexaModbus.h"

using zorp::sim::Table;

namespace {

enum Column { colAddress, colType, colValue, colDescription };
const QColor kWritten(255, 236, 150); // entries a master wrote

const TDataTypeInfo* TypeOf(const QString& alias)
{
    const TDataTypeInfo* t = ValueDecoding::FindDataTypeOrAlias(alias);
    return t ? t : ValueDecoding::FindDataTypeOrAlias(u"u16");
}

} // namespace

TfrmSimulator::TfrmSimulator(QWidget* parent) : QMainWindow(parent, Qt::Window)
{
    setObjectName(QStringLiteral("frmSimulator"));
    setWindowTitle(QStringLiteral("ZORP simulator"));
    setAttribute(Qt::WA_DeleteOnClose);
    resize(760, 560);

    auto* central = new QWidget(this);
    auto* top = new QHBoxLayout;
    cbLink = new QComboBox(central);
    cbLink->addItems({QStringLiteral("Modbus TCP"), QStringLiteral("RTU over TCP"), QStringLiteral("Serial (RTU)")});
    leWhere = new QLineEdit(QStringLiteral("5020"), central);
    leWhere->setToolTip(QStringLiteral("TCP port (0: a free one), or the serial device (a path or COMn, 9600 8N1)"));
    leUnits = new QLineEdit(QStringLiteral("1"), central);
    leUnits->setToolTip(QStringLiteral("Units simulated, each with an image of its own: 1,2,5-8"));
    btnStart = new QPushButton(QStringLiteral("Start"), central);
    lblStatus = new QLabel(QStringLiteral("Stopped"), central);
    top->addWidget(cbLink);
    top->addWidget(new QLabel(QStringLiteral("Port/device:"), central));
    top->addWidget(leWhere);
    top->addWidget(new QLabel(QStringLiteral("Units:"), central));
    top->addWidget(leUnits);
    top->addWidget(btnStart);
    top->addWidget(lblStatus, 1);

    auto* view = new QHBoxLayout;
    cbUnit = new QComboBox(central);
    cbTable = new QComboBox(central);
    cbTable->addItems({QStringLiteral("Holding registers"), QStringLiteral("Input registers"), QStringLiteral("Coils"),
                       QStringLiteral("Discrete inputs")});
    seStart = new QSpinBox(central);
    seStart->setRange(0, 65535);
    seCount = new QSpinBox(central);
    seCount->setRange(1, 1000);
    seCount->setValue(20);
    view->addWidget(new QLabel(QStringLiteral("Unit:"), central));
    view->addWidget(cbUnit);
    view->addWidget(cbTable);
    view->addWidget(new QLabel(QStringLiteral("From wire address:"), central));
    view->addWidget(seStart);
    view->addWidget(new QLabel(QStringLiteral("Count:"), central));
    view->addWidget(seCount);
    view->addStretch(1);

    sgImage = new QTableWidget(0, 4, central);
    sgImage->setObjectName(QStringLiteral("sgImage"));
    sgImage->setHorizontalHeaderLabels(
        {QStringLiteral("Address"), QStringLiteral("Type"), QStringLiteral("Value"), QStringLiteral("Description")});
    sgImage->verticalHeader()->hide();
    sgImage->horizontalHeader()->setStretchLastSection(true);
    sgImage->setColumnWidth(colType, 110);
    sgImage->setColumnWidth(colValue, 140);
    sgImage->setEditTriggers(QAbstractItemView::DoubleClicked);
    sgImage->setContextMenuPolicy(Qt::CustomContextMenu);
    reLog = new QPlainTextEdit(central);
    reLog->setObjectName(QStringLiteral("reSimLog"));
    reLog->setReadOnly(true);
    reLog->setMaximumBlockCount(5000);
    auto* split = new QSplitter(Qt::Vertical, central);
    split->addWidget(sgImage);
    split->addWidget(reLog);
    split->setStretchFactor(0, 3);
    split->setStretchFactor(1, 1);

    auto* lay = new QVBoxLayout(central);
    lay->addLayout(top);
    lay->addLayout(view);
    lay->addWidget(split, 1);
    setCentralWidget(central);

    QMenu* gen = menuBar()->addMenu(QStringLiteral("&Generators"));
    gen->addAction(QStringLiteral("Add generator..."), this, [this] {
        bool ok = false;
        const QString spec = QInputDialog::getText(
            this, QStringLiteral("Add generator"),
            QStringLiteral("[TABLE:]ADDRESS=KIND[,period=S][,min=A][,max=B][,type=NAME][,seed=N][,unit=N]\n"
                           "KIND: counter, ramp, sawtooth, sine, square, random"),
            QLineEdit::Normal, QStringLiteral("0=sine,period=10,min=0,max=100"), &ok);
        if (ok)
            AddGenerator(spec);
    });
    gen->addAction(QStringLiteral("Remove all generators"), this, [this] {
        FSim.Generators.clear();
        Log(QStringLiteral("generators removed"));
    });
    QMenu* faults = menuBar()->addMenu(QStringLiteral("F&aults"));
    faults->addAction(QStringLiteral("Add fault..."), this, [this] {
        bool ok = false;
        const QString spec = QInputDialog::getText(
            this, QStringLiteral("Add fault"),
            QStringLiteral("KIND[:ARG][,unit=N][,function=F][,address=A-B][,every=N|,rate=P]\nKIND: noanswer, "
                           "exception:CODE, delay:MS, wrongunit, wrongtid, badcrc, cut, lyingcount"),
            QLineEdit::Normal, QStringLiteral("exception:6,every=5"), &ok);
        if (ok)
            AddFault(spec);
    });
    faults->addAction(QStringLiteral("Remove all faults"), this, [this] {
        FSim.Faults.clear();
        Log(QStringLiteral("faults removed"));
    });

    FMdb = new TVexaModbus(this);
    FMdb->SetStandardProfile(true);
    FMdb->SetMaxClients(32);
    FMdb->SetTimeout(1000);
    FMdb->SetSlaveHook([this](const zorp::slave::HookRequest& r) { return FSim.Handle(r); },
                       [this](uint8_t unit) { return FSim.Serves(unit); });
    FMdb->OnListen = [this](QObject*) {
        lblStatus->setText(QStringLiteral("Listening"));
    };
    FMdb->OnClientConnect = [this](QObject*, const QString& ip) { Log(QStringLiteral("client connected %1").arg(ip)); };
    FMdb->OnClientDisconnect = [this](QObject*) { Log(QStringLiteral("client disconnected")); };
    FMdb->OnError = [this](QObject*, int32_t code) {
        Log(QStringLiteral("link error %1").arg(code));
        if (!FListening)
            return;
        FListening = false;
        btnStart->setText(QStringLiteral("Start"));
        lblStatus->setText(QStringLiteral("Stopped (error %1)").arg(code));
    };
    FSim.OnWrite = [this](uint8_t unit, uint8_t fc, Table t, uint16_t a, uint16_t q) {
        Log(QStringLiteral("unit %1: fc %2 wrote %3 %4..%5").arg(unit).arg(fc).arg(zorp::sim::TableName(t)).arg(a).arg(
            uint32_t(a) + q - 1));
    };
    FSim.OnRefused = [this](uint8_t unit, uint8_t fc, uint8_t code) {
        Log(QStringLiteral("unit %1: refused fc %2: exception %3").arg(unit).arg(fc).arg(code, 2, 16, QLatin1Char('0')));
    };
    FSim.OnFault = [this](uint8_t unit, uint8_t fc, const QString& f) {
        Log(QStringLiteral("unit %1: fault %2 on fc %3").arg(unit).arg(f).arg(fc));
    };

    connect(btnStart, &QPushButton::clicked, this, [this] { RunGuarded([this] { FListening ? Stop() : (void)Start(); }); });
    connect(leUnits, &QLineEdit::editingFinished, this, [this] { RunGuarded([this] { ApplyUnits(); }); });
    for (QComboBox* c : {cbUnit, cbTable})
        connect(c, &QComboBox::currentIndexChanged, this, [this] { RunGuarded([this] { RefreshGrid(); }); });
    for (QSpinBox* s : {seStart, seCount})
        connect(s, &QSpinBox::valueChanged, this, [this] { RunGuarded([this] { RefreshGrid(); }); });
    connect(sgImage, &QTableWidget::cellChanged, this, [this](int r, int c) { RunGuarded([=, this] { CellEdited(r, c); }); });
    connect(sgImage, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& p) { RunGuarded([=, this] { GridMenu(p); }); });
    connect(&FRefresh, &QTimer::timeout, this, [this] {
        RunGuarded([this] {
            FSim.UpdateGenerators();
            // Not under the editor of a cell being typed in.
            QWidget* focus = QApplication::focusWidget();
            if (!focus || focus == sgImage || !sgImage->isAncestorOf(focus))
                RefreshGrid();
        });
    });
    FRefresh.start(250);
    ApplyUnits();
}

TfrmSimulator::~TfrmSimulator()
{
    FRefresh.stop();
    FMdb->SetSlaveHook(nullptr);
    FMdb->OnListen = nullptr;
    FMdb->OnClientConnect = nullptr;
    FMdb->OnClientDisconnect = nullptr;
    FMdb->OnError = nullptr;
}

void TfrmSimulator::Log(const QString& line)
{
    reLog->appendPlainText(QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss.zzz ")) + line);
}

void TfrmSimulator::ApplyUnits()
{
    std::vector<uint8_t> units;
    QString error;
    if (!zorp::sim::SimServer::ParseUnits(leUnits->text(), units, error)) {
        Log(QStringLiteral("units: %1").arg(error));
        return;
    }
    if (units != FSim.Units())
        FSim.SetUnits(units, FSim.Shared());
    ShowUnits();
}

void TfrmSimulator::ShowUnits()
{
    const QString current = cbUnit->currentText();
    QSignalBlocker block(cbUnit);
    cbUnit->clear();
    for (uint8_t u : FSim.Units())
        cbUnit->addItem(QString::number(u));
    const int i = cbUnit->findText(current);
    cbUnit->setCurrentIndex(i < 0 ? 0 : i);
    RefreshGrid();
}

bool TfrmSimulator::Start()
{
    ApplyUnits();
    const QString where = leWhere->text().trimmed();
    if (cbLink->currentIndex() == 2) {
        FMdb->SetInterfaceType(mbiRS485);
        FMdb->SetProtocol(mbpRTU);
        const int com = zorp::ComNumberOfName(where);
        if (com > 0)
            FMdb->SetComNumber(com);
        else
            FMdb->CommPort()->SetDevicePathOverride(where);
    } else {
        bool ok = false;
        const uint port = where.toUInt(&ok);
        if (!ok || port > 65535) {
            Log(QStringLiteral("the TCP port must be a number from 0 to 65535"));
            return false;
        }
        FMdb->SetInterfaceType(mbiEthernet);
        FMdb->SetProtocol(cbLink->currentIndex() == 0 ? mbpTCP : mbpRTU);
        FMdb->SetEthPort(uint16_t(port));
    }
    FMdb->SetDeviceID(FSim.Units().front());
    FListening = true;
    FMdb->Listen();
    btnStart->setText(QStringLiteral("Stop"));
    Log(QStringLiteral("listening on %1 %2").arg(cbLink->currentText(), where));
    return true;
}

void TfrmSimulator::Stop()
{
    FListening = false;
    FMdb->Disconnect();
    btnStart->setText(QStringLiteral("Start"));
    lblStatus->setText(QStringLiteral("Stopped"));
    Log(QStringLiteral("stopped"));
}

uint16_t TfrmSimulator::ListeningPort() const
{
    return FListening && cbLink->currentIndex() != 2 ? FMdb->CommPort()->ServerPort() : 0;
}

bool TfrmSimulator::AddGenerator(const QString& spec)
{
    zorp::sim::Generator g;
    QString error;
    if (!zorp::sim::ParseGenerator(spec, g, error)) {
        Log(QStringLiteral("generator refused: %1").arg(error));
        return false;
    }
    FSim.Generators.push_back(g);
    Log(QStringLiteral("generator %1").arg(spec));
    return true;
}

bool TfrmSimulator::AddFault(const QString& spec)
{
    zorp::sim::Fault f;
    QString error;
    if (!zorp::sim::ParseFault(spec, f, error)) {
        Log(QStringLiteral("fault refused: %1").arg(error));
        return false;
    }
    FSim.Faults.push_back(f);
    Log(QStringLiteral("fault %1").arg(spec));
    return true;
}

zorp::sim::UnitImage* TfrmSimulator::ShownImage()
{
    return FSim.Unit(uint8_t(cbUnit->currentText().toUInt()));
}

Table TfrmSimulator::ShownTable() const
{
    static const Table tables[] = {Table::Holding, Table::Inputs, Table::Coils, Table::Discrete};
    return tables[std::clamp(cbTable->currentIndex(), 0, 3)];
}

QString TfrmSimulator::Key(int address) const
{
    return QStringLiteral("%1:%2").arg(zorp::sim::TableName(ShownTable())).arg(address);
}

void TfrmSimulator::RefreshGrid()
{
    zorp::sim::UnitImage* img = ShownImage();
    const int start = seStart->value();
    const int rows = std::min(seCount->value(), 65536 - start);
    const Table t = ShownTable();
    const bool bits = zorp::sim::IsBitTable(t);
    FFilling = true;
    sgImage->setRowCount(rows);
    int continuation = 0; // rows still covered by the value above
    for (int r = 0; r < rows; ++r) {
        const int a = start + r;
        auto cell = [&](int c) {
            QTableWidgetItem* it = sgImage->item(r, c);
            if (!it) {
                it = new QTableWidgetItem;
                sgImage->setItem(r, c, it);
            }
            return it;
        };
        cell(colAddress)->setText(QString::number(a));
        cell(colAddress)->setFlags(Qt::ItemIsEnabled);
        const QString alias = bits ? QStringLiteral("bit") : FTypes.value(Key(a), QStringLiteral("u16"));
        QString value;
        if (!img) {
            value.clear();
        } else if (continuation > 0) {
            value = QString::fromUtf16(ContinuationMark);
            --continuation;
        } else if (bits) {
            value = img->Word(t, uint16_t(a)) ? QStringLiteral("1") : QStringLiteral("0");
        } else {
            const TDataTypeInfo* type = TypeOf(alias);
            uint16_t words[4] = {};
            for (int k = 0; k < type->Rows && a + k < 65536; ++k)
                words[k] = img->Word(t, uint16_t(a + k));
            value = a + type->Rows <= 65536 ? ValueDecoding::DecodeWords(*type, words) : QString();
            continuation = type->Rows - 1;
        }
        cell(colType)->setText(alias);
        cell(colType)->setFlags(Qt::ItemIsEnabled);
        QTableWidgetItem* v = cell(colValue);
        if (v->text() != value)
            v->setText(value);
        const bool written = img && ((t == Table::Holding && img->holdingWritten[size_t(a)]) ||
                                     (t == Table::Coils && img->coilWritten[size_t(a)]));
        v->setBackground(written ? QBrush(kWritten) : QBrush());
        v->setToolTip(written ? QStringLiteral("written by a master") : QString());
        cell(colDescription)->setText(FDescriptions.value(Key(a)));
    }
    FFilling = false;
}

void TfrmSimulator::CellEdited(int row, int column)
{
    if (FFilling)
        return;
    const int a = seStart->value() + row;
    const QString text = sgImage->item(row, column)->text();
    if (column == colDescription) {
        FDescriptions[Key(a)] = text;
        return;
    }
    if (column != colValue)
        return;
    zorp::sim::UnitImage* img = ShownImage();
    if (!img)
        return;
    const Table t = ShownTable();
    if (zorp::sim::IsBitTable(t)) {
        img->SetWord(t, uint16_t(a), text.trimmed() == QLatin1String("1") ? 1 : 0);
    } else {
        const auto e = ValueEncoding::EncodeValue(*TypeOf(FTypes.value(Key(a), QStringLiteral("u16"))), text);
        if (!e.Ok() || a + int(e.Words.size()) > 65536) {
            Log(QStringLiteral("value %1 refused: %2").arg(text, e.Error));
        } else {
            for (size_t k = 0; k < e.Words.size(); ++k)
                img->SetWord(t, uint16_t(a + int(k)), e.Words[k]);
        }
    }
    RefreshGrid();
}

void TfrmSimulator::GridMenu(const QPoint& pos)
{
    const int row = sgImage->rowAt(pos.y());
    if (row < 0 || zorp::sim::IsBitTable(ShownTable()))
        return;
    const int a = seStart->value() + row;
    QMenu menu(this);
    QAction* type = menu.addAction(QStringLiteral("Data type..."));
    QAction* gen = menu.addAction(QStringLiteral("Generator here..."));
    QAction* chosen = menu.exec(sgImage->viewport()->mapToGlobal(pos));
    if (chosen == type) {
        QStringList names;
        for (const auto& al : ValueDecoding::DataTypeAliases())
            if (al.Alias.contains(u':') || al.Type->Rows == 1)
                names << al.Alias;
        names.removeDuplicates();
        bool ok = false;
        const QString pick = QInputDialog::getItem(this, QStringLiteral("Data type"), QStringLiteral("Type:"), names,
                                                   int(names.indexOf(FTypes.value(Key(a), QStringLiteral("u16")))),
                                                   false, &ok);
        if (ok) {
            FTypes[Key(a)] = pick;
            RefreshGrid();
        }
    } else if (chosen == gen) {
        bool ok = false;
        const QString spec = QInputDialog::getText(
            this, QStringLiteral("Generator"), QStringLiteral("KIND[,period=S][,min=A][,max=B]"), QLineEdit::Normal,
            QStringLiteral("sine,period=10,min=0,max=100"), &ok);
        if (ok)
            AddGenerator(QStringLiteral("%1:%2=%3,type=%4,unit=%5")
                             .arg(zorp::sim::TableName(ShownTable()))
                             .arg(a)
                             .arg(spec, FTypes.value(Key(a), QStringLiteral("u16")), cbUnit->currentText()));
    }
}

QJsonObject TfrmSimulator::saveState() const
{
    QJsonObject o;
    o.insert(QStringLiteral("link"), cbLink->currentIndex());
    o.insert(QStringLiteral("where"), leWhere->text());
    o.insert(QStringLiteral("units"), leUnits->text());
    o.insert(QStringLiteral("unit"), cbUnit->currentText());
    o.insert(QStringLiteral("table"), cbTable->currentIndex());
    o.insert(QStringLiteral("start"), seStart->value());
    o.insert(QStringLiteral("count"), seCount->value());
    QJsonObject types, descriptions;
    for (auto it = FTypes.begin(); it != FTypes.end(); ++it)
        types.insert(it.key(), it.value());
    for (auto it = FDescriptions.begin(); it != FDescriptions.end(); ++it)
        descriptions.insert(it.key(), it.value());
    o.insert(QStringLiteral("types"), types);
    o.insert(QStringLiteral("descriptions"), descriptions);
    QJsonArray gens, faults;
    for (const auto& g : FSim.Generators)
        gens.append(g.text);
    for (const auto& f : FSim.Faults)
        faults.append(f.text);
    o.insert(QStringLiteral("generators"), gens);
    o.insert(QStringLiteral("faults"), faults);
    o.insert(QStringLiteral("geometry"), QString::fromLatin1(saveGeometry().toBase64()));
    return o;
}

void TfrmSimulator::restoreState(const QJsonObject& o)
{
    cbLink->setCurrentIndex(std::clamp(o.value(QStringLiteral("link")).toInt(), 0, 2));
    leWhere->setText(o.value(QStringLiteral("where")).toString(leWhere->text()));
    leUnits->setText(o.value(QStringLiteral("units")).toString(leUnits->text()));
    ApplyUnits();
    const int unit = cbUnit->findText(o.value(QStringLiteral("unit")).toString());
    if (unit >= 0)
        cbUnit->setCurrentIndex(unit);
    cbTable->setCurrentIndex(std::clamp(o.value(QStringLiteral("table")).toInt(), 0, 3));
    seStart->setValue(o.value(QStringLiteral("start")).toInt());
    seCount->setValue(o.value(QStringLiteral("count")).toInt(20));
    FTypes.clear();
    FDescriptions.clear();
    const QJsonObject types = o.value(QStringLiteral("types")).toObject();
    for (auto it = types.begin(); it != types.end(); ++it)
        if (ValueDecoding::FindDataTypeOrAlias(it.value().toString()))
            FTypes.insert(it.key(), it.value().toString());
    const QJsonObject descriptions = o.value(QStringLiteral("descriptions")).toObject();
    for (auto it = descriptions.begin(); it != descriptions.end(); ++it)
        FDescriptions.insert(it.key(), it.value().toString());
    // Generators and faults as the set-up has them. Those running already
    // go on and were logged when they came: the log tells only a change.
    auto restore = [this](auto& running, const QJsonArray& specs, const QString& removed, auto add) {
        QStringList texts, now;
        for (const QJsonValue& v : specs)
            texts << v.toString();
        for (const auto& each : running)
            now << each.text;
        if (texts == now)
            return;
        if (!running.empty()) {
            running.clear();
            Log(removed);
        }
        for (const QString& t : texts)
            (this->*add)(t);
    };
    restore(FSim.Generators, o.value(QStringLiteral("generators")).toArray(), QStringLiteral("generators removed"),
            &TfrmSimulator::AddGenerator);
    restore(FSim.Faults, o.value(QStringLiteral("faults")).toArray(), QStringLiteral("faults removed"),
            &TfrmSimulator::AddFault);
    restoreGeometry(QByteArray::fromBase64(o.value(QStringLiteral("geometry")).toString().toLatin1()));
    RefreshGrid();
}
