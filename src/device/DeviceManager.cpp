#include "device/DeviceManager.h"

#include "device/ios/MobileDeviceService.h"
#include "device/ios/iPhoneDetector.h"
#include "device/ipod/iPodDetector.h"

#include <QDebug>
#include <QPointer>
#include <QThread>
#include <algorithm>
#include <thread>

namespace kestrap {

DeviceManager& DeviceManager::defaultDeviceManager()
{
    // Lives to the end of the process, like the devices it hands out.
    static DeviceManager* gDeviceManager = new DeviceManager();
    return *gDeviceManager;
}

DeviceManager::DeviceManager(NotificationCenter& center, QObject* parent)
    : QObject(parent), m_center(center), m_link(std::make_shared<Link>())
{
    m_link->manager = this;
    connect(&m_detailsTimer, &QTimer::timeout, this, &DeviceManager::readDetails);
    connect(&m_notReadyPoll, &QTimer::timeout, this, &DeviceManager::notReadyMayHaveChanged);
}

DeviceManager::~DeviceManager()
{
    {
        std::lock_guard guard(m_link->lock);
        m_link->manager = nullptr;
    }
    stop();
    // The detector goes before the devices: no callback may announce into a dying manager.
    if (m_iPhoneListener)
        m_iPhoneListener->cleanup();
    m_iPhoneListener.reset();
    m_iPodListener.reset();
    m_devices.clear();
}

void DeviceManager::setMobileDeviceService(std::shared_ptr<MobileDeviceService> service)
{
    m_service = std::move(service);
}

void DeviceManager::setMountMonitorFactory(std::function<std::unique_ptr<MountMonitor>()> factory)
{
    m_mountMonitorFactory = std::move(factory);
}

void DeviceManager::observe(const QString& name, void (DeviceManager::*handler)(const std::shared_ptr<iMobileDevice>&))
{
    QPointer<DeviceManager> self(this);
    m_observers.push_back(m_center.addObserver(name, [this, self, handler](const DeviceNotification& note) {
        if (QThread::currentThread() == thread()) {
            (this->*handler)(note.device);
            return;
        }
        // Devices and the delegate belong to the main thread.
        QMetaObject::invokeMethod(
            this,
            [self, handler, device = note.device] {
                if (self)
                    (self.data()->*handler)(device);
            },
            Qt::QueuedConnection);
    }));
}

bool DeviceManager::start()
{
    qDebug("Started");
    stop();
    if (m_deviceSupport & (DeviceSupportPhone | DeviceSupportPad)) {
        observe(msgNewPhoneConnected, &DeviceManager::OnNewPhoneConnected);
        observe(msgPhoneDisconnected, &DeviceManager::OnPhoneDisconnected);
    }
    if (m_deviceSupport & DeviceSupportPod) {
        observe(msgNewPodConnected, &DeviceManager::OnNewPodConnected);
        observe(msgPodDisconnected, &DeviceManager::OnPodDisconnected);
    }
    m_iPhoneListener.reset();
    if (!m_service) {
        QString reason;
        m_service = defaultMobileDeviceService(&reason);
        if (!m_service)
            qWarning("No iOS devices: %s", qPrintable(reason));
    }
    if (m_service) {
        m_iPhoneListener = std::make_unique<iPhoneDetector>(m_service, m_center);
        m_iPhoneListener->startListening();
        watchNotReady();
    }
    m_detailsTimer.start(m_detailsInterval);
    // The iPod detector always runs; the flags decide whether its iPods are accepted.
    m_iPodListener.reset();
    m_podsGone.clear();
    m_iPodListener
        = std::make_unique<iPodDetector>(m_mountMonitorFactory ? m_mountMonitorFactory() : nullptr, m_center);
    return true;
}

bool DeviceManager::stop()
{
    for (const auto token : m_observers)
        m_center.removeObserver(token);
    m_observers.clear();
    m_detailsTimer.stop();
    unwatchNotReady();
    return true;
}

void DeviceManager::setDetailsInterval(std::chrono::milliseconds interval)
{
    m_detailsInterval = interval;
    if (m_detailsTimer.isActive())
        m_detailsTimer.start(interval);
}

void DeviceManager::readDetails()
{
    for (const auto& device : m_devices) {
        if (std::count(m_readingDetails.begin(), m_readingDetails.end(), device.get()))
            continue;
        m_readingDetails.push_back(device.get());
        std::thread([link = m_link, device] {
            const bool changed = device->refreshDetails();
            // Posted under the link's lock, so the manager cannot end between the check and
            // the post; one that ends later drops the posted call with its other events.
            std::lock_guard guard(link->lock);
            if (DeviceManager* manager = link->manager)
                QMetaObject::invokeMethod(
                    manager, [manager, device, changed] { manager->detailsRead(device, changed); },
                    Qt::QueuedConnection);
        }).detach();
    }
}

void DeviceManager::detailsRead(const std::shared_ptr<iMobileDevice>& device, bool changed)
{
    std::erase(m_readingDetails, device.get());
    // A device that went while it was read is not told of any more.
    if (changed && m_delegate && std::count(m_devices.begin(), m_devices.end(), device))
        m_delegate->DeviceChanged(device);
}

void DeviceManager::watchNotReady()
{
    unwatchNotReady();
    AMDeviceNotificationRef ref = 0;
    if (m_service->AMDeviceNotReadySubscribe([this] { notReadyMayHaveChanged(); }, &ref) == MDSuccess)
        m_notReadyWatch = ref;
    else
        m_notReadyPoll.start(kNotReadyPollInterval);
    notReadyMayHaveChanged();
}

void DeviceManager::unwatchNotReady()
{
    m_notReadyPoll.stop();
    if (m_notReadyWatch && m_service)
        m_service->AMDeviceNotReadyUnsubscribe(*m_notReadyWatch);
    m_notReadyWatch.reset();
}

void DeviceManager::notReadyMayHaveChanged()
{
    std::vector<NotReadyDevice> now = m_service ? m_service->devicesNotReady() : std::vector<NotReadyDevice>();
    if (now == m_notReady)
        return;
    m_notReady = std::move(now);
    if (m_delegate)
        m_delegate->DevicesNotReadyChanged(m_notReady);
}

bool DeviceManager::removeDevice(const std::shared_ptr<iMobileDevice>& device)
{
    const auto it = std::find(m_devices.begin(), m_devices.end(), device);
    if (it == m_devices.end())
        return false;
    m_devices.erase(it);
    return true;
}

void DeviceManager::OnNewPhoneConnected(const std::shared_ptr<iMobileDevice>& device)
{
    if (!device)
        return;
    const std::int32_t type = device->deviceType();
    if ((type == DeviceTypePhone || type == DeviceTypeTouch) && !(m_deviceSupport & DeviceSupportPhone))
        return;
    if (type == DeviceTypePad && !(m_deviceSupport & DeviceSupportPad))
        return;
    qDebug("new phone connected:%s", qPrintable(device->name()));
    m_devices.insert(m_devices.begin(), device);
    if (m_delegate)
        m_delegate->DeviceAdded(device);
}

void DeviceManager::OnPhoneDisconnected(const std::shared_ptr<iMobileDevice>& device)
{
    if (!removeDevice(device))
        return;
    qDebug("phone disconnected");
    if (m_delegate)
        m_delegate->DeviceRemoved(device);
}

void DeviceManager::OnNewPodConnected(const std::shared_ptr<iMobileDevice>& device)
{
    if (!device || device->deviceType() != DeviceTypePod)
        return;
    const auto gone = std::find_if(m_podsGone.begin(), m_podsGone.end(),
        [&](const std::weak_ptr<iMobileDevice>& p) { return p.lock() == device; });
    if (gone != m_podsGone.end()) {
        m_podsGone.erase(gone);
        return;
    }
    qDebug("new pod connected:%s", qPrintable(device->name()));
    m_devices.push_back(device);
    if (m_delegate)
        m_delegate->DeviceAdded(device);
}

void DeviceManager::OnPodDisconnected(const std::shared_ptr<iMobileDevice>& device)
{
    qDebug("pod disconnected");
    if (removeDevice(device)) {
        if (m_delegate)
            m_delegate->DeviceRemoved(device);
        return;
    }
    if (device) {
        std::erase_if(m_podsGone, [](const std::weak_ptr<iMobileDevice>& p) { return p.expired(); });
        m_podsGone.push_back(device);
    }
}

}  // namespace kestrap
