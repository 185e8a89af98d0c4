#include "device/image/PNGNormalizer.h"

#include "device/image/PNGBytes.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace kestrap {

namespace {

constexpr std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
constexpr qsizetype kMinimumLength = 20;
// Length, type and CRC around each chunk's data.
constexpr qsizetype kChunkOverhead = 12;

// The largest image converted: 8192 x 8192 pixels. Device artwork and screens stay far below;
// the limit keeps a forged header from asking for gigabytes.
constexpr std::uint64_t kMaxRawImageSize = 8192ull * (1 + 4 * 8192ull);
// No deflate stream inflates to more than about 1032 times its own length (258-byte matches
// of two bits each), so data that stays below this cannot describe the image it claims.
constexpr std::uint64_t kMaxDeflateRatio = 1032;
constexpr std::uint64_t kDeflateSlack = 1024;

struct Chunk {
    qsizetype offset;  // of the length field
    std::uint32_t length;  // of the data
    char type[4];

    bool is(const char* t) const { return std::memcmp(type, t, 4) == 0; }
    qsizetype dataOffset() const { return offset + 8; }
    qsizetype size() const { return kChunkOverhead + qsizetype(length); }
};

const std::uint8_t* bytesOf(const QByteArray& data)
{
    return reinterpret_cast<const std::uint8_t*>(data.constData());
}

bool hasSignature(const QByteArray& data)
{
    return data.size() >= kMinimumLength && std::memcmp(data.constData(), kSignature, 8) == 0;
}

bool isDeviceOptimised(const QByteArray& data)
{
    return std::memcmp(data.constData() + 12, "CgBI", 4) == 0;
}

// The chunks from byte 8 up to and including "IEND". A chunk whose header or stated length
// runs past the end of the data ends the walk, so every listed chunk lies wholly inside data.
std::vector<Chunk> walkChunks(const QByteArray& data)
{
    std::vector<Chunk> chunks;
    const std::uint8_t* base = bytesOf(data);
    qsizetype pos = 8;
    while (data.size() - pos >= kChunkOverhead) {
        Chunk c {pos, peekUint32(base + pos), {}};
        if (std::uint64_t(c.length) > std::uint64_t(data.size() - pos - kChunkOverhead))
            break;
        std::memcpy(c.type, base + pos + 4, 4);
        chunks.push_back(c);
        pos += c.size();
        if (c.is("IEND"))
            break;
    }
    return chunks;
}

struct ImageHeader {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint64_t rawSize = 0;  // filter byte and 4 bytes a pixel, each row
};

// Checks that the header describes an image this code converts; answers why not otherwise.
QString readHeader(const QByteArray& data, const Chunk& ihdr, ImageHeader* header)
{
    if (ihdr.length != 13)
        return QStringLiteral("The image header is damaged.");
    const std::uint8_t* p = bytesOf(data) + ihdr.dataOffset();
    header->width = nextUint32(p);
    header->height = nextUint32(p);
    const int bitDepth = p[0];
    const int colourType = p[1];
    const int compression = p[2];
    const int filter = p[3];
    const int interlace = p[4];
    if (header->width == 0 || header->height == 0 || header->width > 0x7FFFFFFFu || header->height > 0x7FFFFFFFu)
        return QStringLiteral("The image size %1 x %2 is not valid.").arg(header->width).arg(header->height);
    if (bitDepth != 8 || colourType != 6)
        return QStringLiteral("Only 8-bit RGBA images can be converted (bit depth %1, colour type %2).")
            .arg(bitDepth)
            .arg(colourType);
    if (interlace != 0)
        return QStringLiteral("Interlaced images cannot be converted.");
    if (compression != 0 || filter != 0)
        return QStringLiteral("The image uses an unknown compression or filter method.");
    header->rawSize = std::uint64_t(header->height) * (1 + 4 * std::uint64_t(header->width));
    if (header->rawSize > kMaxRawImageSize)
        return QStringLiteral("The image is too large to convert (%1 x %2).").arg(header->width).arg(header->height);
    return {};
}

// Blue and red trade places in every pixel. The bytes are still filtered, which is fine: every
// PNG filter predicts a byte from the same channel of neighbouring pixels, so exchanging whole
// channels commutes with filtering.
void swapRedAndBlue(std::uint8_t* raw, const ImageHeader& h)
{
    const std::size_t stride = 1 + 4 * std::size_t(h.width);
    for (std::uint32_t row = 0; row < h.height; ++row) {
        std::uint8_t* p = raw + row * stride + 1;
        for (std::uint32_t x = 0; x < h.width; ++x, p += 4)
            std::swap(p[0], p[2]);
    }
}

// Appends one IDAT chunk holding the whole image, recompressed. Answers false only when zlib
// itself fails.
bool appendConvertedImage(
    QByteArray& out, const QByteArray& data, const std::vector<Chunk>& idats, const ImageHeader& header)
{
    // Device files split one stream over several IDAT chunks; it is only whole when joined.
    QByteArray joined;
    const std::uint8_t* stream = bytesOf(data) + idats.front().dataOffset();
    std::size_t streamLength = idats.front().length;
    if (idats.size() > 1) {
        std::size_t total = 0;
        for (const Chunk& c : idats)
            total += c.length;
        joined.reserve(qsizetype(total));
        for (const Chunk& c : idats)
            joined.append(data.constData() + c.dataOffset(), qsizetype(c.length));
        stream = bytesOf(joined);
        streamLength = std::size_t(joined.size());
    }

    const std::size_t rawSize = std::size_t(header.rawSize);
    auto work = std::make_unique_for_overwrite<std::uint8_t[]>(rawSize);
    const std::size_t produced = inflateData(stream, streamLength, work.get(), rawSize);
    // What a short or damaged stream left unfilled reads as filter "none", transparent black.
    std::memset(work.get() + produced, 0, rawSize - produced);
    swapRedAndBlue(work.get(), header);

    const std::size_t capacity = deflateCapacity(rawSize);
    const qsizetype start = out.size();
    out.resize(start + kChunkOverhead + qsizetype(capacity));
    auto* chunk = reinterpret_cast<std::uint8_t*>(out.data()) + start;
    const std::size_t length = deflateData(work.get(), rawSize, chunk + 8, capacity);
    if (length == 0) {
        out.resize(start);
        return false;
    }
    putUint32(chunk, std::uint32_t(length));
    std::memcpy(chunk + 4, "IDAT", 4);
    putUint32(chunk + 8 + length, updateCRC32Bytes(0, chunk + 4, 4 + length));
    out.resize(start + kChunkOverhead + qsizetype(length));
    return true;
}

PNGConversion unsupported(const QByteArray& data, const QString& reason)
{
    return {PNGKind::Unsupported, data, reason};
}

QByteArray readAll(const QString& path, qint64 limit, QString* error)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        if (error)
            *error = f.errorString();
        return {};
    }
    QByteArray bytes = limit < 0 ? f.readAll() : f.read(limit);
    if (f.error() != QFileDevice::NoError && error)
        *error = f.errorString();
    return bytes;
}

