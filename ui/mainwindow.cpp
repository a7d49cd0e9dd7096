#include "ui/mainwindow.h"

#include "ui_mainwindow.h"

#include "android/androidconnectwithusbthread.h"
#include "android/androidloadsmsthread.h"
#include "android/androidmonitor.h"
#include "android/androidrestoresmsthread.h"
#include "android/androidwifiform.h"
#include "app/datafolder.h"
#include "app/durablefile.h"
#include "app/makerserver.h"
#include "app/messagebox.h"
#include "app/progressform.h"
#include "app/stylesheet.h"
#include "export/exportsmsthread.h"
#include "export/msglocaltime.h"
#include "export/smsprinter.h"
#include "ios/applelibs.h"
#include "ios/backupmanifest.h"
#include "ios/cftype.h"
#include "ios/devicetrustpending.h"
#include "ios/ios6restoremessagesthread.h"
#include "ios/iosloadfilerelaythread.h"
#include "ios/iosmobilebackupthread.h"
#include "ios/iosmobilerestorethread.h"
#include "ios/itunescachesmsthread.h"
#include "ios/mobiledevice.h"
#include "platform/desktop/desktopopener.h"
#include "store/absiosmessagedb.h"
#include "store/backupsmsthread.h"
#include "store/countrylibdb.h"
#include "store/deletemessagesthread.h"
#include "store/ios5messagedb.h"
#include "store/ios6messagedb.h"
#include "store/localdbselform.h"
#include "store/msgrecords.h"
#include "store/msgtext.h"
#include "ui/aboutusform.h"
#include "ui/countryselform.h"
#include "ui/datasourceselform.h"
#include "ui/itemmodelmain.h"
#include "ui/itemmodelsms.h"
#include "ui/loaditunesbackupdlg.h"
#include "ui/noticequeue.h"
#include "ui/passcodedlg.h"
#include "ui/windowseams.h"

#include <QCursor>
#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPersistentModelIndex>
#include <QRegularExpression>
#include <QStatusBar>
#include <QStyle>
#include <QTimer>
#include <algorithm>
#include <exception>
#include <memory>
#include <stdexcept>
#include <vector>

namespace {

const int kBuildNumber = 40;
// The update check runs at most once in this many seconds.
const quint32 kCheckInterval = 86400;
const char *const kCheckTimeFile = "last-check-version-time";
const char *const kAdvertFile = "last-adv";
// Both answers are a line of text; a reply beyond this is no answer of the
// maker's server and is not read into memory.
const qint64 kMaxReplyBytes = 64 * 1024;
const char *const kOversized = "oversized";

// Stops a reply that grows past the bound; the slot then ignores its body.
void capReply(QNetworkReply *reply)
{
    QObject::connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64 total) {
        if (received > kMaxReplyBytes || total > kMaxReplyBytes) {
            reply->setProperty(kOversized, true);
            reply->abort();
        }
    });
}

qint64 unixNow()
{
    return WindowSeams::unixNow();
}

// Text up to the first NUL byte.
QByteArray beforeNul(QByteArray bytes)
{
    const int nul = int(bytes.indexOf('\0'));
    if (nul >= 0)
        bytes.truncate(nul);
    return bytes;
}

bool isDatabaseNode(const MainWindow::Node *node)
{
    return node && (node->type == ITEM_IOS_DEVICE || node->type == ITEM_ANDROID_DEVICE || node->type == ITEM_LOCAL_DB);
}

_AbsDBItemNode *dbNode(MainWindow::Node *node)
{
    return isDatabaseNode(node) ? static_cast<_AbsDBItemNode *>(node) : nullptr;
}

// The sub-folders of a folder, by name.
QStringList subFolders(const QDir &dir)
{
    return dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
}

// One entry of a context menu: a text of the "QObject" context, an icon
// resource (or none), the slot, and whether the entry is enabled.
struct MenuEntry
{
    const char *text;
    const char *icon;
    void (MainWindow::*slot)();
    bool enabled = true;
};

} // namespace

// ---- construction and destruction -------------------------------------------

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), ui(new Ui_MainWindow)
{
    ui->setupUi(this);
    setStyleSheet(::styleSheet());
    deviceBusy = new DeviceBusy(this);
    connect(deviceBusy, &DeviceBusy::released, this, &MainWindow::deviceOperationsChanged);

    connect(ui->treeViewDS, &MyTreeView::onSelectionChanged, this, &MainWindow::onMainTreeSelected);
    connect(ui->treeViewDS, &MyTreeView::createContextMenu, this, &MainWindow::onMainTreeContextMenu);
    connect(ui->treeViewSMS, &MyTreeView::onSelectionChanged, this, &MainWindow::onSMSItemSelected);
    connect(ui->treeViewSMS, &MyTreeView::createContextMenu, this, &MainWindow::onSMSContextMenu);
    connect(ui->btnSearchHandle, &QToolButton::pressed, this, &MainWindow::searchCotnact);
    connect(ui->txtHandleKeyword, &QLineEdit::returnPressed, this, &MainWindow::searchCotnact);
    connect(ui->btnSearchSMS, &QToolButton::pressed, this, &MainWindow::searchMessages);
    connect(ui->txtSMSKeyword, &QLineEdit::returnPressed, this, &MainWindow::searchMessages);

    ui->splitter->setSizes({250, 750});

    mainModel = new ItemModelMain(this);
    ui->treeViewDS->setModel(mainModel);
    ui->treeViewDS->expandAll();

    smsModel = new ItemModelSms(this);
    ui->treeViewSMS->setSortingEnabled(true);
    ui->treeViewSMS->header()->setSectionsMovable(false);
    ui->treeViewSMS->header()->setSortIndicator(0, Qt::AscendingOrder);
    connect(ui->treeViewSMS->header(), &QHeaderView::sortIndicatorChanged, this,
            &MainWindow::onSMSSortIndicatorChanged);
    ui->treeViewSMS->setModel(smsModel);
    ui->treeViewSMS->header()->resizeSection(0, dateColumnWidth());
    ui->treeViewSMS->header()->resizeSection(1, 50);
    ui->treeViewSMS->header()->resizeSection(2, 120);

    createMenus();
    setWindowTitle(QObject::tr("Quillmarten Parlevane"));

    // The advert comes unauthenticated over plain HTTP (or from the file it
    // left): its links are opened here, and only web ones.
    advertLabel = new QLabel(ui->statusBar);
    advertLabel->setTextFormat(Qt::RichText);
    advertLabel->setOpenExternalLinks(false);
    advertLabel->setTextInteractionFlags(Qt::LinksAccessibleByMouse);
    connect(advertLabel, &QLabel::linkActivated, this, &MainWindow::onAdvertLinkActivated);
    ui->statusBar->setStyleSheet(QStringLiteral("QStatusBar::item{border: 0px}"));
    ui->statusBar->addWidget(advertLabel, 0);
    QFile advert(appDataDir().absoluteFilePath(QLatin1String(kAdvertFile)));
    if (advert.open(QIODevice::ReadOnly))
        advertLabel->setText(QString::fromUtf8(advert.readAll()));

    if (apple_libs_loaded()) {
        s_deviceNotifyTarget.receiver = this;
        s_deviceNotifyTarget.connectedSlot = "iosDeviceConnected";
        s_deviceNotifyTarget.disconnectedSlot = "iosDeviceDisconnected";
        try {
            mobiledevice_subscribe(&s_deviceNotifyTarget);
        } catch (const std::exception &e) {
            qWarning("%s", e.what());
            showError(QString::fromUtf8(e.what()));
        }
    }

    androidMonitor = new AndroidMonitor(this);
    qRegisterMetaType<AdbDevice>("AdbDevice");
    connect(androidMonitor, &AndroidMonitor::deviceConnected, this, &MainWindow::androidDeviceConnected);
    connect(androidMonitor, &AndroidMonitor::deviceDisconnected, this, &MainWindow::androidDeviceDisconnected);
    connect(androidMonitor, &AndroidMonitor::deviceDisconnected, this, &MainWindow::dropDeferredArrivals);
    androidMonitor->startMonitoring();

    if (WindowSeams::usbTipsDelay >= 0)
        QTimer::singleShot(WindowSeams::usbTipsDelay, this, &MainWindow::androidUsbTips);

    loadLocalDatabases();
    startChecksWhenDue();
    loadVirtualDevices();
}

MainWindow::~MainWindow()
{
    // The subscription outlives the window; what it still reports must not
    // reach a window that is gone.
    if (s_deviceNotifyTarget.receiver == this)
        mobiledevice_clear_receiver(&s_deviceNotifyTarget);
    delete ui;
    ui = nullptr;
    mainModel->deleteLater();
    smsModel->deleteLater();
    delete androidMonitor;
    androidMonitor = nullptr;
}

void MainWindow::loadLocalDatabases()
{
    const QDir root = localDatabasesDir();
    for (const QString &name : subFolders(root)) {
        QSharedPointer<AbsMessageDb> db(new IOS6MessageDb(QDir(root.absoluteFilePath(name)), QString(), true));
        mainModel->addLocalDatabase(db, name);
    }
    ui->treeViewDS->expand(indexOfNode(mainModel->rootLocalDB));
}

void MainWindow::loadVirtualDevices()
{
    // A folder whose database cannot be read keeps its node, without rows.
    const auto loadChats = [this](_AbsDBItemNode *node) {
        try {
            node->db->chats(node->store);
            mainModel->loadChatSessions(node);
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
            loadChats(mainModel->addIOSDevice(db, device));
        }
    }
    const QDir androidRoot(data.absoluteFilePath(QStringLiteral("virtual_android")));
    if (androidRoot.exists()) {
        for (const QString &name : subFolders(androidRoot)) {
            AndroidDevice device;
            device.model = name;
            device.uid = androidRoot.absoluteFilePath(name);
            QSharedPointer<AbsMessageDb> db(new IOS6MessageDb(QDir(device.uid), QString(), true));
            loadChats(mainModel->addAndroidDevice(db, device));
        }
    }
}

QList<QAction *> MainWindow::operationActions() const
{
    return {actBackup, actI2A, actA2I, actI2I, actA2A, actDb2I, actDb2A, actExport, actPrint, actDelete};
}

void MainWindow::setUsbTipsDelay(int ms)
{
    WindowSeams::usbTipsDelay = ms;
}

void MainWindow::setClock(std::function<qint64()> clock)
{
    WindowSeams::clock = std::move(clock);
}

void MainWindow::setPrintHook(std::function<void(const QList<_MsgMessage *> &)> hook)
{
    WindowSeams::printHook = std::move(hook);
}

