#include "app/AlertController.h"
#include "app/AppController.h"
#include "app/DeviceTableModel.h"
#include "app/FileTableModel.h"
#include "app/KestrapAppDelegate.h"
#include "app/MainWindow.h"
#include "app/RunSummary.h"
#include "app/TransferTableModel.h"
#include "app/Transformers.h"
#include "job/DeviceRoster.h"
#include "job/JobDocument.h"
#include "job/PortJob.h"
#include "settings/UserDefaults.h"
#include "support/ScriptedAlerts.h"
#include "support/TestFarm.h"

#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kestrap;
using namespace kestrap::app;

namespace {

const QString kBundle = QStringLiteral("com.example.reader");

struct Change {
    int top, bottom, left, right;
};

std::vector<Change>* record(QAbstractItemModel& model)
{
    auto* changes = new std::vector<Change>;
    QObject::connect(
        &model, &QAbstractItemModel::dataChanged, &model, [changes](const QModelIndex& a, const QModelIndex& b) {
            changes->push_back({a.row(), b.row(), a.column(), b.column()});
        });
    QObject::connect(&model, &QObject::destroyed, [changes] { delete changes; });
    return changes;
}

struct App : ::testing::Test {
    QTemporaryDir dir;
    SettingsUserDefaults defaults {dir.filePath(QStringLiteral("d.ini"))};
    ScriptedAlerts script;
    ScriptedPanels panels;
    AlertController alerts {script, defaults};
    TestFarm farm;

    QStringList makeFiles(int count, int bytes)
    {
        QStringList paths;
        for (int i = 0; i < count; ++i) {
            paths << dir.filePath(QStringLiteral("f%1.bin").arg(i));
            QFile f(paths.back());
            f.open(QIODevice::WriteOnly);
            f.write(QByteArray(bytes, 'x'));
        }
        return paths;
    }

    void prepare(AppController& controller, int devices, int files, std::int64_t msPerMiB)
    {
        for (int i = 0; i < devices; ++i) {
            const QString udid = farm.addPhone({{kBundle, QStringLiteral("Reader")}});
            sim::SimFaults faults;
            faults.writeDelayMsPerMiB = msPerMiB;
            farm.service()->setFaults(udid, faults);
        }
        JobDocument& document = *controller.currentDocument();
        document.addFilePaths(makeFiles(files, 64 * 1024));
        document.setAppId(kBundle);
        document.setFolder(QStringLiteral("Documents"));
        controller.runner()->setConcurrencyOverride(devices);
        controller.runner()->setProgressPauseOverride(0);
        controller.startDevices(farm.service());
        ASSERT_TRUE(TestFarm::waitFor([&] { return int(controller.roster().rows().size()) == devices; }));
    }
};

}  // namespace

TEST_F(App, ModelsRepaintOnlyTheRowsAndCellsThatChanged)
{
    AppController controller(alerts, panels, defaults);
    prepare(controller, 3, 4, 0);
    PortJob& job = *controller.runner();
    DeviceTableModel devices(controller.roster());
    TransferTableModel transfers;
    transfers.setJob(&job);
    FileTableModel files;
    files.setDocument(controller.currentDocument());
    auto* deviceChanges = record(devices);
    auto* transferChanges = record(transfers);
    auto* fileChanges = record(files);
    std::vector<int> progressed;
    QObject::connect(&job, &PortJob::transferProgressChanged, [&](int i) { progressed.push_back(i); });
    int inserted = 0;
    QObject::connect(&transfers, &QAbstractItemModel::rowsInserted, [&] { ++inserted; });

    controller.OnStart();
    ASSERT_TRUE(TestFarm::waitFor([&] { return job.doneDevices().size() == 3; }, 20000));
    QCoreApplication::processEvents();
    controller.OnStart();

    EXPECT_EQ(inserted, 3);
    EXPECT_EQ(transfers.rowCount(), 3);
    // One change per progress signal, each for that device's row alone.
    ASSERT_EQ(transferChanges->size(), progressed.size());
    for (std::size_t i = 0; i < progressed.size(); ++i) {
        EXPECT_EQ((*transferChanges)[i].top, progressed[i]);
        EXPECT_EQ((*transferChanges)[i].bottom, progressed[i]);
    }
    // Status changes (Transferring, then Finished) repaint one row from its status on, through
    // its details; each progress report the status cell of its device.
    EXPECT_EQ(deviceChanges->size(), 6u + 3u + progressed.size());
    int wide = 0;
    for (const Change& c : *deviceChanges) {
        EXPECT_EQ(c.top, c.bottom);
        EXPECT_EQ(c.left, DeviceTableModel::Status);
        wide += c.right != DeviceTableModel::Status;
    }
    EXPECT_EQ(wide, 6);
    EXPECT_EQ(devices.data(devices.index(0, DeviceTableModel::Status), Qt::DisplayRole), QStringLiteral("Finished"));
    EXPECT_EQ(transfers.data(transfers.index(0, TransferTableModel::OverallProgress), Qt::DisplayRole).toInt(), 100);

    // A new job folder repaints the folder column of the file table, nothing else.
    controller.currentDocument()->setFolder(QStringLiteral("Inbox"));
    ASSERT_EQ(fileChanges->size(), 1u);
    EXPECT_EQ((*fileChanges)[0].top, 0);
    EXPECT_EQ((*fileChanges)[0].bottom, 3);
    EXPECT_EQ((*fileChanges)[0].left, FileTableModel::Folder);
    EXPECT_EQ((*fileChanges)[0].right, FileTableModel::Folder);
    EXPECT_EQ(files.data(files.index(0, FileTableModel::Folder), Qt::DisplayRole), QStringLiteral("Inbox"));
}

