// The emulator survives its clients: one that stalls, floods, never reads or reaches for
// what is not its own loses its link, and the emulator and its other clients go on.

#include "support/DeviceEmulator.h"
#include "support/TestFarm.h"
#include "tools/MuxClient.h"
#include "tools/devicefarm/FarmEmulator.h"

#include <QtEndian>
#include <atomic>
#include <gtest/gtest.h>
#include <libimobiledevice/afc.h>
#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>
#include <sys/resource.h>
#include <thread>
#include <usbmuxd.h>

using namespace std::chrono_literals;
using kestrap::devicefarm::EmulatorLimits;
using kestrap::devicefarm::FarmEmulator;

namespace {

// The emulator in this process, with limits small enough to reach in a test. Its
// announcements are made on this thread, when the test has the farm looked at.
class InProcessEmulator {
public:
    InProcessEmulator(const QString& farm, const EmulatorLimits& limits)
        : m_emulator(std::make_unique<FarmEmulator>(
            kestrap::devicefarm::EmulatorOptions {farm, m_dir.filePath(QStringLiteral("usbmuxd")), 0, 0, limits}))
    {
    }
    ~InProcessEmulator() { qunsetenv("USBMUXD_SOCKET_ADDRESS"); }

    // Starts it, with libusbmuxd pointed at it.
    bool start()
    {
        QString error;
        if (!m_emulator->start(&error))
            return false;
        qputenv("USBMUXD_SOCKET_ADDRESS", "UNIX:" + QFile::encodeName(socketPath()));
        return true;
    }
    QString socketPath() const { return m_dir.filePath(QStringLiteral("usbmuxd")); }
    FarmEmulator* operator->() { return m_emulator.get(); }

private:
    QTemporaryDir m_dir;
    std::unique_ptr<FarmEmulator> m_emulator;
};

QString typeOf(const std::optional<QVariantMap>& message)
{
    return message ? message->value(QStringLiteral("MessageType")).toString() : QString();
}

// Reads messages until `count` of the type came; false when one did not come in time.
bool readAnnouncements(int fd, const QString& type, int count)
{
    while (count > 0) {
        const auto message = muxclient::read(fd, 5000);
        if (!message)
            return false;
        count -= typeOf(message) == type;
    }
    return true;
}

// CPU time the process has used, in clock ticks.
long cpuTicks(pid_t pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 12 ? fields[11].toLong() + fields[12].toLong() : -1;
}

}  // namespace

TEST(DeviceFarmClients, SilentOrStalledClientsAreCutOffButListenersAndIdleServiceLinksAreNot)
{
    TestFarm farm;
    const QString udid = farm.addPhone();
    EmulatorLimits limits;
    limits.idle = 200ms;
    limits.frame = 200ms;
    InProcessEmulator emulator(farm.path(), limits);
    ASSERT_TRUE(emulator.start());

    const int silent = muxclient::connectTo(emulator.socketPath());
    const int stalled = muxclient::connectTo(emulator.socketPath());
    muxclient::send(stalled, muxclient::request(QStringLiteral("ListDevices")).left(20));
    const int listener = muxclient::connectTo(emulator.socketPath());
    muxclient::send(listener, muxclient::request(QStringLiteral("Listen")));
    EXPECT_EQ(typeOf(muxclient::read(listener, 5000)), QStringLiteral("Result"));
    EXPECT_EQ(typeOf(muxclient::read(listener, 5000)), QStringLiteral("Attached"));

    // A lockdown link and an AFC link, idle for longer than a request may take.
    idevice_t device = nullptr;
    lockdownd_client_t lockdown = nullptr;
    lockdownd_service_descriptor_t service = nullptr;
    afc_client_t afc = nullptr;
    ASSERT_EQ(idevice_new(&device, udid.toLatin1().constData()), IDEVICE_E_SUCCESS);
    ASSERT_EQ(lockdownd_client_new_with_handshake(device, &lockdown, "test"), LOCKDOWN_E_SUCCESS);
    ASSERT_EQ(lockdownd_start_service(lockdown, "com.apple.afc", &service), LOCKDOWN_E_SUCCESS);
    ASSERT_EQ(afc_client_new(device, service, &afc), AFC_E_SUCCESS);
    lockdownd_service_descriptor_free(service);

    EXPECT_TRUE(muxclient::closedWithin(silent, 3000));
    EXPECT_TRUE(muxclient::closedWithin(stalled, 3000));
    EXPECT_FALSE(muxclient::closedWithin(listener, 400));
    char* name = nullptr;
    EXPECT_EQ(lockdownd_get_device_name(lockdown, &name), LOCKDOWN_E_SUCCESS);
    free(name);
    char** info = nullptr;
    EXPECT_EQ(afc_get_device_info(afc, &info), AFC_E_SUCCESS);
    afc_dictionary_free(info);

    afc_client_free(afc);
    lockdownd_client_free(lockdown);
    idevice_free(device);
    for (const int fd : {silent, stalled, listener})
        ::close(fd);
}

