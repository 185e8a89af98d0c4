#include "tools/devicefarm/Wire.h"

#include "util/Plist.h"

#include <QtEndian>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace kestrap::devicefarm {

namespace {

// Waits for the socket to become readable (or, with POLLOUT, writable) until the deadline
// (none: for ever).
bool awaitSocket(int fd, std::optional<Clock::time_point> deadline, short events = POLLIN)
{
    for (;;) {
        int wait = -1;
        if (deadline) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
            if (left <= 0)
                return false;
            wait = int(std::min<long long>(left, INT_MAX));
        }
        pollfd p {fd, events, 0};
        const int n = ::poll(&p, 1, wait);
        if (n < 0 && errno == EINTR)
            continue;
        return n > 0;
    }
}

// How long a write may wait for the peer to take bytes: the socket's own send timeout, which
// the emulator sets on every connection, so that a TLS link is held to the same bound as a
// plain one.
Clock::time_point sendDeadline(int fd)
{
    timeval wait {};
    socklen_t size = sizeof wait;
    if (::getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, &size) != 0 || (wait.tv_sec == 0 && wait.tv_usec == 0))
        return Clock::time_point::max();
    return Clock::now() + std::chrono::seconds(wait.tv_sec) + std::chrono::microseconds(wait.tv_usec);
}

void setNonBlocking(int fd, bool on)
{
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK);
}

// Waits for what TLS asked for after a call that could not finish; false when it did not come
// in time or the call failed for good.
bool awaitTls(SSL* ssl, int result, int fd, Clock::time_point deadline)
{
    switch (SSL_get_error(ssl, result)) {
    case SSL_ERROR_WANT_READ:
        return awaitSocket(fd, deadline == Clock::time_point::max() ? std::nullopt : std::optional(deadline));
    case SSL_ERROR_WANT_WRITE:
        return awaitSocket(fd, sendDeadline(fd), POLLOUT);
    default:
        // Nothing of this connection's errors may be left for the next TLS call of the thread.
        ERR_clear_error();
        return false;
    }
}

bool tlsRead(SSL* ssl, int fd, char* p, std::size_t count, Clock::time_point deadline)
{
    while (count > 0) {
        std::size_t n = 0;
        const int result = SSL_read_ex(ssl, p, count, &n);
        if (result == 1) {
            p += n;
            count -= n;
        } else if (!awaitTls(ssl, result, fd, deadline)) {
            return false;
        }
    }
    return true;
}

bool tlsWrite(SSL* ssl, int fd, const char* p, std::size_t count)
{
    while (count > 0) {
        std::size_t n = 0;
        const int result = SSL_write_ex(ssl, p, count, &n);
        if (result == 1) {
            p += n;
            count -= n;
        } else if (!awaitTls(ssl, result, fd, Clock::time_point::max())) {
            return false;
        }
    }
    return true;
}

}  // namespace

Link::~Link()
{
    dropTls();
}

void Link::dropTls()
{
    if (!m_ssl)
        return;
    SSL_free(m_ssl);
    m_ssl = nullptr;
    setNonBlocking(m_fd, false);
}

bool Link::startTls(SSL_CTX* context, Clock::time_point deadline)
{
    dropTls();
    m_ssl = SSL_new(context);
    if (!m_ssl || SSL_set_fd(m_ssl, m_fd) != 1) {
        dropTls();
        return false;
    }
    // Non-blocking underneath: a TLS record that comes in halves must not hold the thread past
    // its deadline, as a plain read never does.
    setNonBlocking(m_fd, true);
    for (;;) {
        const int result = SSL_accept(m_ssl);
        if (result == 1)
            return true;
        if (!awaitTls(m_ssl, result, m_fd, deadline)) {
            dropTls();
            return false;
        }
    }
}

bool Link::stopTls(Clock::time_point deadline)
{
    if (!m_ssl)
        return true;
    // libimobiledevice sends its close_notify as it leaves the session and never reads ours:
    // ours would reach it as the next plain-text frame. So exactly its alert is taken, and none
    // is sent; what follows the alert in the socket is plain text again.
    bool ok = false;
    for (;;) {
        char byte = 0;
        std::size_t n = 0;
        const int result = SSL_read_ex(m_ssl, &byte, 1, &n);
        if (result == 1)
            break;  // data where the alert belongs: the peer is out of step
        const int error = SSL_get_error(m_ssl, result);
        if (error == SSL_ERROR_ZERO_RETURN) {
            ok = true;
            break;
        }
        if (error != SSL_ERROR_WANT_READ || !awaitSocket(m_fd, deadline))
            break;
    }
    ERR_clear_error();
    SSL_set_quiet_shutdown(m_ssl, 1);
    dropTls();
    return ok;
}

