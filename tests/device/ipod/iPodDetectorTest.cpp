// Which volumes become iPods, how their arrival and departure are announced, and how the
// device manager takes them in.

#include "device/ipod/iPodDetector.h"
#include "PodVolume.h"
#include "device/DeviceManager.h"
#include "device/NotificationCenter.h"
#include "device/ipod/iPodDevice.h"
#include "support/TestFarm.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

using namespace kestrap;

namespace {

// Mounts and unmounts as the test says.
class FakeMonitor : public MountMonitor {
public:
    explicit FakeMonitor(QStringList initial = {}) : m_initial(std::move(initial)) { }
    QStringList start(Listener listener) override
    {
        m_listener = std::move(listener);
        return m_initial;
    }
    void mount(const QString& path) { m_listener.mounted(path); }
    void unmount(const QString& path) { m_listener.unmounted(path); }

private:
    QStringList m_initial;
    Listener m_listener;
};

// Every pod notification, with the thread it came on.
class Recorder {
public:
    struct Event {
        QString name;
        std::shared_ptr<iMobileDevice> device;
        std::thread::id thread;
    };

    Recorder()
    {
        for (const QString& name : {msgNewPodConnected, msgPodDisconnected})
            m_tokens.push_back(
                NotificationCenter::defaultCenter().addObserver(name, [this](const DeviceNotification& n) {
                    std::lock_guard guard(m_eventsLock);
                    m_events.push_back({n.name, n.device, std::this_thread::get_id()});
                }));
    }
    ~Recorder()
    {
        for (auto token : m_tokens)
            NotificationCenter::defaultCenter().removeObserver(token);
    }

    std::vector<Event> events()
    {
        std::lock_guard guard(m_eventsLock);
        return m_events;
    }

private:
    std::vector<NotificationCenter::Token> m_tokens;
    std::mutex m_eventsLock;  // guards m_events
    std::vector<Event> m_events;
};

QString mountPathOf(const std::shared_ptr<iMobileDevice>& device)
{
    return std::dynamic_pointer_cast<iPodDevice>(device)->mountPath();
}

}  // namespace

TEST(iPodDetector, StartUpScanAnnouncesFromThreadsOfItsOwn)
{
    PodVolume a;
    PodVolume b;
    FileTree plain;
    FileTree impostor;
    impostor.file("iPod_Control");
    Recorder recorder;
    iPodDetector detector(
        std::make_unique<FakeMonitor>(QStringList {a.path(), plain.path(), b.path(), impostor.path(), a.path()}));

    EXPECT_EQ(detector.allPodPaths(), (QStringList {a.path(), b.path()}));
    detector.waitForAnnouncements();
    const auto events = recorder.events();
    ASSERT_EQ(events.size(), 2u);
    QStringList announced;
    for (const auto& e : events) {
        EXPECT_EQ(e.name, msgNewPodConnected);
        EXPECT_NE(e.thread, std::this_thread::get_id());
        EXPECT_EQ(e.device->deviceType(), DeviceTypePod);
        announced << mountPathOf(e.device);
    }
    announced.sort();
    QStringList expected {a.path(), b.path()};
    expected.sort();
    EXPECT_EQ(announced, expected);
}

TEST(iPodDetector, MountsAndUnmountsOnTheWatchingThread)
{
    PodVolume pod;
    FileTree plain;
    FileTree impostor;
    impostor.file("iPod_Control");
    Recorder recorder;
    auto monitor = std::make_unique<FakeMonitor>();
    FakeMonitor* volumes = monitor.get();
    iPodDetector detector(std::move(monitor));

    volumes->mount(plain.path());
    volumes->mount(impostor.path());
    volumes->unmount(plain.path());  // never an iPod: nothing to say
    volumes->mount(pod.path());
    volumes->mount(pod.path());  // reported twice: still one iPod
    EXPECT_EQ(detector.allPodDevices().size(), 1u);
    volumes->unmount(pod.path());
    volumes->unmount(pod.path());
    auto events = recorder.events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].name, msgNewPodConnected);
    EXPECT_EQ(events[0].thread, std::this_thread::get_id());
    EXPECT_EQ(mountPathOf(events[0].device), pod.path());
    EXPECT_EQ(events[1].name, msgPodDisconnected);
    EXPECT_EQ(events[1].device, events[0].device);
    EXPECT_TRUE(detector.allPodPaths().isEmpty());

    // Mounted again, it is a new device.
    volumes->mount(pod.path());
    events = recorder.events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_NE(events[2].device, events[0].device);
}

TEST(iPodDetector, StartUpAnnouncementAlwaysPrecedesItsUnmount)
{
    PodVolume pod;
    for (int round = 0; round < 20; ++round) {
        Recorder recorder;
        auto monitor = std::make_unique<FakeMonitor>(QStringList {pod.path()});
        FakeMonitor* volumes = monitor.get();
        iPodDetector detector(std::move(monitor));
        volumes->unmount(pod.path());
        const auto events = recorder.events();
        ASSERT_EQ(events.size(), 2u);
        EXPECT_EQ(events[0].name, msgNewPodConnected);
        EXPECT_EQ(events[1].name, msgPodDisconnected);
        EXPECT_EQ(events[0].device, events[1].device);
    }
}

