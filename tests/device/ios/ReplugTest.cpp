// A station re-plugs its devices for days: every attachment must give back what it took.

#include "device/DeviceManager.h"
#include "support/ProcessResources.h"
#include "support/TestFarm.h"

#include <gtest/gtest.h>

using namespace kestrap;
using namespace kestrap::sim;

namespace {

class CountingDelegate : public DeviceManagerDelegate {
public:
    void DeviceAdded(const std::shared_ptr<iMobileDevice>&) override { ++added; }
    void DeviceRemoved(const std::shared_ptr<iMobileDevice>&) override { ++removed; }
    int added = 0;
    int removed = 0;
};

}  // namespace

TEST(Replug, ADeviceReplugged1000TimesThroughTheDetectorKeepsThreadsDescriptorsAndMemoryFlat)
{
    TestFarm farm;
    const QString udid = farm.addPhone({{QStringLiteral("com.example.notes"), QStringLiteral("Notes")}});
    const QString steady = farm.addPhone();
    NotificationCenter center;
    DeviceManager manager(center);
    CountingDelegate delegate;
    manager.setDeviceSupport(DeviceSupportPhone);
    manager.setDelegate(&delegate);
    manager.setMobileDeviceService(farm.service());
    manager.start();
    ASSERT_TRUE(TestFarm::waitFor([&] { return delegate.added == 2; }));

    const auto replug = [&](int times) {
        for (int i = 0; i < times; ++i) {
            ASSERT_TRUE(setPlugged(farm.path(), udid, false, nullptr));
            farm.service()->rescan();
            ASSERT_TRUE(setPlugged(farm.path(), udid, true, nullptr));
            farm.service()->rescan();
        }
        const int added = 2 + times;
        ASSERT_TRUE(TestFarm::waitFor([&] { return delegate.added >= added && delegate.removed >= added - 2; }));
    };
    // The first rounds fill the caches that stay (Qt's, the allocator's).
    replug(200);
    const ProcessResources before = ProcessResources::now();
    replug(1000);
    const ProcessResources after = ProcessResources::now();

    EXPECT_EQ(manager.devices().size(), 2u);
    EXPECT_EQ(after.threads, before.threads);
    EXPECT_EQ(after.descriptors, before.descriptors);
    // Records kept for good took about 190 bytes an attachment: 190 KB here.
    EXPECT_LT(after.heapBytes - before.heapBytes, 64 * 1024) << "heap grew by " << after.heapBytes - before.heapBytes;
    EXPECT_LE(farm.service()->recordCount(), 2u);
}
