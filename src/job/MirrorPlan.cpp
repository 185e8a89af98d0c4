#include "job/MirrorPlan.h"

#include "device/iMobileDevice.h"
#include "device/ios/iPhoneDevice.h"
#include "job/SendPlan.h"
#include "util/Paths.h"

#include <QFileInfo>

namespace kestrap {

namespace {

// Folders nested deeper than this are left as they are, unlisted: no job walks that deep,
// and a loop the device's file system might show cannot hold the copy.
constexpr int kMostLevels = 64;

}  // namespace

MirrorPlan::MirrorPlan(const QStringList& folders, const QStringList& destinations)
{
    for (const QString& folder : folders)
        if (!m_folders.contains(matchKey(folder)))
            m_folders << matchKey(folder);
    for (const QString& path : destinations) {
        const QString key = matchKey(path);
        m_fileKeys.insert(key);
        for (qsizetype slash = key.lastIndexOf(u'/'); slash > 0; slash = key.lastIndexOf(u'/', slash - 1))
            m_folderKeys.insert(key.left(slash));
    }
}

QStringList MirrorPlan::mirroredFolders(const JobSettings& settings)
{
    QStringList folders;
    if (!settings.isRecursive || settings.recursiveDepth <= 0)
        return folders;
    for (const FileEntryPtr& entry : settings.filePaths) {
        if (entry->directory.isEmpty() || !QFileInfo(entry->path).isDir())
            continue;
        const QString folder = matchKey(SendPlan::remoteFolderOf(settings.folder, *entry));
        if (PathIsInside(folder, settings.folder) && !folders.contains(folder))
            folders << folder;
    }
    return folders;
}

QString MirrorPlan::matchKey(const QString& path)
{
    const std::optional<QStringList> parts = PathComponents(path);
    return parts ? parts->join(u'/').normalized(QString::NormalizationForm_C) : QString();
}

bool MirrorPlan::holds(const QString& path) const
{
    for (const QString& folder : m_folders)
        if (PathIsInside(path, folder))
            return true;
    return false;
}

std::vector<MirrorPlan::Item> MirrorPlan::extrasOn(iMobileDevice& device) const
{
    std::vector<Item> out;
    for (const QString& folder : m_folders) {
        // A mirrored folder that is a link on the device leads somewhere the job never sent.
        if (device.isLinkAtPath(folder) || !device.isDirectoryAtPath(folder))
            continue;
        walk(device, folder, 0, out);
    }
    return out;
}

bool MirrorPlan::walk(iMobileDevice& device, const QString& folder, int depth, std::vector<Item>& out) const
{
    bool emptied = true;
    // Only real folders are listed as folders; a link, to a folder or not, is an item of its own.
    for (const iMobileFileSystemNode& node : device.contentsOfDirectory(folder, PathTypeAll)) {
        const QString& name = node.name();
        if (name == u"." || name == u"..")
            continue;
        const QString path = PathJoin(folder, name);
        if (iPhoneDevice::isTemporaryName(name)) {
            emptied = false;  // another writer's upload in progress, or one the ledger will clear
            continue;
        }
        const QString key = matchKey(path);
        if (node.isDirectory()) {
            const bool subEmptied = depth + 1 < kMostLevels && walk(device, path, depth + 1, out);
            if (subEmptied && !m_folderKeys.count(key))
                out.push_back({path, true});
            else
                emptied = false;
        } else if (m_fileKeys.count(key)) {
            emptied = false;
        } else {
            out.push_back({path, false});
        }
    }
    return emptied;
}

}  // namespace kestrap