TEST_F(App, ClosingTheWindowDuringARunAsksAndCancelKeepsBothGoing)
{
#if defined(__SANITIZE_THREAD__)
    // The window's work goes through Qt's thread pool, whose hand-overs inside the
    // uninstrumented Qt library ThreadSanitizer takes for races; the other builds run this.
    GTEST_SKIP() << "not under ThreadSanitizer";
#endif
    KestrapAppDelegate delegate(alerts, panels, defaults);
    AppController& controller = delegate.controller();
    prepare(controller, 1, 40, 2000);
    controller.OnStart();
    ASSERT_TRUE(TestFarm::waitFor([&] { return controller.runner()->isWorking(); }));
    panels.savePath = dir.filePath(QStringLiteral("run.jcf"));
    controller.OnSave();  // settled: only the running job is asked about
    int quits = 0;
    QObject::connect(&controller, &AppController::quitReady, [&] { ++quits; });
    delegate.window().show();

    delegate.window().close();  // Cancel: unscripted answers are a closed box
    EXPECT_EQ(script.asked.size(), 1u);
    EXPECT_EQ(script.asked.back().title, QStringLiteral("Stop the running job and quit?"));
    EXPECT_TRUE(delegate.window().isVisible());
    EXPECT_TRUE(controller.runner()->isWorking());
    EXPECT_FALSE(controller.runner()->isPaused());
    EXPECT_EQ(quits, 0);

    // Agreed: the stop shows in the window, and the program may end once it is done.
    script.answer(1);
    delegate.window().close();
    EXPECT_EQ(delegate.window().startButton()->text(), QStringLiteral("Stopping\u2026"));
    EXPECT_FALSE(delegate.window().startButton()->isEnabled());
    EXPECT_TRUE(TestFarm::waitFor([&] { return quits == 1; }, 15000));
    EXPECT_FALSE(controller.runner()->isWorking());
    EXPECT_TRUE(delegate.window().startButton()->isEnabled());
}

TEST_F(App, AFailedDeviceSaysWhyInItsRowAndTheEndOfTheRunSumsUp)
{
    AppController controller(alerts, panels, defaults);
    prepare(controller, 1, 3, 0);
    farm.addPhone();  // without the app
    ASSERT_TRUE(TestFarm::waitFor([&] { return controller.roster().rows().size() == 2; }));
    const auto& rows = controller.roster().rows();
    controller.runner()->setConcurrencyOverride(2);
    TransferTableModel transfers;
    transfers.setDeviceNames([&](const QString& uid) { return controller.deviceName(uid); });
    transfers.setJob(controller.runner());

    controller.OnStart();
    ASSERT_TRUE(TestFarm::waitFor([&] { return !script.asked.empty(); }, 15000));
    EXPECT_EQ(script.asked.size(), 1u);
    const AlertRequest& summary = script.asked.back();
    EXPECT_EQ(summary.title, QStringLiteral("1 device finished, 1 failed."));
    ASSERT_EQ(summary.files.size(), 1);
    EXPECT_TRUE(summary.files[0].startsWith(rows[1]->name + QStringLiteral(": Failed: ")))
        << summary.files[0].toStdString();

    ASSERT_EQ(transfers.rowCount(), 2);
    QStringList texts;
    for (int i = 0; i < 2; ++i)
        texts << transfers.data(transfers.index(i, TransferTableModel::DeviceFile), Qt::DisplayRole).toString();
    texts.sort();
    EXPECT_EQ(texts[0], rows[0]->name + QStringLiteral(" - Finished")) << texts.join(u'|').toStdString();
    EXPECT_TRUE(texts[1].startsWith(rows[1]->name + QStringLiteral(" - Failed: "))) << texts[1].toStdString();
    EXPECT_GT(texts[1].size(), (rows[1]->name + QStringLiteral(" - Failed: ")).size());

    // The run goes on: a device served later is summed up on its own, the others not again.
    controller.OnStart();
    ASSERT_TRUE(TestFarm::waitFor([&] { return controller.runner()->isWorking(); }));
    ASSERT_TRUE(TestFarm::waitFor([&] { return !controller.runner()->isWorking(); }, 15000));
    EXPECT_EQ(script.asked.size(), 1u);
}

