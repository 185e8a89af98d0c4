// The application as a process, the way a session or a terminal ends it.

#include "job/JobDocument.h"
#include "settings/Settings.h"
#include "settings/UserDefaults.h"
#include "support/TempTree.h"
#include "support/TestFarm.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <csignal>
#include <gtest/gtest.h>

using namespace kestrap;

namespace {

const QString kBundle = QStringLiteral("com.example.reader");

QByteArray contentsOf(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Every file under the folder, by path relative to it.
QStringList filesUnder(const QString& folder)
{
    QStringList files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(folder).relativeFilePath(it.next());
    files.sort();
    return files;
}

// Settings that log everything, and an environment of the test's own: its logs, its settings,
// and no running Kestrap to hand over to but one it starts (busAddress: its own bus, or none).
QProcessEnvironment appEnvironment(const TempTree& tree, const QString& busAddress = {})
{
    SettingsUserDefaults settings(tree.path(QStringLiteral("settings.ini")));
    for (const QString& key : {kEnableLoggingKey, kEnableLoggingNormalKey, kEnableLoggingWarnKey})
        settings.setBool(key, true);
    settings.synchronize();
    QDir().mkpath(tree.path(QStringLiteral("run")));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("KESTRAP_LOG_DIR"), tree.path(QStringLiteral("logs")));
    env.insert(QStringLiteral("KESTRAP_SETTINGS"), tree.path(QStringLiteral("settings.ini")));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), tree.path(QStringLiteral("run")));
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
        busAddress.isEmpty() ? QStringLiteral("unix:path=") + tree.path(QStringLiteral("no-bus")) : busAddress);
    return env;
}

QByteArray logsOf(const TempTree& tree)
{
    QByteArray logs;
    for (const QString& file : filesUnder(tree.path(QStringLiteral("logs"))))
        logs += contentsOf(tree.path(QStringLiteral("logs/")) + file);
    return logs;
}

// Ends a running application as a session does.
void terminate(QProcess& app)
{
    ::kill(pid_t(app.processId()), SIGTERM);
    ASSERT_TRUE(app.waitForFinished(10000));
    EXPECT_EQ(app.exitCode(), 0);
}

}  // namespace

