#pragma once

#include "job/DeviceCopy.h"
#include "job/JobRun.h"

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace kestrap {

// The status message for that many devices waiting: "Ready for transferring.", "There is
// one device in queue.", "There are N devices in queue.".
QString queueMessage(std::size_t queued);

// The device queue of a job and the scheduler thread of its runs. Devices wait first in,
// first out, at most one row per uid; the scheduler starts one copy thread (a DeviceCopy)
// per device, never more at once than the run's concurrency, and sleeps until a device is
// queued, a copy ends or the run stops, and looks now and then for copies whose devices
// stopped answering (see DeviceCopy). Copy threads run ten nice levels below the thread
// that started the job, so that a window stays responsive while dozens of copies run.
//
// Threads: everything but the scheduler's own loop is called on the job's thread. Locks, in
// the order they may be taken: m_queueLock (queue and copies), then m_threadsLock (thread
// count). Neither is held while waiting for anything but the other.
class JobScheduler {
public:
    JobScheduler() = default;
    ~JobScheduler();
    JobScheduler(const JobScheduler&) = delete;
    JobScheduler& operator=(const JobScheduler&) = delete;

    // Queues the row unless a row with its uid waits already; the number waiting afterwards.
    std::size_t add(const DeviceRowPtr& row);
    // The device went away: its row leaves the queue, and a copy serving it ends after the
    // file in progress with the device "Failed". True when the queue changed.
    bool remove(const DeviceRowPtr& row, std::size_t* queued);
    // Takes a waiting row of that uid out of the queue, leaving a copy serving it alone. True
    // when the queue changed.
    bool dequeue(const QString& uid, std::size_t* queued);
    std::vector<DeviceRowPtr> queue() const;
    void clearQueue();

    // Starts serving the queue for a run. On the scheduler thread, and never waiting for the
    // job's thread: idle is called each time the last copy ends with no device waiting
    // (every device so far was served), finished once after the run stopped and every copy
    // ended.
    void start(std::shared_ptr<JobRun> run, std::function<void()> finished = {}, std::function<void()> idle = {});
    // Asks the run to end: no device is started any more, copies end after their file.
    void requestStop();
    // True once the scheduler has seen every copy of the run end.
    bool isFinished() const { return m_isFinished; }
    // Waits for the scheduler thread; after requestStop() it returns once every copy ended.
    void join();

    int runningThreads() const;

private:
    struct CopyThread {
        std::shared_ptr<DeviceCopy> copy;
        std::thread thread;
    };

    void schedule();
    bool startOldestLocked();
    void joinEndedThreads();
    // Gives up the copies whose devices answered nothing for DeviceCopy::kSilenceLimit: all
    // of them once the run stops, and while it runs only when no other copy moves (every
    // device served but those). Their threads are let go, to end on their own. Answers when
    // to look again.
    std::chrono::milliseconds abandonSilentCopies(bool stopping);
    void signal();

    std::shared_ptr<JobRun> m_run;
    std::thread m_scheduler;
    std::atomic<bool> m_isFinished {false};
    std::function<void()> m_finished;
    std::function<void()> m_idle;

    mutable std::mutex m_queueLock;  // guards m_deviceQueue, m_workingThreads, m_allThreads
    std::vector<DeviceRowPtr> m_deviceQueue;  // newest first
    std::map<QString, std::shared_ptr<DeviceCopy>> m_workingThreads;  // by device uid
    std::vector<std::unique_ptr<CopyThread>> m_allThreads;  // started in this run, joined once ended

    mutable std::mutex m_threadsLock;  // guards m_threads and m_signals; with m_threadsCondition
    std::condition_variable m_threadsCondition;
    int m_threads = 0;
    std::uint64_t m_signals = 0;  // counts signals, so a waiter can tell it missed none
    std::uint64_t m_copiesEnded = 0;  // in this run, so idle is told once per batch served
};

}  // namespace kestrap