TEST(RunSummary, CountsEachEndingOnceAndListsWhatDidNotGetEverything)
{
    const auto record = [](const char* uid, CopyPhase phase, double ended, int failed = 0, const char* error = "") {
        ProgressRecord r;
        r.deviceid = QString::fromLatin1(uid);
        r.phase = phase;
        r.ended = ended;
        r.files_sent = 5;
        r.files_failed = failed;
        r.error = QString::fromLatin1(error);
        return r;
    };
    const auto name = [](const QString& uid) { return QStringLiteral("Dev ") + uid; };
    RunSummarizer summarizer;
    std::vector<ProgressRecord> records {record("a", CopyPhase::Finished, 10),
        record("b", CopyPhase::Finished, 11, 2, "no space left on the device"),
        record("c", CopyPhase::Failed, 12, 0, "app not installed"), record("d", CopyPhase::Sending, 0),
        record("e", CopyPhase::Cancelled, 13)};
    RunSummary s = summarizer.summarize(records, name, 1);
    EXPECT_EQ(s.headline(), QStringLiteral("2 devices finished (1 with failed files), 1 failed, 2 skipped."));
    EXPECT_EQ(s.problems,
        (QStringList {QStringLiteral("Dev b: Finished, 2 failed (no space left on the device)"),
            QStringLiteral("Dev c: Failed: app not installed")}));

    // Only servings that ended since: d finished now, c was served again.
    records[3] = record("d", CopyPhase::Finished, 20);
    records[2] = record("c", CopyPhase::Failed, 21);
    s = summarizer.summarize(records, name, 0);
    EXPECT_EQ(s.headline(), QStringLiteral("1 device finished, 1 failed."));
    EXPECT_EQ(s.problems, QStringList {QStringLiteral("Dev c: Failed")});
    EXPECT_TRUE(summarizer.summarize(records, name, 0).isEmpty());
}

TEST(RunSummary, ListsTheFailedFilesUnderTheirDeviceBoundedWithTheRestCounted)
{
    ProgressRecord r;
    r.deviceid = QStringLiteral("a");
    r.phase = CopyPhase::Finished;
    r.ended = 10;
    r.files_failed = 2;
    r.error = QStringLiteral("no space left on the device");
    r.failed_files = {{QStringLiteral("/data/a.pdf"), QStringLiteral("input/output error")},
        {QStringLiteral("/data/b.pdf"), QStringLiteral("no space left on the device")}};
    ProgressRecord gone = r;
    gone.deviceid = QStringLiteral("b");
    gone.phase = CopyPhase::Failed;
    gone.error = QStringLiteral("the device went away");
    gone.files_failed = 25;
    const auto name = [](const QString& uid) { return QStringLiteral("Dev ") + uid; };

    RunSummarizer summarizer;
    const RunSummary s = summarizer.summarize({r, gone}, name, 0);
    EXPECT_EQ(s.problems,
        (QStringList {QStringLiteral("Dev a: Finished, 2 failed"),
            QStringLiteral("    /data/a.pdf: input/output error"),
            QStringLiteral("    /data/b.pdf: no space left on the device"),
            QStringLiteral("Dev b: Failed: the device went away"),
            QStringLiteral("    /data/a.pdf: input/output error"),
            QStringLiteral("    /data/b.pdf: no space left on the device"), QStringLiteral("    and 23 more")}));
}

TEST(TransferState, WordsEachPhaseFromItsValues)
{
    ProgressRecord r;
    EXPECT_EQ(TransferStateText(r), QStringLiteral("Waiting"));
    r.phase = CopyPhase::Finished;
    r.files_sent = 38;
    EXPECT_EQ(TransferStateText(r), QStringLiteral("Finished"));
    EXPECT_EQ(TransferCountsText(r), QStringLiteral("38 sent"));
    r.files_failed = 2;
    r.files_skipped = 5;
    EXPECT_EQ(TransferStateText(r), QStringLiteral("Finished, 2 failed"));
    EXPECT_EQ(TransferCountsText(r), QStringLiteral("38 sent, 2 failed, 5 unchanged"));
    r.files_removed = 3;
    EXPECT_EQ(TransferCountsText(r), QStringLiteral("38 sent, 2 failed, 5 unchanged, 3 removed"));
    r.phase = CopyPhase::Failed;
    EXPECT_EQ(TransferStateText(r), QStringLiteral("Failed"));
    r.error = QStringLiteral("app not installed");
    EXPECT_EQ(TransferStateText(r), QStringLiteral("Failed: app not installed"));
    r.phase = CopyPhase::Cancelled;
    EXPECT_EQ(TransferStateText(r), QStringLiteral("Cancelled"));
}
