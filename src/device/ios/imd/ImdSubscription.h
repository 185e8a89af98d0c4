#pragma once

#include "device/ios/MobileDeviceService.h"

#include <QObject>
#include <cstddef>

namespace kestrap::imd {

class ImdMobileDeviceService;

// One subscription to device notifications: lives on the subscribing thread and delivers
// there the service's announcements it has not delivered yet, in order.
class ImdSubscription : public QObject {
public:
    // `cursor`: the number of the first announcement this subscription is owed. `present`:
    // devices attached when it subscribed, each held for it by the service.
    ImdSubscription(ImdMobileDeviceService* service, AMDeviceNotificationCallback callback, std::size_t cursor,
        std::vector<AMDeviceRef> present);

    // Delivers what is owed; from the subscribing thread's event loop or announceAttachedDevices().
    void drain();
    // Asks the subscribing thread to drain; from any thread.
    void post();
    // No callback starts after this; the object is deleted now, or when the delivery under
    // way has ended. On the subscribing thread.
    void cancel();
    // The number of the next announcement it is owed. Under the service's m_devicesLock.
    std::size_t cursor() const { return m_cursor; }

private:
    ImdMobileDeviceService* m_service;
    AMDeviceNotificationCallback m_callback;
    std::size_t m_cursor;
    std::vector<AMDeviceRef> m_present;  // devices attached when it subscribed, owed first
    int m_delivering = 0;
    bool m_cancelled = false;
};

}  // namespace kestrap::imd

namespace kestrap::imd {

// One watch on the devices that are not ready: lives on the subscribing thread and calls its
// callback there each time the service's devicesNotReady() differs from what it told last.
class ImdNotReadyWatch : public QObject {
public:
    ImdNotReadyWatch(ImdMobileDeviceService* service, std::function<void()> changed);

    // Asks the subscribing thread to look; from any thread, under the service's
    // m_subscriptionsLock.
    void post();
    // No callback starts after this; the object is deleted now, or once its callback has
    // returned. On the subscribing thread.
    void cancel();

private:
    void look();

    ImdMobileDeviceService* m_service;
    std::function<void()> m_changed;
    std::vector<NotReadyDevice> m_told;
    int m_delivering = 0;
    bool m_cancelled = false;
};

}  // namespace kestrap::imd