void setError(QString* error, const QString& text)
{
    if (error)
        *error = text;
}

}  // namespace

PNGConversion PNGNormalizer::convert(const QByteArray& data)
{
    if (!hasSignature(data))
        return {PNGKind::NotPNG, {}, QStringLiteral("The data is not PNG.")};
    if (!isDeviceOptimised(data))
        return {PNGKind::Standard, data, {}};

    const std::vector<Chunk> chunks = walkChunks(data);
    std::vector<Chunk> idats;
    const Chunk* ihdr = nullptr;
    for (const Chunk& c : chunks) {
        if (c.is("IDAT"))
            idats.push_back(c);
        else if (c.is("IHDR") && !ihdr && idats.empty())
            ihdr = &c;
    }

    ImageHeader header;
    if (!idats.empty()) {
        if (!ihdr)
            return unsupported(data, QStringLiteral("The image header is missing or follows the image data."));
        const QString why = readHeader(data, *ihdr, &header);
        if (!why.isEmpty())
            return unsupported(data, why);
        std::uint64_t streamLength = 0;
        for (const Chunk& c : idats)
            streamLength += c.length;
        if (header.rawSize > streamLength * kMaxDeflateRatio + kDeflateSlack)
            return unsupported(data, QStringLiteral("The image data is far too short for the image size."));
    }

    QByteArray out;
    out.reserve(data.size() + (idats.empty() ? 0 : qsizetype(deflateCapacity(std::size_t(header.rawSize)))));
    out.append(reinterpret_cast<const char*>(kSignature), 8);
    bool imageWritten = false;
    for (const Chunk& c : chunks) {
        if (c.is("CgBI"))
            continue;
        if (c.is("IDAT")) {
            // The joined image goes where the first IDAT stood; the others are in it.
            if (!imageWritten && !appendConvertedImage(out, data, idats, header))
                return unsupported(data, QStringLiteral("The image data could not be compressed."));
            imageWritten = true;
            continue;
        }
        out.append(data.constData() + c.offset, c.size());
    }
    // Room was made for incompressible pixels; the caller should not carry it around.
    out.squeeze();
    return {PNGKind::Converted, out, {}};
}

