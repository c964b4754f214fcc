// SPDX-License-Identifier: GPL-3.0-or-later
// The tester's entry point: the application, the main window, the message loop.
#include <QApplication>
#include <QTimer>

#include <cstdio>
#include <cstring>

#include "CommPort.h"
#include "FormStorage.h"
#include "uMaster.h"

#ifndef ZORP_VERSION
#define ZORP_VERSION "unknown"
#endif

namespace {

const char* const kHelp =
    "usage: zorp [--help | --version]\n"
    "Opens the tester window for a Modbus slave (RTU on a serial line, RTU over TCP,\n"
    "Modbus TCP). Settings: \"setings.ini\", the profiles in \"Settings\" and\n"
    "\"comports.ini\" beside the program, or in ~/.config/ZORP when the program's\n"
    "folder cannot be written.\n"
    "Environment: ZORP_CONFIG_DIR (the settings folder), ZORP_SPLASH_MS (how long\n"
    "the title window stays), ZORP_QUIT_AFTER_MS (close after that long),\n"
    "ZORP_SERIAL_BY_ID_DIR (stable serial-port names, default /dev/serial/by-id).\n";

} // namespace

int main(int argc, char** argv)
{
    // Answered before the application starts, so they work without a display.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::puts("zorp " ZORP_VERSION);
            return 0;
        }
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("ZORP"));
    QApplication::setApplicationVersion(QStringLiteral(ZORP_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("org.zelvara.zorp"));
    // COM numbers come from the "comports.ini" beside "setings.ini", where
    // the serial-port list writes new ones.
    TCommPort::SetComPortsIniPath(zorp::ConfigFolder() + QStringLiteral("/comports.ini"));
    TfrmModbusMaster window;
    window.show();
    // A close like the user's (the settings are written): for scripted runs.
    bool ok = false;
    const int quitAfter = qEnvironmentVariableIntValue("ZORP_QUIT_AFTER_MS", &ok);
    if (ok && quitAfter >= 0)
        QTimer::singleShot(quitAfter, &window, &QWidget::close);
    return app.exec();
}
