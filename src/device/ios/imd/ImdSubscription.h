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
