// The event log writer: schema, batching, flush at quit, purging, failures that must not stop
// the program.

#include "logging/SQLiteLogger.h"
#include "logging/FileLogger.h"
#include "logging/LogTestSupport.h"
#include "logging/LoggingSetup.h"
#include "support/TempTree.h"

#include <QCoreApplication>
#include <QDir>
#include <gtest/gtest.h>
#include <sqlite3.h>

using namespace kestrap;
using namespace std::chrono;

namespace {

// A second connection to the database file, as another process would have.
class Db {
public:
    explicit Db(const QString& path) { sqlite3_open(path.toUtf8().constData(), &m_db); }
    ~Db() { sqlite3_close(m_db); }
    int exec(const char* sql) { return sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr); }
    QString text(const char* sql)
    {
        sqlite3_stmt* st = nullptr;
        QString out;
        sqlite3_prepare_v2(m_db, sql, -1, &st, nullptr);
        while (sqlite3_step(st) == SQLITE_ROW)
            out += QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(st, 0))) + u'\n';
        sqlite3_finalize(st);
        return out;
    }
    int count() { return text("SELECT COUNT(*) FROM logs").toInt(); }

private:
    sqlite3* m_db = nullptr;
};

class SQLiteLoggerTest : public ::testing::Test {
protected:
    void TearDown() override { LogPipeline::removeAllLoggers(); }

    // As the application sets it up.
    std::shared_ptr<SQLiteLogger> applicationLogger()
    {
        auto logger = std::make_shared<SQLiteLogger>(tree.path(), QStringLiteral("kvq.xlog"));
        logger->setSaveInterval(1.0);
        logger->setSaveThreshold(0);
        return logger;
    }
    QString dbPath() const { return tree.path(QStringLiteral("kvq.xlog")); }

    TempTree tree;
};

}  // namespace

TEST_F(SQLiteLoggerTest, CreatesTheSchemaAndKeepsTheDefaults)
{
    auto logger = applicationLogger();
    EXPECT_TRUE(logger->hasDatabase());
    EXPECT_EQ(logger->saveInterval(), 1.0);
    EXPECT_EQ(logger->saveThreshold(), 0u);
    EXPECT_EQ(logger->maxAge(), 604800.0);
    EXPECT_EQ(logger->deleteInterval(), 300.0);
    EXPECT_FALSE(logger->deleteOnEverySave());
    Db db(dbPath());
    EXPECT_EQ(db.text("SELECT sql FROM sqlite_master ORDER BY name"),
        QStringLiteral("CREATE TABLE logs (context integer, level integer, message text, timestamp double)\n"
                       "CREATE INDEX timestamp ON logs (timestamp)\n"));
}

TEST_F(SQLiteLoggerTest, MessagesOfOneSecondLandTogetherASecondAfterTheFirst)
{
    LogMaskGuard maskGuard;
    auto logger = applicationLogger();
    LogPipeline::addLogger(logger);
    logLevelMask = LogFlagError | LogFlagWarn | LogFlagInfo;
    Db db(dbPath());

    const auto first = steady_clock::now();
    for (int i = 0; i < 20; ++i) {
        KLOG_INFO("Transferring %1 to %2...", i, "iPad");
        std::this_thread::sleep_for(milliseconds(20));
    }
    EXPECT_EQ(db.count(), 0);
    int seen = 0;
    ASSERT_TRUE(waitUntil([&] { return (seen = db.count()) > 0; }));
    const double after = duration<double>(steady_clock::now() - first).count();
    EXPECT_EQ(seen, 20);  // never a part of the burst
    EXPECT_GE(after, 0.95);
    EXPECT_LT(after, 3.0);
    EXPECT_EQ(logger->committedBatches(), 1u);
    EXPECT_EQ(db.text("SELECT level || ' ' || context || ' ' || message FROM logs ORDER BY rowid LIMIT 1"),
        QStringLiteral("4 0 Transferring 0 to iPad...\n"));
}

TEST_F(SQLiteLoggerTest, QuittingWithinTheSecondLosesNothing)
{
    qputenv("KESTRAP_LOG_DIR", tree.path().toUtf8());
    int argc = 1;
    char name[] = "kestrap";
    char* argv[] = {name, nullptr};
    {
        QCoreApplication app(argc, argv);
        startLogging();
        for (int i = 0; i < 300; ++i)
            KLOG_INFO("message %1", i);
        KLOG_ERROR("This is not a iOS device: %1", "iPod");
    }  // the application object goes away well within the second
    Db db(dbPath());
    EXPECT_EQ(db.count(), 301);
    EXPECT_EQ(db.text("SELECT level FROM logs ORDER BY rowid DESC LIMIT 1"), QStringLiteral("1\n"));
    const QStringList texts = QDir(tree.path()).entryList({QStringLiteral("log-*.txt")});
    ASSERT_EQ(texts.size(), 1);
    EXPECT_GT(QFile(tree.path(texts[0])).size(), 0);
}

