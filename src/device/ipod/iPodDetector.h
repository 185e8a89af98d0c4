#pragma once

#include "device/NotificationCenter.h"
#include "device/ipod/MountMonitor.h"

#include <QString>
#include <QStringList>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace kestrap {

class iPodDevice;

// Watches mounted volumes and announces disk-mode iPods on a notification center:
// "msgNewPodConnected" when a volume with an "iPod_Control" folder at its root appears,
// "msgPodDisconnected" when it goes away, each with its iPodDevice as "device".
//
// Threads: create, use and destroy the detector on one thread (the main thread in the
// application); mounts and unmounts are announced on it. iPods already mounted when the
// detector is created are announced from one secondary thread each, in no fixed order, so
// observers of "msgNewPodConnected" must accept calls from any thread. Such an observer
// must not wait for the detector's thread: an unmount, and the destructor, wait until
// the start-up announcement of that volume has been delivered, so its "msgPodDisconnected"
// always follows its "msgNewPodConnected".
class iPodDetector {
public:
    // Scans the volumes mounted now and starts watching for changes; the monitor defaults to
    // the process's mount table.
    explicit iPodDetector(std::unique_ptr<MountMonitor> monitor = nullptr,
        NotificationCenter& center = NotificationCenter::defaultCenter());
    ~iPodDetector();

    iPodDetector(const iPodDetector&) = delete;
    iPodDetector& operator=(const iPodDetector&) = delete;

    // True when the path joined with "iPod_Control" is a folder.
    static bool IsPodDevicePath(const QString& mountPath);
    static std::shared_ptr<iPodDevice> CreateIPodDeviceAtPath(const QString& mountPath, bool diskMode);

    void OnNewPodMounted(const QString& mountPath);
    void OnPodUnMounted(const QString& mountPath);

    // Returns once every start-up announcement has been delivered, so a caller that handed
    // them on to its own event loop finds them queued there.
    void waitForAnnouncements();

    // Snapshots, in order of arrival.
    QStringList allPodPaths() const;
    std::vector<std::shared_ptr<iPodDevice>> allPodDevices() const;

private:
    void CheckExistingMountedDevices(const QStringList& mounted);
    void NotifyForNewPod(const std::shared_ptr<iPodDevice>& device);
    // Waits for the start-up announcement of the device, if it has one still running.
    void joinAnnouncer(const iPodDevice* device);

    struct Announcer {
        const iPodDevice* device;
        std::thread thread;
    };

    mutable std::mutex m_syncLock;  // guards m_allPodPaths and m_allPodDevices
    QStringList m_allPodPaths;
    std::vector<std::shared_ptr<iPodDevice>> m_allPodDevices;
    std::vector<Announcer> m_announcers;  // touched on the detector's own thread only
    NotificationCenter& m_center;
    std::unique_ptr<MountMonitor> m_monitor;
};

}  // namespace kestrap
