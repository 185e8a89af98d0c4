// The connected devices as the front ends list them, and their marks across jobs.

#include "job/DeviceRoster.h"
#include "job/DeviceRowHistory.h"
#include "job/JobDocument.h"
#include "job/PortJob.h"
#include "support/StubDevice.h"
#include "support/TempTree.h"

#include <gtest/gtest.h>

using namespace kestrap;

namespace {

std::shared_ptr<iMobileDevice> stub(const QString& uid, const QString& name, std::int32_t type = DeviceTypePhone)
{
    return std::make_shared<StubDevice>(uid, name, type);
}

class Roster : public ::testing::Test {
protected:
    JobDocument doc;
    PortJob job;
    DeviceRoster roster;
    QStringList events;

    void SetUp() override
    {
        roster.setJob(&doc, &job);
        QObject::connect(
            &roster, &DeviceRoster::rowAdded, [this](int i) { events << QStringLiteral("added %1").arg(i); });
        QObject::connect(
            &roster, &DeviceRoster::rowRemoved, [this](int i) { events << QStringLiteral("removed %1").arg(i); });
        QObject::connect(
            &roster, &DeviceRoster::rowChanged, [this](int i) { events << QStringLiteral("changed %1").arg(i); });
    }

    QStringList statuses() const
    {
        QStringList out;
        for (const auto& row : roster.rows())
            out << DeviceStatusText(row->status);
        return out;
    }
};

}  // namespace

TEST_F(Roster, RowsInArrivalOrderWithPlaceholdersAndIcons)
{
    const auto pad = stub(QStringLiteral("P1"), QStringLiteral("Pad"), DeviceTypePad);
    roster.DeviceAdded(pad);
    roster.DeviceAdded(stub(QString(), QString(), DeviceTypeTouch));
    roster.DeviceAdded(stub(QStringLiteral("X"), QStringLiteral("Other"), DeviceTypeUnknown));
    ASSERT_EQ(roster.rows().size(), 3u);
    EXPECT_EQ(roster.rows()[0]->icon, "iPad");
    EXPECT_EQ(roster.rows()[1]->name, "n/a");
    EXPECT_EQ(roster.rows()[1]->uid, "n/a");
    EXPECT_EQ(roster.rows()[1]->icon, "iTouch");
    EXPECT_EQ(roster.rows()[2]->icon, "iPhone");

    roster.DeviceRemoved(stub(QStringLiteral("P1"), QStringLiteral("Pad")));  // another object: not ours
    roster.DeviceRemoved(pad);
    EXPECT_EQ(events, (QStringList {"added 0", "added 1", "added 2", "removed 0"}));
    EXPECT_EQ(roster.rows()[0]->uid, "n/a");
}

TEST_F(Roster, DevicesArrivingWhileTheJobWorksAreQueuedAndLeaveWhenUnplugged)
{
    TempTree tree;
    doc.addFilePaths({tree.file(QStringLiteral("a"), 1)});
    job.setConcurrencyOverride(0);  // nothing is served: the queue is all there is to see
    roster.DeviceAdded(stub(QStringLiteral("A"), QStringLiteral("A")));
    EXPECT_TRUE(job.deviceQueue().empty());  // only listed while no job works
    roster.queueAll();
    ASSERT_TRUE(job.start(doc.settings()));
    const auto late = stub(QStringLiteral("L"), QStringLiteral("Late"));
    roster.DeviceAdded(late);
    EXPECT_EQ(job.deviceQueue().size(), 2u);
    EXPECT_EQ(job.statusMessage(), "There are 2 devices in queue.");
    roster.DeviceRemoved(late);
    EXPECT_EQ(job.deviceQueue().size(), 1u);
    // Left out while it waits, a device leaves the queue; taken back, it waits again.
    roster.excludeRow(0);
    EXPECT_TRUE(job.deviceQueue().empty());
    EXPECT_EQ(job.statusMessage(), "Ready for transferring.");
    roster.includeRow(0);
    EXPECT_EQ(job.deviceQueue().size(), 1u);
    job.stop();
}

TEST_F(Roster, ExcludedMarksFollowTheDocumentAcrossNewAndOpen)
{
    TempTree tree;
    for (const char* uid : {"A", "B", "C"})
        roster.DeviceAdded(stub(QString::fromLatin1(uid), QString::fromLatin1(uid)));
    roster.excludeRow(0);
    roster.excludeRow(0);
    roster.excludeRow(9);
    roster.rows()[2]->status = DeviceStatusFinished;  // from an earlier run
    EXPECT_EQ(doc.excludedDevices().size(), 1u);
    EXPECT_EQ(statuses(), (QStringList {"Excluded", "Idle", "Finished"}));

    // A saved job that leaves out B and C.
    JobDocument saved;
    saved.excludeDevice(*roster.rows()[1]);
    saved.excludeDevice(*roster.rows()[2]);
    const QString file = tree.path(QStringLiteral("saved.jcf"));
    ASSERT_TRUE(saved.writeToFile(file));

    // New: a job without exclusions clears A's mark; a finished row keeps its status.
    JobDocument fresh;
    events.clear();
    roster.setJob(&fresh, &job);
    EXPECT_EQ(statuses(), (QStringList {"Idle", "Idle", "Finished"}));
    EXPECT_EQ(events, QStringList {"changed 0"});

    // Open: the file's exclusions mark B and C; taking C back clears its mark only.
    ASSERT_TRUE(fresh.readFromFile(file, false));
    EXPECT_EQ(statuses(), (QStringList {"Idle", "Excluded", "Excluded"}));
    roster.includeExcluded(1);
    EXPECT_EQ(statuses(), (QStringList {"Idle", "Excluded", "Idle"}));
    roster.DeviceAdded(stub(QStringLiteral("B"), QStringLiteral("B again")));
    EXPECT_EQ(statuses().last(), "Excluded");
}

// A station lists a row for every plug-in, for days: the history of a run keeps what its
// summary says of each, and lets go of each device object once nothing else holds its row.
TEST_F(Roster, TheHistoryKeepsEveryRowAndLetsGoOfDevicesNobodyElseHolds)
{
    DeviceRowHistory history(roster);
    std::weak_ptr<iMobileDevice> first;
    {
        const auto device = stub(QStringLiteral("P1"), QStringLiteral("Phone"));
        first = device;
        roster.DeviceAdded(device);
        roster.rows()[0]->status = DeviceStatusFinished;
        roster.DeviceRemoved(device);
    }
    const auto again = stub(QStringLiteral("P1"), QStringLiteral("Phone"));
    roster.DeviceAdded(again);
    // A row someone still holds (a copy that has not ended) keeps its device until then.
    const DeviceRowPtr held = roster.rows()[0];
    roster.DeviceRemoved(again);
    roster.DeviceAdded(stub(QStringLiteral("P2"), QStringLiteral("Pad")));

    ASSERT_EQ(history.rows().size(), 3u);
    EXPECT_TRUE(first.expired());
    EXPECT_EQ(history.rows()[0]->uid, "P1");
    EXPECT_EQ(history.rows()[0]->name, "Phone");
    EXPECT_EQ(history.rows()[0]->status, DeviceStatusFinished);
    EXPECT_EQ(history.rows()[1]->device, again);
    EXPECT_EQ(history.rows()[2]->uid, "P2");
}
