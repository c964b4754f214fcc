// SPDX-License-Identifier: GPL-3.0-or-later
// Test entry for engine tests: a QCoreApplication so that timers, sockets
// and queued notifications work as they do in the tester. With
// ZORP_EVENT_LOOP set, the binary runs on the event loop the command-line
// tools choose for that value (lean: their own dispatcher).
#include <QCoreApplication>
#include <gtest/gtest.h>

#include "EventLoop.h"

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (qEnvironmentVariableIsSet("ZORP_EVENT_LOOP"))
        zorp::UseToolEventLoop();
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
