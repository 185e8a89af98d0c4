#include "device/ipod/iPodDetector.h"

#include "device/ipod/iPodDevice.h"
#include "util/Paths.h"

#include <QFileInfo>

namespace kestrap {

iPodDetector::iPodDetector(std::unique_ptr<MountMonitor> monitor, NotificationCenter& center)
    : m_center(center), m_monitor(monitor ? std::move(monitor) : std::make_unique<ProcMountMonitor>())
{
    // Watching starts before the scan, from the same reading of the table, so a volume
    // mounted in between is neither missed nor announced twice.
    const QStringList mounted = m_monitor->start({
        [this](const QString& path) { OnNewPodMounted(path); },
        [this](const QString& path) { OnPodUnMounted(path); },
    });
    CheckExistingMountedDevices(mounted);
}

iPodDetector::~iPodDetector()
{
    m_monitor.reset();
    waitForAnnouncements();
}

void iPodDetector::waitForAnnouncements()
{
    for (Announcer& a : m_announcers)
        a.thread.join();
    m_announcers.clear();
}

bool iPodDetector::IsPodDevicePath(const QString& mountPath)
{
    return QFileInfo(PathJoin(mountPath, QStringLiteral("iPod_Control"))).isDir();
}

std::shared_ptr<iPodDevice> iPodDetector::CreateIPodDeviceAtPath(const QString& mountPath, bool diskMode)
{
    Q_UNUSED(diskMode);
    return std::make_shared<iPodDevice>(mountPath);
}

void iPodDetector::CheckExistingMountedDevices(const QStringList& mounted)
{
    for (const QString& path : mounted) {
        {
            std::lock_guard guard(m_syncLock);
            if (m_allPodPaths.contains(path))
                continue;
        }
        if (!IsPodDevicePath(path))
            continue;
        std::shared_ptr<iPodDevice> device = CreateIPodDeviceAtPath(path, true);
        {
            std::lock_guard guard(m_syncLock);
            m_allPodPaths.append(path);
            m_allPodDevices.push_back(device);
        }
        // The thread owns its hold on the device until the announcement is delivered.
        m_announcers.push_back({device.get(), std::thread([this, device] { NotifyForNewPod(device); })});
    }
}

void iPodDetector::NotifyForNewPod(const std::shared_ptr<iPodDevice>& device)
{
    m_center.post(msgNewPodConnected, device);
}

void iPodDetector::OnNewPodMounted(const QString& mountPath)
{
    {
        std::lock_guard guard(m_syncLock);
        if (m_allPodPaths.contains(mountPath))
            return;
    }
    if (!IsPodDevicePath(mountPath))
        return;
    std::shared_ptr<iPodDevice> device = CreateIPodDeviceAtPath(mountPath, true);
    {
        std::lock_guard guard(m_syncLock);
        m_allPodPaths.append(mountPath);
        m_allPodDevices.push_back(device);
    }
    NotifyForNewPod(device);
}

void iPodDetector::OnPodUnMounted(const QString& mountPath)
{
    std::shared_ptr<iPodDevice> device;
    {
        std::lock_guard guard(m_syncLock);
        const qsizetype index = m_allPodPaths.indexOf(mountPath);
        if (index < 0)
            return;
        device = m_allPodDevices[std::size_t(index)];
    }
    joinAnnouncer(device.get());
    m_center.post(msgPodDisconnected, device);
    std::lock_guard guard(m_syncLock);
    m_allPodPaths.removeOne(mountPath);
    std::erase(m_allPodDevices, device);
}

void iPodDetector::joinAnnouncer(const iPodDevice* device)
{
    for (auto it = m_announcers.begin(); it != m_announcers.end(); ++it) {
        if (it->device == device) {
            it->thread.join();
            m_announcers.erase(it);
            return;
        }
    }
}

QStringList iPodDetector::allPodPaths() const
{
    std::lock_guard guard(m_syncLock);
    return m_allPodPaths;
}

std::vector<std::shared_ptr<iPodDevice>> iPodDetector::allPodDevices() const
{
    std::lock_guard guard(m_syncLock);
    return m_allPodDevices;
}

}  // namespace kestrap
