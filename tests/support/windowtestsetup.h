#pragma once
// The set-up every test of the main window makes before its first window.
#include <QString>
#include <QUrl>

class FakeAdb;
class QTranslator;

namespace testsupport {

// The maker's server at server, adb answering that no phone is attached,
// English texts through translator, no Android hint. With phonesDir, the
// device stand-ins are loaded (from commonFiles when given) and watch that
// folder of virtual iPhones. Empty when all is set, else what failed.
QString prepareWindowTests(const QUrl &server, FakeAdb &adb, QTranslator &translator,
                           const QString &phonesDir = QString(), const char *commonFiles = nullptr);

// Marks today's update check as done, so none of its boxes meets a case.
bool markUpdateCheckDone(const QString &dataDir);

} // namespace testsupport
