// kestrap-cli run on simulated devices: what a duplication station sees.

#include "support/CliRun.h"
#include "support/TempTree.h"

#include "device/ios/MobileDeviceService.h"

#include "device/ios/sim/SimFarm.h"
#include <QDir>

#include <QDirIterator>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QThread>
#include <csignal>
#include <gtest/gtest.h>
#include <map>
#include <sys/stat.h>

namespace {

QByteArray pattern(qsizetype size, int seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char((i * 31 + seed * 7 + i / 4099) % 251);
    return bytes;
}

class RunCli : public ::testing::Test {
protected:
    TempTree tree;
    QString farm;
    QString jcf;
    QMap<QString, QString> env;

    void SetUp() override
    {
        farm = tree.path(QStringLiteral("farm"));
        jcf = tree.path(QStringLiteral("job.jcf"));
        env = {{QStringLiteral("KESTRAP_LOG_DIR"), tree.path(QStringLiteral("logs"))},
            {QStringLiteral("KESTRAP_SETTINGS"), tree.path(QStringLiteral("settings.ini"))}};
        // Contents that differ from file to file and byte to byte, so that what reached a
        // device can be told from anything else of the same size.
        tree.folder(QStringLiteral("src/Photos/2012"));
        writeFileBytes(tree.path(QStringLiteral("src/Photos/a.jpg")), pattern(3000, 1));
        writeFileBytes(tree.path(QStringLiteral("src/Photos/2012/b.jpg")), pattern(7 * 1024 * 1024, 2));
        ASSERT_EQ(runCli({"job", "create", jcf, "--app-id", "com.example.app", "--folder", "Documents",
                             tree.path(QStringLiteral("src/Photos"))})
                      .code,
            0);
    }

    void addDevices(int count, const QString& app)
    {
        ASSERT_EQ(runCli({"sim", "create", farm, "--devices", QString::number(count), "--app", app}).code, 0);
    }

    QJsonObject runJson(const QStringList& extra, int* code)
    {
        const CliResult r
            = runCli(QStringList {"run", jcf, "--simulate", farm, "--progress-pause", "0", "--json"} + extra, env);
        *code = r.code;
        return QJsonDocument::fromJson(r.out).object();
    }
};

}  // namespace

TEST_F(RunCli, ServesEveryDeviceAndSucceedsOnlyWhenAllGotEverything)
{
    addDevices(3, QStringLiteral("com.example.app"));
    int code = -1;
    QJsonObject summary = runJson({"--concurrency", "2"}, &code);
    EXPECT_EQ(code, 0);
    const QJsonArray devices = summary["devices"].toArray();
    ASSERT_EQ(devices.size(), 3);
    for (const auto& d : devices) {
        const QJsonObject o = d.toObject();
        EXPECT_EQ(o["statusText"].toString(), "Finished");
        EXPECT_EQ(o["files_sent"].toInt(), 2);
        EXPECT_EQ(o["files_failed"].toInt(), 0);
        EXPECT_EQ(o["transferred_size"].toInteger(), 3000 + 7 * 1024 * 1024);
        EXPECT_FALSE(o.contains("error"));
        const QString documents
            = QStringLiteral("%1/%2/Containers/com.example.app/Documents/").arg(farm, o["uid"].toString());
        EXPECT_EQ(readFileBytes(documents + "Photos/a.jpg"), pattern(3000, 1));
        EXPECT_EQ(readFileBytes(documents + "Photos/2012/b.jpg"), pattern(7 * 1024 * 1024, 2));
    }
    EXPECT_TRUE(summary["success"].toBool());

    // One more device without the app: it fails, and so does the run.
    addDevices(1, QStringLiteral("com.example.other"));
    summary = runJson({}, &code);
    EXPECT_EQ(code, 1);
    QStringList causes;
    for (const auto& d : summary["devices"].toArray())
        if (d.toObject()["statusText"].toString() == QLatin1String("Failed"))
            causes << d.toObject()["error"].toString();
    EXPECT_EQ(causes, QStringList {"app not installed"});

    // The event log has the run's failure.
    const CliResult log = runCli({"log", "--tail", "20"}, env);
    EXPECT_TRUE(log.out.contains("Can't find 'com.example.app' on")) << log.out.constData();
    EXPECT_TRUE(log.out.contains(": app not installed")) << log.out.constData();
}

