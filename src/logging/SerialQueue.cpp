#include "logging/SerialQueue.h"

#include <pthread.h>

namespace kestrap {

namespace {
thread_local const SerialQueue* t_currentQueue = nullptr;
}

SerialQueue::SerialQueue(std::string label) : m_label(std::move(label))
{
    m_thread = std::thread([this] { run(); });
}

SerialQueue::~SerialQueue()
{
    {
        std::lock_guard lock(m_tasksLock);
        m_stopping = true;
    }
    m_tasksChanged.notify_all();
    m_thread.join();
}

void SerialQueue::async(Task task)
{
    {
        std::lock_guard lock(m_tasksLock);
        m_tasks.push_back(std::move(task));
    }
    m_tasksChanged.notify_one();
}

void SerialQueue::asyncAt(Clock::time_point when, Task task)
{
    {
        std::lock_guard lock(m_tasksLock);
        m_timers.emplace(when, std::move(task));
    }
    m_tasksChanged.notify_one();
}

void SerialQueue::sync(const Task& task)
{
    if (isCurrent()) {
        task();
        return;
    }
    std::mutex doneLock;
    std::condition_variable doneChanged;
    bool done = false;
    async([&] {
        task();
        std::lock_guard lock(doneLock);
        done = true;
        doneChanged.notify_one();
    });
    std::unique_lock lock(doneLock);
    doneChanged.wait(lock, [&] { return done; });
}

void SerialQueue::cancelTimers()
{
    std::lock_guard lock(m_tasksLock);
    m_timers.clear();
}

bool SerialQueue::isCurrent() const
{
    return t_currentQueue == this;
}

const char* SerialQueue::currentLabel()
{
    return t_currentQueue ? t_currentQueue->m_label.c_str() : nullptr;
}

void SerialQueue::run()
{
    t_currentQueue = this;
    // Thread names are limited to 15 characters; the tail of a reverse-DNS label says most.
    const std::string name = m_label.size() > 15 ? m_label.substr(m_label.size() - 15) : m_label;
    pthread_setname_np(pthread_self(), name.c_str());

    std::unique_lock lock(m_tasksLock);
    for (;;) {
        if (!m_tasks.empty()) {
            Task task = std::move(m_tasks.front());
            m_tasks.pop_front();
            lock.unlock();
            task();
            lock.lock();
            continue;
        }
        if (m_stopping)
            return;
        if (!m_timers.empty()) {
            const auto first = m_timers.begin();
            const Clock::time_point due = first->first;
            if (due <= Clock::now()) {
                Task task = std::move(first->second);
                m_timers.erase(first);
                lock.unlock();
                task();
                lock.lock();
                continue;
            }
            m_tasksChanged.wait_until(lock, due);
        } else {
            m_tasksChanged.wait(lock);
        }
    }
}

}  // namespace kestrap
