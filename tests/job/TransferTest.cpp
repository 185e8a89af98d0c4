// Running jobs on simulated devices: the queue, the scheduler and the copy threads.

#include "support/TransferFixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTimer>
#include <atomic>
#include <cerrno>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <thread>

using namespace kestrap;
using namespace kestrap::sim;

namespace {

// Threads of this process that run below this thread's priority (at a higher nice value).
int threadsBelowThisOne()
{
    const int mine = ::getpriority(PRIO_PROCESS, 0);
    int below = 0;
    for (const QString& tid : QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        errno = 0;
        const int nice = ::getpriority(PRIO_PROCESS, id_t(tid.toInt()));
        below += errno == 0 && nice > mine;
    }
    return below;
}

}  // namespace

TEST_F(Transfer, ConcurrencyLimitsDevicesServedAtOnceAndMessagesFollowTheQueue)
{
    addFiles(2, 256 * 1024);
    job.setConcurrencyOverride(2);
    for (const char* name : {"A", "B", "C"})
        job.addDeviceToQueue(device(QString::fromLatin1(name), true, slowWrites(200)));
    EXPECT_EQ(job.statusMessage(), "There are 3 devices in queue.");
    ASSERT_TRUE(start());
    ASSERT_TRUE(waitFor([&] { return allEnded(); }));
    ASSERT_TRUE(waitFor([&] { return job.statusMessage() == QLatin1String("Ready for transferring."); }));

    EXPECT_EQ(mostServedAtOnce, 2);
    for (const auto& row : rows) {
        EXPECT_EQ(row->status, DeviceStatusFinished) << row->name.toStdString();
        EXPECT_TRUE(row->doneTime);
        EXPECT_EQ(QFileInfo(containerFile(row, QStringLiteral("Documents/f1.bin"))).size(), 256 * 1024);
        EXPECT_EQ(recordOf(row).phase, CopyPhase::Finished);
        EXPECT_EQ(recordOf(row).overall_progress, 100);
        EXPECT_EQ(recordOf(row).transferred_size, 512u * 1024);
    }
    EXPECT_EQ(job.doneDevices().size(), 3u);
    EXPECT_TRUE(messages.contains("Busy"));
    EXPECT_EQ(messages.first(), "There is one device in queue.");
    EXPECT_EQ(messages.last(), "Ready for transferring.");

    job.stop();
    EXPECT_EQ(job.statusMessage(), "Stopped!");
    EXPECT_TRUE(job.doneDevices().empty());
    EXPECT_FALSE(job.isWorking());
}

TEST_F(Transfer, QueueRulesDuplicatesExclusionsAndLateArrivals)
{
    addFiles(1, 1000);
    auto a = device(QStringLiteral("A"));
    auto excluded = device(QStringLiteral("X"));
    job.setExcludedDevices({excluded->uid});
    job.addDeviceToQueue(a);
    job.addDeviceToQueue(a);
    job.addDeviceToQueue(excluded);
    EXPECT_EQ(job.deviceQueue().size(), 1u);

    ASSERT_TRUE(start());
    ASSERT_TRUE(waitFor([&] { return a->status == DeviceStatusFinished; }));
    auto late = device(QStringLiteral("Late"));
    job.addDeviceToQueue(late);
    ASSERT_TRUE(waitFor([&] { return late->status == DeviceStatusFinished; }));
    EXPECT_FALSE(excluded->status);
    EXPECT_FALSE(QFileInfo::exists(containerFile(excluded, QStringLiteral("Documents/f0.bin"))));

    // Served again in the same run after being plugged back in: one record, sums from 0.
    job.addDeviceToQueue(a);
    ASSERT_TRUE(waitFor([&] { return job.doneDevices().size() == 2 && job.deviceQueue().empty(); }));
    ASSERT_TRUE(waitFor([&] { return job.runningThreads() == 0; }));
    EXPECT_EQ(recordOf(a).transferred_size, 1000u);
    EXPECT_EQ(job.transferProgresses().size(), 2u);
}

