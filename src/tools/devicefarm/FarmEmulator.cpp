#include "tools/devicefarm/FarmEmulator.h"

#include "device/ios/sim/SimFarm.h"
#include "device/ios/sim/SimMobileDeviceService.h"

#include "tools/devicefarm/Wire.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace kestrap::devicefarm {

namespace {

constexpr std::uint16_t kFirstDynamicPort = 49152;
constexpr int kDynamicPorts = 65536 - kFirstDynamicPort;

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

// What may be at the socket path: nothing, a socket file an emulator that was killed left
// (it answers no connection and may go), or anything else, which is not ours to remove.
enum class SocketPath { Free, Stale, Taken };

SocketPath inspectSocketPath(const sockaddr_un& address, QString* what)
{
    struct stat st { };
    if (::lstat(address.sun_path, &st) != 0)
        return errno == ENOENT ? SocketPath::Free
                               : (*what = QString::fromLocal8Bit(strerror(errno)), SocketPath::Taken);
    if (!S_ISSOCK(st.st_mode)) {
        *what = QStringLiteral("it is not a socket");
        return SocketPath::Taken;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *what = QString::fromLocal8Bit(strerror(errno));
        return SocketPath::Taken;
    }
    const bool answered = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    const int err = errno;
    ::close(fd);
    if (answered)
        *what = QStringLiteral("something listens on it already");
    // Only a refused connection says nobody listens; a full backlog or a denied one does not.
    else if (err != ECONNREFUSED)
        *what = QString::fromLocal8Bit(strerror(err));
    else
        return SocketPath::Stale;
    return SocketPath::Taken;
}

Client peerOf(int fd)
{
    ucred credentials {};
    socklen_t size = sizeof credentials;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0)
        return {};
    return {credentials.pid, credentials.uid};
}

// Moves the services whose client did not come in time out of the device's table.
void takeExpired(EmuDevice& device, std::chrono::steady_clock::time_point now, std::vector<PendingService>* expired)
{
    for (auto it = device.services.begin(); it != device.services.end();) {
        if (it->second.expires > now) {
            ++it;
            continue;
        }
        expired->push_back(std::move(it->second));
        it = device.services.erase(it);
    }
}

// A random port of the dynamic range that no service of the device waits on: a client
// cannot guess another's. The table holds at most a quarter of the range, so a few draws do.
std::uint16_t freePort(const std::map<std::uint16_t, PendingService>& services)
{
    auto* random = QRandomGenerator::system();
    auto port = std::uint16_t(kFirstDynamicPort + random->bounded(kDynamicPorts));
    for (int tries = 0; services.count(port) && tries < 64; ++tries)
        port = std::uint16_t(kFirstDynamicPort + random->bounded(kDynamicPorts));
    while (services.count(port))
        port = port == 65535 ? kFirstDynamicPort : std::uint16_t(port + 1);
    return port;
}

}  // namespace

// --- Connection ---------------------------------------------------------------------------

Connection::Connection(int fd, Client client) : m_fd(fd), m_link(fd), m_client(client) { }

Connection::~Connection()
{
    if (m_wake >= 0)
        ::close(m_wake);
}

void Connection::cut()
{
    std::lock_guard guard(m_lock);
    if (m_open)
        ::shutdown(m_fd, SHUT_RDWR);
}

void Connection::close()
{
    std::lock_guard guard(m_lock);
    if (m_open)
        ::close(m_fd);
    m_open = false;
    m_listening = false;
}

bool Connection::startListening(const QByteArray& first)
{
    std::lock_guard guard(m_lock);
    m_wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wake < 0)
        return false;
    // Copies, here and below: Qt shares an array's data between copies and counts its users
    // inside its own library, where ThreadSanitizer cannot see the count ordering one thread's
    // release before another's free. The outbox's bytes are only ever its own.
    m_outbox = QByteArray(first.constData(), first.size());
    m_listening = true;
    ::eventfd_write(m_wake, 1);
    return true;
}

