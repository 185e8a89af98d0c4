#pragma once

#include "tools/devicefarm/Wire.h"
#include "util/Plist.h"

#include <QFile>
#include <QtEndian>
#include <cstring>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

// A usbmuxd client on raw sockets, for tests that must misbehave where libusbmuxd would not.
namespace muxclient {

inline int connectTo(const QString& path)
{
    const QByteArray bytes = QFile::encodeName(path);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, bytes.constData(), std::size_t(bytes.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

inline QByteArray request(const QString& type, QVariantMap fields = {}, std::uint32_t tag = 1)
{
    fields.insert(QStringLiteral("MessageType"), type);
    return kestrap::devicefarm::muxFrame(tag, fields);
}

inline bool send(int fd, const QByteArray& bytes)
{
    return ::send(fd, bytes.constData(), std::size_t(bytes.size()), MSG_NOSIGNAL) == bytes.size();
}

// Whether the emulator closed the connection within the time, taking what it sent before.
inline bool closedWithin(int fd, int ms)
{
    char sink[4096];
    for (;;) {
        pollfd p {fd, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0)
            return false;
        const ssize_t n = ::recv(fd, sink, sizeof sink, 0);
        if (n <= 0)
            return true;
    }
}

// The next message, or nothing when none came whole within the time.
inline std::optional<QVariantMap> read(int fd, int ms)
{
    const auto deadline = kestrap::devicefarm::Clock::now() + std::chrono::milliseconds(ms);
    kestrap::devicefarm::Link link(fd);
    std::uint32_t header[4];
    if (!kestrap::devicefarm::readFull(link, header, sizeof header, deadline))
        return std::nullopt;
    QByteArray body(qsizetype(qFromLittleEndian(header[0]) - sizeof header), Qt::Uninitialized);
    if (!kestrap::devicefarm::readFull(link, body.data(), std::size_t(body.size()), deadline))
        return std::nullopt;
    const auto value = kestrap::plist::parse(body);
    return value ? std::optional(value->toMap()) : std::nullopt;
}

}  // namespace muxclient
