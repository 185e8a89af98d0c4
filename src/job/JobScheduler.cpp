#include "job/JobScheduler.h"

#include "logging/LogPipeline.h"
#include "util/ThreadPriority.h"

#include <algorithm>
#include <malloc.h>
#include <mutex>

namespace kestrap {

namespace {

// glibc gives threads beyond eight per core an allocation arena that another thread already
// uses, the main thread's included, and a copy preempted inside malloc among dozens of busy
// copies then held the display's next allocation for up to a tenth of a second. Each copy
// gets an arena of its own instead (address space is reserved per arena, not memory).
void giveEachThreadItsOwnArena()
{
    static std::once_flag once;
    std::call_once(once, [] { ::mallopt(M_ARENA_MAX, 4096); });
}

// A copy thread yields the processor to the job's thread and the rest of the desktop. With
// dozens of copies at the same priority, the scheduler let a woken display thread wait
// behind every copy whose turn came first: up to a tenth of a second on two cores. Copies
// spend their time waiting for devices, so a lower priority costs them little.
constexpr int kCopyNiceLevels = 10;

// The longest the scheduler sleeps while copies run without looking at their devices' silence.
constexpr std::chrono::milliseconds kSilenceCheck {DeviceCopy::kSilenceLimit};

}  // namespace

QString queueMessage(std::size_t queued)
{
    if (queued == 0)
        return QStringLiteral("Ready for transferring.");
    if (queued == 1)
        return QStringLiteral("There is one device in queue.");
    return QStringLiteral("There are %1 devices in queue.").arg(queued);
}

JobScheduler::~JobScheduler()
{
    requestStop();
    join();
}

std::size_t JobScheduler::add(const DeviceRowPtr& row)
{
    std::lock_guard queue(m_queueLock);
    const bool already = std::any_of(
        m_deviceQueue.begin(), m_deviceQueue.end(), [&](const DeviceRowPtr& r) { return r->uid == row->uid; });
    if (!already) {
        m_deviceQueue.insert(m_deviceQueue.begin(), row);
        signal();
    }
    return m_deviceQueue.size();
}

bool JobScheduler::remove(const DeviceRowPtr& row, std::size_t* queued)
{
    std::lock_guard queue(m_queueLock);
    // A device that is gone cannot be served: waiting for it would only end in failure.
    const auto before = m_deviceQueue.size();
    std::erase_if(m_deviceQueue, [&](const DeviceRowPtr& r) { return r->uid == row->uid; });
    if (auto it = m_workingThreads.find(row->uid); it != m_workingThreads.end())
        it->second->cancel();
    *queued = m_deviceQueue.size();
    return before != m_deviceQueue.size();
}

bool JobScheduler::dequeue(const QString& uid, std::size_t* queued)
{
    std::lock_guard queue(m_queueLock);
    const auto before = m_deviceQueue.size();
    std::erase_if(m_deviceQueue, [&](const DeviceRowPtr& r) { return r->uid == uid; });
    *queued = m_deviceQueue.size();
    return before != m_deviceQueue.size();
}

std::vector<DeviceRowPtr> JobScheduler::queue() const
{
    std::lock_guard queue(m_queueLock);
    return m_deviceQueue;
}

void JobScheduler::clearQueue()
{
    std::lock_guard queue(m_queueLock);
    m_deviceQueue.clear();
}

int JobScheduler::runningThreads() const
{
    std::lock_guard threads(m_threadsLock);
    return m_threads;
}

void JobScheduler::start(std::shared_ptr<JobRun> run, std::function<void()> finished, std::function<void()> idle)
{
    join();
    m_run = std::move(run);
    m_finished = std::move(finished);
    m_idle = std::move(idle);
    m_isFinished = false;
    giveEachThreadItsOwnArena();
    LogPipeline::start();  // not from a copy, whose lower priority it would inherit
    {
        std::lock_guard threads(m_threadsLock);
        m_threads = 0;
        m_copiesEnded = 0;
    }
    m_scheduler = std::thread([this] { schedule(); });
}

void JobScheduler::requestStop()
{
    if (!m_run)
        return;
    m_run->stopping = true;
    signal();
    // Paused copies must get to see the stop too.
    m_run->wakeForStop();
}

void JobScheduler::join()
{
    if (m_scheduler.joinable())
        m_scheduler.join();
}

void JobScheduler::signal()
{
    std::lock_guard threads(m_threadsLock);
    ++m_signals;
    m_threadsCondition.notify_all();
}

// Under m_queueLock. A row whose device is still being served (unplugged and plugged in
// again) waits until its previous copy has ended.
bool JobScheduler::startOldestLocked()
{
    const auto startable = [&](const DeviceRowPtr& r) { return !m_workingThreads.count(r->uid); };
    const auto oldest = std::find_if(m_deviceQueue.rbegin(), m_deviceQueue.rend(), startable);
    if (oldest == m_deviceQueue.rend())
        return false;
    {
        std::lock_guard threads(m_threadsLock);
        if (m_threads >= m_run->concurrency)
            return false;
        ++m_threads;
    }
    DeviceRowPtr row = *oldest;
    m_deviceQueue.erase(std::next(oldest).base());
    auto copy = std::make_shared<DeviceCopy>(m_run, row);
    m_workingThreads[row->uid] = copy;
    auto thread = std::make_unique<CopyThread>();
    thread->copy = copy;
    thread->thread = std::thread([this, copy] {
        lowerCallingThreadPriority(kCopyNiceLevels);
        copy->run();
        // Given up on and let go: the scheduler has counted it out, and may be gone.
        if (copy->wasAbandoned())
            return;
        {
            std::lock_guard queue(m_queueLock);
            if (auto it = m_workingThreads.find(copy->row()->uid); it != m_workingThreads.end() && it->second == copy)
                m_workingThreads.erase(it);
        }
        std::lock_guard threads(m_threadsLock);
        --m_threads;
        ++m_copiesEnded;
        ++m_signals;
        m_threadsCondition.notify_all();
    });
    m_allThreads.push_back(std::move(thread));
    return true;
}

void JobScheduler::joinEndedThreads()
{
    std::vector<std::unique_ptr<CopyThread>> ended;
    {
        std::lock_guard queue(m_queueLock);
        for (auto it = m_allThreads.begin(); it != m_allThreads.end();) {
            if ((*it)->copy->ended()) {
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

std::chrono::milliseconds JobScheduler::abandonSilentCopies(bool stopping)
{
    std::vector<std::unique_ptr<CopyThread>> abandoned;
    // The next look comes when the copy silent longest reaches the limit, not a tick later.
    std::chrono::milliseconds next = kSilenceCheck;
    {
        std::lock_guard queue(m_queueLock);
        for (const auto& t : m_allThreads)
            if (!t->copy->ended())
                next = std::min(next, DeviceCopy::kSilenceLimit - t->copy->silentFor());
        next = std::max(next, std::chrono::milliseconds(1));
        const auto silent = [](const std::unique_ptr<CopyThread>& t) {
            return t->copy->ended() || t->copy->silentFor() >= DeviceCopy::kSilenceLimit;
        };
        // While the run goes on, a copy that waits for its device is given up only when
        // nothing else moves: a device may be slow, and the rule is only that the run's end
        // never waits long for one that stopped answering.
        if (m_allThreads.empty() || (!stopping && !std::all_of(m_allThreads.begin(), m_allThreads.end(), silent)))
            return next;
        for (auto it = m_allThreads.begin(); it != m_allThreads.end();) {
            const std::shared_ptr<DeviceCopy>& copy = (*it)->copy;
            if (copy->ended() || copy->silentFor() < DeviceCopy::kSilenceLimit || !copy->abandon()) {
                ++it;
                continue;
            }
            if (auto w = m_workingThreads.find(copy->row()->uid); w != m_workingThreads.end() && w->second == copy)
                m_workingThreads.erase(w);
            abandoned.push_back(std::move(*it));
            it = m_allThreads.erase(it);
        }
    }
    if (abandoned.empty())
        return next;
    for (auto& t : abandoned)
        t->thread.detach();  // it owns what it still uses: the copy, and through it the run and the row
    std::lock_guard threads(m_threadsLock);
    m_threads -= int(abandoned.size());
    m_copiesEnded += abandoned.size();
    ++m_signals;
    m_threadsCondition.notify_all();
    return next;
}

void JobScheduler::schedule()
{
    JobRun& run = *m_run;
    std::uint64_t copiesEndedWhenIdle = 0;
    while (!run.stopping) {
        const std::chrono::milliseconds look = abandonSilentCopies(false);
        joinEndedThreads();
        std::size_t queued = 0;
        bool idle = false;
        bool servedSinceIdle = false;
        bool startAnother = false;
        std::uint64_t signalsSeen = 0;
        {
            std::lock_guard queue(m_queueLock);
            {
                std::lock_guard threads(m_threadsLock);
                signalsSeen = m_signals;
            }
            const bool started = startOldestLocked();
            queued = m_deviceQueue.size();
            const bool waiting = std::any_of(m_deviceQueue.begin(), m_deviceQueue.end(),
                [&](const DeviceRowPtr& r) { return !m_workingThreads.count(r->uid); });
            std::lock_guard threads(m_threadsLock);
            idle = m_threads == 0;
            servedSinceIdle = idle && queued == 0 && m_copiesEnded != copiesEndedWhenIdle;
            if (servedSinceIdle)
                copiesEndedWhenIdle = m_copiesEnded;
            startAnother = started && waiting && m_threads < run.concurrency;
        }
        if (idle)
            run.events.postStatusMessage(queueMessage(queued));
        if (servedSinceIdle && m_idle)
            m_idle();

        // Sleeps until a device is queued, a copy ends or the run stops; a signal that came
        // since the look above counts too, so none is lost.
        // While copies run, it also looks now and then for devices that stopped answering.
        std::unique_lock threads(m_threadsLock);
        const auto woken = [&] { return startAnother || run.stopping || m_signals != signalsSeen; };
        if (m_threads > 0)
            m_threadsCondition.wait_for(threads, look, woken);
        else
            m_threadsCondition.wait(threads, woken);
    }

    for (std::chrono::milliseconds look = abandonSilentCopies(true);; look = abandonSilentCopies(true)) {
        std::unique_lock threads(m_threadsLock);
        if (m_threadsCondition.wait_for(threads, look, [this] { return m_threads == 0; }))
            break;
    }
    joinEndedThreads();
    m_isFinished = true;
    if (m_finished)
        m_finished();
}

}  // namespace kestrap
