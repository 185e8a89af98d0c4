// kestrap-cli run while the station's own side fails: its disk, its log folder, its event log.
// The copies go on, the failure is said, and what the run reports done is on the devices.

#include "support/CliRun.h"
#include "support/TempTree.h"

#include "device/ios/sim/SimFarm.h"

#include <QDeadlineTimer>
#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QThread>
#include <csignal>
#include <grp.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kFiles = 4;
constexpr qsizetype kFileSize = 3000;

class RunFaults : public ::testing::Test {
protected:
    TempTree tree;
    QString farm;
    QString jcf;
    QString logs;
    QMap<QString, QString> env;

    void SetUp() override
    {
        farm = tree.path(QStringLiteral("farm"));
        jcf = tree.path(QStringLiteral("job.jcf"));
        logs = tree.folder(QStringLiteral("logs"));
        env = {{QStringLiteral("KESTRAP_LOG_DIR"), logs},
            {QStringLiteral("KESTRAP_SETTINGS"), tree.path(QStringLiteral("settings.ini"))}};
        tree.folder(QStringLiteral("src"));
        for (int i = 0; i < kFiles; ++i)
            writeFileBytes(tree.path(QStringLiteral("src/f%1.bin").arg(i)), QByteArray(kFileSize, char('a' + i)));
        ASSERT_EQ(runCli({"job", "create", jcf, "--app-id", "com.example.app", "--folder", "Documents",
                             tree.path(QStringLiteral("src"))})
                      .code,
            0);
        ASSERT_EQ(runCli({"sim", "create", farm, "--devices", "2", "--app", "com.example.app"}).code, 0);
        // Every copy is logged, not only failures: the logs grow as the run goes.
        ASSERT_EQ(runCli({"defaults", "set", "enableLoggingNormal", "true"}, env).code, 0);
    }

    // Every device the summary calls Finished holds every file, whole.
    void expectFinishedDevicesHoldEverything(const QJsonObject& summary)
    {
        const QJsonArray devices = summary["devices"].toArray();
        ASSERT_FALSE(devices.isEmpty());
        for (const auto& d : devices) {
            const QJsonObject o = d.toObject();
            if (o["statusText"].toString() != QLatin1String("Finished"))
                continue;
            const QString documents
                = QStringLiteral("%1/%2/Containers/com.example.app/Documents/src/").arg(farm, o["uid"].toString());
            for (int i = 0; i < kFiles; ++i)
                EXPECT_EQ(
                    readFileBytes(documents + QStringLiteral("f%1.bin").arg(i)), QByteArray(kFileSize, char('a' + i)))
                    << qPrintable(o["uid"].toString());
        }
    }
};

// kestrap-cli started with env, the modifier run in the child before it starts.
void startCli(
    QProcess& p, const QMap<QString, QString>& env, const QStringList& args, const std::function<void()>& modifier = {})
{
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    e.remove(QStringLiteral("KESTRAP_FARM"));
    for (auto it = env.cbegin(); it != env.cend(); ++it)
        e.insert(it.key(), it.value());
    p.setProcessEnvironment(e);
    if (modifier)
        p.setChildProcessModifier(modifier);
    p.start(QString::fromLocal8Bit(qgetenv("KESTRAP_CLI")), args);
}

// The event log's schema, as the writer makes it, in a file of its own pages only.
void makeEventLog(const QString& path)
{
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.toUtf8().constData(), &db), SQLITE_OK);
    sqlite3_exec(db, "CREATE TABLE IF NOT EXISTS logs (context integer, level integer, message text, timestamp double)",
        nullptr, nullptr, nullptr);
    sqlite3_exec(db, "CREATE INDEX IF NOT EXISTS timestamp ON logs (timestamp)", nullptr, nullptr, nullptr);
    sqlite3_exec(db, "INSERT INTO logs VALUES (0, 4, 'logged before the disk filled', strftime('%s','now'))", nullptr,
        nullptr, nullptr);
    sqlite3_close(db);
}

}  // namespace

