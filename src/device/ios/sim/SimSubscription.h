#pragma once

#include "device/ios/MobileDeviceService.h"

#include <QFileSystemWatcher>
#include <QObject>
#include <QTimer>
#include <map>

namespace kestrap::sim {

class SimMobileDeviceService;
struct SimRecord;

// One subscription to device notifications: lives on the subscribing thread, watches the
// farm and announces to its callback every device whose attachment changed.
class SimSubscription : public QObject {
    Q_OBJECT
public:
    SimSubscription(SimMobileDeviceService* service, AMDeviceNotificationCallback callback);

    // Compares the farm with what was announced and announces the difference.
    void poll();
    // Calls the callback unless the subscription has been cancelled.
    void deliver(AMDeviceRef device, std::int32_t message);
    // No callback starts after this; the object is deleted now, or when the delivery under
    // way has ended.
    void cancel();

private:
    void watchDeviceFolders();

    SimMobileDeviceService* m_service;
    AMDeviceNotificationCallback m_callback;
    QFileSystemWatcher m_watcher;
    QTimer m_poll;
    std::map<QString, SimRecord*> m_announced;  // each held until its going is announced
    int m_delivering = 0;
    bool m_cancelled = false;
};

}  // namespace kestrap::sim
