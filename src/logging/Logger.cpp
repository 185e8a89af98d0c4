#include "logging/Logger.h"

namespace kestrap {

Logger::Logger(const QString& loggerName) : m_loggerName(loggerName), m_queue(loggerName.toStdString()) { }

Logger::~Logger() = default;

void Logger::logMessages(const std::vector<LogMessagePtr>& messages)
{
    for (const LogMessagePtr& m : messages)
        logMessage(*m);
}

std::shared_ptr<const LogFormatter> Logger::logFormatter() const
{
    std::lock_guard lock(m_formatterLock);
    return m_formatter;
}

void Logger::setLogFormatter(std::shared_ptr<const LogFormatter> formatter)
{
    std::lock_guard lock(m_formatterLock);
    m_formatter = std::move(formatter);
}

void Logger::applyOnQueue(SerialQueue::Task change)
{
    if (m_queue.isCurrent())
        change();
    else
        m_queue.async(std::move(change));
}

}  // namespace kestrap
