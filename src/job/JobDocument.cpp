#include "job/JobDocument.h"

#include "device/iMobileDevice.h"
#include "job/SendPlan.h"
#include "util/Helpers.h"

#include <QDir>
#include <QFileInfo>
#include <algorithm>

namespace kestrap {

JobDocument::JobDocument(QObject* parent) : QObject(parent) { }

template <class T> void JobDocument::change(T& field, const T& value, JobSetting which)
{
    field = value;
    emit settingChanged(which);
    setModified(true);
}

void JobDocument::setAppId(const QString& appId)
{
    change(m_settings.appId, appId, JobSetting::AppId);
}

void JobDocument::setFolder(const QString& folder)
{
    change(m_settings.folder, folder, JobSetting::Folder);
}

void JobDocument::setAllowedPattern(const QString& pattern)
{
    change(m_settings.allowedPattern, pattern, JobSetting::AllowedPattern);
}

void JobDocument::setIgnoredPattern(const QString& pattern)
{
    change(m_settings.ignoredPattern, pattern, JobSetting::IgnoredPattern);
}

void JobDocument::setIsAllowedPatternRegex(bool on)
{
    change(m_settings.isAllowedPatternRegex, on, JobSetting::AllowedPatternRegex);
}

void JobDocument::setIsIgnoredPatternRegex(bool on)
{
    change(m_settings.isIgnoredPatternRegex, on, JobSetting::IgnoredPatternRegex);
}

void JobDocument::setIsRecursive(bool on)
{
    change(m_settings.isRecursive, on, JobSetting::Recursive);
}

void JobDocument::setRecursiveDepth(std::int32_t depth)
{
    change(m_settings.recursiveDepth, depth, JobSetting::RecursiveDepth);
}

void JobDocument::setSavedFilePath(const QString& path)
{
    m_savedFilePath = path;
    emit settingChanged(JobSetting::SavedFilePath);
}

void JobDocument::setModified(bool modified)
{
    if (m_isModified == modified)
        return;
    m_isModified = modified;
    emit modifiedChanged(modified);
}

int JobDocument::addFilePaths(const QStringList& paths)
{
    std::vector<FileEntryPtr> added;
    for (const QString& given : paths) {
        // "folder/." and "a/../b" name what their clean form names, and only that form is a
        // path a job file keeps.
        const QString path = QDir::cleanPath(QFileInfo(given).absoluteFilePath());
        const auto listed = [&](const FileEntryPtr& e) { return e->path == path; };
        if (std::none_of(m_settings.filePaths.begin(), m_settings.filePaths.end(), listed)
            && std::none_of(added.begin(), added.end(), listed))
            added.push_back(SendPlan::infoOfFile(path));
    }
    if (added.empty())
        return 0;
    const int first = int(m_settings.filePaths.size());
    const ListChange change {ListChange::Insert, first, first + int(added.size()) - 1};
    emit filePathsAboutToChange(change);
    m_settings.filePaths.insert(m_settings.filePaths.end(), added.begin(), added.end());
    emit filePathsChanged(change);
    setModified(true);
    return int(added.size());
}

void JobDocument::removeFilePathsAt(std::vector<int> indexes)
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
        setModified(true);
    }
}

void JobDocument::setFilePaths(std::vector<FileEntryPtr> entries)
{
    emit filePathsAboutToChange(ListChange {});
    m_settings.filePaths = std::move(entries);
    emit filePathsChanged(ListChange {});
    setModified(true);
}

QStringList JobDocument::excludedUids() const
{
    QStringList uids;
    for (const ExcludedDevice& e : m_settings.excludedDevices)
        uids << e.uid;
    return uids;
}

bool JobDocument::isDeviceExcluded(const QString& uid) const
{
    return std::any_of(m_settings.excludedDevices.begin(), m_settings.excludedDevices.end(),
        [&](const ExcludedDevice& e) { return e.uid == uid; });
}

void JobDocument::excludeDevice(const DeviceRow& row)
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
    setModified(true);
}

void JobDocument::includeDeviceAtIndex(std::int32_t index)
{
    if (index < 0 || std::size_t(index) >= m_settings.excludedDevices.size())
        return;
    const ListChange change {ListChange::Remove, index, index};
    emit excludedDevicesAboutToChange(change);
    m_settings.excludedDevices.erase(m_settings.excludedDevices.begin() + index);
    emit excludedDevicesChanged(change);
    setModified(true);
}

StartCheck JobDocument::startCheck() const
{
    if (m_settings.filePaths.empty())
        return StartCheck::NoFiles;
    if (IsEmpty(m_settings.appId))
        return StartCheck::NoAppId;
    if (IsEmpty(m_settings.folder))
        return StartCheck::NoFolder;
    return StartCheck::Ready;
}

JobResult JobDocument::writeToFile(const QString& path)
{
    JobError error;
    if (!JobFile::write(m_settings, path, &error))
        return error;
    setSavedFilePath(path);
    setModified(false);
    return {};
}

JobResult JobDocument::readFromFile(const QString& path, bool noChecksum)
{
    JobError error;
    auto settings = JobFile::read(path, noChecksum, &error);
    if (!settings)
        return error;
    // Announced as edits are, but what was read is the saved state: not a change of it.
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
    setModified(false);
    return {};
}

}  // namespace kestrap
