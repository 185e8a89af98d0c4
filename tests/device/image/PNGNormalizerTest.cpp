// Device-optimised PNG data made standard: pixels as Qt decodes them, chunk structure, and
// input that is damaged, forged or of a kind the normaliser leaves alone.

#include "device/image/PNGNormalizer.h"
#include "device/image/PNGBytes.h"
#include "support/DevicePng.h"

#include <QBuffer>
#include <QImage>
#include <cstring>
#include <gtest/gtest.h>

using namespace kestrap;
using testpng::DeviceImage;

namespace {

QByteArray standardPng(int width, int height)
{
    QImage image(width, height, QImage::Format_ARGB32);
    image.fill(qRgba(1, 2, 3, 4));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// Every pixel of the decoded PNG against the expected RGBA bytes.
void expectPixels(const QByteArray& png, int width, int height, const QByteArray& rgba)
{
    const QImage image = QImage::fromData(png, "PNG");
    ASSERT_FALSE(image.isNull());
    ASSERT_EQ(image.size(), QSize(width, height));
    int wrong = 0;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const auto* p = reinterpret_cast<const std::uint8_t*>(rgba.constData()) + 4 * (y * width + x);
            if (image.pixel(x, y) != qRgba(p[0], p[1], p[2], p[3]) && wrong++ < 3)
                ADD_FAILURE() << "pixel " << x << "," << y << " is " << std::hex << image.pixel(x, y);
        }
    EXPECT_EQ(wrong, 0);
}

QByteArray typesOf(const QByteArray& png)
{
    QByteArray types;
    for (const auto& c : testpng::chunksOf(png))
        types += c.type + ' ';
    return types.trimmed();
}

void expectAllCrcsCorrect(const QByteArray& png)
{
    for (const auto& c : testpng::chunksOf(png))
        EXPECT_TRUE(c.crcOk) << c.type.constData();
}

}  // namespace

TEST(PNGNormalizer, TellsPNGFromOtherData)
{
    const QByteArray standard = standardPng(3, 3);
    EXPECT_FALSE(PNGNormalizer::dataFromPNGData({}));
    EXPECT_FALSE(PNGNormalizer::dataFromPNGData(standard.left(19)));
    EXPECT_TRUE(PNGNormalizer::dataFromPNGData(standard.left(20)));
    EXPECT_FALSE(PNGNormalizer::dataFromPNGData("GIF89a" + standard));
    QByteArray badSignature = standard;
    badSignature[1] = 'p';
    EXPECT_FALSE(PNGNormalizer::dataFromPNGData(badSignature));

    // A standard PNG comes back as the very same buffer.
    const auto same = PNGNormalizer::dataFromPNGData(standard);
    ASSERT_TRUE(same);
    EXPECT_EQ(same->constData(), standard.constData());
    EXPECT_EQ(PNGNormalizer::convert(standard).kind, PNGKind::Standard);

    const QByteArray device = testpng::devicePng({2, 2, testpng::samplePixels(2, 2)});
    EXPECT_TRUE(PNGNormalizer::isGoodPNGData(standard));
    EXPECT_FALSE(PNGNormalizer::isGoodPNGData(device));
    EXPECT_FALSE(PNGNormalizer::isGoodPNGData(standard.left(19)));
}

TEST(PNGNormalizer, BlueAndRedTradePlaces)
{
    // Stored as blue 10, green 20, red 30, alpha 255.
    const QByteArray rgba = QByteArray::fromHex("1e140aff1e140aff");
    const QByteArray device = testpng::devicePng({2, 1, rgba});
    const auto out = PNGNormalizer::dataFromPNGData(device);
    ASSERT_TRUE(out);
    const QImage image = QImage::fromData(*out, "PNG");
    ASSERT_EQ(image.size(), QSize(2, 1));
    EXPECT_EQ(image.pixel(0, 0), qRgba(30, 20, 10, 255));
    EXPECT_EQ(image.pixel(1, 0), qRgba(30, 20, 10, 255));
}