int MainWindow::dateColumnWidth() const
{
    // The widest date of the user's format, in the list's font once the style
    // sheet has set it: every month's name, two-digit days and hours. The
    // column keeps that width at any window size (the window's extra width
    // goes to the last column).
    QTreeView *list = ui->treeViewSMS;
    list->ensurePolished();
    const QFontMetrics metrics(list->font());
    int widest = 0;
    for (int month = 1; month <= 12; ++month) {
        const QDateTime at(QDate(2028, month, 28), QTime(22, 58, 58));
        const int date = int(at.toSecsSinceEpoch() - MSG_EPOCH_OFFSET);
        widest = std::max(widest, metrics.horizontalAdvance(MsgLocalTime::shortText(date)));
    }
    // The indentation, the 18-pixel direction icon and the item's margins.
    const int around = list->indentation() + 18 + 3 * (list->style()->pixelMetric(QStyle::PM_FocusFrameHMargin) + 1) * 2;
    return std::max(160, widest + around + 8);
}

// ---- tree helpers -------------------------------------------------------------

MainWindow::Node *MainWindow::currentNode() const
{
    const QModelIndex index = ui->treeViewDS->currentIndex();
    return index.isValid() ? static_cast<Node *>(index.internalPointer()) : nullptr;
}

QModelIndex MainWindow::indexOfNode(Node *node) const
{
    return mainModel->indexOf(node);
}

MainWindow::Node *MainWindow::phoneOf(Node *node, int type)
{
    if (node && node->type == ITEM_CHAT_SESSION)
        node = node->parent;
    return node && node->type == type ? node : nullptr;
}

int MainWindow::iosTargetCount(Node *source) const
{
    return int(iosTargetsOf(source).size());
}

QList<MainWindow::Node *> MainWindow::iosTargetsOf(Node *source) const
{
    // The chooser's own rule: not the source phone (by id, so neither of its
    // nodes) and no phone of the "virtual_ios" folder.
    Node *sourcePhone = phoneOf(source, ITEM_IOS_DEVICE);
    const QString sourceId =
        sourcePhone ? static_cast<_IOSDeviceItemNode *>(sourcePhone)->device.uniqueDeviceId : QString();
    QList<Node *> targets;
    for (Node *child : std::as_const(mainModel->rootDevice->children)) {
        if (child->type != ITEM_IOS_DEVICE)
            continue;
        const IOSDevice &device = static_cast<_IOSDeviceItemNode *>(child)->device;
        if ((sourcePhone && device.uniqueDeviceId == sourceId) || !isTransferTarget(device))
            continue;
        targets.append(child);
    }
    return targets;
}

int MainWindow::androidTargetCount(Node *source) const
{
    return int(androidTargetsOf(source).size());
}

QList<MainWindow::Node *> MainWindow::androidTargetsOf(Node *source) const
{
    Node *sourcePhone = phoneOf(source, ITEM_ANDROID_DEVICE);
    const QString sourceUid =
        sourcePhone ? static_cast<_AndroidDeviceItemNode *>(sourcePhone)->device.uid : QString();
    QList<Node *> targets;
    for (Node *child : std::as_const(mainModel->rootDevice->children)) {
        if (child->type != ITEM_ANDROID_DEVICE)
            continue;
        if (sourcePhone && static_cast<_AndroidDeviceItemNode *>(child)->device.uid == sourceUid)
            continue;
        targets.append(child);
    }
    return targets;
}

// ---- selection and the message list -------------------------------------------

void MainWindow::onMainTreeSelected(const QItemSelection &selected, const QItemSelection &)
{
    updateActionStates();
    if (selected.isEmpty())
        return;
    Node *node = static_cast<Node *>(selected.first().topLeft().internalPointer());
    if (!node)
        return;
    try {
        switch (node->type) {
        case ITEM_IOS_DEVICE:
        case ITEM_ANDROID_DEVICE: {
            _AbsDBItemNode *source = dbNode(node);
            source->db->messages(source->store, 0);
            QList<_MsgMessage *> list = allMessages(source->store);
            showStoreMessages(source->store, list);
            break;
        }
        case ITEM_LOCAL_DB: {
            _AbsDBItemNode *source = dbNode(node);
            if (source->children.isEmpty()) {
                source->db->chats(source->store);
                mainModel->loadChatSessions(source);
                // Queued: the view is in the middle of its selection change.
                // A removal that runs first leaves the index invalid.
                QTreeView *view = ui->treeViewDS;
                const QPersistentModelIndex index(indexOfNode(source));
                QMetaObject::invokeMethod(
                    view, [view, index]() {
                        if (index.isValid())
                            view->expand(index);
                    },
                    Qt::QueuedConnection);
                if (!source->children.isEmpty()) {
                    source->db->messages(source->store, 0);
                    QList<_MsgMessage *> list = allMessages(source->store);
                    showStoreMessages(source->store, list);
                } else {
                    clearMessageList();
                }
            } else {
                QList<_MsgMessage *> list = allMessages(source->store);
                showStoreMessages(source->store, list);
            }
            break;
        }
        case ITEM_CHAT_SESSION: {
            auto *chat = static_cast<_ChatSessionItemNode *>(node);
            _AbsDBItemNode *source = dbNode(node->parent);
            if (!chat->session.chats.isEmpty() && source) {
                QList<_MsgMessage *> list = messagesOfChats(chat->session.chats);
                showStoreMessages(source->store, list);
            } else {
                clearMessageList();
            }
            break;
        }
        default:
            clearMessageList();
            break;
        }
    } catch (const std::exception &e) {
        showError(QString::fromUtf8(e.what()));
    }
}

void MainWindow::showStoreMessages(const QSharedPointer<_MsgStore> &store, QList<_MsgMessage *> &messages)
{
    showMessages(messages);
    shownStore = store;
}

void MainWindow::showMessages(QList<_MsgMessage *> &messages)
{
    // messageLessThan is no strict weak order: only a stable sort keeps to
    // the list's range with it.
    if (ui->treeViewSMS->header()->sortIndicatorOrder() == Qt::AscendingOrder)
        std::stable_sort(messages.begin(), messages.end(), messageLessThan);
    else
        std::stable_sort(messages.begin(), messages.end(), messageGreaterThan);
    smsModel->setMessages(messages);
    ui->txtSMS->clear();
    ui->txtSMS->setMessages(smsModel->messages);
    ui->lbSMSCount->setText(tr("Messages: %1").arg(messages.size()));
}

void MainWindow::clearMessageList()
{
    smsModel->setMessages(QList<_MsgMessage *>());
    ui->txtSMS->clear();
    ui->lbSMSCount->setText(tr("Messages: 0"));
    shownStore.reset();
}

void MainWindow::onSMSSortIndicatorChanged(int logicalIndex, Qt::SortOrder)
{
    if (logicalIndex == 0) {
        QList<_MsgMessage *> list = smsModel->messages;
        showMessages(list);
        return;
    }
    // Only the date orders the list: any other column shows the newest first.
    ui->treeViewSMS->header()->setSortIndicator(0, Qt::DescendingOrder);
}

void MainWindow::onSMSItemSelected(const QItemSelection &selected, const QItemSelection &)
{
    if (selected.isEmpty())
        return;
    const QModelIndex first = selected.first().topLeft();
    if (!first.isValid() || !smsModel->messages.value(first.row()))
        return;
    ui->txtSMS->scrollToMessage(first.row());
}

QList<_MsgMessage *> MainWindow::currentNodeMessages()
{
    _AbsDBItemNode *source = dbNode(currentNode());
    if (!source)
        return {};
    try {
        source->db->messages(source->store, 0);
        QList<_MsgMessage *> list = allMessages(source->store);
        if (ui->treeViewSMS->header()->sortIndicatorOrder() == Qt::AscendingOrder)
            std::stable_sort(list.begin(), list.end(), messageLessThan);
        else
            std::stable_sort(list.begin(), list.end(), messageGreaterThan);
        return list;
    } catch (const std::exception &e) {
        showError(QString::fromUtf8(e.what()));
        return {};
    }
}

QList<_MsgMessage *> MainWindow::selectedMessages()
{
    const QList<_MsgMessage *> shown = smsModel->messages;
    QList<_MsgMessage *> result;
    const QModelIndexList rows = ui->treeViewSMS->selectionModel()->selectedRows(0);
    for (const QModelIndex &index : rows) {
        if (_MsgMessage *message = shown.value(index.row()))
            result.append(message);
    }
    return result;
}

void MainWindow::selectTreeNode(Node *node)
{
    const QModelIndex index = indexOfNode(node);
    ui->treeViewDS->expand(index);
    // Queued behind whatever is pending, a removal among it: the persistent
    // index is then invalid and nothing is selected.
    QTreeView *view = ui->treeViewDS;
    const QPersistentModelIndex target(index);
    QMetaObject::invokeMethod(
        view, [view, target]() {
            if (target.isValid())
                view->setCurrentIndex(target);
        },
        Qt::QueuedConnection);
}

void MainWindow::removeTreeNode(Node *node)
{
    if (!node)
        return;
    Node *current = currentNode();
    bool currentInside = false;
    for (Node *n = current; n; n = n->parent) {
        if (n == node)
            currentInside = true;
    }
    _AbsDBItemNode *source = dbNode(node);
    const bool listShowsIt = source && shownStore && shownStore == source->store;

    Node *parent = node->parent;
    const QList<Node *> &siblings = parent ? parent->children : mainModel->roots;
    const int row = int(siblings.indexOf(node));

    // Qt would move the current row inside the removal, while the rows are
    // half gone, and a neighbouring database's first load inserts rows there;
    // for a row of the node it would only drop the selection. So the list and
    // the current row go first, and the neighbour is chosen afterwards.
    if (currentInside || listShowsIt)
        clearMessageList();
    if (currentInside)
        ui->treeViewDS->selectionModel()->clear();

    mainModel->removeNode(node);

    if (currentInside && row >= 0) {
        const QModelIndex parentIndex = parent ? indexOfNode(parent) : QModelIndex();
        const int count = mainModel->rowCount(parentIndex);
        QModelIndex next;
        if (row < count)
            next = mainModel->index(row, 0, parentIndex);
        else if (row > 0)
            next = mainModel->index(row - 1, 0, parentIndex);
        else
            next = parentIndex;
        if (next.isValid())
            ui->treeViewDS->setCurrentIndex(next);
    }
    // The selection was cleared before the current row moved, and a removed
    // phone was counted as a target: the states follow what is left.
    updateActionStates();
}

// ---- menus, tool bar and action states ------------------------------------------

