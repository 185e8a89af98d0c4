// The libimobiledevice backend's device list against the device emulator: announcements on
// the subscribing thread, devices waiting for trust, a usbmuxd that goes and comes back.

#include "support/DeviceEmulator.h"
#include "support/ProcessResources.h"
#include "support/TempTree.h"
#include "support/TestFarm.h"

#include "device/DeviceManager.h"
#include "device/ios/imd/ImdMobileDeviceService.h"
#include "job/DeviceRoster.h"
#include "job/JobDocument.h"
#include "job/PortJob.h"
#include "util/Plist.h"

#include <QtEndian>
#include <algorithm>
#include <atomic>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <usbmuxd.h>

using namespace kestrap;

namespace {

class ImdDevices : public ::testing::Test {
protected:
    TestFarm farm;
    std::unique_ptr<DeviceEmulator> emulator;
    std::unique_ptr<imd::ImdMobileDeviceService> service;
    AMDeviceNotificationRef subscription = 0;
    std::vector<std::pair<QString, std::int32_t>> heard;  // udid, message
    std::map<QString, AMDeviceRef> present;
    bool offThread = false;

    void serve()
    {
        emulator = std::make_unique<DeviceEmulator>(farm.path());
        ASSERT_TRUE(emulator->start());
        qputenv("USBMUXD_SOCKET_ADDRESS", emulator->address().toLocal8Bit());
        service = std::make_unique<imd::ImdMobileDeviceService>();
        subscribe();
        service->announceAttachedDevices();
    }

    void subscribe()
    {
        service->AMDeviceNotificationSubscribe(
            [this](const AMDeviceNotificationInfo& info) {
                offThread |= QThread::currentThread() != QCoreApplication::instance()->thread();
                const QString udid = service->AMDeviceCopyDeviceIdentifier(info.device);
                heard.emplace_back(udid, info.message);
                if (info.message == AMDeviceMessageConnected)
                    present[udid] = info.device;
                else
                    present.erase(udid);
            },
            &subscription);
    }

    void TearDown() override
    {
        if (service)
            service->AMDeviceNotificationUnsubscribe(subscription);
        service.reset();
        qunsetenv("USBMUXD_SOCKET_ADDRESS");
    }

    QStringList awaitingTrust() const
    {
        QStringList udids;
        for (const NotReadyDevice& d : service->devicesNotReady())
            if (d.state == DeviceReadiness::AwaitingTrust)
                udids.append(d.udid);
        return udids;
    }

    static void setPaired(const QString& folder, bool paired)
    {
        auto plist = sim::readDevicePlist(folder);
        plist->insert(sim::kKeyPaired, paired);
        sim::writeDevicePlist(folder, *plist);
    }
};

}  // namespace

TEST_F(ImdDevices, AnnouncesOnlyTrustedDevicesAndOneWhoseUserTapsTrustLater)
{
    const QString trusted = farm.addPhone();
    const QString pending = farm.addPhone();
    setPaired(QDir(farm.path()).filePath(pending), false);
    sim::SimDeviceSpec refusing;
    refusing.faults.refusePairing = true;
    const QString refuser = farm.addDevice(refusing);
    serve();

    EXPECT_EQ(present.size(), 1u);
    EXPECT_TRUE(present.count(trusted));
    QStringList waiting = awaitingTrust();
    waiting.sort();
    QStringList expected {pending, refuser};
    expected.sort();
    EXPECT_EQ(waiting, expected);

    setPaired(QDir(farm.path()).filePath(pending), true);
    EXPECT_TRUE(TestFarm::waitFor([&] { return present.count(pending) == 1; }, 10000));
    EXPECT_EQ(awaitingTrust(), QStringList {refuser});
    EXPECT_EQ(present.count(refuser), 0u);
    EXPECT_FALSE(offThread);

    // The device that came late is a device like the others: it opens and answers values.
    AMDeviceRef record = present.at(pending);
    ASSERT_EQ(service->AMDeviceConnect(record), MDSuccess);
    EXPECT_EQ(service->AMDeviceIsPaired(record), 1);
    EXPECT_EQ(service->AMDeviceCopyValue(record, {}, QStringLiteral("UniqueDeviceID")).toString(), pending);
}

