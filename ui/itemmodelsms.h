#pragma once
// The message list: one row per message in four columns (date, direction,
// correspondent, text), in the order the main window hands over; it does not
// sort. The records belong to a tree node's store: the list must be replaced
// before that store goes.
#include "store/msgrecords.h"

#include <QAbstractItemModel>
#include <QList>

class ItemModelSms : public QAbstractItemModel
{
    Q_OBJECT

public:
    explicit ItemModelSms(QObject *parent = nullptr);

    QModelIndex index(int row, int column, const QModelIndex &parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex &child) const override;
    // A flat list: any valid parent has no rows, whatever its column.
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    // Texts are made only when asked for, so only rows on screen are formatted.
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // The index of row in column 0; invalid outside the list.
    QModelIndex indexOfRow(int row) const;
    void setMessages(const QList<_MsgMessage *> &list); // one model reset
    void clear();

    QList<_MsgMessage *> messages;
};
