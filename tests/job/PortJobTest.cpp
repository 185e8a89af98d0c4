#include "job/PortJob.h"
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

TEST(PortJob, NewJobDefaults)
{
    PortJob job;
    EXPECT_EQ(job.statusMessage(), "Not running!");
    EXPECT_EQ(job.allowedPattern(), "*");
    EXPECT_EQ(job.ignoredPattern(), "");
    EXPECT_FALSE(job.ignoredPattern().isNull());
    EXPECT_TRUE(job.isRecursive());
    EXPECT_EQ(job.recursiveDepth(), 3);
    EXPECT_FALSE(job.isAllowedPatternRegex());
    EXPECT_FALSE(job.isIgnoredPatternRegex());
    EXPECT_FALSE(job.isWorking());
    EXPECT_EQ(job.actionButtonTitle(), "Start");
    EXPECT_TRUE(job.appId().isNull());
    EXPECT_TRUE(job.savedFilePath().isNull());
}

TEST(PortJob, FileListSkipsListedPathsAndAnnouncesAroundEachChange)
{
    PortJob job;
    QStringList events;
    const auto rows = [](const ListChange& c) { return QString(" %1-%2").arg(c.first).arg(c.last); };
    QObject::connect(&job, &PortJob::filePathsAboutToChange,
        [&](ListChange c) { events << QString("about %1").arg(job.filePaths().size()) + rows(c); });
    QObject::connect(&job, &PortJob::filePathsChanged,
        [&](ListChange c) { events << QString("changed %1").arg(job.filePaths().size()) + rows(c); });
    QObject::connect(&job, &PortJob::settingChanged, [&](JobSetting s) {
        if (s == JobSetting::AppId)
            events << "appId " + job.appId();
    });
    EXPECT_EQ(job.addFilePaths({"/a", "/b", "/a"}), 2);
    EXPECT_EQ(job.addFilePaths({"/b"}), 0);  // nothing new: no announcement
    job.removeFilePathsAt({0, 7, 0});
    job.setAppId(QStringLiteral("com.x"));
    EXPECT_EQ(events, (QStringList {"about 0 0-1", "changed 2 0-1", "about 2 0-0", "changed 1 0-0", "appId com.x"}));
    ASSERT_EQ(job.filePaths().size(), 1u);
    EXPECT_EQ(job.filePaths()[0]->path, "/b");
}

TEST(PortJob, StartChecksFilesThenAppIdThenFolder)
{
    PortJob job;
    EXPECT_EQ(job.startCheck(), StartCheck::NoFiles);
    job.addFilePaths({"/a"});
    EXPECT_EQ(job.startCheck(), StartCheck::NoAppId);
    job.setAppId(QStringLiteral(" \t"));
    EXPECT_EQ(job.startCheck(), StartCheck::NoAppId);
    job.setAppId(QStringLiteral("com.x"));
    EXPECT_EQ(job.startCheck(), StartCheck::NoFolder);
    job.setFolder(QStringLiteral("Documents"));
    EXPECT_EQ(job.startCheck(), StartCheck::Ready);
}

TEST(PortJob, AnExcludedDeviceLeavesTheQueue)
{
    PortJob job;
    const auto a = rowFor("a", DeviceTypePhone);
    const auto b = rowFor("b", DeviceTypePhone);
    job.addDeviceToQueue(a);
    job.addDeviceToQueue(b);
    job.excludeDevice(*a);
    ASSERT_EQ(job.deviceQueue().size(), 1u);
    EXPECT_EQ(job.deviceQueue()[0]->uid, "b");
    job.addDeviceToQueue(a);  // excluded: not queued again
    EXPECT_EQ(job.deviceQueue().size(), 1u);
}

TEST(PortJob, ExcludingKeepsOneRecordPerUidWithTypeAndNoDevice)
{
    PortJob job;
    auto pad = rowFor(QStringLiteral("A1"), DeviceTypePad);
    job.excludeDevice(*pad);
    pad->name = QStringLiteral("renamed");
    job.excludeDevice(*pad);
    job.excludeDevice(*rowFor(QStringLiteral("B2"), DeviceTypeTouch));
    ASSERT_EQ(job.excludedDevices().size(), 2u);
    const ExcludedDevice& first = job.excludedDevices()[0];
    EXPECT_EQ(first.uid, "A1");
    EXPECT_EQ(first.name, "Dev A1");
    EXPECT_EQ(first.type, DeviceTypePad);
    EXPECT_EQ(first.status.toLongLong(), DeviceStatusIdle);
    EXPECT_TRUE(job.isDeviceExcluded(QStringLiteral("B2")));

    job.includeDeviceAtIndex(0);
    job.includeDeviceAtIndex(5);  // out of range: ignored
    job.includeDeviceAtIndex(-1);
    ASSERT_EQ(job.excludedDevices().size(), 1u);
    EXPECT_EQ(job.excludedDevices()[0].uid, "B2");
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

    PortJob job;
    job.setAppId(QStringLiteral("com.example.reader"));
    job.setFolder(QStringLiteral("Documents"));
    for (int i = 0; i < 20; ++i)
        job.addFilePaths({tree.file(QStringLiteral("f%1.bin").arg(i), 256 * 1024)});
    QStringList order;
    QObject::connect(&job, &PortJob::workingChanged, [&](bool on) { order << (on ? "working" : "idle"); });
    QObject::connect(&job, &PortJob::stoppingChanged, [&](bool on) { order << (on ? "stopping" : "stopped-state"); });
    QObject::connect(&job, &PortJob::stopped, [&] { order << "stopped"; });
    ASSERT_TRUE(job.start());
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
    ASSERT_TRUE(job.start());
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
