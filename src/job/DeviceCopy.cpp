#include "job/DeviceCopy.h"

#include "device/ios/MobileDeviceService.h"
#include "job/TemporaryLedger.h"
#include "logging/Log.h"
#include "util/Helpers.h"
#include "util/Paths.h"

#include <QDateTime>
#include <QFileInfo>
#include <algorithm>
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

// Temporaries of ours that nobody has written for this long were left by a killed process or
// a pulled cable: a live upload writes its temporary at least every few seconds.
constexpr std::chrono::hours kStaleTemporaryAge {1};

// The one folder of an app's container that an App Store app shares with a computer.
constexpr QStringView kDocumentsFolder = u"Documents";

std::int64_t steadyMilliseconds()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

DeviceCopy::DeviceCopy(std::shared_ptr<JobRun> run, DeviceRowPtr row)
    : m_run(std::move(run)), m_row(std::move(row)), m_name(m_row->name), m_lastAnswer(steadyMilliseconds())
{
}

void DeviceCopy::answered()
{
    m_lastAnswer = steadyMilliseconds();
}

std::chrono::milliseconds DeviceCopy::silentFor() const
{
    if (m_waitingOnDevice <= 0 || m_ended)
        return std::chrono::milliseconds(0);
    return std::chrono::milliseconds(std::max<std::int64_t>(0, steadyMilliseconds() - m_lastAnswer));
}

void DeviceCopy::run()
{
    answered();
    const std::shared_ptr<iMobileDevice> device = m_row->device;
    int status = DeviceStatusTransferring;
    std::shared_ptr<iMobileDevice> first;
    if (!device || !device->canChangeService()) {
        KLOG_ERROR("This is not a iOS device: %1", m_name);
        if (const Outward out {*this})
            recordError(DeviceError::job(QStringLiteral("the device has no app containers")));
        status = DeviceStatusFailed;
    } else {
        const QString udid = device->uuid();
        {
            std::lock_guard outward(m_outwardLock);  // abandon() reads it
            m_udid = udid;
        }
        if (!(first = openContainer(*device)))
            status = DeviceStatusFailed;
    }

    if (status == DeviceStatusTransferring) {
        answered();
        removeOurTemporaries(*first);
        if (const Outward out {*this}) {
            m_run->events.postRowStatus(m_row, DeviceStatusTransferring, false);
            beginRecord(m_udid);
            m_run->events.postStatusMessage(QStringLiteral("Busy"));
        }
        // Connections beyond those the device gains from would only take turns on it.
        const std::size_t lanes
            = std::size_t(std::max(1, std::min(m_run->connectionsPerDevice, device->usefulConnections())));
        if (m_run->kind == RunKind::Remove)
            removeJobFiles(openLanes(*device, first, std::min(lanes, m_run->plan.files().size())));
        else if (!hasRoom(*first, lanes))
            status = DeviceStatusFailed;
        else if (const auto connections = sendAll(*device, first, lanes); m_run->mirror && receivedEveryFile())
            removeExtras(connections);
    }
    first.reset();  // closed before the row says the device is free

    // Given up on while its device kept it waiting: the row has failed already, and the job
    // may be gone.
    Fate running = Fate::Running;
    if (!m_fate.compare_exchange_strong(running, Fate::Ending))
        return;
    const Outward out(*this);
    // A stop that comes once every file has ended changes nothing: the device holds the job.
    const bool stoppedShort = m_run->stopping && !everyFileEnded();
    // A device that went away while it was served did not get its files, whatever the
    // loop managed before it noticed.
    if (m_cancelled && !stoppedShort) {
        status = DeviceStatusFailed;
        if (!m_goneCause)
            recordError({ErrorDomain::Job, 0, QStringLiteral("the device was disconnected"), true});
    }
    if (status != DeviceStatusFailed && !stoppedShort)
        status = DeviceStatusFinished;
    finishRecord(status, stoppedShort);
    if (!stoppedShort) {
        m_run->events.postRowStatus(m_row, status, status == DeviceStatusFinished);
        if (status == DeviceStatusFinished)
            m_run->addDone(m_row);
    }
    m_ended = true;
}

