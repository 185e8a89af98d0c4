#pragma once

#include "device/iMobileDevice.h"
#include "job/JobRun.h"

#include <atomic>
#include <memory>
#include <set>

namespace kestrap {

// Serves one device in a run: opens the app's container on it, sends every file of the run's
// plan into the job's folder there, keeps the device's progress record and ends by giving
// the device row its final status.
//
// Threads: run() is the body of the copy thread; cancel() and ended() may be called from
// any thread. Nothing here waits for the job's thread: every change the user sees is
// posted to the run's event channel.
class DeviceCopy {
public:
    DeviceCopy(std::shared_ptr<JobRun> run, DeviceRowPtr row);

    void run();
    // The device went away: no further file is begun, and the device ends "Failed".
    void cancel() { m_cancelled = true; }
    bool ended() const { return m_ended; }
    const DeviceRowPtr& row() const { return m_row; }

    // One progress report of the file being sent; answers whether to go on. Copy thread only.
    bool fileProgress(std::int64_t done, std::int64_t total);

private:
    bool openContainer(iMobileDevice& device);
    // Whether the job fits on the device; records the cause when it does not.
    bool hasRoom(iMobileDevice& device);
    void beginRecord(const QString& deviceid);
    void sendAll(iMobileDevice& device);
    bool sendOne(iMobileDevice& device, std::size_t index, std::set<QString>& knownFolders);
    void finishRecord(int status);
    void recordError(const DeviceError& cause);

    const std::shared_ptr<JobRun> m_run;
    const DeviceRowPtr m_row;
    const QString m_name;
    ProgressBoard::SlotPtr m_slot;
    int m_recordIndex = -1;
    std::uint64_t m_sum = 0;
    std::atomic<bool> m_cancelled {false};
    std::atomic<bool> m_ended {false};
    bool m_goneCause = false;  // the record's cause says already that the device went
};

}  // namespace kestrap