TEST(DeviceFarmClients, ConnectionsPastTheLimitAreRefusedUntilOneEnds)
{
    TestFarm farm;
    farm.addPhone();
    EmulatorLimits limits;
    limits.connections = 4;
    InProcessEmulator emulator(farm.path(), limits);
    ASSERT_TRUE(emulator.start());
    const auto listsDevices = [&](int fd) {
        muxclient::send(fd, muxclient::request(QStringLiteral("ListDevices")));
        const auto answer = muxclient::read(fd, 2000);
        return answer && answer->contains(QStringLiteral("DeviceList"));
    };

    std::vector<int> held;
    for (int i = 0; i < 4; ++i) {
        held.push_back(muxclient::connectTo(emulator.socketPath()));
        EXPECT_TRUE(listsDevices(held.back()));
    }
    const int refused = muxclient::connectTo(emulator.socketPath());
    EXPECT_TRUE(muxclient::closedWithin(refused, 3000));
    ::close(refused);

    ::close(held.front());
    bool served = false;
    for (int attempt = 0; attempt < 50 && !served; ++attempt) {
        const int fd = muxclient::connectTo(emulator.socketPath());
        served = listsDevices(fd);
        ::close(fd);
        if (!served)
            QThread::msleep(20);
    }
    EXPECT_TRUE(served);
    for (std::size_t i = 1; i < held.size(); ++i)
        ::close(held[i]);
}

TEST(DeviceFarmClients, AListenerThatNeverReadsIsDroppedAndHoldsUpNoAnnouncement)
{
    TestFarm farm;
    const QString udid = farm.addPhone();
    EmulatorLimits limits;
    limits.listenerBacklog = 16 * 1024;
    InProcessEmulator emulator(farm.path(), limits);
    ASSERT_TRUE(emulator.start());
    const int stuck = muxclient::connectTo(emulator.socketPath());
    muxclient::send(stuck, muxclient::request(QStringLiteral("Listen")));
    const int reader = muxclient::connectTo(emulator.socketPath());
    muxclient::send(reader, muxclient::request(QStringLiteral("Listen")));
    ASSERT_TRUE(readAnnouncements(reader, QStringLiteral("Attached"), 1));
    std::atomic<int> changes {0};
    std::thread reading([&] {
        while (const auto message = muxclient::read(reader, 10000))
            if (typeOf(message) == QStringLiteral("Attached") || typeOf(message) == QStringLiteral("Detached"))
                ++changes;
    });

    // Each change seen by the reader before the next is made, until far more than a socket
    // holds was announced: the stuck listener's fills early on.
    constexpr int kRounds = 400;
    int rounds = 0;
    QString error;
    for (; rounds < kRounds; ++rounds) {
        kestrap::sim::setPlugged(farm.path(), udid, false, &error);
        emulator->sim().rescan();
        kestrap::sim::setPlugged(farm.path(), udid, true, &error);
        emulator->sim().rescan();
        if (!TestFarm::waitFor([&] { return changes == 2 + 2 * rounds; }, 5000, false))
            break;
    }
    EXPECT_EQ(rounds, kRounds) << "announcements stopped";
    EXPECT_TRUE(muxclient::closedWithin(stuck, 3000));

    ::shutdown(reader, SHUT_RDWR);
    reading.join();
    ::close(reader);
    ::close(stuck);
}

