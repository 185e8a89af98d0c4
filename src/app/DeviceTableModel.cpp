#include "app/DeviceTableModel.h"

#include "app/Transformers.h"
#include "device/iMobileDevice.h"
#include "job/DeviceRoster.h"
#include "job/PortJob.h"

#include <QBrush>
#include <QHash>
#include <QPalette>
#include <algorithm>

namespace kestrap::app {

namespace {

bool sameUdid(const NotReadyDevice& a, const NotReadyDevice& b)
{
    return a.udid == b.udid;
}

bool contains(const std::vector<NotReadyDevice>& list, const NotReadyDevice& device)
{
    return std::any_of(list.begin(), list.end(), [&](const NotReadyDevice& d) { return sameUdid(d, device); });
}

DeviceTableModel::Standing standingOf(std::optional<int> status)
{
    using S = DeviceTableModel::Standing;
    switch (status.value_or(DeviceStatusIdle)) {
    case DeviceStatusExcluded:
        return S::Excluded;
    case DeviceStatusTransferring:
        return S::Transferring;
    case DeviceStatusFinished:
        return S::Finished;
    case DeviceStatusFailed:
        return S::Failed;
    default:
        return S::Idle;
    }
}

}  // namespace

DeviceTableModel::DeviceTableModel(DeviceRoster& roster, QObject* parent)
    : QAbstractTableModel(parent), m_roster(roster), m_notReady(roster.notReady())
{
    connect(&roster, &DeviceRoster::rowAboutToBeAdded, this, [this](int i) { beginInsertRows({}, i, i); });
    connect(&roster, &DeviceRoster::rowAdded, this, [this](int) { endInsertRows(); });
    connect(&roster, &DeviceRoster::rowAboutToBeRemoved, this, [this](int i) { beginRemoveRows({}, i, i); });
    connect(&roster, &DeviceRoster::rowRemoved, this, [this](int) { endRemoveRows(); });
    connect(&roster, &DeviceRoster::rowChanged, this, &DeviceTableModel::rowChanged);
    connect(&roster, &DeviceRoster::notReadyChanged, this, &DeviceTableModel::notReadyChanged);
    setRunner(roster.runner());
}

void DeviceTableModel::setRunner(PortJob* runner)
{
    for (const auto& c : m_runnerConnections)
        disconnect(c);
    m_runnerConnections.clear();
    m_recordOf.clear();
    m_runner = runner;
    if (!runner)
        return;
    for (int i = 0; i < runner->transferProgressCount(); ++i)
        m_recordOf.insert(runner->transferProgressAt(i).deviceid, i);
    m_runnerConnections.push_back(
        connect(runner, &PortJob::transferProgressAdded, this, &DeviceTableModel::progressChanged));
    m_runnerConnections.push_back(
        connect(runner, &PortJob::transferProgressChanged, this, &DeviceTableModel::progressChanged));
}

void DeviceTableModel::progressChanged(int record)
{
    const QString uid = m_runner->transferProgressAt(record).deviceid;
    m_recordOf.insert(uid, record);
    const auto& rows = m_roster.rows();
    for (std::size_t i = 0; i < rows.size(); ++i)
        if (rows[i]->uid == uid)
            emit dataChanged(index(int(i), Status), index(int(i), Status));
}

QIcon DeviceTableModel::deviceIcon(const QString& kind)
{
    static QHash<QString, QIcon> cache;
    auto it = cache.find(kind);
    if (it == cache.end())
        it = cache.insert(kind, QIcon(QStringLiteral(":/images/%1.png").arg(kind)));
    return *it;
}

QString DeviceTableModel::readinessText(DeviceReadiness state)
{
    switch (state) {
    case DeviceReadiness::AwaitingTrust:
        return QStringLiteral("Waiting for Trust: unlock it and tap Trust");
    case DeviceReadiness::PasscodeLocked:
        return QStringLiteral("Locked: enter the passcode on the device");
    case DeviceReadiness::TrustDenied:
        return QStringLiteral("Trust denied: unplug it, plug it in again and tap Trust");
    case DeviceReadiness::NotAnswering:
        break;
    }
    return QStringLiteral("Not answering");
}

int DeviceTableModel::rosterCount() const
{
    return int(m_roster.rows().size());
}

int DeviceTableModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : rosterCount() + int(m_notReady.size());
}

int DeviceTableModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

int DeviceTableModel::rosterRow(int row) const
{
    return row >= 0 && row < rosterCount() ? row : -1;
}

Qt::ItemFlags DeviceTableModel::flags(const QModelIndex& index) const
{
    return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
}

QVariant DeviceTableModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    if (role == Qt::TextAlignmentRole) {
        const int c = index.column();
        return c == Capacity || c == Battery || c == FreeSpace ? QVariant(int(Qt::AlignRight | Qt::AlignVCenter))
                                                               : QVariant();
    }
    if (index.row() < rosterCount())
        return rosterData(index.row(), index.column(), role);
    return notReadyData(m_notReady[std::size_t(index.row() - rosterCount())], index.column(), role);
}

