#pragma once

#include "device/iMobileDevice.h"
#include "job/Records.h"

#include <QObject>
#include <QString>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace kestrap {

// The transfer job: where to copy (App ID and folder), what to copy (the chosen files and
// folders, how deep folders are walked, which names are admitted or ignored), which devices
// to leave out, and the state of a run.
//
// Observers follow its keys through keyWillChange/keyDidChange, which name the key
// ("appId", "filePaths", "excludedDevices", "isWorking", "statusMessage",
// "transferProgresses", "fakeSeed", ...). Every announcement comes on the main thread.
//
// Threads: the job lives on the main thread, where settings are changed and start(),
// stop(), pause(), resume(), addDeviceToQueue() and removeDeviceFromQueue() are called.
// A run adds one scheduler thread and one copy thread per device being served. Those hand
// every change the user sees (device rows, progress, status message) to the main thread
// and wait until it has run, so the main thread must keep its event loop going while a job
// works; stop() does so itself while it waits. Locks, in the order they may be taken:
// m_jobLock (queue, working threads), then m_threadsLock (thread count). m_progressLock,
// m_doneLock and m_pauseLock are taken alone. None is held while waiting for the main thread.
class PortJob : public QObject, public iMobileDeviceCopyDelegate {
    Q_OBJECT

public:
    explicit PortJob(QObject* controller = nullptr);
    ~PortJob() override;

    // Settings; the setters announce their key.
    const QString& appId() const { return m_appId; }
    void setAppId(const QString& appId);
    const QString& folder() const { return m_folder; }
    void setFolder(const QString& folder);
    const QString& allowedPattern() const { return m_allowedPattern; }
    void setAllowedPattern(const QString& pattern);
    const QString& ignoredPattern() const { return m_ignoredPattern; }
    void setIgnoredPattern(const QString& pattern);
    bool isAllowedPatternRegex() const { return m_isAllowedPatternRegex; }
    void setIsAllowedPatternRegex(bool on);
    bool isIgnoredPatternRegex() const { return m_isIgnoredPatternRegex; }
    void setIsIgnoredPatternRegex(bool on);
    bool isRecursive() const { return m_isRecursive; }
    void setIsRecursive(bool on);
    std::int32_t recursiveDepth() const { return m_recursiveDepth; }
    void setRecursiveDepth(std::int32_t depth);
    const QString& savedFilePath() const { return m_savedFilePath; }
    void setSavedFilePath(const QString& path);
    const QString& statusMessage() const { return m_statusMessage; }
    void setStatusMessage(const QString& message);

    // The chosen files and folders, edited in place by the controller, which announces
    // "filePaths" around each change.
    std::vector<FileEntryPtr>& filePaths() { return m_filePaths; }
    const std::vector<FileEntryPtr>& filePaths() const { return m_filePaths; }

    // Devices left out of the job.
    const std::vector<ExcludedDevice>& excludedDevices() const { return m_excludedDevices; }
    // Records a copy of the row unless a record with its uid exists. Announces nothing and
    // leaves the queue alone; the caller marks the row itself.
    void excludeDevice(const DeviceRow& row);
    // Removes the record at index. The caller announces "excludedDevices" around the call;
    // an index outside the list is ignored.
    void includeDeviceAtIndex(std::int32_t index);
    bool isDeviceExcluded(const QString& uid) const;

    // Running a job.
    // Builds the send list and starts serving queued devices; false with lastError when
    // there is nothing to send.
    bool start();
    // Stops serving and returns once every copy thread has ended, serving their hand-offs
    // to the main thread meanwhile.
    void stop();
    // Copy threads finish the file in progress and wait before their next one.
    void pause();
    void resume();
    // Queues a device unless it is excluded or queued already.
    void addDeviceToQueue(const DeviceRowPtr& row);
    // A device went away: it leaves the queue, and a copy thread serving it ends after the
    // file in progress with the device "Failed".
    void removeDeviceFromQueue(const DeviceRowPtr& row);

    // The copy delegate side: asked and told by the devices during uploads, on copy threads.
    bool shouldContinue() override;
    void transferBytes(std::int64_t done, std::int64_t total, const QVariant& userInfo) override;

    bool isWorking() const { return m_isWorking; }
    bool isPaused() const;
    // Copies of the progress records, for display.
    std::vector<ProgressRecord> transferProgresses() const;
    // Devices that finished in this run.
    std::vector<DeviceRowPtr> doneDevices() const;
    // Rows waiting for a copy thread, oldest last.
    std::vector<DeviceRowPtr> deviceQueue() const;
    std::int32_t threadsConcurrency() const { return m_threadsConcurrency; }
    // How many devices were ever started in this run and are being served right now.
    int runningThreads() const;
    int fakeSeed() const { return m_fakeSeed; }

    // Overrides of the settings read at start; a negative value means "use the settings".
    // For tests and the command line.
    void setConcurrencyOverride(std::int32_t concurrency) { m_concurrencyOverride = concurrency; }
    void setProgressPauseOverride(double seconds) { m_progressPauseOverride = seconds; }

    // "Stop" while working, else "Start".
    QString actionButtonTitle() const;
    const JobError& lastError() const { return m_lastError; }

