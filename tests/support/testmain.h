#pragma once
// Test entry point: every test process gets a fresh, private HOME and XDG data
// home before the application object exists, so nothing touches the real one.
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
}

#define QP_TEST_MAIN(TestObject)                                   \
    int main(int argc, char **argv)                                \
    {                                                              \
        QTemporaryDir home;                                        \
        testsupport::useHome(home.path());                         \
        QApplication app(argc, argv);                              \
        app.setAttribute(Qt::AA_Use96Dpi, true);                   \
        TestObject tc;                                             \
        QTEST_SET_MAIN_SOURCE_PATH                                 \
        const int failed = QTest::qExec(&tc, argc, argv);          \
        testsupport::finishErrorReports(app);                      \
        return failed;                                             \
    }
