// SPDX-License-Identifier: GPL-3.0-or-later
#include "EventLoop.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QtGlobal>

#include <exception>

#ifdef Q_OS_LINUX
#include "LeanDispatcher.h"
#endif

namespace zorp {

void UseQtEventDispatcher()
{
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", QByteArrayLiteral("1"));
}

void UseToolEventLoop()
{
    const QByteArray choice = qgetenv("ZORP_EVENT_LOOP");
    if (choice == "glib")
        return;
#ifdef Q_OS_LINUX
    if (choice != "qt") {
        try {
            QCoreApplication::setEventDispatcher(new LeanDispatcher);
            return;
        } catch (const std::exception& e) {
            qWarning("%s; Qt's own event loop is used", e.what());
        }
    }
#endif
    UseQtEventDispatcher();
}

} // namespace zorp
