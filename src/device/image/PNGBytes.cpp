#include "device/image/PNGBytes.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <zlib.h>

namespace kestrap {

namespace {
// zlib counts in uInt; larger buffers go through in slices.
constexpr std::size_t kMaxSlice = UINT_MAX;
}  // namespace

std::size_t inflateData(const std::uint8_t* source, std::size_t length, std::uint8_t* destination, std::size_t capacity)
{
    z_stream zs {};
    // The largest window accepts every raw stream; written in one pass into the whole image
    // buffer, the window size does not change what comes out.
    if (inflateInit2(&zs, -MAX_WBITS) != Z_OK)
        return 0;
    zs.next_out = destination;
    std::size_t inLeft = length;
    std::size_t outLeft = capacity;
    int rc = Z_OK;
    while (rc == Z_OK) {
        if (zs.avail_in == 0 && inLeft > 0) {
            zs.next_in = const_cast<Bytef*>(source + (length - inLeft));
            zs.avail_in = uInt(std::min(inLeft, kMaxSlice));
            inLeft -= zs.avail_in;
        }
        if (zs.avail_out == 0 && outLeft > 0) {
            zs.avail_out = uInt(std::min(outLeft, kMaxSlice));
            outLeft -= zs.avail_out;
        }
        if (zs.avail_in == 0 || zs.avail_out == 0)
            break;
        rc = inflate(&zs, Z_SYNC_FLUSH);
    }
    const std::size_t produced = std::size_t(zs.next_out - destination);
    inflateEnd(&zs);
    return produced;
}

std::size_t deflateCapacity(std::size_t length)
{
    // compressBound answers for one-pass compression at any level with the default window.
    return std::size_t(compressBound(uLong(length)));
}

std::size_t deflateData(
    const std::uint8_t* source, std::size_t length, std::uint8_t* destination, std::size_t capacity, int level)
{
    if (length > kMaxSlice || capacity == 0)
        return 0;
    uLongf outLength = uLongf(std::min(capacity, std::size_t(kMaxSlice)));
    if (compress2(destination, &outLength, source, uLong(length), level) != Z_OK)
        return 0;
    return std::size_t(outLength);
}

std::uint32_t updateCRC32(std::uint32_t crc, std::uint8_t byte)
{
    return std::uint32_t(crc32(crc, &byte, 1));
}

std::uint32_t updateCRC32Uint32(std::uint32_t crc, std::uint32_t value)
{
    std::uint8_t bytes[4];
    std::memcpy(bytes, &value, 4);
    return std::uint32_t(crc32(crc, bytes, 4));
}

std::uint32_t updateCRC32Bytes(std::uint32_t crc, const std::uint8_t* bytes, std::size_t length)
{
    while (length > 0) {
        const std::size_t slice = std::min(length, kMaxSlice);
        crc = std::uint32_t(crc32(crc, bytes, uInt(slice)));
        bytes += slice;
        length -= slice;
    }
    return crc;
}

std::uint32_t peekUint32(const std::uint8_t* p)
{
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | std::uint32_t(p[3]);
}

std::uint32_t nextUint32(const std::uint8_t*& p)
{
    const std::uint32_t v = peekUint32(p);
    p += 4;
    return v;
}

void putUint32(std::uint8_t* p, std::uint32_t value)
{
    p[0] = std::uint8_t(value >> 24);
    p[1] = std::uint8_t(value >> 16);
    p[2] = std::uint8_t(value >> 8);
    p[3] = std::uint8_t(value);
}

}  // namespace kestrap
