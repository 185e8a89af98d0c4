#pragma once

#include <QByteArray>
#include <QVariant>
#include <cstddef>
#include <cstdint>
#include <optional>

// Byte-level framing of the protocols the emulator speaks, on a blocking socket:
// - usbmuxd: a 16-byte little-endian header (total length, version, message, tag) and a
//   property list;
// - lockdown and the services built like it (house arrest, installation proxy): a 4-byte
//   big-endian length and a property list.
// Every read is bounded: a peer announcing more than the limit is cut off, never trusted.
namespace kestrap::devicefarm {

// Largest property list the emulator accepts in one frame. Requests of the services it
// serves are a few hundred bytes; anything past this is a broken or hostile peer.
constexpr std::uint32_t kMaxPlistFrame = 1u << 20;

bool readFull(int fd, void* buffer, std::size_t count);
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
std::optional<MuxMessage> readMuxMessage(int fd);
bool writeMuxMessage(int fd, std::uint32_t tag, const QVariantMap& payload);

std::optional<QVariantMap> readPlistFrame(int fd);
bool writePlistFrame(int fd, const QVariantMap& payload);

}  // namespace kestrap::devicefarm
