// What the libimobiledevice backend tells of a device beyond its lockdown values: where it is
// plugged in, its name before it trusts this computer, and who waits for trust.

#include "device/ios/imd/ImdErrors.h"
#include "device/ios/imd/ImdMobileDeviceService.h"
#include "device/ios/imd/ImdState.h"
#include "device/ios/imd/ImdSubscription.h"
#include "util/Plist.h"

#include <QtEndian>
#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace kestrap::imd {

namespace {

// usbmuxd's socket as libusbmuxd finds it: USBMUXD_SOCKET_ADDRESS "UNIX:/path", else the
// system's. A TCP address (usbmuxd on another machine) gives none: its places are not ours.
QByteArray usbmuxdSocketPath()
{
    const QByteArray address = qgetenv("USBMUXD_SOCKET_ADDRESS");
    if (address.isEmpty())
        return QByteArrayLiteral("/var/run/usbmuxd");
    if (address.startsWith("UNIX:"))
        return address.mid(5);
    return {};
}

// Waits at most this long for usbmuxd; it answers a list at once.
constexpr int kListTimeoutMs = 2000;

bool exchange(int fd, const QByteArray& out, QByteArray* in)
{
    if (::send(fd, out.constData(), size_t(out.size()), MSG_NOSIGNAL) != out.size())
        return false;
    QByteArray received;
    std::uint32_t wanted = 16;
    while (std::uint32_t(received.size()) < wanted) {
        pollfd p {fd, POLLIN, 0};
        if (::poll(&p, 1, kListTimeoutMs) <= 0)
            return false;
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return false;
        received.append(buffer, n);
        if (received.size() >= 16)
            wanted = qFromLittleEndian<std::uint32_t>(received.constData());
        if (wanted < 16 || wanted > 16 * 1024 * 1024)
            return false;
    }
    *in = received.mid(16, wanted - 16);
    return true;
}

// The "LocationID" of an attachment, from one ListDevices of usbmuxd's plist protocol (a
// 16-byte little-endian header: length, version 1, message 8, tag); 0 when usbmuxd does not
// tell.
std::uint32_t usbmuxdLocation(const QString& udid)
{
    const QByteArray path = usbmuxdSocketPath();
    sockaddr_un address {};
    if (path.isEmpty() || size_t(path.size()) >= sizeof address.sun_path)
        return 0;
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, path.constData(), size_t(path.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    const auto body = plist::toXml(QVariantMap {
        {QStringLiteral("MessageType"), QStringLiteral("ListDevices")},
        {QStringLiteral("ClientVersionString"), QStringLiteral("kestrap")},
        {QStringLiteral("ProgName"), QStringLiteral("kestrap")},
    });
    QByteArray request(16, '\0');
    qToLittleEndian<std::uint32_t>(std::uint32_t(16 + body->size()), request.data());
    qToLittleEndian<std::uint32_t>(1, request.data() + 4);
    qToLittleEndian<std::uint32_t>(8, request.data() + 8);
    qToLittleEndian<std::uint32_t>(1, request.data() + 12);
    request += *body;
    QByteArray reply;
    const bool answered = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0
        && exchange(fd, request, &reply);
    ::close(fd);
    const auto parsed = answered ? plist::parse(reply) : std::nullopt;
    if (!parsed)
        return 0;
    for (const QVariant& entry : parsed->toMap().value(QStringLiteral("DeviceList")).toList()) {
        const QVariantMap properties = entry.toMap().value(QStringLiteral("Properties")).toMap();
        if (properties.value(QStringLiteral("SerialNumber")).toString() == udid
            && properties.value(QStringLiteral("ConnectionType")).toString() == QLatin1String("USB"))
            return std::uint32_t(properties.value(QStringLiteral("LocationID")).toLongLong());
    }
    return 0;
}

}  // namespace

void ImdMobileDeviceService::learnLocation(ImdRecord& record)
{
    const std::uint32_t location = usbmuxdLocation(record.udid);
    std::lock_guard guard(m_devicesLock);
    record.location = location;
}

std::uint32_t ImdMobileDeviceService::AMDeviceUSBLocationID(AMDeviceRef device)
{
    std::lock_guard guard(m_devicesLock);
    const auto it = m_records.find(device);
    return it == m_records.end() ? 0 : it->second->location;
}

void ImdMobileDeviceService::learnNameBeforeTrust(ImdRecord& record)
{
    QString name;
    {
        std::lock_guard guard(record.lock);
        if (!record.device)
            return;
        // A plain link without a session: a device answers a few values of itself on it,
        // its name among them, to any host.
        lockdownd_client_t client = nullptr;
        if (lockdownd_client_new(record.device.get(), &client, "kestrap") != LOCKDOWN_E_SUCCESS)
            return;
        LockdownPtr owner(client);
        plist_t node = nullptr;
        if (lockdownd_get_value(client, nullptr, "DeviceName", &node) == LOCKDOWN_E_SUCCESS) {
            PlistPtr value(node);
            name = toVariant(node).toString();
        }
    }
    if (name.isEmpty())
        return;
    std::lock_guard guard(m_devicesLock);
    record.nameBeforeTrust = name;
}

MDError ImdMobileDeviceService::AMDeviceNotReadySubscribe(
    std::function<void()> changed, AMDeviceNotificationRef* notification)
{
    if (!changed || !notification)
        return AMDInvalidArgumentError;
    auto* watch = new ImdNotReadyWatch(this, std::move(changed));
    std::lock_guard guard(m_subscriptionsLock);
    *notification = m_nextSubscription++;
    m_notReadyWatches[*notification] = watch;
    // Devices waiting already are told from the event loop, as the subscriber expects.
    watch->post();
    return MDSuccess;
}

MDError ImdMobileDeviceService::AMDeviceNotReadyUnsubscribe(AMDeviceNotificationRef notification)
{
    ImdNotReadyWatch* watch = nullptr;
    {
        std::lock_guard guard(m_subscriptionsLock);
        const auto it = m_notReadyWatches.find(notification);
        if (it == m_notReadyWatches.end())
            return AMDInvalidArgumentError;
        watch = it->second;
        m_notReadyWatches.erase(it);
    }
    watch->cancel();
    return MDSuccess;
}

}  // namespace kestrap::imd
