#include "ui/mainwindow.h"

#include "ui_mainwindow.h"

#include "android/androidmonitor.h"
#include "app/datafolder.h"
#include "app/durablefile.h"
#include "app/makerserver.h"
#include "app/messagebox.h"
#include "app/stylesheet.h"
#include "export/msglocaltime.h"
#include "ios/applelibs.h"
#include "ios/mobiledevice.h"
#include "platform/desktop/desktopopener.h"
#include "store/ios6messagedb.h"
#include "store/msgrecords.h"
#include "store/msgtext.h"
#include "ui/aboutusform.h"
#include "ui/contextmenus.h"
#include "ui/itemmodelmain.h"
#include "ui/itemmodelsms.h"
#include "ui/messagelistpane.h"
#include "ui/noticequeue.h"
#include "ui/updatechecks.h"
#include "ui/operations/androidtransfer.h"
#include "ui/operations/cachefolders.h"
#include "ui/operations/devicearrivals.h"
#include "ui/operations/exportoperations.h"
#include "ui/operations/iphonetransfer.h"
#include "ui/operations/itunesbackupexport.h"
#include "ui/operations/itunesimport.h"
#include "ui/operations/localdatabaseoperations.h"
#include "ui/operations/messagedeletion.h"
#include "ui/windowseams.h"

#include <QCursor>
#include <QDateTime>
#include <QDebug>
#include <QFile>
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

namespace {

bool isDatabaseNode(const MainWindow::Node *node)
{
    return ItemModelMain::isSourceNode(node);
}

_AbsDBItemNode *dbNode(MainWindow::Node *node)
{
    return ItemModelMain::sourceNode(node);
}
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

    // The list first: the tree reports a selection as soon as it has a model.
    smsModel = new ItemModelSms(this);
    messageList = new MessageListPane(smsModel, ui->treeViewSMS, ui->txtSMS, ui->lbSMSCount, this);

    mainModel = new ItemModelMain(this);
    ui->treeViewDS->setModel(mainModel);
    ui->treeViewDS->expandAll();

    // What the operations may touch of the window.
    operations.window = this;
    operations.tree = mainModel;
    operations.busy = deviceBusy;
    operations.currentNode = [this]() { return currentNode(); };
    operations.selectNode = [this](Node *node) { selectTreeNode(node); };
    operations.setCurrentIndex = [this](const QModelIndex &index) { ui->treeViewDS->setCurrentIndex(index); };
    operations.clearSelection = [this]() { ui->treeViewDS->selectionModel()->clear(); };
    operations.removeNode = [this](Node *node) { removeTreeNode(node); };
    operations.showMessages = [this](const QSharedPointer<_MsgStore> &store, QList<_MsgMessage *> &messages) {
        showStoreMessages(store, messages);
    };
    operations.clearMessages = [this]() { clearMessageList(); };
    operations.selectedMessages = [this]() { return selectedMessages(); };
    operations.shownStore = [this]() { return messageList->shownStore(); };
    operations.listAscending = [this]() { return messageList->ascending(); };
    operations.operationsChanged = [this]() { emit deviceOperationsChanged(); };
    arrivals = std::make_unique<DeviceArrivals>(operations);

    createMenus();
    setWindowTitle(QObject::tr("Quillmarten Parlevane"));

    advertLabel = new QLabel(ui->statusBar);
    ui->statusBar->setStyleSheet(QStringLiteral("QStatusBar::item{border: 0px}"));
    ui->statusBar->addWidget(advertLabel, 0);
    updateChecks = new UpdateChecks(advertLabel, this);

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
    connect(androidMonitor, &AndroidMonitor::deviceDisconnected, this,
            [this](const QString &serial) { arrivals->dropKeptArrivals(serial); });
    androidMonitor->startMonitoring();

    if (WindowSeams::usbTipsDelay >= 0)
        QTimer::singleShot(WindowSeams::usbTipsDelay, this, &MainWindow::androidUsbTips);

