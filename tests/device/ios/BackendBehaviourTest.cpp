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
#include <unistd.h>

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
            || service->AMDeviceStartHouseArrestService(record, app, AMHouseArrestVend::Container, &handle)
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
    const QString udid = this->farm.addPhone({{this->app, QStringLiteral("Example"), true}});
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
    model.apps = {{this->app, QStringLiteral("Example"), true}};  // for development: the whole container
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
    const QString udid = this->farm.addPhone({{this->app, QStringLiteral("Example"), true}});
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

// --- app kinds: what house arrest vends for which app ----------------------------------

TYPED_TEST(BackendBehaviour, AppKindsDecideWhatHouseArrestVends)
{
    const QString store = QStringLiteral("com.example.store");
    const QString dev = QStringLiteral("com.example.dev");
    const QString secretive = QStringLiteral("com.example.private");
    const QString udid = this->farm.addPhone({{store, {}}, {dev, {}, true}, {secretive, {}, false, false}});
    this->serve();
    const AMDeviceRef record = this->present.at(udid);
    MobileDeviceService& s = *this->service;
    ASSERT_EQ(s.AMDeviceConnect(record), MDSuccess);
    ASSERT_EQ(s.AMDeviceStartSession(record), MDSuccess);
    const auto start = [&](const QString& app, AMHouseArrestVend vend, AFCConnectionRef* c = nullptr) {
        AMServiceHandle handle = 0;
        const MDError e = s.AMDeviceStartHouseArrestService(record, app, vend, &handle);
        if (!e && c) {
            EXPECT_EQ(s.AFCConnectionOpen(handle, 0, c), MDSuccess);
        }
        return e;
    };
    using enum AMHouseArrestVend;
    EXPECT_EQ(start(store, Container), AMDVendRefusedError);
    EXPECT_EQ(start(secretive, Container), AMDVendRefusedError);
    EXPECT_EQ(start(secretive, Documents), AMDVendRefusedError);
    EXPECT_EQ(start(QStringLiteral("com.example.missing"), Container), AMDApplicationNotInstalledError);
    EXPECT_EQ(start(QStringLiteral("com.example.missing"), Documents), AMDApplicationNotInstalledError);

    // A development app's whole container is there.
    AFCConnectionRef whole = nullptr;
    ASSERT_EQ(start(dev, Container, &whole), MDSuccess);
    AFCFileRef file = 0;
    ASSERT_EQ(s.AFCDirectoryCreate(whole, QStringLiteral("/Library/Caches")), MDSuccess);
    ASSERT_EQ(s.AFCFileRefOpen(whole, QStringLiteral("/Library/Caches/c"), AFCFileModeWrite, &file), MDSuccess);
    EXPECT_EQ(s.AFCFileRefClose(whole, file), MDSuccess);
    s.AFCConnectionClose(whole);

    // An App Store app's documents: its Documents folder and what lies below, nothing else.
    const QString box = this->farm.container(udid, store);
    QDir().mkpath(box + QStringLiteral("/Library/Preferences"));
    writeFileBytes(box + QStringLiteral("/Library/Preferences/p.plist"), "prefs");
    writeFileBytes(box + QStringLiteral("/top"), "top");
    ASSERT_EQ(::symlink("../Library", QFile::encodeName(box + QStringLiteral("/Documents/lib")).constData()), 0);
    AFCConnectionRef docs = nullptr;
    ASSERT_EQ(start(store, Documents, &docs), MDSuccess);
    const auto list = [&](const QString& path, MDError* error) {
        QStringList names;
        AFCDirectoryRef dir = nullptr;
        *error = s.AFCDirectoryOpen(docs, path, &dir);
        QByteArray name;
        while (!*error && s.AFCDirectoryRead(docs, dir, &name) == MDSuccess && !name.isNull())
            names << QString::fromUtf8(name);
        if (dir)
            s.AFCDirectoryClose(docs, dir);
        return names;
    };
    MDError e = MDSuccess;
    EXPECT_EQ(list(QStringLiteral("/"), &e), (QStringList {".", "..", "Documents"}));
    EXPECT_EQ(e, MDSuccess);
    AFCKeyValueRef info = nullptr;
    for (const char* folder : {"/", "/Documents", "Documents/"}) {
        ASSERT_EQ(s.AFCFileInfoOpen(docs, QString::fromLatin1(folder), &info), MDSuccess) << folder;
        s.AFCKeyValueClose(info);
    }
    EXPECT_EQ(s.AFCDirectoryCreate(docs, QStringLiteral("/Documents")), MDSuccess);
    ASSERT_EQ(s.AFCDirectoryCreate(docs, QStringLiteral("/Documents/In")), MDSuccess);
    ASSERT_EQ(s.AFCFileRefOpen(docs, QStringLiteral("/Documents/In/a"), AFCFileModeWrite, &file), MDSuccess);
    ASSERT_EQ(s.AFCFileRefWrite(docs, file, "abc", 3), MDSuccess);
    EXPECT_EQ(s.AFCFileRefClose(docs, file), MDSuccess);
    EXPECT_EQ(s.AFCRenamePath(docs, QStringLiteral("/Documents/In/a"), QStringLiteral("/Documents/In/b")), MDSuccess);
    EXPECT_EQ(s.AFCSetModificationTime(docs, QStringLiteral("/Documents/In/b"), 1'000'000'000'000'000'000), MDSuccess);
    EXPECT_EQ(readFileBytes(box + QStringLiteral("/Documents/In/b")), "abc");
    EXPECT_EQ(list(QStringLiteral("/Documents/In"), &e), (QStringList {".", "..", "b"}));

    // Everywhere else: permission denied, whichever call and however the path gets there.
    for (const char* outside : {"/top", "/Library/Preferences/p.plist", "/Documents/../top", "/Documents/lib/x",
             "Documentsx", "/Documents/../Library/new"}) {
        const QString path = QString::fromLatin1(outside);
        EXPECT_EQ(s.AFCFileRefOpen(docs, path, AFCFileModeWrite, &file), AFCPermissionDeniedError) << outside;
        EXPECT_EQ(s.AFCFileRefOpen(docs, path, AFCFileModeRead, &file), AFCPermissionDeniedError) << outside;
        EXPECT_EQ(s.AFCFileInfoOpen(docs, path, &info), AFCPermissionDeniedError) << outside;
        EXPECT_EQ(s.AFCDirectoryCreate(docs, path + QStringLiteral("/d")), AFCPermissionDeniedError) << outside;
        EXPECT_EQ(s.AFCRemovePath(docs, path), AFCPermissionDeniedError) << outside;
        EXPECT_EQ(s.AFCRenamePath(docs, QStringLiteral("/Documents/In/b"), path), AFCPermissionDeniedError) << outside;
        EXPECT_EQ(s.AFCSetModificationTime(docs, path, 0), AFCPermissionDeniedError) << outside;
    }
    list(QStringLiteral("/Library"), &e);
    EXPECT_EQ(e, AFCPermissionDeniedError);
    list(QStringLiteral("/Documents/.."), &e);
    EXPECT_EQ(e, MDSuccess);  // the container's "/" again, which lists only Documents
    EXPECT_EQ(list(QStringLiteral("/Documents/lib"), &e), QStringList());
    EXPECT_EQ(e, AFCPermissionDeniedError);
    // Neither the container's top nor Documents itself can be changed.
    EXPECT_EQ(s.AFCRemovePath(docs, QStringLiteral("/Documents")), AFCPermissionDeniedError);
    EXPECT_EQ(
        s.AFCRenamePath(docs, QStringLiteral("/Documents"), QStringLiteral("/Documents/x")), AFCPermissionDeniedError);
    EXPECT_EQ(s.AFCRenamePath(docs, QStringLiteral("/Documents/In"), QStringLiteral("/In")), AFCPermissionDeniedError);
    EXPECT_EQ(s.AFCFileRefOpen(docs, QStringLiteral("/"), AFCFileModeWrite, &file), AFCPermissionDeniedError);
    EXPECT_EQ(readFileBytes(box + QStringLiteral("/top")), "top");
    EXPECT_EQ(readFileBytes(box + QStringLiteral("/Library/Preferences/p.plist")), "prefs");
    EXPECT_EQ(readFileBytes(box + QStringLiteral("/Documents/In/b")), "abc");
    EXPECT_FALSE(QFileInfo::exists(box + QStringLiteral("/Library/new")));
    s.AFCConnectionClose(docs);
}