TEST(AppProcess, TerminationSignalStopsTheJobAtItsNextWriteAndExitsCleanly)
{
#if defined(__SANITIZE_THREAD__)
    // The program under test is built with ThreadSanitizer too, which reports Qt's own
    // uninstrumented hand-overs in it and makes it exit with an error; the other builds run this.
    GTEST_SKIP() << "not under ThreadSanitizer";
#endif
    TempTree tree;
    TestFarm farm;
    sim::SimDeviceSpec model;
    model.apps.push_back({kBundle, QStringLiteral("Reader")});
    model.faults.writeDelayMsPerMiB = 3000;  // a file takes seconds: the signal comes mid-file
    const QString udid = farm.addDevice(model);
    const QString documents = farm.container(udid, kBundle) + QStringLiteral("/Documents");
    QDir().mkpath(documents);
    const QByteArray previous("the device's previous copy");
    {
        QFile old(documents + QStringLiteral("/f0.bin"));
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write(previous);
    }

    JobDocument job;
    job.setAppId(kBundle);
    job.setFolder(QStringLiteral("Documents"));
    for (int i = 0; i < 3; ++i)
        job.addFilePaths({tree.file(QStringLiteral("src/f%1.bin").arg(i), 1024 * 1024)});
    const QString jcf = tree.path(QStringLiteral("job.jcf"));
    ASSERT_TRUE(job.writeToFile(jcf));

    QProcess app;
    app.setProcessEnvironment(appEnvironment(tree));
    app.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    app.start(QStringLiteral(KESTRAP_APP), {"--simulate", farm.path(), "--start", jcf});
    ASSERT_TRUE(app.waitForStarted()) << app.errorString().toStdString();
    const auto inProgress = [&] {
        return !QDir(documents)
                    .entryList({QStringLiteral(".f0.bin.*.kestrap-part")}, QDir::Files | QDir::Hidden)
                    .isEmpty();
    };
    ASSERT_TRUE(TestFarm::waitFor(inProgress, 20000, false));

    QElapsedTimer ending;
    ending.start();
    ::kill(pid_t(app.processId()), SIGTERM);
    ASSERT_TRUE(app.waitForFinished(10000));
    EXPECT_LT(ending.elapsed(), 8000);
    EXPECT_EQ(app.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(app.exitCode(), 0);

    // The file in progress either landed whole or not at all; no temporary is left.
    EXPECT_EQ(filesUnder(documents).filter(QStringLiteral("kestrap-part")), QStringList());
    const QByteArray f0 = contentsOf(documents + QStringLiteral("/f0.bin"));
    EXPECT_TRUE(f0 == previous || f0 == contentsOf(tree.path(QStringLiteral("src/f0.bin"))));
    EXPECT_FALSE(QFile::exists(documents + QStringLiteral("/f2.bin")));

    // What was logged last reached the log before the process ended.
    const QByteArray logs = logsOf(tree);
    EXPECT_TRUE(logs.contains("Ending on signal 15"));
    EXPECT_TRUE(logs.contains("The transfer job has been stopped!"));
}

// A damaged job file on the command line leaves a message open that nobody at a station
// answers; the service manager's SIGTERM must still end the program.
TEST(AppProcess, TerminationSignalEndsTheProgramWhileAMessageIsOpen)
{
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "not under ThreadSanitizer";
#endif
    TempTree tree;
    TestFarm farm;
    farm.addPhone({{kBundle, QStringLiteral("Reader")}});
    const QString bad = tree.path(QStringLiteral("bad.jcf"));
    {
        QFile f(bad);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("not a job file at all");
    }
    for (int signalNumber : {SIGTERM, SIGINT}) {
        QProcess app;
        app.setProcessEnvironment(appEnvironment(tree));
        app.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        app.start(QStringLiteral(KESTRAP_APP), {"--simulate", farm.path(), bad});
        ASSERT_TRUE(app.waitForStarted()) << app.errorString().toStdString();
        // The message is up once the window waits on it; it would wait for ever.
        ASSERT_FALSE(app.waitForFinished(1500));
        QElapsedTimer ending;
        ending.start();
        ::kill(pid_t(app.processId()), signalNumber);
        ASSERT_TRUE(app.waitForFinished(5000)) << "signal " << signalNumber;
        EXPECT_LT(ending.elapsed(), 3000);
        EXPECT_EQ(app.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(app.exitCode(), 0);
        EXPECT_TRUE(logsOf(tree).contains("Ending on signal " + QByteArray::number(signalNumber)));
    }
}

// Run both ways: with a session bus of the test's own, and without any.
class SecondLaunch : public ::testing::TestWithParam<bool> { };

TEST_P(SecondLaunch, HandsItsJobToTheRunningApplicationAndEndsWithExitCodeZero)
{
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "not under ThreadSanitizer";
#endif
    const bool withBus = GetParam();
    QProcess daemon;
    QString busAddress;
    if (withBus) {
        const QString dbusDaemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
        if (dbusDaemon.isEmpty())
            GTEST_SKIP() << "no dbus-daemon";
        daemon.start(dbusDaemon, {"--session", "--nofork", "--print-address"});
        ASSERT_TRUE(daemon.waitForReadyRead(5000));
        busAddress = QString::fromUtf8(daemon.readLine()).trimmed();
    }
    TempTree tree;
    JobDocument job;
    job.setAppId(kBundle);
    job.addFilePaths({tree.file(QStringLiteral("src/a.bin"))});
    const QString jcf = tree.path(QStringLiteral("handed.jcf"));
    ASSERT_TRUE(job.writeToFile(jcf));
    TestFarm farm;
    const QProcessEnvironment env = appEnvironment(tree, busAddress);

    QProcess first;
    first.setProcessEnvironment(env);
    first.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    first.start(QStringLiteral(KESTRAP_APP), {"--simulate", farm.path()});
    ASSERT_TRUE(first.waitForStarted());
    const auto serving = [&] {
        if (withBus) {
            auto bus = QDBusConnection::connectToBus(busAddress, QStringLiteral("probe"));
            return bus.interface()->isServiceRegistered(QStringLiteral("org.kestrap.Kestrap")).value();
        }
        return QFile::exists(tree.path(QStringLiteral("run/kestrap.socket")));
    };
    ASSERT_TRUE(TestFarm::waitFor(serving, 20000, false));

    QProcess second;
    second.setProcessEnvironment(env);
    second.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    second.start(QStringLiteral(KESTRAP_APP), {"--simulate", farm.path(), jcf});
    ASSERT_TRUE(second.waitForFinished(10000));
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_EQ(first.state(), QProcess::Running);

    terminate(first);
    EXPECT_TRUE(logsOf(tree).contains("Opening " + jcf.toUtf8() + ", handed over by another launch"));
    daemon.kill();
    daemon.waitForFinished();
}

INSTANTIATE_TEST_SUITE_P(AppProcess, SecondLaunch, ::testing::Values(true, false),
    [](const auto& info) { return info.param ? "OverTheSessionBus" : "OverTheLocalSocket"; });
