#pragma once

#include "job/JobSettings.h"

#include <QString>
#include <QStringList>
#include <set>
#include <vector>

namespace kestrap {

class iMobileDevice;

// What a mirrored run takes off a device once the device holds every file of the job: the
// items inside the folders the job sends that the job's plan does not have.
//
// A mirrored folder is a listed folder's destination on the device, strictly inside the
// job's folder: never the job's folder itself (single files land there beside whatever the
// app keeps), never above it, and never a folder of the app's that the job does not send.
//
// Names are matched as a device's file system matches them: case-sensitively, and without
// regard to Unicode normalisation (a name sent in NFC and held in NFD is the same file).
//
// Threads: built on the job's thread, then read by any copy thread; it never changes.
class MirrorPlan {
public:
    struct Item {
        QString path;  // device path, relative to the container's root
        bool isFolder = false;
    };

    // destinations: the device path of every file of the plan.
    MirrorPlan(const QStringList& folders, const QStringList& destinations);

    // The device folders the job sends: each listed folder's destination, when it lies
    // inside the job's folder and the run walks folders at all.
    static QStringList mirroredFolders(const JobSettings& settings);
    // How a device path is compared: resolved components, NFC, no leading "/".
    static QString matchKey(const QString& path);

    const QStringList& folders() const { return m_folders; }
    // Lists the mirrored folders on the device, never through a link, and answers what the
    // plan does not have: files, links and the folders they leave empty, each folder after
    // what it holds. Temporaries of uploads (ours or another writer's) are never listed as
    // extra, and keep their folder. May block on device I/O: what a folder holds is looked
    // at through all the connections given at once (see forEachOnLanes), each used by one
    // thread at a time.
    std::vector<Item> extrasOn(const std::vector<iMobileDevice*>& lanes) const;
    // Whether a path is strictly inside one of the mirrored folders: checked once more just
    // before each removal.
    bool holds(const QString& path) const;

private:
    static bool isFolderOn(iMobileDevice& device, const QString& path);
    // Whether the folder is left empty once its extras go.
    bool walk(const std::vector<iMobileDevice*>& lanes, const QString& folder, const QString& folderKey, int depth,
        std::vector<Item>& out) const;
    // matchKey() of one component.
    static QString nameKey(const QString& name);

    QStringList m_folders;
    std::set<QString> m_fileKeys;
    std::set<QString> m_folderKeys;  // every folder that holds a file of the plan
};

}  // namespace kestrap