QVariant DeviceTableModel::rosterData(int r, int column, int role) const
{
    const DeviceRow& row = *m_roster.rows()[std::size_t(r)];
    if (role == Qt::DecorationRole)
        return column == Name ? QVariant(deviceIcon(row.icon)) : QVariant();
    const Standing standing = standingOf(row.status);
    if (role == StandingRole)
        return int(standing);
    const auto record = m_runner ? m_recordOf.find(row.uid) : m_recordOf.end();
    const bool hasRecord = record != m_recordOf.end() && *record < m_runner->transferProgressCount();
    if (role == ProgressRole)
        return hasRecord ? m_runner->transferProgressAt(*record).overall_progress : 0;
    if (role == CauseRole)
        return hasRecord && standing == Standing::Failed ? m_runner->transferProgressAt(*record).error : QString();
    iMobileDevice* device = row.device.get();
    if (role == SortRole) {
        switch (column) {
        case Capacity:
            return device ? qulonglong(device->capacity()) : 0ull;
        case FreeSpace:
            return device ? qulonglong(device->freeCapacity()) : 0ull;
        case Battery:
            return device ? device->batteryLevel().value_or(-1) : -1;
        default:
            return rosterData(r, column, Qt::DisplayRole);
        }
    }
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole)
        return {};
    switch (column) {
    case Name:
        return row.name;
    case Uid:
        return row.uid;
    case Status:
        return DeviceStatusTransformer(row.status);
    case Capacity:
        return CapacityTransformer(device ? std::optional(device->capacity()) : std::nullopt);
    case Model:
        return device ? MarketingName(device->productType()) : QString();
    case OsVersion:
        return device ? device->osVersion() : QString();
    case SerialNumber:
        return device ? device->serialNumber() : QString();
    case HubPlace:
        return device ? device->hubPlace() : QString();
    case Battery: {
        const auto level = device ? device->batteryLevel() : std::nullopt;
        return level ? QStringLiteral("%1 %").arg(*level) : QString();
    }
    case FreeSpace:
        return device ? CapacityTransformer(device->freeCapacity()) : QString();
    default:
        return {};
    }
}

QVariant DeviceTableModel::notReadyData(const NotReadyDevice& device, int column, int role) const
{
    if (role == Qt::DecorationRole)
        return column == Name ? QVariant(deviceIcon(QStringLiteral("iPhone"))) : QVariant();
    if (role == StandingRole)
        return int(Standing::WaitingForUser);
    if (role == CauseRole)
        return readinessText(device.state);
    if (role == ProgressRole)
        return 0;
    if (role == Qt::ForegroundRole)
        return column == Status ? QVariant(QBrush(QColor(0xb3, 0x5c, 0x00))) : QVariant();
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole && role != SortRole)
        return {};
    switch (column) {
    case Name:
        return device.name.isEmpty() ? QStringLiteral("n/a") : device.name;
    case Uid:
        return device.udid;
    case Status:
        return readinessText(device.state);
    case Capacity:
    case FreeSpace:
        return role == SortRole ? QVariant(0ull) : QVariant(QString());
    case Battery:
        return role == SortRole ? QVariant(-1) : QVariant(QString());
    default:
        return QString();
    }
}

QVariant DeviceTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    static const char* const titles[] = {"Name", "Identifier", "Status", "Capacity", "Model", "iOS", "Serial Number",
        "Hub Place", "Battery", "Free Space"};
    return section >= 0 && section < ColumnCount ? QString::fromLatin1(titles[section]) : QVariant();
}

void DeviceTableModel::rowChanged(int row)
{
    // The status and what the device tells of itself; its name and uid stay.
    emit dataChanged(index(row, Status), index(row, ColumnCount - 1));
}

void DeviceTableModel::notReadyChanged()
{
    const std::vector<NotReadyDevice> now = m_roster.notReady();
    const int base = rosterCount();
    for (int i = int(m_notReady.size()) - 1; i >= 0; --i) {
        if (contains(now, m_notReady[std::size_t(i)]))
            continue;
        beginRemoveRows({}, base + i, base + i);
        m_notReady.erase(m_notReady.begin() + i);
        endRemoveRows();
    }
    for (std::size_t i = 0; i < m_notReady.size(); ++i) {
        const auto it
            = std::find_if(now.begin(), now.end(), [&](const NotReadyDevice& d) { return sameUdid(d, m_notReady[i]); });
        if (*it == m_notReady[i])
            continue;
        m_notReady[i] = *it;
        emit dataChanged(index(base + int(i), Name), index(base + int(i), ColumnCount - 1));
    }
    for (const NotReadyDevice& device : now) {
        if (contains(m_notReady, device))
            continue;
        const int row = base + int(m_notReady.size());
        beginInsertRows({}, row, row);
        m_notReady.push_back(device);
        endInsertRows();
    }
}

}  // namespace kestrap::app
