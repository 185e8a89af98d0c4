#include "job/DeviceCopy.h"

#include "logging/Log.h"
#include "util/Helpers.h"

#include <QDateTime>
#include <chrono>
#include <set>
#include <thread>

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

QString causeOf(const iMobileDevice& device, const QString& fallback)
{
    const DeviceError error = device.lastError();
    return error.isEmpty() ? fallback : error.text;
}

}  // namespace

DeviceCopy::DeviceCopy(std::shared_ptr<JobRun> run, DeviceRowPtr row)
    : m_run(std::move(run)), m_row(std::move(row)), m_name(m_row->name)
{
}

void DeviceCopy::run()
{
    const std::shared_ptr<iMobileDevice> device = m_row->device;
    int status = DeviceStatusTransferring;
    if (device)
        device->setCopyDelegate(this);
    if (!device || !device->canChangeService()) {
        KLOG_ERROR("This is not a iOS device: %1", m_name);
        recordError(QStringLiteral("the device has no app containers"));
        status = DeviceStatusFailed;
    } else if (!openContainer(*device)) {
        status = DeviceStatusFailed;
    }

    if (status == DeviceStatusTransferring) {
        m_run->events.postRowStatus(m_row, DeviceStatusTransferring, false);
        beginRecord(device->uuid());
        m_run->events.postStatusMessage(QStringLiteral("Busy"));
        sendAll(*device);
    }

    // A device that went away while it was served did not get its files, whatever the
    // loop managed before it noticed.
    if (m_cancelled && !m_run->stopping) {
        status = DeviceStatusFailed;
        recordError(device ? causeOf(*device, QStringLiteral("the device was disconnected"))
                           : QStringLiteral("the device was disconnected"));
    }
    if (status != DeviceStatusFailed && !m_run->stopping)
        status = DeviceStatusFinished;
    finishRecord(status);
    if (!m_run->stopping) {
        m_run->events.postRowStatus(m_row, status, status == DeviceStatusFinished);
        if (status == DeviceStatusFinished)
            m_run->addDone(m_row);
    }
    if (device)
        device->setCopyDelegate(nullptr);
    m_ended = true;
}

bool DeviceCopy::openContainer(iMobileDevice& device)
{
    if (device.changeService(m_run->appId))
        return true;
    KLOG_ERROR("Can't find '%1' on '%2'", m_run->appId, m_name);
    const QString cause = causeOf(device, QStringLiteral("the app's container cannot be opened"));
    KLOG_ERROR("%1: %2", m_name, cause);
    recordError(cause);
    return false;
}

void DeviceCopy::beginRecord(const QString& deviceid)
{
    if (!m_slot) {
        const auto entry = m_run->progress.recordFor(deviceid);
        m_slot = entry.slot;
        m_recordIndex = entry.index;
        if (entry.created)
            m_run->events.postProgressAdded(entry.index);
    }
    ProgressBoard::Edit r(*m_slot);
    r->current_size = 0;
    r->transferred_size = 0;
    r->files_sent = 0;
    r->files_failed = 0;
    r->files_skipped = 0;
    r->error.clear();
    r->errorDomain = ErrorDomain::None;
    r->errorCode = 0;
    r->phase = CopyPhase::Sending;
    r->started = now();
    r->ended = 0;
}

void DeviceCopy::recordError(const QString& cause)
{
    if (!m_slot)
        beginRecord(m_row->device ? m_row->device->uuid() : m_row->uid);
    ProgressBoard::Edit(*m_slot)->error = cause;
}

void DeviceCopy::sendAll(iMobileDevice& device)
{
    std::set<QString> knownFolders;
    const std::size_t count = m_run->plan.files().size();
    for (std::size_t index = 0; index < count; ++index) {
        if (m_run->stopping || m_cancelled)
            break;
        m_run->waitWhilePaused();
        if (m_run->stopping)
            break;
        sendOne(device, index, knownFolders);
    }
}

