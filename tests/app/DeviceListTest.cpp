// The device list and the cart: every attached device, its details, its order on the hubs,
// the columns the operator keeps, and tiles that repaint only when their device changes.

#include "app/AlertController.h"
#include "app/AppController.h"
#include "app/CartView.h"
#include "app/DeviceSortModel.h"
#include "app/DeviceTableModel.h"
#include "app/KestrapAppDelegate.h"
#include "app/MainWindow.h"
#include "job/DeviceRoster.h"
#include "settings/UserDefaults.h"
#include "support/DetailedDevice.h"
#include "support/ScriptedAlerts.h"

#include <QAction>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QMenu>
#include <QScrollBar>
#include <QTableView>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <map>

using namespace kestrap;
using namespace kestrap::app;

namespace {

using Col = DeviceTableModel::Column;

QString text(const QAbstractItemModel& model, int row, int column)
{
    return model.index(row, column).data().toString();
}

std::shared_ptr<DetailedDevice> add(
    DeviceRoster& roster, const QString& uid, const QString& name, const QString& hub = {})
{
    auto device = std::make_shared<DetailedDevice>(uid, name, hub);
    roster.DeviceAdded(device);
    return device;
}

void settle(int ms = 50)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

}  // namespace

// --- Devices that are not ready ---------------------------------------------------------

TEST(DeviceList, ADeviceNotReadyIsListedWithWhatItNeedsAndTurnsIntoANormalRowOnceReady)
{
    DeviceRoster roster;
    DeviceTableModel model(roster);
    add(roster, QStringLiteral("aaa"), QStringLiteral("Served"));
    roster.DevicesNotReadyChanged({{QStringLiteral("bbb"), DeviceReadiness::AwaitingTrust, QStringLiteral("Ann")},
        {QStringLiteral("ccc"), DeviceReadiness::PasscodeLocked, {}}});
    ASSERT_EQ(model.rowCount(), 3);
    EXPECT_EQ(text(model, 1, Col::Name), QStringLiteral("Ann"));
    EXPECT_EQ(text(model, 1, Col::Status), QStringLiteral("Waiting for Trust: unlock it and tap Trust"));
    EXPECT_EQ(text(model, 2, Col::Status), QStringLiteral("Locked: enter the passcode on the device"));
    EXPECT_EQ(model.rosterRow(0), 0);
    EXPECT_EQ(model.rosterRow(1), -1);
    EXPECT_EQ(model.index(2, 0).data(DeviceTableModel::StandingRole).toInt(),
        int(DeviceTableModel::Standing::WaitingForUser));

    // Its user taps "Don't Trust": that row alone changes.
    std::vector<int> changed;
    QObject::connect(&model, &QAbstractItemModel::dataChanged, [&](const QModelIndex& a, const QModelIndex& b) {
        changed.insert(changed.end(), {a.row(), b.row()});
    });
    roster.DevicesNotReadyChanged({{QStringLiteral("bbb"), DeviceReadiness::TrustDenied, QStringLiteral("Ann")},
        {QStringLiteral("ccc"), DeviceReadiness::PasscodeLocked, {}}});
    EXPECT_EQ(changed, (std::vector<int> {1, 1}));
    EXPECT_EQ(text(model, 1, Col::Status), QStringLiteral("Trust denied: unplug it, plug it in again and tap Trust"));

    // Trusted at last: the device arrives as any other and leaves the devices not ready.
    add(roster, QStringLiteral("bbb"), QStringLiteral("Ann"));
    roster.DevicesNotReadyChanged({{QStringLiteral("ccc"), DeviceReadiness::NotAnswering, {}}});
    ASSERT_EQ(model.rowCount(), 3);
    EXPECT_EQ(model.rosterRow(1), 1);
    EXPECT_EQ(text(model, 1, Col::Name), QStringLiteral("Ann"));
    EXPECT_EQ(text(model, 1, Col::Status), QStringLiteral("Idle"));
    EXPECT_EQ(text(model, 2, Col::Status), QStringLiteral("Not answering"));
    roster.DevicesNotReadyChanged({});
    EXPECT_EQ(model.rowCount(), 2);
}