TEST_F(RunCli, NothingToServeOrNothingToSend)
{
    int code = -1;
    runJson({}, &code);
    EXPECT_EQ(code, 1);  // no devices at all is no success

    addDevices(1, QStringLiteral("com.example.app"));
    // None at a time would serve nothing and never end.
    for (const char* bad : {"x", "0"})
        EXPECT_EQ(runCli({"run", jcf, "--simulate", farm, "--concurrency", bad}, env).code, 2);
    QFile f(jcf);
    f.open(QIODevice::ReadWrite);
    f.seek(8);
    f.write("!");
    f.close();
    const CliResult damaged = runCli({"run", jcf, "--simulate", farm}, env);
    EXPECT_EQ(damaged.code, 1);
    EXPECT_TRUE(damaged.err.contains("Corrupted file!"));
}

// A settings file edited by hand: a run with no copy thread would never serve a device, nor end.
TEST_F(RunCli, AStoredConcurrencyThatCannotBeUsedServesThreeAtOnceAndIsToldOnceInTheLog)
{
    addDevices(2, QStringLiteral("com.example.app"));
    for (const QByteArray& bad : {QByteArray("abc"), QByteArray("0")}) {
        writeFileBytes(tree.path(QStringLiteral("settings.ini")),
            "[General]\nconcurrency=" + bad
                + "\nenableLogging=true\nenableLoggingWarn=true\nenableLoggingError=true\n");
        int code = -1;
        const QJsonObject summary = runJson({}, &code);
        EXPECT_EQ(code, 0) << bad.constData();
        EXPECT_EQ(summary["devices"].toArray().size(), 2);
    }
    const QString log = QString::fromUtf8(runCli({"log", "--tail", "100"}, env).out);
    EXPECT_EQ(
        log.count(QStringLiteral("The stored setting concurrency is \"abc\", which cannot be used: 3 is used")), 1)
        << log.toStdString();
    EXPECT_EQ(log.count(QStringLiteral("The stored setting concurrency is \"0\"")), 1) << log.toStdString();
}

TEST_F(RunCli, OnATerminalEachDeviceThatIsDoneIsSaidOnceWithWhyItFailed)
{
    addDevices(1, QStringLiteral("com.example.app"));
    addDevices(1, QStringLiteral("com.example.other"));
    // script(1) gives the run a terminal, where progress lines are redrawn in place.
    QProcess run;
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    for (auto it = env.cbegin(); it != env.cend(); ++it)
        e.insert(it.key(), it.value());
    run.setProcessEnvironment(e);
    const QString command = QStringLiteral("'%1' run '%2' --simulate '%3' --progress-pause 0")
                                .arg(QString::fromLocal8Bit(qgetenv("KESTRAP_CLI")), jcf, farm);
    run.start(QStringLiteral("script"), {"-qec", command, "/dev/null"});
    ASSERT_TRUE(run.waitForFinished(60000));
    const QByteArray shown = run.readAllStandardOutput();
    EXPECT_EQ(run.exitCode(), 1) << shown.constData();
    EXPECT_EQ(shown.count(" - Finished  file 100%"), 1) << shown.constData();
    EXPECT_EQ(shown.count(" - Failed  file 0%  overall 0%  -  (app not installed)"), 1) << shown.constData();
}

TEST_F(RunCli, StationServesLateDevicesAndStopsOnSignal)
{
    QProcess station;
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    for (auto it = env.cbegin(); it != env.cend(); ++it)
        e.insert(it.key(), it.value());
    station.setProcessEnvironment(e);
    QDir().mkpath(farm);
    station.start(QString::fromLocal8Bit(qgetenv("KESTRAP_CLI")),
        {"run", jcf, "--simulate", farm, "--station", "--progress-pause", "0", "--json"});
    ASSERT_TRUE(station.waitForStarted());
    QThread::msleep(300);
    addDevices(1, QStringLiteral("com.example.app"));  // plugged in while the station runs
    const QString udid = QDir(farm).entryList(QDir::Dirs | QDir::NoDotAndDotDot).value(0);
    const QString landed
        = QStringLiteral("%1/%2/Containers/com.example.app/Documents/Photos/2012/b.jpg").arg(farm, udid);
    for (int i = 0; i < 300 && QFileInfo(landed).size() < 7 * 1024 * 1024; ++i)
        QThread::msleep(50);
    QThread::msleep(300);
    EXPECT_EQ(station.state(), QProcess::Running);
    ::kill(pid_t(station.processId()), SIGTERM);
    ASSERT_TRUE(station.waitForFinished(30000));
    EXPECT_EQ(station.exitStatus(), QProcess::NormalExit);
    const QJsonObject summary = QJsonDocument::fromJson(station.readAllStandardOutput()).object();
    ASSERT_EQ(summary["devices"].toArray().size(), 1);
    EXPECT_EQ(summary["devices"].toArray()[0].toObject()["statusText"].toString(), "Finished");
    EXPECT_EQ(station.exitCode(), 0);
}

