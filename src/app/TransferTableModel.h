#pragma once

#include <QAbstractTableModel>
#include <functional>
#include <map>

namespace kestrap {
class PortJob;
struct ProgressRecord;
}  // namespace kestrap

namespace kestrap::app {

// One row per device the job has served: device and file, the file's and the whole send
// list's progress (painted as bars by ProgressBarDelegate), and the speed. Each progress
// change of one device repaints that row only; the records are read from the job on demand.
// A serving that ended says how in its row ("iPhone 5 - Failed: app not installed"), with
// its counts and cause in the tooltip.
class TransferTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { DeviceFile, FileProgress, OverallProgress, Speed, ColumnCount };

    explicit TransferTableModel(QObject* parent = nullptr);

    void setJob(PortJob* job);
    // Where the rows get device names from; a device no longer listed keeps the name it had.
    using NameOf = std::function<QString(const QString& uid)>;
    void setDeviceNames(NameOf nameOf) { m_nameOf = std::move(nameOf); }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    QString deviceName(const QString& uid) const;
    QString deviceText(const ProgressRecord& record) const;

    PortJob* m_job = nullptr;
    NameOf m_nameOf;
    mutable std::map<QString, QString> m_names;  // by uid, as last found
    std::vector<QMetaObject::Connection> m_connections;
};

}  // namespace kestrap::app