bool Link::hasPending() const
{
    return m_ssl && SSL_pending(m_ssl) > 0;
}

bool awaitRequest(Link& link, std::chrono::milliseconds idle)
{
    if (link.hasPending())
        return true;
    return awaitSocket(link.fd(), idle.count() < 0 ? std::nullopt : std::optional(Clock::now() + idle));
}

bool readFull(Link& link, void* buffer, std::size_t count, Clock::time_point deadline)
{
    auto* p = static_cast<char*>(buffer);
    if (link.encrypted())
        return tlsRead(link.tls(), link.fd(), p, count, deadline);
    const int fd = link.fd();
    while (count > 0) {
        // What has come already is taken without a poll: a large write arrives in pieces.
        const ssize_t n = ::recv(fd, p, count, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!awaitSocket(fd, deadline))
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

bool writeFull(Link& link, const void* buffer, std::size_t count)
{
    const auto* p = static_cast<const char*>(buffer);
    if (link.encrypted())
        return tlsWrite(link.tls(), link.fd(), p, count);
    const int fd = link.fd();
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

bool writeFull(Link& link, const void* first, std::size_t firstCount, const void* second, std::size_t secondCount)
{
    if (link.encrypted()) {
        // One record where it fits: an answer's header alone in a record of its own would
        // cost the peer a read more.
        if (firstCount + secondCount <= 16384) {
            char joined[16384];
            std::memcpy(joined, first, firstCount);
            if (secondCount)
                std::memcpy(joined + firstCount, second, secondCount);
            return writeFull(link, joined, firstCount + secondCount);
        }
        return writeFull(link, first, firstCount) && (!secondCount || writeFull(link, second, secondCount));
    }
    const int fd = link.fd();
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

std::optional<MuxMessage> readMuxMessage(Link& link, const ReadTimeouts& timeouts)
{
    if (!awaitRequest(link, timeouts.idle))
        return std::nullopt;
    const auto deadline = Clock::now() + timeouts.frame;
    std::uint32_t header[4];
    if (!readFull(link, header, sizeof header, deadline))
        return std::nullopt;
    const std::uint32_t length = qFromLittleEndian(header[0]);
    if (length < sizeof header || length - sizeof header > kMaxPlistFrame)
        return std::nullopt;
    QByteArray body(qsizetype(length - sizeof header), Qt::Uninitialized);
    if (!readFull(link, body.data(), std::size_t(body.size()), deadline))
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

bool writeMuxMessage(Link& link, std::uint32_t tag, const QVariantMap& payload)
{
    const QByteArray frame = muxFrame(tag, payload);
    return !frame.isEmpty() && writeFull(link, frame.constData(), std::size_t(frame.size()));
}

std::optional<QVariantMap> readPlistFrame(Link& link, const ReadTimeouts& timeouts)
{
    if (!awaitRequest(link, timeouts.idle))
        return std::nullopt;
    const auto deadline = Clock::now() + timeouts.frame;
    std::uint32_t length = 0;
    if (!readFull(link, &length, sizeof length, deadline))
        return std::nullopt;
    length = qFromBigEndian(length);
    if (length == 0 || length > kMaxPlistFrame)
        return std::nullopt;
    QByteArray body(qsizetype(length), Qt::Uninitialized);
    if (!readFull(link, body.data(), length, deadline))
        return std::nullopt;
    return parseDictionary(body);
}

bool writePlistFrame(Link& link, const QVariantMap& payload)
{
    const auto body = plist::toXml(payload);
    if (!body)
        return false;
    const std::uint32_t length = qToBigEndian(std::uint32_t(body->size()));
    QByteArray frame(reinterpret_cast<const char*>(&length), sizeof length);
    frame += *body;
    return writeFull(link, frame.constData(), std::size_t(frame.size()));
}

}  // namespace kestrap::devicefarm