void MainWindow::createMenus()
{
    auto add = [this](QMenu *menu, const char *text, const char *icon, void (MainWindow::*slot)()) {
        QAction *action = icon ? menu->addAction(QIcon(QLatin1String(icon)), QObject::tr(text))
                               : menu->addAction(QObject::tr(text));
        connect(action, &QAction::triggered, this, slot);
        return action;
    };
    auto operation = [&add](QMenu *menu, const char *text, const char *icon, void (MainWindow::*slot)()) {
        QAction *action = add(menu, text, icon, slot);
        action->setEnabled(false);
        return action;
    };

    QMenu *file = ui->menuBar->addMenu(QStringLiteral("File"));
    actBackup = operation(file, "Backup SMS to Local Database", ":res/backup.png", &MainWindow::miBackup);
    actI2A = operation(file, "Transfer iPhone SMS to Android", ":res/i2a.png", &MainWindow::miI2A);
    actA2I = operation(file, "Transfer Android SMS to iPhone", ":res/a2i.png", &MainWindow::miA2I);
    actI2I = operation(file, "Transfer iPhone SMS to other iPhone", ":res/i2i.png", &MainWindow::miI2I);
    actA2A = operation(file, "Transfer Android SMS to other Android", ":res/a2a.png", &MainWindow::miA2A);
    actDb2I = operation(file, "Transfer SMS from Database to iPhone", ":res/db2i.png", &MainWindow::miDb2I);
    actDb2A = operation(file, "Transfer SMS from Database to Android", ":res/db2a.png", &MainWindow::miDb2A);
    file->addSeparator();
    actExport = operation(file, "Export SMS to File", ":res/export.png", &MainWindow::miExport);
    actPrint = operation(file, "Print SMS", ":res/print.png", &MainWindow::miPrint);
    actDelete = operation(file, "Delete SMS", ":res/delete.png", &MainWindow::miDel);
    file->addSeparator();
    add(file, "Import SMS from iTunes Backup to Local Database", ":res/import_itunes.png",
        &MainWindow::miImportItunes);
    add(file, "Open Database Folder", ":res/open_db_folder.png", &MainWindow::miOpenDbFolder);
    QAction *exit = file->addAction(QIcon(QStringLiteral(":res/exit.png")), QObject::tr("Exit"));
    connect(exit, &QAction::triggered, this, &QWidget::close);

    QMenu *tools = ui->menuBar->addMenu(QStringLiteral("Tools"));
    add(tools, "Check for Update", nullptr, &MainWindow::miCheckUpdate);
    add(tools, "Clear Cache files", nullptr, &MainWindow::miClearCache);
    add(tools, "Connect Android Phone via WiFi", nullptr, &MainWindow::miConnectWifi);

    QMenu *help = ui->menuBar->addMenu(QStringLiteral("Help"));
    add(help, "Help", ":res/help.png", &MainWindow::miHelp);
    add(help, "Feedback and Support", nullptr, &MainWindow::miFeedback);
    add(help, "About", nullptr, &MainWindow::miAbout);

    // On the tool bar the database transfers stand Android first.
    ui->mainToolBar->addAction(actBackup);
    ui->mainToolBar->addAction(actI2A);
    ui->mainToolBar->addAction(actA2I);
    ui->mainToolBar->addAction(actI2I);
    ui->mainToolBar->addAction(actA2A);
    ui->mainToolBar->addAction(actDb2A);
    ui->mainToolBar->addAction(actDb2I);
    ui->mainToolBar->addSeparator();
    ui->mainToolBar->addAction(actExport);
    ui->mainToolBar->addAction(actPrint);
    ui->mainToolBar->addAction(actDelete);
}

void MainWindow::updateActionStates()
{
    // The tree may report a selection while the window is still being built.
    if (!actBackup)
        return;
    // Called from the tree's selection change, which Qt reports before it
    // moves the current index: the selected node is the one the user is on.
    QModelIndex index;
    const QModelIndexList selected = ui->treeViewDS->selectionModel()->selectedIndexes();
    index = selected.isEmpty() ? ui->treeViewDS->currentIndex() : selected.first();
    Node *node = index.isValid() ? static_cast<Node *>(index.internalPointer()) : nullptr;
    if (node && node->type == ITEM_CHAT_SESSION)
        node = node->parent;
    if (!isDatabaseNode(node)) {
        for (QAction *action : operationActions())
            action->setEnabled(false);
        return;
    }
    const int t = node->type;
    // Counted as the choosers count: an action is on only when its chooser
    // has a phone to offer.
    const int nI = iosTargetCount(node);
    const int nA = androidTargetCount(node);
    actI2A->setEnabled(t == ITEM_IOS_DEVICE && nA > 0);
    actA2I->setEnabled(t == ITEM_ANDROID_DEVICE && nI > 0);
    actI2I->setEnabled(t == ITEM_IOS_DEVICE && nI > 0);
    actA2A->setEnabled(t == ITEM_ANDROID_DEVICE && nA > 0);
    actDb2I->setEnabled(t == ITEM_LOCAL_DB && nI > 0);
    actDb2A->setEnabled(t == ITEM_LOCAL_DB && nA > 0);
    actBackup->setEnabled(t != ITEM_LOCAL_DB);
    actExport->setEnabled(true);
    actPrint->setEnabled(true);
    actDelete->setEnabled(t == ITEM_LOCAL_DB);
}

namespace {

void showMenu(MainWindow *window, const QList<MenuEntry> &entries)
{
    QMenu menu;
    for (const MenuEntry &entry : entries) {
        QAction *action = entry.icon ? menu.addAction(QIcon(QLatin1String(entry.icon)), QObject::tr(entry.text))
                                     : menu.addAction(QObject::tr(entry.text));
        action->setEnabled(entry.enabled);
        QObject::connect(action, &QAction::triggered, window, entry.slot);
    }
    menu.exec(QCursor::pos());
}

} // namespace

void MainWindow::onMainTreeContextMenu()
{
    Node *node = currentNode();
    if (!node)
        return;
    const int nI = iosTargetCount(node);
    const int nA = androidTargetCount(node);
    QList<MenuEntry> entries;
    switch (node->type) {
    case ITEM_ROOT_LOCALDB:
        entries = {{"Open Database Folder", ":res/open_db_folder.png", &MainWindow::miOpenDbFolder},
                   {"Import SMS from iTunes Backup to Local Database", ":res/import_itunes.png",
                    &MainWindow::miImportItunes}};
        break;
    case ITEM_IOS_DEVICE:
        entries = {{"Backup SMS to Local Database", ":res/backup.png", &MainWindow::miBackupAll},
                   {"Transfer iPhone SMS to other iPhone", ":res/i2i.png", &MainWindow::miI2IAll, nI > 0},
                   {"Transfer iPhone SMS to Android", ":res/i2a.png", &MainWindow::miI2AAll, nA > 0},
                   {"Export SMS to File", ":res/export.png", &MainWindow::miExportAll},
                   {"Print SMS", ":res/print.png", &MainWindow::miPrintAll},
                   {"View Cache Files", nullptr, &MainWindow::miViewCache},
                   {"Disconnect Device", ":res/unmount.png", &MainWindow::miUnmoutDevice}};
        break;
    case ITEM_ANDROID_DEVICE:
        entries = {{"Backup SMS to Local Database", ":res/backup.png", &MainWindow::miBackupAll},
                   {"Transfer Android SMS to iPhone", ":res/a2i.png", &MainWindow::miA2IAll, nI > 0},
                   {"Transfer Android SMS to other Android", ":res/a2a.png", &MainWindow::miA2AAll, nA > 0},
                   {"Export SMS to File", ":res/export.png", &MainWindow::miExportAll},
                   {"Print SMS", ":res/print.png", &MainWindow::miPrintAll},
                   {"View Cache Files", nullptr, &MainWindow::miViewCache},
                   {"Disconnect Device", ":res/unmount.png", &MainWindow::miUnmoutDevice}};
        break;
    case ITEM_LOCAL_DB:
        entries = {{"Import SMS from iTunes Backup to this Local Database", ":res/import_itunes.png",
                    &MainWindow::miImportToLocalDb},
                   {"Export SMS to iTunes Backup", nullptr, &MainWindow::miExport2iTunesAll},
                   {"Transfer SMS from Database to iPhone", ":res/db2i.png", &MainWindow::miDb2IAll, nI > 0},
                   {"Transfer SMS from Database to Android", ":res/db2a.png", &MainWindow::miDb2AAll, nA > 0},
                   {"Export SMS to File", ":res/export.png", &MainWindow::miExportAll},
                   {"Print SMS", ":res/print.png", &MainWindow::miPrintAll},
                   {"Delete this Database", ":res/delete.png", &MainWindow::miDelAll}};
        break;
    case ITEM_CHAT_SESSION: {
        const int parentType = node->parent ? node->parent->type : 0;
        if (parentType == ITEM_IOS_DEVICE) {
            entries = {
                {"Backup SMS with this contact to Local Database", ":res/backup.png", &MainWindow::miBackupChat},
                {"Transfer SMS with this contact to other iPhone", ":res/i2i.png", &MainWindow::miI2IChat, nI > 0},
                {"Transfer SMS with this contact to Android", ":res/i2a.png", &MainWindow::miI2AChat, nA > 0},
                {"Export SMS with this contact to File", ":res/export.png", &MainWindow::miExportChat},
                {"Print SMS with this contact", ":res/print.png", &MainWindow::miPrintChat}};
        } else if (parentType == ITEM_ANDROID_DEVICE) {
            entries = {
                {"Backup SMS with this contact to Local Database", ":res/backup.png", &MainWindow::miBackupChat},
                {"Transfer SMS with this contact to iPhone", ":res/a2i.png", &MainWindow::miA2IChat, nI > 0},
                {"Transfer SMS with this contact to other Android", ":res/a2a.png", &MainWindow::miA2AChat, nA > 0},
                {"Export SMS with this contact to File", ":res/export.png", &MainWindow::miExportChat},
                {"Print SMS with this contact", ":res/print.png", &MainWindow::miPrintChat}};
        } else if (parentType == ITEM_LOCAL_DB) {
            entries = {
                {"Export SMS with this contact to iTunes Backup", nullptr, &MainWindow::miExport2iTunesChat},
                {"Transfer SMS with this contact to iPhone", ":res/db2i.png", &MainWindow::miDb2IChat, nI > 0},
                {"Transfer SMS with this contact to Android", ":res/db2a.png", &MainWindow::miDb2AChat, nA > 0},
                {"Export SMS with this contact to File", ":res/export.png", &MainWindow::miExportChat},
                {"Print SMS with this contact", ":res/print.png", &MainWindow::miPrintChat},
                {"Delete SMS with this contact", ":res/delete.png", &MainWindow::miDelChat}};
        }
        break;
    }
    default:
        break;
    }
    if (!entries.isEmpty())
        showMenu(this, entries);
}

