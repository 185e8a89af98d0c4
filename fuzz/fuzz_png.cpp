// Any bytes through the PNG normaliser: nothing may crash or read or write out of bounds, and
// whatever it converts must come out as well-formed, standard PNG.

#include "device/image/PNGBytes.h"
#include "device/image/PNGNormalizer.h"

#include <cstdlib>
#include <cstring>

using namespace kestrap;

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

void checkWellFormed(const QByteArray& png)
{
    const auto* base = reinterpret_cast<const std::uint8_t*>(png.constData());
    const qsizetype size = png.size();
    check(size >= 8 && std::memcmp(base, "\x89PNG\r\n\x1a\n", 8) == 0);
    int idats = 0;
    qsizetype pos = 8;
    // Every chunk written must be complete, with a correct CRC: the output ends where the
    // input's walk ended, never in the middle of a chunk.
    while (pos < size) {
        check(size - pos >= 12);
        const std::uint32_t length = peekUint32(base + pos);
        check(std::uint64_t(length) <= std::uint64_t(size - pos - 12));
        check(std::memcmp(base + pos + 4, "CgBI", 4) != 0);
        idats += std::memcmp(base + pos + 4, "IDAT", 4) == 0;
        check(updateCRC32Bytes(0, base + pos + 4, 4 + length) == peekUint32(base + pos + 8 + length)
            || std::memcmp(base + pos + 4, "IDAT", 4) != 0);
        pos += 12 + qsizetype(length);
    }
    check(idats <= 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray input = QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
    const PNGConversion result = PNGNormalizer::convert(input);
    switch (result.kind) {
    case PNGKind::NotPNG:
        check(!PNGNormalizer::dataFromPNGData(input));
        break;
    case PNGKind::Standard:
    case PNGKind::Unsupported:
        check(result.data == input);
        break;
    case PNGKind::Converted:
        checkWellFormed(result.data);
        check(PNGNormalizer::convert(result.data).kind != PNGKind::Converted);
        break;
    }
    return 0;
}