TEST(DeviceFarmClients, SigtermEndsItAtOnceThoughAListenerReadsNothing)
{
    TestFarm farm;
    QStringList udids;
    for (int i = 0; i < 16; ++i)
        udids << farm.addPhone();
    DeviceEmulator emulator(farm.path());
    ASSERT_TRUE(emulator.start());
    const int stuck = muxclient::connectTo(emulator.socketPath());
    muxclient::send(stuck, muxclient::request(QStringLiteral("Listen")));
    const int reader = muxclient::connectTo(emulator.socketPath());
    muxclient::send(reader, muxclient::request(QStringLiteral("Listen")));
    ASSERT_TRUE(readAnnouncements(reader, QStringLiteral("Attached"), udids.size()));

    // Each change seen by the reader before the next is made, until the stuck listener's
    // socket would have filled many times.
    int rounds = 0;
    QString error;
    for (; rounds < 20; ++rounds) {
        for (const QString& udid : udids)
            kestrap::sim::setPlugged(farm.path(), udid, false, &error);
        if (!readAnnouncements(reader, QStringLiteral("Detached"), udids.size()))
            break;
        for (const QString& udid : udids)
            kestrap::sim::setPlugged(farm.path(), udid, true, &error);
        if (!readAnnouncements(reader, QStringLiteral("Attached"), udids.size()))
            break;
    }
    EXPECT_EQ(rounds, 20) << "announcements stopped";
    EXPECT_TRUE(emulator.stopWithin(3000)) << "still running 3 s after SIGTERM";
    ::close(reader);
    ::close(stuck);
}

TEST(DeviceFarmClients, StartedServicesAreTheirClientsOnlyAtRandomPortsUntilTheyExpire)
{
    TestFarm farm;
    const QString udid = farm.addPhone();
    EmulatorLimits limits;
    limits.serviceWait = 300ms;
    limits.servicesPerClient = 3;
    InProcessEmulator emulator(farm.path(), limits);
    ASSERT_TRUE(emulator.start());
    idevice_t device = nullptr;
    lockdownd_client_t lockdown = nullptr;
    ASSERT_EQ(idevice_new(&device, udid.toLatin1().constData()), IDEVICE_E_SUCCESS);
    ASSERT_EQ(lockdownd_client_new_with_handshake(device, &lockdown, "test"), LOCKDOWN_E_SUCCESS);
    const auto start = [&](std::uint16_t* port) {
        lockdownd_service_descriptor_t service = nullptr;
        const lockdownd_error_t error = lockdownd_start_service(lockdown, "com.apple.afc", &service);
        if (service)
            *port = service->port;
        lockdownd_service_descriptor_free(service);
        return error;
    };
    std::uint16_t ports[3] = {};
    for (auto& port : ports)
        ASSERT_EQ(start(&port), LOCKDOWN_E_SUCCESS);
    std::uint16_t more = 0;
    EXPECT_EQ(start(&more), LOCKDOWN_E_SERVICE_LIMIT);
    EXPECT_FALSE(ports[1] == ports[0] + 1 && ports[2] == ports[1] + 1) << ports[0] << " " << ports[1];

    // Another process asking for this one's service is refused; this one is let through.
    usbmuxd_device_info_t info {};
    ASSERT_EQ(usbmuxd_get_device_by_udid(udid.toLatin1().constData(), &info), 1);
    const QByteArray connect = muxclient::request(QStringLiteral("Connect"),
        {{QStringLiteral("DeviceID"), qint64(info.handle)},
            {QStringLiteral("PortNumber"), qint64(qToBigEndian(ports[0]))}});
    const QByteArray path = QFile::encodeName(emulator.socketPath());
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), std::size_t(path.size()));
    const pid_t other = ::fork();
    if (other == 0) {
        // Only system calls on what the parent prepared: the child of a threaded process.
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        char answer[1024] = {};
        ssize_t got = -1;
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0
            && ::send(fd, connect.constData(), std::size_t(connect.size()), 0) == connect.size()) {
            pollfd p {fd, POLLIN, 0};
            if (::poll(&p, 1, 5000) > 0)
                got = ::recv(fd, answer, sizeof answer - 1, 0);
        }
        const char* ok = "<integer>0</integer>";
        ::_exit(got > 0 && !::memmem(answer, std::size_t(got), ok, std::strlen(ok)) ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(other, &status, 0), other);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "another process took the service";
    const int link = usbmuxd_connect(info.handle, ports[0]);
    EXPECT_GE(link, 0);
    if (link >= 0)
        usbmuxd_disconnect(link);

    // The others are not waited for past their time, and no longer count.
    QThread::msleep(400);
    EXPECT_LT(usbmuxd_connect(info.handle, ports[1]), 0);
    for (auto& port : ports)
        EXPECT_EQ(start(&port), LOCKDOWN_E_SUCCESS);
    lockdownd_client_free(lockdown);
    idevice_free(device);
}

