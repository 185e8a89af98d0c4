#include "logging/DatabaseLogger.h"

namespace kestrap {

namespace {
SerialQueue::Clock::duration seconds(double s)
{
    return std::chrono::duration_cast<SerialQueue::Clock::duration>(std::chrono::duration<double>(s));
}
}  // namespace

DatabaseLogger::DatabaseLogger(const QString& loggerName) : Logger(loggerName) { }

DatabaseLogger::~DatabaseLogger() = default;

template <typename T> T DatabaseLogger::read(const T& field)
{
    T value {};
    loggerQueue().sync([&] { value = field; });
    return value;
}

std::uint32_t DatabaseLogger::saveThreshold()
{
    return read(m_saveThreshold);
}

double DatabaseLogger::saveInterval()
{
    return read(m_saveInterval);
}

double DatabaseLogger::maxAge()
{
    return read(m_maxAge);
}

double DatabaseLogger::deleteInterval()
{
    return read(m_deleteInterval);
}

bool DatabaseLogger::deleteOnEverySave()
{
    return read(m_deleteOnEverySave);
}

void DatabaseLogger::setSaveThreshold(std::uint32_t threshold)
{
    applyOnQueue([this, threshold] {
        m_saveThreshold = threshold;
        if (threshold > 0 && m_unsavedCount >= threshold)
            saveAndSuspendSaveTimer();
    });
}

void DatabaseLogger::setSaveInterval(double interval)
{
    applyOnQueue([this, interval] {
        m_saveInterval = interval;
        if (interval > 0) {
            if (m_unsavedCount > 0)
                armSaveTimer();
        } else {
            cancelSaveTimer();
        }
    });
}

void DatabaseLogger::setMaxAge(double age)
{
    applyOnQueue([this, age] {
        const double old = m_maxAge;
        m_maxAge = age;
        if (!m_added)
            return;
        if (age <= 0) {
            cancelDeleteTimer();
            return;
        }
        if (old <= 0 || age < old)
            performDelete();
        armDeleteTimer();
    });
}

void DatabaseLogger::setDeleteInterval(double interval)
{
    applyOnQueue([this, interval] {
        m_deleteInterval = interval;
        if (m_added)
            armDeleteTimer();
    });
}

void DatabaseLogger::setDeleteOnEverySave(bool on)
{
    applyOnQueue([this, on] { m_deleteOnEverySave = on; });
}

void DatabaseLogger::logMessage(const LogMessage& message)
{
    if (m_shutDown || !db_log(message))
        return;
    ++m_unsavedCount;
    if (m_saveThreshold > 0 && m_unsavedCount >= m_saveThreshold) {
        saveAndSuspendSaveTimer();
    } else if (m_unsavedCount == 1) {
        m_unsavedTime = Clock::now();
        armSaveTimer();
    }
}

void DatabaseLogger::didAddLogger()
{
    m_added = true;
    // Programs that live less than one delete interval (command-line runs) clear old rows too.
    performDelete();
    armDeleteTimer();
}

void DatabaseLogger::willRemoveLogger()
{
    saveAndSuspendSaveTimer();
    cancelSaveTimer();
    cancelDeleteTimer();
    m_added = false;
}

void DatabaseLogger::flush()
{
    saveAndSuspendSaveTimer();
}

void DatabaseLogger::shutDown()
{
    loggerQueue().sync([this] {
        if (m_shutDown)
            return;
        saveAndSuspendSaveTimer();
        m_shutDown = true;
        ++m_saveTimerGeneration;
        ++m_deleteTimerGeneration;
        loggerQueue().cancelTimers();
    });
}

void DatabaseLogger::saveAndSuspendSaveTimer()
{
    std::uint32_t kept = 0;
    if (m_unsavedCount > 0)
        kept = m_deleteOnEverySave ? db_saveAndDelete() : db_save();
    m_unsavedCount = 0;
    m_unsavedTime = {};
    if (!m_saveTimerSuspended) {
        ++m_saveTimerGeneration;
        m_saveTimerSuspended = true;
    }
    if (kept > 0 && !m_shutDown) {
        m_unsavedCount = kept;
        m_unsavedTime = Clock::now();
        armSaveTimer();
    }
}

void DatabaseLogger::armSaveTimer()
{
    if (m_saveInterval <= 0 || m_shutDown)
        return;
    // One shot per burst: the save it triggers empties the batch and suspends the timer, and
    // the next entry arms it again.
    const std::uint64_t generation = ++m_saveTimerGeneration;
    m_saveTimerSuspended = false;
    const Clock::time_point due
        = (m_unsavedTime == Clock::time_point {} ? Clock::now() : m_unsavedTime) + seconds(m_saveInterval);
    loggerQueue().asyncAt(due, [this, generation] {
        if (generation == m_saveTimerGeneration && !m_shutDown)
            saveAndSuspendSaveTimer();
    });
}

void DatabaseLogger::cancelSaveTimer()
{
    ++m_saveTimerGeneration;
    m_saveTimerSuspended = true;
}

void DatabaseLogger::armDeleteTimer()
{
    const std::uint64_t generation = ++m_deleteTimerGeneration;
    if (m_deleteInterval <= 0 || m_maxAge <= 0 || m_shutDown)
        return;
    const Clock::time_point from = m_lastDeleteTime == Clock::time_point {} ? Clock::now() : m_lastDeleteTime;
    loggerQueue().asyncAt(from + seconds(m_deleteInterval), [this, generation] {
        if (generation != m_deleteTimerGeneration || m_shutDown)
            return;
        performDelete();
        armDeleteTimer();
    });
}

void DatabaseLogger::cancelDeleteTimer()
{
    ++m_deleteTimerGeneration;
}

void DatabaseLogger::performDelete()
{
    if (m_maxAge <= 0)
        return;
    db_delete();
    m_lastDeleteTime = Clock::now();
}

}  // namespace kestrap