    loadLocalDatabases();
    updateChecks->startWhenDue();
    arrivals->loadVirtualPhones();
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

int MainWindow::iosTargetCount(Node *source) const
{
    return int(mainModel->iosTargetsOf(source).size());
}

int MainWindow::androidTargetCount(Node *source) const
{
    return int(mainModel->androidTargetsOf(source).size());
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
    messageList->showStoreMessages(store, messages);
}

void MainWindow::showMessages(QList<_MsgMessage *> &messages) { messageList->showMessages(messages); }
void MainWindow::clearMessageList() { messageList->clear(); }

void MainWindow::onSMSSortIndicatorChanged(int logicalIndex, Qt::SortOrder)
{
    messageList->onSortIndicatorChanged(logicalIndex);
}

void MainWindow::onSMSItemSelected(const QItemSelection &selected, const QItemSelection &)
{
    // The list reports its first (empty) selection while the pane is made.
    if (messageList)
        messageList->onItemSelected(selected);
}

QList<_MsgMessage *> MainWindow::currentNodeMessages()
{
    _AbsDBItemNode *source = dbNode(currentNode());
    if (!source)
        return {};
    try {
        source->db->messages(source->store, 0);
        QList<_MsgMessage *> list = allMessages(source->store);
        messageList->sortAsShown(list);
        return list;
    } catch (const std::exception &e) {
        showError(QString::fromUtf8(e.what()));
        return {};
    }
}

QList<_MsgMessage *> MainWindow::selectedMessages() { return messageList->selectedMessages(); }

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
    const bool listShowsIt = source && messageList->shownStore() && messageList->shownStore() == source->store;

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

void MainWindow::onMainTreeContextMenu()
{
    Node *node = currentNode();
    if (!node)
        return;
    ContextMenus::show(this, ContextMenus::ofTree(node, iosTargetCount(node), androidTargetCount(node)));
}

void MainWindow::onSMSContextMenu()
{
    Node *node = currentNode();
    if (!node)
        return;
    int type = node->type;
    if (type == ITEM_CHAT_SESSION)
        type = node->parent ? node->parent->type : 0;
    ContextMenus::show(this, ContextMenus::ofList(type, iosTargetCount(node), androidTargetCount(node)));
}

// ---- search ---------------------------------------------------------------------

void MainWindow::searchMessages() { messageList->search(ui->txtSMSKeyword->text().trimmed()); }

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

void MainWindow::onCheckVersionReadyRead(QNetworkReply *reply) { updateChecks->onVersionReply(reply); }
void MainWindow::onGetAdvLinkRead(QNetworkReply *reply) { updateChecks->onAdvertReply(reply); }
void MainWindow::miCheckUpdate() { UpdateChecks::openUpdatePage(); }

// ---- devices --------------------------------------------------------------------

QList<IOSDevice> MainWindow::iosDevices() const { return arrivals->iosDevices(); }
void MainWindow::iosDeviceConnected(void *device) { arrivals->iosConnected(device); }
void MainWindow::iosDeviceDisconnected(void *device) { arrivals->iosDisconnected(device); }
void MainWindow::androidDeviceConnected(AdbDevice device) { arrivals->androidConnected(device); }
void MainWindow::androidDeviceDisconnected(QString id) { arrivals->androidDisconnected(id); }
void MainWindow::androidDeviceLoad(AndroidDevice device) { arrivals->androidLoad(device); }
void MainWindow::miConnectWifi() { arrivals->connectWifi(); }

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

void MainWindow::miDelAll() { LocalDatabaseOperations(operations).deleteCurrent(); }
void MainWindow::miViewCache() { CacheFolders(operations).openCurrent(); }
void MainWindow::miOpenDbFolder() { openInExplorer(localDatabasesDir().absolutePath()); }
void MainWindow::miClearCache() { CacheFolders::clearAll(); }
void MainWindow::miHelp() { shellOpen(makerServerBase() + QStringLiteral("/parlevane/help.html")); }
void MainWindow::miFeedback() { shellOpen(makerServerBase() + QStringLiteral("/support.html")); }
void MainWindow::miHome() { shellOpen(QString()); }

// ---- operations on a set of messages ------------------------------------------

void MainWindow::runOnMessages(MessageWorker worker, MessageScope scope)
{
    Node *node = currentNode();
    if (scope == MessageScope::Chosen) {
        if (messageList->hasSelectedRows())
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
        store = messageList->shownStore();
        break;
    case MessageScope::Shown:
        // A copy: a reselection during the run rewrites the model's list.
        messages = smsModel->messages;
        store = messageList->shownStore();
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

void MainWindow::miBackup() { runOnMessages(&MainWindow::backupMessages, MessageScope::Chosen); }
void MainWindow::miBackupSel() { runOnMessages(&MainWindow::backupMessages, MessageScope::Selected); }
void MainWindow::miBackupChat() { runOnMessages(&MainWindow::backupMessages, MessageScope::Shown); }
void MainWindow::miBackupAll() { runOnMessages(&MainWindow::backupMessages, MessageScope::Node); }
void MainWindow::miExport() { runOnMessages(&MainWindow::exportToFile, MessageScope::Chosen); }
void MainWindow::miExportSel() { runOnMessages(&MainWindow::exportToFile, MessageScope::Selected); }
void MainWindow::miExportChat() { runOnMessages(&MainWindow::exportToFile, MessageScope::Shown); }
void MainWindow::miExportAll() { runOnMessages(&MainWindow::exportToFile, MessageScope::Node); }
void MainWindow::miPrint() { runOnMessages(&MainWindow::printMessages, MessageScope::Chosen); }
void MainWindow::miPrintSel() { runOnMessages(&MainWindow::printMessages, MessageScope::Selected); }
void MainWindow::miPrintChat() { runOnMessages(&MainWindow::printMessages, MessageScope::Shown); }
void MainWindow::miPrintAll() { runOnMessages(&MainWindow::printMessages, MessageScope::Node); }
void MainWindow::miI2A() { runOnMessages(&MainWindow::transferToAndroid, MessageScope::Chosen); }
void MainWindow::miI2ASel() { runOnMessages(&MainWindow::transferToAndroid, MessageScope::Selected); }
void MainWindow::miI2AChat() { runOnMessages(&MainWindow::transferToAndroid, MessageScope::Shown); }
void MainWindow::miI2AAll() { runOnMessages(&MainWindow::transferToAndroid, MessageScope::Node); }
void MainWindow::miI2I() { runOnMessages(&MainWindow::transferToIOS, MessageScope::Chosen); }
void MainWindow::miI2ISel() { runOnMessages(&MainWindow::transferToIOS, MessageScope::Selected); }
void MainWindow::miI2IChat() { runOnMessages(&MainWindow::transferToIOS, MessageScope::Shown); }
void MainWindow::miI2IAll() { runOnMessages(&MainWindow::transferToIOS, MessageScope::Node); }
void MainWindow::miDb2I() { runOnMessages(&MainWindow::transferToIOS, MessageScope::Chosen); }
void MainWindow::miDb2ISel() { runOnMessages(&MainWindow::transferToIOS, MessageScope::Selected); }
void MainWindow::miDb2IChat() { runOnMessages(&MainWindow::transferToIOS, MessageScope::Shown); }
void MainWindow::miDb2IAll() { runOnMessages(&MainWindow::transferToIOS, MessageScope::Node); }
void MainWindow::miExport2iTunes() { runOnMessages(&MainWindow::exportToITunesBackup, MessageScope::Chosen); }
void MainWindow::miExport2iTunesSel() { runOnMessages(&MainWindow::exportToITunesBackup, MessageScope::Selected); }
void MainWindow::miExport2iTunesChat() { runOnMessages(&MainWindow::exportToITunesBackup, MessageScope::Shown); }
void MainWindow::miExport2iTunesAll() { runOnMessages(&MainWindow::exportToITunesBackup, MessageScope::Node); }
void MainWindow::miA2I() { runOnMessages(&MainWindow::transferToIOS, MessageScope::Chosen); }
void MainWindow::miA2ISel() { runOnMessages(&MainWindow::transferToIOS, MessageScope::Selected); }
void MainWindow::miA2IChat() { runOnMessages(&MainWindow::transferToIOS, MessageScope::Shown); }
void MainWindow::miA2IAll() { runOnMessages(&MainWindow::transferToIOS, MessageScope::Node); }
void MainWindow::miA2A() { runOnMessages(&MainWindow::transferToAndroid, MessageScope::Chosen); }
void MainWindow::miA2ASel() { runOnMessages(&MainWindow::transferToAndroid, MessageScope::Selected); }
void MainWindow::miA2AChat() { runOnMessages(&MainWindow::transferToAndroid, MessageScope::Shown); }
void MainWindow::miA2AAll() { runOnMessages(&MainWindow::transferToAndroid, MessageScope::Node); }
void MainWindow::miDb2A() { runOnMessages(&MainWindow::transferToAndroid, MessageScope::Chosen); }
void MainWindow::miDb2ASel() { runOnMessages(&MainWindow::transferToAndroid, MessageScope::Selected); }
void MainWindow::miDb2AChat() { runOnMessages(&MainWindow::transferToAndroid, MessageScope::Shown); }
void MainWindow::miDb2AAll() { runOnMessages(&MainWindow::transferToAndroid, MessageScope::Node); }

void MainWindow::transferToIOS(QList<_MsgMessage *> *messages) { IPhoneTransfer(operations).run(messages); }
void MainWindow::transferToAndroid(QList<_MsgMessage *> *messages) { AndroidTransfer(operations).run(messages); }

void MainWindow::backupMessages(QList<_MsgMessage *> *messages) { LocalDatabaseOperations(operations).backup(messages); }
void MainWindow::exportToITunesBackup(QList<_MsgMessage *> *messages) { ITunesBackupExport(operations).run(messages); }
void MainWindow::exportToFile(QList<_MsgMessage *> *messages) { ExportOperations(operations).exportToFile(messages); }
void MainWindow::printMessages(QList<_MsgMessage *> *messages) { ExportOperations(operations).print(messages); }

// ---- deleting, import and about ------------------------------------------------------

void MainWindow::miDel()
{
    if (messageList->hasSelectedRows()) {
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

void MainWindow::miDelSel() { MessageDeletion(operations).deleteSelected(); }
void MainWindow::miDelChat() { MessageDeletion(operations).deleteConversation(); }
void MainWindow::miImportItunes() { ITunesImport(operations).run(QString()); }

void MainWindow::miImportToLocalDb()
{
    Node *node = currentNode();
    if (node && node->type == ITEM_LOCAL_DB)
        ITunesImport(operations).run(node->text);
}

void MainWindow::miAbout()
{
    AboutUsForm form(this);
    form.exec();
}
