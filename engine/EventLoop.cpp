// SPDX-License-Identifier: GPL-3.0-or-later
#include "EventLoop.h"

#include <QByteArray>
#include <QtGlobal>

namespace zorp {

void UseQtEventDispatcher()
{
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", QByteArrayLiteral("1"));
}

} // namespace zorp