TEST(DeviceList, RowsOfDevicesNotReadyAreNotTakenForDevicesOfTheJob)
{
    QTemporaryDir dir;
    SettingsUserDefaults defaults(dir.filePath(QStringLiteral("d.ini")));
    ScriptedAlerts script;
    ScriptedPanels panels;
    AlertController alerts(script, defaults);
    KestrapAppDelegate delegate(alerts, panels, defaults);
    DeviceRoster& roster = delegate.controller().roster();
    add(roster, QStringLiteral("aaa"), QStringLiteral("Served"), QStringLiteral("1-2"));
    roster.DevicesNotReadyChanged({{QStringLiteral("bbb"), DeviceReadiness::AwaitingTrust, {}}});
    delegate.window().deviceTable()->selectAll();
    EXPECT_EQ(delegate.window().selectedDevices(), std::vector<int> {0});
    delegate.window().excludeAction()->trigger();
    EXPECT_EQ(roster.rows()[0]->status, DeviceStatusExcluded);
}

// --- Details and order ------------------------------------------------------------------

TEST(DeviceList, RowsShowTheDevicesDetailsAndSortByHubPlaceInNaturalOrder)
{
    DeviceRoster roster;
    DeviceTableModel model(roster);
    DeviceSortModel sorted;
    sorted.setSourceModel(&model);
    sorted.sort(Col::HubPlace);
    add(roster, QStringLiteral("a"), QStringLiteral("Ten"), QStringLiteral("1-4.10"));
    add(roster, QStringLiteral("b"), QStringLiteral("Unknown place"));
    auto two = add(roster, QStringLiteral("c"), QStringLiteral("Two"), QStringLiteral("1-4.2"));
    auto three = add(roster, QStringLiteral("d"), QStringLiteral("Three"), QStringLiteral("1-3"));
    three->battery = 100;
    const auto names = [&] {
        QStringList n;
        for (int r = 0; r < sorted.rowCount(); ++r)
            n << text(sorted, r, Col::Name);
        return n;
    };
    EXPECT_EQ(names(), (QStringList {"Three", "Two", "Ten", "Unknown place"}));

    EXPECT_EQ(text(model, 2, Col::Model), MarketingName(QStringLiteral("iPhone10,3")));
    EXPECT_FALSE(text(model, 2, Col::Model).isEmpty());
    EXPECT_EQ(text(model, 2, Col::OsVersion), QStringLiteral("16.7.2"));
    EXPECT_EQ(text(model, 2, Col::SerialNumber), QStringLiteral("F2LXC"));
    EXPECT_EQ(text(model, 2, Col::HubPlace), QStringLiteral("1-4.2"));
    EXPECT_EQ(text(model, 2, Col::Battery), QStringLiteral("80 %"));
    EXPECT_EQ(text(model, 2, Col::FreeSpace), QStringLiteral("12.00 GB"));

    // A charge read anew repaints that device's row; the order holds.
    std::vector<std::pair<int, int>> changed;
    QObject::connect(&sorted, &QAbstractItemModel::dataChanged,
        [&](const QModelIndex& a, const QModelIndex& b) { changed.emplace_back(a.row(), b.row()); });
    two->battery = 9;
    roster.DeviceChanged(two);
    EXPECT_EQ(names(), (QStringList {"Three", "Two", "Ten", "Unknown place"}));
    EXPECT_EQ(changed, (std::vector<std::pair<int, int>> {{1, 1}}));
    EXPECT_EQ(text(sorted, 1, Col::Battery), QStringLiteral("9 %"));

    // Numbers sort as numbers: 9 % comes before 80 %, a device that does not tell first.
    roster.rows()[1]->device.reset();
    sorted.sort(Col::Battery);
    EXPECT_EQ(names(), (QStringList {"Unknown place", "Two", "Ten", "Three"}));
}

