#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace kestrap {

// One worker thread that runs tasks one after another, in the order they were given, plus
// tasks due at a time (timers). Every logger owns one; all of a logger's state, timers
// included, is touched only on it.
//
// Threading: async(), asyncAt() and sync() may be called from any thread. sync() called on
// the queue's own thread runs the task at once instead of deadlocking. The destructor runs
// the tasks already given (not the timers not yet due) and joins the thread; it must not be
// called on the queue's own thread.
class SerialQueue {
public:
    using Clock = std::chrono::steady_clock;
    using Task = std::function<void()>;

    explicit SerialQueue(std::string label);
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& label() const { return m_label; }

    void async(Task task);
    // Runs the task at (or soon after) the given time. Timers are cancelled by their owner
    // checking a generation number of its own when they fire.
    void asyncAt(Clock::time_point when, Task task);
    void sync(const Task& task);
    // Drops every timer not yet run. Owners call it from the queue while shutting down, so
    // that no timer outlives the state it would touch.
    void cancelTimers();
    bool isCurrent() const;

    // The label of the queue the calling thread serves, or nullptr on any other thread.
    static const char* currentLabel();

private:
    void run();

    const std::string m_label;
    std::mutex m_tasksLock;  // guards m_tasks, m_timers, m_stopping
    std::condition_variable m_tasksChanged;
    std::deque<Task> m_tasks;
    std::multimap<Clock::time_point, Task> m_timers;
    bool m_stopping = false;
    std::thread m_thread;
};

}  // namespace kestrap
