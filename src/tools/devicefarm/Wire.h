#pragma once

#include <QByteArray>
#include <QVariant>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

// Byte-level framing of the protocols the emulator speaks, on a blocking socket:
// - usbmuxd: a 16-byte little-endian header (total length, version, message, tag) and a
//   property list;
// - lockdown and the services built like it (house arrest, installation proxy): a 4-byte
//   big-endian length and a property list.
// Every read is bounded: a peer announcing more than the limit is cut off, never trusted, and
// so is one that stops in the middle of a frame.
namespace kestrap::devicefarm {

// Largest property list the emulator accepts in one frame. Requests of the services it
// serves are a few hundred bytes; anything past this is a broken or hostile peer.
constexpr std::uint32_t kMaxPlistFrame = 1u << 20;

using Clock = std::chrono::steady_clock;

// How long a peer may keep a connection's thread waiting for a request.
struct ReadTimeouts {
    std::chrono::milliseconds idle {-1};  // for its first byte; negative: for ever
    std::chrono::milliseconds frame {30000};  // for the rest, from its first byte
};

// One end of a connection as the protocols see it: a socket, in plain text or, once a
// lockdown session has switched it, TLS over that socket. Every read and write of the
// emulator goes through one, so the switch is made here and nowhere else. The thread serving
// the connection alone uses it; it never closes the descriptor.
class Link {
public:
    explicit Link(int fd) : m_fd(fd) { }
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    int fd() const { return m_fd; }
    bool encrypted() const { return m_ssl != nullptr; }
    SSL* tls() const { return m_ssl; }  // null in plain text
    // Takes the TLS handshake as the server, with the context's certificate and key; false
    // when the peer did not complete it by the deadline, after which the link is unusable.
    bool startTls(SSL_CTX* context, Clock::time_point deadline);
    // Back to plain text, as a device does at StopSession: the peer's close_notify is taken
    // and none is sent, then the next frame is in the clear. False when the peer's did not come
    // by the deadline, or something else came in its place.
    bool stopTls(Clock::time_point deadline);
    // Bytes TLS has decrypted already and not handed out: the peer need not send anything
    // more for a read to go on.
    bool hasPending() const;

private:
    void dropTls();

    const int m_fd;
    SSL* m_ssl = nullptr;
};

// Waits until the peer sends (or closes); false when `idle` passed first (negative: for ever).
bool awaitRequest(Link& link, std::chrono::milliseconds idle);
// False when the peer closed, failed or had not sent `count` bytes by the deadline.
bool readFull(Link& link, void* buffer, std::size_t count, Clock::time_point deadline);
bool writeFull(Link& link, const void* buffer, std::size_t count);
// Both buffers, in one system call where the socket takes them: a request's answer is
// its header and its data.
bool writeFull(Link& link, const void* first, std::size_t firstCount, const void* second, std::size_t secondCount);

struct MuxMessage {
    std::uint32_t version = 0;
    std::uint32_t message = 0;
    std::uint32_t tag = 0;
    QVariantMap payload;
};

constexpr std::uint32_t kMuxVersionPlist = 1;
constexpr std::uint32_t kMuxMessagePlist = 8;

// Nothing when the peer closed, sent a frame out of bounds or a payload that is no dictionary.
// Nothing too when the frame did not come in time.
std::optional<MuxMessage> readMuxMessage(Link& link, const ReadTimeouts& timeouts);
// The message as it goes on the wire; empty when the payload cannot be serialised.
QByteArray muxFrame(std::uint32_t tag, const QVariantMap& payload);
bool writeMuxMessage(Link& link, std::uint32_t tag, const QVariantMap& payload);

std::optional<QVariantMap> readPlistFrame(Link& link, const ReadTimeouts& timeouts);
bool writePlistFrame(Link& link, const QVariantMap& payload);

}  // namespace kestrap::devicefarm
