#pragma once

#include "logging/SqliteSupport.h"

#include <QDateTime>
#include <QString>
#include <cstdint>
#include <vector>

namespace kestrap {

// One row of the event log as shown.
class DBLogEntry {
public:
    DBLogEntry(std::int32_t level, QString message, double timestamp);

    std::int32_t level() const { return m_level; }
    const QString& message() const { return m_message; }
    // Seconds since 1970 as stored, NaN for a row without a date. Kept unrounded: the next
    // "later than" query must not find this row again.
    double TimeStamp() const { return m_timestamp; }
    bool hasTimestamp() const;
    QDateTime timestampDate() const;

    // "INFO:" when the info bit is set, else "WARN:", else "ERROR:", else "INFO:".
    QString levelString() const;
    // "black", "blue" or "red", tested in the same order.
    QString levelTextColor() const;
    // The date in the user's locale, medium date and time; empty without a date.
    QString date() const;

private:
    std::int32_t m_level;
    QString m_message;
    double m_timestamp;
};

// Reads the event log through its own read-only connection. Every load and count opens the
// database first when it is not open; a database that cannot be opened gives empty results
// (and one console message per attempt), and the next call tries again. The file is read as
// outside input (see ReadOnlyDatabase): a hostile schema ends a read with an error in
// *error, never a hang.
//
// Threading: one reader per thread; the writer may write to the same file meanwhile.
class DBLogReader {
public:
    // An empty directory means defaultLogDirectory().
    explicit DBLogReader(const QString& logDirectory = {});
    ~DBLogReader();
    DBLogReader(const DBLogReader&) = delete;
    DBLogReader& operator=(const DBLogReader&) = delete;

    bool openDatabase();
    QString logDirectory() const { return m_logDirectory; }
    QString databasePath() const;

    // Each read leaves *error empty when it worked (a missing table reads as empty) and says
    // why not otherwise.
    std::int64_t count(QString* error = nullptr);
    // reverse false: rows start.. in insertion order. reverse true: the newest rows (by
    // timestamp, skipping start), oldest first.
    std::vector<DBLogEntry> loadFrom(
        std::int64_t start, std::int64_t count, bool reverse = false, QString* error = nullptr);
    // The newest rows later than the timestamp (seconds since 1970), oldest first.
    std::vector<DBLogEntry> loadFrom(
        std::int64_t start, std::int64_t count, double laterThan, QString* error = nullptr);

private:
    std::vector<DBLogEntry> query(const QByteArray& sql, const double* laterThan, bool newestFirst, QString* error);
    sqlite3_stmt* prepare(const QByteArray& sql, QString* error);
    int step(sqlite3_stmt* statement);
    void setError(QString* error, int rc) const;

    QString m_logDirectory;
    sqlitesupport::ReadOnlyDatabase m_database;
};

}  // namespace kestrap
