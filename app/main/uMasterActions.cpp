// SPDX-License-Identifier: GPL-3.0-or-later
// Main window: the keyboard's ways to the controls (menu entries with
// shortcuts for Connect, Disconnect, Read and Real time; Enter or F2 on a
// grid cell), the dark colours, the engine's time-out and tries, and the
// folders the file dialogs remember.
#include "uMaster.h"

#include <QAction>
#include <QCheckBox>
#include <QFileInfo>
#include <QMenu>
#include <QPushButton>
#include <QSignalBlocker>

#include "AppErrors.h"
#include "DesignTheme.h"
#include "StringGrid.h"
#include "TimeoutsDialog.h"
#include "VexaModbus.h"

namespace {
constexpr int kDataTypeCol = 1;
constexpr int kDescriptionCol = 3;

// A key press on a button as a click would do it: the focus moves to the
// button first (so that a field left behind runs its exit rule, as Length
// does), and a disabled button does nothing.
void press(QPushButton* b)
{
    if (!b->isEnabled())
        return;
    b->setFocus(Qt::ShortcutFocusReason);
    b->click();
}
} // namespace

void TfrmModbusMaster::CreateExtraActions()
{
    auto named = [this](const char* name, const QString& text, const QKeySequence& key) {
        auto* a = new QAction(text, this);
        a->setObjectName(QLatin1String(name));
        a->setShortcut(key);
        a->setShortcutContext(Qt::WindowShortcut);
        return a;
    };
    actConnect = named("actConnect", QStringLiteral("&Connect"), QKeySequence(Qt::Key_F9));
    actDisconnect = named("actDisconnect", QStringLiteral("&Disconnect"), QKeySequence(Qt::SHIFT | Qt::Key_F9));
    actRead = named("actRead", QStringLiteral("&Read"), QKeySequence(Qt::Key_F5));
    actRealTime = named("actRealTime", QStringLiteral("Real &time"), QKeySequence(Qt::CTRL | Qt::Key_R));
    actRealTime->setCheckable(true);
    connect(actConnect, &QAction::triggered, this, [this] { press(btnConnect); });
    connect(actDisconnect, &QAction::triggered, this, [this] { press(btnDisconnect); });
    connect(actRead, &QAction::triggered, this, [this] { press(btnRead); });
    connect(actRealTime, &QAction::toggled, this, [this](bool on) {
        if (cbRealTime && cbRealTime->isChecked() != on)
            cbRealTime->setChecked(on);
    });
    // The link's entries come first in the File menu.
    QAction* first = mnuFile->actions().value(0);
    for (QAction* a : {actConnect, actDisconnect, actRead, actRealTime})
        mnuFile->insertAction(first, a);
    mnuFile->insertSeparator(first);
    // Only what can be pressed is offered.
    connect(mnuFile, &QMenu::aboutToShow, this, [this] {
        actConnect->setEnabled(btnConnect->isEnabled());
        actDisconnect->setEnabled(btnDisconnect->isEnabled());
    });

    actDarkTheme = AddOptionToggle(mnuView, "actDarkTheme", QStringLiteral("&Dark colours"), &TTesterOptions::DarkTheme);
    mnuOptions->addSeparator();
    actTimeouts = new QAction(QStringLiteral("Time-out and retries..."), this);
    actTimeouts->setObjectName(QStringLiteral("actTimeouts"));
    mnuOptions->addAction(actTimeouts);
    connect(actTimeouts, &QAction::triggered, this, [this] { RunGuarded([this] { actTimeoutsExecute(this); }); });
    actKeepLayout = AddOptionToggle(mnuOptions, "actKeepLayout", QStringLiteral("Keep the grid layout between runs"),
                           &TTesterOptions::KeepLayout);
}

QAction* TfrmModbusMaster::AddOptionToggle(QMenu* menu, const char* name, const QString& text,
                                           bool TTesterOptions::*field)
{
    QAction* a = menu->addAction(text);
    a->setObjectName(QLatin1String(name));
    a->setCheckable(true);
    connect(a, &QAction::toggled, this, [this, field](bool on) {
        if (FOptions.*field == on)
            return;
        TTesterOptions o = FOptions;
        o.*field = on;
        RunGuarded([this, o] { SetOptions(o); });
    });
    return a;
}

void TfrmModbusMaster::WireKeyboard()
{
    btnConnect->setToolTip(QStringLiteral("Connect (F9)"));
    btnDisconnect->setToolTip(QStringLiteral("Disconnect (Shift+F9)"));
    btnRead->setToolTip(QStringLiteral("Read (F5)"));
    cbRealTime->setToolTip(QStringLiteral("Real time (Ctrl+R)"));
    connect(cbRealTime, &QCheckBox::toggled, actRealTime, &QAction::setChecked);
    sgData->OnKeyDown = [this](TStringGrid* g, int& k, Qt::KeyboardModifiers m) {
        RunGuarded([&] { sgDataKeyDown(g, k, m); });
    };
}

void TfrmModbusMaster::ApplyExtraOptions(const TTesterOptions& o)
{
    actDarkTheme->setChecked(o.DarkTheme);
    actKeepLayout->setChecked(o.KeepLayout);
    actTimeouts->setText(
        QStringLiteral("Time-out and retries (%1 ms, %2 retries)...").arg(o.TimeoutMs).arg(o.MaxRepeat));
    mdb->SetTimeout(uint32_t(o.TimeoutMs));
    mdb->SetMaxRepeat(uint16_t(o.MaxRepeat));
    DesignTheme::SetDark(o.DarkTheme);
}

void TfrmModbusMaster::actTimeoutsExecute(QObject*)
{
    TTesterOptions o = FOptions;
    if (RunTimeoutsDialog(this, o.TimeoutMs, o.MaxRepeat))
        SetOptions(o);
}

void TfrmModbusMaster::sgDataKeyDown(QObject*, int& Key, Qt::KeyboardModifiers)
{
    if (Key != Qt::Key_Return && Key != Qt::Key_Enter && Key != Qt::Key_F2)
        return;
    int col = -1, row = -1;
    if (!sgData->CurrentCell(col, row) || (col != kDataTypeCol && col != kDescriptionCol))
        return;
    Key = 0;
    EditCell(col, row);
}

void TfrmModbusMaster::RememberFolder(QString TTesterOptions::*field, const QString& fileName)
{
    const QString folder = QFileInfo(fileName).absolutePath();
    if (FOptions.*field == folder)
        return;
    TTesterOptions o = FOptions;
    o.*field = folder;
    SetOptions(o);
}
