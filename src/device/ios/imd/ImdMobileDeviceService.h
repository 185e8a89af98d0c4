#pragma once

#include "device/ios/MobileDeviceService.h"

#include <QObject>
#include <QStringList>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <vector>

struct lockdownd_service_descriptor;

namespace kestrap::imd {

struct ImdRecord;
struct ImdPendingService;
class ImdSubscription;
class ImdNotReadyWatch;

// Real devices through libimobiledevice and usbmuxd. USB devices only: devices usbmuxd
// reports over the network are left out.
//
// Devices: a monitor thread keeps the list of attached devices in step with usbmuxd's (woken
// by usbmuxd's events, and looking every quarter second, which also notices a usbmuxd that
// restarted or went: the devices it had are announced gone, and those it has afterwards as
// new). Each new attachment is prepared on a worker thread of its own before it is
// announced: lockdown link, pairing checked, session started, the default domain's values
// read once and kept. The detector's opening on the main thread is then served mostly from
// what the record holds. Attachments are announced in the order they arrived. A device that
// does not trust this computer (its user has not tapped "Trust") is not announced; it is
// tried again every second while it stays attached, and announced once pairing works.
//
// Threads: as MobileDeviceService. The monitor and worker threads never call a callback;
// they hand each change to the subscribing threads through their event loops.
class ImdMobileDeviceService : public MobileDeviceService {
public:
    // UsbmuxdAbsent: made when usbmuxd did not answer; no device is attached then, and
    // announceAttachedDevices() does not wait for usbmuxd to start.
    enum Start { UsbmuxdAnswered, UsbmuxdAbsent };
    explicit ImdMobileDeviceService(Start start = UsbmuxdAnswered);
    ~ImdMobileDeviceService() override;
    ImdMobileDeviceService(const ImdMobileDeviceService&) = delete;
    ImdMobileDeviceService& operator=(const ImdMobileDeviceService&) = delete;

    // Whether usbmuxd answered a device list request just now.
    static bool usbmuxdReachable();
    // Makes the monitor read usbmuxd's list now; from any thread (libusbmuxd's events).
    void wakeMonitor();
    // usbmuxd said the attachment is gone (libusbmuxd says so of every device when its link
    // to usbmuxd breaks); the monitor drops it at its next look. From any thread.
    void detached(const QString& udid, std::uint32_t handle);

    // --- MobileDeviceService -------------------------------------------------------------
    MDError AMDeviceNotificationSubscribe(
        AMDeviceNotificationCallback callback, AMDeviceNotificationRef* notification) override;
    MDError AMDeviceNotificationUnsubscribe(AMDeviceNotificationRef notification) override;
    // Waits, at most a few seconds, until usbmuxd's list has been read and the devices on it
    // prepared, then delivers what the calling thread's subscriptions are owed.
    void announceAttachedDevices() override;
    std::vector<NotReadyDevice> devicesNotReady() override;
    MDError AMDeviceNotReadySubscribe(std::function<void()> changed, AMDeviceNotificationRef* notification) override;
    MDError AMDeviceNotReadyUnsubscribe(AMDeviceNotificationRef notification) override;
    // From usbmuxd's own device list (libusbmuxd's device information leaves it out).
    std::uint32_t AMDeviceUSBLocationID(AMDeviceRef device) override;
    void AMDeviceRetain(AMDeviceRef device) override;
    void AMDeviceRelease(AMDeviceRef device) override;
    // How many records the service still keeps: attachments present and records held.
    std::size_t recordCount() const;
    QString AMDeviceCopyDeviceIdentifier(AMDeviceRef device) override;
    MDError AMDeviceConnect(AMDeviceRef device) override;
    MDError AMDeviceDisconnect(AMDeviceRef device) override;
    std::int32_t AMDeviceIsPaired(AMDeviceRef device) override;
    MDError AMDeviceValidatePairing(AMDeviceRef device) override;
    MDError AMDeviceStartSession(AMDeviceRef device) override;
    MDError AMDeviceStopSession(AMDeviceRef device) override;
    QVariant AMDeviceCopyValue(AMDeviceRef device, const QString& domain, const QString& key) override;
    MDError AMDeviceStartService(AMDeviceRef device, const QString& serviceName, AMServiceHandle* service) override;
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

private:
    friend class ImdSubscription;
    friend class ImdNotReadyWatch;

