// One set of device-layer cases run on each backend: the simulated devices of a farm, and
// the same farm reached through libimobiledevice and the device emulator. What the device
// layer sees must not depend on which one serves it.

#include "support/TempTree.h"
#include "support/TestFarm.h"

#include "device/ios/iPhoneDevice.h"
#ifdef KESTRAP_WITH_IMD
#include "device/ios/imd/ImdMobileDeviceService.h"
#include "support/DeviceEmulator.h"
#endif

#include <gtest/gtest.h>

using namespace kestrap;

namespace {

// The farm's own simulated backend.
struct SimBackend {
    TestFarm& farm;
    std::shared_ptr<MobileDeviceService> service() { return farm.service(); }
    bool start() { return true; }
};

#ifdef KESTRAP_WITH_IMD
// The farm behind kestrap-devicefarm, reached through usbmuxd's protocol.
struct ImdBackend {
    TestFarm& farm;
    std::unique_ptr<DeviceEmulator> emulator {};
    std::shared_ptr<MobileDeviceService> imd {};
    std::shared_ptr<MobileDeviceService> service() { return imd; }
    bool start()
    {
        emulator = std::make_unique<DeviceEmulator>(farm.path());
        if (!emulator->start())
            return false;
        qputenv("USBMUXD_SOCKET_ADDRESS", emulator->address().toLocal8Bit());
        imd = std::make_shared<imd::ImdMobileDeviceService>();
        return true;
    }
    ~ImdBackend()
    {
        imd.reset();
        qunsetenv("USBMUXD_SOCKET_ADDRESS");
    }
};
#endif

template <typename Backend> class BackendBehaviour : public ::testing::Test {
protected:
    TestFarm farm;
    TempTree local;
    Backend backend {farm};
    std::shared_ptr<MobileDeviceService> service;
    AMDeviceNotificationRef subscription = 0;
    std::map<QString, AMDeviceRef> present;

    const QString app = QStringLiteral("com.example.app");

    void serve()
    {
        ASSERT_TRUE(backend.start());
        service = backend.service();
        service->AMDeviceNotificationSubscribe(
            [this](const AMDeviceNotificationInfo& info) {
                const QString udid = service->AMDeviceCopyDeviceIdentifier(info.device);
                if (info.message == AMDeviceMessageConnected)
                    present[udid] = info.device;
                else
                    present.erase(udid);
            },
            &subscription);
        service->announceAttachedDevices();
        QCoreApplication::processEvents();
    }

    void TearDown() override
    {
        if (service)
            service->AMDeviceNotificationUnsubscribe(subscription);
    }

    // The device as the detector opens it.
    std::shared_ptr<iPhoneDevice> open(const QString& udid)
    {
        if (!present.count(udid))
            return nullptr;
        auto device = std::make_shared<iPhoneDevice>(service);
        if (!device->createWithDevice(present.at(udid), true) || !device->connect(false))
            return nullptr;
        return device;
    }

    // A raw AFC connection on the app's container.
    AFCConnectionRef container(const QString& udid)
    {
        const AMDeviceRef record = present.at(udid);
        AMServiceHandle handle = 0;
        AFCConnectionRef connection = nullptr;
        if (service->AMDeviceConnect(record) || service->AMDeviceStartSession(record)
            || service->AMDeviceStartHouseArrestService(record, app, &handle)
            || service->AFCConnectionOpen(handle, 0, &connection))
            return nullptr;
        return connection;
    }
};

#ifdef KESTRAP_WITH_IMD
using Backends = ::testing::Types<SimBackend, ImdBackend>;
#else
using Backends = ::testing::Types<SimBackend>;
#endif

class BackendNames {
public:
    template <typename T> static std::string GetName(int) { return std::is_same_v<T, SimBackend> ? "sim" : "imd"; }
};

TYPED_TEST_SUITE(BackendBehaviour, Backends, BackendNames);

}  // namespace

TYPED_TEST(BackendBehaviour, OpensADeviceWithItsValuesCapacityAndUserApps)
{
    kestrap::sim::SimDeviceSpec model;
    model.name = QStringLiteral("Counter Phone");
    model.productType = QStringLiteral("iPad7,5");
    model.capacity = 64ll << 30;
    model.apps = {{this->app, QStringLiteral("Example")}};
    const QString udid = this->farm.addDevice(model);
    this->serve();
    const auto device = this->open(udid);
    ASSERT_TRUE(device);
    EXPECT_EQ(device->name(), "Counter Phone");
    EXPECT_EQ(device->uuid(), udid);
    EXPECT_EQ(device->deviceType(), DeviceTypePad);
    EXPECT_EQ(device->capacity(), 64ull << 30);
    EXPECT_FALSE(device->isJailbreak());
    const auto apps = device->appBundles();
    ASSERT_EQ(apps.size(), 1u);
    EXPECT_EQ(apps[0].ID, this->app);
    EXPECT_EQ(apps[0].name, "Example");
}

