// SPDX-License-Identifier: GPL-3.0-or-later
#include "WriteAnyMenu.h"

#include <QAction>
#include <QComboBox>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>

#include "AppErrors.h"
#include "LabeledEdit.h"
#include "ValueDecoding.h"
#include "VexaModbus.h"
#include "uMaster.h"
#include "uWriteAny.h"

TWriteAnyMenu::TWriteAnyMenu(TfrmModbusMaster* Owner) : QObject(Owner), FOwner(Owner)
{
    setObjectName(QStringLiteral("WriteAnyMenu"));
    actWriteAny = new QAction(QStringLiteral("&Write to the slave..."), this);
    actWriteAny->setObjectName(QStringLiteral("actWriteAny"));
    connect(actWriteAny, &QAction::triggered, this, [this] { RunGuarded([this] { WriteAnyClicked(); }); });
    // A menu of its own between View and Options.
    mnuWrite = new QMenu(QStringLiteral("&Write"), Owner->MainMenu);
    mnuWrite->setObjectName(QStringLiteral("mnuWrite"));
    mnuWrite->addAction(actWriteAny);
    Owner->MainMenu->insertMenu(Owner->mnuOptions->menuAction(), mnuWrite);
}

void TWriteAnyMenu::WriteAnyClicked()
{
    TfrmWriteAny dlg(FOwner);
    dlg.SetFunction(FFunction);
    dlg.edAddress->setText(FAddress.isEmpty() ? FOwner->leStartAddress->text() : FAddress);
    if (!FType.isEmpty()) dlg.SetDataType(FType);
    dlg.edValues->setText(FValues);
    TfrmModbusMaster* owner = FOwner;
    dlg.CanSend = [owner](QString& why) {
        if (owner->mdb->Connected()) return true;
        why = QStringLiteral("Not connected: connect first, nothing was written");
        return false;
    };
    // The dialog runs a nested event loop; polling goes on meanwhile and the
    // window may go while it is open.
    QPointer<TWriteAnyMenu> self(this);
    const int result = dlg.exec();
    if (!self || result != QDialog::Accepted) return;
    FFunction = dlg.Function();
    FAddress = dlg.edAddress->text().trimmed();
    FType = dlg.cbType->currentText();
    FValues = dlg.edValues->text();
    TfrmModbusMaster::TWriteRequest w;
    w.Func = dlg.Request.Func;
    w.Address = dlg.Request.Address;
    w.Words = dlg.Request.Words;
    w.Bits = dlg.Request.Bits;
    w.Description = dlg.Request.Description;
    FOwner->RequestWrite(w);
}