std::optional<QByteArray> PNGNormalizer::dataFromPNGData(const QByteArray& data)
{
    PNGConversion result = convert(data);
    if (result.kind == PNGKind::NotPNG)
        return std::nullopt;
    return std::move(result.data);
}

bool PNGNormalizer::isPNGFile(const QString& path)
{
    return hasSignature(readAll(path, kMinimumLength, nullptr));
}

bool PNGNormalizer::isGoodPNGData(const QByteArray& data)
{
    return hasSignature(data) && !isDeviceOptimised(data);
}

bool PNGNormalizer::isGoodPNGFile(const QString& path)
{
    return isGoodPNGData(readAll(path, kMinimumLength, nullptr));
}

std::optional<QByteArray> PNGNormalizer::dataWithContentsOfPNGFile(const QString& path)
{
    QString error;
    const QByteArray bytes = readAll(path, -1, &error);
    if (!error.isEmpty())
        return std::nullopt;
    return dataFromPNGData(bytes);
}

bool PNGNormalizer::fixPNGFileAtPath(const QString& path, QString* error, bool backup)
{
    QString readError;
    const QByteArray bytes = readAll(path, -1, &readError);
    if (!readError.isEmpty()) {
        setError(error, QStringLiteral("Could not read %1: %2").arg(path, readError));
        return false;
    }
    const PNGConversion result = convert(bytes);
    if (result.kind == PNGKind::NotPNG) {
        setError(error, QStringLiteral("%1 is not a PNG file.").arg(path));
        return false;
    }
    if (result.kind == PNGKind::Unsupported) {
        setError(error, QStringLiteral("%1 cannot be converted: %2").arg(path, result.reason));
        return false;
    }
    if (backup) {
        // An earlier backup holds the older original and stays. Without any backup the file
        // is not overwritten: the caller asked not to lose its bytes.
        const QString backupPath = path + QStringLiteral(".bak");
        if (!QFileInfo::exists(backupPath) && !QFile::copy(path, backupPath)) {
            setError(error, QStringLiteral("Could not make the backup %1.").arg(backupPath));
            return false;
        }
    }
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly) || out.write(result.data) != result.data.size() || !out.commit()) {
        setError(error, QStringLiteral("Could not write %1: %2").arg(path, out.errorString()));
        return false;
    }
    return true;
}

}  // namespace kestrap