// A full disk under the log folder, made with a file size limit in the child: its logs cannot
// grow by a byte, the device files (smaller than the limit) can.
TEST_F(RunFaults, ADiskFullUnderTheLogsStopsTheLogsNotTheCopies)
{
    makeEventLog(logs + QStringLiteral("/kvq.xlog"));
    const qint64 limit = QFileInfo(logs + QStringLiteral("/kvq.xlog")).size();
    ASSERT_GT(limit, kFileSize);
    writeFileBytes(logs + QStringLiteral("/log-ABCDEF.txt"), QByteArray(limit - 10, 'x'));

    QProcess p;
    startCli(p, env, {"run", jcf, "--simulate", farm, "--json"}, [limit] {
        const rlimit r {rlim_t(limit), rlim_t(limit)};
        ::setrlimit(RLIMIT_FSIZE, &r);
        // A full disk says ENOSPC; a size limit also sends this signal, which would end the run.
        ::signal(SIGXFSZ, SIG_IGN);
    });
    ASSERT_TRUE(p.waitForFinished(60000));
    const QByteArray err = p.readAllStandardError();
    const QJsonObject summary = QJsonDocument::fromJson(p.readAllStandardOutput()).object();
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p.exitCode(), 0) << err.constData();
    EXPECT_TRUE(summary["success"].toBool());
    expectFinishedDevicesHoldEverything(summary);
    EXPECT_TRUE(err.contains("FileLogManager: Error writing")) << err.constData();
    EXPECT_TRUE(err.contains("SQLiteLogger: Error inserting log entries: code(")) << err.constData();

    // Room again: what was logged before is there, and logging goes on.
    EXPECT_EQ(runCli({"run", jcf, "--simulate", farm}, env).code, 0);
    const CliResult log = runCli({"log", "--tail", "100"}, env);
    EXPECT_EQ(log.code, 0) << log.err.constData();
    EXPECT_TRUE(log.out.contains("logged before the disk filled")) << log.out.constData();
    EXPECT_GT(log.out.count('\n'), 2) << log.out.constData();
}

// Read-only means nothing to root: run as root, the test runs the station as "nobody".
TEST_F(RunFaults, ALogFolderMadeReadOnlyMidRunLeavesTheCopiesGoing)
{
    // About a quarter of a second a file, so that the run is under way when the folder changes.
    for (const QString& udid : kestrap::sim::deviceIds(farm)) {
        const QString folder = farm + QLatin1Char('/') + udid;
        auto plist = kestrap::sim::readDevicePlist(folder);
        ASSERT_TRUE(plist);
        plist->insert(kestrap::sim::kKeyFaults, QVariantMap {{QStringLiteral("WriteDelayMsPerMiB"), 90000}});
        ASSERT_TRUE(kestrap::sim::writeDevicePlist(folder, *plist));
    }
    const bool root = ::geteuid() == 0;
    if (root) {
        // "nobody" must reach the program: a checkout inside a folder only root may enter
        // (mktemp's, say) leaves it nothing to run.
        for (QDir dir = QFileInfo(QString::fromLocal8Bit(qgetenv("KESTRAP_CLI"))).absoluteDir(); !dir.isRoot();
             dir.cdUp())
            if (!(QFileInfo(dir.path()).permissions() & QFileDevice::ExeOther))
                GTEST_SKIP() << qPrintable(dir.path()) << " is closed to other users";
        QDirIterator it(
            tree.path(), QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
        ASSERT_EQ(::chown(QFile::encodeName(tree.path()).constData(), 65534, 65534), 0);
        while (it.hasNext())
            ASSERT_EQ(::lchown(QFile::encodeName(it.next()).constData(), 65534, 65534), 0);
    }
    QProcess p;
    startCli(p, env, {"run", jcf, "--simulate", farm, "--json"}, [root] {
        if (root && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(125);
    });
    // Made read-only once the first file has reached a device.
    const QDeadlineTimer deadline(30000);
    while (!deadline.hasExpired()
        && QDirIterator(farm, {QStringLiteral("f*.bin")}, QDir::Files, QDirIterator::Subdirectories).hasNext() == false)
        QThread::msleep(5);
    ASSERT_EQ(::chmod(QFile::encodeName(logs).constData(), 0555), 0);
    ASSERT_TRUE(p.waitForFinished(60000));
    ::chmod(QFile::encodeName(logs).constData(), 0755);
    const QByteArray err = p.readAllStandardError();
    const QJsonObject summary = QJsonDocument::fromJson(p.readAllStandardOutput()).object();
    EXPECT_EQ(p.exitCode(), 0) << err.constData();
    EXPECT_TRUE(summary["success"].toBool());
    expectFinishedDevicesHoldEverything(summary);
    // The event log's batches after the change fail, and say so; the text log's file was open.
    EXPECT_TRUE(
        err.contains("SQLiteLogger: Error inserting log entries: code(8): attempt to write a readonly database"))
        << err.constData();
}