TEST_F(Transfer, StopDuringACopyAndDuringAPause)
{
    addFiles(3, 2 * 1024 * 1024);
    auto a = device(QStringLiteral("A"), true, slowWrites(300));
    job.addDeviceToQueue(a);
    ASSERT_TRUE(start());
    ASSERT_TRUE(waitFor([&] { return a->status == DeviceStatusTransferring; }));
    job.stop();
    EXPECT_EQ(a->status, DeviceStatusTransferring);
    EXPECT_EQ(recordOf(a).phase, CopyPhase::Cancelled);
    EXPECT_EQ(recordOf(a).overall_progress, 0);
    EXPECT_TRUE(job.doneDevices().empty());
    EXPECT_EQ(job.statusMessage(), "Stopped!");

    // A paused job stops too, resumed or not.
    auto b = device(QStringLiteral("B"));
    job.addDeviceToQueue(b);
    job.pause();
    ASSERT_TRUE(start());
    ASSERT_TRUE(waitFor([&] { return b->status == DeviceStatusTransferring; }));
    job.resume();
    job.pause();
    job.stop();
    EXPECT_FALSE(job.isWorking());
    job.resume();
}

TEST_F(Transfer, ConcurrencyZeroServesNothingAndStillStops)
{
    addFiles(1, 10);
    job.setConcurrencyOverride(0);
    auto a = device(QStringLiteral("A"));
    job.addDeviceToQueue(a);
    ASSERT_TRUE(start());
    QThread::msleep(100);
    TestFarm::waitFor([] { return false; }, 100);
    EXPECT_FALSE(a->status);
    EXPECT_EQ(job.deviceQueue().size(), 1u);
    job.stop();
    EXPECT_EQ(job.statusMessage(), "Stopped!");
    EXPECT_TRUE(job.deviceQueue().empty());
}

TEST_F(Transfer, FailuresOfFilesAppsAndDevices)
{
    // A file that vanished before start fails on its own; the rest still arrive.
    const QString gone = tree.file(QStringLiteral("src/gone.bin"), 10);
    doc.addFilePaths({gone});
    addFiles(1, 100);
    QFile::remove(gone);
    auto a = device(QStringLiteral("A"));
    auto noApp = device(QStringLiteral("NoApp"), false);
    job.addDeviceToQueue(a);
    job.addDeviceToQueue(noApp);
    ASSERT_TRUE(start());
    ASSERT_TRUE(waitFor([&] { return allEnded(); }));

    EXPECT_EQ(a->status, DeviceStatusFinished);
    EXPECT_TRUE(QFileInfo::exists(containerFile(a, QStringLiteral("Documents/f0.bin"))));
    EXPECT_EQ(job.doneDevices().size(), 1u);

    EXPECT_EQ(noApp->status, DeviceStatusFailed);
    EXPECT_EQ(recordOf(noApp).phase, CopyPhase::Failed);
    EXPECT_EQ(recordOf(noApp).overall_progress, 0);
    EXPECT_EQ(recordOf(noApp).file_progress, 0);
    EXPECT_EQ(farm.calls(noApp->uid, "AFCFileRefOpen"), 0);

    // Not an iOS device at all.
    auto other = std::make_shared<DeviceRow>();
    other->name = QStringLiteral("Disk");
    other->uid = QStringLiteral("disk-1");
    rows.push_back(other);
    job.addDeviceToQueue(other);
    ASSERT_TRUE(waitFor([&] { return other->status == DeviceStatusFailed; }));
}

