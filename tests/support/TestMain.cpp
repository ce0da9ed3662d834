// Test entry point: a QCoreApplication for engine tests, a QApplication under
// the offscreen platform (unless the caller chose another) for window tests.
// Before any test runs, the process guard (ProcessGuard.h) stands in front
// of ProcessControl, and the console counts as root (DOZORIX_ASSUME_EUID).
// A program of dozorix_private_pid_tests() refuses to run, or even to list
// its tests, unless it is PID 1 of a PID namespace of its own: its tests end
// processes by name.
#ifdef DOZORIX_TEST_WIDGETS
#include <QApplication>
using TestApplication = QApplication;
#else
#include <QCoreApplication>
using TestApplication = QCoreApplication;
#endif
#include "support/ProcessGuard.h"

#include <gtest/gtest.h>

#include <cstdio>

int main(int argc, char **argv)
{
#ifdef DOZORIX_TEST_PRIVATE_PID_NAMESPACE
    if (!dozorix::test::inPrivatePidNamespace()) {
        std::fprintf(stderr,
                     "%s: these tests end processes by name and run only as PID 1 of a PID namespace of their "
                     "own: run them with ctest, or by hand as\n  %s %s [gtest options]\n",
                     argv[0], DOZORIX_PRIVATE_PID_NAMESPACE_SCRIPT, argv[0]);
        return 1;
    }
#endif
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The console under test counts as root, whoever runs the suite, so that
    // an ordinary account sees the same log as root does (no start-up line
    // about rights, no polkit); the tests of a console that is not root say
    // so themselves (shell/Elevation.h).
    if (qEnvironmentVariableIsEmpty("DOZORIX_ASSUME_EUID"))
        qputenv("DOZORIX_ASSUME_EUID", "0");
    TestApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    dozorix::test::installProcessGuard();
    return RUN_ALL_TESTS();
}
