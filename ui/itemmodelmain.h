#pragma once
// The main window's tree: "Devices" with the attached iPhones and Android
// phones, "Local Databases" with the databases of the data folder, and under
// each source its conversations, newest first. A source node owns its message
// database object and the store loaded from it; a conversation node points
// into its parent's store.
#include "android/androiddevice.h"
#include "ios/iosdevice.h"
#include "store/absmessagedb.h"
#include "store/msgrecords.h"
#include "ui/abstreeitemmodel.h"

#include <QImage>
#include <QSharedPointer>

// The values of _ItemNode::type in this model.
enum ItemNodeType {
    ITEM_ROOT_DEVICE = 1,
    ITEM_ROOT_LOCALDB = 2,
    ITEM_IOS_DEVICE = 3,
    ITEM_ANDROID_DEVICE = 4,
    ITEM_LOCAL_DB = 5,
    ITEM_CHAT_SESSION = 6,
};

class _RootDeviceItemNode : public AbsTreeItemModel::_ItemNode
{
public:
    _RootDeviceItemNode();
};

class _RootLocalDBItemNode : public AbsTreeItemModel::_ItemNode
{
public:
    _RootLocalDBItemNode();
};

// A source of messages. The store goes before the database: the store's
// records are what views point at, the database only fills it.
class _AbsDBItemNode : public AbsTreeItemModel::_ItemNode
{
public:
    _AbsDBItemNode(int type, const QString &text, _ItemNode *parent, const QSharedPointer<AbsMessageDb> &db);
    ~_AbsDBItemNode() override;

    QSharedPointer<AbsMessageDb> db;
    QSharedPointer<_MsgStore> store; // made empty here; the main window fills it
};

class _IOSDeviceItemNode : public _AbsDBItemNode
{
public:
    _IOSDeviceItemNode(_ItemNode *parent, const QSharedPointer<AbsMessageDb> &db, const IOSDevice &device);
    IOSDevice device;
};

class _AndroidDeviceItemNode : public _AbsDBItemNode
{
public:
    _AndroidDeviceItemNode(_ItemNode *parent, const QSharedPointer<AbsMessageDb> &db, const AndroidDevice &device);
    AndroidDevice device;
};

class _LocalDBItemNode : public _AbsDBItemNode
{
public:
    _LocalDBItemNode(_ItemNode *parent, const QSharedPointer<AbsMessageDb> &db, const QString &name);
};

// One conversation: the chats of the parent's store that share an identifier.
class _ChatSessionItemNode : public AbsTreeItemModel::_ItemNode
{
public:
    _ChatSessionItemNode(_ItemNode *parent, const _ChatSession &session);
    _ChatSession session;
};

class ItemModelMain : public AbsTreeItemModel
{
    Q_OBJECT

public:
    explicit ItemModelMain(QObject *parent = nullptr);

    _IOSDeviceItemNode *addIOSDevice(const QSharedPointer<AbsMessageDb> &db, const IOSDevice &device);
    _AndroidDeviceItemNode *addAndroidDevice(const QSharedPointer<AbsMessageDb> &db, const AndroidDevice &device);
    _LocalDBItemNode *addLocalDatabase(const QSharedPointer<AbsMessageDb> &db, const QString &name);
    // Replaces the node's conversation rows with the sessions of its store,
    // newest first.
    void loadChatSessions(_AbsDBItemNode *node);

    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // The row icon of a conversation: its member's photo, the group icon, or
    // the contact icon; null for a session without chats.
    static QImage conversationIcon(const _ChatSession &session);
    // True when the session's first chat was made up by the recovery.
    static bool isRecoveredSession(const _ChatSession &session);

    // What the window and its operations ask of the tree.
    // An iPhone, Android phone or local database node (not a conversation).
    static bool isSourceNode(const _ItemNode *node);
    // node as a source node, or nullptr.
    static _AbsDBItemNode *sourceNode(_ItemNode *node);
    // The phone node of that type behind node (itself or a conversation's
    // parent), or nullptr.
    static _ItemNode *phoneOf(_ItemNode *node, int type);
    // Whether a phone node may receive messages.
    static bool isTransferTarget(const IOSDevice &device);
    // The phones the transfer choosers offer when source is current: every
    // phone of the kind but the source phone itself (and, for iPhones, those
    // of the "virtual_ios" folder).
    QList<_ItemNode *> iosTargetsOf(_ItemNode *source) const;
    QList<_ItemNode *> androidTargetsOf(_ItemNode *source) const;
    // The iPhone node of this id and handle, preferably the one at preferred;
    // nullptr when none is left.
    _IOSDeviceItemNode *findIOSNode(const QString &id, void *handle, void *preferred) const;
    // The Android node under "Devices" whose store is store, or nullptr.
    _AndroidDeviceItemNode *androidNodeWithStore(const QSharedPointer<_MsgStore> &store) const;
    // The first local database whose name equals name in any letter case.
    _LocalDBItemNode *localDbNamed(const QString &name) const;

    _RootDeviceItemNode *rootDevice;
    _RootLocalDBItemNode *rootLocalDB;

private:
    // Appends a new node to parent's children, announced as a layout change.
    template <typename Node>
    Node *append(_ItemNode *parent, Node *node);
};
