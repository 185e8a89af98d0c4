// The removing half of serving a device: what a mirrored run takes off it once it holds the
// job, and what taking a job back takes off it. Removal is the one place the program can
// destroy what a user made, so every path is checked against what the job owns right before
// it goes, and a file the device keeps is a failed entry, never an end of the run.

#include "job/DeviceCopy.h"

#include "job/Lanes.h"
#include "logging/Log.h"
#include "util/Paths.h"

#include <algorithm>
#include <set>

namespace kestrap {

bool DeviceCopy::goOn() const
{
    return !m_run->stopping && !m_cancelled && m_fate == Fate::Running;
}

bool DeviceCopy::receivedEveryFile()
{
    if (!goOn() || !m_slot)
        return false;
    ProgressBoard::Edit r(*m_slot);
    return std::size_t(r->files_sent + r->files_skipped) == m_run->plan.files().size() && r->files_failed == 0;
}

bool DeviceCopy::removeItem(iMobileDevice& connection, const QString& path, bool isFolder)
{
    const bool removed = connection.deleteItemAtPath(path);
    answered();
    const Outward out(*this);
    if (!out)
        return removed;
    {
        ProgressBoard::Edit r(*m_slot);
        if (removed && isFolder) {
            KLOG_INFO("Removed the empty folder '%1' from %2", path, m_name);
        } else if (removed) {
            KLOG_INFO("Removed '%1' from %2", path, m_name);
            ++r->files_removed;
        } else {
            const DeviceError cause = DeviceError::job(QStringLiteral("the device did not remove it"));
            KLOG_ERROR("Failed to remove '%1' from %2!", path, m_name);
            ++r->files_failed;
            if (r->failed_files.size() < std::size_t(kFailedFilesKept))
                r->failed_files.push_back({path, cause.text, cause.domain, cause.code});
            r->error = cause.text;
            r->errorDomain = cause.domain;
            r->errorCode = cause.code;
        }
    }
    m_run->events.postProgress(m_recordIndex, m_slot->progressPosted);
    return removed;
}

void DeviceCopy::removeExtras(const std::vector<std::shared_ptr<iMobileDevice>>& connections)
{
    const MirrorPlan& mirror = *m_run->mirror;
    std::vector<iMobileDevice*> lanes;
    for (const auto& connection : connections) {
        // Listed after the copy, from the device itself: what the device holds now is what goes.
        connection->refresh();
        lanes.push_back(connection.get());
    }
    const std::vector<MirrorPlan::Item> extras = mirror.extrasOn(lanes);
    answered();
    std::vector<std::size_t> files;
    std::vector<std::size_t> folders;  // each after what it holds, as listed
    for (std::size_t i = 0; i < extras.size(); ++i) {
        if (mirror.holds(extras[i].path))
            (extras[i].isFolder ? folders : files).push_back(i);
        else if (const Outward out {*this})
            KLOG_ERROR("Left '%1' on %2: it is outside the folders the job mirrors", extras[i].path, m_name);
    }
    // Files first, through every connection at once; a folder then once all it held has gone.
    std::vector<char> keptFile(extras.size(), 0);
    forEachOnLanes(lanes, files.size(), [&](iMobileDevice& connection, std::size_t at) {
        const MirrorPlan::Item& item = extras[files[at]];
        if (goOn() && !removeItem(connection, item.path, false))
            keptFile[files[at]] = 1;
    });
    std::vector<QString> kept;  // items the device would not remove: their folders stay
    for (std::size_t i = 0; i < extras.size(); ++i)
        if (keptFile[i])
            kept.push_back(extras[i].path);
    for (const std::size_t i : folders) {
        const MirrorPlan::Item& item = extras[i];
        if (!goOn())
            break;
        if (std::any_of(kept.begin(), kept.end(), [&](const QString& k) { return PathIsInside(k, item.path); }))
            continue;
        if (!removeItem(*lanes[0], item.path, true))
            kept.push_back(item.path);
    }
}

void DeviceCopy::removeJobFile(iMobileDevice& connection, std::size_t index, bool first)
{
    const auto& files = m_run->plan.files();
    const JobRun::Destination& destination = m_run->destinations[index];
    QString leftBecause;
    // One look for all it takes: a device that goes between two looks would otherwise seem
    // to hold a file of another size. A file the device does not hold is nothing to say or
    // count: a device never served.
    if (const std::optional<DeviceItem> item = first ? connection.itemAtPath(destination.path) : std::nullopt) {
        if (item->kind == DeviceItem::Kind::Link)
            leftBecause = QStringLiteral("it is a link");
        else if (item->kind == DeviceItem::Kind::Folder)
            leftBecause = QStringLiteral("it is a folder");
        else if (!m_run->force && item->size != files[index]->filesize.value_or(0))
            leftBecause = QStringLiteral("its size differs from the job's file");
        answered();
        if (leftBecause.isEmpty())
            removeItem(connection, destination.path, false);
    }
    const Outward out(*this);
    if (!out)
        return;
    ProgressBoard::Edit r(*m_slot);
    if (!leftBecause.isEmpty()) {
        KLOG_INFO("Left '%1' on %2: %3", destination.path, m_name, leftBecause);
        ++r->files_skipped;
    }
    r->overall_progress = int(float(++m_filesEnded) / float(files.size()) * 100.0f);
}

void DeviceCopy::removeJobFiles(const std::vector<std::shared_ptr<iMobileDevice>>& connections)
{
    const auto& files = m_run->plan.files();
    std::vector<char> first(files.size(), 0);  // a file listed twice lands once, and goes once
    std::set<QString> seen;
    std::set<QString> folders;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const JobRun::Destination& destination = m_run->destinations[i];
        first[i] = seen.insert(MirrorPlan::matchKey(destination.path)).second;
        for (QString f = destination.folder; PathIsInside(f, m_run->folder); f = f.section(u'/', 0, -2))
            folders.insert(f);
    }
    // A few requests a file, each waiting a round trip on a cable: through every connection at once.
    std::vector<iMobileDevice*> lanes;
    for (const auto& connection : connections)
        lanes.push_back(connection.get());
    forEachOnLanes(lanes, files.size(), [&](iMobileDevice& connection, std::size_t i) {
        if (goOn())
            removeJobFile(connection, i, first[i]);
    });
    iMobileDevice& connection = *lanes[0];
    connection.refresh();  // the other connections changed the folders it may have looked at
    // Deepest first, so a folder whose sub-folders went is empty in its turn. The job's own
    // folder stays: the app, or the user, may keep other things there.
    std::vector<QString> ordered(folders.begin(), folders.end());
    std::sort(ordered.begin(), ordered.end(), [](const QString& a, const QString& b) {
        return a.count(u'/') > b.count(u'/') || (a.count(u'/') == b.count(u'/') && a < b);
    });
    for (const QString& folder : ordered) {
        if (!goOn())
            break;
        if (const std::optional<DeviceItem> item = connection.itemAtPath(folder);
            !item || item->kind != DeviceItem::Kind::Folder)
            continue;
        const auto held = connection.contentsOfDirectory(folder, PathTypeAll);
        answered();
        const bool empty = std::all_of(held.begin(), held.end(),
            [](const iMobileFileSystemNode& n) { return n.name() == u"." || n.name() == u".."; });
        if (empty)
            removeItem(connection, folder, true);
    }
}

}  // namespace kestrap
