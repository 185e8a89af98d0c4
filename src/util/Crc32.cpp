#include "util/Crc32.h"

#include <array>
#include <zlib.h>

namespace kestrap {

namespace {
constexpr std::uint32_t kStandardPolynomial = 0xEDB88320u;
constexpr std::uint32_t kStandardSeed = 0xFFFFFFFFu;

std::array<std::uint32_t, 256> tableFor(std::uint32_t polynomial)
{
    std::array<std::uint32_t, 256> table {};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? (c >> 1) ^ polynomial : c >> 1;
        table[i] = c;
    }
    return table;
}
}  // namespace

std::uint32_t crc32WithSeed(const QByteArray& data, std::uint32_t seed, std::uint32_t polynomial)
{
    if (seed == kStandardSeed && polynomial == kStandardPolynomial) {
        // zlib's slicing implementation computes exactly this register, several times faster.
        uLong crc = ::crc32(0L, Z_NULL, 0);
        const auto* p = reinterpret_cast<const Bytef*>(data.constData());
        qsizetype left = data.size();
        while (left > 0) {
            const uInt chunk = left > 0x40000000 ? 0x40000000u : uInt(left);
            crc = ::crc32(crc, p, chunk);
            p += chunk;
            left -= chunk;
        }
        return std::uint32_t(crc);
    }
    const auto table = tableFor(polynomial);
    std::uint32_t reg = seed;
    for (char ch : data)
        reg = (reg >> 8) ^ table[(reg ^ std::uint8_t(ch)) & 0xFFu];
    return reg ^ 0xFFFFFFFFu;
}

std::uint32_t crc32(const QByteArray& data)
{
    return crc32WithSeed(data, kStandardSeed, kStandardPolynomial);
}

std::uint32_t crc32WithSeed(const QByteArray& data, std::uint32_t seed)
{
    return crc32WithSeed(data, seed, kStandardPolynomial);
}

std::uint32_t crc32UsingPolynomial(const QByteArray& data, std::uint32_t polynomial)
{
    return crc32WithSeed(data, kStandardSeed, polynomial);
}

}  // namespace kestrap