    // Files to send in a run, built by prepareStarting(), with their total size.
    const std::vector<SendEntryPtr>& singleFiles() const { return m_singleFiles; }
    std::uint64_t totalFileSize() const { return m_totalFileSize; }

    // A new file entry for a chosen path: "directory" is the folder's own name when the
    // path is a folder (links followed), otherwise "".
    static FileEntryPtr infoOfFile(const QString& path);

    // Builds the send list from the chosen files, the recursion settings and the patterns,
    // measuring every file. True when there is at least one file to send.
    bool prepareStarting();

    // Walks one folder to the job's depth, appending a send entry for everything that is
    // not a folder; folders are walked with remoteFolder joined with their name.
    void recurFolder(const QString& localFolder, const QString& remoteFolder, std::vector<SendEntryPtr>& fileArray,
        std::int32_t depth) const;

    // Where a send entry lands inside the app's container: the folder is the job's folder
    // joined with the entry's "directory" (no "//" left), the path "/" + folder + file name.
    QString remoteFolderOf(const SendEntry& entry) const;
    QString remotePathOf(const SendEntry& entry) const;

    // Job files. Writing replaces the file atomically; reading replaces the job's settings
    // only when the whole file is sound. Both set savedFilePath on success and lastError
    // on failure.
    bool writeToFile(const QString& path);
    bool readFromFile(const QString& path, bool noChecksum);

    // The job's settings as the job file stores them: "transConfig", "fileConfig",
    // "excludedDevices", with keys left out for unset strings.
    QVariantMap toPropertyList() const;

signals:
    void keyWillChange(const QString& key);
    void keyDidChange(const QString& key);

protected:
    void willChange(const QString& key) { emit keyWillChange(key); }
    void didChange(const QString& key) { emit keyDidChange(key); }
    void setLastError(const QString& domain, int code, const QString& description, const QString& reason = {});

private:
    struct CopyThread {
        std::thread thread;
        std::atomic<bool> cancelled {false};  // the device went away: no further file
        std::atomic<bool> ended {false};
    };
    using CopyThreadPtr = std::shared_ptr<CopyThread>;

    void TransferQueue();
    void TransferProc(DeviceRowPtr row, CopyThreadPtr self);
    void updateStatusMessageForDevicesQueue(std::size_t queued);
    void updateStatusMessageOnMain(const QString& message);
    void updateTransferOnMain();
    void updateDeviceStatus(const DeviceRowPtr& row, int status);
    ProgressRecordPtr progressRecordFor(const QString& deviceid);
    void finishRecord(const ProgressRecordPtr& record, const QString& text, int percent);
    void setWorking(bool working);
    // Runs fn on the main thread and waits for it; runs it at once when already there.
    void runOnMain(const std::function<void()>& fn);
    void joinEndedThreads();
    void signalThreadsCondition();
    Q_INVOKABLE void serveHandoffs();

    QObject* m_controller;

    // Work handed to the main thread by runOnMain(), waiting to run there.
    struct Handoff {
        std::function<void()> fn;
        bool done = false;
    };
    std::mutex m_handoffLock;  // guards m_handoffs and every Handoff's done
    std::condition_variable m_handoffDone;
    std::deque<std::shared_ptr<Handoff>> m_handoffs;

    // Run state.
    std::atomic<bool> m_stopping {false};
    std::atomic<bool> m_isFinished {false};
    std::int32_t m_threadsConcurrency = 0;
    std::int32_t m_concurrencyOverride = -1;
    double m_progressPause = 0.5;
    double m_progressPauseOverride = -1;
    std::int32_t m_fakeSeed = 0;
    std::thread m_scheduler;

    mutable std::mutex m_jobLock;  // guards m_deviceQueue, m_workingThreads, m_allThreads
    std::vector<DeviceRowPtr> m_deviceQueue;  // newest first
    std::map<QString, CopyThreadPtr> m_workingThreads;  // by device uid
    std::vector<CopyThreadPtr> m_allThreads;  // started in this run, joined once ended

    mutable std::mutex m_threadsLock;  // guards m_threads; with m_threadsCondition
    std::condition_variable m_threadsCondition;
    int m_threads = 0;
    std::uint64_t m_threadsSignals = 0;  // counts signals, so a waiter can tell it missed none

    mutable std::mutex m_pauseLock;  // guards m_isPaused; with m_pauseCondition
    std::condition_variable m_pauseCondition;
    bool m_isPaused = false;

    mutable std::mutex m_progressLock;  // guards m_transferProgresses and every record in it
    std::vector<ProgressRecordPtr> m_transferProgresses;

    mutable std::mutex m_doneLock;  // guards m_doneDevices
    std::vector<DeviceRowPtr> m_doneDevices;

    bool m_isWorking = false;
    bool m_isRecursive = true;
    std::int32_t m_recursiveDepth = 3;
    QString m_appId;
    QString m_folder;
    QString m_statusMessage;
    std::vector<FileEntryPtr> m_filePaths;
    std::vector<ExcludedDevice> m_excludedDevices;
    QString m_allowedPattern;
    QString m_ignoredPattern;
    bool m_isAllowedPatternRegex = false;
    bool m_isIgnoredPatternRegex = false;
    std::vector<SendEntryPtr> m_singleFiles;
    JobError m_lastError;
    std::uint64_t m_totalFileSize = 0;
    QString m_savedFilePath;
};

}  // namespace kestrap
