#include "app/AppController.h"
#include "app/AlertController.h"
#include "job/DeviceRoster.h"
#include "job/JobDocument.h"
#include "job/PortJob.h"
#include "settings/Settings.h"
#include "settings/UserDefaults.h"
#include "support/ScriptedAlerts.h"
#include "support/TempTree.h"
#include "support/TestFarm.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <functional>
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

    JobDocument& doc() { return *controller.currentDocument(); }
    PortJob& runner() { return *controller.runner(); }

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
            doc().addFilePaths({makeFile(QStringLiteral("src/f%1.bin").arg(i), files > 1 ? 64 * 1024 : 10)});
        doc().setAppId(kBundle);
        doc().setFolder(QStringLiteral("Documents"));
        const QString path = dir.filePath(name);
        EXPECT_TRUE(doc().writeToFile(path));
        return path;
    }

    // Devices with the app, copying slowly so a job stays at work.
    void addSlowDevices(TestFarm& farm, int count)
    {
        // The fault goes into device.plist: set afterwards, it was lost whenever the farm's
        // scan plugged the device in after it.
        for (int i = 0; i < count; ++i) {
            sim::SimDeviceSpec model;
            model.apps.push_back({kBundle, QStringLiteral("Reader")});
            model.faults.writeDelayMsPerMiB = 2000;
            farm.addDevice(model);
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
    EXPECT_EQ(doc().filePaths().size(), 1u);
    EXPECT_FALSE(runner().isWorking());

    // App ID and folder both empty: only the App ID is reported, focus goes there.
    std::vector<AppController::Field> focus;
    QObject::connect(&controller, &AppController::focusRequested, [&](AppController::Field f) { focus.push_back(f); });
    controller.OnStart();
    EXPECT_EQ(script.lastMessage(), QStringLiteral("App ID can't be empty!"));
    doc().setAppId(QStringLiteral("   "));
    controller.OnStart();
    EXPECT_EQ(script.lastMessage(), QStringLiteral("App ID can't be empty!"));
    doc().setAppId(kBundle);
    controller.OnStart();
    EXPECT_EQ(script.lastMessage(), QStringLiteral("Please specify a folder under the App."));
    EXPECT_EQ(
        focus, (std::vector {AppController::Field::AppId, AppController::Field::AppId, AppController::Field::Folder}));
    EXPECT_EQ(script.asked.size(), 4u);
    EXPECT_FALSE(runner().isWorking());
}

TEST_F(Controller, StartCollectsTheSendListOffTheWindowAndWhatReplacesTheJobCallsItOff)
{
    for (int i = 0; i < 300; ++i)
        makeFile(QStringLiteral("tree/d%1/f%2.bin").arg(i % 10).arg(i));
    doc().addFilePaths({dir.filePath(QStringLiteral("tree"))});
    doc().setAppId(kBundle);
    doc().setFolder(QStringLiteral("Documents"));
    const auto settle = [] { TestFarm::waitFor([] { return false; }, 300); };

    controller.OnStart();
    EXPECT_TRUE(controller.isPreparing());
    EXPECT_FALSE(runner().isWorking());
    EXPECT_EQ(runner().statusMessage(), QStringLiteral("Preparing\u2026"));
    ASSERT_TRUE(TestFarm::waitFor([&] { return runner().isWorking(); }));
    EXPECT_FALSE(controller.isPreparing());
    EXPECT_EQ(runner().singleFiles().size(), 300u);
    runner().stop();

    // Start pressed again before the list is ready: nothing starts.
    controller.OnStart();
    controller.OnStart();
    EXPECT_FALSE(controller.isPreparing());
    settle();
    EXPECT_FALSE(runner().isWorking());

    // The job replaced meanwhile: the new one does not start, least of all with the old list.
    controller.OnStart();
    script.answer(-1);  // Discard
    controller.OnNew();
    EXPECT_FALSE(controller.isPreparing());
    settle();
    EXPECT_FALSE(runner().isWorking());
    EXPECT_TRUE(doc().filePaths().empty());
}

TEST_F(Controller, RefusedStartShowsTheJobsError)
{
    doc().addFilePaths({makeFile(QStringLiteral("skip.tmp"))});
    doc().setAppId(kBundle);
    doc().setFolder(QStringLiteral("Documents"));
    doc().setIgnoredPattern(QStringLiteral("tmp"));
    controller.OnStart();
    ASSERT_TRUE(TestFarm::waitFor([&] { return !controller.isPreparing(); }));
    EXPECT_FALSE(runner().isWorking());
    EXPECT_EQ(script.lastMessage(), QStringLiteral("No files to copy, please check the filter settings."));
}

TEST_F(Controller, AFailedOpenKeepsTheDocumentAndSaysWhy)
{
    const QString path = readyJobFile(QStringLiteral("job.jcf"));
    doc().setAppId(QStringLiteral("com.example.edited"));
    JobDocument* edited = &doc();
    const auto keptWithEdits = [&] {
        EXPECT_EQ(&doc(), edited);
        EXPECT_EQ(doc().appId(), QStringLiteral("com.example.edited"));
        EXPECT_TRUE(doc().isModified());
    };

    // Gone (a stale recent entry), and not a job file: each says which.
    EXPECT_FALSE(controller.openJobFile(dir.filePath(QStringLiteral("gone.jcf"))));
    EXPECT_TRUE(script.lastMessage().contains(QStringLiteral("does not exist"))) << script.lastMessage().toStdString();
    keptWithEdits();
    EXPECT_FALSE(controller.openJobFile(makeFile(QStringLiteral("junk.jcf"), 3)));
    EXPECT_TRUE(script.lastMessage().contains(QStringLiteral("damaged"))) << script.lastMessage().toStdString();
    keptWithEdits();
    EXPECT_FALSE(controller.openJobFile(dir.path()));
    EXPECT_TRUE(script.lastMessage().contains(QStringLiteral("cannot be read"))) << script.lastMessage().toStdString();
    keptWithEdits();

    // A checksum that does not match asks; No keeps the document, Yes reads it after the
    // document's own question (Discard here).
    QFile f(path);
    f.open(QIODevice::ReadWrite);
    f.write("\0\0\0\0", 4);
    f.close();
    panels.openPath = path;
    script.answer(0);
    controller.OnLoad();
    EXPECT_EQ(script.lastMessage(), QStringLiteral("Corrupted file!"));
    keptWithEdits();
    EXPECT_TRUE(controller.recentDocuments().isEmpty());
    script.answer(1);
    script.answer(-1);
    controller.OnLoad();
    EXPECT_EQ(script.asked.back().title, QStringLiteral("Save changes to job.jcf?"));
    EXPECT_EQ(doc().appId(), kBundle);
    EXPECT_FALSE(doc().isModified());
    EXPECT_EQ(controller.recentDocuments(), QStringList {QFileInfo(path).absoluteFilePath()});
}

TEST_F(Controller, ModifiedJobIsSavedDiscardedOrKeptBeforeItIsReplaced)
{
    // Saved, the job is replaced without a question.
    const QString other = readyJobFile(QStringLiteral("other.jcf"));
    controller.OnNew();
    EXPECT_TRUE(script.asked.empty());
    script.asked.clear();
    int quits = 0;
    QObject::connect(&controller, &AppController::quitReady, [&] { ++quits; });
    const auto edit = [&](const QString& appId) {
        doc().setAppId(appId);
        return &doc();
    };
    const auto asked = [&] { return script.asked.empty() ? QString() : script.asked.back().title; };

    // Cancel (or a box closed without an answer) keeps the edits, on every path.
    JobDocument* kept = edit(QStringLiteral("a"));
    for (const auto& command : std::vector<std::function<void()>> {
             [&] { controller.OnNew(); }, [&] { controller.openJobFile(other); }, [&] { controller.requestQuit(); }}) {
        script.asked.clear();
        command();
        EXPECT_EQ(asked(), QStringLiteral("Save changes to Untitled?"));
        EXPECT_EQ(&doc(), kept);
        EXPECT_TRUE(doc().isModified());
    }
    panels.openPath = other;
    controller.OnLoad();
    EXPECT_EQ(&doc(), kept);
    EXPECT_EQ(quits, 0);

    // Discard replaces without writing; Save writes first (through Save As when never saved).
    script.answer(-1);
    controller.OnNew();
    EXPECT_NE(&doc(), kept);
    EXPECT_FALSE(doc().isModified());
    edit(QStringLiteral("b"));
    panels.savePath = dir.filePath(QStringLiteral("b.jcf"));
    script.answer(1);
    controller.openJobFile(other);
    EXPECT_EQ(doc().appId(), kBundle);
    JobDocument reread;
    ASSERT_TRUE(reread.readFromFile(panels.savePath, false));
    EXPECT_EQ(reread.appId(), QStringLiteral("b"));

    // A save that fails is no answer: the document stays.
    kept = edit(QStringLiteral("c"));
    QFile::remove(other);
    QDir().mkpath(other);  // Save now writes over a folder, which fails
    script.answer(1);
    controller.requestQuit();
    EXPECT_EQ(&doc(), kept);
    EXPECT_EQ(quits, 0);
    script.answer(-1);
    controller.requestQuit();
    EXPECT_EQ(quits, 1);
}

TEST_F(Controller, RecentDocumentsThatNoLongerExistAreLeftOut)
{
    const QString a = readyJobFile(QStringLiteral("a.jcf"));
    panels.savePath = dir.filePath(QStringLiteral("b.jcf"));
    controller.OnSaveAs();
    script.answer(-1);
    ASSERT_TRUE(controller.openJobFile(a));
    EXPECT_EQ(controller.recentDocuments().size(), 2);
    QFile::remove(panels.savePath);
    EXPECT_EQ(controller.recentDocuments(), QStringList {QFileInfo(a).absoluteFilePath()});
}

TEST_F(Controller, SaveOfANeverSavedJobIsSaveAs)
{
    readyJobFile(QStringLiteral("ignored.jcf"));
    controller.OnNew();
    doc().setAppId(kBundle);
    EXPECT_TRUE(doc().isModified());
    panels.savePath = dir.filePath(QStringLiteral("new.jcf"));
    controller.OnSave();
    EXPECT_EQ(panels.saved, 1);
    EXPECT_EQ(doc().savedFilePath(), panels.savePath);
    EXPECT_FALSE(doc().isModified());
    // Saved once, Save writes there without a panel.
    doc().setFolder(QStringLiteral("Inbox"));
    controller.OnSave();
    EXPECT_EQ(panels.saved, 1);
    JobDocument reread;
    ASSERT_TRUE(reread.readFromFile(panels.savePath, false));
    EXPECT_EQ(reread.folder(), QStringLiteral("Inbox"));
    // A save that fails says why and keeps the job.
    panels.savePath = dir.filePath(QStringLiteral("no/such/folder/x.jcf"));
    EXPECT_FALSE(controller.OnSaveAs());
    EXPECT_EQ(script.lastMessage(), QStringLiteral("The job file cannot be written."));
}

TEST_F(Controller, AddingSkipsPathsTheJobListsAlready)
{
    const QString a = makeFile(QStringLiteral("a.txt"));
    const QString b = makeFile(QStringLiteral("b.txt"));
    panels.choose = {a};
    controller.OnChooseFile();
    panels.choose = {b, a, b};
    controller.OnChooseFile();
    ASSERT_EQ(doc().filePaths().size(), 2u);
    EXPECT_EQ(doc().filePaths()[1]->path, b);
    EXPECT_EQ(controller.addFiles({a, dir.path()}), 1);
    controller.OnRemove({});
    EXPECT_EQ(doc().filePaths().size(), 3u);
    controller.OnRemove({0, 2});
    ASSERT_EQ(doc().filePaths().size(), 1u);
    EXPECT_EQ(doc().filePaths()[0]->path, b);
    // A folder has a panel of its own, which returns it rather than opening it.
    panels.folder = dir.filePath(QStringLiteral("src"));
    QDir().mkpath(panels.folder);
    controller.OnChooseFolder();
    ASSERT_EQ(doc().filePaths().size(), 2u);
    EXPECT_EQ(doc().filePaths()[1]->path, panels.folder);
}

// Stop returns at once and the job stops after the file in progress. Commands that would
// replace the job meanwhile (here answered Yes to every question) are refused: before, they
// destroyed the job while its stop() was still waiting on the stack.
TEST_F(Controller, CommandsThatReplaceTheJobWaitForAStopUnderWay)
{
    TestFarm farm;
    addSlowDevices(farm, 2);
    runner().setConcurrencyOverride(2);
    const QString path = readyJobFile(QStringLiteral("run.jcf"), 40);
    controller.startDevices(farm.service());
    ASSERT_TRUE(TestFarm::waitFor([&] { return controller.roster().rows().size() == 2; }));
    controller.OnStart();
    ASSERT_TRUE(TestFarm::waitFor([&] { return runner().isWorking(); }));
    ASSERT_TRUE(TestFarm::waitFor([&] { return runner().transferProgressCount() == 2; }));

    JobDocument* running = &doc();
    bool replacedDuringStop = false;
    QTimer::singleShot(0, &controller, [&] {
        for (int i = 0; i < 6; ++i)
            script.answer(1);
        panels.openPath = path;
        controller.OnNew();
        controller.OnLoad();
        controller.openJobFile(path);  // Open Recent and a dropped job
        controller.OnStart();
        replacedDuringStop = &doc() != running;
    });
    controller.OnStart();  // Stop
    EXPECT_TRUE(TestFarm::waitFor([&] { return !runner().isWorking(); }, 15000));
    EXPECT_FALSE(replacedDuringStop);
    EXPECT_EQ(&doc(), running);
    EXPECT_TRUE(script.asked.empty());
    EXPECT_EQ(panels.opened, 0);
    EXPECT_EQ(runner().statusMessage(), QStringLiteral("Stopped!"));
}

TEST_F(Controller, AgreeingToStopRunsTheCommandOnceTheJobStopped)
{
    TestFarm farm;
    addSlowDevices(farm, 2);
    runner().setConcurrencyOverride(2);
    readyJobFile(QStringLiteral("run.jcf"), 40);
    controller.OnSave();
    controller.startDevices(farm.service());
    ASSERT_TRUE(TestFarm::waitFor([&] { return controller.roster().rows().size() == 2; }));
    controller.OnStart();
    ASSERT_TRUE(TestFarm::waitFor([&] { return runner().isWorking(); }));
    int quits = 0;
    QObject::connect(&controller, &AppController::quitReady, [&] { ++quits; });

    // Quit asks to stop; Cancel goes back with the job going on, unpaused.
    bool pausedWhileAsking = false;
    script.whileAsking = [&] { pausedWhileAsking = runner().isPaused(); };
    controller.requestQuit();
    EXPECT_EQ(script.asked.back().title, QStringLiteral("Stop the running job and quit?"));
    EXPECT_TRUE(pausedWhileAsking);
    EXPECT_FALSE(runner().isPaused());
    EXPECT_TRUE(runner().isWorking());
    EXPECT_FALSE(runner().isStopping());
    script.whileAsking = nullptr;

    // New, agreed: the job stops first and is replaced once it says so.
    JobDocument* running = &doc();
    script.answer(1);
    controller.OnNew();
    EXPECT_EQ(&doc(), running);
    EXPECT_TRUE(controller.isStopping());
    // Quit while that stop is under way waits for it too, without a question.
    const auto asked = script.asked.size();
    controller.requestQuit();
    EXPECT_EQ(script.asked.size(), asked);
    EXPECT_EQ(quits, 0);
    EXPECT_TRUE(TestFarm::waitFor([&] { return quits == 1; }, 15000));
    EXPECT_FALSE(runner().isWorking());
}

TEST_F(Controller, DevicesArrivingWhileTheJobWorksAreQueued)
{
    TestFarm farm;
    addSlowDevices(farm, 1);
    runner().setConcurrencyOverride(1);
    readyJobFile(QStringLiteral("run.jcf"), 40);
    controller.startDevices(farm.service());
    ASSERT_TRUE(TestFarm::waitFor([&] { return controller.roster().rows().size() == 1; }));
    controller.OnStart();
    ASSERT_TRUE(TestFarm::waitFor([&] { return runner().isWorking(); }));
    QStringList messages;
    QObject::connect(&runner(), &PortJob::statusMessageChanged, [&](const QString& m) { messages << m; });
    addSlowDevices(farm, 1);
    ASSERT_TRUE(TestFarm::waitFor([&] { return controller.roster().rows().size() == 2; }));
    EXPECT_TRUE(TestFarm::waitFor([&] { return runner().deviceQueue().size() == 1; }));
    EXPECT_TRUE(messages.contains(QStringLiteral("There is one device in queue.")));
    controller.OnStart();
    EXPECT_TRUE(TestFarm::waitFor([&] { return !runner().isWorking(); }, 15000));
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
    EXPECT_TRUE(doc().excludedDevices().empty());
    controller.OnExcludeDevice(1);
    controller.OnExcludeDevice(1);
    EXPECT_EQ(doc().excludedDevices().size(), 1u);
    EXPECT_EQ(rows[1]->status, DeviceStatusExcluded);
    panels.savePath = dir.filePath(QStringLiteral("ex.jcf"));
    controller.OnSaveAs();

    controller.OnNew();
    EXPECT_EQ(rows[1]->status, DeviceStatusIdle);
    EXPECT_TRUE(doc().excludedDevices().empty());

    EXPECT_TRUE(controller.openJobFile(panels.savePath));
    EXPECT_EQ(rows[1]->status, DeviceStatusExcluded);
    EXPECT_NE(rows[0]->status, DeviceStatusExcluded);

    controller.includeExcludedDevice(0);
    EXPECT_EQ(rows[1]->status, DeviceStatusIdle);
    EXPECT_TRUE(doc().excludedDevices().empty());
}

TEST_F(Controller, AMirroredStartAsksOnceNamingItsFoldersAndTheSummarySavesAReport)
{
    TestFarm farm;
    sim::SimDeviceSpec model;
    model.apps.push_back({kBundle, QStringLiteral("Reader")});
    const QString udid = farm.addDevice(model);
    makeFile(QStringLiteral("Manuals/new.pdf"));
    doc().addFilePaths({dir.filePath(QStringLiteral("Manuals"))});
    doc().setAppId(kBundle);
    doc().setFolder(QStringLiteral("Documents"));
    const QString stale = farm.container(udid, kBundle) + QStringLiteral("/Documents/Manuals/old.pdf");
    QDir().mkpath(QFileInfo(stale).path());
    QFile(stale).open(QIODevice::WriteOnly);
    controller.startDevices(farm.service());
    ASSERT_TRUE(TestFarm::waitFor([&] { return controller.roster().rows().size() == 1; }));
    defaults.setBool(kMirrorFoldersKey, true);

    script.answer(0);  // Cancel: nothing starts, nothing is removed
    controller.OnStart();
    ASSERT_EQ(script.asked.size(), 1u);
    EXPECT_EQ(script.asked.back().title, QStringLiteral("Remove files the job no longer has?"));
    EXPECT_TRUE(script.asked.back().message.contains(QStringLiteral("Documents/Manuals")));
    EXPECT_FALSE(controller.isPreparing());

    panels.reportPath = dir.filePath(QStringLiteral("report.csv"));
    script.answer(1);  // Continue
    script.answer(-1);  // the summary's "Save Report…"
    controller.OnStart();
    ASSERT_TRUE(TestFarm::waitFor([&] { return QFile::exists(panels.reportPath); }));
    EXPECT_FALSE(QFile::exists(stale));
    const QList<QByteArray> lines = readFileBytes(panels.reportPath).split('\n');
    ASSERT_GE(lines.size(), 2);
    EXPECT_TRUE(lines[1].contains(udid.toUtf8() + ",")) << lines[1].constData();
    EXPECT_TRUE(lines[1].contains(",Finished,1,0,1,0,")) << lines[1].constData();
    runner().stop();

    // Taking the job back: one question, then its file goes; the next Start sends again.
    script.answer(1);
    controller.OnRemoveFromDevices();
    EXPECT_TRUE(TestFarm::waitFor(
        [&] { return !QFile::exists(farm.container(udid, kBundle) + QStringLiteral("/Documents/Manuals/new.pdf")); }));
    runner().stop();
    EXPECT_EQ(runner().runKind(), RunKind::Send);
}
