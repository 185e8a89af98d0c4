#include "app/AlertController.h"
#include "app/AppController.h"
#include "app/DeviceBrowserWindow.h"
#include "app/ExcludedDevicesWindow.h"
#include "app/FilesConfigWindow.h"
#include "app/KestrapAppDelegate.h"
#include "app/MainWindow.h"
#include "device/tree/FileSystemNode.h"
#include "job/DeviceRoster.h"
#include "job/JobDocument.h"
#include "settings/UserDefaults.h"
#include "support/ScriptedAlerts.h"
#include "support/TestFarm.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTableView>
#include <QTemporaryDir>
#include <QToolButton>
#include <gtest/gtest.h>

using namespace kestrap;
using namespace kestrap::app;

namespace {

struct Windows : ::testing::Test {
    QTemporaryDir dir;
    SettingsUserDefaults defaults {dir.filePath(QStringLiteral("d.ini"))};
    ScriptedAlerts script;
    ScriptedPanels panels;
    AlertController alerts {script, defaults};

    QString makeFile(const QString& name)
    {
        const QString path = dir.filePath(name);
        QDir().mkpath(QFileInfo(path).path());
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write("data");
        return path;
    }
};

}  // namespace

TEST_F(Windows, MainWindowFollowsTheJobAndTakesDrops)
{
    KestrapAppDelegate delegate(alerts, panels, defaults);
    MainWindow& window = delegate.window();
    AppController& controller = delegate.controller();
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Untitled[*] — Kestrap"));
    EXPECT_FALSE(window.isWindowModified());
    EXPECT_EQ(window.startButton()->text(), QStringLiteral("Start"));
    EXPECT_EQ(window.statusLabel()->text(), QStringLiteral("Not running!"));

    // Typing goes into the job; the job's own changes come back to the field.
    window.appIdField()->setText(QStringLiteral("com.example.reader"));
    emit window.appIdField()->textEdited(window.appIdField()->text());
    EXPECT_EQ(controller.currentDocument()->appId(), QStringLiteral("com.example.reader"));
    EXPECT_TRUE(window.isWindowModified());
    controller.currentDocument()->setFolder(QStringLiteral("Documents"));
    EXPECT_EQ(window.folderField()->text(), QStringLiteral("Documents"));

    // Files and folders dropped join the job, each once.
    const QString a = makeFile(QStringLiteral("a.txt"));
    window.takeDroppedPaths({a, dir.filePath(QStringLiteral("."))});
    window.takeDroppedPaths({a});
    EXPECT_EQ(controller.currentDocument()->filePaths().size(), 2u);
    EXPECT_EQ(window.fileTable()->model()->rowCount(), 2);
    // The selection stays with its file while others come and go.
    window.fileTable()->selectRow(1);
    const QString b = makeFile(QStringLiteral("b.txt"));
    window.takeDroppedPaths({b});
    controller.OnRemove({0});
    ASSERT_EQ(window.fileTable()->selectionModel()->selectedRows().size(), 1);
    EXPECT_EQ(window.fileTable()->selectionModel()->selectedRows()[0].row(), 0);
    controller.OnRemove({1});
    controller.addFiles({a});

    // Saved, the title names the file; a .jcf dropped alone opens in a fresh job.
    panels.savePath = dir.filePath(QStringLiteral("desk.jcf"));
    controller.OnSaveAs();
    EXPECT_EQ(window.windowTitle(), QStringLiteral("desk.jcf[*] — Kestrap"));
    EXPECT_FALSE(window.isWindowModified());
    controller.OnNew();
    EXPECT_TRUE(window.appIdField()->text().isEmpty());
    // A modified job asks before a dropped job replaces it; Cancel keeps it.
    controller.currentDocument()->setAppId(QStringLiteral("typed"));
    window.takeDroppedPaths({panels.savePath});
    EXPECT_EQ(script.asked.back().title, QStringLiteral("Save changes to Untitled?"));
    EXPECT_EQ(window.appIdField()->text(), QStringLiteral("typed"));
    script.answer(-1);
    window.takeDroppedPaths({panels.savePath});
    EXPECT_EQ(window.appIdField()->text(), QStringLiteral("com.example.reader"));
    EXPECT_EQ(window.fileTable()->model()->rowCount(), 2);
    EXPECT_FALSE(window.isWindowModified());
}

