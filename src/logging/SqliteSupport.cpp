#include "logging/SqliteSupport.h"

#include <chrono>
#include <thread>

namespace kestrap::sqlitesupport {

int stepRetrying(sqlite3_stmt* statement)
{
    using Clock = std::chrono::steady_clock;
    Clock::time_point giveUp {};
    for (;;) {
        const int rc = sqlite3_step(statement);
        if (rc != SQLITE_BUSY && rc != SQLITE_LOCKED)
            return rc;
        const auto now = Clock::now();
        if (giveUp == Clock::time_point {})
            giveUp
                = now + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(kBusyLimitSeconds));
        else if (now >= giveUp)
            return rc;
        // A statement that is not the first of a transaction has to start over.
        sqlite3_reset(statement);
        std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
}

}  // namespace kestrap::sqlitesupport
