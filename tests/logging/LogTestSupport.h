#pragma once

#include "logging/Console.h"
#include "logging/Log.h"
#include "logging/LogMessage.h"
#include "logging/Logger.h"

#include <QStringList>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

// Shared by the logging suites.

inline kestrap::LogMessage makeMessage(std::int32_t flag, const QString& text,
    std::chrono::system_clock::time_point when = std::chrono::system_clock::now())
{
    kestrap::LogMessage m;
    m.logFlag = flag;
    m.logLevel = kestrap::logLevelMask.load();
    m.logMsg = text;
    m.timestamp = when;
    return m;
}

// Collects console messages for the life of the object.
class ConsoleCapture {
public:
    ConsoleCapture()
    {
        m_previous = kestrap::setConsoleSink([this](const QString& m) {
            std::lock_guard lock(m_linesLock);
            m_lines << m;
        });
    }
    ~ConsoleCapture() { kestrap::setConsoleSink(m_previous); }
    QStringList lines() const
    {
        std::lock_guard lock(m_linesLock);
        return m_lines;
    }

private:
    mutable std::mutex m_linesLock;
    QStringList m_lines;
    kestrap::ConsoleSink m_previous;
};

// Polls until the condition holds or the time is up; answers the condition.
inline bool waitUntil(
    const std::function<bool()>& condition, std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Puts the process-wide level mask back as it was, so a test that changes it leaves the
// next one the program's default.
struct LogMaskGuard {
    std::int32_t saved = kestrap::logLevelMask.load();
    ~LogMaskGuard() { kestrap::logLevelMask = saved; }
};
