#pragma once

#include "device/DeviceTypes.h"

#include <QAbstractTableModel>
#include <QHash>
#include <QIcon>
#include <QPointer>
#include <vector>

namespace kestrap {
class DeviceRoster;
class PortJob;
}  // namespace kestrap

namespace kestrap::app {

// Every attached device: one row per row of the device roster, in its order, then one row per
// device that is attached but not ready, saying what it needs ("Locked: enter the passcode on
// the device"). Insertions and removals follow the roster's announcements; a device that
// becomes ready leaves the not-ready rows as its roster row arrives. A changed row repaints
// its status and detail cells only; a progress report of the runner repaints the status cell
// of that device. Reads the roster and the runner on every call; keeps only the not-ready
// list it last announced, to tell what changed in it.
//
// Threading: main thread only.
class DeviceTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    // Status comes before the details, so one change of a row is one range of cells.
    enum Column {
        Name,
        Uid,
        Status,
        Capacity,
        Model,
        OsVersion,
        SerialNumber,
        HubPlace,
        Battery,
        FreeSpace,
        ColumnCount
    };
    // How a device stands at a glance, as the cart's tiles colour it.
    enum class Standing { Idle, Excluded, WaitingForUser, Transferring, Finished, Failed };
    enum Role {
        SortRole = Qt::UserRole + 1,  // numbers for sizes and charge, text elsewhere
        StandingRole,  // Standing, as int
        ProgressRole,  // percent of the send list, while transferring
        CauseRole,  // why it failed, or what it needs when not ready
    };

    explicit DeviceTableModel(DeviceRoster& roster, QObject* parent = nullptr);

    // The runner whose progress the rows show; renewed with the job.
    void setRunner(PortJob* runner);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // The roster row a model row shows, or -1 for a device that is not ready.
    int rosterRow(int row) const;

    // The picture of a device kind ("iPhone", "iPad", "iTouch").
    static QIcon deviceIcon(const QString& kind);
    // What a device that is not ready needs, in the operator's words.
    static QString readinessText(DeviceReadiness state);

private:
    void rowChanged(int row);
    void notReadyChanged();
    void progressChanged(int record);
    QVariant rosterData(int row, int column, int role) const;
    QVariant notReadyData(const NotReadyDevice& device, int column, int role) const;
    int rosterCount() const;

    DeviceRoster& m_roster;
    QPointer<PortJob> m_runner;
    std::vector<QMetaObject::Connection> m_runnerConnections;
    QHash<QString, int> m_recordOf;  // device uid -> index of its progress record
    std::vector<NotReadyDevice> m_notReady;  // as the model last announced them
};

}  // namespace kestrap::app
