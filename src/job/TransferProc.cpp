// Serving one device: the copy thread and the job's side of the copy delegate.

#include "device/ios/iPhoneDevice.h"
#include "job/PortJob.h"
#include "logging/Log.h"
#include "util/Helpers.h"

#include <QDateTime>
#include <chrono>
#include <cstdlib>
#include <set>

namespace kestrap {

namespace {

// Seconds since 1 January 2001 UTC, the time base of progress records.
double now()
{
    constexpr double kEpoch2001 = 978307200.0;
    return double(QDateTime::currentMSecsSinceEpoch()) / 1000.0 - kEpoch2001;
}

int percentOf(std::int64_t done, std::int64_t total)
{
    if (total <= 0)
        return done >= total ? 100 : 0;
    return int(float(done) / float(total) * 100.0f);
}

}  // namespace

void PortJob::updateTransferOnMain()
{
    runOnMain([this] {
        willChange(QStringLiteral("transferProgresses"));
        didChange(QStringLiteral("transferProgresses"));
    });
}

void PortJob::updateDeviceStatus(const DeviceRowPtr& row, int status)
{
    runOnMain([this, row, status] {
        willChange(QStringLiteral("fakeSeed"));
        row->status = status;
        m_fakeSeed = std::rand();
        didChange(QStringLiteral("fakeSeed"));
    });
}

ProgressRecordPtr PortJob::progressRecordFor(const QString& deviceid)
{
    std::lock_guard progress(m_progressLock);
    for (const auto& r : m_transferProgresses)
        if (r->deviceid == deviceid)
            return r;
    auto record = std::make_shared<ProgressRecord>();
    record->deviceid = deviceid;
    m_transferProgresses.push_back(record);
    return record;
}

void PortJob::finishRecord(const ProgressRecordPtr& record, const QString& text, int percent)
{
    {
        std::lock_guard progress(m_progressLock);
        record->device_file = text;
        record->overall_progress = percent;
        record->file_progress = percent;
        record->ended = now();
    }
    updateTransferOnMain();
}

bool PortJob::shouldContinue()
{
    return !m_stopping;
}

void PortJob::transferBytes(std::int64_t done, std::int64_t total, const QVariant& userInfo)
{
    const auto record = userInfo.value<ProgressRecordPtr>();
    if (!record)
        return;
    // A device's last report of a file says "complete" (an iOS device sends 100 of 100
    // whatever the size); its numbers are no byte counts. The copy thread shows the finished
    // file on the main thread right after it, so this report needs no hand-off of its own:
    // for small files the hand-offs are most of the cost.
    const bool complete = done == total;
    {
        std::lock_guard progress(m_progressLock);
        if (complete) {
            record->file_progress = 100;
        } else {
            const double t = now();
            if (done > 0 && t > record->seconds) {
                const double speed = (double(done) - double(record->lastbytes)) / (t - record->seconds);
                record->transfer_speed = CapacityString(speed > 0 ? std::uint64_t(speed) : 0) + QStringLiteral(" /s");
            }
            record->lastbytes = std::uint64_t(std::max<std::int64_t>(done, 0));
            record->seconds = t;
            record->transferred_size = record->current_size + record->lastbytes;
            record->file_progress = percentOf(done, total);
        }
    }
    if (!complete)
        updateTransferOnMain();
    if (m_progressPause > 0)
        std::this_thread::sleep_for(std::chrono::duration<double>(m_progressPause));
}

void PortJob::TransferProc(DeviceRowPtr row, CopyThreadPtr self)
{
    const std::shared_ptr<iMobileDevice> device = row->device;
    const QString name = row->name;
    int status = DeviceStatusTransferring;
    bool containerOpen = false;
    ProgressRecordPtr record;

    auto* phone = dynamic_cast<iPhoneDevice*>(device.get());
    if (device)
        device->setCopyDelegate(this);
    if (!phone) {
        KLOG_ERROR("This is not a iOS device: %1", name);
        status = DeviceStatusFailed;
    } else if (phone->changeService(m_appId)) {
        containerOpen = true;
    } else {
        KLOG_ERROR("Can't find '%1' on '%2'", m_appId, name);
        status = DeviceStatusFailed;
    }

    if (status == DeviceStatusTransferring) {
        updateDeviceStatus(row, DeviceStatusTransferring);
        record = progressRecordFor(phone->uuid());
        {
            std::lock_guard progress(m_progressLock);
            record->current_size = 0;
            record->transferred_size = 0;
            record->files_sent = 0;
            record->files_failed = 0;
            record->started = now();
            record->ended = 0;
        }
        runOnMain([this] { updateStatusMessageOnMain(QStringLiteral("Busy")); });
    }

    std::uint64_t sum = 0;
    std::set<QString> knownFolders;
    const std::size_t count = m_singleFiles.size();
    for (std::size_t index = 0; index < count; ++index) {
        if (m_stopping || !containerOpen || self->cancelled)
            break;
        {
            std::unique_lock pause(m_pauseLock);
            m_pauseCondition.wait(pause, [this] { return !m_isPaused || m_stopping; });
        }
        if (m_stopping)
            break;
        const SendEntry& entry = *m_singleFiles[index];
        const QString& local = entry.path;
        KLOG_INFO("Transferring %1 to %2...", local, name);
        {
            std::lock_guard progress(m_progressLock);
            record->device_file = QStringLiteral("%1 << %2").arg(name, local);
            record->overall_progress = int(float(index) / float(count) * 100.0f);
            record->current_size = sum;
            record->file_progress = 0;
            record->lastbytes = 0;
            record->seconds = now();
        }
        const QString folder = remoteFolderOf(entry);
        if (!knownFolders.count(folder) && (phone->createDirectory(folder) || phone->itemExistsAtPath(folder)))
            knownFolders.insert(folder);

        bool copied = false;
        try {
            copied = phone->uploadFile(remotePathOf(entry), local, QVariant::fromValue(record));
        } catch (...) {
            copied = false;
        }
        if (copied) {
            KLOG_INFO("Successfully copied '%1' to %2!", local, name);
            sum += entry.filesize.value_or(0);
            {
                std::lock_guard progress(m_progressLock);
                record->transferred_size = sum;
                record->current_size = sum;
                ++record->files_sent;
            }
            updateTransferOnMain();
        } else {
            KLOG_ERROR("Failed to copy '%1' to %2!", local, name);
            std::lock_guard progress(m_progressLock);
            ++record->files_failed;
        }
    }

    // A device that went away while it was served did not get its files, whatever the
    // loop managed before it noticed.
    if (self->cancelled && !m_stopping)
        status = DeviceStatusFailed;
    if (!record)
        record = progressRecordFor(device ? device->uuid() : row->uid);
    if (status == DeviceStatusFailed)
        finishRecord(record, QStringLiteral("%1 - Failed").arg(name), 0);
    else if (m_stopping)
        finishRecord(record, QStringLiteral("%1 - Cancelled").arg(name), 0);
    else
        finishRecord(record, QStringLiteral("%1 - Finished").arg(name), 100);
    if (status != DeviceStatusFailed)
        status = DeviceStatusFinished;

    if (!m_stopping) {
        updateDeviceStatus(row, status);
        if (status == DeviceStatusFinished) {
            runOnMain([row] { row->doneTime = QDateTime::currentDateTime(); });
            std::lock_guard done(m_doneLock);
            if (std::none_of(m_doneDevices.begin(), m_doneDevices.end(),
                    [&](const DeviceRowPtr& r) { return r->uid == row->uid; }))
                m_doneDevices.push_back(row);
        }
    }

    {
        std::lock_guard job(m_jobLock);
        if (auto it = m_workingThreads.find(row->uid); it != m_workingThreads.end() && it->second == self)
            m_workingThreads.erase(it);
    }
    self->ended = true;
    {
        std::lock_guard threads(m_threadsLock);
        --m_threads;
        ++m_threadsSignals;
        m_threadsCondition.notify_all();
    }
}

std::vector<ProgressRecord> PortJob::transferProgresses() const
{
    std::lock_guard progress(m_progressLock);
    std::vector<ProgressRecord> out;
    for (const auto& r : m_transferProgresses)
        out.push_back(*r);
    return out;
}

std::vector<DeviceRowPtr> PortJob::doneDevices() const
{
    std::lock_guard done(m_doneLock);
    return m_doneDevices;
}

std::vector<DeviceRowPtr> PortJob::deviceQueue() const
{
    std::lock_guard job(m_jobLock);
    return m_deviceQueue;
}

int PortJob::runningThreads() const
{
    std::lock_guard threads(m_threadsLock);
    return m_threads;
}

}  // namespace kestrap
