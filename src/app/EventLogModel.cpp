#include "app/EventLogModel.h"

#include <QBrush>
#include <QColor>

#include "logging/Log.h"

namespace kestrap::app {

EventLogModel::EventLogModel(int maxRows, QObject* parent) : QAbstractTableModel(parent), m_maxRows(maxRows) { }

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
    // Info keeps the palette's text colour, readable on light and dark themes alike.
    if (role == Qt::ForegroundRole && index.column() == Level && !(e.level() & LogFlagInfo))
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
    if (m_maxRows > 0 && entries.size() > std::size_t(m_maxRows))
        entries.erase(entries.begin(), entries.end() - m_maxRows);
    // The oldest go first, so the model never holds more than its bound.
    const int over = rowCount() + int(entries.size()) - m_maxRows;
    if (m_maxRows > 0 && over > 0) {
        beginRemoveRows({}, 0, over - 1);
        m_entries.erase(m_entries.begin(), m_entries.begin() + over);
        endRemoveRows();
    }
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
