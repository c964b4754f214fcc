// SPDX-License-Identifier: GPL-3.0-or-later
#include "SerialPortsDialog.h"

#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "AppErrors.h"
#include "IniFile.h"

using namespace zorp;

namespace {
std::function<int(TfrmSerialPorts*)>& dialogHook()
{
    static std::function<int(TfrmSerialPorts*)> hook;
    return hook;
}

QTableWidgetItem* Cell(const QString& text)
{
    auto* item = new QTableWidgetItem(text);
    item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
    return item;
}
} // namespace

TfrmSerialPorts::TfrmSerialPorts(const QString& comPortsIni, int currentCom, QWidget* parent)
    : QDialog(parent), FIni(comPortsIni), FCurrentCom(currentCom)
{
    setObjectName(QStringLiteral("frmSerialPorts"));
    setWindowTitle(QStringLiteral("Serial ports"));

    sgPorts = new QTableWidget(0, colCount, this);
    sgPorts->setObjectName(QStringLiteral("sgPorts"));
    sgPorts->setHorizontalHeaderLabels({QStringLiteral("COM"), QStringLiteral("Device"),
                                        QStringLiteral("Stable name (by-id)"), QStringLiteral("Description"),
                                        QStringLiteral("Manufacturer"), QStringLiteral("Serial number"),
                                        QStringLiteral("Access")});
    sgPorts->setSelectionBehavior(QAbstractItemView::SelectRows);
    sgPorts->setSelectionMode(QAbstractItemView::SingleSelection);
    sgPorts->setEditTriggers(QAbstractItemView::NoEditTriggers);
    sgPorts->verticalHeader()->setVisible(false);
    sgPorts->horizontalHeader()->setStretchLastSection(true);
    sgPorts->setWordWrap(false);

    lblInfo = new QLabel(this);
    lblInfo->setObjectName(QStringLiteral("lblInfo"));
    lblInfo->setWordWrap(true);
    lblInfo->setTextInteractionFlags(Qt::TextSelectableByMouse);

    btnRefresh = new QPushButton(QStringLiteral("Refresh"), this);
    btnRefresh->setObjectName(QStringLiteral("btnRefresh"));
    btnUse = new QPushButton(QStringLiteral("Use"), this);
    btnUse->setObjectName(QStringLiteral("btnUse"));
    btnUse->setDefault(true);
    btnClose = new QPushButton(QStringLiteral("Close"), this);
    btnClose->setObjectName(QStringLiteral("btnClose"));

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(btnRefresh);
    buttons->addStretch(1);
    buttons->addWidget(btnUse);
    buttons->addWidget(btnClose);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(sgPorts, 1);
    layout->addWidget(lblInfo);
    layout->addLayout(buttons);
    resize(960, 320);

    connect(btnRefresh, &QPushButton::clicked, this, [this] { RunGuarded([this] { Refresh(); }); });
    connect(btnClose, &QPushButton::clicked, this, &QDialog::reject);
    connect(btnUse, &QPushButton::clicked, this, [this] {
        RunGuarded([this] {
            if (UsePort(sgPorts->currentRow()) > 0)
                accept();
        });
    });
    connect(sgPorts, &QTableWidget::cellDoubleClicked, this, [this](int row, int) {
        RunGuarded([this, row] {
            if (UsePort(row) > 0)
                accept();
        });
    });
    connect(sgPorts, &QTableWidget::itemSelectionChanged, this, [this] { ShowRowInfo(); });

    Refresh();
}