TEST(DeviceList, HiddenColumnsAndTheOrderChosenAreKeptAtOnceForTheNextRun)
{
    QTemporaryDir dir;
    SettingsUserDefaults defaults(dir.filePath(QStringLiteral("d.ini")));
    ScriptedAlerts script;
    ScriptedPanels panels;
    AlertController alerts(script, defaults);
    {
        KestrapAppDelegate delegate(alerts, panels, defaults);
        QHeaderView* header = delegate.window().deviceTable()->horizontalHeader();
        EXPECT_EQ(header->sortIndicatorSection(), Col::HubPlace);
        EXPECT_FALSE(header->isSectionHidden(Col::Model));
        std::unique_ptr<QMenu> menu(columnMenu(header, [&] { emit delegate.window().layoutChoiceChanged(); }));
        ASSERT_EQ(menu->actions().size(), Col::ColumnCount);
        menu->actions()[Col::Model]->trigger();
        EXPECT_TRUE(header->isSectionHidden(Col::Model));
        header->setSortIndicator(Col::Battery, Qt::DescendingOrder);
        delegate.window().cartAction()->trigger();
        // No quit: a station ended by its service manager keeps the choice too.
    }
    KestrapAppDelegate again(alerts, panels, defaults);
    QHeaderView* header = again.window().deviceTable()->horizontalHeader();
    EXPECT_TRUE(header->isSectionHidden(Col::Model));
    EXPECT_FALSE(header->isSectionHidden(Col::Battery));
    EXPECT_EQ(header->sortIndicatorSection(), Col::Battery);
    EXPECT_EQ(header->sortIndicatorOrder(), Qt::DescendingOrder);
    EXPECT_TRUE(again.window().cartAction()->isChecked());
}

// --- The cart ---------------------------------------------------------------------------

namespace {

class CountingTileDelegate : public CartTileDelegate {
public:
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        ++paints[index.siblingAtColumn(DeviceTableModel::Name).data().toString()];
        CartTileDelegate::paint(painter, option, index);
    }
    mutable std::map<QString, int> paints;
};

}  // namespace

TEST(Cart, ATileIsRepaintedOnlyWhenItsOwnDeviceChanges)
{
    DeviceRoster roster;
    DeviceTableModel model(roster);
    DeviceSortModel sorted;
    sorted.setSourceModel(&model);
    sorted.sort(Col::HubPlace);
    std::vector<std::shared_ptr<DetailedDevice>> devices;
    for (int i = 0; i < 32; ++i)
        devices.push_back(
            add(roster, QStringLiteral("u%1").arg(i), QStringLiteral("D%1").arg(i), QStringLiteral("1-%1").arg(i + 1)));
    CartView view;
    auto* counting = new CountingTileDelegate;
    counting->setParent(&view);
    view.setItemDelegate(counting);
    view.setModel(&sorted);
    // About the room the cart has in a 1920x1080 window; menus, tools and Start take the rest.
    view.resize(1900, 940);
    view.show();
    settle(200);
    EXPECT_EQ(counting->paints.size(), 32u) << "every tile shows at once";
    EXPECT_EQ(view.verticalScrollBar()->maximum(), 0) << "32 tiles without scrolling";

    counting->paints.clear();
    roster.rows()[5]->status = DeviceStatusFailed;
    emit roster.rowChanged(5);
    devices[20]->battery = 50;
    roster.DeviceChanged(devices[20]);
    settle();
    ASSERT_FALSE(counting->paints.empty());
    for (const auto& [name, count] : counting->paints)
        EXPECT_TRUE(name == QStringLiteral("D5") || name == QStringLiteral("D20")) << name.toStdString();
    EXPECT_EQ(model.index(5, 0).data(DeviceTableModel::StandingRole).toInt(), int(DeviceTableModel::Standing::Failed));
}
