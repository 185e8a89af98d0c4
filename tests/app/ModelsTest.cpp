#include "app/AlertController.h"
#include "app/AppController.h"
#include "app/DeviceTableModel.h"
#include "app/FileTableModel.h"
#include "app/KestrapAppDelegate.h"
#include "app/MainWindow.h"
#include "app/TransferTableModel.h"
#include "job/DeviceRoster.h"
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
        PortJob& job = *controller.currentJob();
        job.addFilePaths(makeFiles(files, 64 * 1024));
        job.setAppId(kBundle);
        job.setFolder(QStringLiteral("Documents"));
        job.setConcurrencyOverride(devices);
        job.setProgressPauseOverride(0);
        controller.startDevices(farm.service());
        ASSERT_TRUE(TestFarm::waitFor([&] { return int(controller.roster().rows().size()) == devices; }));
    }
};

}  // namespace

TEST_F(App, ModelsRepaintOnlyTheRowsAndCellsThatChanged)
{
    AppController controller(alerts, panels, defaults);
    prepare(controller, 3, 4, 0);
    PortJob& job = *controller.currentJob();
    DeviceTableModel devices(controller.roster());
    TransferTableModel transfers;
    transfers.setJob(&job);
    FileTableModel files;
    files.setJob(&job);
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
    // Status changes repaint the status cell of one row: Transferring, then Finished.
    EXPECT_EQ(deviceChanges->size(), 6u);
    for (const Change& c : *deviceChanges) {
        EXPECT_EQ(c.top, c.bottom);
        EXPECT_EQ(c.left, DeviceTableModel::Status);
        EXPECT_EQ(c.right, DeviceTableModel::Status);
    }
    EXPECT_EQ(devices.data(devices.index(0, DeviceTableModel::Status), Qt::DisplayRole), QStringLiteral("Finished"));
    EXPECT_EQ(transfers.data(transfers.index(0, TransferTableModel::OverallProgress), Qt::DisplayRole).toInt(), 100);

    // A new job folder repaints the folder column of the file table, nothing else.
    job.setFolder(QStringLiteral("Inbox"));
    ASSERT_EQ(fileChanges->size(), 1u);
    EXPECT_EQ((*fileChanges)[0].top, 0);
    EXPECT_EQ((*fileChanges)[0].bottom, 3);
    EXPECT_EQ((*fileChanges)[0].left, FileTableModel::Folder);
    EXPECT_EQ((*fileChanges)[0].right, FileTableModel::Folder);
    EXPECT_EQ(files.data(files.index(0, FileTableModel::Folder), Qt::DisplayRole), QStringLiteral("Inbox"));
}

TEST_F(App, ClosingTheWindowDuringARunAsksAndCancelKeepsBothGoing)
{
    KestrapAppDelegate delegate(alerts, panels, defaults);
    AppController& controller = delegate.controller();
    prepare(controller, 1, 40, 2000);
    controller.OnStart();
    ASSERT_TRUE(controller.currentJob()->isWorking());
    panels.savePath = dir.filePath(QStringLiteral("run.jcf"));
    controller.OnSave();  // settled: only the running job is asked about
    int quits = 0;
    QObject::connect(&controller, &AppController::quitReady, [&] { ++quits; });
    delegate.window().show();

    delegate.window().close();  // Cancel: unscripted answers are a closed box
    EXPECT_EQ(script.asked.size(), 1u);
    EXPECT_EQ(script.asked.back().title, QStringLiteral("Stop the running job and quit?"));
    EXPECT_TRUE(delegate.window().isVisible());
    EXPECT_TRUE(controller.currentJob()->isWorking());
    EXPECT_FALSE(controller.currentJob()->isPaused());
    EXPECT_EQ(quits, 0);

    // Agreed: the stop shows in the window, and the program may end once it is done.
    script.answer(1);
    delegate.window().close();
    EXPECT_EQ(delegate.window().startButton()->text(), QStringLiteral("Stopping\u2026"));
    EXPECT_FALSE(delegate.window().startButton()->isEnabled());
    EXPECT_TRUE(TestFarm::waitFor([&] { return quits == 1; }, 15000));
    EXPECT_FALSE(controller.currentJob()->isWorking());
    EXPECT_TRUE(delegate.window().startButton()->isEnabled());
}
