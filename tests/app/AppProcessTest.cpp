// The application as a process, the way a session or a terminal ends it.

#include "job/PortJob.h"
#include "settings/Settings.h"
#include "settings/UserDefaults.h"
#include "support/TempTree.h"
#include "support/TestFarm.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
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

    PortJob job;
    job.setAppId(kBundle);
    job.setFolder(QStringLiteral("Documents"));
    for (int i = 0; i < 3; ++i)
        job.addFilePaths({tree.file(QStringLiteral("src/f%1.bin").arg(i), 1024 * 1024)});
    const QString jcf = tree.path(QStringLiteral("job.jcf"));
    ASSERT_TRUE(job.writeToFile(jcf));

    {
        SettingsUserDefaults settings(tree.path(QStringLiteral("settings.ini")));
        for (const QString& key : {kEnableLoggingKey, kEnableLoggingNormalKey, kEnableLoggingWarnKey})
            settings.setBool(key, true);
        settings.synchronize();
    }
    QProcess app;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("KESTRAP_LOG_DIR"), tree.path(QStringLiteral("logs")));
    env.insert(QStringLiteral("KESTRAP_SETTINGS"), tree.path(QStringLiteral("settings.ini")));
    app.setProcessEnvironment(env);
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
    QByteArray logs;
    for (const QString& file : filesUnder(tree.path(QStringLiteral("logs"))))
        logs += contentsOf(tree.path(QStringLiteral("logs/")) + file);
    EXPECT_TRUE(logs.contains("Ending on signal 15"));
    EXPECT_TRUE(logs.contains("The transfer job has been stopped!"));
}