bool DeviceCopy::sendOne(iMobileDevice& device, std::size_t index, std::set<QString>& knownFolders)
{
    const SendEntry& entry = *m_run->plan.files()[index];
    const QString& local = entry.path;
    const std::size_t count = m_run->plan.files().size();
    KLOG_INFO("Transferring %1 to %2...", local, m_name);
    {
        ProgressBoard::Edit r(*m_slot);
        r->device_file = QStringLiteral("%1 << %2").arg(m_name, local);
        r->overall_progress = int(float(index) / float(count) * 100.0f);
        r->current_size = m_sum;
        r->file_progress = 0;
        r->lastbytes = 0;
        r->seconds = now();
    }
    m_run->events.postProgress(m_recordIndex, m_slot->progressPosted);

    const QString folder = SendPlan::remoteFolderOf(m_run->folder, entry);
    if (!knownFolders.count(folder) && (device.createDirectory(folder) || device.itemExistsAtPath(folder)))
        knownFolders.insert(folder);

    bool copied = false;
    try {
        copied = device.uploadFile(SendPlan::remotePathOf(m_run->folder, entry), local, QVariant::fromValue(m_slot));
    } catch (...) {
        copied = false;
    }
    if (copied) {
        KLOG_INFO("Successfully copied '%1' to %2!", local, m_name);
        m_sum += entry.filesize.value_or(0);
        ProgressBoard::Edit r(*m_slot);
        r->transferred_size = m_sum;
        r->current_size = m_sum;
        ++r->files_sent;
    } else {
        KLOG_ERROR("Failed to copy '%1' to %2!", local, m_name);
        const QString cause = causeOf(device, QStringLiteral("the copy failed"));
        KLOG_ERROR("%1: %2", m_name, cause);
        // A device that went away gets none of the remaining files, and did not finish,
        // whenever the manager gets round to saying it is gone.
        if (device.lastError().deviceGone)
            m_cancelled = true;
        ProgressBoard::Edit r(*m_slot);
        ++r->files_failed;
        r->error = cause;
    }
    m_run->events.postProgress(m_recordIndex, m_slot->progressPosted);
    return copied;
}

void DeviceCopy::finishRecord(int status)
{
    if (!m_slot)
        beginRecord(m_row->device ? m_row->device->uuid() : m_row->uid);
    QString text;
    int percent = 0;
    CopyPhase phase = CopyPhase::Finished;
    if (status == DeviceStatusFailed) {
        text = QStringLiteral("%1 - Failed").arg(m_name);
        phase = CopyPhase::Failed;
    } else if (m_run->stopping) {
        text = QStringLiteral("%1 - Cancelled").arg(m_name);
        phase = CopyPhase::Cancelled;
    } else {
        text = QStringLiteral("%1 - Finished").arg(m_name);
        percent = 100;
    }
    {
        ProgressBoard::Edit r(*m_slot);
        r->phase = phase;
        r->device_file = text;
        r->overall_progress = percent;
        r->file_progress = percent;
        r->ended = now();
    }
    m_run->events.postFinalProgress(m_recordIndex);
}

bool DeviceCopy::shouldContinue()
{
    return !m_run->stopping;
}

void DeviceCopy::transferBytes(std::int64_t done, std::int64_t total, const QVariant& userInfo)
{
    const auto slot = userInfo.value<ProgressBoard::SlotPtr>();
    if (!slot)
        return;
    // A device's last report of a file says "complete" (an iOS device sends 100 of 100
    // whatever the size); its numbers are no byte counts, and the copy shows the finished
    // file itself right after.
    const bool complete = done == total;
    {
        ProgressBoard::Edit r(*slot);
        if (complete) {
            r->file_progress = 100;
        } else {
            const double t = now();
            if (done > 0 && t > r->seconds) {
                const double speed = (double(done) - double(r->lastbytes)) / (t - r->seconds);
                r->transfer_speed = CapacityString(speed > 0 ? std::uint64_t(speed) : 0) + QStringLiteral(" /s");
            }
            r->lastbytes = std::uint64_t(std::max<std::int64_t>(done, 0));
            r->seconds = t;
            r->transferred_size = r->current_size + r->lastbytes;
            r->file_progress = percentOf(done, total);
        }
    }
    if (!complete)
        m_run->events.postProgress(m_recordIndex, slot->progressPosted);
    if (m_run->progressPause > 0)
        std::this_thread::sleep_for(std::chrono::duration<double>(m_run->progressPause));
}

}  // namespace kestrap
