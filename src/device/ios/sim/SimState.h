#pragma once

#include "device/ios/MobileDeviceService.h"
#include "device/ios/sim/SimFarm.h"

#include <QByteArray>
#include <QString>
#include <QVariantMap>
#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

// The inside of the simulated backend, shared by its source files only.
namespace kestrap::sim {

struct SimRecord;

// One device of the farm, across all its attachments.
struct SimDeviceState {
    QString udid;
    QString folder;  // FARM/<udid>

    std::mutex stateLock;  // guards every field below, this device's records and its connections' files
    QVariantMap plist;  // device.plist as last read
    SimFaults faults;
    std::int64_t faultBytes = 0;  // bytes written since the faults were set
    std::optional<std::int64_t> usedBytes;  // bytes stored on the device; counted when first needed
    // Keyed by the calls' names, which are literals: counting a call allocates nothing.
    std::map<std::string_view, int, std::less<>> calls;
    // Changed under stateLock; read without it by the farm scan and the subscriptions' polls,
    // so that looking for news never waits for a copy holding the device.
    std::atomic<bool> plugged {false};
    std::atomic<SimRecord*> current {nullptr};  // the record of the present attachment
    bool unreadableReported = false;  // a broken device.plist is reported once, not at every look
    // Counts the changes through AFC that may have moved, removed or replaced a folder: a
    // folder a connection holds open (SimFolder) is good while this has not changed.
    std::uint64_t folderGeneration = 0;
    // Counts what may change a file's size other than a write through its own handle: an
    // open that truncates an existing file or shares one, a size set by path, a remove, a
    // rename over a file.
    std::uint64_t sizeChanges = 0;
    // Set when the device stops answering ("StallAfterBytes"), cleared when it is unplugged;
    // calls wait on stallEnded (with stateLock) while it is set.
    bool stalled = false;
    int handshakes = 0;  // lockdown sessions' TLS handshakes begun since it was plugged in
    std::condition_variable stallEnded;
};

// Waits, with the device's stateLock held by `lock`, while the device does not answer.
inline void waitWhileStalled(SimDeviceState& state, std::unique_lock<std::mutex>& lock)
{
    state.stallEnded.wait(lock, [&] { return !state.stalled; });
}

// One attachment of a device: what the platform calls the device record. Its flags are
// guarded by state->stateLock. Connections and started services share it, so that it
// outlives the service's list for as long as they do.
struct SimRecord : AMDevice, std::enable_shared_from_this<SimRecord> {
    std::shared_ptr<SimDeviceState> state;  // null for a stray record without identifier
    QString udid;
    bool alive = true;
    bool connected = false;
    bool session = false;
    // Who may still pass the record to the service: its attachment while plugged, the
    // subscriptions that announced it, and callers' retains. Guarded by the service's
    // m_devicesLock; at zero the service forgets the record.
    int holds = 1;
};

struct SimFile {
    int fd = -1;
    std::uint64_t mode = 0;
    std::int64_t position = 0;  // of fd, kept here so that a write needs no lseek to learn it
    // The file's size as this handle last knew it, trusted while the device's sizeChanges is
    // still sizeEpoch: a write learns how much it grows the file without asking the host.
    std::optional<std::int64_t> size;
    std::uint64_t sizeEpoch = 0;
};

// A folder of the device held open (O_PATH), reached without crossing a link: items in it
// are created and renamed relative to it, which spares resolving the path again and walking
// the whole host path. An upload creates a file and renames it in the same folder, and a
// job's files come folder by folder.
struct SimFolder {
    QByteArray relative;  // the device path of the folder, as split by splitDevicePath
    int fd = -1;
    std::uint64_t generation = 0;  // the device's folderGeneration when it was opened
};

struct SimConnection : AFCConnection {
    ~SimConnection() override;
    std::shared_ptr<SimDeviceState> state;
    std::shared_ptr<SimRecord> record;
    QByteArray root;  // canonical host path of the service's root
    // A documents vend's: the canonical host path of the app's container, whose "/" the
    // connection may look at but not change. Its root is the container's Documents folder,
    // which its paths name "/Documents". Empty on other connections.
    QByteArray container;
    int rootFd = -1;  // the root, held open: every path of the connection is resolved from it
    std::map<AFCFileRef, SimFile> files;  // guarded by state->stateLock
    AFCFileRef nextFile = 1;
    SimFolder folder;  // the folder of the last item created or renamed; guarded by state->stateLock
    // The file this connection last created, while no folder has changed since: renaming it
    // moves no folder, so it leaves the folders held open good.
    QByteArray lastCreated;
    std::uint64_t lastCreatedGeneration = 0;
};

struct SimKeyValue : AFCKeyValue {
    std::vector<std::pair<QByteArray, QByteArray>> pairs;
    std::size_t next = 0;
};

struct SimDirectory : AFCDirectory {
    std::vector<QByteArray> names;
    std::size_t next = 0;
};

// The host path of a device path on a service whose canonical root is `root`. Fails with
// AFCPermissionDeniedError for a path that leads outside the root, by ".." or through a
// symbolic link, and with AFCObjectNotFoundError when the folder that is to hold the item
// does not exist. With followLast, a link as last component is resolved too (and a
// dangling one refused); without, the link itself is meant. rootFd: the root held open
// (O_PATH), or -1 to open it for this call.
MDError resolveDevicePath(
    const QByteArray& root, const QString& path, bool followLast, QByteArray* host, int rootFd = -1);

// A device path as the folder that holds its item, relative to the root ("" for the root),
// and the item's name ("" for the root itself), "." and ".." resolved by the text.
// AFCPermissionDeniedError for a path that climbs above the root.
MDError splitDevicePath(const QString& path, QByteArray* folder, QByteArray* name);

// Whether a relative path names its item plainly: not empty, and no empty, "." or ".." part
// and no NUL in it, so that splitting it changes nothing.
bool isPlainRelative(QStringView path);

// The folder (relative to rootFd) held open with O_PATH, or -1 with errno set: ELOOP where
// a link lies on the way (resolveDevicePath follows those), EXDEV where it leads out.
int openFolderBeneath(int rootFd, const QByteArray& folder);

// The AFC error for an errno value.
MDError afcErrorFromErrno(int err);

// Bytes of the regular files under a device folder, its device.plist and marker left out.
std::int64_t storedBytes(const QString& deviceFolder);

}  // namespace kestrap::sim
