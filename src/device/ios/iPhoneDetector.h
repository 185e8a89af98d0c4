#pragma once

#include "device/NotificationCenter.h"
#include "device/ios/MobileDeviceService.h"

#include <memory>
#include <vector>

namespace kestrap {

class iPhoneDevice;

// Turns the mobile-device service's attach and detach callbacks into opened iPhoneDevice
// objects and the notifications "msgNewPhoneConnected" and "msgPhoneDisconnected". It does
// not filter by kind: every device that can be opened is announced.
//
// Threads: startListening() subscribes from the calling thread, which must be the main
// thread; the callbacks, the opening of devices and the notifications all run there. The
// object is used and destroyed on that thread.
class iPhoneDetector {
public:
    explicit iPhoneDetector(
        std::shared_ptr<MobileDeviceService> service, NotificationCenter& center = NotificationCenter::defaultCenter());
    // Ends the subscription, so that no callback reaches a detector that has gone.
    ~iPhoneDetector();
    iPhoneDetector(const iPhoneDetector&) = delete;
    iPhoneDetector& operator=(const iPhoneDetector&) = delete;

    void startListening();
    // Message 1: open and announce the device; 2: announce it gone and forget it.
    void handleCallbackFromDevice(AMDeviceRef device, std::int32_t messageId);
    // The tracked object of a device record: the one opened on that very record, else the
    // one whose record carries the same device identifier; null when there is none.
    std::shared_ptr<iPhoneDevice> findPhoneDevice(AMDeviceRef device);
    // The devices announced and not yet gone, in order of arrival.
    const std::vector<std::shared_ptr<iPhoneDevice>>& connectedPhones() const { return m_connectedPhones; }
    // Forgets every tracked device.
    void cleanup();

private:
    std::shared_ptr<MobileDeviceService> m_service;
    NotificationCenter& m_center;
    std::vector<std::shared_ptr<iPhoneDevice>> m_connectedPhones;
    AMDeviceNotificationRef m_subscription = 0;
};

}  // namespace kestrap