bool DeviceCopy::abandon()
{
    const Outward out(*this);
    Fate running = Fate::Running;
    if (!m_fate.compare_exchange_strong(running, Fate::Abandoned))
        return false;
    const DeviceError cause = DeviceError::job(QStringLiteral("the device stopped answering"));
    KLOG_ERROR("%1: %2", m_name, cause.text);
    if (!m_slot)
        beginRecord(m_udid.isEmpty() ? m_row->uid : m_udid);
    {
        // What ended stays counted; the files in progress never arrived whole.
        ProgressBoard::Edit r(*m_slot);
        r->current_size = m_sum;
        r->transferred_size = m_sum;
    }
    recordError(cause);
    finishRecord(DeviceStatusFailed, false);
    m_run->events.postRowStatus(m_row, DeviceStatusFailed, false);
    m_ended = true;
    return true;
}

void DeviceCopy::noteTemporary(const QString& temporary, const QString& oldFileOf, bool made)
{
    TemporaryLedger& ledger = TemporaryLedger::process();
    if (made)
        ledger.made(m_udid, m_run->appId, {temporary, oldFileOf});
    else
        ledger.unmade(m_udid, m_run->appId, temporary);
}

void DeviceCopy::removeOurTemporaries(iMobileDevice& connection)
{
    TemporaryLedger& ledger = TemporaryLedger::process();
    const std::vector<TemporaryLedger::Item> left = ledger.take(m_udid, m_run->appId);
    int removed = 0;
    for (const TemporaryLedger::Item& item : left) {
        bool gone = false;
        if (!item.oldFileOf.isEmpty() && !connection.itemExistsAtPath(item.oldFileOf)) {
            // Pulled between moving the old file aside and putting the new one in its place:
            // the old one takes its name again.
            gone = connection.renameItemAtPath(item.path, QFileInfo(item.oldFileOf).fileName());
        } else {
            gone = connection.deleteItemAtPath(item.path) || !connection.itemExistsAtPath(item.path);
        }
        answered();
        if (gone)
            ++removed;
        else
            ledger.made(m_udid, m_run->appId, item);  // tried again the next time
    }
    if (const Outward out {*this}; out && removed > 0)
        KLOG_INFO("Removed %1 temporary files left on %2 by a copy that did not end", removed, m_name);
}

std::shared_ptr<iMobileDevice> DeviceCopy::openContainer(iMobileDevice& device)
{
    DeviceError error;
    std::shared_ptr<iMobileDevice> connection = device.openConnection(m_run->appId, &error);
    // An App Store app gives only its Documents folder: a job whose folder lies elsewhere
    // would fail every file, so the device fails once, before anything is written.
    if (connection && connection->servesDocumentsOnly() && !PathIsWithin(m_run->folder, kDocumentsFolder)) {
        connection.reset();
        error = {ErrorDomain::HouseArrest, AMDDocumentsOnlyError,
            QStringLiteral("the app shares only its Documents folder; put the job's folder under Documents")};
        if (const Outward out {*this}) {
            KLOG_ERROR("%1: %2", m_name, error.text);
            recordError(error);
        }
        return nullptr;
    }
    if (connection)
        return connection;
    // Said only by a copy still running: one given up may outlive the job, and the program.
    if (const Outward out {*this}) {
        KLOG_ERROR("Can't find '%1' on '%2'", m_run->appId, m_name);
        KLOG_ERROR("%1: %2", m_name, error.text);
        recordError(error);
    }
    return nullptr;
}

