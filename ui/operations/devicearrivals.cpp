#include "ui/operations/devicearrivals.h"

#include "android/androidconnectwithusbthread.h"
#include "android/androidloadsmsthread.h"
#include "android/androidwifiform.h"
#include "app/datafolder.h"
#include "app/messagebox.h"
#include "app/progressform.h"
#include "ios/backupmanifest.h"
#include "ios/cftype.h"
#include "ios/devicetrustpending.h"
#include "ios/iosloadfilerelaythread.h"
#include "ios/iosmobilebackupthread.h"
#include "ios/itunescachesmsthread.h"
#include "ios/mobiledevice.h"
#include "store/absiosmessagedb.h"
#include "store/ios5messagedb.h"
#include "store/ios6messagedb.h"
#include "ui/devicebusy.h"
#include "ui/itemmodelmain.h"
#include "ui/noticequeue.h"
#include "ui/operations/operationcontext.h"
#include "ui/passcodedlg.h"

#include <QMessageBox>
#include <algorithm>
#include <exception>
#include <stdexcept>

using Node = OperationContext::Node;

QString DeviceArrivals::iosTag(const void *handle)
{
    return QStringLiteral("ios:") + QString::number(quintptr(handle), 16);
}

QString DeviceArrivals::androidTag(const QString &deviceKey)
{
    return QStringLiteral("android:") + deviceKey;
}

bool DeviceArrivals::isAttached(const void *handle) const
{
    return std::any_of(m_iosDevices.cbegin(), m_iosDevices.cend(),
                       [handle](const IOSDevice &d) { return d.amDevice == handle; });
}

void DeviceArrivals::iosConnected(void *device)
{
    static const QStringList keys = {QStringLiteral("UniqueDeviceID"), QStringLiteral("DeviceName"),
                                     QStringLiteral("MobileSubscriberCountryCode"), QStringLiteral("ProductVersion"),
                                     QStringLiteral("ProductType")};
    NoticeQueue::show(QMessageBox::Information,
                      QStringLiteral("<p><b>Notes:</b> If your iPhone is protected with a passcode, please enter your "
                                     "passcode on iPhone first.</p>"));
    IOSDevice record;
    try {
        const QList<CFType> values = mobiledevice_copy_values(device, keys, QString());
        record.amDevice = device;
        record.uniqueDeviceId = values.value(0).toQString();
        record.deviceName = values.value(1).toQString();
        record.mobileSubscriberCountryCode = values.value(2).toQString();
        record.productVersion = values.value(3).toQString();
        record.productType = values.value(4).toQString();
    } catch (const DeviceTrustPending &e) {
        // The phone is reported again once trusted; the window stays usable.
        showNotice(QStringLiteral("trustNotice"), QString::fromUtf8(e.what()));
        return;
    } catch (const std::exception &e) {
        qWarning("%s", e.what());
        closeNotice(QStringLiteral("trustNotice"));
        showError(QString::fromUtf8(e.what()));
        return;
    }
    closeNotice(QStringLiteral("trustNotice"));
    // A repeated report of one handle is one phone: a second entry would
    // outlive the phone's single detach.
    if (!isAttached(device))
        m_iosDevices.append(record);
    loadIOSDevice(record);
}