void MainWindow::onSMSContextMenu()
{
    Node *node = currentNode();
    if (!node)
        return;
    int type = node->type;
    if (type == ITEM_CHAT_SESSION)
        type = node->parent ? node->parent->type : 0;
    const int nI = iosTargetCount(node);
    const int nA = androidTargetCount(node);
    QList<MenuEntry> entries;
    if (type == ITEM_IOS_DEVICE) {
        entries = {{"Backup Selected SMS to Local Database", ":res/backup.png", &MainWindow::miBackupSel},
                   {"Transfer Selected SMS to other iPhone", ":res/i2i.png", &MainWindow::miI2ISel, nI > 0},
                   {"Transfer Selected SMS to Android", ":res/i2a.png", &MainWindow::miI2ASel, nA > 0},
                   {"Export Selected SMS to File", ":res/export.png", &MainWindow::miExportSel},
                   {"Print Selected SMS", ":res/print.png", &MainWindow::miPrintSel}};
    } else if (type == ITEM_ANDROID_DEVICE) {
        entries = {{"Backup Selected SMS to Local Database", ":res/backup.png", &MainWindow::miBackupSel},
                   {"Transfer Selected SMS to iPhone", ":res/a2i.png", &MainWindow::miA2ISel, nI > 0},
                   {"Transfer Selected SMS to other Android", ":res/a2a.png", &MainWindow::miA2ASel, nA > 0},
                   {"Export Selected SMS to File", ":res/export.png", &MainWindow::miExportSel},
                   {"Print Selected SMS", ":res/print.png", &MainWindow::miPrintSel}};
    } else if (type == ITEM_LOCAL_DB) {
        entries = {{"Export Selected SMS to iTunes Backup", nullptr, &MainWindow::miExport2iTunesSel},
                   {"Transfer Selected SMS to iPhone", ":res/db2i.png", &MainWindow::miDb2ISel, nI > 0},
                   {"Transfer Selected SMS to Android", ":res/db2a.png", &MainWindow::miDb2ASel, nA > 0},
                   {"Export Selected SMS to File", ":res/export.png", &MainWindow::miExportSel},
                   {"Print Selected SMS", ":res/print.png", &MainWindow::miPrintSel},
                   {"Delete Selected SMS", ":res/delete.png", &MainWindow::miDelSel}};
    }
    if (!entries.isEmpty())
        showMenu(this, entries);
}

// ---- search ---------------------------------------------------------------------

void MainWindow::searchMessages()
{
    const QString keyword = ui->txtSMSKeyword->text().trimmed();
    if (keyword.isEmpty())
        return;
    const QList<_MsgMessage *> list = smsModel->messages;
    if (list.isEmpty()) {
        showInformation(tr("IDS_CAN_NOT_FOUND_AND_MESSAGES"));
        return;
    }
    const int n = int(list.size());
    const QModelIndex current = ui->treeViewSMS->currentIndex();
    const int start = current.isValid() ? current.row() + 1 : 0;
    // From the row after the current one to the end, then from the top: the
    // current row itself is tested last.
    for (int k = 0; k < n; ++k) {
        const int row = (start + k) % n;
        if (displayText(*list.at(row)).contains(keyword, Qt::CaseInsensitive)) {
            ui->treeViewSMS->setCurrentIndex(smsModel->indexOfRow(row));
            return;
        }
    }
    showInformation(tr("IDS_CAN_NOT_FOUNDSMS_KEYWORD_%0").arg(keyword.toHtmlEscaped()));
}

void MainWindow::searchCotnact()
{
    Node *node = currentNode();
    if (!node)
        return;
    Node *searched = nullptr;
    int start = 0;
    if (isDatabaseNode(node)) {
        searched = node;
    } else if (node->type == ITEM_CHAT_SESSION && node->parent) {
        searched = node->parent;
        start = int(searched->children.indexOf(node)) + 1;
    } else {
        return;
    }
    const int n = int(searched->children.size());
    const QString keyword = ui->txtHandleKeyword->text().trimmed();
    if (keyword.isEmpty())
        return;
    for (int k = 0; k < n; ++k) {
        Node *child = searched->children.at((start + k) % n);
        if (child->text.contains(keyword, Qt::CaseInsensitive)) {
            ui->treeViewDS->setCurrentIndex(indexOfNode(child));
            return;
        }
    }
    showInformation(tr("IDS_CAN_NOT_FOUNDCONTACT_KEYWORD_%0").arg(keyword.toHtmlEscaped()));
}

// ---- update and advert checks ---------------------------------------------------

void MainWindow::startChecksWhenDue()
{
    qint64 last = 0;
    QFile file(appDataDir().absoluteFilePath(QLatin1String(kCheckTimeFile)));
    if (file.open(QIODevice::ReadOnly)) {
        bool ok = false;
        last = QString::fromLatin1(beforeNul(file.readAll())).toLongLong(&ok);
        if (!ok)
            last = 0;
    }
    // Unsigned 32-bit difference: a time in the future makes it huge.
    const quint32 elapsed = quint32(unixNow()) - quint32(last);
    if (last != 0 && elapsed <= kCheckInterval)
        return;

    const QString base = makerServerBase();
    const QString pid = QLatin1String(kProductId);
    auto request = [](const QString &url) {
        QNetworkRequest r{QUrl(url)};
        // A redirect is an answer other than 200, not a second request.
        r.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
        return r;
    };
    QNetworkReply *update = updateHttp.get(
        request(base + QStringLiteral("/sms_check_update.php?pid=%1&ver=%2&q=1").arg(pid).arg(kBuildNumber)));
    capReply(update);
    connect(update, &QNetworkReply::finished, this, [this, update]() { onCheckVersionReadyRead(update); });
    QNetworkReply *advert = advertHttp.get(request(base + QStringLiteral("/adv.php?pid=%1").arg(pid)));
    capReply(advert);
    connect(advert, &QNetworkReply::finished, this, [this, advert]() { onGetAdvLinkRead(advert); });
}

void MainWindow::onCheckVersionReadyRead(QNetworkReply *reply)
{
    reply->deleteLater();
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    // No status: the server was never reached, so no check took place.
    if (!status.isValid())
        return;
    try {
        DurableFile::write(appDataDir().absoluteFilePath(QLatin1String(kCheckTimeFile)),
                           QByteArray::number(quint32(unixNow())));
    } catch (const std::exception &e) {
        qWarning("%s", e.what()); // the check then simply runs again at the next start
    }
    if (status.toInt() != 200 || reply->property(kOversized).toBool())
        return;
    const QString text = QString::fromLatin1(beforeNul(reply->readAll()));
    if (!text.startsWith(QLatin1String("http://"), Qt::CaseInsensitive))
        return;
    const QString question = QStringLiteral("A new version of %1 is available. Would you like to download it now?")
                                 .arg(QObject::tr("Quillmarten Parlevane"));
    if (!showQuestion(question))
        return;
    shellOpen(text);
    close();
}

void MainWindow::onGetAdvLinkRead(QNetworkReply *reply)
{
    reply->deleteLater();
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid() || status.toInt() != 200 || reply->property(kOversized).toBool())
        return;
    QString text = QString::fromUtf8(beforeNul(reply->readAll()));
    if (!text.startsWith(QLatin1String("<a"), Qt::CaseInsensitive))
        return;
    static const QRegularExpression opening(QStringLiteral("^<a"), QRegularExpression::CaseInsensitiveOption);
    text.replace(opening, QStringLiteral("<a style=\"%1\"")
                              .arg(QStringLiteral("color:%1;text-decoration:none;").arg(QStringLiteral("#0000FF"))));
    advertLabel->setText(text);
    QFile file(appDataDir().absoluteFilePath(QLatin1String(kAdvertFile)));
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(text.toUtf8());
}

void MainWindow::onAdvertLinkActivated(const QString &link)
{
    const QUrl url(link);
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("http") || scheme == QLatin1String("https"))
        desktop::openUrl(url);
}

void MainWindow::miCheckUpdate()
{
    shellOpen(makerServerBase()
              + QStringLiteral("/sms_check_update.php?pid=%1&ver=%2").arg(QLatin1String(kProductId)).arg(kBuildNumber));
}

// ---- devices --------------------------------------------------------------------

bool MainWindow::runWorker(ProgressForm *form, QThread *worker)
{
    worker->start(QThread::InheritPriority);
    const int result = form->exec();
    const bool ok = result == QDialog::Accepted && !form->failed;
    worker->wait();
    return ok;
}

QString MainWindow::settledCountry(const QString &mcc, const QString &phoneName)
{
    bool known = !mcc.isEmpty();
    if (known) {
        try {
            CountryLibDb countries{QString()};
            countries.countryByMcc(mcc, &known);
        } catch (const std::exception &) {
            // Without the country list no code can be checked: keep it.
            known = true;
        }
    }
    if (known)
        return mcc;
    // The English text names no phone, and arg() on a text without a place
    // for it only warns.
    QString text = tr("IDS_ANDROID_%1_CANT_READ_MMC_NUMBER");
    if (text.contains(QLatin1String("%1")))
        text = text.arg(phoneName.toHtmlEscaped());
    showInformation(text);
    CountrySelForm chooser(this);
    return chooser.exec() == QDialog::Accepted ? chooser.mmc : mcc;
}

bool MainWindow::deferWhileBusy(const QString &key, const QString &tag, const std::function<void()> &call)
{
    return deviceBusy->keepWhileBusy(key, tag, call);
}

QString MainWindow::iosTag(const void *handle)
{
    return QStringLiteral("ios:") + QString::number(quintptr(handle), 16);
}

QString MainWindow::androidTag(const QString &deviceKey)
{
    return QStringLiteral("android:") + deviceKey;
}

void MainWindow::iosDeviceConnected(void *device)
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
    const bool known = std::any_of(m_iosDevices.cbegin(), m_iosDevices.cend(),
                                   [device](const IOSDevice &d) { return d.amDevice == device; });
    if (!known)
        m_iosDevices.append(record);
    loadIOSDevice(record);
}

