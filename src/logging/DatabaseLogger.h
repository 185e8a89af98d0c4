#pragma once

#include "logging/Logger.h"

#include <cstdint>

namespace kestrap {

// A logger that keeps messages in a database, writing them in batches: a batch is saved when
// saveThreshold messages are unsaved (0: no count limit) or saveInterval seconds after the
// first unsaved one (0 or less: no timed save), and on flush. Entries older than maxAge
// seconds are deleted every deleteInterval seconds (either 0 or less: never).
//
// Threading: the setters may be called from any thread; from another thread the change is
// applied asynchronously on the logger's queue, on the queue itself at once. The getters
// wait for the queue. The db_* hooks always run on the queue.
class DatabaseLogger : public Logger {
public:
    explicit DatabaseLogger(const QString& loggerName);
    ~DatabaseLogger() override;

    std::uint32_t saveThreshold();
    void setSaveThreshold(std::uint32_t threshold);
    double saveInterval();
    void setSaveInterval(double seconds);
    double maxAge();
    void setMaxAge(double seconds);
    double deleteInterval();
    void setDeleteInterval(double seconds);
    bool deleteOnEverySave();
    void setDeleteOnEverySave(bool on);

    void logMessage(const LogMessage& message) override;
    void didAddLogger() override;
    void willRemoveLogger() override;
    void flush() override;

protected:
    // Takes the message into the pending batch; false when it was not taken.
    virtual bool db_log(const LogMessage& message) = 0;
    // Save the pending batch; answer how many of its entries are kept for another try (a
    // database locked by another program for longer than the writer waits), 0 when done
    // with the batch. Kept entries are saved again saveInterval seconds later.
    virtual std::uint32_t db_save() = 0;
    virtual void db_delete() = 0;
    virtual std::uint32_t db_saveAndDelete() = 0;

    // Subclasses call this first in their destructor: saves what is pending and stops the
    // timers while the subclass's database is still there.
    void shutDown();

private:
    using Clock = SerialQueue::Clock;

    void saveAndSuspendSaveTimer();
    void armSaveTimer();
    void cancelSaveTimer();
    void armDeleteTimer();
    void cancelDeleteTimer();
    void performDelete();
    template <typename T> T read(const T& field);

    // Queue state.
    std::uint32_t m_saveThreshold = 500;
    double m_saveInterval = 60;
    double m_maxAge = 604800;
    double m_deleteInterval = 300;
    bool m_deleteOnEverySave = false;
    bool m_saveTimerSuspended = true;
    std::uint32_t m_unsavedCount = 0;
    Clock::time_point m_unsavedTime {};  // epoch when nothing is unsaved
    std::uint64_t m_saveTimerGeneration = 0;
    Clock::time_point m_lastDeleteTime {};  // epoch before the first delete
    std::uint64_t m_deleteTimerGeneration = 0;
    bool m_added = false;
    bool m_shutDown = false;
};

}  // namespace kestrap
