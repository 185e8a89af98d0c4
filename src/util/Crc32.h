#pragma once

#include <QByteArray>
#include <cstdint>

namespace kestrap {

// The reflected CRC-32 of zlib, PNG and ISO-HDLC: polynomial 0xEDB88320, initial register
// 0xFFFFFFFF, final XOR 0xFFFFFFFF. crc32 of "123456789" is 0xCBF43926; of no bytes, 0.
std::uint32_t crc32(const QByteArray& data);

// The same computation with another initial register (used unchanged) and/or another
// reflected polynomial; the final XOR stays 0xFFFFFFFF.
std::uint32_t crc32WithSeed(const QByteArray& data, std::uint32_t seed);
std::uint32_t crc32UsingPolynomial(const QByteArray& data, std::uint32_t polynomial);
std::uint32_t crc32WithSeed(const QByteArray& data, std::uint32_t seed, std::uint32_t polynomial);

}  // namespace kestrap