TEST_F(Transfer, UnpluggedDevicesLeaveTheQueueOrEndFailed)
{
    addFiles(4, 1024 * 1024);
    job.setConcurrencyOverride(1);
    job.setConnectionsOverride(1);
    SimFaults unplugMidway = slowWrites(50);
    unplugMidway.unplugAfterBytes = 1024 * 1024 + 512 * 1024;
    auto a = device(QStringLiteral("A"), true, unplugMidway);
    auto waiting = device(QStringLiteral("W"));
    job.addDeviceToQueue(a);
    job.addDeviceToQueue(waiting);
    ASSERT_TRUE(start());
    ASSERT_TRUE(waitFor([&] { return a->status == DeviceStatusTransferring; }));
    job.removeDeviceFromQueue(waiting);
    EXPECT_TRUE(job.deviceQueue().empty());
    EXPECT_EQ(job.statusMessage(), "Ready for transferring.");

    // Pulled mid-file: it fails at once, before anyone says it is gone, and no further
    // file is tried on it.
    ASSERT_TRUE(waitFor([&] { return a->status == DeviceStatusFailed; }));
    EXPECT_FALSE(farm.service()->currentRecord(a->uid));
    EXPECT_EQ(recordOf(a).phase, CopyPhase::Failed);
    EXPECT_EQ(recordOf(a).files_failed, 1);
    EXPECT_EQ(recordOf(a).error, "the device was disconnected");
    job.removeDeviceFromQueue(a);
    EXPECT_TRUE(job.doneDevices().empty());
    EXPECT_FALSE(waiting->status);
}

TEST_F(Transfer, ProgressRecordsOverallPercentAndSpeed)
{
    // Slow enough that every file outlasts the display's coalescing interval.
    addFiles(4, 100 * 1024);
    job.setConnectionsOverride(1);
    auto a = device(QStringLiteral("A"), true, slowWrites(1500));
    std::vector<int> overall;
    QObject::connect(&job, &PortJob::transferProgressChanged, [&] {
        const int v = recordOf(a).overall_progress;
        if (overall.empty() || overall.back() != v)
            overall.push_back(v);
    });
    job.addDeviceToQueue(a);
    ASSERT_TRUE(start());
    ASSERT_TRUE(waitFor([&] { return allEnded(); }));
    EXPECT_EQ(overall, (std::vector<int> {0, 25, 50, 75, 100}));
}

TEST(JobEventsTest, AReportingCopyWakesTheJobsThreadAboutOnceAnIntervalAndItsLastValueArrives)
{
    JobEvents events;
    const auto posted = std::make_shared<std::atomic<bool>>(false);
    std::atomic<int> value {0};
    std::atomic<bool> done {false};
    int delivered = 0;
    int shown = -1;
    QObject::connect(&events, &JobEvents::progress, [&](int) {
        ++delivered;
        shown = value.load();
    });
    int posts = 0;
    QElapsedTimer clock;
    clock.start();
    std::thread copy([&] {
        for (int i = 1; i <= 1000; ++i) {
            value = i;
            posts += events.postProgress(0, posted) ? 1 : 0;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        done = true;
    });
    // No drain(): what was held back must arrive by itself.
    while (!done || clock.elapsed() < 300 || shown != 1000) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
        if (clock.elapsed() > 10000)
            break;
    }
    copy.join();
    const qint64 intervals = clock.elapsed() / JobEvents::kProgressInterval.count();
    EXPECT_EQ(shown, 1000);
    EXPECT_LE(posts, intervals + 2);
    EXPECT_LE(delivered, intervals + 2);
}

TEST_F(Transfer, StartRefusesAnEmptySendList)
{
    doc.addFilePaths({tree.folder(QStringLiteral("empty"))});
    auto a = device(QStringLiteral("A"));
    job.addDeviceToQueue(a);
    const JobResult started = start();
    ASSERT_FALSE(started);
    EXPECT_EQ(started.error().domain, "Start");
    EXPECT_EQ(started.error().code, -1);
    EXPECT_EQ(started.error().description, "No files to copy, please check the filter settings.");
    EXPECT_FALSE(job.isWorking());
    EXPECT_EQ(job.deviceQueue().size(), 1u);
}

TEST_F(Transfer, AJobThatGoesWhileItWorksStopsFirst)
{
    addFiles(2, 1024 * 1024);
    auto job2 = std::make_unique<PortJob>();
    job2->setProgressPauseOverride(0);
    job2->setConcurrencyOverride(1);
    auto a = device(QStringLiteral("A"), true, slowWrites(100));
    job2->addDeviceToQueue(a);
    ASSERT_TRUE(job2->start(doc.settings()));
    ASSERT_TRUE(waitFor([&] { return a->status == DeviceStatusTransferring; }));
    job2.reset();  // no crash, no thread left behind
    EXPECT_EQ(a->status, DeviceStatusTransferring);
}

