#pragma once
// Putting messages onto virtual iPhones through the real window: a phone is
// plugged in and loaded (its arrival note answered), the device chooser is
// answered by name, and what the phone's message database holds after the
// fake backup program restored onto it is read back. Header only: the cases
// that use it link the window already.
#include "tests/support/dialogdriver.h"
#include "tests/support/messagedbfixture.h"
#include "tests/support/sqlitefixture.h"
#include "tests/support/virtualiphonefixture.h"
#include "tests/support/windowfixture.h"
#include "tests/support/windownodes.h"
#include "ui/datasourceselform.h"
#include "ui/itemmodelmain.h"
#include "ui/mainwindow.h"

#include "ui_datasourceselform.h"
#include "ui_mainwindow.h"

#include <QComboBox>
#include <QLabel>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTreeView>
#include <QtTest/QTest>

namespace testsupport {

// A phone of the typical conversations with its own id, name and model.
inline VirtualIPhoneSetup transferPhone(const QString &folderName, const QString &udid, const QString &name,
                                        const QString &productType = QStringLiteral("iPhone12,1"))
{
    VirtualIPhoneSetup setup = typicalIPhone(folderName);
    setup.values[QStringLiteral("UniqueDeviceID")] = udid;
    setup.values[QStringLiteral("DeviceName")] = name;
    setup.values[QStringLiteral("ProductType")] = productType;
    setup.messages = typicalConversations();
    return setup;
}

// Writes the phone into phonesDir and waits until count nodes of its id are
// in the tree and no operation uses it; its arrival note is answered here.
// The arrival selects the phone's node: callers select their source after.
inline bool plugIPhone(MainWindow &window, DialogDriver &driver, const QString &phonesDir,
                       const VirtualIPhoneSetup &setup, QString *folder = nullptr, int count = 1)
{
    const QString udid = setup.values.value(QStringLiteral("UniqueDeviceID")).toString();
    driver.thenPress(QMessageBox::Ok);
    const QString written = writeVirtualIPhone(phonesDir, setup);
    if (folder)
        *folder = written;
    return QTest::qWaitFor([&]() { return iphoneNodes(window, udid).size() == count && !window.isDeviceBusy(udid); },
                           60000);
}

// Answers the device chooser: records the texts it offers (and its prompt),
// then confirms the entry named name, or closes it when name is empty or not
// offered.
inline DialogDriver::Action chooseTarget(QStringList *offered, const QString &name, QString *prompt = nullptr)
{
    return [offered, name, prompt](QWidget *window) {
        auto *form = qobject_cast<DataSourceSelForm *>(window);
        if (!form) {
            qWarning("chooseTarget: %s is no device chooser", window->metaObject()->className());
            return;
        }
        if (prompt)
            *prompt = form->widgets()->lbSelDevice->text();
        QComboBox *box = form->widgets()->cbDevice;
        for (int i = 0; i < box->count(); ++i)
            offered->append(box->itemText(i));
        const int index = name.isEmpty() ? -1 : box->findText(name);
        if (index < 0) {
            form->reject();
            return;
        }
        box->setCurrentIndex(index);
        form->onBtnOkPressed();
    };
}

inline QString phoneMessageDb(const QString &phoneFolder)
{
    return virtualIPhoneRoot(phoneFolder) + QStringLiteral("/var/mobile/Library/SMS/sms.db");
}

// The guids of the phone's messages, sorted, each as often as it is stored.
inline QStringList phoneMessageGuids(const QString &phoneFolder)
{
    QStringList guids;
    for (const QVariantList &row : queryRows(phoneMessageDb(phoneFolder), QStringLiteral("select guid from message")))
        guids.append(row.value(0).toString());
    guids.sort();
    return guids;
}

// The guids of a fixture's messages, sorted.
inline QStringList fixtureGuids(const MsgFixtureContent &content)
{
    QStringList guids;
    for (const MsgFixtureMessage &m : content.messages)
        guids.append(m.guid);
    guids.sort();
    return guids;
}

inline QByteArray fileDigest(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256);
}

// The arguments the fake backup program was last started with.
inline QString lastBackupCommand(const QString &recordFile)
{
    QFile file(recordFile);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

} // namespace testsupport
