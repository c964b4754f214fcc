// SPDX-License-Identifier: GPL-3.0-or-later
#include "AddressScanWindow.h"

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

#include "CommPort.h"

#include "AppErrors.h"
#include "Csv.h"
#include "ErrorText.h"
#include "ReadQueue.h"
#include "RegisterTools.h"
#include "StrictInt.h"
#include "VexaModbus.h"
#include "uMaster.h"

using namespace zorp;

namespace {

// An engine set up like Model: the same link, unit, time-out and retries.
TVexaModbus* EngineLike(TVexaModbus& Model)
{
    auto* m = new TVexaModbus(nullptr);
    m->SetInterfaceType(Model.InterfaceType());
    m->SetProtocol(Model.Protocol());
    m->SetEthIP(Model.EthIP());
    m->SetEthPort(Model.EthPort());
    m->SetComNumber(Model.ComNumber());
    if (Model.InterfaceType() == mbiRS485 && m->CommPort() && Model.CommPort())
        m->CommPort()->SetDevicePathOverride(Model.CommPort()->DevicePath());
    m->SetComSpeed(Model.ComSpeed());
    m->SetParity(Model.Parity());
    m->SetDataBits(Model.DataBits());
    m->SetStopBits(Model.StopBits());
    m->SetDeviceID(Model.DeviceID());
    m->SetTimeout(Model.Timeout());
    m->SetMaxRepeat(Model.MaxRepeat());
    m->SetRemoveEcho(Model.RemoveEcho());
    return m;
}

} // namespace

TfrmAddressScan::TfrmAddressScan(TfrmModbusMaster* Owner) : QWidget(Owner, Qt::Window), FOwner(Owner)
{
    setObjectName(QStringLiteral("frmAddressScan"));
    setWindowTitle(QStringLiteral("Address scan"));
    resize(560, 520);
    cbFunction = new QComboBox(this);
    cbFunction->setObjectName(QStringLiteral("cbFunction"));
    cbFunction->addItems({QStringLiteral("01: Read Coil Status"), QStringLiteral("02: Read Input Status"),
                          QStringLiteral("03: Read Holding Registers"), QStringLiteral("04: Read Input Registers")});
    cbFunction->setCurrentIndex(Owner->ChosenFunc() >= 0 ? Owner->ChosenFunc() : 2);
    auto edit = [this](const char* name, const QString& text) {
        auto* e = new QLineEdit(text, this);
        e->setObjectName(QLatin1String(name));
        return e;
    };
    const int function = cbFunction->currentIndex() + 1;
    edFirst = edit("edFirst", Owner->AddressText(1, function));
    edLast = edit("edLast", Owner->AddressText(100, function));
    edBlock = edit("edBlock", QStringLiteral("125"));
    edBlock->setToolTip(QStringLiteral("The most items one read asks for; a read that fails is split in two"));
    btnScan = new QPushButton(QStringLiteral("Scan"), this);
    btnScan->setObjectName(QStringLiteral("btnScan"));
    btnStop = new QPushButton(QStringLiteral("Stop"), this);
    btnStop->setObjectName(QStringLiteral("btnStop"));
    btnStop->setEnabled(false);
    btnExport = new QPushButton(QStringLiteral("Export CSV..."), this);
    btnExport->setObjectName(QStringLiteral("btnExport"));
    tbResults = new QTableWidget(0, 2, this);
    tbResults->setObjectName(QStringLiteral("tbResults"));
    tbResults->setHorizontalHeaderLabels({QStringLiteral("Address"), QStringLiteral("Value or outcome")});
    tbResults->horizontalHeader()->setStretchLastSection(true);
    tbResults->verticalHeader()->hide();
    tbResults->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lblStatus = new QLabel(this);
    lblStatus->setObjectName(QStringLiteral("lblStatus"));
    lblStatus->setWordWrap(true);

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Function:"), cbFunction);
    auto* range = new QHBoxLayout;
    range->addWidget(edFirst);
    range->addWidget(new QLabel(QStringLiteral("to"), this));
    range->addWidget(edLast);
    form->addRow(QStringLiteral("Addresses:"), range);
    form->addRow(QStringLiteral("Largest read:"), edBlock);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(btnScan);
    buttons->addWidget(btnStop);
    buttons->addStretch();
    buttons->addWidget(btnExport);
    auto* box = new QVBoxLayout(this);
    box->addLayout(form);
    box->addLayout(buttons);
    box->addWidget(tbResults);
    box->addWidget(lblStatus);

    connect(btnScan, &QPushButton::clicked, this, [this] { RunGuarded([this] { Start(); }); });
    connect(btnStop, &QPushButton::clicked, this, [this] { Finished(QStringLiteral("stopped")); });
    connect(btnExport, &QPushButton::clicked, this, [this] { RunGuarded([this] { AskExport(); }); });
}

TfrmAddressScan::~TfrmAddressScan() = default;

