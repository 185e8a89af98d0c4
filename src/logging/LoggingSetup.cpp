#include "logging/LoggingSetup.h"
#include "logging/FileLogger.h"
#include "logging/LogDirectory.h"
#include "logging/LogPipeline.h"
#include "logging/SQLiteLogger.h"

#include <QCoreApplication>
#include <cstdlib>

namespace kestrap {

namespace {
void flushAtExit()
{
    LogPipeline::flushLog();
}
}  // namespace

void startLogging()
{
    static bool started = false;
    if (started)
        return;
    started = true;

    LogPipeline::addLogger(std::make_shared<FileLogger>());
    auto database = std::make_shared<SQLiteLogger>(QString(), QString::fromLatin1(sqliteLogDBFilename));
    database->setSaveInterval(1.0);
    database->setSaveThreshold(0);
    LogPipeline::addLogger(database);

    // Post routines run while the application object is destroyed, whether or not its event
    // loop ever ran (the CLI returns from main without one).
    if (QCoreApplication::instance())
        qAddPostRoutine(flushAtExit);
    else
        std::atexit(flushAtExit);
}

}  // namespace kestrap