TEST_F(Transfer, ACopyNeverWaitsForTheMainThreadNorTheMainThreadForItsDevice)
{
    // Slow writes: the copy holds its device for about two seconds.
    addFiles(1, 6 * 1024 * 1024);
    auto a = device(QStringLiteral("A"), true, slowWrites(300));
    ASSERT_EQ(a->device->appBundles().size(), 1u);  // read once, then cached
    job.addDeviceToQueue(a);
    const int belowBefore = threadsBelowThisOne();
    ASSERT_TRUE(start());
    // From here on this thread runs no event loop: a copy that waited for it would hang.
    ASSERT_TRUE(TestFarm::waitFor(
        [&] {
            const auto r = recordOf(a);
            return r.file_progress > 0 && r.file_progress < 100;
        },
        30000, false));
    QElapsedTimer clock;
    clock.start();
    EXPECT_GT(a->device->capacity(), 0u);
    EXPECT_GT(a->device->freeCapacity(), 0u);
    EXPECT_EQ(a->device->name(), "A");
    EXPECT_EQ(a->device->appBundles().size(), 1u);
    EXPECT_LT(clock.elapsed(), 500);  // the copy holds the device far longer
    // The copy gives way to this thread when both want a core, and only the copy does: a
    // thread it started (the logging thread, on its first message) would inherit that.
    EXPECT_EQ(threadsBelowThisOne(), belowBefore + 1);
    // A call that needs the device's connection waits for the copy's step, never for ever.
    a->device->getSizeOfItemAtPath(QStringLiteral("/Documents"));
    ASSERT_TRUE(TestFarm::waitFor([&] { return job.runningThreads() == 0; }, 30000, false));
    EXPECT_EQ(readFileBytes(containerFile(a, QStringLiteral("Documents/f0.bin"))).size(), 6 * 1024 * 1024);
    EXPECT_EQ(recordOf(a).phase, CopyPhase::Finished);
}

TEST_F(Transfer, SignalsComeInOrderCoalescedAndEndOnTheFinalValues)
{
    addFiles(40, 64 * 1024);
    auto a = device(QStringLiteral("A"), true, slowWrites(100));
    QStringList seen;
    int progressSignals = 0;
    QObject::connect(&job, &PortJob::transferProgressAdded, [&](int i) { seen << QStringLiteral("added %1").arg(i); });
    QObject::connect(&job, &PortJob::transferProgressChanged, [&](int i) {
        ++progressSignals;
        const ProgressRecord r = job.transferProgressAt(i);
        seen << (r.phase == CopyPhase::Finished ? QStringLiteral("Finished") : QString());
    });
    QObject::connect(
        &job, &PortJob::deviceStatusChanged, [&](const DeviceRowPtr& row) { seen << DeviceStatusText(row->status); });
    job.addDeviceToQueue(a);
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(start());
    ASSERT_TRUE(waitFor([&] { return seen.contains("Finished") && allEnded(); }));
    const qint64 ms = clock.elapsed();

    EXPECT_EQ(seen.first(), "Transferring");
    EXPECT_EQ(seen[1], "added 0");
    EXPECT_EQ(seen.last(), "Finished");  // the row's status after the record's last value
    EXPECT_EQ(seen[seen.size() - 2], "Finished");
    EXPECT_EQ(job.transferProgressCount(), 1);
    EXPECT_EQ(job.transferProgressAt(0).overall_progress, 100);
    // 40 files and 80 reports, but no more than about one delivery per 50 ms.
    EXPECT_LE(progressSignals, ms / 50 + 3);
}

