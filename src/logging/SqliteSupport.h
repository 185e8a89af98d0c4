#pragma once

#include <QByteArray>
#include <QString>
#include <chrono>
#include <functional>
#include <sqlite3.h>

namespace kestrap::sqlitesupport {

// Steps a statement, retrying after 20 microsecond pauses while the database is busy or
// locked by another connection. The retries end after busyLimit: a connection that holds its
// lock for ever (a forgotten shell session) must not hang the program; the last busy result
// is then returned like any other error. stepOnce makes one attempt.
constexpr std::chrono::milliseconds kBusyLimit {10000};
int stepRetrying(sqlite3_stmt* statement, const std::function<int(sqlite3_stmt*)>& stepOnce = sqlite3_step,
    std::chrono::milliseconds busyLimit = kBusyLimit);

// An error in the sense of the event log: an SQLite result code from 1 to 99.
inline bool isError(int code)
{
    return code >= 1 && code <= 99;
}

// A read-only connection to a database file that came from outside the program: an iPod's
// media library, or an event log that anyone who can write the log folder may have replaced
// (and that a station may read as root). Such a file's schema is not trusted: views and
// triggers may not call functions or virtual tables with side effects, defensive mode keeps
// the file's internals out of reach, and a step that works for longer than kStepLimit is
// interrupted, since a view can hide a query that never ends (a recursive one without a
// bound). Waiting for a lock does not count against that limit when each attempt goes
// through step().
//
// Threading: one connection per thread, as SQLite's own connections.
class ReadOnlyDatabase {
public:
    static constexpr std::chrono::seconds kStepLimit {5};

    ReadOnlyDatabase() = default;
    ~ReadOnlyDatabase();
    ReadOnlyDatabase(const ReadOnlyDatabase&) = delete;
    ReadOnlyDatabase& operator=(const ReadOnlyDatabase&) = delete;

    // Opens the file read-only; on failure returns false with the reason in *error and
    // leaves the object closed.
    bool open(const QByteArray& path, QString* error = nullptr);
    bool isOpen() const { return m_database != nullptr; }
    sqlite3* handle() const { return m_database; }

    // One sqlite3_step under the time limit; a step that ran out of time answers
    // SQLITE_INTERRUPT.
    int step(sqlite3_stmt* statement);
    // What went wrong with the result code rc of the last step or prepare, for a message.
    QString errorText(int rc) const;

private:
    static int onProgress(void* self);

    sqlite3* m_database = nullptr;
    std::chrono::steady_clock::time_point m_deadline {};
    bool m_ranOutOfTime = false;
};

}  // namespace kestrap::sqlitesupport