    // --- Devices (ImdDevices.cpp) --------------------------------------------------------
    void monitor();
    void reconcile();
    void arriveLocked(const QString& udid, std::uint32_t handle);
    void markGone(ImdRecord* record);
    // Closes a gone attachment's lockdown link. The record itself stays for the callers
    // that still hold it; its link would otherwise stay open until the service goes, one
    // socket for every time a device was plugged in. Takes the record's lock: never called
    // with m_devicesLock held.
    void releaseLink(ImdRecord* record);
    // Joins the workers whose preparation has ended. Monitor thread only.
    void reapWorkers();
    void prepareLoop(ImdRecord* record);
    // One attempt to open the device; AMDPairingRefusedError while it does not trust us.
    MDError prepare(ImdRecord& record);
    // Announces, in arrival order, the attachments whose preparation has ended. Needs
    // m_devicesLock.
    void publishLocked();
    void notifySubscribers();
    // A device that does not trust this computer still tells its name on a plain link; kept
    // in the record for devicesNotReady(). Takes the record's lock.
    void learnNameBeforeTrust(ImdRecord& record);
    // usbmuxd's "LocationID" of the attachment, kept in the record. Asks usbmuxd.
    void learnLocation(ImdRecord& record);
    // Holds on records, with m_devicesLock held. A record given up by everyone leaves
    // m_records for m_forgotten, freed by the monitor without the lock.
    void holdLocked(ImdRecord* record);
    void releaseLocked(ImdRecord* record);
    // Announcements every subscription has taken are dropped, with their holds. Needs
    // m_devicesLock; takes m_subscriptionsLock.
    void trimEventsLocked();
    // After a delivery, from a subscription: gives back the holds of what it delivered.
    void delivered(const std::vector<AMDeviceRef>& records);

    // --- Lockdown helpers (ImdMobileDeviceService.cpp) -----------------------------------
    MDError registerService(ImdPendingService pending, AMServiceHandle* service);
    void dropServicesOf(ImdRecord* record);
    MDError startServiceLocked(ImdRecord& record, const char* name, ::lockdownd_service_descriptor** service);

    mutable std::mutex m_devicesLock;  // guards the device lists, the events and m_stopping
    std::condition_variable m_devicesChanged;
    std::map<const AMDevice*, std::shared_ptr<ImdRecord>> m_records;  // records someone holds
    std::vector<std::shared_ptr<ImdRecord>> m_forgotten;  // held by nobody, to be freed without the lock
    std::deque<ImdRecord*> m_arrivals;  // being prepared, in arrival order
    // Announcements, in order, from the one numbered m_eventsBase on: those some
    // subscription has not taken yet.
    std::deque<std::pair<ImdRecord*, std::int32_t>> m_events;
    std::size_t m_eventsBase = 0;
    bool m_listed = false;  // usbmuxd answered for its list once, or was absent when the service was made
    std::set<std::pair<QString, std::uint32_t>> m_detached;  // said gone since the last look
    std::optional<std::chrono::steady_clock::time_point> m_listFailingSince;  // monitor thread only
    bool m_wake = false;
    bool m_stopping = false;
    std::map<std::thread::id, std::thread> m_workers;  // monitor thread only, then the destructor
    std::vector<std::thread::id> m_finishedWorkers;  // guarded by m_devicesLock
    std::thread m_monitor;
    void* m_usbmuxSubscription = nullptr;

    std::mutex m_servicesLock;  // guards m_services and m_nextService
    std::map<AMServiceHandle, std::unique_ptr<ImdPendingService>> m_services;
    AMServiceHandle m_nextService = 1;

    std::mutex m_subscriptionsLock;  // guards m_subscriptions and m_nextSubscription; after m_devicesLock
    std::map<AMDeviceNotificationRef, ImdSubscription*> m_subscriptions;
    std::map<AMDeviceNotificationRef, ImdNotReadyWatch*> m_notReadyWatches;
    AMDeviceNotificationRef m_nextSubscription = 1;
};

}  // namespace kestrap::imd
