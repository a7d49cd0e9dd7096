#include "ui/itemmodelsms.h"

#include "export/msglocaltime.h"
#include "store/msgtext.h"

#include <QBrush>
#include <QColor>
#include <QImage>
#include <QPixmap>
#include <QSize>

namespace {

QPixmap serviceIcon(const _MsgMessage &m)
{
    // Every row on screen asks at each paint: decoded and scaled once. Kept
    // as images, which may outlive the application object; pixmaps may not.
    static const QImage icons[4] = {
        QImage(QStringLiteral(":/res/icon_sms-receive.png")).scaledToWidth(18, Qt::FastTransformation),
        QImage(QStringLiteral(":/res/icon_sms-sent.png")).scaledToWidth(18, Qt::FastTransformation),
        QImage(QStringLiteral(":/res/imsg-rec.png")).scaledToWidth(18, Qt::FastTransformation),
        QImage(QStringLiteral(":/res/imsg-send.png")).scaledToWidth(18, Qt::FastTransformation),
    };
    const bool iMessage = m.service.str().compare(QLatin1String("iMessage"), Qt::CaseInsensitive) == 0;
    return QPixmap::fromImage(icons[(iMessage ? 2 : 0) + (m.is_from_me ? 1 : 0)]);
}

} // namespace

ItemModelSms::ItemModelSms(QObject *parent) : QAbstractItemModel(parent) {}

QModelIndex ItemModelSms::index(int row, int column, const QModelIndex &parent) const
{
    if (!hasIndex(row, column, parent))
        return QModelIndex();
    if (column == 0)
        return createIndex(row, 0, messages.at(row));
    return createIndex(row, column, nullptr);
}

QModelIndex ItemModelSms::parent(const QModelIndex &) const
{
    return QModelIndex();
}

int ItemModelSms::rowCount(const QModelIndex &parent) const
{
    // Cells outside column 0 carry no pointer; asking the pointer alone would
    // give them every message as children.
    return parent.isValid() ? 0 : int(messages.size());
}

int ItemModelSms::columnCount(const QModelIndex &) const
{
    return 4;
}

QVariant ItemModelSms::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QVariant();
    switch (section) {
    case 0:
        return QStringLiteral("Date");
    case 1:
        return QStringLiteral("Flag");
    case 2:
        return QStringLiteral("Contact");
    case 3:
        return QStringLiteral("Content");
    default:
        return QVariant();
    }
}

QVariant ItemModelSms::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= messages.size())
        return QVariant();
    const _MsgMessage &m = *messages.at(index.row());
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        switch (index.column()) {
        case 0:
            return MsgLocalTime::shortText(m.date);
        case 1:
            if (m.item_type != 0)
                return QString();
            return m.is_from_me ? QStringLiteral("To") : QStringLiteral("From");
        case 2:
            if (m.item_type != 0)
                return m.chat ? chatTitle(*m.chat, false) : QString();
            return senderLabel(m);
        case 3:
            return displayText(m);
        default:
            return QVariant();
        }
    case Qt::DecorationRole:
        return index.column() == 0 ? QVariant(serviceIcon(m)) : QVariant();
    case Qt::BackgroundRole:
        return m.is_from_me ? QBrush(QColor(245, 255, 226), Qt::SolidPattern)
                            : QBrush(QColor(255, 255, 255), Qt::SolidPattern);
    case Qt::ForegroundRole:
        return m.isRecovered ? QVariant(QColor(255, 0, 0, 255)) : QVariant();
    case Qt::SizeHintRole:
        return QSize(0, 23);
    default:
        return QVariant();
    }
}

QModelIndex ItemModelSms::indexOfRow(int row) const
{
    if (row < 0 || row >= messages.size())
        return QModelIndex();
    return index(row, 0);
}

void ItemModelSms::setMessages(const QList<_MsgMessage *> &list)
{
    beginResetModel();
    messages = list;
    endResetModel();
}

void ItemModelSms::clear()
{
    beginResetModel();
    messages.clear();
    endResetModel();
}