bool DeviceCopy::hasRoom(iMobileDevice& connection, std::size_t lanes)
{
    const std::optional<std::uint64_t> free = connection.freeSpaceNow();
    if (!free)
        return true;  // a device that does not say is tried, and fails at its first refused write
    const auto& files = m_run->plan.files();
    // A file being replaced is on the device twice until its rename: the temporaries of the
    // largest files, one a lane, are the most that is ever there beside the job's files.
    std::vector<std::uint64_t> sizes;
    sizes.reserve(files.size());
    for (const SendEntryPtr& entry : files)
        sizes.push_back(entry->filesize.value_or(0));
    const std::size_t inFlight = std::min(lanes, sizes.size());
    std::partial_sort(sizes.begin(), sizes.begin() + std::ptrdiff_t(inFlight), sizes.end(), std::greater<>());
    std::uint64_t largest = 0;
    for (std::size_t i = 0; i < inFlight; ++i)
        largest += sizes[i];
    std::uint64_t needed = m_run->plan.totalFileSize() + largest;
    if (needed > *free) {
        // Files the device holds already take only what they grow by: a re-run onto a nearly
        // full device fits when little has changed.
        needed = largest;
        for (std::size_t i = 0; i < files.size(); ++i) {
            const std::uint64_t size = files[i]->filesize.value_or(0);
            const std::uint64_t held = connection.getSizeOfItemAtPath(m_run->destinations[i].path);
            answered();
            needed += size - std::min(held, size);
        }
    }
    if (needed <= *free)
        return true;
    const QString cause = QStringLiteral("not enough space on the device: needs %1, has %2")
                              .arg(CapacityString(needed), CapacityString(*free));
    if (const Outward out {*this}) {
        KLOG_ERROR("%1: %2", m_name, cause);
        recordError(DeviceError::job(cause));
    }
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
    r->files_removed = 0;
    r->failed_files.clear();
    r->speed.reset();
    r->current_file.clear();
    r->lastbytes = 0;
    r->seconds = now();
    r->error.clear();
    r->errorDomain = ErrorDomain::None;
    r->errorCode = 0;
    r->phase = CopyPhase::Sending;
    r->started = now();
    r->ended = 0;
}

void DeviceCopy::recordError(const DeviceError& cause)
{
    if (!m_slot)
        beginRecord(m_udid.isEmpty() ? m_row->uid : m_udid);
    ProgressBoard::Edit r(*m_slot);
    r->error = cause.text;
    r->errorDomain = cause.domain;
    r->errorCode = cause.code;
    if (cause.deviceGone)
        m_goneCause = true;
}

std::vector<std::shared_ptr<iMobileDevice>> DeviceCopy::sendAll(
    iMobileDevice& device, const std::shared_ptr<iMobileDevice>& first, std::size_t connections)
{
    const std::size_t count = m_run->plan.files().size();
    const std::size_t lanes = std::clamp<std::size_t>(connections, 1, std::max<std::size_t>(count, 1));
    std::vector<std::shared_ptr<iMobileDevice>> opened(lanes);
    opened[0] = first;
    {
        const Outward out(*this);
        if (!out)
            return opened;
        ProgressBoard::Edit r(*m_slot);
        m_laneBytes.assign(lanes, 0);
        m_laneFiles.assign(lanes, QString());
    }
    std::vector<std::thread> others;
    for (std::size_t lane = 1; lane < lanes; ++lane) {
        ++m_waitingOnDevice;
        others.emplace_back([this, &device, &opened, lane] {
            // A device that gives fewer connections is served through those it gave.
            if ((opened[lane] = openLane(device)))
                sendLane(*opened[lane], lane);
            --m_waitingOnDevice;
        });
    }
    sendLane(*first, 0);
    for (std::thread& lane : others)
        lane.join();
    std::erase(opened, nullptr);
    return opened;
}

std::shared_ptr<iMobileDevice> DeviceCopy::openLane(iMobileDevice& device)
{
    DeviceError why;
    std::shared_ptr<iMobileDevice> connection = device.openConnection(m_run->appId, &why);
    answered();
    if (!connection)
        if (const Outward out {*this})
            KLOG_INFO("%1 takes no further connection: %2", m_name, why.text);
    return connection;
}

std::vector<std::shared_ptr<iMobileDevice>> DeviceCopy::openLanes(
    iMobileDevice& device, const std::shared_ptr<iMobileDevice>& first, std::size_t connections)
{
    std::vector<std::shared_ptr<iMobileDevice>> opened(std::max<std::size_t>(connections, 1));
    opened[0] = first;
    std::vector<std::thread> openers;
    for (std::size_t lane = 1; lane < opened.size(); ++lane) {
        ++m_waitingOnDevice;
        openers.emplace_back([this, &device, &opened, lane] {
            opened[lane] = openLane(device);
            --m_waitingOnDevice;
        });
    }
    for (std::thread& opener : openers)
        opener.join();
    std::erase(opened, nullptr);
    return opened;
}