TEST_F(ImdDevices, ADeviceNotReadySaysWhatItsUserMustDoUntilItIsReady)
{
    const QString pending = farm.addPhone();
    const QString denied = farm.addPhone();
    const QString locked = farm.addPhone();
    ASSERT_TRUE(sim::setTrustAnswer(farm.path(), pending, sim::TrustAnswer::Pending, nullptr));
    ASSERT_TRUE(sim::setTrustAnswer(farm.path(), denied, sim::TrustAnswer::Denied, nullptr));
    ASSERT_TRUE(sim::setTrustAnswer(farm.path(), locked, sim::TrustAnswer::Trusted, nullptr));
    ASSERT_TRUE(sim::setPasscodeLocked(farm.path(), locked, true, nullptr));
    // A device that trusts this computer already is not asked again, locked or not: only a
    // pairing needs it unlocked. This one must pair afresh.
    ASSERT_TRUE(QDir(QDir(farm.path()).filePath(locked + QStringLiteral("/Lockdown"))).mkpath(QStringLiteral(".")));
    QFile none(QDir(farm.path()).filePath(locked + QStringLiteral("/Lockdown/TrustedHosts.plist")));
    ASSERT_TRUE(none.open(QIODevice::WriteOnly));
    none.write(*plist::toXml(QVariantMap()));
    none.close();
    serve();

    EXPECT_TRUE(present.empty());
    // Each tells its name before it trusts this computer, as a real device does.
    const std::vector<NotReadyDevice> expected {{pending, DeviceReadiness::AwaitingTrust, "Device 1"},
        {denied, DeviceReadiness::TrustDenied, "Device 2"}, {locked, DeviceReadiness::PasscodeLocked, "Device 3"}};
    EXPECT_EQ(service->devicesNotReady(), expected);

    ASSERT_TRUE(sim::setPasscodeLocked(farm.path(), locked, false, nullptr));
    EXPECT_TRUE(TestFarm::waitFor([&] { return present.count(locked) == 1; }, 10000));
    ASSERT_TRUE(sim::setTrustAnswer(farm.path(), pending, sim::TrustAnswer::Trusted, nullptr));
    EXPECT_TRUE(TestFarm::waitFor([&] { return present.count(pending) == 1; }, 10000));
    // "Don't Trust" holds for as long as the device stays plugged in.
    const std::vector<NotReadyDevice> left {{denied, DeviceReadiness::TrustDenied, "Device 2"}};
    EXPECT_EQ(service->devicesNotReady(), left);
}

TEST_F(ImdDevices, ADeviceWhosePairRecordUsbmuxdDoesNotGiveIsTriedAgainNotAskedToTrustAgain)
{
    sim::SimDeviceSpec phone;
    phone.faults.dropPairRecordReads = 2;
    const QString udid = farm.addDevice(phone);
    serve();
    // Announced once usbmuxd answered; never counted as waiting for its user.
    EXPECT_EQ(present.count(udid), 1u);
    EXPECT_TRUE(awaitingTrust().isEmpty());
    const QByteArray said = emulator->stop();
    EXPECT_FALSE(said.contains("asked to pair")) << said.constData();
}

