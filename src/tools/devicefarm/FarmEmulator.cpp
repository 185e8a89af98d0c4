#include "tools/devicefarm/FarmEmulator.h"

#include "device/ios/sim/SimMobileDeviceService.h"
#include "tools/devicefarm/Wire.h"

#include <QDir>
#include <QFile>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace kestrap::devicefarm {

namespace {

// Far more than 64 devices with a few links each need; a client opening sockets without
// end is refused rather than given a thread each.
constexpr std::size_t kMaxConnections = 2048;

bool socketAddress(const QString& path, sockaddr_un* address)
{
    const QByteArray bytes = QFile::encodeName(path);
    if (bytes.isEmpty() || std::size_t(bytes.size()) >= sizeof address->sun_path)
        return false;
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    std::memcpy(address->sun_path, bytes.constData(), std::size_t(bytes.size()));
    return true;
}

// A socket file left by an emulator that was killed answers no connection: it may go.
bool isStaleSocket(const sockaddr_un& address)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const bool answered = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return !answered;
}

}  // namespace

FarmEmulator::FarmEmulator(EmulatorOptions options)
    : m_options(std::move(options)), m_sim(std::make_shared<sim::SimMobileDeviceService>(m_options.farm))
{
}

FarmEmulator::~FarmEmulator()
{
    stop();
}

MobileDeviceService& FarmEmulator::service()
{
    return *m_sim;
}

bool FarmEmulator::start(QString* error)
{
    if (!QDir(m_options.farm).exists()) {
        *error = QStringLiteral("The device farm %1 is not a folder.").arg(m_options.farm);
        return false;
    }
    sockaddr_un address;
    if (!socketAddress(m_options.socketPath, &address)) {
        *error = QStringLiteral("The socket path %1 is empty or too long.").arg(m_options.socketPath);
        return false;
    }
    if (QFile::exists(m_options.socketPath)) {
        if (!isStaleSocket(address)) {
            *error = QStringLiteral("Something listens on %1 already.").arg(m_options.socketPath);
            return false;
        }
        ::unlink(address.sun_path);
    }
    m_listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listenFd < 0 || ::bind(m_listenFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0
        || ::listen(m_listenFd, 128) != 0) {
        *error = QStringLiteral("Cannot listen on %1: %2")
                     .arg(m_options.socketPath, QString::fromLocal8Bit(strerror(errno)));
        if (m_listenFd >= 0)
            ::close(m_listenFd);
        m_listenFd = -1;
        return false;
    }
    m_sim->AMDeviceNotificationSubscribe(
        [this](const AMDeviceNotificationInfo& info) { onNotification(info.device, info.message); }, &m_subscription);
    // The devices plugged in now are there before the first client can ask.
    m_sim->announceAttachedDevices();
    m_acceptThread = std::thread([this] { acceptLoop(); });
    return true;
}

void FarmEmulator::stop()
{
    if (m_listenFd < 0)
        return;
    if (m_subscription)
        m_sim->AMDeviceNotificationUnsubscribe(m_subscription);
    m_subscription = 0;
    ::shutdown(m_listenFd, SHUT_RDWR);
    if (m_acceptThread.joinable())
        m_acceptThread.join();
    ::close(m_listenFd);
    m_listenFd = -1;
    ::unlink(QFile::encodeName(m_options.socketPath).constData());
    std::unique_lock guard(m_connectionsLock);
    m_stopping = true;
    for (const auto& c : m_connections)
        ::shutdown(c->fd, SHUT_RDWR);
    m_connectionsDone.wait(guard, [this] { return m_connections.empty(); });
}

void FarmEmulator::acceptLoop()
{
    for (;;) {
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED || errno == EMFILE || errno == ENFILE)
                continue;
            return;  // the listening socket was shut down
        }
        auto connection = std::make_shared<Connection>();
        connection->fd = fd;
        {
            std::lock_guard guard(m_connectionsLock);
            if (m_stopping || m_connections.size() >= kMaxConnections) {
                ::close(fd);
                continue;
            }
            m_connections.insert(connection);
        }
        std::thread([this, connection] { serve(connection); }).detach();
    }
}

void FarmEmulator::serve(std::shared_ptr<Connection> connection)
{
    serveMux(*this, connection);
    std::lock_guard guard(m_connectionsLock);
    ::shutdown(connection->fd, SHUT_RDWR);
    ::close(connection->fd);
    m_connections.erase(connection);
    m_connectionsDone.notify_all();
}

std::shared_ptr<EmuDevice> FarmEmulator::device(std::uint32_t id)
{
    std::lock_guard guard(m_devicesLock);
    const auto it = m_devices.find(id);
    return it == m_devices.end() ? nullptr : it->second;
}

std::vector<std::shared_ptr<EmuDevice>> FarmEmulator::devices()
{
    std::lock_guard guard(m_devicesLock);
    std::vector<std::shared_ptr<EmuDevice>> all;
    for (const auto& [id, device] : m_devices)
        all.push_back(device);
    return all;
}

