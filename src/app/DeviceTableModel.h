#pragma once

#include <QAbstractTableModel>
#include <QIcon>
#include <QPointer>

namespace kestrap {
class DeviceRoster;
}

namespace kestrap::app {

// The connected devices, one row per row of the device roster, in its order. Insertions and
// removals follow the roster's announcements; a changed row repaints its status cell only.
// Reads the roster on every call; keeps no copy of it.
class DeviceTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { Name, Uid, Status, Capacity, ColumnCount };

    explicit DeviceTableModel(DeviceRoster& roster, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // The picture of a device kind ("iPhone", "iPad", "iTouch").
    static QIcon deviceIcon(const QString& kind);

private:
    void rowChanged(int row);

    DeviceRoster& m_roster;
};

}  // namespace kestrap::app
