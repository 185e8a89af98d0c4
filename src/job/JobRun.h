#pragma once

#include "job/JobEvents.h"
#include "job/MirrorPlan.h"
#include "job/ProgressBoard.h"
#include "job/SendPlan.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

namespace kestrap {

// What a run does to each device it serves.
enum class RunKind {
    Send,  // sends the plan's files (and, mirroring, removes what the plan no longer has)
    Remove,  // takes the plan's files, and the folders they leave empty, off the device
};

// One run of a job, from start to stop: what it sends and where, taken from the job's
// settings at start and fixed from then on, and the state its scheduler and copy threads
// share. The job's progress board and event channel outlive every run of the job.
//
// Threads: the fixed part is read by any thread without a lock. The pause gate and the
// done list have a lock each; neither is held while another lock is taken.
struct JobRun {
    JobRun(ProgressBoard& progress, JobEvents& events) : progress(progress), events(events) { }

    // Fixed at start.
    QString appId;
    QString folder;
    SendPlan plan;
    // Where each file of the plan goes on a device, by the plan's index: worked out once for
    // every device of the run.
    struct Destination {
        QString folder;
        QString path;
    };
    std::vector<Destination> destinations;
    std::int32_t concurrency = 0;
    double progressPause = 0;  // seconds between two updates of a device's row
    bool skipUnchanged = false;  // leave files the device holds with the same size and time
    bool verify = false;  // read every file back before it replaces the old one
    std::int32_t connectionsPerDevice = 1;  // file connections each device is served through
    RunKind kind = RunKind::Send;
    // Set when the run mirrors the folders it sends: a device that got every file is cleared
    // of what they hold beyond the plan.
    std::shared_ptr<const MirrorPlan> mirror;
    // Taking a job back: a device file of another size than the job's is removed all the same.
    bool force = false;

    ProgressBoard& progress;
    JobEvents& events;

    std::atomic<bool> stopping {false};

    // Copy threads finish the file in progress and wait before the next while paused.
    void setPaused(bool paused);
    bool isPaused() const;
    // Returns at once unless paused; wakes when resumed or stopped.
    void waitWhilePaused();
    void wakeForStop();

    // Devices that finished in this run, one per uid.
    void addDone(const DeviceRowPtr& row);
    std::vector<DeviceRowPtr> doneDevices() const;

private:
    mutable std::mutex m_pauseLock;  // guards m_isPaused; with m_pauseCondition
    std::condition_variable m_pauseCondition;
    bool m_isPaused = false;

    mutable std::mutex m_doneLock;  // guards m_doneDevices
    std::vector<DeviceRowPtr> m_doneDevices;
};

}  // namespace kestrap
