#pragma once

#include "logging/Logger.h"

#include <QString>
#include <cstdint>
#include <memory>

namespace kestrap {

// The one entry point of logging. Messages are put in order on one serial logging context
// ("kestrap.logging"), which hands each of them to every registered logger on the logger's
// own queue. Use the KLOG_* macros of logging/Log.h rather than log() directly: they test
// the flag first.
//
// Threading: every operation may be called from any thread. At most 1000 messages wait to
// be handled; log() blocks the caller beyond that. Synchronous messages (errors) return
// after every logger has handled them. A logger that logs from its own queue never blocks
// (its message is queued asynchronously and does not count against the bound), so it
// cannot deadlock the pipeline.
class LogPipeline {
public:
    static constexpr int kMaxQueuedMessages = 1000;

    // Starts the logging thread now, from the calling thread, unless a logger or a message
    // started it already. A thread inherits its creator's priority: a job calls this before
    // its copies, which run at a lower one, can be the first to log.
    static void start();

    // Registers a logger and runs its didAddLogger() on its queue.
    static void addLogger(std::shared_ptr<Logger> logger);
    // Handles what is queued, runs the logger's flush() and willRemoveLogger(), forgets it.
    static void removeLogger(const std::shared_ptr<Logger>& logger);
    static void removeAllLoggers();

    static void log(bool isAsynchronous, std::int32_t level, std::int32_t flag, std::int32_t context, const char* file,
        const char* function, std::int32_t line, QString message);

    // Blocks until every logger has handled every message queued before the call and run its
    // flush(). Run at exit once the standard loggers are installed. Called from a logger's
    // own queue it returns at once, since it would wait for itself.
    static void flushLog();

    // Messages queued and not yet handled by all loggers (for tests and diagnostics).
    static int queuedMessageCount();
};

}  // namespace kestrap
