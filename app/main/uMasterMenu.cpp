// SPDX-License-Identifier: GPL-3.0-or-later
// Main window: the menu bar above the designed client area and the entries
// that are not the concern of a feature file of their own.
#include "uMaster.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QInputDialog>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>

#include "AppErrors.h"
#include "SimulatorWindow.h"
#include "FormStorage.h"
#include "SettingsLock.h"
#include "VexaModbus.h"

namespace {
constexpr const char* kVersion = "1.0.2";
constexpr const char* kLicence = "GNU General Public License, version 3 or later (GPL-3.0-or-later)";
} // namespace

void TfrmModbusMaster::CreateMenu()
{
    MainMenu = new QMenuBar(this);
    MainMenu->setObjectName(QStringLiteral("MainMenu"));
    // The window draws its own menu bar above the client area, also where the
    // desktop offers a global one: the client area's position must not depend
    // on the desktop.
    MainMenu->setNativeMenuBar(false);
    mnuFile = MainMenu->addMenu(QStringLiteral("&File"));
    mnuFile->setObjectName(QStringLiteral("mnuFile"));
    mnuView = MainMenu->addMenu(QStringLiteral("&View"));
    mnuView->setObjectName(QStringLiteral("mnuView"));
    mnuOptions = MainMenu->addMenu(QStringLiteral("&Options"));
    mnuOptions->setObjectName(QStringLiteral("mnuOptions"));
    mnuHelp = MainMenu->addMenu(QStringLiteral("&Help"));
    mnuHelp->setObjectName(QStringLiteral("mnuHelp"));

    auto guarded = [this](QAction* a, void (TfrmModbusMaster::*h)(QObject*)) {
        connect(a, &QAction::triggered, this, [this, h] { RunGuarded([this, h] { (this->*h)(this); }); });
    };
    auto named = [](QAction* a, const char* name) {
        a->setObjectName(QLatin1String(name));
        return a;
    };
    actSaveLog = named(mnuFile->addAction(QStringLiteral("&Save log as...")), "actSaveLog");
    guarded(actSaveLog, &TfrmModbusMaster::actSaveLogExecute);
    actExportCsv = named(mnuFile->addAction(QStringLiteral("&Export grid as CSV...")), "actExportCsv");
    guarded(actExportCsv, &TfrmModbusMaster::actExportCsvExecute);

    // Options take effect at once and are stored in their own section.
    auto option = [this](QMenu* menu, const char* name, const QString& text, bool TTesterOptions::*field) {
        return AddOptionToggle(menu, name, text, field);
    };
    actErrorsInLog = option(mnuView, "actErrorsInLog", QStringLiteral("Errors in the log"),
                            &TTesterOptions::ErrorsInLog);

    QMenu* pause = mnuOptions->addMenu(QStringLiteral("Real-time pause"));
    pause->setObjectName(QStringLiteral("mnuPause"));
    auto* pauseGroup = new QActionGroup(this);
    actPauseDesigned = named(pause->addAction(QStringLiteral("50 ms after 03 only (default)")),
                             "actPauseDesigned");
    actPauseCustom = named(pause->addAction(QStringLiteral("Pause after every response...")), "actPauseCustom");
    for (QAction* a : {actPauseDesigned, actPauseCustom}) {
        a->setCheckable(true);
        pauseGroup->addAction(a);
    }
    actPauseDesigned->setChecked(true);
    connect(actPauseDesigned, &QAction::triggered, this, [this] {
        TTesterOptions o = FOptions;
        o.RealTimePauseMs = -1;
        RunGuarded([this, o] { SetOptions(o); });
    });
    guarded(actPauseCustom, &TfrmModbusMaster::actPauseCustomExecute);
    actKeepPolling = option(mnuOptions, "actKeepPolling", QStringLiteral("Keep polling after errors"),
                            &TTesterOptions::KeepPollingAfterErrors);
    actRemoveEcho = option(mnuOptions, "actRemoveEcho", QStringLiteral("Remove echo (two-wire adapters)"),
                           &TTesterOptions::RemoveEcho);

    QAction* simulator = named(mnuFile->addAction(QStringLiteral("New simulator window")), "actNewSimulator");
    connect(simulator, &QAction::triggered, this, [this] { RunGuarded([this] { (new TfrmSimulator(this))->show(); }); });
    QAction* exitAction = new QAction(QStringLiteral("E&xit"), this);
    exitAction->setObjectName(QStringLiteral("actExit"));
    connect(exitAction, &QAction::triggered, this, [this] { close(); });
    mnuFile->addSeparator();
    mnuFile->addAction(exitAction);

    QAction* about = mnuHelp->addAction(QStringLiteral("&About..."));
    about->setObjectName(QStringLiteral("actAbout"));
    connect(about, &QAction::triggered, this, [this] { RunGuarded([this] { actAboutExecute(this); }); });

    // Options > Serial ports...: the machine's serial ports by name.
    actSerialPorts = new QAction(QStringLiteral("Serial ports..."), this);
    actSerialPorts->setObjectName(QStringLiteral("actSerialPorts"));
    connect(actSerialPorts, &QAction::triggered, this, [this] { RunGuarded([this] { ShowSerialPorts(); }); });
    mnuOptions->addSeparator();
    mnuOptions->addAction(actSerialPorts);
    CreateExtraActions();
}

