#pragma once

#include "device/iMobileDevice.h"
#include "job/JobRun.h"

#include <atomic>
#include <memory>
#include <set>

namespace kestrap {

// Serves one device in a run: opens the app's container on it, sends every file of the run's
// plan into the job's folder there, keeps the device's progress record and ends by giving
// the device row its final status. It is the device's copy delegate while it runs, and
// clears itself as such when it ends, so a device never points at a copy that is gone.
//
// Threads: run() is the body of the copy thread; cancel() and ended() may be called from
// any thread. Nothing here waits for the job's thread: every change the user sees is
// posted to the run's event channel.
class DeviceCopy : public iMobileDeviceCopyDelegate {
public:
    DeviceCopy(std::shared_ptr<JobRun> run, DeviceRowPtr row);

    void run();
    // The device went away: no further file is begun, and the device ends "Failed".
    void cancel() { m_cancelled = true; }
    bool ended() const { return m_ended; }
    const DeviceRowPtr& row() const { return m_row; }

    bool shouldContinue() override;
    void transferBytes(std::int64_t done, std::int64_t total, const QVariant& userInfo) override;

private:
    bool openContainer(iMobileDevice& device);
    void beginRecord(const QString& deviceid);
    void sendAll(iMobileDevice& device);
    bool sendOne(iMobileDevice& device, std::size_t index, std::set<QString>& knownFolders);
    void finishRecord(int status);
    void recordError(const QString& cause);

    const std::shared_ptr<JobRun> m_run;
    const DeviceRowPtr m_row;
    const QString m_name;
    ProgressRecordPtr m_record;
    int m_recordIndex = -1;
    std::uint64_t m_sum = 0;
    std::atomic<bool> m_cancelled {false};
    std::atomic<bool> m_ended {false};
};

}  // namespace kestrap
