#include "logging/SQLiteLogger.h"
#include "logging/Console.h"
#include "logging/LogDirectory.h"
#include "logging/SqliteSupport.h"

#include <QDir>
#include <QFileInfo>
#include <chrono>
#include <sqlite3.h>

namespace kestrap {

using sqlitesupport::isError;
using sqlitesupport::stepRetrying;

namespace {
constexpr char kInsert[] = "INSERT INTO logs (context, level, message, timestamp) VALUES (?, ?, ?, ?)";
constexpr char kDelete[] = "DELETE FROM logs WHERE timestamp < ?";
constexpr char kBegin[] = "BEGIN EXCLUSIVE TRANSACTION;";
constexpr char kCommit[] = "COMMIT TRANSACTION;";
constexpr char kRollback[] = "ROLLBACK TRANSACTION;";

double nowSeconds()
{
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}
}  // namespace

SQLiteLogger::SQLiteLogger(const QString& logDirectory, const QString& filename)
    : DatabaseLogger(QStringLiteral("SQLiteLogger"))
    , m_logDirectory(logDirectory.isEmpty() ? defaultLogDirectory() : logDirectory)
    , m_dbFilename(filename)
{
    validateLogDirectory();
    openDatabase();
    m_pendingLogEntries.reserve(saveThreshold());
}

SQLiteLogger::~SQLiteLogger()
{
    shutDown();
    if (!m_pendingLogEntries.empty())
        consoleMessage(QStringLiteral("SQLiteLogger: %1 log entries not written: the database stayed locked")
                           .arg(m_pendingLogEntries.size()));
    for (auto& [sql, stmt] : m_statements)
        sqlite3_finalize(stmt);
    if (m_database)
        sqlite3_close(m_database);
}

bool SQLiteLogger::hasDatabase()
{
    bool open = false;
    loggerQueue().sync([&] { open = m_database != nullptr; });
    return open;
}

void SQLiteLogger::validateLogDirectory()
{
    const QFileInfo info(m_logDirectory);
    if (info.exists() && !info.isDir()) {
        consoleMessageOnce(QStringLiteral("logDirectory:") + m_logDirectory,
            QStringLiteral("SQLiteLogger: validateLogDirectory - logDirectory(%1) is a file!").arg(m_logDirectory));
        m_logDirectory = QString();
        return;
    }
    QString error;
    if (!makeLogDirectory(m_logDirectory, &error)) {
        consoleMessageOnce(QStringLiteral("logDirectory:") + m_logDirectory,
            QStringLiteral("SQLiteLogger: validateLogDirectory - Unable to create logDirectory(%1) due to error: %2")
                .arg(m_logDirectory, error));
        m_logDirectory = QString();
    }
}

void SQLiteLogger::openDatabase()
{
    if (m_logDirectory.isNull())
        return;
    const QString name = m_dbFilename.isEmpty() ? QStringLiteral("log.sqlite") : m_dbFilename;
    const QByteArray path = QDir(m_logDirectory).filePath(name).toUtf8();
    if (sqlite3_open_v2(path.constData(), &m_database, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr)
        != SQLITE_OK) {
        consoleMessage(QStringLiteral("SQLiteLogger: Failed opening database!"));
        sqlite3_close(m_database);
        m_database = nullptr;
        return;
    }
    const struct {
        const char* sql;
        const char* what;
    } setup[] = {
        {"CREATE TABLE IF NOT EXISTS logs (context integer, level integer, message text, timestamp double)",
            "Error creating table"},
        {"CREATE INDEX IF NOT EXISTS timestamp ON logs (timestamp)", "Error creating index"},
    };
    for (const auto& step : setup) {
        if (const int rc = run(step.sql); isError(rc)) {
            report(step.what, rc);
            for (auto& [sql, stmt] : m_statements)
                sqlite3_finalize(stmt);
            m_statements.clear();
            sqlite3_close(m_database);
            m_database = nullptr;
            return;
        }
    }
}

sqlite3_stmt* SQLiteLogger::statement(const char* sql)
{
    const auto it = m_statements.find(sql);
    if (it != m_statements.end()) {
        sqlite3_reset(it->second);
        sqlite3_clear_bindings(it->second);
        return it->second;
    }
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(m_database, sql, -1, &stmt, nullptr) != SQLITE_OK)
        return nullptr;
    m_statements.emplace(sql, stmt);
    return stmt;
}

int SQLiteLogger::run(const char* sql)
{
    sqlite3_stmt* stmt = statement(sql);
    if (!stmt)
        return sqlite3_errcode(m_database);
    const int rc = stepRetrying(stmt, sqlite3_step, m_busyLimit);
    sqlite3_reset(stmt);
    return rc == SQLITE_DONE || rc == SQLITE_ROW ? SQLITE_OK : rc;
}

