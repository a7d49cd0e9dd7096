#include "ui/itemmodelmain.h"

#include "store/messagerecycledb.h"
#include "store/msgtext.h"

#include <QColor>
#include <QSize>

#include <algorithm>

namespace {

// A resource icon scaled to the tree's width. Loaded once: the tree asks for
// the icon of every visible row on each paint.
QImage resourceIcon(const QString &path)
{
    static QHash<QString, QImage> loaded;
    auto it = loaded.constFind(path);
    if (it == loaded.constEnd())
        it = loaded.insert(path, QImage(path).scaledToWidth(18, Qt::FastTransformation));
    return *it;
}

const char *const kTypeIcons[] = {nullptr, ":res/devices.png", ":res/databases.png", ":res/iphone.png",
                                  ":res/android.png", ":res/database.png"};

} // namespace

_RootDeviceItemNode::_RootDeviceItemNode()
    : _ItemNode(ITEM_ROOT_DEVICE, ItemModelMain::tr("IDS_ROOT_DEVICE"), nullptr)
{
}

_RootLocalDBItemNode::_RootLocalDBItemNode()
    : _ItemNode(ITEM_ROOT_LOCALDB, ItemModelMain::tr("IDS_ROOT_LOCALDB"), nullptr)
{
}

_AbsDBItemNode::_AbsDBItemNode(int type, const QString &text, _ItemNode *parent,
                               const QSharedPointer<AbsMessageDb> &db)
    : _ItemNode(type, text, parent), db(db)
{
    newMsgStore(store);
}

_AbsDBItemNode::~_AbsDBItemNode()
{
    // The conversation children (deleted by the base afterwards) keep
    // pointers into the store but never touch them on the way out.
    store.reset();
    db.reset();
}

_IOSDeviceItemNode::_IOSDeviceItemNode(_ItemNode *parent, const QSharedPointer<AbsMessageDb> &db,
                                       const IOSDevice &device)
    : _AbsDBItemNode(ITEM_IOS_DEVICE, device.deviceName, parent, db), device(device)
{
}

_AndroidDeviceItemNode::_AndroidDeviceItemNode(_ItemNode *parent, const QSharedPointer<AbsMessageDb> &db,
                                               const AndroidDevice &device)
    : _AbsDBItemNode(ITEM_ANDROID_DEVICE, device.displayName(), parent, db), device(device)
{
}

_LocalDBItemNode::_LocalDBItemNode(_ItemNode *parent, const QSharedPointer<AbsMessageDb> &db,
                                   const QString &name)
    : _AbsDBItemNode(ITEM_LOCAL_DB, name, parent, db)
{
}

_ChatSessionItemNode::_ChatSessionItemNode(_ItemNode *parent, const _ChatSession &session)
    : _ItemNode(ITEM_CHAT_SESSION, session.chats.isEmpty() ? QString() : chatTitle(*session.chats.first(), false),
                parent),
      session(session)
{
}

ItemModelMain::ItemModelMain(QObject *parent) : AbsTreeItemModel(parent)
{
    rootDevice = new _RootDeviceItemNode;
    roots.append(rootDevice);
    rootLocalDB = new _RootLocalDBItemNode;
    roots.append(rootLocalDB);
}

template <typename Node>
Node *ItemModelMain::append(_ItemNode *parent, Node *node)
{
    // Announced as a layout change; the "about to" half lets views and
    // proxies save their persistent indexes first, as Qt requires.
    emit layoutAboutToBeChanged();
    parent->children.append(node);
    emit layoutChanged();
    return node;
}

_IOSDeviceItemNode *ItemModelMain::addIOSDevice(const QSharedPointer<AbsMessageDb> &db, const IOSDevice &device)
{
    return append(rootDevice, new _IOSDeviceItemNode(rootDevice, db, device));
}

_AndroidDeviceItemNode *ItemModelMain::addAndroidDevice(const QSharedPointer<AbsMessageDb> &db,
                                                        const AndroidDevice &device)
{
    return append(rootDevice, new _AndroidDeviceItemNode(rootDevice, db, device));
}

_LocalDBItemNode *ItemModelMain::addLocalDatabase(const QSharedPointer<AbsMessageDb> &db, const QString &name)
{
    return append(rootLocalDB, new _LocalDBItemNode(rootLocalDB, db, name));
}

void ItemModelMain::loadChatSessions(_AbsDBItemNode *node)
{
    removeChildren(node);
    QList<_ChatSession> sessions = chatSessions(node->store);
    std::stable_sort(sessions.begin(), sessions.end(), sessionNewerThan);
    emit layoutAboutToBeChanged();
    node->children.reserve(sessions.size());
    for (const _ChatSession &session : std::as_const(sessions))
        node->children.append(new _ChatSessionItemNode(node, session));
    emit layoutChanged();
}

int ItemModelMain::columnCount(const QModelIndex &) const
{
    return 1;
}

QVariant ItemModelMain::headerData(int, Qt::Orientation, int) const
{
    return QVariant();
}

bool ItemModelMain::isRecoveredSession(const _ChatSession &session)
{
    return !session.chats.isEmpty() && session.chats.first()->rowid <= RECYCLED_CHAT_ID_BASE;
}

