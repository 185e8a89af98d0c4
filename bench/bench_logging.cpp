// The event log's speed: 1,000,000 info messages from 4 threads through the pipeline into the
// SQLite and file loggers, against the same rows inserted directly (one prepared statement, one
// transaction); the cost of a call whose flag is off; reading the newest 3000 of 1,000,000 rows.

#include "BenchSupport.h"
#include "logging/DBLogReader.h"
#include "logging/FileLogger.h"
#include "logging/Log.h"
#include "logging/LogDirectory.h"
#include "logging/SQLiteLogger.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <chrono>
#include <sqlite3.h>
#include <thread>
#include <vector>

using namespace kestrap;

namespace {

constexpr int kMessages = 1000000;
constexpr int kThreads = 4;

QString messageText(int thread, int i)
{
    return logFormat("Successfully copied '%1' to %2!", QStringLiteral("/srv/media/file%1.mp4").arg(i),
        QStringLiteral("iPad %1").arg(thread));
}

double directInsert(const QString& dir)
{
    std::vector<QByteArray> texts;
    texts.reserve(kMessages);
    for (int i = 0; i < kMessages; ++i)
        texts.push_back(messageText(i % kThreads, i / kThreads).toUtf8());
    const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();

    return bestOfMs(1, [&] {
        sqlite3* db = nullptr;
        sqlite3_open((dir + QStringLiteral("/direct.xlog")).toUtf8().constData(), &db);
        sqlite3_exec(db,
            "CREATE TABLE IF NOT EXISTS logs (context integer, level integer, message text, timestamp double);"
            "CREATE INDEX IF NOT EXISTS timestamp ON logs (timestamp);"
            "BEGIN EXCLUSIVE TRANSACTION;",
            nullptr, nullptr, nullptr);
        sqlite3_stmt* insert = nullptr;
        sqlite3_prepare_v2(
            db, "INSERT INTO logs (context, level, message, timestamp) VALUES (?, ?, ?, ?)", -1, &insert, nullptr);
        for (int i = 0; i < kMessages; ++i) {
            sqlite3_bind_int64(insert, 1, 0);
            sqlite3_bind_int64(insert, 2, LogFlagInfo);
            sqlite3_bind_text(insert, 3, texts[i].constData(), int(texts[i].size()), SQLITE_STATIC);
            sqlite3_bind_double(insert, 4, now + i * 1e-6);
            sqlite3_step(insert);
            sqlite3_reset(insert);
        }
        sqlite3_finalize(insert);
        sqlite3_exec(db, "COMMIT TRANSACTION;", nullptr, nullptr, nullptr);
        sqlite3_close(db);
    });
}

double throughPipeline(const QString& dir)
{
    auto file = std::make_shared<FileLogger>(FileLoggerOptions {dir});
    auto database = std::make_shared<SQLiteLogger>(dir, QString::fromLatin1(sqliteLogDBFilename));
    database->setSaveInterval(1.0);
    database->setSaveThreshold(0);
    LogPipeline::addLogger(file);
    LogPipeline::addLogger(database);
    logLevelMask = LogFlagError | LogFlagWarn | LogFlagInfo;
    const double ms = bestOfMs(1, [&] {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([t] {
                for (int i = 0; i < kMessages / kThreads; ++i)
                    KLOG_INFO("Successfully copied '%1' to %2!", QStringLiteral("/srv/media/file%1.mp4").arg(i),
                        QStringLiteral("iPad %1").arg(t));
            });
        for (auto& th : threads)
            th.join();
        LogPipeline::flushLog();
    });
    LogPipeline::removeAllLoggers();
    const std::int64_t rows = DBLogReader(dir).count();
    if (rows != kMessages)
        std::printf("pipeline: %lld rows written, expected %d\n", static_cast<long long>(rows), kMessages);
    return ms;
}

}  // namespace

int main()
{
    QTemporaryDir dir;

    const double direct = directInsert(dir.path());
    const double pipeline = throughPipeline(dir.path());
    reportRatio("1,000,000 messages through the pipeline (4 threads, file logger on)", pipeline,
        "the same rows inserted directly", direct, 4.0);

    // A call whose flag is off: one test of the mask, no formatting.
    logLevelMask = 0;
    constexpr int kCalls = 200000000;
    const double off = bestOfMs(3, [] {
        for (int i = 0; i < kCalls; ++i)
            KLOG_INFO("New Device Connected: %1", QString::number(i));
    });
    const double emptyLoop = bestOfMs(3, [] {
        for (int i = 0; i < kCalls; ++i)
            asm volatile("" ::: "memory");
    });
    std::printf("flag off: %.2f ns a call (an empty loop: %.2f ns)\n", off * 1e6 / kCalls, emptyLoop * 1e6 / kCalls);
    reportRatio("200,000,000 calls with the flag off", off, "a budget of 5 ns a call", kCalls * 5e-6, 1.0);

    // Reading as the log window opens: the newest 3000 of the 1,000,000 direct rows.
    QDir().mkpath(dir.filePath(QStringLiteral("read")));
    QFile::rename(dir.filePath(QStringLiteral("direct.xlog")), dir.filePath(QStringLiteral("read/kvq.xlog")));
    DBLogReader reader(dir.filePath(QStringLiteral("read")));
    std::size_t got = 0;
    const double read = bestOfMs(5, [&] { got = reader.loadFrom(0, 3000, true).size(); });
    if (got != 3000)
        std::printf("reader: %zu rows, expected 3000\n", got);
    reportRatio("reading the newest 3000 of 1,000,000 rows", read, "a budget of 20 ms", 20.0, 1.0);
    return 0;
}