TYPED_TEST(BackendBehaviour, WorksInTheAppsContainerOnly)
{
    const QString udid = this->farm.addPhone({{this->app, QStringLiteral("Example")}});
    this->serve();
    const auto device = this->open(udid);
    ASSERT_TRUE(device);
    EXPECT_FALSE(device->changeService(QStringLiteral("com.example.missing")));
    ASSERT_TRUE(device->changeService(this->app));

    QByteArray bytes(3 * 1024 * 1024 + 5, Qt::Uninitialized);
    for (int i = 0; i < bytes.size(); ++i)
        bytes[i] = char(i * 7 + i / 4096);
    const QString source = writeFileBytes(this->local.path(QStringLiteral("up.bin")), bytes);
    ASSERT_TRUE(device->createDirectory(QStringLiteral("/Documents/In")));
    ASSERT_TRUE(device->uploadFile(QStringLiteral("/Documents/In/up.bin"), source));
    EXPECT_EQ(readFileBytes(this->farm.container(udid, this->app) + QStringLiteral("/Documents/In/up.bin")), bytes);
    ASSERT_TRUE(device->downloadFile(QStringLiteral("/Documents/In/up.bin"), this->local.path(QStringLiteral("down"))));
    EXPECT_EQ(readFileBytes(this->local.path(QStringLiteral("down"))), bytes);

    // Renaming over a file and removing, on the seam itself.
    AFCConnectionRef c = this->container(udid);
    ASSERT_TRUE(c);
    MobileDeviceService& s = *this->service;
    EXPECT_EQ(
        s.AFCRenamePath(c, QStringLiteral("/Documents/In/up.bin"), QStringLiteral("/Documents/moved.bin")), MDSuccess);
    EXPECT_EQ(s.AFCRemovePath(c, QStringLiteral("/Documents/In/up.bin")), AFCObjectNotFoundError);
    EXPECT_EQ(s.AFCRemovePath(c, QStringLiteral("/Documents")), AFCDirNotEmptyError);
    EXPECT_EQ(s.AFCRemovePath(c, QStringLiteral("/Documents/moved.bin")), MDSuccess);
    // Nothing outside the container can be reached, by ".." or otherwise.
    AFCFileRef file = 0;
    EXPECT_NE(s.AFCFileRefOpen(c, QStringLiteral("/../../device.plist"), AFCFileModeRead, &file), MDSuccess);
    EXPECT_EQ(s.AFCConnectionClose(c), MDSuccess);
}

TYPED_TEST(BackendBehaviour, AFullDeviceRefusesTheWriteWithItsOwnCode)
{
    kestrap::sim::SimDeviceSpec model;
    model.capacity = 1024 * 1024;
    model.apps = {{this->app, QStringLiteral("Example")}};
    const QString udid = this->farm.addDevice(model);
    this->serve();
    AFCConnectionRef c = this->container(udid);
    ASSERT_TRUE(c);
    MobileDeviceService& s = *this->service;
    AFCFileRef file = 0;
    ASSERT_EQ(s.AFCFileRefOpen(c, QStringLiteral("/big"), AFCFileModeWrite, &file), MDSuccess);
    const QByteArray bytes(2 * 1024 * 1024, 'x');
    EXPECT_EQ(s.AFCFileRefWrite(c, file, bytes.constData(), std::uint32_t(bytes.size())), AFCNoSpaceLeftError);
    EXPECT_EQ(s.AFCFileRefClose(c, file), MDSuccess);
    EXPECT_EQ(QFileInfo(this->farm.container(udid, this->app) + QStringLiteral("/big")).size(), 0);
    s.AFCConnectionClose(c);
}

TYPED_TEST(BackendBehaviour, AnUnpluggedDeviceGoesAndItsConnectionsBreak)
{
    const QString udid = this->farm.addPhone({{this->app, QStringLiteral("Example")}});
    this->serve();
    AFCConnectionRef c = this->container(udid);
    ASSERT_TRUE(c);
    const AMDeviceRef record = this->present.at(udid);
    this->service->AMDeviceRetain(record);
    ASSERT_TRUE(kestrap::sim::setPlugged(this->farm.path(), udid, false, nullptr));
    EXPECT_TRUE(TestFarm::waitFor([&] { return this->present.empty(); }, 5000));
    MobileDeviceService& s = *this->service;
    AFCFileRef file = 0;
    EXPECT_EQ(s.AFCFileRefOpen(c, QStringLiteral("/late"), AFCFileModeWrite, &file), AFCServiceNotConnectedError);
    EXPECT_EQ(s.AMDeviceConnect(record), AMDDeviceDisconnectedError);
    s.AFCConnectionClose(c);
    s.AMDeviceRelease(record);
}