void DeviceCopy::sendLane(iMobileDevice& connection, std::size_t lane)
{
    const std::size_t count = m_run->plan.files().size();
    const auto goOn = [this] { return !m_run->stopping && !m_cancelled && m_fate == Fate::Running; };
    while (goOn()) {
        // A paused lane waits for no answer of the device's.
        --m_waitingOnDevice;
        m_run->waitWhilePaused();
        answered();
        ++m_waitingOnDevice;
        if (!goOn())
            break;
        const std::size_t index = m_next.fetch_add(1);
        if (index >= count)
            break;
        sendOne(connection, lane, index);
    }
}

void DeviceCopy::prepareFolder(iMobileDevice& connection, const QString& folder)
{
    // Held while the folder is made, so no lane writes into a folder that is not there yet.
    std::lock_guard guard(m_foldersLock);
    if (m_knownFolders.count(folder))
        return;
    if (connection.createDirectory(folder) || connection.itemExistsAtPath(folder)) {
        m_knownFolders.insert(folder);
        connection.removeStaleTemporaries(folder, kStaleTemporaryAge);
    }
    answered();
}

std::uint64_t DeviceCopy::bytesDoneLocked() const
{
    std::uint64_t done = m_sum;
    for (const std::uint64_t bytes : m_laneBytes)
        done += bytes;
    return done;
}

bool DeviceCopy::sendOne(iMobileDevice& connection, std::size_t lane, std::size_t index)
{
    const SendEntry& entry = *m_run->plan.files()[index];
    const QString& local = entry.path;
    const std::size_t count = m_run->plan.files().size();
    {
        const Outward out(*this);
        if (!out)
            return false;
        KLOG_INFO("Transferring %1 to %2...", local, m_name);
        ProgressBoard::Edit r(*m_slot);
        m_laneBytes[lane] = 0;
        m_laneFiles[lane] = local;
        if (m_shownLane == kNoLane || m_shownLane == lane) {
            m_shownLane = lane;
            r->current_file = m_laneFiles[lane];
            r->file_progress = 0;
        }
        r->current_size = m_sum;
        r->transferred_size = bytesDoneLocked();
        m_run->events.postProgress(m_recordIndex, m_slot->progressPosted);
    }

    UploadResult result;
    if (!entry.error.isEmpty()) {
        result.error = DeviceError::local(0, entry.error);
    } else {
        const JobRun::Destination& destination = m_run->destinations[index];
        UploadRequest request;
        // Only a folder something is written into is made and cleaned: a re-run that finds
        // a folder's files unchanged leaves it alone.
        request.beforeWrite = [this, &connection, &destination] { prepareFolder(connection, destination.folder); };
        request.devicePath = destination.path;
        request.localPath = local;
        request.skipUnchanged = m_run->skipUnchanged;
        request.verify = m_run->verify;
        request.progress
            = [this, lane](std::int64_t done, std::int64_t total) { return fileProgress(lane, done, total); };
        request.temporary = [this](const QString& temporary, const QString& oldFileOf, bool made) {
            noteTemporary(temporary, oldFileOf, made);
        };
        request.answered = [this] { answered(); };
        result = connection.sendFile(request);
    }
    answered();

    const Outward out(*this);
    if (!out)
        return false;  // the record was closed without this file
    {
        ProgressBoard::Edit r(*m_slot);
        m_laneBytes[lane] = 0;
        if (m_shownLane == lane)
            m_shownLane = kNoLane;  // the next lane to start a file or report progress shows it
        // Files end in any order when several lanes send: the bar counts those ended.
        r->overall_progress = int(float(++m_filesEnded) / float(count) * 100.0f);
        if (result.ok()) {
            if (result.skipped)
                KLOG_INFO("Skipped '%1' on %2: the device holds it unchanged", local, m_name);
            else
                KLOG_INFO("Successfully copied '%1' to %2!", local, m_name);
            m_sum += entry.filesize.value_or(0);
            r->current_size = m_sum;
            r->transferred_size = bytesDoneLocked();
            ++(result.skipped ? r->files_skipped : r->files_sent);
        } else if (m_goneCause && !result.error.deviceGone) {
            // Another lane found the device gone, and this one's file ended with it.
            ++r->files_failed;
        } else if (m_run->stopping && !result.error.deviceGone) {
            // Stopped in the middle: the file was not tried to its end, and the run says Cancelled.
            KLOG_INFO("Stopped copying '%1' to %2", local, m_name);
        } else {
            KLOG_ERROR("Failed to copy '%1' to %2!", local, m_name);
            KLOG_ERROR("%1: %2", m_name, result.error.text);
            // A device that went away gets none of the remaining files, and did not finish,
            // whenever the manager gets round to saying it is gone.
            if (result.error.deviceGone) {
                m_cancelled = true;
                m_goneCause = true;
            }
            ++r->files_failed;
            if (r->failed_files.size() < std::size_t(kFailedFilesKept))
                r->failed_files.push_back({local, result.error.text, result.error.domain, result.error.code});
            r->error = result.error.text;
            r->errorDomain = result.error.domain;
            r->errorCode = result.error.code;
        }
    }
    m_run->events.postProgress(m_recordIndex, m_slot->progressPosted);
    return result.ok();
}