TEST_F(RunCli, TheSummaryNamesEveryFailedFileWithItsCause)
{
    addDevices(1, QStringLiteral("com.example.app"));
    const QString fifo = tree.path(QStringLiteral("src/Photos/pipe"));
    const QString dangling = tree.path(QStringLiteral("src/Photos/gone.jpg"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0644), 0);
    ASSERT_TRUE(QFile::link(tree.path(QStringLiteral("nowhere")), dangling));

    int code = -1;
    const QJsonObject summary = runJson({}, &code);
    EXPECT_EQ(code, 1);
    const QJsonObject device = summary["devices"].toArray().at(0).toObject();
    EXPECT_EQ(device["files_sent"].toInt(), 2);
    QMap<QString, QString> causes;
    for (const auto& f : device["failed_files"].toArray())
        causes.insert(f.toObject()["path"].toString(), f.toObject()["error"].toString());
    EXPECT_EQ(causes.value(fifo), "not a regular file");
    EXPECT_TRUE(causes.value(dangling).startsWith("the link leads nowhere")) << causes.value(dangling).toStdString();

    const CliResult text = runCli({"run", jcf, "--simulate", farm, "--progress-pause", "0"}, env);
    EXPECT_TRUE(text.out.contains(QStringLiteral("    %1: not a regular file").arg(fifo).toUtf8()))
        << text.out.constData();
    EXPECT_TRUE(text.out.contains(QStringLiteral("    %1: the link leads nowhere").arg(dangling).toUtf8()))
        << text.out.constData();
}

// --- app kinds: an App Store app shares only its Documents folder ---------------------------

TEST_F(RunCli, AnAppStoreAppTakesAJobOnlyUnderItsDocuments)
{
    const QString app = QStringLiteral("com.example.app");
    const auto create = [&](const char* kind) {
        return QString::fromLatin1(runCli({"sim", "create", farm, kind, app}).out).trimmed();
    };
    const QString store = create("--app");
    const QString secretive = create("--private-app");
    const QString dev = create("--dev-app");
    const auto run = [&](const QString& folder, int* code) {
        EXPECT_EQ(runCli({"job", "create", jcf, "--app-id", app, "--folder", folder, tree.path("src/Photos")}).code, 0);
        std::map<QString, QJsonObject> byDevice;
        for (const auto& d : runJson({}, code)["devices"].toArray())
            byDevice[d.toObject()["uid"].toString()] = d.toObject();
        return byDevice;
    };
    const auto box = [&](const QString& udid) { return QStringLiteral("%1/%2/Containers/%3/").arg(farm, udid, app); };
    const auto expectFailed = [&](const QJsonObject& o, int code, const char* cause) {
        EXPECT_EQ(o["statusText"].toString(), "Failed");
        EXPECT_EQ(o["error"].toString(), cause);
        EXPECT_EQ(o["errorDomain"].toString(), "house-arrest");
        EXPECT_EQ(o["errorCode"].toInt(), code);
        EXPECT_EQ(o["files_sent"].toInt(), 0);
        EXPECT_EQ(o["files_failed"].toInt(), 0);
        EXPECT_EQ(o["transferred_size"].toInteger(), 0);
    };
    const char* shareNothing = "the app does not share its files with a computer";

    // A folder beside Documents: only the development app's whole container takes it.
    int code = -1;
    auto outcome = run(QStringLiteral("Inbox"), &code);
    EXPECT_EQ(code, 1);
    ASSERT_EQ(outcome.size(), 3u);
    expectFailed(outcome[store], kestrap::AMDDocumentsOnlyError,
        "the app shares only its Documents folder; put the job's folder under Documents");
    expectFailed(outcome[secretive], kestrap::AMDVendRefusedError, shareNothing);
    EXPECT_EQ(outcome[dev]["statusText"].toString(), "Finished");
    EXPECT_EQ(readFileBytes(box(dev) + "Inbox/Photos/a.jpg"), pattern(3000, 1));
    EXPECT_FALSE(QFileInfo::exists(box(store) + "Inbox"));
    EXPECT_TRUE(QDir(box(store) + "Documents").isEmpty());
    const CliResult log = runCli({"log", "--tail", "20"}, env);
    EXPECT_TRUE(log.out.contains(": the app shares only its Documents folder")) << log.out.constData();

    // Under Documents: the App Store app takes it too.
    outcome = run(QStringLiteral("Documents/Inbox"), &code);
    EXPECT_EQ(code, 1);
    EXPECT_EQ(outcome[store]["statusText"].toString(), "Finished");
    EXPECT_EQ(outcome[dev]["statusText"].toString(), "Finished");
    expectFailed(outcome[secretive], kestrap::AMDVendRefusedError, shareNothing);
    for (const QString& udid : {store, dev}) {
        EXPECT_EQ(readFileBytes(box(udid) + "Documents/Inbox/Photos/a.jpg"), pattern(3000, 1));
        EXPECT_EQ(readFileBytes(box(udid) + "Documents/Inbox/Photos/2012/b.jpg"), pattern(7 * 1024 * 1024, 2));
    }
}

