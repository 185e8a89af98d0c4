#pragma once

#include "job/JobSettings.h"
#include "job/Records.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <vector>

namespace kestrap {

// What Start needs before it may run, in the order the checks are made.
enum class StartCheck {
    Ready,
    NoFiles,  // no file or folder chosen
    NoAppId,  // the App ID is empty or white space
    NoFolder,  // the folder is empty or white space
};

// How one of the document's lists changes, for views that follow it row by row: rows
// first..last inserted or removed, or the whole list replaced.
struct ListChange {
    enum Kind { Insert, Remove, Reset };
    Kind kind = Reset;
    int first = 0;
    int last = -1;
};

// A job as the person edits it: its settings (what a job file stores: where the files go,
// which files, which devices are left out), the file it was read from or saved to, and
// whether it changed since. It runs nothing: a runner (PortJob) is handed a copy of the
// settings when it starts, so the document may be edited, or replaced, while a run goes on.
//
// Every edit marks the document modified; a successful read or write clears the mark. A
// failed read or write changes nothing and returns why.
//
// Threads: one thread (the main thread of a program) makes, edits and destroys it; every
// signal comes on that thread, synchronously from the edit.
class JobDocument : public QObject {
    Q_OBJECT

public:
    explicit JobDocument(QObject* parent = nullptr);

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

    // The chosen files and folders, in the order added.
    const std::vector<FileEntryPtr>& filePaths() const { return m_settings.filePaths; }
    // Adds entries for the paths not listed yet, in order; how many were added.
    int addFilePaths(const QStringList& paths);
    // Removes the entries at those indexes; indexes outside the list are ignored.
    void removeFilePathsAt(std::vector<int> indexes);
    void setFilePaths(std::vector<FileEntryPtr> entries);

    // Devices left out of the job.
    const std::vector<ExcludedDevice>& excludedDevices() const { return m_settings.excludedDevices; }
    QStringList excludedUids() const;
    // Records a copy of the row unless a record with its uid exists. Leaves the row alone:
    // the device roster marks it, and tells the runner.
    void excludeDevice(const DeviceRow& row);
    // Removes the record at index; an index outside the list is ignored.
    void includeDeviceAtIndex(std::int32_t index);
    bool isDeviceExcluded(const QString& uid) const;

    StartCheck startCheck() const;

    // The job file this document was last read from or written to; empty for a new one.
    const QString& savedFilePath() const { return m_savedFilePath; }
    // Whether the document changed since it was made, read or written.
    bool isModified() const { return m_isModified; }

    // Replaces the file atomically; on success the document is saved there and unmodified.
    JobResult writeToFile(const QString& path);
    // Replaces the settings only when the whole file is sound; on success the document is
    // saved there and unmodified. On failure nothing changes, the modified mark included.
    JobResult readFromFile(const QString& path, bool noChecksum);
    QVariantMap toPropertyList() const { return JobFile::toPropertyList(m_settings); }

signals:
    void settingChanged(kestrap::JobSetting setting);
    // Around every change of a list, with what it does to the rows.
    void filePathsAboutToChange(kestrap::ListChange change);
    void filePathsChanged(kestrap::ListChange change);
    void excludedDevicesAboutToChange(kestrap::ListChange change);
    void excludedDevicesChanged(kestrap::ListChange change);
    void modifiedChanged(bool modified);

private:
    template <class T> void change(T& field, const T& value, JobSetting which);
    void setSavedFilePath(const QString& path);
    void setModified(bool modified);

    JobSettings m_settings;
    QString m_savedFilePath;
    bool m_isModified = false;
};

}  // namespace kestrap
