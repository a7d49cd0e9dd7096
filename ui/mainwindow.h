#pragma once
// The program's one window: the tree of devices, local databases and their
// conversations on the left, the message list above the conversation view on
// the right, the menus and tool bar, the advert link in the status bar and the
// Android device monitor. Every user operation and every device arrival or
// removal is one of its slots, which hands the work to its operation class
// (ui/operations/, see ui/README.md); all of it runs in the GUI thread.
//
// The message list and the conversation view hold pointers into the store of
// the node they were filled from (kept by MessageListPane), so a node is only ever
// removed through removeTreeNode, which empties them first.
#include "android/adbdevice.h"
#include "android/androiddevice.h"
#include "ios/iosdevice.h"
#include "ui/abstreeitemmodel.h"
#include "ui/devicebusy.h"
#include "ui/operations/operationcontext.h"

#include <QItemSelection>
#include <QList>
#include <QMainWindow>
#include <QSet>
#include <QSharedPointer>
#include <functional>
#include <memory>

class AndroidMonitor;
class DeviceArrivals;
class MessageListPane;
class UpdateChecks;
class ItemModelMain;
class ItemModelSms;
class QAction;
class QLabel;
class ProgressForm;
class QNetworkReply;
class QThread;
class Ui_MainWindow;
struct _MsgChat;
struct _MsgMessage;
struct _MsgStore;

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    using Node = AbsTreeItemModel::_ItemNode;

    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // The iPhones whose arrival was reported, in the order they arrived.
    QList<IOSDevice> iosDevices() const;
    // Whether an operation holds this key: an iPhone's id while it arrives or
    // is written to, "serial:" + an adb serial while that phone connects,
    // "cache:" + an Android cache folder's name while it is loaded or sent to.
    bool isDeviceBusy(const QString &key) const { return deviceBusy->isBusy(key); }

    // Selection and the message list.
    void selectTreeNode(Node *node);
    void clearMessageList();
    // Every message of the current tree node, read again from its database
    // and sorted as the list is; empty (after an error box) when that fails.
    QList<_MsgMessage *> currentNodeMessages();
    // Sorts by the list header's order, then shows the messages; the list
    // keeps showing the store it showed (a re-sort of the same records).
    void showMessages(QList<_MsgMessage *> &messages);
    // showMessages for records of store, which the list then keeps alive and
    // which removeTreeNode recognises as shown.
    void showStoreMessages(const QSharedPointer<_MsgStore> &store, QList<_MsgMessage *> &messages);
    QList<_MsgMessage *> selectedMessages();
    // Removes a node and its subtree. The list is emptied first when it shows
    // the node's store, and the tree's current row moves off the node before
    // the rows go, to the neighbour Qt's view would pick.
    void removeTreeNode(Node *node);

    // The operations on a set of messages. Each gets the list it works on; the
    // records stay owned by their node's store, which the caller holds.
    void transferToIOS(QList<_MsgMessage *> *messages);
    void transferToAndroid(QList<_MsgMessage *> *messages);
    void backupMessages(QList<_MsgMessage *> *messages);
    void exportToITunesBackup(QList<_MsgMessage *> *messages);
    void exportToFile(QList<_MsgMessage *> *messages);
    void printMessages(QList<_MsgMessage *> *messages);

    // Menus and the ten operation actions.
    void createMenus();
    void updateActionStates();

    // For the start-up and tests.
    Ui_MainWindow *widgets() const { return ui; }
    ItemModelMain *treeModel() const { return mainModel; }
    ItemModelSms *messageModel() const { return smsModel; }
    QLabel *advertLink() const { return advertLabel; }
    AndroidMonitor *deviceMonitor() const { return androidMonitor; }
    // actBackup .. actDelete, in member order.
    QList<QAction *> operationActions() const;

    // Only tests call these, before a window is built; see WindowSeams.
    static void setUsbTipsDelay(int ms);
    static void setClock(std::function<qint64()> clock);
    static void setPrintHook(std::function<void(const QList<_MsgMessage *> &)> hook);

signals:
    // A phone's operation ended or a phone left.
    void deviceOperationsChanged();