// The kernel's own mount table, watched for real: the outer case re-runs the inner one in a
// user and mount namespace of its own, where it may bind-mount a fabricated volume.
TEST(MountWatch, KernelReportsMountsAndUnmounts)
{
    if (QProcess::execute("unshare", {"-rm", "true"}) != 0)
        GTEST_SKIP() << "no user namespaces here";
    QProcess inner;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KESTRAP_IN_MOUNT_NAMESPACE", "1");
    inner.setProcessEnvironment(env);
    inner.setProcessChannelMode(QProcess::MergedChannels);
    inner.start(
        "unshare", {"-rm", QFile::symLinkTarget("/proc/self/exe"), "--gtest_filter=MountWatch.InsideNamespace"});
    ASSERT_TRUE(inner.waitForFinished(60000));
    const QByteArray output = inner.readAll();
    if (output.contains("[  SKIPPED ]"))
        GTEST_SKIP() << output.constData();
    EXPECT_EQ(inner.exitCode(), 0) << output.constData();
}

TEST(MountWatch, InsideNamespace)
{
    if (qEnvironmentVariableIsEmpty("KESTRAP_IN_MOUNT_NAMESPACE"))
        GTEST_SKIP() << "run by MountWatch.KernelReportsMountsAndUnmounts";
    PodVolume pod;
    FileTree mountPoint;
    Recorder recorder;
    iPodDetector detector;
    auto waitForEvents = [&](size_t n) {
        QDeadlineTimer deadline(20000);
        while (recorder.events().size() < n && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
        return recorder.events();
    };

    ASSERT_EQ(QProcess::execute("mount", {"--bind", pod.path(), mountPoint.path()}), 0);
    QFile table("/proc/self/mountinfo");
    table.open(QIODevice::ReadOnly);
    bool listed = false;
    for (const auto& m : ProcMountMonitor::parseMountInfo(table.readAll()))
        listed = listed || m.mountPoint == mountPoint.path();
    if (!listed)
        GTEST_SKIP() << "the temporary folder is not on a device-backed volume";
    auto events = waitForEvents(1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(mountPathOf(events[0].device), mountPoint.path());

    ASSERT_EQ(QProcess::execute("umount", {mountPoint.path()}), 0);
    events = waitForEvents(2);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].name, msgPodDisconnected);
}

class PodManagerTest : public ::testing::Test {
protected:
    class Delegate : public DeviceManagerDelegate {
    public:
        void DeviceAdded(const std::shared_ptr<iMobileDevice>& d) override { events << "+" + mountPathOf(d); }
        void DeviceRemoved(const std::shared_ptr<iMobileDevice>& d) override { events << "-" + mountPathOf(d); }
        QStringList events;
    };

    void start(std::int32_t flags, const QStringList& mounted)
    {
        manager.setDeviceSupport(flags);
        manager.setDelegate(&delegate);
        manager.setMobileDeviceService(farm.service());
        manager.setMountMonitorFactory([this, mounted] {
            auto monitor = std::make_unique<FakeMonitor>(mounted);
            volumes = monitor.get();
            return monitor;
        });
        manager.start();
    }

    QStringList paths()
    {
        QStringList all;
        for (const auto& d : manager.devices())
            all << mountPathOf(d);
        return all;
    }

    PodVolume a, b, c;
    TestFarm farm;
    NotificationCenter center;
    DeviceManager manager {center};
    Delegate delegate;
    FakeMonitor* volumes = nullptr;
};

TEST_F(PodManagerTest, PodsJoinUnderThePodFlagOnTheManagersThread)
{
    start(DeviceSupportPod, {a.path(), b.path()});
    manager.iPodListener()->waitForAnnouncements();
    // Announced from other threads, they wait for the manager's thread to take them in.
    EXPECT_TRUE(manager.devices().empty());
    QCoreApplication::processEvents();
    QStringList atStart = paths();
    atStart.sort();
    QStringList expected {a.path(), b.path()};
    expected.sort();
    EXPECT_EQ(atStart, expected);

    volumes->mount(c.path());
    volumes->unmount(a.path());
    EXPECT_EQ(paths(), (QStringList {b.path(), c.path()}));
    EXPECT_EQ(delegate.events.mid(2), (QStringList {"+" + c.path(), "-" + a.path()}));
}

TEST_F(PodManagerTest, ApplicationFlagsNeverTakeAPod)
{
    start(DeviceSupportPhone | DeviceSupportPad, {a.path()});
    manager.iPodListener()->waitForAnnouncements();
    QCoreApplication::processEvents();
    volumes->mount(b.path());
    volumes->unmount(a.path());
    EXPECT_TRUE(manager.devices().empty());
    EXPECT_TRUE(delegate.events.isEmpty());
    EXPECT_EQ(manager.iPodListener()->allPodPaths(), QStringList {b.path()});
}

TEST_F(PodManagerTest, UnmountedBeforeItsStartUpAnnouncementArrived)
{
    start(DeviceSupportPod, {a.path()});
    // The unmount is handled at once; the start-up announcement is still queued behind it.
    volumes->unmount(a.path());
    QCoreApplication::processEvents();
    EXPECT_TRUE(manager.devices().empty());
    EXPECT_TRUE(delegate.events.isEmpty());
}
