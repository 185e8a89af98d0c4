// The device layer across threads: hot plug reaching the main thread, copies on worker
// threads, devices pulled out mid-copy, iPods announced from other threads.

#include "device/DeviceManager.h"
#include "device/ios/iPhoneDetector.h"
#include "support/StubDevice.h"
#include "support/TempTree.h"
#include "support/TestFarm.h"

#include <QThread>
#include <atomic>
#include <gtest/gtest.h>
#include <thread>

using namespace kestrap;
using namespace kestrap::sim;

namespace {

constexpr std::int64_t kMiB = 1024 * 1024;

class RecordingManagerDelegate : public DeviceManagerDelegate {
public:
    void DeviceAdded(const std::shared_ptr<iMobileDevice>& device) override
    {
        onMainThread = onMainThread && QThread::currentThread() == QCoreApplication::instance()->thread();
        added.push_back(device);
    }
    void DeviceRemoved(const std::shared_ptr<iMobileDevice>& device) override
    {
        onMainThread = onMainThread && QThread::currentThread() == QCoreApplication::instance()->thread();
        removed.push_back(device);
    }
    std::vector<std::shared_ptr<iMobileDevice>> added;
    std::vector<std::shared_ptr<iMobileDevice>> removed;
    bool onMainThread = true;
};

class DeviceThreadsTest : public ::testing::Test {
protected:
    void start()
    {
        manager.setDeviceSupport(DeviceSupportPhone | DeviceSupportPad | DeviceSupportPod);
        manager.setDelegate(&delegate);
        manager.setMobileDeviceService(farm.service());
        manager.start();
    }

    TestFarm farm;
    TempTree local;
    NotificationCenter center;
    DeviceManager manager {center};
    RecordingManagerDelegate delegate;
};

}  // namespace

TEST_F(DeviceThreadsTest, HotPlugReachesTheDelegateOnTheMainThread)
{
    const QString first = farm.addPhone();
    start();
    ASSERT_TRUE(TestFarm::waitFor([&] { return delegate.added.size() == 1; }));

    // A folder added, the marker created and removed, the folder removed.
    const QString second = farm.addPhone();
    ASSERT_TRUE(TestFarm::waitFor([&] { return delegate.added.size() == 2; }));
    EXPECT_EQ(delegate.added[1]->uuid(), second);
    ASSERT_TRUE(setPlugged(farm.path(), first, false, nullptr));
    ASSERT_TRUE(TestFarm::waitFor([&] { return delegate.removed.size() == 1; }));
    EXPECT_EQ(delegate.removed[0], delegate.added[0]);
    ASSERT_TRUE(setPlugged(farm.path(), first, true, nullptr));
    ASSERT_TRUE(TestFarm::waitFor([&] { return delegate.added.size() == 3; }));
    // Plugged in again, it is a new object.
    EXPECT_NE(delegate.added[2], delegate.added[0]);
    ASSERT_TRUE(QDir(QDir(farm.path()).filePath(second)).removeRecursively());
    ASSERT_TRUE(TestFarm::waitFor([&] { return delegate.removed.size() == 2; }));
    EXPECT_EQ(delegate.removed[1]->uuid(), second);
    EXPECT_EQ(manager.devices().size(), 1u);
    EXPECT_TRUE(delegate.onMainThread);
}

TEST_F(DeviceThreadsTest, PodsAnnouncedFromAnotherThreadAreHandledOnTheMainThread)
{
    start();
    std::thread announcer(
        [&] { center.post(msgNewPodConnected, std::make_shared<StubDevice>("p", "pod", DeviceTypePod)); });
    announcer.join();
    EXPECT_TRUE(delegate.added.empty());  // handed over, not handled on the announcing thread
    ASSERT_TRUE(TestFarm::waitFor([&] { return delegate.added.size() == 1; }));
    EXPECT_TRUE(delegate.onMainThread);
    EXPECT_EQ(manager.devices().back()->name(), QStringLiteral("pod"));
}

TEST_F(DeviceThreadsTest, ConcurrentCopiesAndAnUnplugMidCopy)
{
    const QString app = QStringLiteral("com.example.notes");
    const QString steady = farm.addPhone({{app, QStringLiteral("Notes")}});
    const QString flaky = farm.addPhone({{app, QStringLiteral("Notes")}});
    start();
    ASSERT_TRUE(TestFarm::waitFor([&] { return delegate.added.size() == 2; }));
    SimFaults faults;
    faults.unplugAfterBytes = 7 * kMiB;
    farm.service()->setFaults(flaky, faults);
    const QString source = local.file(QStringLiteral("payload"), 12 * kMiB);

    // Each device served by its own thread, as copy threads do, while the main thread
    // keeps serving the event loop.
    std::atomic<int> finished {0};
    std::map<QString, bool> results;
    std::mutex resultsLock;  // guards results
    std::vector<std::thread> copiers;
    for (const auto& device : delegate.added) {
        auto phone = std::static_pointer_cast<iPhoneDevice>(device);
        copiers.emplace_back([&, phone] {
            bool ok = phone->changeService(app) && phone->createDirectory(QStringLiteral("Documents/in"));
            for (int i = 0; ok && i < 3; ++i)
                ok = phone->uploadFile(QStringLiteral("Documents/in/f%1").arg(i), source);
            std::lock_guard guard(resultsLock);
            results[phone->uuid()] = ok;
            ++finished;
        });
    }
    ASSERT_TRUE(TestFarm::waitFor([&] { return finished == 2; }, 20000));
    for (auto& t : copiers)
        t.join();
    EXPECT_TRUE(results[steady]);
    EXPECT_FALSE(results[flaky]);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(
            QFileInfo(farm.container(steady, app) + QStringLiteral("/Documents/in/f%1").arg(i)).size(), 12 * kMiB);
    // The pulled device is announced gone on the main thread.
    ASSERT_TRUE(TestFarm::waitFor([&] { return delegate.removed.size() == 1; }));
    EXPECT_EQ(delegate.removed[0]->uuid(), flaky);
    EXPECT_TRUE(delegate.onMainThread);
}
