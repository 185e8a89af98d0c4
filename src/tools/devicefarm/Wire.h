#pragma once

#include <QByteArray>
#include <QVariant>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

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

// Waits until the peer sends (or closes); false when `idle` passed first (negative: for ever).
bool awaitRequest(int fd, std::chrono::milliseconds idle);
// False when the peer closed, failed or had not sent `count` bytes by the deadline.
bool readFull(int fd, void* buffer, std::size_t count, Clock::time_point deadline);
bool writeFull(int fd, const void* buffer, std::size_t count);
// Both buffers, in one system call where the socket takes them: a request's answer is
// its header and its data.
bool writeFull(int fd, const void* first, std::size_t firstCount, const void* second, std::size_t secondCount);

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
std::optional<MuxMessage> readMuxMessage(int fd, const ReadTimeouts& timeouts);
// The message as it goes on the wire; empty when the payload cannot be serialised.
QByteArray muxFrame(std::uint32_t tag, const QVariantMap& payload);
bool writeMuxMessage(int fd, std::uint32_t tag, const QVariantMap& payload);

std::optional<QVariantMap> readPlistFrame(int fd, const ReadTimeouts& timeouts);
bool writePlistFrame(int fd, const QVariantMap& payload);

}  // namespace kestrap::devicefarm
