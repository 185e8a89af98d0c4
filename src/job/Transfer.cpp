// Running a job: starting and stopping, the device queue and the scheduler thread.

#include "job/PortJob.h"
#include "logging/Log.h"
#include "settings/Settings.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <algorithm>

namespace kestrap {

void PortJob::runOnMain(const std::function<void()>& fn)
{
    if (QThread::currentThread() == thread()) {
        fn();
        return;
    }
    // What a blocking queued call does, with the hand-over kept in a queue of our own under a
    // standard mutex: ThreadSanitizer can follow that, where Qt's own atomics it cannot.
    auto handoff = std::make_shared<Handoff>();
    handoff->fn = fn;
    {
        std::lock_guard guard(m_handoffLock);
        m_handoffs.push_back(handoff);
    }
    QMetaObject::invokeMethod(this, "serveHandoffs", Qt::QueuedConnection);
    std::unique_lock guard(m_handoffLock);
    m_handoffDone.wait(guard, [&] { return handoff->done; });
}

void PortJob::serveHandoffs()
{
    for (;;) {
        std::shared_ptr<Handoff> next;
        {
            std::lock_guard guard(m_handoffLock);
            if (m_handoffs.empty())
                return;
            next = std::move(m_handoffs.front());
            m_handoffs.pop_front();
        }
        next->fn();
        std::lock_guard guard(m_handoffLock);
        next->done = true;
        m_handoffDone.notify_all();
    }
}

void PortJob::setWorking(bool working)
{
    willChange(QStringLiteral("isWorking"));
    willChange(QStringLiteral("actionButtonTitle"));
    m_isWorking = working;
    didChange(QStringLiteral("actionButtonTitle"));
    didChange(QStringLiteral("isWorking"));
}

void PortJob::updateStatusMessageOnMain(const QString& message)
{
    if (QThread::currentThread() != thread())
        return;
    setStatusMessage(message);
}

void PortJob::updateStatusMessageForDevicesQueue(std::size_t queued)
{
    QString message;
    if (queued == 0)
        message = QStringLiteral("Ready for transferring.");
    else if (queued == 1)
        message = QStringLiteral("There is one device in queue.");
    else
        message = QStringLiteral("There are %1 devices in queue.").arg(queued);
    runOnMain([this, message] { updateStatusMessageOnMain(message); });
}

bool PortJob::start()
{
    if (m_isWorking)
        return true;
    m_lastError = JobError {};
    m_totalFileSize = 0;
    if (!prepareStarting()) {
        setLastError(
            QStringLiteral("Start"), -1, QStringLiteral("No files to copy, please check the filter settings."));
        return false;
    }
    m_threadsConcurrency = m_concurrencyOverride >= 0 ? m_concurrencyOverride : Settings::settings().concurrency();
    m_progressPause = m_progressPauseOverride >= 0 ? m_progressPauseOverride : Settings::settings().progressPause();
    m_stopping = false;
    m_isFinished = false;
    {
        std::lock_guard threads(m_threadsLock);
        m_threads = 0;
    }
    setWorking(true);
    m_scheduler = std::thread([this] { TransferQueue(); });
    setStatusMessage(QStringLiteral("Ready for transferring."));
    return true;
}

void PortJob::stop()
{
    if (!m_isWorking)
        return;
    m_stopping = true;
    signalThreadsCondition();
    // Paused copy threads must get to see the stop too.
    {
        std::lock_guard pause(m_pauseLock);
        m_pauseCondition.notify_all();
    }
    // Copy threads hand their last changes to this thread before they end, so it keeps
    // serving them while it waits for the scheduler. The scheduler only sets a flag, which a
    // timer of this thread looks at: no signal crosses threads here.
    if (!m_isFinished) {
        QEventLoop loop;
        QTimer poll;
        poll.setInterval(5);
        connect(&poll, &QTimer::timeout, &loop, [&] {
            if (m_isFinished)
                loop.quit();
        });
        poll.start();
        loop.exec();
    }
    m_scheduler.join();

    setWorking(false);
    setStatusMessage(QStringLiteral("Stopped!"));
    KLOG_WARN("The transfer job has been stopped!");
    {
        std::lock_guard job(m_jobLock);
        m_deviceQueue.clear();
    }
    {
        std::lock_guard done(m_doneLock);
        m_doneDevices.clear();
    }
}

void PortJob::pause()
{
    std::lock_guard pause(m_pauseLock);
    m_isPaused = true;
}

void PortJob::resume()
{
    std::lock_guard pause(m_pauseLock);
    m_isPaused = false;
    m_pauseCondition.notify_all();
}

bool PortJob::isPaused() const
{
    std::lock_guard pause(m_pauseLock);
    return m_isPaused;
}

void PortJob::addDeviceToQueue(const DeviceRowPtr& row)
{
    if (!row || isDeviceExcluded(row->uid))
        return;
    std::size_t queued = 0;
    {
        std::lock_guard job(m_jobLock);
        const bool already = std::any_of(
            m_deviceQueue.begin(), m_deviceQueue.end(), [&](const DeviceRowPtr& r) { return r->uid == row->uid; });
        if (!already) {
            m_deviceQueue.insert(m_deviceQueue.begin(), row);
            signalThreadsCondition();
        }
        queued = m_deviceQueue.size();
    }
    updateStatusMessageForDevicesQueue(queued);
}

void PortJob::removeDeviceFromQueue(const DeviceRowPtr& row)
{
    if (!row)
        return;
    std::size_t queued = 0;
    bool changed = false;
    {
        std::lock_guard job(m_jobLock);
        // A device that is gone cannot be served: waiting for it would only end in failure.
        const auto before = m_deviceQueue.size();
        std::erase_if(m_deviceQueue, [&](const DeviceRowPtr& r) { return r->uid == row->uid; });
        changed = before != m_deviceQueue.size();
        if (auto it = m_workingThreads.find(row->uid); it != m_workingThreads.end())
            it->second->cancelled = true;
        queued = m_deviceQueue.size();
    }
    if (changed && m_isWorking)
        updateStatusMessageForDevicesQueue(queued);
}

void PortJob::joinEndedThreads()
{
    std::vector<CopyThreadPtr> ended;
    {
        std::lock_guard job(m_jobLock);
        for (auto it = m_allThreads.begin(); it != m_allThreads.end();) {
            if ((*it)->ended) {
                ended.push_back(std::move(*it));
                it = m_allThreads.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& t : ended)
        t->thread.join();
}

void PortJob::signalThreadsCondition()
{
    std::lock_guard threads(m_threadsLock);
    ++m_threadsSignals;
    m_threadsCondition.notify_all();
}

void PortJob::TransferQueue()
{
    while (!m_stopping) {
        joinEndedThreads();
        std::size_t queued = 0;
        bool idle = false;
        bool startAnother = false;
        std::uint64_t signalsSeen = 0;
        {
            std::lock_guard job(m_jobLock);
            // A row whose device is still being served (unplugged and plugged in again) waits
            // until its previous copy thread has ended.
            const auto startable = [&](const DeviceRowPtr& r) { return !m_workingThreads.count(r->uid); };
            const auto oldest = std::find_if(m_deviceQueue.rbegin(), m_deviceQueue.rend(), startable);
            bool start = false;
            {
                std::lock_guard threads(m_threadsLock);
                signalsSeen = m_threadsSignals;
                if (oldest != m_deviceQueue.rend() && m_threads < m_threadsConcurrency) {
                    ++m_threads;
                    start = true;
                }
            }
            if (start) {
                DeviceRowPtr row = *oldest;
                m_deviceQueue.erase(std::next(oldest).base());
                auto copy = std::make_shared<CopyThread>();
                m_workingThreads[row->uid] = copy;
                m_allThreads.push_back(copy);
                copy->thread = std::thread([this, row, copy] { TransferProc(row, copy); });
            }
            queued = m_deviceQueue.size();
            const bool waiting = std::any_of(m_deviceQueue.begin(), m_deviceQueue.end(), startable);
            std::lock_guard threads(m_threadsLock);
            idle = m_threads == 0;
            startAnother = waiting && m_threads < m_threadsConcurrency;
        }
        if (idle)
            updateStatusMessageForDevicesQueue(queued);

        // Sleeps until a device is queued, a copy thread ends or the job stops; a signal that
        // came since the look above counts too, so none is lost.
        std::unique_lock threads(m_threadsLock);
        m_threadsCondition.wait(threads, [&] { return startAnother || m_stopping || m_threadsSignals != signalsSeen; });
    }

    {
        std::unique_lock threads(m_threadsLock);
        m_threadsCondition.wait(threads, [this] { return m_threads == 0; });
    }
    joinEndedThreads();
    m_isFinished = true;
}

}  // namespace kestrap
