#pragma once
// Test entry point: every test process gets a fresh, private HOME and XDG data
// home before the application object exists, so nothing touches the real one.
#include <QApplication>
#include <QTemporaryDir>
#include <QtTest/QtTest>

namespace testsupport {
// Points HOME and XDG_DATA_HOME at folders inside root (created when missing).
void useHome(const QString &root);
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
        return QTest::qExec(&tc, argc, argv);                      \
    }
