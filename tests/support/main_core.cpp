// SPDX-License-Identifier: GPL-3.0-or-later
// Test entry for engine tests: a QCoreApplication so that timers, sockets
// and queued notifications work as they do in the tester.
#include <QCoreApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