void TfrmSerialPorts::Refresh()
{
    FPorts = ListSerialPorts(FIni);
    sgPorts->clearContents();
    sgPorts->setRowCount(int(FPorts.size()));
    int select = FPorts.isEmpty() ? -1 : 0;
    for (int r = 0; r < FPorts.size(); ++r) {
        const SerialPortEntry& p = FPorts[r];
        sgPorts->setItem(r, colCom, Cell(p.ComNumber > 0 ? QString::number(p.ComNumber) : QString()));
        sgPorts->setItem(r, colDevice, Cell(p.Device));
        // The folder is always the same: the name says it all.
        QTableWidgetItem* byId = Cell(QFileInfo(p.ById).fileName());
        byId->setToolTip(p.ById);
        sgPorts->setItem(r, colById, byId);
        sgPorts->setItem(r, colDescription, Cell(p.Description));
        sgPorts->setItem(r, colManufacturer, Cell(p.Manufacturer));
        sgPorts->setItem(r, colSerial, Cell(p.SerialNumber));
        QTableWidgetItem* access = Cell(p.Accessible ? QStringLiteral("OK") : QStringLiteral("Cannot open: ") + p.Problem);
        if (!p.Accessible) {
            access->setForeground(Qt::darkRed);
            access->setToolTip(p.Problem);
        }
        sgPorts->setItem(r, colAccess, access);
        if (p.ComNumber > 0 && p.ComNumber == FCurrentCom)
            select = r;
    }
    sgPorts->resizeColumnsToContents();
    btnUse->setEnabled(!FPorts.isEmpty());
    if (select >= 0)
        sgPorts->selectRow(select);
    ShowRowInfo();
}

void TfrmSerialPorts::ShowRowInfo()
{
    const int row = sgPorts->currentRow();
    if (FPorts.isEmpty()) {
        lblInfo->setText(QStringLiteral("No serial port was found. A USB adapter shows up here once it is "
                                        "plugged in (press Refresh)."));
        return;
    }
    if (row < 0 || row >= FPorts.size()) {
        lblInfo->setText(QString());
        return;
    }
    const SerialPortEntry& p = FPorts[row];
    QString text = p.ComNumber > 0
                       ? QStringLiteral("%1 is COM %2.").arg(p.Device).arg(p.ComNumber)
                       : QStringLiteral("%1 has no COM number yet; Use gives it the next free one in %2.")
                             .arg(p.Device, FIni);
    if (!p.Accessible)
        text += QStringLiteral(" You cannot open it: %1.").arg(p.Problem);
    lblInfo->setText(text);
}

int TfrmSerialPorts::UsePort(int row)
{
    if (row < 0 || row >= FPorts.size())
        return 0;
    SerialPortEntry port = FPorts[row];
    // The file may have changed since the list was made: look again, so
    // that a number written meanwhile is neither missed nor handed out twice.
    const QList<SerialPortEntry> now = ListSerialPorts(FIni);
    for (const SerialPortEntry& p : now)
        if (p.Device == port.Device)
            port.ComNumber = p.ComNumber;
    if (port.ComNumber == 0) {
        const int n = NextFreeComNumber(ReadComPortMap(FIni), now);
        TIniFile ini(FIni);
        if (n > 0) {
            ini.WriteString(QStringLiteral("Ports"), QString::number(n), MappingPath(port));
            if (ini.UpdateFile())
                port.ComNumber = n;
        }
        if (port.ComNumber == 0) {
            const QString message = n > 0 ? QStringLiteral("Unable to write to %1").arg(FIni)
                                          : QStringLiteral("No COM number is free");
            lblInfo->setText(message + u'.');
            ShowErrorBox(message + u'.');
            return 0;
        }
    }
    FChosen = port.ComNumber;
    return FChosen;
}

int RunSerialPortsDialog(QWidget* parent, const QString& comPortsIni, int currentCom)
{
    TfrmSerialPorts dialog(comPortsIni, currentCom, parent);
    if (dialogHook())
        return dialogHook()(&dialog);
    return dialog.exec() == QDialog::Accepted ? dialog.ChosenNumber() : 0;
}

void SetSerialPortsDialogHook(std::function<int(TfrmSerialPorts* dialog)> hook)
{
    dialogHook() = std::move(hook);
}
