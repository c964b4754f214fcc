// SPDX-License-Identifier: GPL-3.0-or-later
// Test entry for tester tests: a QApplication on the offscreen platform
// unless the caller chose another one (xvfb for screenshots).
#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
