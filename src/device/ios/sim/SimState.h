#pragma once

#include "device/ios/MobileDeviceService.h"
#include "device/ios/sim/SimFarm.h"

#include <QByteArray>
#include <QString>
#include <QVariantMap>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
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
    std::map<QString, int> calls;
    // Changed under stateLock; read without it by the farm scan and the subscriptions' polls,
    // so that looking for news never waits for a copy holding the device.
    std::atomic<bool> plugged {false};
    std::atomic<SimRecord*> current {nullptr};  // the record of the present attachment (kept for good)
    bool unreadableReported = false;  // a broken device.plist is reported once, not at every look
};

// One attachment of a device: what the platform calls the device record. Its flags are
// guarded by state->stateLock.
struct SimRecord : AMDevice {
    std::shared_ptr<SimDeviceState> state;  // null for a stray record without identifier
    QString udid;
    bool alive = true;
    bool connected = false;
    bool session = false;
};

struct SimFile {
    int fd = -1;
    std::uint64_t mode = 0;
    std::int64_t position = 0;  // of fd, kept here so that a write needs no lseek to learn it
};

struct SimConnection : AFCConnection {
    ~SimConnection() override;
    std::shared_ptr<SimDeviceState> state;
    SimRecord* record = nullptr;
    QByteArray root;  // canonical host path of the service's root
    int rootFd = -1;  // the root, held open: every path of the connection is resolved from it
    std::map<AFCFileRef, SimFile> files;  // guarded by state->stateLock
    AFCFileRef nextFile = 1;
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

// The AFC error for an errno value.
MDError afcErrorFromErrno(int err);

// Bytes of the regular files under a device folder, its device.plist and marker left out.
std::int64_t storedBytes(const QString& deviceFolder);

}  // namespace kestrap::sim
