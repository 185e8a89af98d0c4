#pragma once

#include "device/iMobileDevice.h"
#include "job/JobDocument.h"
#include "job/JobEvents.h"
#include "job/JobScheduler.h"
#include "job/JobSettings.h"
#include "job/ProgressBoard.h"
#include "job/Records.h"
#include "job/SendPlan.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace kestrap {

// The transfer job: its settings (JobSettings, stored in job files), the send plan of a
// run, the device queue and scheduler (JobScheduler), one DeviceCopy per device served,
// and the progress records of every device it served (ProgressBoard). This class is the
// face the front ends use; the parts behind it each do one thing.
//
// Observers connect to typed signals that say what changed. Every signal is emitted on the
// job's thread: copy threads and the scheduler post their changes (JobEvents) and never wait
// for that thread, whose event loop must run while a job works.
//
// Threads: the job lives on one thread (the main thread of a program), where settings are
// changed and start(), stop(), pause(), resume(), addDeviceToQueue() and
// removeDeviceFromQueue() are called. A run works on a copy of the settings taken at
// start(), so they may be edited while it runs; the send list is built only while no run
// works.
class PortJob : public QObject {
    Q_OBJECT

public:
    explicit PortJob(QObject* controller = nullptr);
    ~PortJob() override;

    // --- Settings -------------------------------------------------------------------------
    const JobSettings& settings() const { return m_settings; }
    const QString& appId() const { return m_settings.appId; }
    void setAppId(const QString& appId);
    const QString& folder() const { return m_settings.folder; }
    void setFolder(const QString& folder);
    const QString& allowedPattern() const { return m_settings.allowedPattern; }
    void setAllowedPattern(const QString& pattern);
    const QString& ignoredPattern() const { return m_settings.ignoredPattern; }
    void setIgnoredPattern(const QString& pattern);
    bool isAllowedPatternRegex() const { return m_settings.isAllowedPatternRegex; }
    void setIsAllowedPatternRegex(bool on);
    bool isIgnoredPatternRegex() const { return m_settings.isIgnoredPatternRegex; }
    void setIsIgnoredPatternRegex(bool on);
    bool isRecursive() const { return m_settings.isRecursive; }
    void setIsRecursive(bool on);
    std::int32_t recursiveDepth() const { return m_settings.recursiveDepth; }
    void setRecursiveDepth(std::int32_t depth);
    const QString& savedFilePath() const { return m_savedFilePath; }
    void setSavedFilePath(const QString& path);

    // The chosen files and folders, in the order added.
    const std::vector<FileEntryPtr>& filePaths() const { return m_settings.filePaths; }
    // Adds entries for the paths not listed yet, in order; how many were added.
    int addFilePaths(const QStringList& paths);
    // Removes the entries at those indexes; indexes outside the list are ignored.
    void removeFilePathsAt(std::vector<int> indexes);
    void setFilePaths(std::vector<FileEntryPtr> entries);

    // Devices left out of the job.
    const std::vector<ExcludedDevice>& excludedDevices() const { return m_settings.excludedDevices; }
    // Records a copy of the row unless a record with its uid exists, and takes the device out
    // of the queue if it waits there (a copy serving it goes on). Leaves the row alone: the
    // device roster marks it.
    void excludeDevice(const DeviceRow& row);
    // Removes the record at index; an index outside the list is ignored.
    void includeDeviceAtIndex(std::int32_t index);
    bool isDeviceExcluded(const QString& uid) const;

    // --- Running ---------------------------------------------------------------------------
    StartCheck startCheck() const;
    // Builds the send list from a copy of the settings and starts serving queued devices;
    // false with lastError when there is nothing to send.
    bool start();
    // The same with a send list collected elsewhere from a copy of the settings (a window
    // collects on a worker, so a big tree does not hold it).
    bool start(SendPlan plan);
    // Asks the run to end and returns at once: copies end after the file in progress. Until
    // then the job works and isStopping() is true; stopped() says when every copy has ended.
    // Nothing while no run works or a stop is under way.
    void requestStop();
    bool isStopping() const { return m_isStopping; }
    // requestStop(), then runs the event loop until stopped() (for programs with no window,
    // where nothing can replace the job meanwhile). Returns at once when nothing works.
    void stop();
    // Copies finish the file in progress and wait before their next one.
    void pause();
    void resume();
    bool isPaused() const;
    // Queues a device unless it is excluded or queued already.
    void addDeviceToQueue(const DeviceRowPtr& row);
    // A device went away: it leaves the queue, and a copy serving it ends after the file in
    // progress with the device "Failed".
    void removeDeviceFromQueue(const DeviceRowPtr& row);

    bool isWorking() const { return m_isWorking; }
    // "Stop" while working, else "Start".
    QString actionButtonTitle() const;
    const QString& statusMessage() const { return m_statusMessage; }
    void setStatusMessage(const QString& message);
    const JobError& lastError() const { return m_lastError; }

