#pragma once
// Test entry point: every test process gets a fresh, private HOME and XDG data
// home before the application object exists, so nothing touches the real one.
//
// The QTest classes of one test folder share one executable; each class
// registers itself under its test's name, its file's name without ".cpp", and
// the folder's runner (testrunner.cpp) runs the class its first argument
// names: `qptests_ui tst_mainwindow [QTest options]`.
#include <QApplication>
#include <QTemporaryDir>
#include <QtTest/QtTest>

namespace testsupport {
// Points HOME and XDG_DATA_HOME at folders inside root (created when missing).
void useHome(const QString &root);
// Lets error reports still on their way end (a few seconds at most): one
// freed with the application while its request runs leaves Qt's network
// objects behind, which the leak checker reports.
void finishErrorReports(QCoreApplication &app);

// Runs one test class with QTest's arguments; answers QTest's result.
using TestRun = int (*)(int argc, char **argv);
// Made by QP_TEST_MAIN at start-up: adds the class to the runner's list under
// the name of its source file (tests/ui/tst_foo.cpp: "tst_foo").
struct TestRegistration
{
    TestRegistration(const char *sourceFile, TestRun run);
};
// The class registered under name, or nullptr; every name, sorted.
TestRun registeredTest(const char *name);
QStringList registeredTests();
}

#define QP_TEST_MAIN(TestObject)                                                          \
    static int qpRun##TestObject(int argc, char **argv)                                   \
    {                                                                                     \
        TestObject tc;                                                                    \
        QTEST_SET_MAIN_SOURCE_PATH                                                        \
        return QTest::qExec(&tc, argc, argv);                                             \
    }                                                                                     \
    static const testsupport::TestRegistration qpRegister##TestObject(__FILE__, qpRun##TestObject);
