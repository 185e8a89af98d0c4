#pragma once

#include "logging/LogMessage.h"
#include "logging/SerialQueue.h"

#include <QString>
#include <memory>
#include <mutex>
#include <vector>

namespace kestrap {

// Turns a message into the text a logger writes; a null QString drops the message.
class LogFormatter {
public:
    virtual ~LogFormatter() = default;
    virtual QString formatLogMessage(const LogMessage& message) const = 0;
};

// A destination of the log pipeline. Every logger has its own serial queue, labelled with
// its loggerName(); the pipeline calls logMessage(), didAddLogger(), willRemoveLogger() and
// flush() on that queue only, so a logger's state needs no lock as long as its own settings
// are applied there too.
class Logger {
public:
    explicit Logger(const QString& loggerName);
    virtual ~Logger();
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    virtual void logMessage(const LogMessage& message) = 0;
    // A run of messages in order; the pipeline hands them over in runs to save thread
    // switches. Loggers that write to a buffer flush it at the end of a run.
    virtual void logMessages(const std::vector<LogMessagePtr>& messages);

    virtual void didAddLogger() { }
    virtual void willRemoveLogger() { }
    virtual void flush() { }

    QString loggerName() const { return m_loggerName; }
    SerialQueue& loggerQueue() { return m_queue; }

    std::shared_ptr<const LogFormatter> logFormatter() const;
    void setLogFormatter(std::shared_ptr<const LogFormatter> formatter);

protected:
    // Runs the change at once on the logger's queue, else queues it there.
    void applyOnQueue(SerialQueue::Task change);

private:
    const QString m_loggerName;
    mutable std::mutex m_formatterLock;  // guards m_formatter
    std::shared_ptr<const LogFormatter> m_formatter;
    // Last member: its thread is joined before the rest of the logger goes away.
    SerialQueue m_queue;
};

}  // namespace kestrap
