#pragma once

#include "job/Records.h"

#include <QObject>
#include <QString>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

namespace kestrap {

// The transfer job: where to copy (App ID and folder), what to copy (the chosen files and
// folders, how deep folders are walked, which names are admitted or ignored), which devices
// to leave out, and the state of a run.
//
// Observers follow its keys through keyWillChange/keyDidChange, which name the key
// ("appId", "filePaths", "excludedDevices", ...). Settings are changed on the main thread.
class PortJob : public QObject {
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

    bool isWorking() const { return m_isWorking; }
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
    QObject* m_controller;

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