bool Connection::listening() const
{
    std::lock_guard guard(m_lock);
    return m_listening;
}

void Connection::announce(const QByteArray& frame, std::size_t backlog)
{
    std::lock_guard guard(m_lock);
    if (!m_open || !m_listening)
        return;
    if (std::size_t(m_outbox.size() + frame.size()) > backlog) {
        // A listener that does not read would hold every announcement for ever; it loses its
        // link instead, as a usbmuxd client that stops reading does.
        ::shutdown(m_fd, SHUT_RDWR);
        m_listening = false;
        m_outbox = QByteArray();
        return;
    }
    m_outbox.append(frame.constData(), frame.size());
    ::eventfd_write(m_wake, 1);
}

void Connection::serveListener()
{
    for (;;) {
        pollfd events[2] = {{m_fd, POLLIN, 0}, {m_wake, POLLIN, 0}};
        if (::poll(events, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        // The peer closed, was cut off, or sent something: usbmuxd takes no request from a
        // listener.
        if (events[0].revents)
            return;
        if (!(events[1].revents & POLLIN))
            continue;
        eventfd_t ignored = 0;
        ::eventfd_read(m_wake, &ignored);
        QByteArray out;
        {
            std::lock_guard guard(m_lock);
            out.swap(m_outbox);
        }
        if (!out.isEmpty() && !writeFull(m_link, out.constData(), std::size_t(out.size())))
            return;
    }
}

// --- FarmEmulator -------------------------------------------------------------------------

FarmEmulator::FarmEmulator(EmulatorOptions options)
    : m_options(std::move(options))
    , m_sim(std::make_shared<sim::SimMobileDeviceService>(m_options.farm))
    , m_pairing(m_options.farm)
{
}

EmuDevice::EmuDevice(std::shared_ptr<MobileDeviceService> service, AMDeviceRef record)
    : service(std::move(service)), record(record)
{
    this->service->AMDeviceRetain(record);
}

EmuDevice::~EmuDevice()
{
    service->AMDeviceRelease(record);
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
    QString what;
    switch (inspectSocketPath(address, &what)) {
    case SocketPath::Free:
        break;
    case SocketPath::Stale:
        ::unlink(address.sun_path);
        break;
    case SocketPath::Taken:
        *error = QStringLiteral("Cannot listen on %1: %2.").arg(m_options.socketPath, what);
        return false;
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
    m_reserveFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    m_sim->AMDeviceNotificationSubscribe(
        [this](const AMDeviceNotificationInfo& info) { onNotification(info.device, info.message); }, &m_subscription);
    // The devices plugged in now are there before the first client can ask.
    m_sim->announceAttachedDevices();
    m_started = true;
    m_acceptThread = std::thread([this] { acceptLoop(); });
    return true;
}

bool FarmEmulator::stop(std::chrono::milliseconds grace)
{
    if (m_listenFd >= 0) {
        if (m_subscription)
            m_sim->AMDeviceNotificationUnsubscribe(m_subscription);
        m_subscription = 0;
        ::shutdown(m_listenFd, SHUT_RDWR);
        if (m_acceptThread.joinable())
            m_acceptThread.join();
        ::close(m_listenFd);
        m_listenFd = -1;
        if (m_reserveFd >= 0)
            ::close(m_reserveFd);
        m_reserveFd = -1;
        ::unlink(QFile::encodeName(m_options.socketPath).constData());
    }
    {
        std::lock_guard guard(m_connectionsLock);
        m_stopping = true;
        for (const auto& c : m_connections)
            c->cut();
    }
    // A device that stopped answering holds its clients' threads inside its calls: the
    // emulator going away pulls every cable, and they end.
    m_sim->unplugAll();
    std::unique_lock guard(m_connectionsLock);
    const auto done = [this] { return m_connections.empty(); };
    if (grace == std::chrono::milliseconds::max()) {
        m_connectionsDone.wait(guard, done);
        return true;
    }
    return m_connectionsDone.wait_for(guard, grace, done);
}

void FarmEmulator::acceptLoop()
{
    for (;;) {
        const int fd = acceptOne();
        if (fd == -2)
            return;  // the listening socket was shut down
        if (fd < 0)
            continue;
        // A peer that takes no byte of an answer for this long is gone.
        const auto frame = std::chrono::duration_cast<std::chrono::microseconds>(m_options.limits.frame);
        const timeval wait {time_t(frame.count() / 1000000), suseconds_t(frame.count() % 1000000)};
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
        auto connection = std::make_shared<Connection>(fd, peerOf(fd));
        {
            std::lock_guard guard(m_connectionsLock);
            if (m_stopping || m_connections.size() >= m_options.limits.connections) {
                ::close(fd);
                continue;
            }
            m_connections.insert(connection);
        }
        std::thread([this, connection] { serve(connection); }).detach();
    }
}

int FarmEmulator::acceptOne()
{
    const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0 || errno == EINTR || errno == ECONNABORTED)
        return fd;
    if (errno != EMFILE && errno != ENFILE)
        return -2;
    // Out of descriptors: the waiting connection is taken with the one held in reserve and
    // closed, so that its client hears no, rather than met again at once for ever.
    if (m_reserveFd >= 0) {
        ::close(m_reserveFd);
        const int refused = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (refused >= 0)
            ::close(refused);
        m_reserveFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
    if (m_reserveFd < 0) {
        // Another thread took the reserve's number: wait for connections to end.
        pollfd p {m_listenFd, 0, 0};
        ::poll(&p, 1, 100);
    }
    return -1;
}

void FarmEmulator::serve(std::shared_ptr<Connection> connection)
{
    serveMux(*this, connection);
    connection->close();
    std::lock_guard guard(m_connectionsLock);
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

bool FarmEmulator::listen(Connection& connection, const QByteArray& answer)
{
    // Under the devices' lock, which announcements are made under: each device is in the
    // first message or announced later, never both, never neither.
    std::lock_guard guard(m_devicesLock);
    QByteArray first = answer;
    for (const auto& [id, device] : m_devices)
        first += muxFrame(0, attachedMessage(*device));
    return connection.startListening(first);
}

void FarmEmulator::beginRequest()
{
    std::this_thread::sleep_until(requestDue());
}

std::chrono::steady_clock::time_point FarmEmulator::requestDue(std::chrono::steady_clock::time_point arrived)
{
    ++m_requests;
    return arrived + std::chrono::milliseconds(m_options.latencyMs);
}

void FarmEmulator::throttleWrite(EmuDevice& device, std::size_t bytes, std::chrono::steady_clock::time_point arrived,
    std::chrono::steady_clock::time_point due) const
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
        device.linkFree = std::max(device.linkFree, arrived) + cost;
        done = std::max(device.linkFree, due);
    }
    std::this_thread::sleep_until(done);
}

std::optional<std::uint16_t> FarmEmulator::registerService(EmuDevice& device, PendingService service)
{
    // The service is taken on its client's connection thread: its name gets data of its own,
    // so that the two threads share no string. Qt drops the last reference to a string held
    // in a QVariant inside its own library, where ThreadSanitizer cannot see the reference
    // count's ordering, and reports the other thread's release as a race.
    service.name = QString(service.name.constData(), service.name.size());
    const auto now = std::chrono::steady_clock::now();
    service.expires = now + m_options.limits.serviceWait;
    const std::size_t perDevice = std::min<std::size_t>(m_options.limits.servicesPerDevice, kDynamicPorts / 4);
    std::vector<PendingService> expired;
    std::optional<std::uint16_t> port;
    {
        std::lock_guard guard(device.lock);
        takeExpired(device, now, &expired);
        const auto clients = std::count_if(device.services.begin(), device.services.end(),
            [&](const auto& entry) { return entry.second.client == service.client; });
        if (std::size_t(clients) < m_options.limits.servicesPerClient && device.services.size() < perDevice) {
            port = freePort(device.services);
            device.services[*port] = std::move(service);
        } else {
            expired.push_back(std::move(service));
        }
    }
    release(std::move(expired));
    return port;
}

std::optional<PendingService> FarmEmulator::takeService(EmuDevice& device, std::uint16_t port, const Client& client)
{
    std::vector<PendingService> expired;
    std::optional<PendingService> taken;
    {
        std::lock_guard guard(device.lock);
        takeExpired(device, std::chrono::steady_clock::now(), &expired);
        const auto it = device.services.find(port);
        // Another client's service stays for its own client.
        if (it != device.services.end() && it->second.client == client) {
            taken = std::move(it->second);
            device.services.erase(it);
        }
    }
    release(std::move(expired));
    return taken;
}

void FarmEmulator::release(std::vector<PendingService> services)
{
    for (const PendingService& service : services) {
        // The simulated backend keeps a started service until its connection opens.
        AFCConnectionRef afc = nullptr;
        if (service.kind == PendingService::Afc && m_sim->AFCConnectionOpen(service.handle, 0, &afc) == MDSuccess)
            m_sim->AFCConnectionClose(afc);
    }
}

MDError FarmEmulator::ensureSession(EmuDevice& device)
{
    if (const MDError error = m_sim->AMDeviceConnect(device.record))
        return error;
    return m_sim->AMDeviceStartSession(device.record);
}

std::uint32_t FarmEmulator::locationOf(const EmuDevice& device)
{
    // A farm made before devices had places still gives each attachment one of its own.
    const std::uint32_t location = m_sim->AMDeviceUSBLocationID(device.record);
    return location ? location : std::uint32_t(device.id);
}

QVariantMap FarmEmulator::attachedMessage(const EmuDevice& device)
{
    const QVariantMap properties {
        {QStringLiteral("ConnectionSpeed"), qint64(480000000)},
        {QStringLiteral("ConnectionType"), QStringLiteral("USB")},
        {QStringLiteral("DeviceID"), qint64(device.id)},
        {QStringLiteral("LocationID"), qint64(locationOf(device))},
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
        auto device = std::make_shared<EmuDevice>(m_sim, record);
        device->udid = m_sim->AMDeviceCopyDeviceIdentifier(record);
        device->folder = QDir(m_options.farm).filePath(device->udid);
        // A user who tapped "Don't Trust" is asked again once the device is plugged in again;
        // a farm's devices present at the start keep the answer the farm holds.
        if (const auto plist = m_started ? sim::readDevicePlist(device->folder) : std::nullopt;
            plist && sim::trustAnswer(*plist) == sim::TrustAnswer::Denied)
            sim::setTrustAnswer(m_options.farm, device->udid, sim::TrustAnswer::Pending, nullptr);
        std::lock_guard guard(m_devicesLock);
        device->id = m_nextId++;
        m_devices[device->id] = device;
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
        if (!gone)
            return;
        gone->alive = false;
        broadcast({{QStringLiteral("MessageType"), QStringLiteral("Detached")},
            {QStringLiteral("DeviceID"), qint64(gone->id)}});
    }
    std::vector<PendingService> waiting;
    {
        std::lock_guard guard(gone->lock);
        for (auto& [port, service] : gone->services)
            waiting.push_back(std::move(service));
        gone->services.clear();
    }
    release(std::move(waiting));
    // The cable is pulled: every link to the device breaks, as on a real hub.
    std::lock_guard guard(m_connectionsLock);
    for (const auto& c : m_connections)
        if (c->device == gone)
            c->cut();
}

void FarmEmulator::broadcast(const QVariantMap& message)
{
    const QByteArray frame = muxFrame(0, message);
    std::lock_guard guard(m_connectionsLock);
    for (const auto& c : m_connections)
        c->announce(frame, m_options.limits.listenerBacklog);
}

}  // namespace kestrap::devicefarm
