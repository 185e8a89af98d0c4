#include "logging/LogPipeline.h"
#include "logging/Log.h"
#include "util/Helpers.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <latch>
#include <mutex>
#include <semaphore>
#include <thread>
#include <unistd.h>

namespace kestrap {

std::atomic<std::int32_t> logLevelMask {LogFlagError | LogFlagInfo};

namespace {

thread_local bool t_onLoggingThread = false;

std::uint32_t currentThreadId()
{
    thread_local const std::uint32_t id = std::uint32_t(gettid());
    return id;
}

struct Item {
    LogMessagePtr message;  // a message, or
    std::function<void()> task;  // work to run in order on the logging thread
    bool counted = false;  // holds one of the bounded slots
    std::binary_semaphore* done = nullptr;  // released once handled, for synchronous callers
};

class Pipeline {
public:
    Pipeline() : m_thread([this] { run(); })
    {
        // Never joined: the pipeline lives until the process ends, so logging keeps working
        // in code that runs during exit.
        m_thread.detach();
    }

    void log(LogMessagePtr message, bool isAsynchronous)
    {
        // A logger that logs from its own queue (or the logging thread itself) would wait for
        // itself; its messages neither wait for handling nor count against the bound.
        const bool reentrant = t_onLoggingThread || SerialQueue::currentLabel() != nullptr;
        Item item;
        item.message = std::move(message);
        item.counted = !reentrant;
        if (isAsynchronous || reentrant) {
            push(std::move(item));
            return;
        }
        std::binary_semaphore done(0);
        item.done = &done;
        push(std::move(item));
        done.acquire();
    }

    // Runs task on the logging thread after everything queued so far, and waits for it.
    void syncTask(std::function<void()> task)
    {
        if (t_onLoggingThread) {
            task();
            return;
        }
        std::binary_semaphore done(0);
        Item item;
        item.task = std::move(task);
        item.done = &done;
        push(std::move(item));
        done.acquire();
    }

    // Only on the logging thread.
    std::vector<std::shared_ptr<Logger>>& loggers() { return m_loggers; }

    int queued()
    {
        std::lock_guard lock(m_itemsLock);
        return LogPipeline::kMaxQueuedMessages - m_freeSlots;
    }

private:
    // A counted item first waits, asleep, while the queue is full. Not a
    // std::counting_semaphore: libstdc++'s spins with sched_yield first, and 64 copies yielding
    // to each other while the logging thread waited for a core kept the job's thread from one
    // for up to 380 ms.
    void push(Item item)
    {
        // Someone waits for this item: it must not sit out the gathering window.
        const bool awaited = item.done != nullptr;
        bool wake;
        {
            std::unique_lock lock(m_itemsLock);
            if (item.counted) {
                if (m_freeSlots == 0) {
                    ++m_slotWaiters;
                    m_slotFreed.wait(lock, [this] { return m_freeSlots > 0; });
                    --m_slotWaiters;
                }
                --m_freeSlots;
            }
            m_items.push_back(std::move(item));
            m_awaited = m_awaited || awaited;
            wake = m_consumerWaiting
                || (m_consumerGathering && (awaited || m_items.size() >= std::size_t(kGatherCount)));
        }
        if (wake)
            m_itemsChanged.notify_one();
    }

    void run()
    {
        t_onLoggingThread = true;
        pthread_setname_np(pthread_self(), "kestrap.logging");
        std::deque<Item> taken;
        std::vector<LogMessagePtr> run;
        for (;;) {
            {
                std::unique_lock lock(m_itemsLock);
                m_consumerWaiting = true;
                m_itemsChanged.wait(lock, [this] { return !m_items.empty(); });
                m_consumerWaiting = false;
                // Messages nobody waits for are gathered for a moment first: a copy logs every
                // file, and waking this thread (and each logger's) per message cost the copies
                // more than the logging itself.
                if (!m_awaited) {
                    m_consumerGathering = true;
                    m_itemsChanged.wait_for(lock, kGatherWindow,
                        [this] { return m_awaited || m_items.size() >= std::size_t(kGatherCount); });
                    m_consumerGathering = false;
                }
                m_awaited = false;
                taken.swap(m_items);
            }
            // Messages go to the loggers in runs: one hand-over per logger for as many messages
            // as have piled up, in order, instead of one per message.
            std::size_t runStart = 0;
            for (std::size_t i = 0; i <= taken.size(); ++i) {
                const bool endOfRun = i == taken.size() || !taken[i].message;
                if (!endOfRun) {
                    run.push_back(taken[i].message);
                    continue;
                }
                if (!run.empty()) {
                    dispatch(run);
                    finish(taken, runStart, i);
                    run.clear();
                }
                if (i < taken.size()) {
                    taken[i].task();
                    finish(taken, i, i + 1);
                }
                runStart = i + 1;
            }
            taken.clear();
        }
    }