void TfrmAddressScan::Start()
{
    Stop();
    const int function = cbFunction->currentIndex() + 1;
    const TAddressNotation n = FOwner->RegisterTools ? FOwner->RegisterTools->Notation() : TAddressNotation();
    const TAddressText first = ParseAddress(edFirst->text(), function, n);
    const TAddressText last = ParseAddress(edLast->text(), function, n);
    if (!first.Ok) throw EAppError(QStringLiteral("First address: ") + first.Error);
    if (!last.Ok) throw EAppError(QStringLiteral("Last address: ") + last.Error);
    if (last.Address < first.Address) throw EAppError(QStringLiteral("The last address comes before the first"));
    const int most = function >= 3 ? 125 : 255;
    int64_t block = 0;
    if (!ParseInt(edBlock->text().trimmed(), 1, most, block, IntDigitsOnly))
        throw EAppError(QStringLiteral("Largest read: a number from 1 to %1").arg(most));
    if (FOwner->mdb->Connected() && FOwner->mdb->InterfaceType() == mbiRS485)
        throw EAppError(QStringLiteral("The scan opens the serial line itself: disconnect the main window first"));
    FScan = std::make_unique<TAddressScan>(function, first.Address, last.Address, int(block));
    FShown = 0;
    FWhy.clear();
    tbResults->setRowCount(0);
    FQueue = std::make_unique<TReadQueue>(EngineLike(*FOwner->mdb), FOwner->mdb->Timeout(), FOwner->mdb->MaxRepeat());
    btnScan->setEnabled(false);
    btnStop->setEnabled(true);
    lblStatus->setText(StatusText());
    FQueue->Start([this](bool up) {
        if (!up) return Finished(QStringLiteral("the link did not come up"));
        Next();
    });
}

void TfrmAddressScan::Next()
{
    Show();
    int64_t start = 0;
    int count = 0;
    if (!FScan->Next(start, count)) return Finished(QString());
    FQueue->Read(FScan->Function(), start, count, [this](const TReadOutcome& r) {
        if (r.Code == 0) FScan->Answered(r.Items);
        else FScan->Failed(r.Code);
        if (r.Code != 0 && TReadQueue::LinkLost(r.Code)) return Finished(QString::fromLatin1(ErrorMeaning(r.Code)));
        Next();
    });
}

void TfrmAddressScan::Show()
{
    const auto& entries = FScan->Entries();
    const int function = FScan->Function();
    tbResults->setRowCount(int(entries.size()));
    for (; FShown < entries.size(); ++FShown) {
        const TScanEntry& e = entries[FShown];
        auto* a = new QTableWidgetItem(FOwner->AddressText(e.Address, function));
        a->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
        auto* v = new QTableWidgetItem(QString::fromStdString(TAddressScan::Outcome(e)));
        if (!e.Answered) v->setForeground(QColor(160, 0, 0));
        tbResults->setItem(int(FShown), 0, a);
        tbResults->setItem(int(FShown), 1, v);
    }
    lblStatus->setText(StatusText());
}

void TfrmAddressScan::Stop()
{
    FQueue.reset();
    btnScan->setEnabled(true);
    btnStop->setEnabled(false);
}

void TfrmAddressScan::Finished(const QString& Why)
{
    if (!FQueue) return;
    FWhy = Why;
    Show();
    // Not inside the queue's own callback: the queue goes after it returns.
    QTimer::singleShot(0, this, [this] { Stop(); });
    lblStatus->setText(StatusText());
}

QString TfrmAddressScan::StatusText() const
{
    if (!FScan) return QStringLiteral("Scans on a link of its own, set up like the main window's last connection.");
    const int function = FScan->Function();
    QStringList ranges;
    for (const auto& [a, b] : FScan->Ranges())
        ranges.append(a == b ? FOwner->AddressText(a, function)
                             : FOwner->AddressText(a, function) + u'-' + FOwner->AddressText(b, function));
    QString text = QStringLiteral("%1 of %2 addresses. Implemented: %3")
                       .arg(FScan->Entries().size())
                       .arg(FScan->Total())
                       .arg(ranges.isEmpty() ? QStringLiteral("none so far") : ranges.join(QStringLiteral(", ")));
    if (!FWhy.isEmpty()) text += QStringLiteral(" (%1)").arg(FWhy);
    return text;
}

QString TfrmAddressScan::CsvText() const
{
    QString out = CsvRecord({"address", "value", "exception", "meaning"}) + QStringLiteral("\r\n");
    if (!FScan) return out;
    for (const TScanEntry& e : FScan->Entries()) {
        const int ex = TAddressScan::ExceptionOf(e.Code);
        const QString outcome = QString::fromStdString(TAddressScan::Outcome(e));
        out += CsvRecord({FOwner->AddressText(e.Address, FScan->Function()), e.Answered ? outcome : QString(),
                          ex ? QString::number(ex) : QString(), e.Answered ? QString() : outcome}) +
               QStringLiteral("\r\n");
    }
    return out;
}

void TfrmAddressScan::AskExport()
{
    FOwner->SaveTextAs(QStringLiteral("Export address scan"), QStringLiteral("CSV file (*.csv);;All files (*)"),
                       QStringLiteral("csv"), &TTesterOptions::CsvFolder, CsvText());
}
