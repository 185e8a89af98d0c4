#include "app/DeviceTableModel.h"

#include "app/Transformers.h"
#include "device/iMobileDevice.h"
#include "job/DeviceRoster.h"
#include "job/PortJob.h"

#include <QHash>

namespace kestrap::app {

DeviceTableModel::DeviceTableModel(DeviceRoster& roster, QObject* parent)
    : QAbstractTableModel(parent), m_roster(roster)
{
    connect(&roster, &DeviceRoster::rowAboutToBeAdded, this, [this](int i) { beginInsertRows({}, i, i); });
    connect(&roster, &DeviceRoster::rowAdded, this, [this](int) { endInsertRows(); });
    connect(&roster, &DeviceRoster::rowAboutToBeRemoved, this, [this](int i) { beginRemoveRows({}, i, i); });
    connect(&roster, &DeviceRoster::rowRemoved, this, [this](int) { endRemoveRows(); });
    connect(&roster, &DeviceRoster::rowChanged, this, &DeviceTableModel::rowChanged);
}

QIcon DeviceTableModel::deviceIcon(const QString& kind)
{
    static QHash<QString, QIcon> cache;
    auto it = cache.find(kind);
    if (it == cache.end())
        it = cache.insert(kind, QIcon(QStringLiteral(":/images/%1.png").arg(kind)));
    return *it;
}

int DeviceTableModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_roster.rows().size());
}

int DeviceTableModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant DeviceTableModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    const DeviceRow& row = *m_roster.rows()[std::size_t(index.row())];
    if (role == Qt::DecorationRole && index.column() == Name)
        return deviceIcon(row.icon);
    if (role == Qt::TextAlignmentRole && index.column() == Capacity)
        return int(Qt::AlignRight | Qt::AlignVCenter);
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole)
        return {};
    switch (index.column()) {
    case Name:
        return row.name;
    case Uid:
        return row.uid;
    case Status:
        return DeviceStatusTransformer(row.status);
    case Capacity:
        return CapacityTransformer(row.device ? std::optional(row.device->capacity()) : std::nullopt);
    default:
        return {};
    }
}

QVariant DeviceTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    static const char* const titles[] = {"Name", "Identifier", "Status", "Capacity"};
    return section >= 0 && section < ColumnCount ? QString::fromLatin1(titles[section]) : QVariant();
}

void DeviceTableModel::rowChanged(int row)
{
    emit dataChanged(index(row, Status), index(row, Status));
}

}  // namespace kestrap::app
