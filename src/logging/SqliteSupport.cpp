#include "logging/SqliteSupport.h"

#include <thread>

namespace kestrap::sqlitesupport {

namespace {

// The time limit is checked every this many virtual machine instructions: often enough to
// stop within a millisecond, seldom enough to cost nothing measurable.
constexpr int kProgressInstructions = 1000;

}  // namespace

int stepRetrying(
    sqlite3_stmt* statement, const std::function<int(sqlite3_stmt*)>& stepOnce, std::chrono::milliseconds busyLimit)
{
    using Clock = std::chrono::steady_clock;
    Clock::time_point giveUp {};
    for (;;) {
        const int rc = stepOnce(statement);
        if (rc != SQLITE_BUSY && rc != SQLITE_LOCKED)
            return rc;
        const auto now = Clock::now();
        if (giveUp == Clock::time_point {})
            giveUp = now + busyLimit;
        else if (now >= giveUp)
            return rc;
        // A statement that is not the first of a transaction has to start over.
        sqlite3_reset(statement);
        std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
}

ReadOnlyDatabase::~ReadOnlyDatabase()
{
    sqlite3_close(m_database);
}

bool ReadOnlyDatabase::open(const QByteArray& path, QString* error)
{
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(path.constData(), &db, SQLITE_OPEN_READONLY, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    if (rc != SQLITE_OK) {
        if (error)
            *error = QString::fromUtf8(db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        sqlite3_close(db);
        return false;
    }
    sqlite3_close(m_database);
    m_database = db;
    sqlite3_progress_handler(m_database, kProgressInstructions, &ReadOnlyDatabase::onProgress, this);
    return true;
}

int ReadOnlyDatabase::step(sqlite3_stmt* statement)
{
    m_ranOutOfTime = false;
    m_deadline = std::chrono::steady_clock::now() + kStepLimit;
    return sqlite3_step(statement);
}

int ReadOnlyDatabase::onProgress(void* self)
{
    auto* db = static_cast<ReadOnlyDatabase*>(self);
    // Before the first step there is no deadline to keep.
    if (db->m_deadline == std::chrono::steady_clock::time_point {} || std::chrono::steady_clock::now() < db->m_deadline)
        return 0;
    db->m_ranOutOfTime = true;
    return 1;
}

QString ReadOnlyDatabase::errorText(int rc) const
{
    if (rc == SQLITE_INTERRUPT && m_ranOutOfTime)
        return QStringLiteral("a query ran for more than %1 seconds and was stopped; the database may hold a view "
                              "that never ends")
            .arg(kStepLimit.count());
    if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED)
        return QStringLiteral("the database stayed locked by another program");
    return QString::fromUtf8(m_database ? sqlite3_errmsg(m_database) : sqlite3_errstr(rc));
}

}  // namespace kestrap::sqlitesupport
