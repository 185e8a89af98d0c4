#pragma once

#include "device/ios/MobileDeviceService.h"
#include "device/ios/sim/SimFarm.h"

#include <QHash>
#include <QString>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace kestrap::sim {

struct SimDeviceState;
struct SimRecord;
class SimSubscription;

// Simulated devices on a device farm folder (see SimFarm.h and docs/device-farm.md),
// behaving like real ones wherever the device layer can tell: pairing and sessions, house
// arrest only for installed apps (the whole container only for apps installed for
// development, the documents only for apps that share files), "com.apple.afc2" only on
// jailbroken devices, file
// information in AFC's own keys, a capacity that a write cannot grow past, and paths kept
// inside the root of the open service.
//
// Hot plug: each subscription watches the farm (a file-system watcher plus a short poll) and
// announces devices whose plugged state changed, on the subscribing thread.
//
// Threads: as MobileDeviceService. The test hooks below may be called from any thread,
// except rescan() and deliverNotification(), which deliver on the calling thread.
class SimMobileDeviceService : public MobileDeviceService {
public:
    explicit SimMobileDeviceService(const QString& farmPath);
    ~SimMobileDeviceService() override;

    const QString& farmPath() const { return m_farm; }

    // --- Test and tool hooks -------------------------------------------------------------
    // Replaces the faults of a device from now on (until it is plugged in again); byte
    // counts of the faults start from zero.
    void setFaults(const QString& udid, const SimFaults& faults);
    // How many times `call` (the seam's name, e.g. "AMDeviceStartHouseArrestService") was
    // made on a record or a connection of that device.
    int callCount(const QString& udid, const QString& call) const;
    void resetCallCounts(const QString& udid);
    // For the emulator's usbmuxd: whether this read of the device's pair record goes
    // unanswered ("DropPairRecordReads"), counting it.
    bool takePairRecordDrop(const QString& udid);
    // For the emulator's lockdown: counts a session's TLS handshake beginning, and says whether
    // the device is to be pulled out amid it ("UnplugAtHandshake").
    bool takeHandshakeUnplug(const QString& udid);
    // The record of the device's present attachment; null while it is unplugged. Valid
    // while the device stays plugged, unless retained.
    AMDeviceRef currentRecord(const QString& udid);
    // A record the farm never announced: of that device's udid, or with no identifier at
    // all when udid is null. Every call on it fails. Kept for the life of the service.
    AMDeviceRef makeStrayRecord(const QString& udid);
    // How many records the service still keeps: those of plugged devices and those held.
    std::size_t recordCount() const;
    // Looks at the farm now and delivers the changes to every subscription of this thread.
    void rescan();
    void announceAttachedDevices() override { rescan(); }
    // A simulated device's calls run on the caller's thread under the device's lock, so they
    // wait on no link unless told to, as tests of copies through several connections do.
    bool callsWaitOnALink() const override { return m_callsWaitOnALink; }
    void setCallsWaitOnALink(bool wait) { m_callsWaitOnALink = wait; }
    // Delivers a raw notification to every subscription, synchronously on this thread.
    void deliverNotification(AMDeviceRef device, std::int32_t message);
    // Unplugs the device as if its cable were pulled: its records and connections die now,
    // the .unplugged marker is created, and subscriptions announce it at their next look.
    void unplug(const QString& udid);
    // Every device goes as if its cable were pulled, the farm's folders left as they are: for
    // a server that stops serving the farm, whose threads a device that stopped answering
    // would otherwise hold for ever.
    void unplugAll();

    // --- MobileDeviceService -------------------------------------------------------------
    MDError AMDeviceNotificationSubscribe(
        AMDeviceNotificationCallback callback, AMDeviceNotificationRef* notification) override;
    MDError AMDeviceNotificationUnsubscribe(AMDeviceNotificationRef notification) override;
    void AMDeviceRetain(AMDeviceRef device) override;
    void AMDeviceRelease(AMDeviceRef device) override;
    QString AMDeviceCopyDeviceIdentifier(AMDeviceRef device) override;
    MDError AMDeviceConnect(AMDeviceRef device) override;
    MDError AMDeviceDisconnect(AMDeviceRef device) override;
    std::int32_t AMDeviceIsPaired(AMDeviceRef device) override;
    MDError AMDeviceValidatePairing(AMDeviceRef device) override;
    MDError AMDeviceStartSession(AMDeviceRef device) override;
    MDError AMDeviceStopSession(AMDeviceRef device) override;
    std::uint32_t AMDeviceUSBLocationID(AMDeviceRef device) override;
    // A simulated device is announced as soon as it is plugged in, whatever its trust (opening
    // it then fails, and the detector drops it): devicesNotReady() is always empty, so nobody
    // need ask it again and again. The device emulator, over this backend, does make such a
    // device wait, as a real one does.
    MDError AMDeviceNotReadySubscribe(std::function<void()> changed, AMDeviceNotificationRef* notification) override
    {
        Q_UNUSED(changed);
        *notification = 0;
        return MDSuccess;
    }
    MDError AMDeviceNotReadyUnsubscribe(AMDeviceNotificationRef notification) override
    {
        Q_UNUSED(notification);
        return MDSuccess;
    }
    QVariant AMDeviceCopyValue(AMDeviceRef device, const QString& domain, const QString& key) override;
    MDError AMDeviceStartService(AMDeviceRef device, const QString& serviceName, AMServiceHandle* service) override;
    // The container only for apps whose attributes say "Development" true, the documents
    // only for apps whose "UIFileSharingEnabled" is not false.
    MDError AMDeviceStartHouseArrestService(
        AMDeviceRef device, const QString& bundleId, AMHouseArrestVend vend, AMServiceHandle* service) override;
    MDError AMDeviceLookupApplications(AMDeviceRef device, const QVariantMap& options, QVariantMap* apps) override;