TEST_F(RunCli, ASignalEndsARunWhoseDeviceStoppedAnsweringAndItsLogIsWhole)
{
    addDevices(2, QStringLiteral("com.example.app"));
    const QStringList udids = QDir(farm).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    ASSERT_EQ(udids.size(), 2);
    const QString folder = QDir(farm).filePath(udids[1]);
    QVariantMap plist = kestrap::sim::readDevicePlist(folder).value();
    plist.insert(QStringLiteral("Faults"), QVariantMap {{QStringLiteral("StallAfterBytes"), 4 * 1024 * 1024}});
    ASSERT_TRUE(kestrap::sim::writeDevicePlist(folder, plist));

    QProcess run;
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    for (auto it = env.cbegin(); it != env.cend(); ++it)
        e.insert(it.key(), it.value());
    run.setProcessEnvironment(e);
    run.start(QString::fromLocal8Bit(qgetenv("KESTRAP_CLI")),
        {"run", jcf, "--simulate", farm, "--progress-pause", "0", "--json"});
    ASSERT_TRUE(run.waitForStarted());
    // The stalled device holds part of its large file, and holds on to the call that wrote it.
    const QString documents = folder + QStringLiteral("/Containers/com.example.app/Documents/Photos/2012");
    const auto stalled
        = [&] { return !QDir(documents).entryList({"*.kestrap-part"}, QDir::Files | QDir::Hidden).isEmpty(); };
    for (int i = 0; i < 200 && !stalled(); ++i)
        QThread::msleep(50);
    ASSERT_TRUE(stalled());
    QElapsedTimer timer;
    timer.start();
    ::kill(pid_t(run.processId()), SIGTERM);
    ASSERT_TRUE(run.waitForFinished(30000));
    EXPECT_LT(timer.elapsed(), 15000);
    EXPECT_EQ(run.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(run.exitCode(), 1);
    const QJsonObject summary = QJsonDocument::fromJson(run.readAllStandardOutput()).object();
    QMap<QString, QJsonObject> devices;
    for (const auto& d : summary["devices"].toArray())
        devices[d.toObject()["uid"].toString()] = d.toObject();
    EXPECT_EQ(devices[udids[0]]["statusText"].toString(), "Finished");
    EXPECT_EQ(devices[udids[1]]["statusText"].toString(), "Failed");
    EXPECT_EQ(devices[udids[1]]["error"].toString(), "the device stopped answering");

    QByteArray logged;
    QDirIterator logs(tree.path(QStringLiteral("logs")), QDir::Files, QDirIterator::Subdirectories);
    while (logs.hasNext())
        logged += readFileBytes(logs.next());
    EXPECT_TRUE(logged.contains("the device stopped answering")) << logged.right(2000).constData();
}

TEST_F(RunCli, AReportThatCannotBeWrittenIsSaidBeforeAnyDeviceIsTouched)
{
    addDevices(1, QStringLiteral("com.example.app"));
    const CliResult refused
        = runCli({"run", jcf, "--simulate", farm, "--report", tree.path(QStringLiteral("missing/report.csv"))}, env);
    EXPECT_EQ(refused.code, 1);
    EXPECT_TRUE(refused.err.contains("The report's folder does not exist.")) << refused.err.constData();
    QDirIterator sent(farm, {QStringLiteral("a.jpg")}, QDir::Files, QDirIterator::Subdirectories);
    EXPECT_FALSE(sent.hasNext());

    const QString report = tree.path(QStringLiteral("report.json"));
    ASSERT_EQ(runCli({"run", jcf, "--simulate", farm, "--report", report}, env).code, 0);
    const QJsonArray rows = QJsonDocument::fromJson(readFileBytes(report)).object()["devices"].toArray();
    ASSERT_EQ(rows.size(), 1);
    EXPECT_EQ(rows[0]["files_sent"].toInt(), 2);
    EXPECT_FALSE(rows[0]["serial_number"].toString().isEmpty());
}
