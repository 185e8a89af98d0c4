#pragma once

#include <sqlite3.h>

namespace kestrap::sqlitesupport {

// Steps a statement, retrying after 20 microsecond pauses while the database is busy or
// locked by another connection. The retries end after kBusyLimitSeconds: a connection that
// holds its lock for ever (a forgotten shell session) must not hang the program; the last
// busy result is then returned like any other error.
constexpr double kBusyLimitSeconds = 10.0;
int stepRetrying(sqlite3_stmt* statement);

// An error in the sense of the event log: an SQLite result code from 1 to 99.
inline bool isError(int code)
{
    return code >= 1 && code <= 99;
}

}  // namespace kestrap::sqlitesupport