void MainWindow::loadIOSDevice(IOSDevice record)
{
    // The arrival goes on once the running operation on the phone ended,
    // unless the phone has left by then.
    const auto stillAttached = [this, record]() {
        const void *device = record.amDevice;
        if (std::any_of(m_iosDevices.cbegin(), m_iosDevices.cend(),
                        [device](const IOSDevice &d) { return d.amDevice == device; }))
            loadIOSDevice(record);
    };
    if (deferWhileBusy(record.uniqueDeviceId, iosTag(record.amDevice), stillAttached))
        return;
    try {
        const DeviceBusy::Hold busy(*deviceBusy, record.uniqueDeviceId);

        record.mobileSubscriberCountryCode = settledCountry(record.mobileSubscriberCountryCode, record.deviceName);

        const QList<int> version = record.versionNumbers();
        const int major = version.value(0);
        if (version.isEmpty() || major == 5 || major == 6 || major == 7) {
            auto *form = new ProgressForm(QString(), this);
            auto *worker = new IOSLoadFileRelayThread(&record, form, this);
            const bool ok = runWorker(form, worker);
            delete worker;
            delete form;
            if (!ok)
                return;
        } else {
            if (!record.checkBackupSettings(true, false))
                return;
            auto *form = new ProgressForm(QString(), this);
            auto *backup = new IOSMobileBackupThread(&record, form, this);
            const bool backedUp = runWorker(form, backup);
            const QDir backupRoot = backup->backupDir();
            delete backup;
            if (!backedUp) {
                delete form;
                return;
            }
            bool cached = false;
            auto *cacheForm = new ProgressForm(QString(), this);
            try {
                BackupManifest manifest(backupRoot.absoluteFilePath(record.uniqueDeviceId));
                manifest.loadManifestPlist();
                bool unlocked = true;
                if (manifest.info.isEncrypted) {
                    PasscodeDlg passcode(&manifest, this);
                    unlocked = passcode.exec() == QDialog::Accepted;
                }
                if (unlocked) {
                    manifest.loadMbdb();
                    auto *worker = new ITunesCacheSMSThread(&manifest, record.cacheDir(), cacheForm, this);
                    cached = runWorker(cacheForm, worker);
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
        const void *device = record.amDevice;
        if (std::none_of(m_iosDevices.cbegin(), m_iosDevices.cend(),
                         [device](const IOSDevice &d) { return d.amDevice == device; }))
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
            _AbsDBItemNode *node = mainModel->addIOSDevice(db, record);
            try {
                node->db->chats(node->store);
            } catch (const std::exception &e) {
                showError(QStringLiteral("%1, line:%2").arg(QString::fromUtf8(e.what())).arg(404));
                return;
            }
            mainModel->loadChatSessions(node);
            selectTreeNode(node);
        } catch (const std::exception &e) {
            qWarning("%s", e.what());
            showError(QString::fromUtf8(e.what()));
        }
    } catch (const std::exception &e) {
        qWarning("%s", e.what());
        showError(QString::fromUtf8(e.what()));
    }
}

void MainWindow::iosDeviceDisconnected(void *device)
{
    for (int i = 0; i < m_iosDevices.size(); ++i) {
        if (m_iosDevices.at(i).amDevice == device) {
            m_iosDevices.removeAt(i);
            break;
        }
    }
    // An arrival waiting for this phone's running operation gives up; one of
    // a later report of the same phone (another handle) still runs.
    deviceBusy->dropTagged(iosTag(device));
    emit deviceOperationsChanged();
    // The phones of the "virtual_ios" folder have no handle: no notice is theirs.
    if (!device)
        return;
    // Every node of the phone goes (a phone reported twice has two): a node
    // left behind would keep the freed handle.
    const QList<Node *> children = mainModel->rootDevice->children;
    for (Node *child : children) {
        if (child->type == ITEM_IOS_DEVICE && static_cast<_IOSDeviceItemNode *>(child)->device.amDevice == device)
            removeTreeNode(child);
    }
}

void MainWindow::androidDeviceConnected(AdbDevice device)
{
    // The monitor reports a serial again only after it left; an arrival that
    // nests in the modal loops of that serial's own connection or load waits
    // for its end rather than talking to the app twice at once.
    const QString key = QStringLiteral("serial:") + device.serial;
    if (deferWhileBusy(key, androidTag(device.serial), [this, device]() { androidDeviceConnected(device); }))
        return;
    try {
        const DeviceBusy::Hold busy(*deviceBusy, key);
        if (!device.isReady())
            NoticeQueue::show(QMessageBox::Warning,
                              QStringLiteral("If you are presented with the pop up to allow debugging with the "
                                             "computer on your Android device screen. Please simply check \"Always "
                                             "allow from this computer\" and then click \"OK\" to finish.<br/>(%1)")
                                  .arg(device.line.toHtmlEscaped()));
        auto *form = new ProgressForm(QString(), this);
        auto *worker = new AndroidConnectWithUSBThread(device.serial, form, this);
        const bool ok = runWorker(form, worker);
        const AndroidDevice connected = worker->device;
        delete worker;
        delete form;
        if (ok)
            androidDeviceLoad(connected);
    } catch (const std::exception &e) {
        qWarning("%s", e.what());
        showError(QString::fromUtf8(e.what()));
    }
}

void MainWindow::androidDeviceDisconnected(QString id)
{
    if (id.isEmpty())
        return;
    const QList<Node *> children = mainModel->rootDevice->children;
    for (Node *child : children) {
        if (child->type == ITEM_ANDROID_DEVICE && static_cast<_AndroidDeviceItemNode *>(child)->device.deviceKey() == id) {
            removeTreeNode(child);
            return;
        }
    }
}

void MainWindow::androidDeviceLoad(AndroidDevice device)
{
    // Two loads of one phone would rebuild the same cache database at once;
    // the later one runs after the earlier (or a transfer to it) has ended.
    const QString key = QStringLiteral("cache:") + device.cacheFolderName();
    if (deferWhileBusy(key, androidTag(device.deviceKey()), [this, device]() { androidDeviceLoad(device); }))
        return;
    const DeviceBusy::Hold busy(*deviceBusy, key);

    device.mmc = settledCountry(device.mmc, device.displayName());

    auto *form = new ProgressForm(QString(), this);
    auto *worker = new AndroidLoadSMSThread(&device, form, this);
    const bool ok = runWorker(form, worker);
    if (ok) {
        const QList<Node *> children = mainModel->rootDevice->children;
        for (Node *child : children) {
            if (child->type == ITEM_ANDROID_DEVICE && static_cast<_AndroidDeviceItemNode *>(child)->device.uid == device.uid)
                removeTreeNode(child);
        }
        try {
            QSharedPointer<AbsMessageDb> db(new IOS6MessageDb(device.cacheDir(), device.mmc, true));
            _AbsDBItemNode *node = mainModel->addAndroidDevice(db, device);
            node->db->chats(node->store);
            mainModel->loadChatSessions(node);
            selectTreeNode(node);
        } catch (const std::exception &e) {
            showError(QString::fromUtf8(e.what()));
        }
    }
    delete worker;
    delete form;
}

void MainWindow::dropDeferredArrivals(const QString &serial)
{
    // Its connection and its load both: a load kept for a phone that has gone
    // would only end in the load's error box.
    deviceBusy->dropTagged(androidTag(serial));
}

void MainWindow::miUnmoutDevice()
{
    Node *node = currentNode();
    if (node && (node->type == ITEM_IOS_DEVICE || node->type == ITEM_ANDROID_DEVICE))
        removeTreeNode(node);
}

void MainWindow::androidUsbTips()
{
    if (androidMonitor->hasKnownSerials())
        return;
    const QString base = makerServerBase();
    const QString managerLink = QUrl::fromLocalFile(AndroidMonitor::deviceManagerPath()).toString();
    QString text = QStringLiteral("<b>Android device not found.</b><br/><br/>");
    text += QStringLiteral("Want to connect Android device? If yes, please follow these steps:<br/><br/>");
    text += QStringLiteral("* Enable USB debugging on your Android device. <a href=\"%1\">How to</a>?<br/><br/>")
                .arg(base + QStringLiteral("/tutorial/enable-usb-debugging-on-android.html"));
    text += QStringLiteral("* Install USB driver software on your computer. <a href=\"%1\">How to</a>?<br/><br/>")
                .arg(base + QStringLiteral("/install-usb-driver-software-for-android.html"));
    text += QStringLiteral("* Click <a href=\"%1\">HERE</a> to run Quillmarten Device Manager to try again.<br/><br/>")
                .arg(managerLink);
    NoticeQueue::show(QMessageBox::Information, text);
}

// ---- databases, caches, folders and pages ----------------------------------------

void MainWindow::miDelAll()
{
    Node *node = currentNode();
    if (!node || node->type != ITEM_LOCAL_DB)
        return;
    if (!showQuestion(tr("IDS_CONFIRM_DEL_THIS_LOCALDB")))
        return;
    // The box ran an event loop: the node may have gone meanwhile.
    if (currentNode() != node)
        return;
    const QString name = node->text;
    dbNode(node)->db->close();
    QString left;
    const bool removed = removeDirRecursively(localDatabasesDir().absoluteFilePath(name), &left);
    removeTreeNode(node);
    if (removed)
        showInformation(tr("IDS_DEL_LOCALDB_SUC").arg(name.toHtmlEscaped()));
    else
        showError(tr("IDS_DEL_LOCALDB_FAILED_%1_%2").arg(name.toHtmlEscaped(), left.toHtmlEscaped()));
}

void MainWindow::miViewCache()
{
    Node *node = currentNode();
    if (!node)
        return;
    if (node->type == ITEM_IOS_DEVICE)
        openInExplorer(static_cast<_IOSDeviceItemNode *>(node)->device.cacheDir().absolutePath());
    else if (node->type == ITEM_ANDROID_DEVICE)
        openInExplorer(static_cast<_AndroidDeviceItemNode *>(node)->device.cacheDir().absolutePath());
}

void MainWindow::miOpenDbFolder()
{
    openInExplorer(localDatabasesDir().absolutePath());
}

void MainWindow::miClearCache()
{
    const QDir data = appDataDir();
    // Every cache goes, even after one that cannot; the box names the first
    // thing that stayed.
    QString left;
    auto note = [&left](bool removed, const QString &stayed) {
        if (!removed && left.isEmpty())
            left = stayed;
    };
    QString stayed;
    note(removeDirRecursively(data.absoluteFilePath(QStringLiteral("ios_cache")), &stayed), stayed);
    note(removeDirRecursively(data.absoluteFilePath(QStringLiteral("itunes_cache")), &stayed), stayed);
    note(IOSMobileBackupThread::removeTempBackup(&stayed), stayed);
    note(removeDirRecursively(data.absoluteFilePath(QStringLiteral("android_cache")), &stayed), stayed);
    if (left.isEmpty())
        showInformation(tr("IDS_SUC_CLEAR_CACHE"));
    else
        showError(tr("IDS_CLEAR_CACHE_FAILED_%1").arg(left.toHtmlEscaped()));
}

void MainWindow::miHelp()
{
    shellOpen(makerServerBase() + QStringLiteral("/parlevane/help.html"));
}

void MainWindow::miFeedback()
{
    shellOpen(makerServerBase() + QStringLiteral("/support.html"));
}

void MainWindow::miHome()
{
    shellOpen(QString());
}

// ---- operations that come with their workers ---------------------------------------

// ---- operations on a set of messages ------------------------------------------

void MainWindow::runOnMessages(MessageWorker worker, MessageScope scope)
{
    Node *node = currentNode();
    if (scope == MessageScope::Chosen) {
        if (!ui->treeViewSMS->selectionModel()->selectedRows(0).isEmpty())
            scope = MessageScope::Selected;
        else if (!node)
            return;
        else
            scope = node->type == ITEM_CHAT_SESSION ? MessageScope::Shown : MessageScope::Node;
    }
    _AbsDBItemNode *source = dbNode(node && node->type == ITEM_CHAT_SESSION ? node->parent : node);
    QList<_MsgMessage *> messages;
    QSharedPointer<_MsgStore> store;
    switch (scope) {
    case MessageScope::Selected:
        messages = selectedMessages();
        store = shownStore;
        break;
    case MessageScope::Shown:
        // A copy: a reselection during the run rewrites the model's list.
        messages = smsModel->messages;
        store = shownStore;
        break;
    case MessageScope::Node:
    case MessageScope::Chosen:
        if (!source)
            return;
        messages = currentNodeMessages();
        if (messages.isEmpty())
            return;
        store = source->store;
        break;
    }
    // Held, not used: removing the node meanwhile must not close the
    // database the records were read from under the operation.
    QSharedPointer<AbsMessageDb> db;
    if (source && source->store == store)
        db = source->db;
    (this->*worker)(&messages);
}

void MainWindow::miBackup()
{
    runOnMessages(&MainWindow::backupMessages, MessageScope::Chosen);
}

void MainWindow::miBackupSel()
{
    runOnMessages(&MainWindow::backupMessages, MessageScope::Selected);
}

void MainWindow::miBackupChat()
{
    runOnMessages(&MainWindow::backupMessages, MessageScope::Shown);
}

void MainWindow::miBackupAll()
{
    runOnMessages(&MainWindow::backupMessages, MessageScope::Node);
}

void MainWindow::miExport()
{
    runOnMessages(&MainWindow::exportToFile, MessageScope::Chosen);
}

void MainWindow::miExportSel()
{
    runOnMessages(&MainWindow::exportToFile, MessageScope::Selected);
}

void MainWindow::miExportChat()
{
    runOnMessages(&MainWindow::exportToFile, MessageScope::Shown);
}

void MainWindow::miExportAll()
{
    runOnMessages(&MainWindow::exportToFile, MessageScope::Node);
}

void MainWindow::miPrint()
{
    runOnMessages(&MainWindow::printMessages, MessageScope::Chosen);
}

void MainWindow::miPrintSel()
{
    runOnMessages(&MainWindow::printMessages, MessageScope::Selected);
}

void MainWindow::miPrintChat()
{
    runOnMessages(&MainWindow::printMessages, MessageScope::Shown);
}

void MainWindow::miPrintAll()
{
    runOnMessages(&MainWindow::printMessages, MessageScope::Node);
}

void MainWindow::miI2A()
{
    runOnMessages(&MainWindow::transferToAndroid, MessageScope::Chosen);
}

void MainWindow::miI2ASel()
{
    runOnMessages(&MainWindow::transferToAndroid, MessageScope::Selected);
}

void MainWindow::miI2AChat()
{
    runOnMessages(&MainWindow::transferToAndroid, MessageScope::Shown);
}

void MainWindow::miI2AAll()
{
    runOnMessages(&MainWindow::transferToAndroid, MessageScope::Node);
}

void MainWindow::miI2I()
{
    runOnMessages(&MainWindow::transferToIOS, MessageScope::Chosen);
}

void MainWindow::miI2ISel()
{
    runOnMessages(&MainWindow::transferToIOS, MessageScope::Selected);
}

void MainWindow::miI2IChat()
{
    runOnMessages(&MainWindow::transferToIOS, MessageScope::Shown);
}

void MainWindow::miI2IAll()
{
    runOnMessages(&MainWindow::transferToIOS, MessageScope::Node);
}

void MainWindow::miDb2I()
{
    runOnMessages(&MainWindow::transferToIOS, MessageScope::Chosen);
}

void MainWindow::miDb2ISel()
{
    runOnMessages(&MainWindow::transferToIOS, MessageScope::Selected);
}

void MainWindow::miDb2IChat()
{
    runOnMessages(&MainWindow::transferToIOS, MessageScope::Shown);
}

void MainWindow::miDb2IAll()
{
    runOnMessages(&MainWindow::transferToIOS, MessageScope::Node);
}

void MainWindow::miExport2iTunes()
{
    runOnMessages(&MainWindow::exportToITunesBackup, MessageScope::Chosen);
}

void MainWindow::miExport2iTunesSel()
{
    runOnMessages(&MainWindow::exportToITunesBackup, MessageScope::Selected);
}

void MainWindow::miExport2iTunesChat()
{
    runOnMessages(&MainWindow::exportToITunesBackup, MessageScope::Shown);
}

void MainWindow::miExport2iTunesAll()
{
    runOnMessages(&MainWindow::exportToITunesBackup, MessageScope::Node);
}

void MainWindow::miA2I()
{
    runOnMessages(&MainWindow::transferToIOS, MessageScope::Chosen);
}

void MainWindow::miA2ISel()
{
    runOnMessages(&MainWindow::transferToIOS, MessageScope::Selected);
}

void MainWindow::miA2IChat()
{
    runOnMessages(&MainWindow::transferToIOS, MessageScope::Shown);
}

void MainWindow::miA2IAll()
{
    runOnMessages(&MainWindow::transferToIOS, MessageScope::Node);
}

void MainWindow::miA2A()
{
    runOnMessages(&MainWindow::transferToAndroid, MessageScope::Chosen);
}

void MainWindow::miA2ASel()
{
    runOnMessages(&MainWindow::transferToAndroid, MessageScope::Selected);
}

void MainWindow::miA2AChat()
{
    runOnMessages(&MainWindow::transferToAndroid, MessageScope::Shown);
}

void MainWindow::miA2AAll()
{
    runOnMessages(&MainWindow::transferToAndroid, MessageScope::Node);
}

void MainWindow::miDb2A()
{
    runOnMessages(&MainWindow::transferToAndroid, MessageScope::Chosen);
}

void MainWindow::miDb2ASel()
{
    runOnMessages(&MainWindow::transferToAndroid, MessageScope::Selected);
}

void MainWindow::miDb2AChat()
{
    runOnMessages(&MainWindow::transferToAndroid, MessageScope::Shown);
}

void MainWindow::miDb2AAll()
{
    runOnMessages(&MainWindow::transferToAndroid, MessageScope::Node);
}

void MainWindow::transferToIOS(QList<_MsgMessage *> *messages)
{
    Node *current = currentNode();
    if (!current)
        return;

    // What identifies each candidate once the chooser has returned: its node
    // may have been removed meanwhile and the address reused.
    struct Candidate
    {
        std::unique_ptr<_DataSourceItem> item;
        QString id;
        void *handle;
    };
    std::vector<Candidate> candidates;
    QList<_DataSourceItem *> items;
    for (Node *child : iosTargetsOf(current)) {
        const IOSDevice &device = static_cast<_IOSDeviceItemNode *>(child)->device;
        candidates.push_back({std::make_unique<_DataSourceItem>(QStringLiteral(":res/iphone.png"), device.deviceName,
                                                                child),
                              device.uniqueDeviceId, device.amDevice});
        items.append(candidates.back().item.get());
    }

    void *chosen = nullptr;
    {
        DataSourceSelForm chooser(this);
        chosen = chooser.select(tr("IDS_SEL_ONE_IOS_DEVICE"), items);
    }
    if (!chosen)
        return;
    _IOSDeviceItemNode *targetNode = nullptr;
    for (const Candidate &c : candidates) {
        if (c.item->pointer == chosen)
            targetNode = static_cast<_IOSDeviceItemNode *>(findIOSNode(c.id, c.handle, chosen));
    }
    items.clear();
    candidates.clear();
    // The phone left while the chooser was open: nothing is left to act on.
    if (!targetNode)
        return;

    // The threads get this copy and the run keeps the database: a detach in
    // one of the modal loops below frees the node and its records.
    IOSDevice device = targetNode->device;
    const QSharedPointer<AbsMessageDb> targetDb = targetNode->db;
    targetNode = nullptr;
    // Never reached through the menus while an arrival or transfer of the
    // phone runs (their dialogs are modal), but two runs on one backup
    // folder must not happen.
    if (isDeviceBusy(device.uniqueDeviceId))
        return;
    const DeviceBusy::Hold busy(*deviceBusy, device.uniqueDeviceId);

    try {
        auto *layout = dynamic_cast<AbsIOSMessageDb *>(targetDb.data());
        if (!layout || layout->iosVersion() != 6) {
            showWarning(QStringLiteral("Failed to recover. Only iOS 6 or above is supported."));
            return;
        }
        if (!device.checkBackupSettings(true, true))
            return;
        if (!device.productType.startsWith(QLatin1String("iPhone"), Qt::CaseInsensitive)
            && !showQuestion(QStringLiteral("You can transfer iMessage only to an iPad/iPod. Want to continue?")))
            return;
        if (!showQuestion(tr("IDS_RESTORE_IOS_TIPS_FIND_MY_IPHONE_MUST_OFF").arg(makerServerBase())))
            return;

        // Declared in the order of creation, so they go in reverse.
        std::unique_ptr<ProgressForm> backupForm(new ProgressForm(QString(), this));
        std::unique_ptr<IOSMobileBackupThread> backup(new IOSMobileBackupThread(&device, backupForm.get(), this));
        if (!runWorker(backupForm.get(), backup.get()))
            return;
        const QDir backupRoot = backup->backupDir();

        std::unique_ptr<ProgressForm> cacheForm(new ProgressForm(QString(), this));
        BackupManifest manifest(backupRoot.absoluteFilePath(device.uniqueDeviceId));
        try {
            manifest.loadManifestPlist();
            manifest.loadMbdb();
        } catch (const std::exception &e) {
            showError(QString::fromUtf8(e.what()));
            return;
        }
        std::unique_ptr<ITunesCacheSMSThread> cache(new ITunesCacheSMSThread(&manifest, cacheForm.get(), this));
        if (!runWorker(cacheForm.get(), cache.get()))
            return;

        IOS6MessageDb backupDb(cache->cacheDir(), device.mobileSubscriberCountryCode, false);
        std::unique_ptr<ProgressForm> mergeForm(new ProgressForm(QString(), this));
        std::unique_ptr<IOS6RestoreMessagesThread> merge(new IOS6RestoreMessagesThread(
            device.mobileSubscriberCountryCode, messages, &backupDb, manifest.folder, mergeForm.get(), this));
        if (!runWorker(mergeForm.get(), merge.get()))
            return;

        std::unique_ptr<ProgressForm> restoreForm(new ProgressForm(QString(), this));
        std::unique_ptr<IOSMobileRestoreThread> restore(
            new IOSMobileRestoreThread(&device, backupRoot, restoreForm.get(), this));
        if (!runWorker(restoreForm.get(), restore.get())) {
            // The dialog closed at the cancel; the phone's state is not obvious.
            if (restore->stoppedByUser())
                showWarning(IOSMobileRestoreThread::stoppedText());
            return;
        }
        showInformation(merge->successText());
    } catch (const std::exception &e) {
        qWarning("%s", e.what());
        showError(QString::fromUtf8(e.what()));
    }
}

bool MainWindow::isTransferTarget(const IOSDevice &device)
{
    // A phone of the "virtual_ios" folder has no handle and its folder for an
    // id: joined to the backup root that id stays the user's folder, which a
    // failed backup would delete.
    return !(device.amDevice == nullptr && device.uniqueDeviceId.contains(QLatin1Char('/')));
}

MainWindow::Node *MainWindow::findIOSNode(const QString &id, void *handle, void *preferred) const
{
    Node *found = nullptr;
    for (Node *child : mainModel->rootDevice->children) {
        if (child->type != ITEM_IOS_DEVICE)
            continue;
        auto *node = static_cast<_IOSDeviceItemNode *>(child);
        if (node->device.uniqueDeviceId != id || node->device.amDevice != handle)
            continue;
        if (node == preferred)
            return node;
        if (!found)
            found = node;
    }
    return found;
}

void MainWindow::transferToAndroid(QList<_MsgMessage *> *messages)
{
    Node *current = currentNode();
    if (!current)
        return;
    // The candidates' stores stay alive while the chooser runs: a node that
    // leaves meanwhile is freed, and its address may come back as a new node.
    QList<_DataSourceItem *> items;
    QList<QSharedPointer<_MsgStore>> candidateStores;
    for (Node *child : androidTargetsOf(current)) {
        auto *phone = static_cast<_AndroidDeviceItemNode *>(child);
        items.append(new _DataSourceItem(QStringLiteral(":res/android.png"), phone->device.displayName(), child));
        candidateStores.append(phone->store);
    }
    DataSourceSelForm chooser(this);
    void *chosen = chooser.select(tr("IDS_SEL_ONE_ANDROID_DEVICE"), items);
    int chosenIndex = -1;
    for (int i = 0; i < items.size(); ++i) {
        if (chosen && items.at(i)->pointer == chosen)
            chosenIndex = i;
    }
    qDeleteAll(items);
    if (chosenIndex < 0)
        return;
    const QSharedPointer<_MsgStore> targetStore = candidateStores.at(chosenIndex);
    candidateStores.clear();
    Node *targetNode = androidNodeWithStore(targetStore);
    if (!targetNode)
        return;

    // The operation's own record, database and stores: the modal loop below
    // may remove the target's node (its phone unplugged, or loaded again).
    auto *target = static_cast<_AndroidDeviceItemNode *>(targetNode);
    AndroidDevice device = target->device;
    const QSharedPointer<AbsMessageDb> targetDb = target->db;
    const QSharedPointer<_MsgStore> sourceStore = storeOwning(*messages);
    const DeviceBusy::Hold busy(*deviceBusy, QStringLiteral("cache:") + device.cacheFolderName());

    targetDb->close();
    auto *form = new ProgressForm(QString(), this);
    auto *worker = new AndroidRestoreSMSThread(&device, *messages, sourceStore, form, this);
    const bool ok = runWorker(form, worker);
    delete worker;
    delete form;
    if (!ok)
        return;

    auto *still = static_cast<_AndroidDeviceItemNode *>(androidNodeWithStore(targetStore));
    if (!still)
        return;
    mainModel->removeChildren(still);
    try {
        still->db->chats(still->store);
        mainModel->loadChatSessions(still);
        selectTreeNode(still);
    } catch (const std::exception &e) {
        showError(QString::fromUtf8(e.what()));
    }
}

MainWindow::Node *MainWindow::androidNodeWithStore(const QSharedPointer<_MsgStore> &store) const
{
    if (!store)
        return nullptr;
    for (Node *child : std::as_const(mainModel->rootDevice->children)) {
        if (child->type == ITEM_ANDROID_DEVICE && static_cast<_AndroidDeviceItemNode *>(child)->store == store)
            return child;
    }
    return nullptr;
}

QSharedPointer<_MsgStore> MainWindow::storeOwning(const QList<_MsgMessage *> &messages) const
{
    if (messages.isEmpty())
        return {};
    const _MsgMessage *first = messages.first();
    const auto owns = [first](const QSharedPointer<_MsgStore> &store) {
        return store && store->messages.value(first->rowid) == first;
    };
    if (owns(shownStore))
        return shownStore;
    for (Node *root : {static_cast<Node *>(mainModel->rootDevice), static_cast<Node *>(mainModel->rootLocalDB)}) {
        for (Node *child : std::as_const(root->children)) {
            if (_AbsDBItemNode *node = dbNode(child); node && owns(node->store))
                return node->store;
        }
    }
    return {};
}

void MainWindow::backupMessages(QList<_MsgMessage *> *messages)
{
    Node *node = currentNode();
    if (node && node->type == ITEM_CHAT_SESSION)
        node = node->parent;
    if (!isDatabaseNode(node))
        return;
    backupToLocalDb(node->text + QStringLiteral("_Backup"), messages, storeOwning(*messages));
}

void MainWindow::backupToLocalDb(const QString &proposed, QList<_MsgMessage *> *messages,
                                 const QSharedPointer<_MsgStore> &owner)
{
    QStringList names;
    for (const Node *child : std::as_const(mainModel->rootLocalDB->children))
        names.append(child->text);
    QString name;
    {
        LocalDbSelForm chooser(names, proposed, this);
        name = chooser.selectedName();
    }
    if (name.isEmpty())
        return;

    _AbsDBItemNode *target = dbNode(localDbNamed(name));
    if (!target) {
        QSharedPointer<AbsMessageDb> db(
            new IOS6MessageDb(QDir(localDatabasesDir().absoluteFilePath(name)), QString(), true));
        target = mainModel->addLocalDatabase(db, name);
    }
    // The worker writes through a connection of its own; this one stays
    // closed until the reload opens it again.
    target->db->close();

    auto *form = new ProgressForm(QString(), this);
    auto *worker = new BackupSMSThread(*messages, owner, QDir(localDatabasesDir().absoluteFilePath(target->text)),
                                       QString(), form, this);
    const bool ok = runWorker(form, worker);
    delete worker;
    delete form;
    // Local databases leave the tree only by the user's hand, which the modal
    // form kept away; the check costs nothing should that ever change.
    if (!ok || !mainModel->rootLocalDB->children.contains(target))
        return;

    try {
        // Rows of the node vanish below: a current row among them would make
        // the view move the selection while they are half gone.
        Node *current = currentNode();
        if (current && current->parent == target)
            ui->treeViewDS->setCurrentIndex(indexOfNode(target));
        mainModel->removeChildren(target);
        target->db->messages(target->store, 0);
        mainModel->loadChatSessions(target);
        selectTreeNode(target);
        // Selecting the node that is current already shows nothing new.
        if (currentNode() == target) {
            QList<_MsgMessage *> list = allMessages(target->store);
            showStoreMessages(target->store, list);
        }
    } catch (const std::exception &e) {
        showError(QString::fromUtf8(e.what()));
    }
}

MainWindow::Node *MainWindow::localDbNamed(const QString &name) const
{
    for (Node *child : std::as_const(mainModel->rootLocalDB->children)) {
        if (child->type == ITEM_LOCAL_DB && child->text.compare(name, Qt::CaseInsensitive) == 0)
            return child;
    }
    return nullptr;
}

void MainWindow::exportToITunesBackup(QList<_MsgMessage *> *messages)
{
    // Declared in the order the parts are made: they go in reverse, each
    // thread before its form, and the chooser (holding the manifest) last.
    std::unique_ptr<LoadItunesBackupDlg> chooser(new LoadItunesBackupDlg(this));
    if (chooser->exec() != QDialog::Accepted || !chooser->selected)
        return;
    // One more reference of our own for the run.
    const QSharedPointer<BackupManifest> manifest = chooser->selected;
    if (manifest->info.isEncrypted) {
        // Files written unencrypted into an encrypted backup are lost to a restore.
        showWarning(tr("IDS_CANT_EXPORT_ITUNES_BACKUP_IS_ENCRYPT"));
        return;
    }
    try {
        manifest->loadMbdb();
    } catch (const std::exception &e) {
        showError(QString::fromUtf8(e.what()));
        return;
    }
    try {
        std::unique_ptr<ProgressForm> cacheForm(new ProgressForm(QString(), this));
        std::unique_ptr<ITunesCacheSMSThread> cache(new ITunesCacheSMSThread(manifest.data(), cacheForm.get(), this));
        if (!runWorker(cacheForm.get(), cache.get()))
            return;
        std::unique_ptr<IOS6MessageDb> target(new IOS6MessageDb(cache->cacheDir(), QString(), false));
        std::unique_ptr<ProgressForm> mergeForm(new ProgressForm(QString(), this));
        std::unique_ptr<IOS6RestoreMessagesThread> merge(new IOS6RestoreMessagesThread(
            QString(), messages, target.get(), manifest->folder, mergeForm.get(), this));
        if (!runWorker(mergeForm.get(), merge.get()))
            return;
        showInformation(merge->successText());
    } catch (const std::exception &e) {
        qWarning("%s", e.what());
        showError(QString::fromUtf8(e.what()));
    }
}

void MainWindow::exportToFile(QList<_MsgMessage *> *messages)
{
    struct Choice
    {
        QString filter;
        int format;
        const char *suffix; // the file suffix, or the folder's ending
        bool folder;
    };
    const QList<Choice> choices = {
        {tr("Text Files(*.txt)"), ExportSMSThread::Txt, "txt", false},
        {tr("Doc Files(*.doc)"), ExportSMSThread::Txt, "doc", false},
        {tr("CSV Files(*.csv)"), ExportSMSThread::Csv, "csv", false},
        {tr("PDF Files(*.pdf)"), ExportSMSThread::Pdf, "-pdf", true},
        {tr("HTML Files(*.html)"), ExportSMSThread::Html, "-html", true},
    };
    QStringList filters;
    for (const Choice &choice : choices)
        filters << choice.filter;
    const QString proposed = QDir::home().absoluteFilePath(
        QStringLiteral("sms(%1)").arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-hhmmss"))));

    // Qt's own dialog, not the desktop's: it appends the filter's suffix to a
    // bare name before it asks whether to replace that file, so "notes" with
    // the DOC filter cannot silently overwrite an existing notes.doc.
    QFileDialog dialog(this, tr("IDS_SEL_EXPORT_MESSAGES_PATH"), proposed, filters.join(QStringLiteral(";;")));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    auto suffixOf = [&choices](const QString &filter) {
        for (const Choice &choice : choices) {
            if (choice.filter == filter)
                return choice.folder ? QString() : QLatin1String(choice.suffix);
        }
        return QString();
    };
    dialog.selectNameFilter(filters.first());
    dialog.setDefaultSuffix(suffixOf(filters.first()));
    connect(&dialog, &QFileDialog::filterSelected, &dialog,
            [&dialog, suffixOf](const QString &filter) { dialog.setDefaultSuffix(suffixOf(filter)); });
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    const QString name = dialog.selectedFiles().constFirst();
    if (name.isEmpty())
        return;
    const QString filter = dialog.selectedNameFilter();

    const Choice *choice = nullptr;
    for (const Choice &c : choices) {
        if (c.filter == filter) {
            choice = &c;
            break;
        }
    }
    if (!choice) {
        showError(QStringLiteral("unknown export format."));
        return;
    }
    const QFileInfo typed(name);
    QString target;
    if (!choice->folder)
        target = typed.suffix().isEmpty() ? name + QLatin1Char('.') + QLatin1String(choice->suffix) : name;
    else if (typed.suffix().isEmpty())
        target = name + QLatin1String(choice->suffix);
    else
        target = QDir(typed.path()).absoluteFilePath(typed.baseName() + QLatin1String(choice->suffix));

    const bool ascending = ui->treeViewSMS->header()->sortIndicatorOrder() == Qt::AscendingOrder;
    auto *form = new ProgressForm(QString(), this);
    auto *worker = new ExportSMSThread(*messages, storeOwning(*messages), target, choice->format, ascending, form, this);
    runWorker(form, worker);
    delete worker;
    delete form;
}

void MainWindow::printMessages(QList<_MsgMessage *> *messages)
{
    if (WindowSeams::printHook) {
        WindowSeams::printHook(*messages);
        return;
    }
    SMSPrinter printer(this);
    printer.print(*messages);
}

// ---- deleting, import, WiFi and about ---------------------------------------------

void MainWindow::miDel()
{
    if (!ui->treeViewSMS->selectionModel()->selectedRows(0).isEmpty()) {
        miDelSel();
        return;
    }
    Node *node = currentNode();
    if (!node)
        return;
    if (node->type == ITEM_CHAT_SESSION)
        miDelChat();
    else
        miDelAll();
}

void MainWindow::miDelSel()
{
    Node *current = currentNode();
    Node *target = current;
    if (target && target->type == ITEM_CHAT_SESSION)
        target = target->parent;
    if (!target || target->type != ITEM_LOCAL_DB)
        return;
    const QSharedPointer<_MsgStore> store = dbNode(target)->store;
    // After a failed load the list still shows another node's records: only
    // the target's own records are its to delete.
    if (ownedBy(selectedMessages(), store).isEmpty())
        return;
    const QPersistentModelIndex shown(indexOfNode(current));
    if (!showQuestion(tr("IDS_CONFIRM_DEL_SEL_MESSAGES")))
        return;
    // The box ran an event loop: the node and the selection may have changed.
    if (!shown.isValid() || currentNode() != current)
        return;
    const QList<_MsgMessage *> messages = ownedBy(selectedMessages(), store);
    if (messages.isEmpty() || !deleteFromDatabase(target, messages))
        return;
    // The list and the conversation view point at the records about to go.
    clearMessageList();
    const QList<_MsgChat *> emptied = freeDeletedMessages(store, messages);
    // Selecting the node again shows what is left of it.
    ui->treeViewDS->selectionModel()->clear();
    dropEmptiedChats(target, store, emptied);
    if (shown.isValid())
        ui->treeViewDS->setCurrentIndex(shown);
    else if (mainModel->rootLocalDB->children.contains(target))
        ui->treeViewDS->setCurrentIndex(indexOfNode(target));
}

void MainWindow::miDelChat()
{
    Node *node = currentNode();
    if (!node || node->type != ITEM_CHAT_SESSION || !node->parent || node->parent->type != ITEM_LOCAL_DB)
        return;
    Node *target = node->parent;
    const QSharedPointer<_MsgStore> store = dbNode(target)->store;
    const QPersistentModelIndex row(indexOfNode(node));
    if (!showQuestion(tr("IDS_CONFIRM_DEL_THIS_CHAT")))
        return;
    if (!row.isValid() || currentNode() != node)
        return;
    // The conversation's own records, whatever the list happens to show.
    const QList<_MsgChat *> chats = static_cast<_ChatSessionItemNode *>(node)->session.chats;
    const QList<_MsgMessage *> messages = ownedBy(messagesOfChats(chats), store);
    if (!deleteFromDatabase(target, messages))
        return;
    clearMessageList();
    ui->treeViewDS->selectionModel()->clear();
    // The row reads its chats while it is painted: it goes before they do.
    if (row.isValid())
        removeTreeNode(static_cast<Node *>(row.internalPointer()));
    QList<_MsgChat *> emptied = freeDeletedMessages(store, messages);
    for (_MsgChat *chat : chats) {
        if (!emptied.contains(chat))
            emptied.append(chat);
    }
    dropEmptiedChats(target, store, emptied);
}

QList<_MsgMessage *> MainWindow::ownedBy(const QList<_MsgMessage *> &list, const QSharedPointer<_MsgStore> &store)
{
    QList<_MsgMessage *> owned;
    if (!store)
        return owned;
    QSet<_MsgMessage *> seen;
    for (_MsgMessage *message : list) {
        if (message && store->messages.value(message->rowid) == message && !seen.contains(message)) {
            seen.insert(message);
            owned.append(message);
        }
    }
    return owned;
}

bool MainWindow::deleteFromDatabase(Node *target, const QList<_MsgMessage *> &messages)
{
    _AbsDBItemNode *source = dbNode(target);
    // Held for the run: the node may leave the tree in the form's event loop.
    const QSharedPointer<AbsMessageDb> db = source->db;
    const QSharedPointer<_MsgStore> store = source->store;
    auto *local = dynamic_cast<IOS6MessageDb *>(db.data());
    if (!local)
        return false;
    auto *form = new ProgressForm(QString(), this);
    auto *worker = new DeleteMessagesThread(local, messages, store, form, this);
    // A cancel that comes after the commit stops nothing: the messages are
    // gone from the database and must go from memory too.
    const bool ok = runWorker(form, worker) || worker->committed();
    delete worker;
    delete form;
    return ok;
}

void MainWindow::dropEmptiedChats(Node *target, const QSharedPointer<_MsgStore> &store,
                                  const QList<_MsgChat *> &emptied)
{
    if (emptied.isEmpty())
        return;
    // The database dropped these chats with their last message; kept here,
    // a later reload of the node into this store would show them as empty
    // conversations. The rows read their chats while painted: they let go
    // first.
    if (mainModel->rootLocalDB->children.contains(target)) {
        const QList<Node *> rows = target->children;
        for (Node *row : rows) {
            if (row->type != ITEM_CHAT_SESSION)
                continue;
            QList<_MsgChat *> &chats = static_cast<_ChatSessionItemNode *>(row)->session.chats;
            for (_MsgChat *chat : emptied)
                chats.removeAll(chat);
            if (chats.isEmpty())
                removeTreeNode(row);
        }
    }
    for (_MsgChat *chat : emptied) {
        if (store->chats.value(chat->rowid) != chat)
            continue;
        store->chats.remove(chat->rowid);
        delete chat;
    }
}

QList<_MsgChat *> MainWindow::freeDeletedMessages(const QSharedPointer<_MsgStore> &store,
                                                  const QList<_MsgMessage *> &messages)
{
    QList<_MsgChat *> emptied;
    // A message joined to two chats sits in both chats' hashes, and the
    // database dropped every join of it. Each chat is searched from its
    // smaller side: a whole conversation against many small chats, or a few
    // messages against a huge one.
    QHash<qint64, _MsgMessage *> deleted;
    deleted.reserve(messages.size());
    for (_MsgMessage *message : messages)
        deleted.insert(message->rowid, message);
    for (_MsgChat *chat : std::as_const(store->chats)) {
        const qsizetype before = chat->messages.size();
        if (chat->messages.size() < deleted.size()) {
            for (auto it = chat->messages.begin(); it != chat->messages.end();) {
                if (deleted.value(it.key()) == it.value())
                    it = chat->messages.erase(it);
                else
                    ++it;
            }
        } else {
            for (auto it = deleted.cbegin(); it != deleted.cend(); ++it) {
                if (chat->messages.value(it.key()) == it.value())
                    chat->messages.remove(it.key());
            }
        }
        if (chat->messages.isEmpty() && chat->messages.size() != before)
            emptied.append(chat);
    }
    for (_MsgMessage *message : messages) {
        store->messages.remove(message->rowid);
        delete message;
    }
    return emptied;
}

void MainWindow::miImportItunes()
{
    importITunesBackup(QString());
}

void MainWindow::miImportToLocalDb()
{
    Node *node = currentNode();
    if (node && node->type == ITEM_LOCAL_DB)
        importITunesBackup(node->text);
}

void MainWindow::importITunesBackup(const QString &name)
{
    LoadItunesBackupDlg chooser(this);
    if (chooser.exec() != QDialog::Accepted || !chooser.selected)
        return;
    // Ours for the whole run, whatever becomes of the chooser's list.
    const QSharedPointer<BackupManifest> manifest = chooser.selected;
    if (manifest->info.isEncrypted) {
        PasscodeDlg passcode(manifest.data(), this);
        if (passcode.exec() != QDialog::Accepted)
            return;
    }
    try {
        manifest->loadMbdb();
    } catch (const std::exception &e) {
        showError(QString::fromUtf8(e.what()));
        return;
    }

    auto *form = new ProgressForm(QString(), this);
    auto *worker = new ITunesCacheSMSThread(manifest.data(), form, this);
    if (runWorker(form, worker)) {
        try {
            const QDir cacheDir = worker->cacheDir();
            const QString smsDb =
                cacheDir.absoluteFilePath(QStringLiteral("file-relay/var/mobile/Library/SMS/sms.db"));
            QSharedPointer<AbsMessageDb> db;
            switch (AbsIOSMessageDb::detectVersion(smsDb)) {
            case 5:
                db.reset(new IOS5MessageDb(cacheDir, QString()));
                break;
            case 6:
                db.reset(new IOS6MessageDb(cacheDir, QString(), false));
                break;
            default:
                throw std::runtime_error("invalid IOS db.");
            }
            QSharedPointer<_MsgStore> store;
            newMsgStore(store);
            db->messages(store, 0);
            const QString proposed = name.isEmpty() ? manifest->info.deviceName + QStringLiteral("_Backup") : name;
            QList<_MsgMessage *> list = allMessages(store);
            backupToLocalDb(proposed, &list, store);
        } catch (const std::exception &e) {
            qWarning("%s", e.what());
            showError(QString::fromUtf8(e.what()));
        }
    }
    delete worker;
    delete form;
}

void MainWindow::miConnectWifi()
{
    AndroidWIFIForm form(this);
    if (form.exec() != QDialog::Accepted)
        return;
    const AndroidDevice device = form.device;
    const QList<Node *> children = mainModel->rootDevice->children;
    for (Node *child : children) {
        if (child->type == ITEM_ANDROID_DEVICE && static_cast<_AndroidDeviceItemNode *>(child)->device.uid == device.uid) {
            removeTreeNode(child);
            break;
        }
    }
    androidDeviceLoad(device);
}

void MainWindow::miAbout()
{
    AboutUsForm form(this);
    form.exec();
}