TEST_F(SQLiteLoggerTest, RowsOlderThanAWeekArePurgedAtStartAndOnTheDeleteTimer)
{
    {
        auto setup = applicationLogger();  // creates the table
    }
    const double now = duration<double>(system_clock::now().time_since_epoch()).count();
    Db db(dbPath());
    db.exec(QStringLiteral("INSERT INTO logs VALUES (0, 4, 'old', %1), (0, 4, 'recent', %2)")
                .arg(now - 8 * 86400, 0, 'f', 3)
                .arg(now - 6 * 86400, 0, 'f', 3)
                .toUtf8()
                .constData());

    // A short command-line run never sees its 300 s delete timer: the start purges.
    auto logger = applicationLogger();
    LogPipeline::addLogger(logger);
    LogPipeline::flushLog();
    EXPECT_EQ(db.text("SELECT message FROM logs"), QStringLiteral("recent\n"));
    LogPipeline::removeAllLoggers();

    db.exec(QStringLiteral("INSERT INTO logs VALUES (0, 4, 'old', %1)")
                .arg(now - 8 * 86400, 0, 'f', 3)
                .toUtf8()
                .constData());
    logger = applicationLogger();
    logger->setDeleteInterval(0.1);
    LogPipeline::addLogger(logger);
    ASSERT_TRUE(waitUntil([&] { return db.count() == 1; }));
    db.exec(QStringLiteral("INSERT INTO logs VALUES (0, 4, 'old', %1)")
                .arg(now - 8 * 86400, 0, 'f', 3)
                .toUtf8()
                .constData());
    ASSERT_TRUE(waitUntil([&] { return db.count() == 1; }));
    EXPECT_EQ(db.text("SELECT message FROM logs"), QStringLiteral("recent\n"));
}

TEST_F(SQLiteLoggerTest, ALogFolderThatIsAFileLeavesTheProgramRunningWithOneMessage)
{
    const QString notAFolder = tree.file(QStringLiteral("Kestrap"));
    ConsoleCapture console;
    auto database = std::make_shared<SQLiteLogger>(notAFolder, QStringLiteral("kvq.xlog"));
    EXPECT_TRUE(database->logDirectory().isNull());
    EXPECT_FALSE(database->hasDatabase());
    LogPipeline::addLogger(std::make_shared<FileLogger>(FileLoggerOptions {notAFolder}));
    LogPipeline::addLogger(database);
    for (int i = 0; i < 10; ++i)
        KLOG_ERROR("Failed to copy '%1' to %2!", i, "iPad");
    LogPipeline::flushLog();
    EXPECT_EQ(console.lines(),
        QStringList {
            QStringLiteral("SQLiteLogger: validateLogDirectory - logDirectory(%1) is a file!").arg(notAFolder)});
}

TEST_F(SQLiteLoggerTest, AFileThatIsNoDatabaseIsReportedAndLeftAlone)
{
    const QString path = tree.file(QStringLiteral("kvq.xlog"), 4096);
    ConsoleCapture console;
    auto logger = applicationLogger();
    EXPECT_FALSE(logger->hasDatabase());
    ASSERT_EQ(console.lines().size(), 1);
    EXPECT_TRUE(console.lines()[0].startsWith(QStringLiteral("SQLiteLogger: Error creating table: code(26): ")));
    LogPipeline::addLogger(logger);
    KLOG_ERROR("lost");
    LogPipeline::flushLog();
    EXPECT_EQ(QFile(path).size(), 4096);
}

TEST_F(SQLiteLoggerTest, ABusyDatabaseIsWaitedFor)
{
    auto logger = applicationLogger();
    LogPipeline::addLogger(logger);
    Db other(dbPath());
    ASSERT_EQ(other.exec("BEGIN EXCLUSIVE TRANSACTION"), SQLITE_OK);
    std::thread release([&] {
        std::this_thread::sleep_for(milliseconds(200));
        other.exec("COMMIT");
    });
    ConsoleCapture console;
    KLOG_INFO("waits for the other connection");
    LogPipeline::flushLog();
    release.join();
    EXPECT_TRUE(console.lines().isEmpty());
    EXPECT_EQ(Db(dbPath()).count(), 1);
}

// Another program (a shell, a backup) holding the event log for longer than the writer waits
// (10 s; shortened here) costs no entry: the batch waits and lands once the lock is gone.
TEST_F(SQLiteLoggerTest, ADatabaseLockedLongerThanTheWriterWaitsKeepsItsEntriesUntilItIsFree)
{
    auto logger = applicationLogger();
    logger->setBusyLimit(milliseconds(50));
    logger->setSaveInterval(0.1);
    LogPipeline::addLogger(logger);
    Db other(dbPath());
    ASSERT_EQ(other.exec("BEGIN EXCLUSIVE TRANSACTION"), SQLITE_OK);
    ConsoleCapture console;
    KLOG_INFO("first while locked");
    KLOG_INFO("second while locked");
    LogPipeline::flushLog();
    EXPECT_EQ(console.lines(),
        QStringList({"SQLiteLogger: Error inserting log entries: code(5): database is locked",
            "SQLiteLogger: 2 log entries kept until the database is free"}));
    KLOG_INFO("third while locked");
    LogPipeline::flushLog();
    EXPECT_TRUE(console.lines().last().endsWith("3 log entries kept until the database is free"));
    ASSERT_EQ(other.exec("COMMIT"), SQLITE_OK);
    // No new message and no flush: the kept batch is tried again on its own.
    Db reader(dbPath());
    EXPECT_TRUE(waitUntil([&] { return reader.count() == 3; }, seconds(10)));
    EXPECT_EQ(reader.text("SELECT message FROM logs ORDER BY rowid"),
        QStringLiteral("first while locked\nsecond while locked\nthird while locked\n"));
}

TEST_F(SQLiteLoggerTest, SettingsFromOtherThreadsTakeEffectInOrder)
{
    auto logger = applicationLogger();
    LogPipeline::addLogger(logger);
    logger->setSaveThreshold(5);  // already-unsaved entries count towards it
    for (int i = 0; i < 4; ++i)
        KLOG_INFO("entry %1", i);
    LogPipeline::flushLog();
    EXPECT_EQ(logger->committedBatches(), 1u);
    for (int i = 0; i < 5; ++i)
        KLOG_INFO("entry %1", i);
    EXPECT_TRUE(waitUntil([&] { return logger->committedBatches() == 2u; }, milliseconds(800)));
}
