// DeviceManager: which devices its support flags let in, in which order, and what its
// delegate hears.

#include "device/DeviceManager.h"
#include "device/ios/iPhoneDetector.h"
#include "support/StubDevice.h"
#include "support/TempTree.h"
#include "support/TestFarm.h"

#include <gtest/gtest.h>

using namespace kestrap;

namespace {

class RecordingManagerDelegate : public DeviceManagerDelegate {
public:
    void DeviceAdded(const std::shared_ptr<iMobileDevice>& device) override { events << "+" + device->name(); }
    void DeviceRemoved(const std::shared_ptr<iMobileDevice>& device) override { events << "-" + device->name(); }
    void DeviceChanged(const std::shared_ptr<iMobileDevice>& device) override { changed << device->name(); }
    QStringList events;
    QStringList changed;
};

class DeviceManagerTest : public ::testing::Test {
protected:
    std::shared_ptr<iMobileDevice> device(const char* name, std::int32_t type)
    {
        return std::make_shared<StubDevice>(QString::fromLatin1(name), QString::fromLatin1(name), type);
    }

    void start(std::int32_t flags)
    {
        manager.setDeviceSupport(flags);
        manager.setDelegate(&delegate);
        manager.setMobileDeviceService(farm.service());
        manager.start();
    }

    QStringList names()
    {
        QStringList all;
        for (const auto& d : manager.devices())
            all << d->name();
        return all;
    }

    TestFarm farm;
    NotificationCenter center;
    DeviceManager manager {center};
    RecordingManagerDelegate delegate;
};

}  // namespace

TEST_F(DeviceManagerTest, ApplicationFlagsAcceptEveryIosKindButNoPod)
{
    start(DeviceSupportPhone | DeviceSupportPad);
    for (const auto& [name, type] : std::vector<std::pair<const char*, std::int32_t>> {{"pad", DeviceTypePad},
             {"phone", DeviceTypePhone}, {"touch", DeviceTypeTouch}, {"odd", DeviceTypeUnknown}})
        center.post(msgNewPhoneConnected, device(name, type));
    center.post(msgNewPodConnected, device("pod", DeviceTypePod));
    EXPECT_EQ(names(), (QStringList {"odd", "touch", "phone", "pad"}));
    EXPECT_EQ(delegate.events, (QStringList {"+pad", "+phone", "+touch", "+odd"}));

    center.post(msgPhoneDisconnected, manager.devices()[1]);
    EXPECT_EQ(names(), (QStringList {"odd", "phone", "pad"}));
    EXPECT_EQ(delegate.events.last(), QStringLiteral("-touch"));
}

TEST_F(DeviceManagerTest, SingleFlagsFilterByKind)
{
    start(DeviceSupportPhone);
    const auto pad = device("pad", DeviceTypePad);
    center.post(msgNewPhoneConnected, pad);
    center.post(msgPhoneDisconnected, pad);
    EXPECT_TRUE(manager.devices().empty());
    EXPECT_TRUE(delegate.events.isEmpty());

    manager.setDeviceSupport(DeviceSupportPad);
    manager.start();
    center.post(msgNewPhoneConnected, device("phone", DeviceTypePhone));
    center.post(msgNewPhoneConnected, device("touch", DeviceTypeTouch));
    center.post(msgNewPhoneConnected, pad);
    EXPECT_EQ(names(), QStringList {"pad"});

    manager.setDeviceSupport(DeviceSupportPod);
    manager.start();
    center.post(msgNewPodConnected, device("touch", DeviceTypeTouch));
    center.post(msgNewPodConnected, device("pod1", DeviceTypePod));
    center.post(msgNewPodConnected, device("pod2", DeviceTypePod));
    center.post(msgNewPhoneConnected, device("phone", DeviceTypePhone));
    EXPECT_EQ(names(), (QStringList {"pad", "pod1", "pod2"}));
    center.post(msgPodDisconnected, device("stranger", DeviceTypePod));
    EXPECT_EQ(names(), (QStringList {"pad", "pod1", "pod2"}));
}

TEST_F(DeviceManagerTest, StoppedManagerHearsNothing)
{
    start(DeviceSupportPhone | DeviceSupportPad);
    const auto phone = device("phone", DeviceTypePhone);
    center.post(msgNewPhoneConnected, phone);
    manager.stop();
    center.post(msgPhoneDisconnected, phone);
    center.post(msgNewPhoneConnected, device("later", DeviceTypePhone));
    EXPECT_EQ(names(), QStringList {"phone"});
    EXPECT_EQ(delegate.events, QStringList {"+phone"});
}

TEST_F(DeviceManagerTest, StartedTwiceListensOnce)
{
    farm.addPhone();
    start(DeviceSupportPhone | DeviceSupportPad);
    manager.start();
    ASSERT_TRUE(TestFarm::waitFor([&] { return !manager.devices().empty(); }));
    TestFarm::waitFor([] { return false; }, 100);
    EXPECT_EQ(manager.devices().size(), 1u);
    EXPECT_EQ(manager.iPhoneListener()->connectedPhones().size(), 1u);
}

TEST_F(DeviceManagerTest, BatteryAndFreeSpaceAreReadAgainAndTheDelegateIsToldOfAChange)
{
    sim::SimDeviceSpec model;
    model.name = QStringLiteral("Pad");
    model.productType = QStringLiteral("iPad12,1");
    model.batteryLevel = 80;
    const QString udid = farm.addDevice(model);
    manager.setDetailsInterval(std::chrono::milliseconds(50));
    start(DeviceSupportPhone | DeviceSupportPad);
    ASSERT_TRUE(TestFarm::waitFor([&] { return manager.devices().size() == 1; }));
    const auto pad = manager.devices().front();
    EXPECT_EQ(pad->batteryLevel(), 80);
    EXPECT_EQ(pad->hubPlace(), "101-1.1");  // the farm's simulated hubs
    // Nothing changed: read again and again, nothing told.
    QThread::msleep(200);
    QCoreApplication::processEvents();
    EXPECT_TRUE(delegate.changed.isEmpty());

    const QString folder = QDir(farm.path()).filePath(udid);
    auto plist = sim::readDevicePlist(folder);
    plist->insert(sim::kBatteryDomain, QVariantMap {{QStringLiteral("BatteryCurrentCapacity"), 79}});
    ASSERT_TRUE(sim::writeDevicePlist(folder, *plist));
    // The value is read on a worker; the delegate hears of it on this thread after.
    ASSERT_TRUE(TestFarm::waitFor([&] { return pad->batteryLevel() == 79 && !delegate.changed.isEmpty(); }));
    EXPECT_EQ(delegate.changed.first(), "Pad");
    const qsizetype toldBefore = delegate.changed.size();

    const std::uint64_t free = pad->freeCapacity();
    TempTree local;
    ASSERT_TRUE(pad->uploadFile(QStringLiteral("/big.bin"), local.file(QStringLiteral("big.bin"), 1 << 20)));
    EXPECT_TRUE(TestFarm::waitFor([&] { return pad->freeCapacity() == free - (1 << 20); }));
    EXPECT_TRUE(TestFarm::waitFor([&] { return delegate.changed.size() > toldBefore; }));
}