    void dispatch(const std::vector<LogMessagePtr>& messages)
    {
        if (m_loggers.size() > 1 && std::thread::hardware_concurrency() > 1) {
            std::latch handled(std::ptrdiff_t(m_loggers.size()));
            for (const auto& logger : m_loggers)
                logger->loggerQueue().async([&] {
                    logger->logMessages(messages);
                    handled.count_down();
                });
            handled.wait();
        } else {
            for (const auto& logger : m_loggers)
                logger->loggerQueue().sync([&] { logger->logMessages(messages); });
        }
    }

    void finish(std::deque<Item>& items, std::size_t from, std::size_t to)
    {
        std::ptrdiff_t counted = 0;
        for (std::size_t i = from; i < to; ++i) {
            if (items[i].counted)
                ++counted;
            if (items[i].done)
                items[i].done->release();
        }
        if (counted > 0) {
            bool waiters;
            {
                std::lock_guard lock(m_itemsLock);
                m_freeSlots += int(counted);
                waiters = m_slotWaiters > 0;
            }
            if (waiters)
                m_slotFreed.notify_all();
        }
    }

    static constexpr auto kGatherWindow = std::chrono::milliseconds(10);
    static constexpr int kGatherCount = LogPipeline::kMaxQueuedMessages / 2;

    std::mutex m_itemsLock;  // guards m_items and the flags below
    std::condition_variable m_itemsChanged;
    std::deque<Item> m_items;
    int m_freeSlots = LogPipeline::kMaxQueuedMessages;  // of the bounded queue
    int m_slotWaiters = 0;
    std::condition_variable m_slotFreed;
    bool m_consumerWaiting = false;  // for the first item
    bool m_consumerGathering = false;  // for more, until the window ends
    bool m_awaited = false;  // an item in m_items has a caller waiting for it
    std::vector<std::shared_ptr<Logger>> m_loggers;  // touched on the logging thread only
    std::thread m_thread;
};

Pipeline& pipeline()
{
    // Deliberately never destroyed, see the constructor.
    static Pipeline* const instance = new Pipeline;
    return *instance;
}

}  // namespace

void LogPipeline::start()
{
    pipeline();
}

void LogPipeline::addLogger(std::shared_ptr<Logger> logger)
{
    if (!logger)
        return;
    Pipeline& p = pipeline();
    p.syncTask([&] {
        auto& loggers = p.loggers();
        if (std::find(loggers.begin(), loggers.end(), logger) != loggers.end())
            return;
        loggers.push_back(logger);
        logger->loggerQueue().sync([&] { logger->didAddLogger(); });
    });
}

void LogPipeline::removeLogger(const std::shared_ptr<Logger>& logger)
{
    Pipeline& p = pipeline();
    p.syncTask([&] {
        auto& loggers = p.loggers();
        const auto it = std::find(loggers.begin(), loggers.end(), logger);
        if (it == loggers.end())
            return;
        logger->loggerQueue().sync([&] {
            logger->flush();
            logger->willRemoveLogger();
        });
        loggers.erase(it);
    });
}

void LogPipeline::removeAllLoggers()
{
    Pipeline& p = pipeline();
    p.syncTask([&] {
        for (const auto& logger : p.loggers())
            logger->loggerQueue().sync([&] {
                logger->flush();
                logger->willRemoveLogger();
            });
        p.loggers().clear();
    });
}

void LogPipeline::log(bool isAsynchronous, std::int32_t level, std::int32_t flag, std::int32_t context,
    const char* file, const char* function, std::int32_t line, QString message)
{
    auto m = std::make_shared<LogMessage>();
    m->logLevel = level;
    m->logFlag = flag;
    m->logContext = context;
    // Messages carry names and values that devices chose; no terminal showing the log, and no
    // reader of its lines, should take them for control sequences or line breaks of its own.
    m->logMsg = printableMessage(message);
    m->timestamp = std::chrono::system_clock::now();
    m->file = file;
    m->function = function;
    m->lineNumber = line;
    m->machThreadID = currentThreadId();
    if (const char* label = SerialQueue::currentLabel())
        m->queueLabel = label;
    pipeline().log(std::move(m), isAsynchronous);
}

void LogPipeline::flushLog()
{
    // From a logger's own queue a flush would wait for itself.
    if (SerialQueue::currentLabel() != nullptr)
        return;
    Pipeline& p = pipeline();
    p.syncTask([&] {
        for (const auto& logger : p.loggers())
            logger->loggerQueue().sync([&] { logger->flush(); });
    });
}

int LogPipeline::queuedMessageCount()
{
    return pipeline().queued();
}

}  // namespace kestrap