TEST_F(Windows, DeviceCommandsActOnEverySelectedDeviceAndNeedOne)
{
    TestFarm farm;
    farm.addPhone();
    farm.addPhone();
    KestrapAppDelegate delegate(alerts, panels, defaults);
    delegate.startDevices(farm.service(), {});
    const auto& rows = delegate.controller().roster().rows();
    ASSERT_TRUE(TestFarm::waitFor([&] { return rows.size() == 2; }));
    MainWindow& window = delegate.window();
    EXPECT_FALSE(window.excludeAction()->isEnabled());
    EXPECT_FALSE(window.includeAction()->isEnabled());
    EXPECT_FALSE(window.browseAction()->isEnabled());

    window.deviceTable()->selectAll();
    EXPECT_TRUE(window.browseAction()->isEnabled());
    window.excludeAction()->trigger();
    EXPECT_EQ(rows[0]->status, DeviceStatusExcluded);
    EXPECT_EQ(rows[1]->status, DeviceStatusExcluded);
    EXPECT_FALSE(window.excludeAction()->isEnabled());
    EXPECT_TRUE(window.includeAction()->isEnabled());
    window.deviceTable()->selectRow(1);
    window.includeAction()->trigger();
    EXPECT_EQ(rows[0]->status, DeviceStatusExcluded);
    EXPECT_EQ(rows[1]->status, DeviceStatusIdle);
    EXPECT_EQ(delegate.controller().currentDocument()->excludedDevices().size(), 1u);
    window.deviceTable()->clearSelection();
    EXPECT_FALSE(window.excludeAction()->isEnabled());
    EXPECT_FALSE(window.browseAction()->isEnabled());
}

TEST_F(Windows, TheMainWindowsLayoutIsKeptFromOneRunToTheNext)
{
    {
        KestrapAppDelegate delegate(alerts, panels, defaults);
        delegate.window().resize(900, 600);
        delegate.window().deviceTable()->setColumnWidth(0, 222);
        delegate.window().close();  // quitting, with nothing to ask about
    }
    KestrapAppDelegate again(alerts, panels, defaults);
    EXPECT_EQ(again.window().size(), QSize(900, 600));
    EXPECT_EQ(again.window().deviceTable()->columnWidth(0), 222);
}

TEST_F(Windows, TheNoticeOfAServiceWaitingForUsbmuxdGoesWithTheFirstDevice)
{
    TestFarm farm;
    KestrapAppDelegate delegate(alerts, panels, defaults);
    delegate.startDevices(farm.service(), QStringLiteral("usbmuxd is not running yet"));
    QCoreApplication::processEvents();
    EXPECT_EQ(delegate.window().noticeLabel()->text(), QStringLiteral("usbmuxd is not running yet"));
    farm.addPhone();
    ASSERT_TRUE(TestFarm::waitFor([&] { return delegate.controller().roster().rows().size() == 1; }));
    EXPECT_TRUE(delegate.window().noticeLabel()->text().isEmpty());
}

TEST_F(Windows, ExcludedDevicesWindowTakesTheSelectedDeviceBack)
{
    TestFarm farm;
    farm.addPhone();
    farm.addPhone();
    AppController controller(alerts, panels, defaults);
    controller.startDevices(farm.service());
    ASSERT_TRUE(TestFarm::waitFor([&] { return controller.roster().rows().size() == 2; }));
    controller.OnExcludeDevice(0);
    controller.OnExcludeDevice(1);

    ExcludedDevicesWindow window(controller);
    window.show();
    EXPECT_EQ(window.model()->rowCount(), 2);
    EXPECT_FALSE(window.takeBackButton()->isVisible());
    window.OnSegmentSelected();  // nothing selected: nothing happens
    EXPECT_EQ(controller.currentDocument()->excludedDevices().size(), 2u);

    window.table()->selectRow(1);
    EXPECT_TRUE(window.takeBackButton()->isVisible());
    window.takeBackButton()->click();
    EXPECT_EQ(window.model()->rowCount(), 1);
    EXPECT_EQ(controller.roster().rows()[1]->status, DeviceStatusIdle);
    EXPECT_EQ(controller.roster().rows()[0]->status, DeviceStatusExcluded);

    // Open while the window is up: it lists the opened job's devices, and takes back those.
    panels.savePath = dir.filePath(QStringLiteral("one.jcf"));
    controller.OnSaveAs();
    controller.OnExcludeDevice(1);
    script.answer(-1);
    ASSERT_TRUE(controller.openJobFile(panels.savePath));
    EXPECT_EQ(window.model()->rowCount(), 1);
    const auto icon = window.model()->data(window.model()->index(0, 0), Qt::DecorationRole).value<QIcon>();
    EXPECT_FALSE(icon.pixmap(20, 20).isNull());  // the device's picture, read from a job file
    window.table()->selectRow(0);
    window.takeBackButton()->click();
    EXPECT_TRUE(controller.currentDocument()->excludedDevices().empty());
    EXPECT_EQ(controller.roster().rows()[0]->status, DeviceStatusIdle);
}