    // Rows waiting for a copy, oldest last.
    std::vector<DeviceRowPtr> deviceQueue() const { return m_scheduler.queue(); }
    // Devices being served now.
    int runningThreads() const { return m_scheduler.runningThreads(); }
    // Devices that finished in the current run.
    std::vector<DeviceRowPtr> doneDevices() const;
    std::int32_t threadsConcurrency() const;

    // Progress records as the job's thread has been told of them: count and copies. One per
    // device served, in the order first served.
    int transferProgressCount() const { return m_publishedProgress; }
    ProgressRecord transferProgressAt(int index) const { return m_progress.at(index); }
    // Every record as it is now, including those not yet announced.
    std::vector<ProgressRecord> transferProgresses() const { return m_progress.all(); }

    // Overrides of the settings read at start; a negative value means "use the settings".
    void setConcurrencyOverride(std::int32_t concurrency) { m_concurrencyOverride = concurrency; }
    void setProgressPauseOverride(double seconds) { m_progressPauseOverride = seconds; }
    // The command line's --skip-unchanged and --verify, over the user defaults.
    void setSkipUnchangedOverride(bool on) { m_skipUnchangedOverride = on; }
    void setVerifyOverride(bool on) { m_verifyOverride = on; }
    void setConnectionsOverride(std::int32_t connections) { m_connectionsOverride = connections; }

    // --- Send list -------------------------------------------------------------------------
    // Builds the send list from the settings, measuring every file. True when there is at
    // least one file to send; false, changing nothing, while the job works.
    bool prepareStarting();
    const std::vector<SendEntryPtr>& singleFiles() const { return m_plan.files(); }
    const SendPlan& sendPlan() const { return m_plan; }
    std::uint64_t totalFileSize() const { return m_plan.totalFileSize(); }
    // Walks one folder to the job's depth; nothing while the job works.
    void recurFolder(const QString& localFolder, const QString& remoteFolder, std::vector<SendEntryPtr>& fileArray,
        std::int32_t depth) const;
    QString remoteFolderOf(const SendEntry& entry) const { return SendPlan::remoteFolderOf(folder(), entry); }
    QString remotePathOf(const SendEntry& entry) const { return SendPlan::remotePathOf(folder(), entry); }
    static FileEntryPtr infoOfFile(const QString& path) { return SendPlan::infoOfFile(path); }

    // --- Job files -------------------------------------------------------------------------
    // Writing replaces the file atomically; reading replaces the settings only when the whole
    // file is sound. Both set savedFilePath on success and lastError on failure.
    bool writeToFile(const QString& path);
    bool readFromFile(const QString& path, bool noChecksum);
    QVariantMap toPropertyList() const { return JobFile::toPropertyList(m_settings); }

signals:
    void settingChanged(kestrap::JobSetting setting);
    // Around every change of a list, with what it does to the rows.
    void filePathsAboutToChange(kestrap::ListChange change);
    void filePathsChanged(kestrap::ListChange change);
    void excludedDevicesAboutToChange(kestrap::ListChange change);
    void excludedDevicesChanged(kestrap::ListChange change);
    void workingChanged(bool working);
    void stoppingChanged(bool stopping);
    // The run asked to stop has ended: emitted after workingChanged(false). The job must not
    // be destroyed from a slot of its own signals; a receiver that replaces it posts that.
    void stopped();
    // Every device queued so far has been served and none is copied now: the records say
    // how each serving ended. Not emitted while the job stops.
    void runIdle();
    void statusMessageChanged(const QString& message);
    // A row's status (and, when it finished, its done time) was changed by a copy.
    void deviceStatusChanged(const kestrap::DeviceRowPtr& row);
    void transferProgressAboutToBeAdded(int index);
    void transferProgressAdded(int index);
    // Coalesced to about JobEvents::kProgressInterval per record; the record's latest
    // values are read with transferProgressAt().
    void transferProgressChanged(int index);

private:
    void setWorking(bool working);
    void setLastError(const QString& domain, int code, const QString& description, const QString& reason = {});
    void onRowStatus(const DeviceRowPtr& row, int status, bool finished);
    void onProgressAdded(int index);
    void finishStop();
    void onRunIdle();
    template <class T> void change(T& field, const T& value, JobSetting which);

    QObject* m_controller;
    JobSettings m_settings;
    QString m_savedFilePath;
    QString m_statusMessage;
    JobError m_lastError;
    SendPlan m_plan;  // of the last prepareStarting()

    ProgressBoard m_progress;
    int m_publishedProgress = 0;
    JobEvents* m_events;  // a child: dies with the job, and with it every delivery not yet made
    JobScheduler m_scheduler;
    std::shared_ptr<JobRun> m_run;  // of the run under way, or the last one

    bool m_isWorking = false;
    bool m_isStopping = false;
    bool m_isPaused = false;
    std::int32_t m_concurrencyOverride = -1;
    double m_progressPauseOverride = -1;
    std::optional<bool> m_skipUnchangedOverride;
    std::optional<bool> m_verifyOverride;
    std::optional<std::int32_t> m_connectionsOverride;
};

}  // namespace kestrap