void DeviceArrivals::loadIOSDevice(IOSDevice record)
{
    // The arrival goes on once the running operation on the phone ended,
    // unless the phone has left by then.
    const auto stillAttached = [this, record]() {
        if (isAttached(record.amDevice))
            loadIOSDevice(record);
    };
    if (context.busy->keepWhileBusy(record.uniqueDeviceId, iosTag(record.amDevice), stillAttached))
        return;
    QWidget *window = context.window;
    try {
        const DeviceBusy::Hold busy(*context.busy, record.uniqueDeviceId);

        record.mobileSubscriberCountryCode =
            context.settledCountry(record.mobileSubscriberCountryCode, record.deviceName);

        const QList<int> version = record.versionNumbers();
        const int major = version.value(0);
        if (version.isEmpty() || major == 5 || major == 6 || major == 7) {
            auto *form = new ProgressForm(QString(), window);
            auto *worker = new IOSLoadFileRelayThread(&record, form, window);
            const bool ok = OperationContext::runWorker(form, worker);
            delete worker;
            delete form;
            if (!ok)
                return;
        } else {
            if (!record.checkBackupSettings(true, false))
                return;
            auto *form = new ProgressForm(QString(), window);
            auto *backup = new IOSMobileBackupThread(&record, form, window);
            const bool backedUp = OperationContext::runWorker(form, backup);
            const QDir backupRoot = backup->backupDir();
            delete backup;
            if (!backedUp) {
                delete form;
                return;
            }
            bool cached = false;
            auto *cacheForm = new ProgressForm(QString(), window);
            try {
                BackupManifest manifest(backupRoot.absoluteFilePath(record.uniqueDeviceId));
                manifest.loadManifestPlist();
                bool unlocked = true;
                if (manifest.info.isEncrypted) {
                    PasscodeDlg passcode(&manifest, window);
                    unlocked = passcode.exec() == QDialog::Accepted;
                }
                if (unlocked) {
                    manifest.loadMbdb();
                    auto *worker = new ITunesCacheSMSThread(&manifest, record.cacheDir(), cacheForm, window);
                    cached = OperationContext::runWorker(cacheForm, worker);
                    delete worker;
                }
            } catch (const std::exception &e) {
                showError(QString::fromUtf8(e.what()));
            }
            delete cacheForm;
            delete form;
            if (!cached)
                return;
        }
        // The phone left during a modal step: a node of it would keep its
        // freed handle, and its detach has already been handled.
        if (!isAttached(record.amDevice))
            return;

        try {
            const QString smsDb =
                record.cacheDir().absoluteFilePath(QStringLiteral("file-relay/var/mobile/Library/SMS/sms.db"));
            QSharedPointer<AbsMessageDb> db;
            switch (AbsIOSMessageDb::detectVersion(smsDb)) {
            case 5:
                db.reset(new IOS5MessageDb(record.cacheDir(), record.mobileSubscriberCountryCode));
                break;
            case 6:
                db.reset(new IOS6MessageDb(record.cacheDir(), record.mobileSubscriberCountryCode, false));
                break;
            default:
                throw std::runtime_error("invalid IOS db.");
            }
            _AbsDBItemNode *node = context.tree->addIOSDevice(db, record);
            try {
                node->db->chats(node->store);
            } catch (const std::exception &e) {
                showError(QStringLiteral("%1, line:%2").arg(QString::fromUtf8(e.what())).arg(404));
                return;
            }
            context.tree->loadChatSessions(node);
            context.selectNode(node);
        } catch (const std::exception &e) {
            qWarning("%s", e.what());
            showError(QString::fromUtf8(e.what()));
        }
    } catch (const std::exception &e) {
        qWarning("%s", e.what());
        showError(QString::fromUtf8(e.what()));
    }
}

void DeviceArrivals::iosDisconnected(void *device)
{
    for (int i = 0; i < m_iosDevices.size(); ++i) {
        if (m_iosDevices.at(i).amDevice == device) {
            m_iosDevices.removeAt(i);
            break;
        }
    }
    // An arrival waiting for this phone's running operation gives up; one of
    // a later report of the same phone (another handle) still runs.
    context.busy->dropTagged(iosTag(device));
    context.operationsChanged();
    // The phones of the "virtual_ios" folder have no handle: no notice is theirs.
    if (!device)
        return;
    // Every node of the phone goes (a phone reported twice has two): a node
    // left behind would keep the freed handle.
    const QList<Node *> children = context.tree->rootDevice->children;
    for (Node *child : children) {
        if (child->type == ITEM_IOS_DEVICE && static_cast<_IOSDeviceItemNode *>(child)->device.amDevice == device)
            context.removeNode(child);
    }
}

void DeviceArrivals::androidConnected(const AdbDevice &device)
{
    // The monitor reports a serial again only after it left; an arrival that
    // nests in the modal loops of that serial's own connection or load waits
    // for its end rather than talking to the app twice at once.
    const QString key = QStringLiteral("serial:") + device.serial;
    if (context.busy->keepWhileBusy(key, androidTag(device.serial), [this, device]() { androidConnected(device); }))
        return;
    try {
        const DeviceBusy::Hold busy(*context.busy, key);
        if (!device.isReady())
            NoticeQueue::show(QMessageBox::Warning,
                              QStringLiteral("If you are presented with the pop up to allow debugging with the "
                                             "computer on your Android device screen. Please simply check \"Always "
                                             "allow from this computer\" and then click \"OK\" to finish.<br/>(%1)")
                                  .arg(device.line.toHtmlEscaped()));
        auto *form = new ProgressForm(QString(), context.window);
        auto *worker = new AndroidConnectWithUSBThread(device.serial, form, context.window);
        const bool ok = OperationContext::runWorker(form, worker);
        const AndroidDevice connected = worker->device;
        delete worker;
        delete form;
        if (ok)
            androidLoad(connected);
    } catch (const std::exception &e) {
        qWarning("%s", e.what());
        showError(QString::fromUtf8(e.what()));
    }
}

