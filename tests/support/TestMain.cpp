// Test entry point: a QCoreApplication for engine tests, a QApplication under
// the offscreen platform (unless the caller chose another) for window tests.
// Before any test runs, the process guard (ProcessGuard.h) stands in front
// of ProcessControl.
#ifdef DOZORIX_TEST_WIDGETS
#include <QApplication>
using TestApplication = QApplication;
#else
#include <QCoreApplication>
using TestApplication = QCoreApplication;
#endif
#include "ProcessGuard.h"

#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    TestApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    dozorix::test::installProcessGuard();
    return RUN_ALL_TESTS();
}