TEST(DeviceFarmClients, RunningOutOfDescriptorsRefusesConnectionsWithoutSpinning)
{
    TestFarm farm;
    farm.addPhone();
    DeviceEmulator emulator(farm.path());
    ASSERT_TRUE(emulator.start());
    // Counted once the emulator has served a list and holds what it keeps open: counted
    // earlier, on a busy machine, the limit left it no room to serve anybody ever after.
    qputenv("USBMUXD_SOCKET_ADDRESS", emulator.address().toLocal8Bit());
    usbmuxd_device_info_t* list = nullptr;
    ASSERT_TRUE(TestFarm::waitFor([&] { return usbmuxd_get_device_list(&list) == 1; }, 20000, false));
    usbmuxd_device_list_free(&list);
    const auto open = QDir(QStringLiteral("/proc/%1/fd").arg(emulator.pid()))
                          .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                          .size();
    const rlimit few {rlim_t(open + 8), rlim_t(open + 8)};
    ASSERT_EQ(::prlimit(emulator.pid(), RLIMIT_NOFILE, &few, nullptr), 0);

    std::vector<int> flood;
    for (int i = 0; i < 40; ++i)
        flood.push_back(muxclient::connectTo(emulator.socketPath()));
    QThread::msleep(200);
    const long before = cpuTicks(emulator.pid());
    QThread::msleep(1000);
    const long used = cpuTicks(emulator.pid()) - before;
    EXPECT_LT(used, ::sysconf(_SC_CLK_TCK) / 4) << "ticks in a second";
    for (const int fd : flood)
        ::close(fd);

    // Generous: under the sanitizers, with other tests beside it, the emulator takes its time.
    EXPECT_TRUE(TestFarm::waitFor([&] { return usbmuxd_get_device_list(&list) == 1; }, 20000, false));
    usbmuxd_device_list_free(&list);
    qunsetenv("USBMUXD_SOCKET_ADDRESS");
}

TEST(DeviceFarmClients, ASocketPathHoldingAnythingButASocketIsLeftAlone)
{
    TestFarm farm;
    farm.addPhone();
    DeviceEmulator refused(farm.path());
    QFile file(refused.socketPath());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("precious");
    file.close();
    EXPECT_FALSE(refused.start());
    EXPECT_TRUE(refused.said().contains("is not a socket")) << refused.said().constData();
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), "precious");

    // A socket an emulator that was killed left behind answers nobody, and is replaced.
    DeviceEmulator replacing(farm.path());
    const QByteArray path = QFile::encodeName(replacing.socketPath());
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), std::size_t(path.size()));
    const int left = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(::bind(left, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ::close(left);
    EXPECT_TRUE(replacing.start());
}
