#include "job/MirrorPlan.h"

#include "device/iMobileDevice.h"
#include "device/ios/iPhoneDevice.h"
#include "job/SendPlan.h"
#include "util/Paths.h"

#include <QFileInfo>
#include <algorithm>

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

QString MirrorPlan::nameKey(const QString& name)
{
    const bool ascii = std::all_of(name.begin(), name.end(), [](QChar c) { return c.unicode() < 0x80; });
    return ascii ? name : name.normalized(QString::NormalizationForm_C);
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
    // A mirrored folder that is a link on the device leads somewhere the job never sent.
    for (const QString& folder : m_folders)
        if (isFolderOn(device, folder))
            walk(device, folder, folder, 0, out);
    return out;
}

bool MirrorPlan::isFolderOn(iMobileDevice& device, const QString& path)
{
    // One request: both answers come from the same cached file information.
    return !device.isLinkAtPath(path) && device.isDirectoryAtPath(path);
}

bool MirrorPlan::walk(
    iMobileDevice& device, const QString& folder, const QString& folderKey, int depth, std::vector<Item>& out) const
{
    // A folder that cannot be listed is not known to be empty: it stays, and so does what holds it.
    const std::optional<QStringList> names = device.namesInDirectory(folder);
    if (!names)
        return false;
    bool emptied = true;
    for (const QString& name : *names) {
        if (iPhoneDevice::isTemporaryName(name)) {
            emptied = false;  // another writer's upload in progress, or one the ledger will clear
            continue;
        }
        const QString path = PathJoin(folder, name);
        // Built from the folder's key: a name is one component, and most need no normalising.
        const QString key = folderKey + u'/' + nameKey(name);
        // A file of the plan stays, unasked: the copy has just written it there.
        if (m_fileKeys.count(key)) {
            emptied = false;
            continue;
        }
        // Only real folders are walked; a link, to a folder or not, is an item of its own.
        if (!isFolderOn(device, path)) {
            out.push_back({path, false});
            continue;
        }
        const bool subEmptied = depth + 1 < kMostLevels && walk(device, path, key, depth + 1, out);
        if (subEmptied && !m_folderKeys.count(key))
            out.push_back({path, true});
        else
            emptied = false;
    }
    return emptied;
}

}  // namespace kestrap