TEST_F(ImdDevices, ADeviceOneListLeavesOutStaysAndOneThatListsKeepLeavingOutGoes)
{
    const QString udid = farm.addPhone();
    serve();
    ASSERT_EQ(present.count(udid), 1u);
    const AMDeviceRef first = present.at(udid);
    service->AMDeviceRetain(first);  // compared below with the record that replaces it
    const QString marker = QDir(farm.path()).filePath(udid + QLatin1Char('/') + sim::kUnlistedMarker);
    const auto leaveOut = [&](int lists) {
        QFile f(marker);
        return f.open(QIODevice::WriteOnly) && f.write(QByteArray::number(lists)) > 0;
    };
    const auto disconnects = [&] {
        return std::count(heard.begin(), heard.end(), std::pair {udid, std::int32_t(AMDeviceMessageDisconnected)});
    };
    // One list without it, as a busy usbmuxd's can be, then lists with it again (one is read
    // every 250 ms): the device stays.
    ASSERT_TRUE(leaveOut(1));
    ASSERT_TRUE(TestFarm::waitFor([&] { return !QFileInfo::exists(marker); }));
    TestFarm::waitFor([] { return false; }, 800);
    EXPECT_EQ(disconnects(), 0);
    EXPECT_EQ(present.count(udid), 1u);
    // Lists that keep leaving it out (and no word that it was detached): it goes, and comes
    // back as a new device when the lists have it again.
    ASSERT_TRUE(leaveOut(6));
    EXPECT_TRUE(TestFarm::waitFor([&] { return disconnects() == 1; }));
    ASSERT_TRUE(TestFarm::waitFor([&] { return present.count(udid) == 1; }, 10000));
    EXPECT_NE(present.at(udid), first);
    service->AMDeviceRelease(first);
}

TEST_F(ImdDevices, AUsbmuxdThatRestartsTakesItsDevicesAndBringsThemBackAsNewOnes)
{
    const QString a = farm.addPhone();
    const QString b = farm.addPhone();
    serve();
    ASSERT_EQ(present.size(), 2u);
    const AMDeviceRef before = present.at(a);
    service->AMDeviceRetain(before);

    emulator->kill();
    EXPECT_TRUE(TestFarm::waitFor([&] { return present.empty(); }, 5000));
    EXPECT_EQ(service->AMDeviceConnect(before), AMDDeviceDisconnectedError);

    ASSERT_TRUE(emulator->start());
    EXPECT_TRUE(TestFarm::waitFor([&] { return present.size() == 2; }, 10000));
    ASSERT_TRUE(present.count(a));
    EXPECT_NE(present.at(a), before);
    EXPECT_EQ(service->AMDeviceConnect(present.at(a)), MDSuccess);
    int gone = 0;
    for (const auto& [udid, message] : heard)
        gone += message == AMDeviceMessageDisconnected;
    EXPECT_EQ(gone, 2);
    service->AMDeviceRelease(before);
}

