#include "app/TransferTableModel.h"

#include "app/Transformers.h"
#include "job/PortJob.h"
#include "util/Helpers.h"

namespace kestrap::app {

TransferTableModel::TransferTableModel(QObject* parent) : QAbstractTableModel(parent) { }

void TransferTableModel::setJob(PortJob* job)
{
    beginResetModel();
    for (const auto& c : m_connections)
        disconnect(c);
    m_connections.clear();
    m_job = job;
    if (m_job) {
        m_connections.push_back(
            connect(job, &PortJob::transferProgressAboutToBeAdded, this, [this](int i) { beginInsertRows({}, i, i); }));
        m_connections.push_back(connect(job, &PortJob::transferProgressAdded, this, [this](int) { endInsertRows(); }));
        m_connections.push_back(connect(job, &PortJob::transferProgressChanged, this,
            [this](int i) { emit dataChanged(index(i, 0), index(i, ColumnCount - 1)); }));
        m_connections.push_back(connect(job, &QObject::destroyed, this, [this] { setJob(nullptr); }));
    }
    endResetModel();
}

int TransferTableModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() || !m_job ? 0 : m_job->transferProgressCount();
}

int TransferTableModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant TransferTableModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole && role != Qt::TextAlignmentRole)
        return {};
    if (role == Qt::TextAlignmentRole)
        return index.column() == Speed ? QVariant(int(Qt::AlignRight | Qt::AlignVCenter)) : QVariant();
    const ProgressRecord record = m_job->transferProgressAt(index.row());
    if (role == Qt::ToolTipRole && index.column() == DeviceFile) {
        QString tip = deviceText(record) + u'\n' + TransferCountsText(record);
        if (!record.error.isEmpty())
            tip += u'\n' + record.error;
        return tip;
    }
    switch (index.column()) {
    case DeviceFile:
        return deviceText(record);
    case FileProgress:
        return record.file_progress;
    case OverallProgress:
        return record.overall_progress;
    case Speed:
        return record.speed ? CapacityString(*record.speed) + QStringLiteral(" /s") : QString();
    default:
        return {};
    }
}

QString TransferTableModel::deviceName(const QString& uid) const
{
    QString name = m_nameOf ? m_nameOf(uid) : QString();
    if (!name.isEmpty())
        m_names[uid] = name;
    else if (auto it = m_names.find(uid); it != m_names.end())
        name = it->second;
    return name.isEmpty() ? uid : name;
}

QString TransferTableModel::deviceText(const ProgressRecord& record) const
{
    // While a device is served the row names the file in progress; once it ended, how.
    if (record.phase == CopyPhase::Sending || record.phase == CopyPhase::Waiting)
        return record.current_file.isEmpty()
            ? deviceName(record.deviceid)
            : deviceName(record.deviceid) + QStringLiteral(" << ") + record.current_file;
    return deviceName(record.deviceid) + QStringLiteral(" - ") + TransferStateText(record);
}

QVariant TransferTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    static const char* const titles[] = {"Device and file", "File", "Overall", "Speed"};
    return section >= 0 && section < ColumnCount ? QString::fromLatin1(titles[section]) : QVariant();
}

}  // namespace kestrap::app