TEST(PNGNormalizer, DecodesToTheSamePixelsWhateverTheFiltersAndSplits)
{
    struct Case {
        int width, height, filter, parts;
    };
    for (const Case c : {Case {37, 23, -1, 1}, Case {37, 23, 4, 1}, Case {64, 40, -1, 7}, Case {64, 40, 3, 40},
             Case {1, 1, 0, 1}, Case {5, 300, -1, 3}}) {
        SCOPED_TRACE(
            testing::Message() << c.width << "x" << c.height << " filter " << c.filter << " in " << c.parts << " IDAT");
        const QByteArray rgba = testpng::samplePixels(c.width, c.height, std::uint32_t(c.width + c.parts));
        const QByteArray device = testpng::devicePng({c.width, c.height, rgba, c.filter, c.parts});
        const PNGConversion result = PNGNormalizer::convert(device);
        ASSERT_EQ(result.kind, PNGKind::Converted) << result.reason.toStdString();
        expectPixels(result.data, c.width, c.height, rgba);
        // The parts are one stream: they come out as one IDAT chunk.
        EXPECT_EQ(typesOf(result.data), "IHDR IDAT IEND");
    }
}

TEST(PNGNormalizer, NoisyImagesBiggerCompressedThanRawStillFit)
{
    // Random pixels make the zlib stream longer than the raw rows it holds.
    for (int side : {1, 2, 3, 8}) {
        QByteArray rgba;
        std::uint32_t seed = 7;
        for (int i = 0; i < side * side * 4; ++i)
            rgba.append(char((seed = seed * 1664525u + 1013904223u) >> 24));
        const QByteArray device = testpng::devicePng({side, side, rgba, 0});
        const auto out = PNGNormalizer::dataFromPNGData(device);
        ASSERT_TRUE(out);
        const auto chunks = testpng::chunksOf(*out);
        ASSERT_EQ(chunks.size(), 3u);
        EXPECT_GT(chunks[1].data.size(), side * (1 + 4 * side));
        expectPixels(*out, side, side, rgba);
    }
}

TEST(PNGNormalizer, KeepsEveryOtherChunkInOrderWithItsBytes)
{
    DeviceImage image {9, 4, testpng::samplePixels(9, 4), -1, 3};
    image.beforeImage = testpng::chunk("sRGB", QByteArray(1, '\0')) + testpng::chunk("tEXt", "Title\0Icon");
    image.afterImage = testpng::chunk("tIME", QByteArray::fromHex("07e4010203040506"));
    const QByteArray device = testpng::devicePng(image) + "trailing bytes";
    const auto out = PNGNormalizer::dataFromPNGData(device);
    ASSERT_TRUE(out);
    EXPECT_TRUE(out->startsWith(testpng::kSignature));
    EXPECT_EQ(typesOf(*out), "IHDR sRGB tEXt IDAT tIME IEND");
    EXPECT_TRUE(out->endsWith(testpng::chunk("IEND", {})));
    EXPECT_TRUE(out->contains(testpng::ihdr(9, 4)));
    EXPECT_TRUE(out->contains(image.beforeImage));
    EXPECT_TRUE(out->contains(image.afterImage));
    expectAllCrcsCorrect(*out);
    // A zlib stream now, with its header.
    EXPECT_EQ(std::uint8_t(testpng::chunksOf(*out)[3].data[0]) & 0x0F, 8);
    expectPixels(*out, 9, 4, image.rgba);
}

TEST(PNGNormalizer, LeavesKindsItDoesNotConvertUntouched)
{
    const QByteArray stream = testpng::deflateStream(QByteArray(4 * 13, '\x01'), false);
    const QByteArray cgbi = testpng::kSignature + testpng::chunk("CgBI", QByteArray::fromHex("50002006"));
    const QByteArray tail = testpng::chunk("IDAT", stream) + testpng::chunk("IEND", {});
    const QByteArray cases[] = {
        cgbi + testpng::ihdr(4, 4, 8, 2) + tail,  // RGB
        cgbi + testpng::ihdr(4, 4, 16, 6) + tail,  // 16-bit RGBA
        cgbi + testpng::ihdr(4, 4, 8, 6, 1) + tail,  // interlaced
        cgbi + testpng::ihdr(0, 4) + tail,  // no pixels
        cgbi + testpng::ihdr(100000, 100000) + tail,  // forged size
        cgbi + testpng::ihdr(2000, 2000) + tail,  // far more pixels than the data can hold
        cgbi + tail,  // no header
        cgbi + tail.left(tail.size() - 12) + testpng::ihdr(4, 4) + testpng::chunk("IEND", {}),  // header late
        cgbi + testpng::chunk("IHDR", QByteArray(12, '\x01')) + tail,  // short header
    };
    for (const QByteArray& input : cases) {
        const PNGConversion result = PNGNormalizer::convert(input);
        EXPECT_EQ(result.kind, PNGKind::Unsupported) << typesOf(input).constData();
        EXPECT_FALSE(result.reason.isEmpty());
        EXPECT_EQ(result.data.constData(), input.constData());
        EXPECT_EQ(PNGNormalizer::dataFromPNGData(input), input);
    }
}