void SQLiteLogger::report(const char* what, int code)
{
    // The connection's message describes the failure unless a later statement replaced it.
    const char* text = sqlite3_errcode(m_database) == code ? sqlite3_errmsg(m_database) : sqlite3_errstr(code);
    consoleMessage(QStringLiteral("SQLiteLogger: %1: code(%2): %3")
                       .arg(QString::fromLatin1(what))
                       .arg(code)
                       .arg(QString::fromUtf8(text)));
}

bool SQLiteLogger::db_log(const LogMessage& message)
{
    // Without a database nothing would ever empty the batch.
    if (!m_database)
        return false;
    m_pendingLogEntries.push_back({message.logContext, message.logFlag, message.logMsg, message.timestampSeconds()});
    return true;
}

// Inserts the batch and empties it whatever the outcome; answers the first error, if any.
int SQLiteLogger::insertPending()
{
    int firstError = SQLITE_OK;
    sqlite3_stmt* insert = statement(kInsert);
    if (!insert)
        firstError = sqlite3_errcode(m_database);
    for (const SQLiteLogEntry& e : insert ? m_pendingLogEntries : std::vector<SQLiteLogEntry> {}) {
        const QByteArray text = e.message.toUtf8();
        sqlite3_bind_int64(insert, 1, e.context);
        sqlite3_bind_int64(insert, 2, e.level);
        sqlite3_bind_text(insert, 3, text.constData(), int(text.size()), SQLITE_STATIC);
        sqlite3_bind_double(insert, 4, e.timestamp);
        const int rc = stepRetrying(insert, sqlite3_step, m_busyLimit);
        sqlite3_reset(insert);
        if (rc != SQLITE_DONE && firstError == SQLITE_OK)
            firstError = rc;
    }
    m_pendingLogEntries.clear();
    return firstError;
}

// Nothing of the batch was written. Another program holding the database (a shell, a backup)
// lets go sooner or later: the batch waits for it, within a bound. Anything else would fail
// again the same way.
std::uint32_t SQLiteLogger::keepForRetry(int code)
{
    report("Error inserting log entries", code);
    if ((code & 0xff) != SQLITE_BUSY && (code & 0xff) != SQLITE_LOCKED) {
        m_pendingLogEntries.clear();
        return 0;
    }
    if (m_pendingLogEntries.size() > kMaxKeptEntries) {
        const std::size_t dropped = m_pendingLogEntries.size() - kMaxKeptEntries;
        m_pendingLogEntries.erase(m_pendingLogEntries.begin(), m_pendingLogEntries.begin() + std::ptrdiff_t(dropped));
        consoleMessage(
            QStringLiteral("SQLiteLogger: %1 oldest log entries dropped while the database is locked").arg(dropped));
    }
    consoleMessage(
        QStringLiteral("SQLiteLogger: %1 log entries kept until the database is free").arg(m_pendingLogEntries.size()));
    return std::uint32_t(m_pendingLogEntries.size());
}

std::uint32_t SQLiteLogger::db_save()
{
    if (m_pendingLogEntries.empty())
        return 0;
    if (!m_database) {
        m_pendingLogEntries.clear();
        return 0;
    }
    const bool ownTransaction = sqlite3_get_autocommit(m_database) != 0;
    if (const int rc = ownTransaction ? run(kBegin) : SQLITE_OK; isError(rc))
        return keepForRetry(rc);
    int rc = insertPending();
    if (ownTransaction) {
        const int commit = run(kCommit);
        if (rc == SQLITE_OK)
            rc = commit;
        // A transaction left open would hold the lock and swallow every later batch.
        if (isError(commit) && !sqlite3_get_autocommit(m_database))
            run(kRollback);
    }
    if (isError(rc)) {
        report("Error inserting log entries", rc);
        return 0;
    }
    if (ownTransaction)
        ++m_committedBatches;
    return 0;
}

void SQLiteLogger::db_delete()
{
    const double age = maxAge();
    if (age <= 0 || !m_database)
        return;
    const bool inTransaction = sqlite3_get_autocommit(m_database) == 0;
    sqlite3_stmt* stmt = statement(kDelete);
    int rc = stmt ? SQLITE_OK : sqlite3_errcode(m_database);
    if (stmt) {
        sqlite3_bind_double(stmt, 1, nowSeconds() - age);
        rc = stepRetrying(stmt, sqlite3_step, m_busyLimit);
        sqlite3_reset(stmt);
    }
    if (!inTransaction && rc != SQLITE_DONE && isError(rc))
        report("Error deleting log entries", rc);
}

std::uint32_t SQLiteLogger::db_saveAndDelete()
{
    if (!m_database) {
        m_pendingLogEntries.clear();
        return 0;
    }
    if (const int rc = run(kBegin); isError(rc))
        return keepForRetry(rc);
    db_delete();
    int rc = insertPending();
    const int commit = run(kCommit);
    if (rc == SQLITE_OK)
        rc = commit;
    if (isError(commit) && !sqlite3_get_autocommit(m_database))
        run(kRollback);
    if (isError(rc))
        report("Error", rc);
    else
        ++m_committedBatches;
    return 0;
}

}  // namespace kestrap