public slots:
    // Update and advert checks: each runs once, with the whole reply.
    void onCheckVersionReadyRead(QNetworkReply *reply);
    void onGetAdvLinkRead(QNetworkReply *reply);
    // Device arrival and removal.
    void iosDeviceConnected(void *device);
    void iosDeviceDisconnected(void *device);
    void androidDeviceConnected(AdbDevice device);
    void androidDeviceDisconnected(QString id);
    void androidDeviceLoad(AndroidDevice device);
    void androidUsbTips();
    // Selection, context menus and search.
    void onMainTreeSelected(const QItemSelection &selected, const QItemSelection &deselected);
    void onMainTreeContextMenu();
    void onSMSItemSelected(const QItemSelection &selected, const QItemSelection &deselected);
    void onSMSSortIndicatorChanged(int logicalIndex, Qt::SortOrder order);
    void onSMSContextMenu();
    void searchMessages();
    void searchCotnact();
    // Operations. Sel: the selected rows; Chat: the conversation row; All: the
    // whole device or database; none: the File menu's choice among the three.
    void miBackup();
    void miBackupSel();
    void miBackupChat();
    void miBackupAll();
    void miExport();
    void miExportSel();
    void miExportChat();
    void miExportAll();
    void miPrint();
    void miPrintSel();
    void miPrintChat();
    void miPrintAll();
    void miDel();
    void miDelSel();
    void miDelChat();
    void miDelAll();
    void miI2A();
    void miI2ASel();
    void miI2AChat();
    void miI2AAll();
    void miI2I();
    void miI2ISel();
    void miI2IChat();
    void miI2IAll();
    void miDb2I();
    void miDb2ISel();
    void miDb2IChat();
    void miDb2IAll();
    void miExport2iTunes();
    void miExport2iTunesSel();
    void miExport2iTunesChat();
    void miExport2iTunesAll();
    void miImportItunes();
    void miImportToLocalDb();
    void miA2I();
    void miA2ISel();
    void miA2IChat();
    void miA2IAll();
    void miA2A();
    void miA2ASel();
    void miA2AChat();
    void miA2AAll();
    void miDb2A();
    void miDb2ASel();
    void miDb2AChat();
    void miDb2AAll();
    void miConnectWifi();
    void miViewCache();
    void miOpenDbFolder();
    void miCheckUpdate();
    void miHelp();
    void miFeedback();
    void miAbout();
    void miHome();
    void miClearCache();
    void miUnmoutDevice();

private:
    using MessageWorker = void (MainWindow::*)(QList<_MsgMessage *> *);
    // Which messages a menu slot hands its operation: the selected rows, the
    // shown list, the current device or database node, or the File menu's
    // choice among the three.
    enum class MessageScope { Selected, Shown, Node, Chosen };
    // Collects the scope's messages and runs worker on them while holding the
    // store and database that own the records: a node removed in a modal loop
    // of the operation frees neither before the operation ends.
    void runOnMessages(MessageWorker worker, MessageScope scope);

    void loadLocalDatabases();
    Node *currentNode() const;
    // How many phones the transfer choosers offer when source is current.
    int iosTargetCount(Node *source) const;
    int androidTargetCount(Node *source) const;
    QModelIndex indexOfNode(Node *node) const;

    Ui_MainWindow *ui;
    ItemModelMain *mainModel = nullptr;
    ItemModelSms *smsModel = nullptr;
    QLabel *advertLabel = nullptr;
    UpdateChecks *updateChecks = nullptr;
    QAction *actBackup = nullptr;
    QAction *actI2A = nullptr;
    QAction *actA2I = nullptr;
    QAction *actI2I = nullptr;
    QAction *actA2A = nullptr;
    QAction *actDb2I = nullptr;
    QAction *actDb2A = nullptr;
    QAction *actExport = nullptr;
    QAction *actPrint = nullptr;
    QAction *actDelete = nullptr;
    AndroidMonitor *androidMonitor = nullptr;

    // The list and the conversation view, and the store they show.
    MessageListPane *messageList = nullptr;
    DeviceBusy *deviceBusy = nullptr;
    // Handed to each operation; the arrivals keep the attached iPhones.
    OperationContext operations;
    std::unique_ptr<DeviceArrivals> arrivals;
};