QImage ItemModelMain::conversationIcon(const _ChatSession &session)
{
    if (session.chats.isEmpty())
        return QImage();
    const _MsgChat *chat = session.chats.first();
    if (chat->members.size() > 1)
        return resourceIcon(QStringLiteral(":res/group.png"));
    QImage photo;
    if (chat->members.size() == 1) {
        const _MsgHandle *member = *chat->members.cbegin();
        if (member && !member->_photo.isEmpty() && !photo.loadFromData(member->_photo, "JPEG"))
            photo.loadFromData(member->_photo, "PNG");
    }
    if (photo.isNull())
        return resourceIcon(QStringLiteral(":res/contact.png"));
    return photo.scaledToHeight(18, Qt::FastTransformation);
}

QVariant ItemModelMain::data(const QModelIndex &index, int role) const
{
    if (index.row() < 0 || index.column() < 0 || !index.model())
        return QVariant();
    const auto *node = static_cast<const _ItemNode *>(index.internalPointer());
    if (!node)
        return QVariant();
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        return node->text;
    case Qt::DecorationRole:
        if (node->type == ITEM_CHAT_SESSION) {
            const QImage icon = conversationIcon(static_cast<const _ChatSessionItemNode *>(node)->session);
            return icon.isNull() ? QVariant() : QVariant(icon);
        }
        if (node->type >= ITEM_ROOT_DEVICE && node->type <= ITEM_LOCAL_DB)
            return resourceIcon(QString::fromLatin1(kTypeIcons[node->type]));
        return QVariant();
    case Qt::ForegroundRole:
        if (node->type == ITEM_CHAT_SESSION
            && isRecoveredSession(static_cast<const _ChatSessionItemNode *>(node)->session))
            return QColor(255, 0, 0, 255);
        return QVariant();
    case Qt::SizeHintRole:
        return QSize(0, 25);
    default:
        return QVariant();
    }
}

bool ItemModelMain::isSourceNode(const _ItemNode *node)
{
    return node && (node->type == ITEM_IOS_DEVICE || node->type == ITEM_ANDROID_DEVICE || node->type == ITEM_LOCAL_DB);
}

_AbsDBItemNode *ItemModelMain::sourceNode(_ItemNode *node)
{
    return isSourceNode(node) ? static_cast<_AbsDBItemNode *>(node) : nullptr;
}

AbsTreeItemModel::_ItemNode *ItemModelMain::phoneOf(_ItemNode *node, int type)
{
    if (node && node->type == ITEM_CHAT_SESSION)
        node = node->parent;
    return node && node->type == type ? node : nullptr;
}

bool ItemModelMain::isTransferTarget(const IOSDevice &device)
{
    // A phone of the "virtual_ios" folder has no handle and its folder for an
    // id: joined to the backup root that id stays the user's folder, which a
    // failed backup would delete.
    return !(device.amDevice == nullptr && device.uniqueDeviceId.contains(QLatin1Char('/')));
}

QList<AbsTreeItemModel::_ItemNode *> ItemModelMain::iosTargetsOf(_ItemNode *source) const
{
    // The chooser's own rule: not the source phone (by id, so neither of its
    // nodes) and no phone of the "virtual_ios" folder.
    _ItemNode *sourcePhone = phoneOf(source, ITEM_IOS_DEVICE);
    const QString sourceId =
        sourcePhone ? static_cast<_IOSDeviceItemNode *>(sourcePhone)->device.uniqueDeviceId : QString();
    QList<_ItemNode *> targets;
    for (_ItemNode *child : std::as_const(rootDevice->children)) {
        if (child->type != ITEM_IOS_DEVICE)
            continue;
        const IOSDevice &device = static_cast<_IOSDeviceItemNode *>(child)->device;
        if ((sourcePhone && device.uniqueDeviceId == sourceId) || !isTransferTarget(device))
            continue;
        targets.append(child);
    }
    return targets;
}

QList<AbsTreeItemModel::_ItemNode *> ItemModelMain::androidTargetsOf(_ItemNode *source) const
{
    _ItemNode *sourcePhone = phoneOf(source, ITEM_ANDROID_DEVICE);
    const QString sourceUid =
        sourcePhone ? static_cast<_AndroidDeviceItemNode *>(sourcePhone)->device.uid : QString();
    QList<_ItemNode *> targets;
    for (_ItemNode *child : std::as_const(rootDevice->children)) {
        if (child->type != ITEM_ANDROID_DEVICE)
            continue;
        if (sourcePhone && static_cast<_AndroidDeviceItemNode *>(child)->device.uid == sourceUid)
            continue;
        targets.append(child);
    }
    return targets;
}

_IOSDeviceItemNode *ItemModelMain::findIOSNode(const QString &id, void *handle, void *preferred) const
{
    _IOSDeviceItemNode *found = nullptr;
    for (_ItemNode *child : std::as_const(rootDevice->children)) {
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

_AndroidDeviceItemNode *ItemModelMain::androidNodeWithStore(const QSharedPointer<_MsgStore> &store) const
{
    if (!store)
        return nullptr;
    for (_ItemNode *child : std::as_const(rootDevice->children)) {
        if (child->type == ITEM_ANDROID_DEVICE && static_cast<_AndroidDeviceItemNode *>(child)->store == store)
            return static_cast<_AndroidDeviceItemNode *>(child);
    }
    return nullptr;
}

_LocalDBItemNode *ItemModelMain::localDbNamed(const QString &name) const
{
    for (_ItemNode *child : std::as_const(rootLocalDB->children)) {
        if (child->type == ITEM_LOCAL_DB && child->text.compare(name, Qt::CaseInsensitive) == 0)
            return static_cast<_LocalDBItemNode *>(child);
    }
    return nullptr;
}