TEST_F(Transfer, StopCalledAgainWhileStoppingDoesNothing)
{
    addFiles(2, 2 * 1024 * 1024);
    auto a = device(QStringLiteral("A"), true, slowWrites(300));
    int stopped = 0;
    QObject::connect(&job, &PortJob::workingChanged, [&](bool working) { stopped += !working; });
    job.addDeviceToQueue(a);
    ASSERT_TRUE(start());
    ASSERT_TRUE(waitFor([&] { return a->status == DeviceStatusTransferring; }));
    // Quitting, or a second click, lands in the event loop that the first stop runs.
    QTimer::singleShot(0, &job, [&] { job.stop(); });
    QTimer::singleShot(1, &job, [&] { job.stop(); });
    job.stop();
    EXPECT_EQ(stopped, 1);
    EXPECT_EQ(job.statusMessage(), "Stopped!");
    job.stop();
    EXPECT_EQ(stopped, 1);
}

TEST_F(Transfer, ARunKeepsTheSettingsItStartedWith)
{
    addFiles(1, 1000);
    job.setConcurrencyOverride(1);
    auto first = device(QStringLiteral("First"), true, slowWrites(3000000));
    job.addDeviceToQueue(first);
    ASSERT_TRUE(start());
    ASSERT_TRUE(waitFor([&] { return first->status == DeviceStatusTransferring; }));
    doc.setAppId(QStringLiteral("com.example.other"));
    doc.setFolder(QStringLiteral("Elsewhere"));
    doc.addFilePaths({tree.file(QStringLiteral("later.bin"), 10)});
    EXPECT_EQ(job.singleFiles().size(), 1u);

    // Queued while the only slot is busy: it waits, then gets what the run began with.
    auto second = device(QStringLiteral("Second"));
    job.addDeviceToQueue(second);
    EXPECT_EQ(job.deviceQueue().size(), 1u);
    ASSERT_TRUE(waitFor([&] { return allEnded(); }));
    EXPECT_EQ(mostServedAtOnce, 1);
    for (const auto& row : {first, second}) {
        EXPECT_EQ(row->status, DeviceStatusFinished);
        EXPECT_TRUE(QFileInfo::exists(containerFile(row, QStringLiteral("Documents/f0.bin"))));
        EXPECT_FALSE(QFileInfo::exists(containerFile(row, QStringLiteral("Elsewhere"))));
    }
}

TEST_F(Transfer, AJobDestroyedMidRunLeavesNoDelegateBehind)
{
    addFiles(1, 12 * 1024 * 1024);
    auto a = device(QStringLiteral("A"), true, slowWrites(100));
    auto doomed = std::make_unique<PortJob>();
    doomed->setProgressPauseOverride(0);
    doomed->addDeviceToQueue(a);
    ASSERT_TRUE(doomed->start(doc.settings()));
    ASSERT_TRUE(waitFor([&] { return doomed->transferProgresses().size() == 1; }));
    doomed.reset();
    // The device holds nothing of the destroyed job: its next upload reports to nobody.
    ASSERT_TRUE(a->device->changeService(QStringLiteral("/")));
    EXPECT_TRUE(a->device->uploadFile(QStringLiteral("again.bin"), doc.filePaths()[0]->path));
}

TEST_F(Transfer, CopiesNeverWaitForTheDisplayAndItsLastUpdateArrivesWhateverTheInterval)
{
    // An hour between two updates of a row: a copy that waited for the display would never
    // end here; one that does not sends its 40 files and the row still shows the end.
    job.setProgressPauseOverride(3600);
    addFiles(40, 4096);
    auto a = device(QStringLiteral("A"));
    int updates = 0;
    QObject::connect(&job, &PortJob::transferProgressChanged, [&] { ++updates; });
    job.addDeviceToQueue(a);
    ASSERT_TRUE(start());
    ASSERT_TRUE(waitFor([&] { return allEnded(); }));
    const ProgressRecord r = recordOf(a);
    EXPECT_EQ(r.files_sent, 40);
    EXPECT_EQ(r.phase, CopyPhase::Finished);
    EXPECT_EQ(r.overall_progress, 100);
    EXPECT_LE(updates, 3);  // the first, perhaps one held back, and the final one
}
