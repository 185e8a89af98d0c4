#include "job/PortJob.h"

#include "logging/Log.h"
#include "settings/Settings.h"
#include "util/Helpers.h"

#include <QDateTime>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <algorithm>

namespace kestrap {

PortJob::PortJob(QObject* controller) : QObject(nullptr), m_controller(controller), m_events(new JobEvents(this))
{
    // Registered here, on the job's thread, rather than lazily by the first copy threads at once.
    qRegisterMetaType<ProgressBoard::SlotPtr>();
    qRegisterMetaType<DeviceRowPtr>();
    connect(m_events, &JobEvents::rowStatus, this, &PortJob::onRowStatus);
    connect(m_events, &JobEvents::statusMessage, this, &PortJob::setStatusMessage);
    connect(m_events, &JobEvents::progressAdded, this, &PortJob::onProgressAdded);
    connect(m_events, &JobEvents::progress, this, &PortJob::transferProgressChanged);
    setStatusMessage(QStringLiteral("Not running!"));
}

PortJob::~PortJob()
{
    // Copies use the run to the end; a job that goes while it works stops them first. No
    // event loop runs here: nothing a copy does waits for this thread.
    m_scheduler.requestStop();
    m_scheduler.join();
}

template <class T> void PortJob::change(T& field, const T& value, JobSetting which)
{
    field = value;
    emit settingChanged(which);
}

void PortJob::setAppId(const QString& appId)
{
    change(m_settings.appId, appId, JobSetting::AppId);
}

void PortJob::setFolder(const QString& folder)
{
    change(m_settings.folder, folder, JobSetting::Folder);
}

void PortJob::setAllowedPattern(const QString& pattern)
{
    change(m_settings.allowedPattern, pattern, JobSetting::AllowedPattern);
}

void PortJob::setIgnoredPattern(const QString& pattern)
{
    change(m_settings.ignoredPattern, pattern, JobSetting::IgnoredPattern);
}

void PortJob::setIsAllowedPatternRegex(bool on)
{
    change(m_settings.isAllowedPatternRegex, on, JobSetting::AllowedPatternRegex);
}

void PortJob::setIsIgnoredPatternRegex(bool on)
{
    change(m_settings.isIgnoredPatternRegex, on, JobSetting::IgnoredPatternRegex);
}

void PortJob::setIsRecursive(bool on)
{
    change(m_settings.isRecursive, on, JobSetting::Recursive);
}

void PortJob::setRecursiveDepth(std::int32_t depth)
{
    change(m_settings.recursiveDepth, depth, JobSetting::RecursiveDepth);
}

void PortJob::setSavedFilePath(const QString& path)
{
    change(m_savedFilePath, path, JobSetting::SavedFilePath);
}

void PortJob::setStatusMessage(const QString& message)
{
    m_statusMessage = message;
    emit statusMessageChanged(message);
}

int PortJob::addFilePaths(const QStringList& paths)
{
    std::vector<FileEntryPtr> added;
    for (const QString& given : paths) {
        // "folder/." and "a/../b" name what their clean form names, and only that form is a
        // path a job file keeps.
        const QString path = QDir::cleanPath(QFileInfo(given).absoluteFilePath());
        const auto listed = [&](const FileEntryPtr& e) { return e->path == path; };
        if (std::none_of(m_settings.filePaths.begin(), m_settings.filePaths.end(), listed)
            && std::none_of(added.begin(), added.end(), listed))
            added.push_back(infoOfFile(path));
    }
    if (added.empty())
        return 0;
    const int first = int(m_settings.filePaths.size());
    const ListChange change {ListChange::Insert, first, first + int(added.size()) - 1};
    emit filePathsAboutToChange(change);
    m_settings.filePaths.insert(m_settings.filePaths.end(), added.begin(), added.end());
    emit filePathsChanged(change);
    return int(added.size());
}

void PortJob::removeFilePathsAt(std::vector<int> indexes)
{
    std::sort(indexes.begin(), indexes.end(), std::greater<>());
    indexes.erase(std::unique(indexes.begin(), indexes.end()), indexes.end());
    std::erase_if(indexes, [&](int i) { return i < 0 || std::size_t(i) >= m_settings.filePaths.size(); });
    // Last first, so the indexes left to remove stay valid.
    for (int i : indexes) {
        const ListChange change {ListChange::Remove, i, i};
        emit filePathsAboutToChange(change);
        m_settings.filePaths.erase(m_settings.filePaths.begin() + i);
        emit filePathsChanged(change);
    }
}

void PortJob::setFilePaths(std::vector<FileEntryPtr> entries)
{
    emit filePathsAboutToChange(ListChange {});
    m_settings.filePaths = std::move(entries);
    emit filePathsChanged(ListChange {});
}

QString PortJob::actionButtonTitle() const
{
    return m_isWorking ? QStringLiteral("Stop") : QStringLiteral("Start");
}

bool PortJob::isDeviceExcluded(const QString& uid) const
{
    return std::any_of(m_settings.excludedDevices.begin(), m_settings.excludedDevices.end(),
        [&](const ExcludedDevice& e) { return e.uid == uid; });
}

void PortJob::excludeDevice(const DeviceRow& row)
{
    if (isDeviceExcluded(row.uid))
        return;
    ExcludedDevice record;
    record.name = row.name;
    record.uid = row.uid;
    record.icon = row.icon;
    if (row.device)
        record.type = row.device->deviceType();
    if (row.status)
        record.status = qint64(*row.status);
    if (row.doneTime)
        record.doneTime = *row.doneTime;
    const int at = int(m_settings.excludedDevices.size());
    const ListChange change {ListChange::Insert, at, at};
    emit excludedDevicesAboutToChange(change);
    m_settings.excludedDevices.push_back(std::move(record));
    emit excludedDevicesChanged(change);
    std::size_t queued = 0;
    if (m_scheduler.dequeue(row.uid, &queued) && m_isWorking)
        setStatusMessage(queueMessage(queued));
}

void PortJob::includeDeviceAtIndex(std::int32_t index)
{
    if (index < 0 || std::size_t(index) >= m_settings.excludedDevices.size())
        return;
    const ListChange change {ListChange::Remove, index, index};
    emit excludedDevicesAboutToChange(change);
    m_settings.excludedDevices.erase(m_settings.excludedDevices.begin() + index);
    emit excludedDevicesChanged(change);
}

void PortJob::setLastError(const QString& domain, int code, const QString& description, const QString& reason)
{
    m_lastError = JobError {domain, code, description, reason};
}

// --- Running ---------------------------------------------------------------------------------

StartCheck PortJob::startCheck() const
{
    if (m_settings.filePaths.empty())
        return StartCheck::NoFiles;
    if (IsEmpty(m_settings.appId))
        return StartCheck::NoAppId;
    if (IsEmpty(m_settings.folder))
        return StartCheck::NoFolder;
    return StartCheck::Ready;
}

void PortJob::setWorking(bool working)
{
    m_isWorking = working;
    emit workingChanged(working);
}

bool PortJob::prepareStarting()
{
    if (m_isWorking)
        return false;
    m_plan = SendPlan::collect(m_settings);
    return !m_plan.isEmpty();
}

void PortJob::recurFolder(const QString& localFolder, const QString& remoteFolder, std::vector<SendEntryPtr>& fileArray,
    std::int32_t depth) const
{
    if (!m_isWorking)
        SendPlan::recurFolder(m_settings, localFolder, remoteFolder, fileArray, depth);
}

bool PortJob::start()
{
    if (m_isWorking)
        return true;
    return start(SendPlan::collect(m_settings));
}

bool PortJob::start(SendPlan plan)
{
    if (m_isWorking)
        return true;
    m_lastError = JobError {};
    m_plan = std::move(plan);
    if (m_plan.isEmpty()) {
        if (!m_plan.error().isEmpty())
            setLastError(QStringLiteral("Start"), -2, m_plan.error());
        else
            setLastError(
                QStringLiteral("Start"), -1, QStringLiteral("No files to copy, please check the filter settings."));
        return false;
    }
    auto run = std::make_shared<JobRun>(m_progress, *m_events);
    run->appId = m_settings.appId;
    run->folder = m_settings.folder;
    run->plan = m_plan;
    run->concurrency = m_concurrencyOverride >= 0 ? m_concurrencyOverride : Settings::settings().concurrency();
    run->progressPause = m_progressPauseOverride >= 0 ? m_progressPauseOverride : Settings::settings().progressPause();
    run->skipUnchanged = m_skipUnchangedOverride.value_or(Settings::settings().skipUnchanged());
    run->verify = m_verifyOverride.value_or(Settings::settings().verifyCopies());
    run->connectionsPerDevice = m_connectionsOverride.value_or(Settings::settings().connectionsPerDevice());
    // The pause only spaces the updates of a row: copies never wait for the display. Below
    // the events' own interval a display with dozens of devices would be flooded.
    m_events->setProgressInterval(
        std::max(JobEvents::kProgressInterval, std::chrono::milliseconds(qint64(run->progressPause * 1000))));
    // A job paused before it starts holds its copies before their first file.
    run->setPaused(m_isPaused);
    m_run = run;
    setWorking(true);
    // Posted to this thread: the job is told by an event, never by a look at a flag. The
    // destructor joins the scheduler before the QObject goes, which discards the event.
    m_scheduler.start(
        run, [this] { QMetaObject::invokeMethod(this, &PortJob::finishStop, Qt::QueuedConnection); },
        [this] { QMetaObject::invokeMethod(this, &PortJob::onRunIdle, Qt::QueuedConnection); });
    setStatusMessage(QStringLiteral("Ready for transferring."));
    return true;
}

void PortJob::requestStop()
{
    if (!m_isWorking || m_isStopping)
        return;
    m_isStopping = true;
    emit stoppingChanged(true);
    m_scheduler.requestStop();
}

void PortJob::stop()
{
    if (!m_isWorking)
        return;
    QEventLoop loop;
    connect(this, &PortJob::stopped, &loop, &QEventLoop::quit);
    requestStop();
    loop.exec();
}

void PortJob::finishStop()
{
    if (!m_isStopping)
        return;
    m_scheduler.join();
    // What the copies posted before they ended is shown before the job says it stopped.
    m_events->drain();
    m_isStopping = false;
    setWorking(false);
    setStatusMessage(QStringLiteral("Stopped!"));
    KLOG_WARN("The transfer job has been stopped!");
    m_scheduler.clearQueue();
    m_run.reset();
    emit stoppingChanged(false);
    emit stopped();
}

void PortJob::onRunIdle()
{
    if (!m_isWorking || m_isStopping)
        return;
    // The last copies' statuses and records come before the word that they ended.
    m_events->drain();
    emit runIdle();
}

void PortJob::pause()
{
    m_isPaused = true;
    if (m_run)
        m_run->setPaused(true);
}

void PortJob::resume()
{
    m_isPaused = false;
    if (m_run)
        m_run->setPaused(false);
}

bool PortJob::isPaused() const
{
    return m_isPaused;
}

std::vector<DeviceRowPtr> PortJob::doneDevices() const
{
    return m_run ? m_run->doneDevices() : std::vector<DeviceRowPtr> {};
}

std::int32_t PortJob::threadsConcurrency() const
{
    return m_run ? m_run->concurrency : 0;
}

void PortJob::addDeviceToQueue(const DeviceRowPtr& row)
{
    if (!row || isDeviceExcluded(row->uid))
        return;
    setStatusMessage(queueMessage(m_scheduler.add(row)));
}

void PortJob::removeDeviceFromQueue(const DeviceRowPtr& row)
{
    if (!row)
        return;
    std::size_t queued = 0;
    if (m_scheduler.remove(row, &queued) && m_isWorking)
        setStatusMessage(queueMessage(queued));
}

void PortJob::onRowStatus(const DeviceRowPtr& row, int status, bool finished)
{
    row->status = status;
    if (finished)
        row->doneTime = QDateTime::currentDateTime();
    emit deviceStatusChanged(row);
}

void PortJob::onProgressAdded(int index)
{
    emit transferProgressAboutToBeAdded(index);
    m_publishedProgress = std::max(m_publishedProgress, index + 1);
    emit transferProgressAdded(index);
}

// --- Job files -------------------------------------------------------------------------------

bool PortJob::writeToFile(const QString& path)
{
    JobError error;
    if (!JobFile::write(m_settings, path, &error)) {
        m_lastError = error;
        return false;
    }
    setSavedFilePath(path);
    return true;
}

bool PortJob::readFromFile(const QString& path, bool noChecksum)
{
    JobError error;
    auto settings = JobFile::read(path, noChecksum, &error);
    if (!settings) {
        m_lastError = error;
        return false;
    }
    emit excludedDevicesAboutToChange(ListChange {});
    emit filePathsAboutToChange(ListChange {});
    m_settings = std::move(*settings);
    emit filePathsChanged(ListChange {});
    emit excludedDevicesChanged(ListChange {});
    for (JobSetting s : {JobSetting::AppId, JobSetting::Folder, JobSetting::AllowedPattern, JobSetting::IgnoredPattern,
             JobSetting::AllowedPatternRegex, JobSetting::IgnoredPatternRegex, JobSetting::Recursive,
             JobSetting::RecursiveDepth})
        emit settingChanged(s);
    setSavedFilePath(path);
    return true;
}

}  // namespace kestrap
