#pragma once

#include <QAbstractTableModel>

namespace kestrap {
class PortJob;
}

namespace kestrap::app {

// One row per device the job has served: device and file, the file's and the whole send
// list's progress (painted as bars by ProgressBarDelegate), and the speed. Each progress
// change of one device repaints that row only; the records are read from the job on demand.
class TransferTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { DeviceFile, FileProgress, OverallProgress, Speed, ColumnCount };

    explicit TransferTableModel(QObject* parent = nullptr);

    void setJob(PortJob* job);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    PortJob* m_job = nullptr;
    std::vector<QMetaObject::Connection> m_connections;
};

}  // namespace kestrap::app
