#include "tools/devicefarm/Wire.h"

#include "util/Plist.h"

#include <QtEndian>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace kestrap::devicefarm {

namespace {

// Waits for the socket to become readable until the deadline (none: for ever).
bool awaitReadable(int fd, std::optional<Clock::time_point> deadline)
{
    for (;;) {
        int wait = -1;
        if (deadline) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
            if (left <= 0)
                return false;
            wait = int(std::min<long long>(left, INT_MAX));
        }
        pollfd p {fd, POLLIN, 0};
        const int n = ::poll(&p, 1, wait);
        if (n < 0 && errno == EINTR)
            continue;
        return n > 0;
    }
}

}  // namespace

bool awaitRequest(int fd, std::chrono::milliseconds idle)
{
    return awaitReadable(fd, idle.count() < 0 ? std::nullopt : std::optional(Clock::now() + idle));
}

bool readFull(int fd, void* buffer, std::size_t count, Clock::time_point deadline)
{
    auto* p = static_cast<char*>(buffer);
    while (count > 0) {
        // What has come already is taken without a poll: a large write arrives in pieces.
        const ssize_t n = ::recv(fd, p, count, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!awaitReadable(fd, deadline))
                return false;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        count -= std::size_t(n);
    }
    return true;
}

bool writeFull(int fd, const void* buffer, std::size_t count)
{
    const auto* p = static_cast<const char*>(buffer);
    while (count > 0) {
        // A client that went away must not kill the emulator with SIGPIPE.
        const ssize_t n = ::send(fd, p, count, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        count -= std::size_t(n);
    }
    return true;
}

bool writeFull(int fd, const void* first, std::size_t firstCount, const void* second, std::size_t secondCount)
{
    iovec parts[2] = {{const_cast<void*>(first), firstCount}, {const_cast<void*>(second), secondCount}};
    iovec* part = parts;
    int left = secondCount ? 2 : 1;
    while (left > 0) {
        msghdr message {};
        message.msg_iov = part;
        message.msg_iovlen = std::size_t(left);
        const ssize_t n = ::sendmsg(fd, &message, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        auto sent = std::size_t(n);
        while (left > 0 && sent >= part->iov_len) {
            sent -= part->iov_len;
            ++part;
            --left;
        }
        if (left > 0) {
            part->iov_base = static_cast<char*>(part->iov_base) + sent;
            part->iov_len -= sent;
        }
    }
    return true;
}

namespace {

std::optional<QVariantMap> parseDictionary(const QByteArray& bytes)
{
    const auto value = plist::parse(bytes);
    if (!value || value->typeId() != QMetaType::QVariantMap)
        return std::nullopt;
    return value->toMap();
}

}  // namespace

std::optional<MuxMessage> readMuxMessage(int fd, const ReadTimeouts& timeouts)
{
    if (!awaitRequest(fd, timeouts.idle))
        return std::nullopt;
    const auto deadline = Clock::now() + timeouts.frame;
    std::uint32_t header[4];
    if (!readFull(fd, header, sizeof header, deadline))
        return std::nullopt;
    const std::uint32_t length = qFromLittleEndian(header[0]);
    if (length < sizeof header || length - sizeof header > kMaxPlistFrame)
        return std::nullopt;
    QByteArray body(qsizetype(length - sizeof header), Qt::Uninitialized);
    if (!readFull(fd, body.data(), std::size_t(body.size()), deadline))
        return std::nullopt;
    MuxMessage m;
    m.version = qFromLittleEndian(header[1]);
    m.message = qFromLittleEndian(header[2]);
    m.tag = qFromLittleEndian(header[3]);
    // Only the property-list protocol is spoken; the old binary one is refused by closing.
    if (m.version != kMuxVersionPlist || m.message != kMuxMessagePlist)
        return std::nullopt;
    auto payload = parseDictionary(body);
    if (!payload)
        return std::nullopt;
    m.payload = std::move(*payload);
    return m;
}

QByteArray muxFrame(std::uint32_t tag, const QVariantMap& payload)
{
    const auto body = plist::toXml(payload);
    if (!body)
        return {};
    QByteArray frame(16, Qt::Uninitialized);
    const std::uint32_t header[4] = {qToLittleEndian(std::uint32_t(16 + body->size())),
        qToLittleEndian(kMuxVersionPlist), qToLittleEndian(kMuxMessagePlist), qToLittleEndian(tag)};
    std::memcpy(frame.data(), header, sizeof header);
    frame += *body;
    return frame;
}

bool writeMuxMessage(int fd, std::uint32_t tag, const QVariantMap& payload)
{
    const QByteArray frame = muxFrame(tag, payload);
    return !frame.isEmpty() && writeFull(fd, frame.constData(), std::size_t(frame.size()));
}

std::optional<QVariantMap> readPlistFrame(int fd, const ReadTimeouts& timeouts)
{
    if (!awaitRequest(fd, timeouts.idle))
        return std::nullopt;
    const auto deadline = Clock::now() + timeouts.frame;
    std::uint32_t length = 0;
    if (!readFull(fd, &length, sizeof length, deadline))
        return std::nullopt;
    length = qFromBigEndian(length);
    if (length == 0 || length > kMaxPlistFrame)
        return std::nullopt;
    QByteArray body(qsizetype(length), Qt::Uninitialized);
    if (!readFull(fd, body.data(), length, deadline))
        return std::nullopt;
    return parseDictionary(body);
}

bool writePlistFrame(int fd, const QVariantMap& payload)
{
    const auto body = plist::toXml(payload);
    if (!body)
        return false;
    const std::uint32_t length = qToBigEndian(std::uint32_t(body->size()));
    QByteArray frame(reinterpret_cast<const char*>(&length), sizeof length);
    frame += *body;
    return writeFull(fd, frame.constData(), std::size_t(frame.size()));
}

}  // namespace kestrap::devicefarm
