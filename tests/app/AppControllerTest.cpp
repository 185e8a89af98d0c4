#include "app/AppController.h"
#include "app/AlertController.h"
#include "job/DeviceRoster.h"
#include "job/PortJob.h"
#include "settings/UserDefaults.h"
#include "support/ScriptedAlerts.h"
#include "support/TestFarm.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kestrap;
using namespace kestrap::app;

namespace {

const QString kBundle = QStringLiteral("com.example.reader");

struct Controller : ::testing::Test {
    QTemporaryDir dir;
    SettingsUserDefaults defaults {dir.filePath(QStringLiteral("d.ini"))};
    ScriptedAlerts script;
    ScriptedPanels panels;
    AlertController alerts {script, defaults};
    AppController controller {alerts, panels, defaults};

    PortJob& job() { return *controller.currentJob(); }

    QString makeFile(const QString& name, int bytes = 10)
    {
        const QString path = dir.filePath(name);
        QDir().mkpath(QFileInfo(path).path());
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write(QByteArray(bytes, 'x'));
        return path;
    }

    // A job ready to start, saved to a file. Many files keep slow devices busy for seconds
    // while a stop waits for one file only.
    QString readyJobFile(const QString& name, int files = 1)
    {
        for (int i = 0; i < files; ++i)
            job().addFilePaths({makeFile(QStringLiteral("src/f%1.bin").arg(i), files > 1 ? 64 * 1024 : 10)});
        job().setAppId(kBundle);
        job().setFolder(QStringLiteral("Documents"));
        const QString path = dir.filePath(name);
        EXPECT_TRUE(job().writeToFile(path));
        return path;
    }

    // Devices with the app, copying slowly so a job stays at work.
    void addSlowDevices(TestFarm& farm, int count)
    {
        for (int i = 0; i < count; ++i) {
            const QString udid = farm.addPhone({{kBundle, QStringLiteral("Reader")}});
            sim::SimFaults faults;
            faults.writeDelayMsPerMiB = 2000;
            farm.service()->setFaults(udid, faults);
        }
    }
};

}  // namespace

TEST_F(Controller, StartChecksFilesThenAppIdThenFolder)
{
    // No files: the question; Yes opens the add-files panel, the job does not start.
    script.answer(1);
    panels.choose = {makeFile(QStringLiteral("x.txt"))};
    controller.OnStart();
    EXPECT_EQ(script.lastMessage(), QStringLiteral("There is no file to be transferred, do you want to add now?"));
    EXPECT_EQ(panels.chosen, 1);
    EXPECT_EQ(job().filePaths().size(), 1u);
    EXPECT_FALSE(job().isWorking());

    // App ID and folder both empty: only the App ID is reported, focus goes there.
    std::vector<AppController::Field> focus;
    QObject::connect(&controller, &AppController::focusRequested, [&](AppController::Field f) { focus.push_back(f); });
    controller.OnStart();
    EXPECT_EQ(script.lastMessage(), QStringLiteral("App ID can't be empty!"));
    job().setAppId(QStringLiteral("   "));
    controller.OnStart();
    EXPECT_EQ(script.lastMessage(), QStringLiteral("App ID can't be empty!"));
    job().setAppId(kBundle);
    controller.OnStart();
    EXPECT_EQ(script.lastMessage(), QStringLiteral("Please specify a folder under the App."));
    EXPECT_EQ(
        focus, (std::vector {AppController::Field::AppId, AppController::Field::AppId, AppController::Field::Folder}));
    EXPECT_EQ(script.asked.size(), 4u);
    EXPECT_FALSE(job().isWorking());
}

TEST_F(Controller, RefusedStartShowsTheJobsError)
{
    job().addFilePaths({makeFile(QStringLiteral("skip.tmp"))});
    job().setAppId(kBundle);
    job().setFolder(QStringLiteral("Documents"));
    job().setIgnoredPattern(QStringLiteral("tmp"));
    controller.OnStart();
    EXPECT_FALSE(job().isWorking());
    EXPECT_EQ(script.lastMessage(), job().lastError().description);
    EXPECT_FALSE(script.lastMessage().isEmpty());
}

TEST_F(Controller, OpenOfACorruptedFileAsksAndReadsAgainOnlyOnYes)
{
    const QString path = readyJobFile(QStringLiteral("job.jcf"));
    QFile f(path);
    f.open(QIODevice::ReadWrite);
    f.seek(0);
    f.write("\0\0\0\0", 4);  // the checksum no longer matches
    f.close();
    panels.openPath = path;

    script.answer(0);
    controller.OnLoad();
    EXPECT_EQ(script.lastMessage(), QStringLiteral("Corrupted file!"));
    EXPECT_TRUE(job().appId().isEmpty());  // the fresh, empty job stays
    EXPECT_TRUE(controller.recentDocuments().isEmpty());

    script.answer(1);
    controller.OnLoad();
    EXPECT_EQ(job().appId(), kBundle);
    EXPECT_EQ(job().filePaths().size(), 1u);
    EXPECT_EQ(controller.recentDocuments(), QStringList {QFileInfo(path).absoluteFilePath()});
    EXPECT_FALSE(controller.isModified());

    // Not a job file at all: its error, and nothing noted.
    panels.openPath = makeFile(QStringLiteral("junk.jcf"), 3);
    controller.OnLoad();
    EXPECT_EQ(script.lastMessage(), job().lastError().description);
    EXPECT_EQ(controller.recentDocuments().size(), 1);
}