TEST_F(ImdDevices, DevicesPresentAreAnnouncedOnceAUsbmuxdThatDidNotAnswerAtFirstDoes)
{
    farm.addPhone();
    farm.addPhone();
    // The first lists fail: nobody answers on the socket yet.
    emulator = std::make_unique<DeviceEmulator>(farm.path());
    qputenv("USBMUXD_SOCKET_ADDRESS", emulator->address().toLocal8Bit());
    service = std::make_unique<imd::ImdMobileDeviceService>();
    subscribe();
    std::atomic<bool> returned {false};
    std::thread waiting([&] {
        service->announceAttachedDevices();
        returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    const bool returnedBeforeUsbmuxdAnswered = returned;
    // Started on this thread: the emulator ends with the thread that started it.
    ASSERT_TRUE(emulator->start());
    waiting.join();
    EXPECT_FALSE(returnedBeforeUsbmuxdAnswered);
    QCoreApplication::processEvents();
    EXPECT_EQ(present.size(), 2u);
}

TEST_F(ImdDevices, AServiceMadeWhileUsbmuxdWasAbsentWaitsForNothingAndAnnouncesWhatItBrings)
{
    farm.addPhone();
    farm.addPhone();
    emulator = std::make_unique<DeviceEmulator>(farm.path());
    qputenv("USBMUXD_SOCKET_ADDRESS", emulator->address().toLocal8Bit());
    service = std::make_unique<imd::ImdMobileDeviceService>(imd::ImdMobileDeviceService::UsbmuxdAbsent);
    subscribe();
    // A window starting on a machine with no device plugged in is not held up.
    QElapsedTimer announcing;
    announcing.start();
    service->announceAttachedDevices();
    EXPECT_LT(announcing.elapsed(), 5000);
    EXPECT_TRUE(present.empty());
    ASSERT_TRUE(emulator->start());
    EXPECT_TRUE(TestFarm::waitFor([&] { return present.size() == 2; }, 15000));
}

TEST_F(ImdDevices, AnnouncesDevicesInTheOrderTheyArrived)
{
    for (int i = 0; i < 8; ++i)
        farm.addPhone();
    const QStringList ids = sim::deviceIds(farm.path());
    for (const QString& udid : ids)
        sim::setPlugged(farm.path(), udid, false, nullptr);
    serve();
    EXPECT_TRUE(present.empty());
    // Plugged in together, each is prepared on a thread of its own, finishing in any order.
    for (const QString& udid : ids)
        sim::setPlugged(farm.path(), udid, true, nullptr);
    ASSERT_TRUE(TestFarm::waitFor([&] { return present.size() == 8; }, 10000));
    // A farm scan that runs while the plugs are made can see a later one first: the order
    // they arrived in is usbmuxd's, which numbers attachments as they come.
    usbmuxd_device_info_t* list = nullptr;
    const int count = usbmuxd_get_device_list(&list);
    ASSERT_EQ(count, 8);
    std::vector<std::pair<std::uint32_t, QString>> attached;
    for (int i = 0; i < count; ++i)
        attached.emplace_back(list[i].handle, QString::fromLatin1(list[i].udid));
    usbmuxd_device_list_free(&list);
    std::sort(attached.begin(), attached.end());
    QStringList arrived;
    for (const auto& [handle, udid] : attached)
        arrived << udid;
    QStringList announced;
    for (const auto& [udid, message] : heard)
        announced << udid;
    EXPECT_EQ(announced.join(u' ').toStdString(), arrived.join(u' ').toStdString());
}

TEST_F(ImdDevices, ADevicePluggedInAndOutAgainAndAgainLeavesNoLinkNorThreadBehind)
{
    const QString udid = farm.addPhone();
    serve();
    ASSERT_EQ(present.size(), 1u);
    const auto cycle = [&] {
        sim::setPlugged(farm.path(), udid, false, nullptr);
        ASSERT_TRUE(TestFarm::waitFor([&] { return present.empty(); }, 10000));
        sim::setPlugged(farm.path(), udid, true, nullptr);
        ASSERT_TRUE(TestFarm::waitFor([&] { return present.size() == 1; }, 10000));
    };
    // Open sockets, and thread stacks: a thread that ended and was never joined keeps its
    // stack mapped.
    const auto files = [] {
        return QDir(QStringLiteral("/proc/self/fd"))
            .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
            .size();
    };
    const auto stacks = [] {
        pthread_attr_t attributes;
        std::size_t size = 0;
        pthread_getattr_default_np(&attributes);
        pthread_attr_getstacksize(&attributes, &size);
        pthread_attr_destroy(&attributes);
        QFile maps(QStringLiteral("/proc/self/maps"));
        int count = 0;
        if (maps.open(QIODevice::ReadOnly))
            for (const QByteArray& line : maps.readAll().split('\n')) {
                const QList<QByteArray> range = line.split(' ').value(0).split('-');
                count += range.size() == 2 && line.contains(" rw-p 00000000 00:00 0")
                    && range[1].toULongLong(nullptr, 16) - range[0].toULongLong(nullptr, 16) == size;
            }
        return count;
    };
    // The first cycle may start what stays for the process's life.
    cycle();
    const qsizetype filesBefore = files();
    const int stacksBefore = stacks();
    for (int i = 0; i < 10; ++i)
        cycle();
    EXPECT_LE(files(), filesBefore + 1);
    EXPECT_LE(stacks(), stacksBefore + 2);
}

// 20 ms a round trip through the emulator: 300 rounds here, the 1000 of the simulated
// backend's own test would take 20 s.
TEST_F(ImdDevices, ADeviceRepluggedManyTimesKeepsThreadsDescriptorsAndMemoryFlat)
{
    const QString udid = farm.addPhone();
    farm.addPhone();
    serve();
    ASSERT_EQ(present.size(), 2u);
    const auto replug = [&](int times) {
        for (int i = 0; i < times; ++i) {
            ASSERT_TRUE(sim::setPlugged(farm.path(), udid, false, nullptr));
            ASSERT_TRUE(TestFarm::waitFor([&] { return present.size() == 1; }, 10000));
            ASSERT_TRUE(sim::setPlugged(farm.path(), udid, true, nullptr));
            ASSERT_TRUE(TestFarm::waitFor([&] { return present.size() == 2; }, 10000));
            heard.clear();
        }
    };
    // The first rounds fill the caches that stay (Qt's, libusbmuxd's, the allocator's).
    replug(30);
    const ProcessResources before = ProcessResources::now();
#ifdef KESTRAP_TEST_SANITIZED_HEAP
    replug(100);  // a sanitized round trip takes several times as long; the old growth still shows
#else
    replug(300);
#endif
    const ProcessResources after = ProcessResources::now();
    EXPECT_EQ(after.threads, before.threads);
    EXPECT_EQ(after.descriptors, before.descriptors);
    // Records and announcements kept for good took 3 KB an attachment: 300 KB and more here.
    EXPECT_LT(after.heapBytes - before.heapBytes, 64 * 1024) << "heap grew by " << after.heapBytes - before.heapBytes;
    EXPECT_LE(service->recordCount(), 2u);
}

namespace {

// A usbmuxd with one device that, asked for a lockdown session, wants it encrypted and stops
// reading at once: the host's first encrypted bytes meet a broken pipe, as when a device goes
// in the middle of a session.
class DeafDeviceMux {
public:
    explicit DeafDeviceMux(const QString& path)
    {
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        const QByteArray bytes = QFile::encodeName(path);
        std::memcpy(address.sun_path, bytes.constData(), std::size_t(bytes.size()));
        m_listen = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        EXPECT_EQ(::bind(m_listen, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(m_listen, 16), 0);
        m_accept = std::thread([this] {
            for (int fd; (fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
                std::lock_guard guard(m_lock);
                m_links.push_back(fd);
                m_threads.emplace_back([this, fd] { serveMux(fd); });
            }
        });
    }

    ~DeafDeviceMux()
    {
        ::shutdown(m_listen, SHUT_RDWR);
        m_accept.join();
        std::lock_guard guard(m_lock);
        for (int fd : m_links)
            ::shutdown(fd, SHUT_RDWR);
        for (std::thread& t : m_threads)
            t.join();
        for (int fd : m_links)
            ::close(fd);
        ::close(m_listen);
    }

    std::atomic<int> sessions {0};

private:
    static std::optional<QVariantMap> parse(const QByteArray& body)
    {
        const auto value = plist::parse(body);
        return value ? std::optional(value->toMap()) : std::nullopt;
    }

    static bool readExactly(int fd, void* buffer, std::size_t count)
    {
        return ::recv(fd, buffer, count, MSG_WAITALL) == ssize_t(count);
    }

    static void sendAll(int fd, const QByteArray& bytes)
    {
        ::send(fd, bytes.constData(), std::size_t(bytes.size()), MSG_NOSIGNAL);
    }

    static std::optional<QVariantMap> readMux(int fd, std::uint32_t* tag)
    {
        std::uint32_t header[4];
        if (!readExactly(fd, header, sizeof header))
            return std::nullopt;
        *tag = qFromLittleEndian(header[3]);
        QByteArray body(qsizetype(qFromLittleEndian(header[0]) - sizeof header), Qt::Uninitialized);
        return readExactly(fd, body.data(), std::size_t(body.size())) ? parse(body) : std::nullopt;
    }

    static void writeMux(int fd, std::uint32_t tag, const QVariantMap& payload)
    {
        const QByteArray body = plist::toXml(payload).value_or(QByteArray());
        QByteArray frame(16, Qt::Uninitialized);
        const std::uint32_t header[4] = {qToLittleEndian(std::uint32_t(16 + body.size())), qToLittleEndian(1u),
            qToLittleEndian(8u), qToLittleEndian(tag)};
        std::memcpy(frame.data(), header, sizeof header);
        sendAll(fd, frame + body);
    }

    static std::optional<QVariantMap> readLockdown(int fd)
    {
        std::uint32_t length = 0;
        if (!readExactly(fd, &length, sizeof length))
            return std::nullopt;
        QByteArray body(qsizetype(qFromBigEndian(length)), Qt::Uninitialized);
        return readExactly(fd, body.data(), std::size_t(body.size())) ? parse(body) : std::nullopt;
    }

    static void writeLockdown(int fd, const QVariantMap& payload)
    {
        const QByteArray body = plist::toXml(payload).value_or(QByteArray());
        QByteArray frame(4, Qt::Uninitialized);
        qToBigEndian(std::uint32_t(body.size()), frame.data());
        sendAll(fd, frame + body);
    }

    void serveMux(int fd)
    {
        const QVariantMap device {{QStringLiteral("MessageType"), QStringLiteral("Attached")},
            {QStringLiteral("DeviceID"), 1},
            {QStringLiteral("Properties"),
                QVariantMap {{QStringLiteral("ConnectionType"), QStringLiteral("USB")}, {QStringLiteral("DeviceID"), 1},
                    {QStringLiteral("SerialNumber"), QStringLiteral("0123456789abcdef0123456789abcdef01234567")}}}};
        const QVariantMap ok {{QStringLiteral("MessageType"), QStringLiteral("Result")}, {QStringLiteral("Number"), 0}};
        const QByteArray certificate("-----BEGIN CERTIFICATE-----\nnone\n-----END CERTIFICATE-----\n");
        const QVariantMap pairRecord {
            {QStringLiteral("HostID"), QStringLiteral("4B657374-0000-0000-0000-000000000001")},
            {QStringLiteral("SystemBUID"), QStringLiteral("4B657374-0000-0000-0000-000000000002")},
            {QStringLiteral("DeviceCertificate"), certificate}, {QStringLiteral("HostCertificate"), certificate},
            {QStringLiteral("RootCertificate"), certificate}};
        std::uint32_t tag = 0;
        while (const auto request = readMux(fd, &tag)) {
            const QString type = request->value(QStringLiteral("MessageType")).toString();
            if (type == QStringLiteral("ListDevices")) {
                writeMux(fd, tag, {{QStringLiteral("DeviceList"), QVariantList {device}}});
            } else if (type == QStringLiteral("Listen")) {
                writeMux(fd, tag, ok);
                writeMux(fd, 0, device);
            } else if (type == QStringLiteral("ReadPairRecord")) {
                writeMux(
                    fd, tag, {{QStringLiteral("PairRecordData"), plist::toXml(pairRecord).value_or(QByteArray())}});
            } else if (type == QStringLiteral("Connect")) {
                writeMux(fd, tag, ok);
                serveLockdown(fd);
                ::shutdown(fd, SHUT_RDWR);
                return;
            } else {
                writeMux(fd, tag, ok);
            }
        }
    }

    void serveLockdown(int fd)
    {
        while (const auto request = readLockdown(fd)) {
            const QString name = request->value(QStringLiteral("Request")).toString();
            QVariantMap answer {{QStringLiteral("Request"), name}};
            if (name == QStringLiteral("QueryType"))
                answer.insert(QStringLiteral("Type"), QStringLiteral("com.apple.mobile.lockdown"));
            if (name == QStringLiteral("GetValue"))
                answer.insert(QStringLiteral("Value"), QStringLiteral("12.4"));
            if (name != QStringLiteral("StartSession")) {
                writeLockdown(fd, answer);
                continue;
            }
            answer.insert(QStringLiteral("SessionID"), QStringLiteral("1"));
            answer.insert(QStringLiteral("EnableSessionSSL"), true);
            ::shutdown(fd, SHUT_RD);
            writeLockdown(fd, answer);
            ++sessions;
            return;
        }
    }

    int m_listen = -1;
    std::thread m_accept;
    std::mutex m_lock;
    std::vector<int> m_links;
    std::vector<std::thread> m_threads;
};

}  // namespace

// OpenSSL writes on a device's link with plain write(): without care, a device that goes in
// the middle of an encrypted session ends the whole station with SIGPIPE.
TEST(ImdHostileDevices, ADeviceGoneUnderAnEncryptedSessionFailsTheOpeningNotTheProcess)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("usbmuxd"));
    DeafDeviceMux mux(path);
    qputenv("USBMUXD_SOCKET_ADDRESS", "UNIX:" + QFile::encodeName(path));
    {
        imd::ImdMobileDeviceService service;
        // The opening is tried again after a failure: the process lived through the first.
        EXPECT_TRUE(TestFarm::waitFor([&] { return mux.sessions >= 2; }, 10000));
    }
    qunsetenv("USBMUXD_SOCKET_ADDRESS");
}

TEST_F(ImdDevices, ADeviceTellsItsModelSerialBatteryAndHubPlaceThroughTheWire)
{
    sim::SimDeviceSpec model;
    model.productType = QStringLiteral("iPad12,1");
    model.productVersion = QStringLiteral("17.5");
    model.batteryLevel = 64;
    const QString udid = farm.addDevice(model);
    const QString other = farm.addPhone();
    serve();
    ASSERT_TRUE(TestFarm::waitFor([&] { return present.size() == 2; }, 10000));
    // The farm's hubs, not this computer's: its /sys names no simulated device.
    service->setUsbSysfsRoot(QDir(farm.path()).filePath(sim::kSysfsFolder));
    const std::shared_ptr<MobileDeviceService> shared(service.get(), [](MobileDeviceService*) {});
    const auto open = [&](const QString& which) {
        auto device = std::make_shared<iPhoneDevice>(shared);
        EXPECT_TRUE(device->createWithDevice(present.at(which), false));
        return device;
    };
    const auto pad = open(udid);
    EXPECT_EQ(pad->productType(), "iPad12,1");
    EXPECT_EQ(MarketingName(pad->productType()), "iPad (9th generation)");
    EXPECT_EQ(pad->osVersion(), "17.5");
    EXPECT_EQ(pad->serialNumber().size(), 12);
    EXPECT_EQ(pad->batteryLevel(), 64);
    EXPECT_EQ(pad->hubPlace(), "101-1.1");
    const auto phone = open(other);
    EXPECT_EQ(phone->hubPlace(), "101-1.2");
    EXPECT_NE(phone->serialNumber(), pad->serialNumber());

    // The battery drains while the device stays plugged in; a read again sees it.
    auto plist = sim::readDevicePlist(QDir(farm.path()).filePath(udid));
    plist->insert(sim::kBatteryDomain, QVariantMap {{QStringLiteral("BatteryCurrentCapacity"), 63}});
    ASSERT_TRUE(sim::writeDevicePlist(QDir(farm.path()).filePath(udid), *plist));
    EXPECT_TRUE(pad->refreshDetails());
    EXPECT_EQ(pad->batteryLevel(), 63);
    EXPECT_FALSE(pad->refreshDetails());  // nothing changed since
    pad->deviceGone();
    phone->deviceGone();
}

namespace {

class NotReadyRecorder : public DeviceManagerDelegate {
public:
    explicit NotReadyRecorder(DeviceRoster& roster) : m_roster(roster) { }
    void DeviceAdded(const std::shared_ptr<iMobileDevice>& device) override { m_roster.DeviceAdded(device); }
    void DeviceRemoved(const std::shared_ptr<iMobileDevice>& device) override { m_roster.DeviceRemoved(device); }
    void DevicesNotReadyChanged(const std::vector<NotReadyDevice>& devices) override
    {
        offThread |= QThread::currentThread() != QCoreApplication::instance()->thread();
        told.push_back(devices);
        m_roster.DevicesNotReadyChanged(devices);
    }
    std::vector<std::vector<NotReadyDevice>> told;
    bool offThread = false;

private:
    DeviceRoster& m_roster;
};

}  // namespace

TEST_F(ImdDevices, TheManagerTellsOfDevicesNotReadyAndOneJoinsARunningJobOnceTrusted)
{
    const QString ready = farm.addPhone();
    const QString pending = farm.addPhone();
    ASSERT_TRUE(sim::setTrustAnswer(farm.path(), pending, sim::TrustAnswer::Pending, nullptr));
    emulator = std::make_unique<DeviceEmulator>(farm.path());
    ASSERT_TRUE(emulator->start());
    qputenv("USBMUXD_SOCKET_ADDRESS", emulator->address().toLocal8Bit());
    auto backend = std::make_shared<imd::ImdMobileDeviceService>();

    TempTree tree;
    JobDocument doc;
    doc.addFilePaths({tree.file(QStringLiteral("a"), 1)});
    PortJob job;
    job.setConcurrencyOverride(0);  // nothing is served: the queue is all there is to see
    DeviceRoster roster;
    roster.setJob(&doc, &job);
    int rosterTold = 0;
    QObject::connect(&roster, &DeviceRoster::notReadyChanged, [&] { ++rosterTold; });
    NotReadyRecorder recorder(roster);
    NotificationCenter center;
    {
        DeviceManager manager(center);
        manager.setDeviceSupport(DeviceSupportPhone | DeviceSupportPad);
        manager.setDelegate(&recorder);
        manager.setMobileDeviceService(backend);
        manager.start();
        backend->announceAttachedDevices();
        ASSERT_TRUE(TestFarm::waitFor([&] { return roster.rows().size() == 1 && !roster.notReady().empty(); }, 10000));
        const std::vector<NotReadyDevice> waiting {{pending, DeviceReadiness::AwaitingTrust, "Device 2"}};
        EXPECT_EQ(roster.notReady(), waiting);
        EXPECT_EQ(roster.rows()[0]->uid, ready);

        roster.queueAll();
        ASSERT_TRUE(job.start(doc.settings()));
        ASSERT_TRUE(sim::setTrustAnswer(farm.path(), pending, sim::TrustAnswer::Trusted, nullptr));
        EXPECT_TRUE(TestFarm::waitFor([&] { return job.deviceQueue().size() == 2; }, 10000));
        EXPECT_TRUE(TestFarm::waitFor([&] { return roster.notReady().empty(); }, 5000));
        job.stop();
        manager.setDelegate(nullptr);
    }
    EXPECT_FALSE(recorder.offThread);
    ASSERT_GE(recorder.told.size(), 2u);
    EXPECT_TRUE(recorder.told.back().empty());
    EXPECT_EQ(rosterTold, int(recorder.told.size()));  // each list told once, only when it changed
    for (std::size_t i = 1; i < recorder.told.size(); ++i)
        EXPECT_NE(recorder.told[i], recorder.told[i - 1]);
    backend.reset();
}
