#pragma once

#include <memory>

namespace kestrap {

class FileLogger;
class SQLiteLogger;

// The loggers a front end installs at start, before it logs anything: the text file logger,
// then the event log writer on "kvq.xlog" with a save interval of 1 second and no count
// limit. Both use defaultLogDirectory(). Registers LogPipeline::flushLog() to run at exit
// (when the QCoreApplication goes away, or at process exit without one), so the rows of the
// last second are not lost. Call once, on the main thread; later calls do nothing.
void startLogging();

}  // namespace kestrap