TEST_F(Controller, SaveOfANeverSavedJobIsSaveAs)
{
    readyJobFile(QStringLiteral("ignored.jcf"));
    controller.OnNew();
    job().setAppId(kBundle);
    EXPECT_TRUE(controller.isModified());
    panels.savePath = dir.filePath(QStringLiteral("new.jcf"));
    controller.OnSave();
    EXPECT_EQ(panels.saved, 1);
    EXPECT_EQ(job().savedFilePath(), panels.savePath);
    EXPECT_FALSE(controller.isModified());
    // Saved once, Save writes there without a panel.
    job().setFolder(QStringLiteral("Inbox"));
    controller.OnSave();
    EXPECT_EQ(panels.saved, 1);
    PortJob reread;
    ASSERT_TRUE(reread.readFromFile(panels.savePath, false));
    EXPECT_EQ(reread.folder(), QStringLiteral("Inbox"));
    // A save that fails says why and keeps the job.
    panels.savePath = dir.filePath(QStringLiteral("no/such/folder/x.jcf"));
    controller.OnSaveAs();
    EXPECT_EQ(script.lastMessage(), job().lastError().description);
}

TEST_F(Controller, AddingSkipsPathsTheJobListsAlready)
{
    const QString a = makeFile(QStringLiteral("a.txt"));
    const QString b = makeFile(QStringLiteral("b.txt"));
    panels.choose = {a};
    controller.OnChooseFile();
    panels.choose = {b, a, b};
    controller.OnChooseFile();
    ASSERT_EQ(job().filePaths().size(), 2u);
    EXPECT_EQ(job().filePaths()[1]->path, b);
    EXPECT_EQ(controller.addFiles({a, dir.path()}), 1);
    controller.OnRemove({});
    EXPECT_EQ(job().filePaths().size(), 3u);
    controller.OnRemove({0, 2});
    ASSERT_EQ(job().filePaths().size(), 1u);
    EXPECT_EQ(job().filePaths()[0]->path, b);
}

TEST_F(Controller, StopQuestionPausesTheJobAndEitherAnswerResumesIt)
{
    TestFarm farm;
    addSlowDevices(farm, 2);
    job().setConcurrencyOverride(2);
    readyJobFile(QStringLiteral("run.jcf"), 40);
    controller.startDevices(farm.service());
    ASSERT_TRUE(TestFarm::waitFor([&] { return controller.roster().rows().size() == 2; }));
    controller.OnStart();
    ASSERT_TRUE(job().isWorking());

    bool pausedWhileAsking = false;
    script.whileAsking = [&] { pausedWhileAsking = job().isPaused(); };
    script.answer(0);
    EXPECT_FALSE(controller.stopTransfer());
    EXPECT_TRUE(pausedWhileAsking);
    EXPECT_FALSE(job().isPaused());
    EXPECT_TRUE(job().isWorking());

    // New while working, answered No: the running job stays.
    PortJob* running = &job();
    script.answer(0);
    controller.OnNew();
    EXPECT_EQ(&job(), running);
    EXPECT_EQ(panels.opened, 0);
    script.answer(0);
    controller.OnLoad();
    EXPECT_EQ(panels.opened, 0);

    // Start while working stops at once, without a question.
    const auto asked = script.asked.size();
    controller.OnStart();
    EXPECT_FALSE(job().isWorking());
    EXPECT_EQ(script.asked.size(), asked);
    EXPECT_EQ(job().statusMessage(), QStringLiteral("Stopped!"));
}

TEST_F(Controller, DevicesArrivingWhileTheJobWorksAreQueued)
{
    TestFarm farm;
    addSlowDevices(farm, 1);
    job().setConcurrencyOverride(1);
    readyJobFile(QStringLiteral("run.jcf"), 40);
    controller.startDevices(farm.service());
    ASSERT_TRUE(TestFarm::waitFor([&] { return controller.roster().rows().size() == 1; }));
    controller.OnStart();
    ASSERT_TRUE(job().isWorking());
    QStringList messages;
    QObject::connect(&job(), &PortJob::statusMessageChanged, [&](const QString& m) { messages << m; });
    addSlowDevices(farm, 1);
    ASSERT_TRUE(TestFarm::waitFor([&] { return controller.roster().rows().size() == 2; }));
    EXPECT_TRUE(TestFarm::waitFor([&] { return job().deviceQueue().size() == 1; }));
    EXPECT_TRUE(messages.contains(QStringLiteral("There is one device in queue.")));
    controller.OnStart();
    EXPECT_FALSE(job().isWorking());
}

TEST_F(Controller, ExcludedMarksFollowTheJobAcrossNewAndOpen)
{
    TestFarm farm;
    farm.addPhone();
    farm.addPhone();
    controller.startDevices(farm.service());
    ASSERT_TRUE(TestFarm::waitFor([&] { return controller.roster().rows().size() == 2; }));
    const auto& rows = controller.roster().rows();

    controller.OnExcludeDevice(-1);
    EXPECT_TRUE(job().excludedDevices().empty());
    controller.OnExcludeDevice(1);
    controller.OnExcludeDevice(1);
    EXPECT_EQ(job().excludedDevices().size(), 1u);
    EXPECT_EQ(rows[1]->status, DeviceStatusExcluded);
    panels.savePath = dir.filePath(QStringLiteral("ex.jcf"));
    controller.OnSaveAs();

    controller.OnNew();
    EXPECT_EQ(rows[1]->status, DeviceStatusIdle);
    EXPECT_TRUE(job().excludedDevices().empty());

    EXPECT_TRUE(controller.openJobFile(panels.savePath));
    EXPECT_EQ(rows[1]->status, DeviceStatusExcluded);
    EXPECT_NE(rows[0]->status, DeviceStatusExcluded);

    controller.includeExcludedDevice(0);
    EXPECT_EQ(rows[1]->status, DeviceStatusIdle);
    EXPECT_TRUE(job().excludedDevices().empty());
}
