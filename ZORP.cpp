// The tester's entry point: the application, the main window, the message loop.
#include <QApplication>

#include "uMaster.h"

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("ZORP"));
    TfrmModbusMaster window;
    window.show();
    return app.exec();
}