TEST(PNGNormalizer, DamagedDataNeverBreaksTheOutput)
{
    const int w = 20, h = 10;
    const QByteArray rgba = testpng::samplePixels(w, h);
    const QByteArray device = testpng::devicePng({w, h, rgba, 0});
    const auto chunks = testpng::chunksOf(device);
    const QByteArray head = testpng::kSignature + testpng::chunk("CgBI", chunks[0].data) + testpng::ihdr(w, h);
    const QByteArray& stream = chunks[2].data;

    // A stream cut short: the rows it holds survive, the rest is transparent black.
    const auto shortStream = PNGNormalizer::dataFromPNGData(
        head + testpng::chunk("IDAT", stream.left(stream.size() / 2)) + testpng::chunk("IEND", {}));
    ASSERT_TRUE(shortStream);
    expectAllCrcsCorrect(*shortStream);
    const QImage image = QImage::fromData(*shortStream, "PNG");
    ASSERT_EQ(image.size(), QSize(w, h));
    EXPECT_EQ(image.pixel(0, 0), qRgba(rgba[0] & 0xFF, rgba[1] & 0xFF, rgba[2] & 0xFF, rgba[3] & 0xFF));
    EXPECT_EQ(image.pixel(w - 1, h - 1), 0u);

    // A stream of garbage, and one longer than the image.
    QByteArray garbage = stream;
    for (qsizetype i = 2; i < garbage.size(); i += 3)
        garbage[i] = char(garbage[i] ^ 0x5A);
    const QByteArray big = testpng::deflateStream(QByteArray(100000, '\x02'), false);
    for (const QByteArray& data : {garbage, big, QByteArray()}) {
        const auto out
            = PNGNormalizer::dataFromPNGData(head + testpng::chunk("IDAT", data) + testpng::chunk("IEND", {}));
        ASSERT_TRUE(out);
        expectAllCrcsCorrect(*out);
        EXPECT_EQ(typesOf(*out), "IHDR IDAT IEND");
        EXPECT_EQ(QImage::fromData(*out, "PNG").size(), QSize(w, h));
    }

    // Chunks whose stated length runs past the end end the walk there.
    for (qsizetype cut = 20; cut < device.size(); cut += 7) {
        const auto out = PNGNormalizer::dataFromPNGData(device.left(cut));
        ASSERT_TRUE(out);
        EXPECT_FALSE(out->contains("CgBI"));
        expectAllCrcsCorrect(*out);
    }
    QByteArray forged = device;
    qToBigEndian<std::uint32_t>(0xFFFFFFF0u, forged.data() + head.size());
    const auto out = PNGNormalizer::dataFromPNGData(forged);
    ASSERT_TRUE(out);
    EXPECT_EQ(typesOf(*out), "IHDR");
}

TEST(PNGBytes, CrcAndNumbers)
{
    const auto* iend = reinterpret_cast<const std::uint8_t*>("IEND");
    EXPECT_EQ(updateCRC32Bytes(0, iend, 4), 0xAE426082u);
    std::uint32_t crc = 0;
    for (int i = 0; i < 4; ++i)
        crc = updateCRC32(crc, iend[i]);
    EXPECT_EQ(crc, 0xAE426082u);
    std::uint32_t word;
    std::memcpy(&word, iend, 4);
    EXPECT_EQ(updateCRC32Uint32(0, word), 0xAE426082u);

    const std::uint8_t bytes[] = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0};
    const std::uint8_t* p = bytes;
    EXPECT_EQ(peekUint32(p), 0x12345678u);
    EXPECT_EQ(nextUint32(p), 0x12345678u);
    EXPECT_EQ(nextUint32(p), 0x9ABCDEF0u);
    EXPECT_EQ(p, bytes + 8);
}
