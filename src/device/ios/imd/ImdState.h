#pragma once

#include "device/ios/MobileDeviceService.h"
#include "device/ios/imd/ImdHandles.h"

#include <QByteArray>
#include <QString>
#include <QVariantMap>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

// The inside of the libimobiledevice backend, shared by its source files only.
namespace kestrap::imd {

// One attachment of a device, as usbmuxd reported it. Connections and started services
// share it: their links refer to its device handle.
struct ImdRecord : AMDevice, std::enable_shared_from_this<ImdRecord> {
    enum class Stage {
        Preparing,  // being opened on its worker thread
        NotReady,  // could not be opened yet (see readiness); tried again while attached
        Ready,  // opened once; announced
        Gone,
    };

    QString udid;
    std::uint32_t muxHandle = 0;
    std::atomic<bool> alive {true};

    // Guarded by the service's m_devicesLock.
    Stage stage = Stage::Preparing;
    // Who may still pass the record to the service: the attachment until it is gone, its
    // worker, the arrival queue, each announcement not yet delivered everywhere, and
    // callers' retains. At zero the service forgets the record.
    int holds = 1;
    bool announced = false;
    DeviceReadiness readiness = DeviceReadiness::NotAnswering;  // while NotReady
    int unlistedLists = 0;  // answered lists in a row that left the attachment out
    MDError lastPrepareError = MDSuccess;  // said in the log once, not at every retry
    std::uint32_t location = 0;  // usbmuxd's "LocationID", read when the attachment came
    QString nameBeforeTrust;  // "DeviceName" as told on a plain link while NotReady

    std::mutex lock;  // guards the lockdown link and everything below; never held while waiting for another record
    DevicePtr device;  // kept for the record's life: every connection to the device refers to it
    LockdownPtr lockdown;
    bool connected = false;
    bool session = false;  // as the seam's caller sees it
    // A stopped session, and a disconnected link, are ended on the device only when the link
    // closes (libimobiledevice stops the session then): the detector stops and restarts both
    // at every opening, and a new session is a TLS handshake the main thread would wait for.
    bool deviceSession = false;
    bool afc2Refused = false;  // asked once when prepared: a device is jailbroken or not while attached
    bool paired = false;
    bool validated = false;
    // libimobiledevice has learnt the device's iOS version, which only its handshake reads:
    // until then it offers a session TLS 1.0 alone, which devices refuse.
    bool versionKnown = false;
    bool recordDropped = false;  // a record the device no longer knew was let go
    QByteArray hostId;
    std::optional<QVariantMap> values;  // the default domain, read once when the device was prepared
};

// A service started and not yet opened as an AFC connection.
struct ImdPendingService {
    std::shared_ptr<ImdRecord> record;
    ServicePtr service;  // "com.apple.afc" or "com.apple.afc2"
    HouseArrestPtr houseArrest;  // a vended container, in AFC mode from now on
};

struct ImdConnection : AFCConnection {
    std::shared_ptr<ImdRecord> record;
    // The house-arrest client is freed after the AFC client that took over its link.
    HouseArrestPtr houseArrest;
    AfcPtr afc;
};

struct ImdKeyValue : AFCKeyValue {
    std::vector<std::pair<QByteArray, QByteArray>> pairs;
    std::size_t next = 0;
};

struct ImdDirectory : AFCDirectory {
    std::vector<QByteArray> names;
    std::size_t next = 0;
};

// A property-list node as the program's QVariant tree (see util/Plist.h); invalid for none.
QVariant toVariant(plist_t node);

}  // namespace kestrap::imd