TEST_F(Windows, FileSettingsEditTheCurrentDocument)
{
    AppController controller(alerts, panels, defaults);
    FilesConfigWindow window(controller);
    auto* recursive = window.findChild<QCheckBox*>();
    auto* depth = window.findChild<QSpinBox*>();
    QList<QLineEdit*> edits;  // the pattern fields, not the spin box's own editor
    for (QLineEdit* e : window.findChildren<QLineEdit*>())
        if (!qobject_cast<QSpinBox*>(e->parent()))
            edits << e;
    ASSERT_EQ(edits.size(), 2);
    EXPECT_TRUE(recursive->isChecked());
    EXPECT_EQ(depth->value(), 3);
    EXPECT_EQ(edits[0]->text(), QStringLiteral("*"));

    depth->setValue(5);
    edits[1]->setText(QStringLiteral("tmp"));
    emit edits[1]->textEdited(QStringLiteral("tmp"));
    recursive->setChecked(false);
    JobDocument* first = controller.currentDocument();
    EXPECT_EQ(first->recursiveDepth(), 5);
    EXPECT_EQ(first->ignoredPattern(), QStringLiteral("tmp"));
    EXPECT_FALSE(first->isRecursive());
    EXPECT_FALSE(depth->isEnabled());

    // After New the window shows and edits the new job.
    script.answer(-1);
    controller.OnNew();
    EXPECT_EQ(window.currentDocument(), controller.currentDocument());
    EXPECT_EQ(depth->value(), 3);
    EXPECT_TRUE(recursive->isChecked());
    depth->setValue(7);
    EXPECT_EQ(controller.currentDocument()->recursiveDepth(), 7);
}

TEST_F(Windows, DeviceTreeLoadsFoldersWhenOpenedOnItsWorker)
{
    TestFarm farm;
    const QString udid = farm.addPhone({{QStringLiteral("com.example.reader"), QStringLiteral("Reader")}});
    QDir().mkpath(farm.container(udid, QStringLiteral("com.example.reader")) + QStringLiteral("/Documents"));
    QFile f(farm.container(udid, QStringLiteral("com.example.reader")) + QStringLiteral("/Documents/arrived.txt"));
    f.open(QIODevice::WriteOnly);
    f.write("hello");
    f.close();
    auto device = farm.open(udid);
    ASSERT_TRUE(device);

    DeviceTreeModel model(device);
    ASSERT_EQ(model.rowCount(), 2);
    const QModelIndex apps = model.index(1, 0);
    EXPECT_EQ(model.data(model.index(0, 0), Qt::DisplayRole), QStringLiteral("Media"));
    EXPECT_EQ(model.data(apps, Qt::DisplayRole), QStringLiteral("Apps"));
    EXPECT_TRUE(model.hasChildren(apps));
    // The app root may list its apps when made; folders wait until they are opened.
    if (model.canFetchMore(apps))
        model.fetchMore(apps);
    ASSERT_TRUE(TestFarm::waitFor([&] { return model.rowCount(apps) == 1; }));
    const QModelIndex reader = model.index(0, 0, apps);
    EXPECT_EQ(model.data(reader, Qt::DisplayRole), QStringLiteral("Reader"));
    EXPECT_EQ(model.parent(reader), apps);
    EXPECT_TRUE(model.hasChildren(reader));
    EXPECT_EQ(model.rowCount(reader), 0);

    // Loaded on the model's worker: the rows come once the load ended, and one load at a time.
    ASSERT_TRUE(model.canFetchMore(reader));
    model.fetchMore(reader);
    EXPECT_FALSE(model.canFetchMore(reader));
    ASSERT_TRUE(TestFarm::waitFor([&] { return model.rowCount(reader) == 1; }));
    const QModelIndex documents = model.index(0, 0, reader);
    EXPECT_EQ(model.data(documents, Qt::DisplayRole), QStringLiteral("Documents"));
    model.fetchMore(documents);
    ASSERT_TRUE(TestFarm::waitFor([&] { return model.rowCount(documents) == 1; }));
    const QModelIndex file = model.index(0, 0, documents);
    EXPECT_EQ(model.data(file, Qt::DisplayRole), QStringLiteral("arrived.txt"));
    EXPECT_EQ(model.data(model.index(0, DeviceTreeModel::Size, documents), Qt::DisplayRole), QStringLiteral("5 bytes"));
    EXPECT_EQ(model.parent(file), documents);

    // An image is read on the worker too, and said when it is there.
    QModelIndex loaded;
    QObject::connect(&model, &DeviceTreeModel::imageLoaded, [&](const QModelIndex& i) { loaded = i; });
    model.loadImage(file);
    ASSERT_TRUE(TestFarm::waitFor([&] { return loaded.isValid(); }));
    EXPECT_EQ(loaded, file);
}
