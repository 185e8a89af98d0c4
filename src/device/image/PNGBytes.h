#pragma once

#include <cstddef>
#include <cstdint>

// Byte-level tools of the PNG normaliser: zlib streams, chunk CRCs and big-endian numbers.
// All are pure functions over caller-owned memory and safe to call from any thread.
namespace kestrap {

// Inflates a raw deflate stream (no zlib wrapper) in one pass into destination, writing at
// most capacity bytes. Answers the number of bytes written. A damaged or short stream is not
// an error here: whatever came out before the damage is kept and counted.
std::size_t inflateData(
    const std::uint8_t* source, std::size_t length, std::uint8_t* destination, std::size_t capacity);

// The capacity deflateData needs so that any input of length bytes fits.
std::size_t deflateCapacity(std::size_t length);

// Compresses source into a zlib stream (with its wrapper) in one pass at the given zlib level
// (-1 is zlib's default). Answers the compressed length, or 0 when the result does not fit in
// capacity; it never writes past capacity.
std::size_t deflateData(
    const std::uint8_t* source, std::size_t length, std::uint8_t* destination, std::size_t capacity, int level = -1);

// The CRC-32 of PNG chunks, fed piecewise. The register starts at 0 (the CRC of no bytes) and
// after each call holds the CRC-32 of everything fed so far.
std::uint32_t updateCRC32(std::uint32_t crc, std::uint8_t byte);
// Feeds the four bytes of value in the order they lie in memory.
std::uint32_t updateCRC32Uint32(std::uint32_t crc, std::uint32_t value);
std::uint32_t updateCRC32Bytes(std::uint32_t crc, const std::uint8_t* bytes, std::size_t length);

// A big-endian 32-bit number at p; the caller guarantees four readable bytes.
std::uint32_t peekUint32(const std::uint8_t* p);
// The same, moving p past it.
std::uint32_t nextUint32(const std::uint8_t*& p);
// Writes value big-endian at p.
void putUint32(std::uint8_t* p, std::uint32_t value);

}  // namespace kestrap
