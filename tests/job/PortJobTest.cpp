#include "job/PortJob.h"
#include "job/JobDocument.h"
#include "support/StubDevice.h"
#include "support/TempTree.h"
#include "support/TestFarm.h"

#include <gtest/gtest.h>

using namespace kestrap;

namespace {
DeviceRowPtr rowFor(const QString& uid, std::int32_t type)
{
    auto row = std::make_shared<DeviceRow>();
    row->device = std::make_shared<StubDevice>(uid, QStringLiteral("Dev ") + uid, type);
    row->name = row->device->name();
    row->uid = uid;
    row->icon = DeviceIconName(type);
    row->status = DeviceStatusIdle;
    return row;
}
}  // namespace

TEST(PortJob, NewRunnerIsIdle)
{
    PortJob job;
    EXPECT_EQ(job.statusMessage(), "Not running!");
    EXPECT_FALSE(job.isWorking());
    EXPECT_EQ(job.actionButtonTitle(), "Start");
}

TEST(PortJob, AnExcludedDeviceLeavesTheQueue)
{
    PortJob job;
    const auto a = rowFor("a", DeviceTypePhone);
    const auto b = rowFor("b", DeviceTypePhone);
    job.addDeviceToQueue(a);
    job.addDeviceToQueue(b);
    job.setExcludedDevices({QStringLiteral("a")});
    ASSERT_EQ(job.deviceQueue().size(), 1u);
    EXPECT_EQ(job.deviceQueue()[0]->uid, "b");
    job.addDeviceToQueue(a);  // excluded: not queued again
    EXPECT_EQ(job.deviceQueue().size(), 1u);
    job.setExcludedDevices({});
    job.addDeviceToQueue(a);
    EXPECT_EQ(job.deviceQueue().size(), 2u);
}

// A stop is a state the job is in until its copies end, announced by a signal: nothing
// waits for it on the job's thread, so nothing can pull the job away under a waiting stop.
TEST(PortJob, RequestStopReturnsAtOnceAndSaysWhenTheCopiesEnded)
{
    TempTree tree;
    TestFarm farm;
    sim::SimDeviceSpec model;
    model.apps.push_back({QStringLiteral("com.example.reader"), QStringLiteral("Reader")});
    model.faults.writeDelayMsPerMiB = 2000;
    const QString udid = farm.addDevice(model);
    auto row = std::make_shared<DeviceRow>();
    row->device = farm.open(udid);
    ASSERT_TRUE(row->device);
    row->uid = udid;

    JobDocument document;
    document.setAppId(QStringLiteral("com.example.reader"));
    document.setFolder(QStringLiteral("Documents"));
    for (int i = 0; i < 20; ++i)
        document.addFilePaths({tree.file(QStringLiteral("f%1.bin").arg(i), 256 * 1024)});
    PortJob job;
    QStringList order;
    QObject::connect(&job, &PortJob::workingChanged, [&](bool on) { order << (on ? "working" : "idle"); });
    QObject::connect(&job, &PortJob::stoppingChanged, [&](bool on) { order << (on ? "stopping" : "stopped-state"); });
    QObject::connect(&job, &PortJob::stopped, [&] { order << "stopped"; });
    ASSERT_TRUE(job.start(document.settings()));
    job.addDeviceToQueue(row);
    ASSERT_TRUE(TestFarm::waitFor([&] { return job.runningThreads() == 1; }));

    job.requestStop();
    job.requestStop();  // a second request joins the first
    EXPECT_TRUE(job.isWorking());
    EXPECT_TRUE(job.isStopping());
    ASSERT_TRUE(TestFarm::waitFor([&] { return !job.isWorking(); }, 15000));
    EXPECT_FALSE(job.isStopping());
    EXPECT_EQ(job.runningThreads(), 0);
    EXPECT_EQ(job.statusMessage(), QStringLiteral("Stopped!"));
    EXPECT_EQ(order, (QStringList {"working", "stopping", "idle", "stopped-state", "stopped"}));

    // Stopped, the job starts again and a job destroyed at work stops without an event loop.
    ASSERT_TRUE(job.start(document.settings()));
    job.addDeviceToQueue(row);
    ASSERT_TRUE(TestFarm::waitFor([&] { return job.runningThreads() == 1; }));
}

TEST(DeviceStatus, TextsForEveryKindOfValue)
{
    EXPECT_EQ(DeviceStatusText(std::optional<int>()), "Idle");
    EXPECT_EQ(DeviceStatusText(QVariant()), "Idle");
    const char* texts[] = {"Idle", "Excluded", "Transferring", "Finished", "Failed"};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(DeviceStatusText(std::optional<int>(i)), texts[i]);
        EXPECT_EQ(DeviceStatusText(QVariant(qint64(i))), texts[i]);
    }
    EXPECT_EQ(DeviceStatusText(std::optional<int>(7)), "Unknown");
    EXPECT_EQ(DeviceStatusText(QVariant(-1)), "Unknown");
    EXPECT_EQ(DeviceStatusText(QVariant(qint64(1) << 33)), "Unknown");
    EXPECT_EQ(DeviceStatusText(QVariant(QStringLiteral("3"))), "Unknown");
    EXPECT_EQ(DeviceStatusText(QVariant(3.0)), "Unknown");
}

TEST(DeviceTypes, FromProductTypeAndIcons)
{
    EXPECT_EQ(DeviceTypeFromProductType("iPod7,1"), DeviceTypeTouch);
    EXPECT_EQ(DeviceTypeFromProductType("iPhone14,2"), DeviceTypePhone);
    EXPECT_EQ(DeviceTypeFromProductType("iPad13,4"), DeviceTypePad);
    EXPECT_EQ(DeviceTypeFromProductType("Watch6,1"), DeviceTypeUnknown);
    EXPECT_EQ(DeviceIconName(DeviceTypePad), "iPad");
    EXPECT_EQ(DeviceIconName(DeviceTypeTouch), "iTouch");
    EXPECT_EQ(DeviceIconName(DeviceTypePod), "iPhone");
}