bool FarmEmulator::bindDevice(Connection& connection, const std::shared_ptr<EmuDevice>& device)
{
    std::lock_guard guard(m_connectionsLock);
    connection.device = device;
    return device->alive;
}

void FarmEmulator::beginRequest()
{
    std::this_thread::sleep_until(requestDue());
}

std::chrono::steady_clock::time_point FarmEmulator::requestDue()
{
    ++m_requests;
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(m_options.latencyMs);
}

void FarmEmulator::throttleWrite(EmuDevice& device, std::size_t bytes, std::chrono::steady_clock::time_point due) const
{
    using namespace std::chrono;
    if (m_options.writeRateMBps <= 0) {
        std::this_thread::sleep_until(due);
        return;
    }
    const auto cost = duration_cast<steady_clock::duration>(
        duration<double>(double(bytes) / (m_options.writeRateMBps * 1000.0 * 1000.0)));
    steady_clock::time_point done;
    {
        std::lock_guard guard(device.lock);
        device.linkFree = std::max(device.linkFree, steady_clock::now()) + cost;
        done = std::max(device.linkFree, due);
    }
    std::this_thread::sleep_until(done);
}

std::uint16_t FarmEmulator::registerService(EmuDevice& device, PendingService service)
{
    // The service is taken on its client's connection thread: its name gets data of its own,
    // so that the two threads share no string. Qt drops the last reference to a string held
    // in a QVariant inside its own library, where ThreadSanitizer cannot see the reference
    // count's ordering, and reports the other thread's release as a race.
    service.name = QString(service.name.constData(), service.name.size());
    std::lock_guard guard(device.lock);
    // Ports cycle through the dynamic range; a port still waiting for its client is skipped.
    std::uint16_t port = device.nextPort;
    while (device.services.count(port))
        port = port == 65535 ? 49152 : std::uint16_t(port + 1);
    device.nextPort = port == 65535 ? 49152 : std::uint16_t(port + 1);
    device.services[port] = std::move(service);
    return port;
}

std::optional<PendingService> FarmEmulator::takeService(EmuDevice& device, std::uint16_t port)
{
    std::lock_guard guard(device.lock);
    const auto it = device.services.find(port);
    if (it == device.services.end())
        return std::nullopt;
    PendingService service = it->second;
    device.services.erase(it);
    return service;
}

MDError FarmEmulator::ensureSession(EmuDevice& device)
{
    if (const MDError error = m_sim->AMDeviceConnect(device.record))
        return error;
    return m_sim->AMDeviceStartSession(device.record);
}

QVariantMap FarmEmulator::attachedMessage(const EmuDevice& device)
{
    const QVariantMap properties {
        {QStringLiteral("ConnectionSpeed"), qint64(480000000)},
        {QStringLiteral("ConnectionType"), QStringLiteral("USB")},
        {QStringLiteral("DeviceID"), qint64(device.id)},
        {QStringLiteral("LocationID"), qint64(device.id)},
        {QStringLiteral("ProductID"), qint64(0x12a8)},
        {QStringLiteral("SerialNumber"), device.udid},
    };
    return {
        {QStringLiteral("MessageType"), QStringLiteral("Attached")},
        {QStringLiteral("DeviceID"), qint64(device.id)},
        {QStringLiteral("Properties"), properties},
    };
}

void FarmEmulator::onNotification(AMDeviceRef record, std::int32_t message)
{
    if (message == AMDeviceMessageConnected) {
        auto device = std::make_shared<EmuDevice>();
        device->udid = m_sim->AMDeviceCopyDeviceIdentifier(record);
        device->folder = QDir(m_options.farm).filePath(device->udid);
        device->record = record;
        {
            std::lock_guard guard(m_devicesLock);
            device->id = m_nextId++;
            m_devices[device->id] = device;
        }
        broadcast(attachedMessage(*device));
        return;
    }
    if (message != AMDeviceMessageDisconnected)
        return;
    std::shared_ptr<EmuDevice> gone;
    {
        std::lock_guard guard(m_devicesLock);
        for (auto it = m_devices.begin(); it != m_devices.end(); ++it) {
            if (it->second->record == record) {
                gone = it->second;
                m_devices.erase(it);
                break;
            }
        }
    }
    if (!gone)
        return;
    gone->alive = false;
    broadcast(
        {{QStringLiteral("MessageType"), QStringLiteral("Detached")}, {QStringLiteral("DeviceID"), qint64(gone->id)}});
    // The cable is pulled: every link to the device breaks, as on a real hub.
    std::lock_guard guard(m_connectionsLock);
    for (const auto& c : m_connections)
        if (c->device == gone)
            ::shutdown(c->fd, SHUT_RDWR);
}

void FarmEmulator::broadcast(const QVariantMap& message)
{
    std::vector<std::shared_ptr<Connection>> listeners;
    {
        std::lock_guard guard(m_connectionsLock);
        for (const auto& c : m_connections)
            if (c->listening)
                listeners.push_back(c);
    }
    for (const auto& c : listeners) {
        std::lock_guard write(c->writeLock);
        writeMuxMessage(c->fd, 0, message);
    }
}

}  // namespace kestrap::devicefarm