QMenu* TfrmModbusMaster::ExtensionMenu(const QString& name) const
{
    QString n = name;
    n.remove(u'&');
    if (n.compare(QLatin1String("File"), Qt::CaseInsensitive) == 0)
        return mnuFile;
    if (n.compare(QLatin1String("View"), Qt::CaseInsensitive) == 0)
        return mnuView;
    if (n.compare(QLatin1String("Options"), Qt::CaseInsensitive) == 0)
        return mnuOptions;
    if (n.compare(QLatin1String("Help"), Qt::CaseInsensitive) == 0)
        return mnuHelp;
    return nullptr;
}

int TfrmModbusMaster::MenuHeight() const
{
    return MainMenu ? MainMenu->height() : 0;
}

QString TfrmModbusMaster::AboutText()
{
    return QStringLiteral("ZORP (Zelvara) v. %1\nA Modbus master for testing slave devices.\nLicence: %2.")
        .arg(QLatin1String(kVersion), QLatin1String(kLicence));
}

void TfrmModbusMaster::actAboutExecute(QObject*)
{
    // Opened without a nested event loop: polling goes on while it is shown.
    auto* box = new QMessageBox(QMessageBox::Information, QStringLiteral("About ZORP"), AboutText(),
                                QMessageBox::Ok, this);
    box->setObjectName(QStringLiteral("AboutBox"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

QString TfrmModbusMaster::OptionsFileName() const
{
    return zorp::ConfigFolder() + QStringLiteral("/setings.ini");
}

void TfrmModbusMaster::SetOptions(const TTesterOptions& o, bool store)
{
    TTesterOptions v = o;
    if (v.RealTimePauseMs > TTesterOptions::MaxPauseMs)
        v.RealTimePauseMs = TTesterOptions::MaxPauseMs;
    FOptions = v;
    actErrorsInLog->setChecked(v.ErrorsInLog);
    actKeepPolling->setChecked(v.KeepPollingAfterErrors);
    actRemoveEcho->setChecked(v.RemoveEcho);
    actPauseDesigned->setChecked(v.RealTimePauseMs < 0);
    actPauseCustom->setChecked(v.RealTimePauseMs >= 0);
    actPauseCustom->setText(v.RealTimePauseMs < 0 ? QStringLiteral("Pause after every response...")
                                                  : QStringLiteral("Pause after every response: %1 ms...")
                                                        .arg(v.RealTimePauseMs));
    mdb->SetRemoveEcho(v.RemoveEcho);
    ApplyExtraOptions(v);
    if (store && FKeepsSettings && zorp::OwnsSettings() && !v.Save(OptionsFileName()))
        throw EFileWriteError(OptionsFileName());
}

void TfrmModbusMaster::actPauseCustomExecute(QObject*)
{
    bool ok = false;
    const int start = FOptions.RealTimePauseMs < 0 ? 50 : FOptions.RealTimePauseMs;
    const int ms = QInputDialog::getInt(this, QStringLiteral("Real-time pause"),
                                        QStringLiteral("Pause after every response, for every function (ms):"),
                                        start, 0, TTesterOptions::MaxPauseMs, 10, &ok);
    TTesterOptions o = FOptions;
    if (ok)
        o.RealTimePauseMs = ms;
    // A cancelled dialog leaves the choice as it was (and its check marks).
    SetOptions(o, ok);
}