    MDError AFCConnectionOpen(AMServiceHandle service, std::uint32_t timeout, AFCConnectionRef* connection) override;
    MDError AFCConnectionClose(AFCConnectionRef connection) override;
    MDError AFCDeviceInfoOpen(AFCConnectionRef connection, AFCKeyValueRef* info) override;
    MDError AFCFileInfoOpen(AFCConnectionRef connection, const QString& path, AFCKeyValueRef* info) override;
    MDError AFCKeyValueRead(AFCKeyValueRef handle, QByteArray* key, QByteArray* value) override;
    MDError AFCKeyValueClose(AFCKeyValueRef handle) override;
    MDError AFCDirectoryOpen(AFCConnectionRef connection, const QString& path, AFCDirectoryRef* dir) override;
    MDError AFCDirectoryRead(AFCConnectionRef connection, AFCDirectoryRef dir, QByteArray* name) override;
    MDError AFCDirectoryClose(AFCConnectionRef connection, AFCDirectoryRef dir) override;
    MDError AFCDirectoryCreate(AFCConnectionRef connection, const QString& path) override;
    MDError AFCFileRefOpen(
        AFCConnectionRef connection, const QString& path, std::uint64_t mode, AFCFileRef* file) override;
    MDError AFCFileRefSeek(
        AFCConnectionRef connection, AFCFileRef file, std::int64_t offset, std::uint64_t origin) override;
    MDError AFCFileRefRead(AFCConnectionRef connection, AFCFileRef file, void* buffer, std::uint32_t* count) override;
    MDError AFCFileRefWrite(
        AFCConnectionRef connection, AFCFileRef file, const void* buffer, std::uint32_t count) override;
    MDError AFCFileRefClose(AFCConnectionRef connection, AFCFileRef file) override;
    MDError AFCRemovePath(AFCConnectionRef connection, const QString& path) override;
    MDError AFCRenamePath(AFCConnectionRef connection, const QString& from, const QString& to) override;
    MDError AFCSetModificationTime(AFCConnectionRef connection, const QString& path, std::int64_t nanoseconds) override;

    // Beyond the seam, for the device emulator's AFC truncate: sets a file's size, taking
    // room like a write (a full device refuses to grow it) and counting what it frees.
    MDError AFCFileSetSize(AFCConnectionRef connection, const QString& path, std::uint64_t size);

private:
    std::atomic<bool> m_callsWaitOnALink {false};
    friend class SimSubscription;

    // What a subscription should announce: for every udid, the record it announced last
    // against the record of the device's present attachment.
    void scanFarm();
    // Each record answered is held once for the caller, who releases it.
    std::map<QString, SimRecord*> currentRecords();
    std::shared_ptr<SimDeviceState> stateFor(const QString& udid);
    MDError startServiceOn(
        SimRecord* record, const QString& root, bool create, AMServiceHandle* service, bool documentsOnly = false);
    void unplugLocked(SimDeviceState& state);

    const QString m_farm;

    // The record of a caller's device pointer; null when it is not one of ours or forgotten.
    std::shared_ptr<SimRecord> findRecord(AMDeviceRef device) const;

    mutable std::mutex m_devicesLock;  // guards m_states, m_records and the records' holds; after a stateLock
    QHash<QString, std::shared_ptr<SimDeviceState>> m_states;
    std::map<const AMDevice*, std::shared_ptr<SimRecord>> m_records;  // records someone holds

    std::mutex m_scanLock;  // serialises scanFarm()

    std::mutex m_servicesLock;  // guards m_services and m_nextService
    struct PendingService {
        std::shared_ptr<SimRecord> record;
        QString root;
        bool documentsOnly = false;  // a documents vend: root is the container, only Documents is reached
    };
    std::map<AMServiceHandle, PendingService> m_services;
    AMServiceHandle m_nextService = 1;

    std::mutex m_subscriptionsLock;  // guards m_subscriptions and m_nextSubscription
    std::map<AMDeviceNotificationRef, SimSubscription*> m_subscriptions;
    AMDeviceNotificationRef m_nextSubscription = 1;
};

}  // namespace kestrap::sim
