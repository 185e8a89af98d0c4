#pragma once

#include "logging/DatabaseLogger.h"

#include "logging/SqliteSupport.h"
#include <QString>

#include <atomic>
#include <chrono>
#include <string>
#include <unordered_map>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace kestrap {

// One row waiting to be written.
struct SQLiteLogEntry {
    std::int64_t context = 0;
    std::int64_t level = 0;  // the message's flag (1, 2 or 4), not the mask
    QString message;
    double timestamp = 0;  // seconds since 1970
};

// The event log writer: table "logs" (context, level, message, timestamp) of an SQLite file,
// "kvq.xlog" in the log directory as the application sets it up. Each batch is one exclusive
// transaction. Problems with the folder or the database go to the console once and leave the
// logger without a database: it then takes no messages and the program runs on.
//
// Threading: construct and destroy on any thread (not on the logger's own queue); everything
// else runs on the logger's queue as DatabaseLogger describes.
class SQLiteLogger : public DatabaseLogger {
public:
    // An empty directory means defaultLogDirectory(); an empty file name "log.sqlite".
    explicit SQLiteLogger(const QString& logDirectory = {}, const QString& filename = {});
    ~SQLiteLogger() override;

    // The folder, or a null string when it could not be made.
    QString logDirectory() const { return m_logDirectory; }
    QString dbFilename() const { return m_dbFilename; }
    // Whether the database is open and set up.
    bool hasDatabase();
    // Batches committed so far.
    std::uint64_t committedBatches() const { return m_committedBatches.load(); }
    // How long a statement waits for another connection's lock (10 s unless set); a batch
    // that finds the database locked for longer is kept and tried again at the next save.
    // Before the logger is added to the pipeline.
    void setBusyLimit(std::chrono::milliseconds limit) { m_busyLimit = limit; }
    // The most entries kept while the database stays locked; the oldest beyond go.
    static constexpr std::size_t kMaxKeptEntries = 10000;

protected:
    bool db_log(const LogMessage& message) override;
    std::uint32_t db_save() override;
    void db_delete() override;
    std::uint32_t db_saveAndDelete() override;

private:
    void validateLogDirectory();
    void openDatabase();
    sqlite3_stmt* statement(const char* sql);
    int run(const char* sql);
    int insertPending();
    std::uint32_t keepForRetry(int code);
    void report(const char* what, int code);

    QString m_logDirectory;
    QString m_dbFilename;
    sqlite3* m_database = nullptr;
    std::vector<SQLiteLogEntry> m_pendingLogEntries;
    std::unordered_map<std::string, sqlite3_stmt*> m_statements;
    std::atomic<std::uint64_t> m_committedBatches {0};
    std::chrono::milliseconds m_busyLimit = sqlitesupport::kBusyLimit;
};

}  // namespace kestrap
