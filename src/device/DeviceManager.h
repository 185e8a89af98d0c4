#pragma once

#include "device/NotificationCenter.h"
#include "device/iMobileDevice.h"

#include <QObject>
#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace kestrap {

class iPhoneDetector;
class iPodDetector;
class MobileDeviceService;
class MountMonitor;
using AMDeviceNotificationRef = std::uint64_t;

// Which device kinds the manager accepts; a bit set.
enum DeviceSupport : std::int32_t {
    DeviceSupportPod = 1,  // disk-mode iPods (pod notifications)
    DeviceSupportPhone = 2,  // iPhone and iPod touch (phone notifications)
    DeviceSupportPad = 8,  // iPad (phone notifications)
};

// The device layer's entry point: runs the detectors, keeps the devices it accepts under
// its support flags and tells its delegate of every device added or removed, of what a
// device tells of itself changing (DeviceChanged: its battery and free space are read again
// every detailsInterval()), and of the devices attached but not ready (DevicesNotReadyChanged,
// as the mobile-device service tells it; a service that cannot tell is asked every
// kNotReadyPollInterval).
//
// Threads: the manager belongs to the thread it was created on, the main thread; start(),
// stop(), devices() and the delegate calls happen there. A device notification posted on
// another thread (the iPod detector announces mounted volumes from worker threads) is
// handed to the manager's thread and handled there, later; one posted on the manager's
// thread is handled at once. A device's details are read on a worker thread of their own
// (device I/O never runs on the manager's thread) and handed back; a device whose last read
// has not ended is not asked again, so a device that stopped answering holds no more than one
// worker.
class DeviceManager : public QObject {
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds kDefaultDetailsInterval {60000};
    static constexpr std::chrono::milliseconds kNotReadyPollInterval {2000};

    // The process-wide manager, created on first use (on the main thread).
    static DeviceManager& defaultDeviceManager();

    explicit DeviceManager(NotificationCenter& center = NotificationCenter::defaultCenter(), QObject* parent = nullptr);
    ~DeviceManager() override;

    std::int32_t deviceSupport() const { return m_deviceSupport; }
    void setDeviceSupport(std::int32_t flags) { m_deviceSupport = flags; }
    // Not owned: the delegate must outlive the manager or be unset first.
    DeviceManagerDelegate* delegate() const { return m_delegate; }
    void setDelegate(DeviceManagerDelegate* delegate) { m_delegate = delegate; }
    // The service the iOS detector listens to; without one, start() takes
    // defaultMobileDeviceService(), and runs without an iOS detector when there is none.
    void setMobileDeviceService(std::shared_ptr<MobileDeviceService> service);
    // Accepted devices: iOS devices at the front in reverse order of arrival, iPods at the end.
    const std::vector<std::shared_ptr<iMobileDevice>>& devices() const { return m_devices; }
    iPhoneDetector* iPhoneListener() const { return m_iPhoneListener.get(); }
    // Where the iPod detector learns about volumes; without a factory, start() watches the
    // process's mount table.
    void setMountMonitorFactory(std::function<std::unique_ptr<MountMonitor>()> factory);
    iPodDetector* iPodListener() const { return m_iPodListener.get(); }

    // Observes the notifications the flags call for and starts the detectors; a second call
    // replaces them.
    bool start();
    // Stops observing; detectors and devices stay.
    bool stop();

    // How often the devices' battery levels and free space are read again.
    std::chrono::milliseconds detailsInterval() const { return m_detailsInterval; }
    void setDetailsInterval(std::chrono::milliseconds interval);
    // The devices attached but not ready, as last told to the delegate.
    const std::vector<NotReadyDevice>& devicesNotReady() const { return m_notReady; }

private:
    // What a detail reader reaches its manager through; the manager's end cuts the link.
    struct Link {
        std::mutex lock;
        DeviceManager* manager = nullptr;
    };
    void readDetails();
    void detailsRead(const std::shared_ptr<iMobileDevice>& device, bool changed);
    void watchNotReady();
    void unwatchNotReady();
    void notReadyMayHaveChanged();

    void observe(const QString& name, void (DeviceManager::*handler)(const std::shared_ptr<iMobileDevice>&));
    void OnNewPhoneConnected(const std::shared_ptr<iMobileDevice>& device);
    void OnPhoneDisconnected(const std::shared_ptr<iMobileDevice>& device);
    void OnNewPodConnected(const std::shared_ptr<iMobileDevice>& device);
    void OnPodDisconnected(const std::shared_ptr<iMobileDevice>& device);
    bool removeDevice(const std::shared_ptr<iMobileDevice>& device);

    NotificationCenter& m_center;
    std::vector<std::shared_ptr<iMobileDevice>> m_devices;
    std::int32_t m_deviceSupport = 0;
    std::unique_ptr<iPhoneDetector> m_iPhoneListener;
    std::unique_ptr<iPodDetector> m_iPodListener;
    std::function<std::unique_ptr<MountMonitor>()> m_mountMonitorFactory;
    // iPods whose disconnect came before their connect: one announced from the iPod
    // detector's start-up thread reaches this thread queued, after an unmount handled at once.
    std::vector<std::weak_ptr<iMobileDevice>> m_podsGone;
    DeviceManagerDelegate* m_delegate = nullptr;
    std::shared_ptr<MobileDeviceService> m_service;
    std::vector<NotificationCenter::Token> m_observers;

    std::shared_ptr<Link> m_link;
    QTimer m_detailsTimer;
    std::chrono::milliseconds m_detailsInterval = kDefaultDetailsInterval;
    std::vector<iMobileDevice*> m_readingDetails;  // devices whose read has not come back
    std::vector<NotReadyDevice> m_notReady;
    std::optional<AMDeviceNotificationRef> m_notReadyWatch;
    QTimer m_notReadyPoll;  // for a service that cannot tell
};

}  // namespace kestrap
