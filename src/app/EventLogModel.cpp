#include "app/EventLogModel.h"

#include <QBrush>
#include <QColor>

namespace kestrap::app {

EventLogModel::EventLogModel(QObject* parent) : QAbstractTableModel(parent) { }

int EventLogModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_entries.size());
}

int EventLogModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant EventLogModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    const DBLogEntry& e = m_entries[std::size_t(index.row())];
    if (role == Qt::DisplayRole || role == Qt::ToolTipRole) {
        switch (index.column()) {
        case Level:
            return e.levelString();
        case Date:
            return e.date();
        case Message:
            return e.message();
        default:
            return {};
        }
    }
    if (role == Qt::ForegroundRole && index.column() == Level)
        return QBrush(QColor(e.levelTextColor()));
    return {};
}

QVariant EventLogModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case Level:
        return QStringLiteral("Level");
    case Date:
        return QStringLiteral("Date");
    case Message:
        return QStringLiteral("Message");
    default:
        return {};
    }
}

void EventLogModel::append(std::vector<DBLogEntry> entries)
{
    if (entries.empty())
        return;
    const int first = rowCount();
    beginInsertRows({}, first, first + int(entries.size()) - 1);
    for (auto& e : entries)
        m_entries.push_back(std::move(e));
    endInsertRows();
}

void EventLogModel::clear()
{
    beginResetModel();
    m_entries.clear();
    endResetModel();
}

}  // namespace kestrap::app
