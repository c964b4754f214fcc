// SPDX-License-Identifier: GPL-3.0-or-later
// Main window: the menu bar above the designed client area and the entries
// that are not the concern of a feature file of their own.
#include "uMaster.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>

#include "AppErrors.h"

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