bool DeviceCopy::everyFileEnded()
{
    if (!m_slot)
        return false;
    ProgressBoard::Edit r(*m_slot);
    // Taking a job back ends each file at once, whatever became of it.
    if (m_run->kind == RunKind::Remove)
        return m_filesEnded == m_run->plan.files().size();
    // A file stopped in the middle is none of these; a mirrored run's failed removals come on
    // top of the plan's files.
    return std::size_t(r->files_sent + r->files_skipped + r->files_failed) >= m_run->plan.files().size();
}

void DeviceCopy::finishRecord(int status, bool cancelled)
{
    if (!m_slot)
        beginRecord(m_udid.isEmpty() ? m_row->uid : m_udid);
    int percent = 0;
    CopyPhase phase = CopyPhase::Finished;
    if (status == DeviceStatusFailed)
        phase = CopyPhase::Failed;
    else if (cancelled)
        phase = CopyPhase::Cancelled;
    else
        percent = 100;
    {
        ProgressBoard::Edit r(*m_slot);
        r->phase = phase;
        r->current_file.clear();
        r->overall_progress = percent;
        r->file_progress = percent;
        r->ended = now();
    }
    m_run->events.postFinalProgress(m_recordIndex);
}

bool DeviceCopy::fileProgress(std::size_t lane, std::int64_t done, std::int64_t total)
{
    answered();
    const Outward out(*this);
    if (!out)
        return false;
    {
        ProgressBoard::Edit r(*m_slot);
        m_laneBytes[lane] = std::uint64_t(std::max<std::int64_t>(done, 0));
        const std::uint64_t bytes = bytesDoneLocked();
        // Measured over the bytes all lanes wrote since the last sample: the copy never waits
        // for the display, so this is the device's own pace. Samples closer than this would
        // show one lane's burst rather than the device's rate.
        constexpr double kSpeedSampleSeconds = 0.25;
        const double t = now();
        if (t - r->seconds >= kSpeedSampleSeconds) {
            const double speed = (double(bytes) - double(r->lastbytes)) / (t - r->seconds);
            r->speed = speed > 0 ? std::uint64_t(speed) : 0;
            r->lastbytes = bytes;
            r->seconds = t;
        }
        r->transferred_size = bytes;
        if (m_shownLane == kNoLane) {
            m_shownLane = lane;
            r->current_file = m_laneFiles[lane];
        }
        if (m_shownLane == lane)
            r->file_progress = percentOf(done, total);
    }
    m_run->events.postProgress(m_recordIndex, m_slot->progressPosted);
    // Stop and unplug end a copy at its next write, not at the end of the file.
    return !m_run->stopping && !m_cancelled;
}

}  // namespace kestrap