void DeviceArrivals::androidDisconnected(const QString &id)
{
    if (id.isEmpty())
        return;
    const QList<Node *> children = context.tree->rootDevice->children;
    for (Node *child : children) {
        if (child->type == ITEM_ANDROID_DEVICE && static_cast<_AndroidDeviceItemNode *>(child)->device.deviceKey() == id) {
            context.removeNode(child);
            return;
        }
    }
}

void DeviceArrivals::androidLoad(AndroidDevice device)
{
    // Two loads of one phone would rebuild the same cache database at once;
    // the later one runs after the earlier (or a transfer to it) has ended.
    const QString key = QStringLiteral("cache:") + device.cacheFolderName();
    if (context.busy->keepWhileBusy(key, androidTag(device.deviceKey()), [this, device]() { androidLoad(device); }))
        return;
    const DeviceBusy::Hold busy(*context.busy, key);

    device.mmc = context.settledCountry(device.mmc, device.displayName());

    auto *form = new ProgressForm(QString(), context.window);
    auto *worker = new AndroidLoadSMSThread(&device, form, context.window);
    const bool ok = OperationContext::runWorker(form, worker);
    if (ok) {
        const QList<Node *> children = context.tree->rootDevice->children;
        for (Node *child : children) {
            if (child->type == ITEM_ANDROID_DEVICE && static_cast<_AndroidDeviceItemNode *>(child)->device.uid == device.uid)
                context.removeNode(child);
        }
        try {
            QSharedPointer<AbsMessageDb> db(new IOS6MessageDb(device.cacheDir(), device.mmc, true));
            _AbsDBItemNode *node = context.tree->addAndroidDevice(db, device);
            node->db->chats(node->store);
            context.tree->loadChatSessions(node);
            context.selectNode(node);
        } catch (const std::exception &e) {
            showError(QString::fromUtf8(e.what()));
        }
    }
    delete worker;
    delete form;
}

void DeviceArrivals::dropKeptArrivals(const QString &serial)
{
    // Its connection and its load both: a load kept for a phone that has gone
    // would only end in the load's error box.
    context.busy->dropTagged(androidTag(serial));
}

void DeviceArrivals::connectWifi()
{
    AndroidWIFIForm form(context.window);
    if (form.exec() != QDialog::Accepted)
        return;
    const AndroidDevice device = form.device;
    const QList<Node *> children = context.tree->rootDevice->children;
    for (Node *child : children) {
        if (child->type == ITEM_ANDROID_DEVICE && static_cast<_AndroidDeviceItemNode *>(child)->device.uid == device.uid) {
            context.removeNode(child);
            break;
        }
    }
    androidLoad(device);
}

void DeviceArrivals::loadVirtualPhones()
{
    // A folder whose database cannot be read keeps its node, without rows.
    const auto loadChats = [this](_AbsDBItemNode *node) {
        try {
            node->db->chats(node->store);
            context.tree->loadChatSessions(node);
        } catch (const std::exception &e) {
            showError(QString::fromUtf8(e.what()));
        }
    };
    const QDir data = appDataDir();
    const QDir iosRoot(data.absoluteFilePath(QStringLiteral("virtual_ios")));
    if (iosRoot.exists()) {
        for (const QString &name : subFolders(iosRoot)) {
            IOSDevice device;
            device.deviceName = name;
            device.uniqueDeviceId = iosRoot.absoluteFilePath(name);
            QSharedPointer<AbsMessageDb> db(new IOS6MessageDb(QDir(device.uniqueDeviceId), QString(), true));
            loadChats(context.tree->addIOSDevice(db, device));
        }
    }
    const QDir androidRoot(data.absoluteFilePath(QStringLiteral("virtual_android")));
    if (androidRoot.exists()) {
        for (const QString &name : subFolders(androidRoot)) {
            AndroidDevice device;
            device.model = name;
            device.uid = androidRoot.absoluteFilePath(name);
            QSharedPointer<AbsMessageDb> db(new IOS6MessageDb(QDir(device.uid), QString(), true));
            loadChats(context.tree->addAndroidDevice(db, device));
        }
    }
}
