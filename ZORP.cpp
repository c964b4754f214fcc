// The tester's entry point: the application, the main window, the message loop.
#include <QApplication>

#include "CommPort.h"
#include "FormStorage.h"
#include "uMaster.h"

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("ZORP"));
    // COM numbers come from the "comports.ini" beside "setings.ini", where
    // the serial-port list writes new ones.
    TCommPort::SetComPortsIniPath(zorp::ConfigFolder() + QStringLiteral("/comports.ini"));
    TfrmModbusMaster window;
    window.show();
    return app.exec();
}
