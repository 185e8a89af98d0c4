#include "device/ios/iPhoneDetector.h"

#include "device/ios/iPhoneDevice.h"

#include <QDebug>
#include <algorithm>
#include <exception>

namespace kestrap {

iPhoneDetector::iPhoneDetector(std::shared_ptr<MobileDeviceService> service, NotificationCenter& center)
    : m_service(std::move(service)), m_center(center)
{
}

iPhoneDetector::~iPhoneDetector()
{
    if (m_subscription)
        m_service->AMDeviceNotificationUnsubscribe(m_subscription);
}

void iPhoneDetector::startListening()
{
    if (m_subscription)
        return;
    m_service->AMDeviceNotificationSubscribe(
        [this](const AMDeviceNotificationInfo& info) { handleCallbackFromDevice(info.device, info.message); },
        &m_subscription);
}

void iPhoneDetector::handleCallbackFromDevice(AMDeviceRef device, std::int32_t messageId)
{
    if (messageId == AMDeviceMessageConnected) {
        qDebug("iPhone recognized.");
        auto phone = std::make_shared<iPhoneDevice>(m_service);
        // The first opening probes "com.apple.afc2" (the jailbreak test); a device that
        // cannot be opened at all is dropped, the traces saying why.
        DeviceError why;
        if (!phone->createWithDevice(device, true, &why)) {
            qDebug("iPhone %s not opened: %s", qPrintable(m_service->AMDeviceCopyDeviceIdentifier(device)),
                qPrintable(why.text));
            return;
        }
        // Opened again on the media area, this time reading its values. Announced whatever
        // this answers: the device is there, and a later service change may still succeed.
        phone->connect(false);
        try {
            m_center.post(msgNewPhoneConnected, phone);
            m_connectedPhones.push_back(phone);
        } catch (const std::exception& e) {
            qWarning("Failed to handle iPhone connection: %s", e.what());
        }
        return;
    }
    if (messageId == AMDeviceMessageDisconnected) {
        if (m_service->AMDeviceCopyDeviceIdentifier(device).isNull())
            return;
        qDebug("iPhone disconnected.");
        try {
            const auto phone = findPhoneDevice(device);
            if (!phone) {
                qWarning("DEVICE DISCONNECT: %s", "no connected device matches the one that went away");
                return;
            }
            phone->deviceGone();
            m_center.post(msgPhoneDisconnected, phone);
            std::erase(m_connectedPhones, phone);
        } catch (const std::exception& e) {
            qWarning("DEVICE DISCONNECT: %s", e.what());
        }
        return;
    }
    qWarning("Unknown device connection notificaiton recieved.  Message = %d", messageId);
}

std::shared_ptr<iPhoneDevice> iPhoneDetector::findPhoneDevice(AMDeviceRef device)
{
    for (const auto& phone : m_connectedPhones)
        if (phone->isEqualToDevice(device))
            return phone;
    // A detach may bring another record of the same device; its identifier tells. A device
    // that was never opened must not take another one with it when it goes.
    const QString id = m_service->AMDeviceCopyDeviceIdentifier(device);
    if (!id.isEmpty()) {
        for (const auto& phone : m_connectedPhones)
            if (m_service->AMDeviceCopyDeviceIdentifier(phone->phoneDevice()) == id)
                return phone;
    }
    return nullptr;
}

void iPhoneDetector::cleanup()
{
    m_connectedPhones.clear();
}

}  // namespace kestrap
