#include "device/ios/sim/SimSubscription.h"

#include "device/ios/sim/SimMobileDeviceService.h"
#include "device/ios/sim/SimState.h"

#include <QDir>

namespace kestrap::sim {

namespace {
// The watcher sees most changes at once; the poll catches what it misses (a folder made and
// filled in one go, file systems without change events).
constexpr int kPollIntervalMs = 500;
}  // namespace

SimSubscription::SimSubscription(SimMobileDeviceService* service, AMDeviceNotificationCallback callback)
    : m_service(service), m_callback(std::move(callback))
{
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, &SimSubscription::poll);
    connect(&m_poll, &QTimer::timeout, this, &SimSubscription::poll);
    m_poll.start(kPollIntervalMs);
    m_watcher.addPath(service->farmPath());
    // Devices present now are announced from the event loop, after the subscriber has its handle.
    QTimer::singleShot(0, this, &SimSubscription::poll);
}

void SimSubscription::poll()
{
    if (m_cancelled)
        return;
    m_service->scanFarm();
    // Every record here is held once: by m_announced, or by the event that carries it until
    // its callback has returned.
    const std::map<QString, SimRecord*> current = m_service->currentRecords();
    std::vector<std::pair<SimRecord*, std::int32_t>> events;
    for (auto it = m_announced.begin(); it != m_announced.end();) {
        const auto now = current.find(it->first);
        if (now == current.end() || now->second != it->second) {
            events.emplace_back(it->second, AMDeviceMessageDisconnected);
            it = m_announced.erase(it);
        } else {
            ++it;
        }
    }
    for (const auto& [udid, record] : current) {
        if (m_announced.count(udid)) {
            m_service->AMDeviceRelease(record);
            continue;
        }
        m_announced[udid] = record;
        m_service->AMDeviceRetain(record);
        events.emplace_back(record, AMDeviceMessageConnected);
    }
    watchDeviceFolders();
    for (const auto& [record, message] : events) {
        deliver(record, message);
        m_service->AMDeviceRelease(record);
    }
}

void SimSubscription::deliver(AMDeviceRef device, std::int32_t message)
{
    if (m_cancelled)
        return;
    ++m_delivering;
    m_callback({device, message});
    --m_delivering;
    if (m_cancelled && m_delivering == 0)
        deleteLater();
}

void SimSubscription::cancel()
{
    m_cancelled = true;
    m_poll.stop();
    for (const auto& [udid, record] : m_announced)
        m_service->AMDeviceRelease(record);
    m_announced.clear();
    if (m_delivering == 0)
        delete this;
}

void SimSubscription::watchDeviceFolders()
{
    QStringList wanted;
    const QDir farm(m_service->farmPath());
    for (const QString& name : farm.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        wanted << farm.filePath(name);
    const QStringList watched = m_watcher.directories();
    QStringList added;
    for (const QString& dir : wanted)
        if (!watched.contains(dir))
            added << dir;
    if (!added.isEmpty())
        m_watcher.addPaths(added);
}

}  // namespace kestrap::sim
