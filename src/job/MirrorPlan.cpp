#include "job/MirrorPlan.h"

#include "device/iMobileDevice.h"
#include "device/ios/iPhoneDevice.h"
#include "job/Lanes.h"
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

std::vector<MirrorPlan::Item> MirrorPlan::extrasOn(const std::vector<iMobileDevice*>& lanes) const
{
    std::vector<Item> out;
    if (lanes.empty())
        return out;
    // A mirrored folder that is a link on the device leads somewhere the job never sent.
    for (const QString& folder : m_folders)
        if (isFolderOn(*lanes[0], folder))
            walk(lanes, folder, folder, 0, out);
    return out;
}

bool MirrorPlan::isFolderOn(iMobileDevice& device, const QString& path)
{
    const std::optional<DeviceItem> item = device.itemAtPath(path);
    return item && item->kind == DeviceItem::Kind::Folder;
}

bool MirrorPlan::walk(const std::vector<iMobileDevice*>& lanes, const QString& folder, const QString& folderKey,
    int depth, std::vector<Item>& out) const
{
    // A folder that cannot be listed is not known to be empty: it stays, and so does what holds it.
    const std::optional<QStringList> names = lanes[0]->namesInDirectory(folder);
    if (!names)
        return false;
    bool emptied = true;
    struct Candidate {
        QString path;
        QString key;
    };
    std::vector<Candidate> candidates;
    for (const QString& name : *names) {
        if (iPhoneDevice::isTemporaryName(name)) {
            emptied = false;  // another writer's upload in progress, or one the ledger will clear
            continue;
        }
        // Built from the folder's key: a name is one component, and most need no normalising.
        QString key = folderKey + u'/' + nameKey(name);
        // A file of the plan stays, unasked: the copy has just written it there.
        if (m_fileKeys.count(key))
            emptied = false;
        else
            candidates.push_back({PathJoin(folder, name), std::move(key)});
    }
    // A request each, the one cost a listing leaves: asked on every connection at once.
    std::vector<char> isFolder(candidates.size(), 0);
    forEachOnLanes(lanes, candidates.size(),
        [&](iMobileDevice& connection, std::size_t i) { isFolder[i] = isFolderOn(connection, candidates[i].path); });
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        const Candidate& candidate = candidates[i];
        // Only real folders are walked; a link, to a folder or not, is an item of its own.
        if (!isFolder[i]) {
            out.push_back({candidate.path, false});
            continue;
        }
        const bool subEmptied = depth + 1 < kMostLevels && walk(lanes, candidate.path, candidate.key, depth + 1, out);
        if (subEmptied && !m_folderKeys.count(candidate.key))
            out.push_back({candidate.path, true});
        else
            emptied = false;
    }
    return emptied;
}

}  // namespace kestrap
