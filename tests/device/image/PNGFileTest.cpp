// PNG files on disk, names that mark images, and decoding through Qt for the front ends.

#include "device/image/ImageFiles.h"
#include "device/image/PNGNormalizer.h"
#include "device/image/gui/SafeLoad.h"
#include "support/DevicePng.h"
#include "support/TempTree.h"

#include <QImage>
#include <gtest/gtest.h>

using namespace kestrap;

namespace {

QString writeFile(const TempTree& tree, const QString& name, const QByteArray& bytes)
{
    return writeFileBytes(tree.path(name), bytes);
}

const QByteArray kPixels = testpng::samplePixels(6, 5);
const QByteArray kDevice = testpng::devicePng({6, 5, kPixels});

}  // namespace

TEST(PNGFile, ReadsAndTellsFilesApart)
{
    TempTree tree;
    const QString device = writeFile(tree, "Icon.png", kDevice);
    const QString text = writeFile(tree, "notes.txt", "hello, this is not an image at all");
    const QString standard = writeFile(tree, "std.png", *PNGNormalizer::dataFromPNGData(kDevice));
    EXPECT_TRUE(PNGNormalizer::isPNGFile(device));
    EXPECT_TRUE(PNGNormalizer::isPNGFile(standard));
    EXPECT_FALSE(PNGNormalizer::isPNGFile(text));
    EXPECT_FALSE(PNGNormalizer::isPNGFile(tree.path("missing.png")));
    EXPECT_FALSE(PNGNormalizer::isGoodPNGFile(device));
    EXPECT_TRUE(PNGNormalizer::isGoodPNGFile(standard));

    EXPECT_EQ(PNGNormalizer::dataWithContentsOfPNGFile(device), PNGNormalizer::dataFromPNGData(kDevice));
    EXPECT_FALSE(PNGNormalizer::dataWithContentsOfPNGFile(text));
    EXPECT_FALSE(PNGNormalizer::dataWithContentsOfPNGFile(tree.path("missing.png")));

    const QImage image = imageWithContentsOfPNGFile(device);
    ASSERT_EQ(image.size(), QSize(6, 5));
    EXPECT_EQ(image.pixel(5, 4), qRgba(kPixels[116], kPixels[117], kPixels[118], kPixels[119] & 0xFF));
    EXPECT_TRUE(imageWithContentsOfPNGFile(text).isNull());
}

TEST(PNGFile, FixRewritesInPlaceAndKeepsTheFirstBackup)
{
    TempTree tree;
    const QString path = writeFile(tree, "iTunesArtwork", kDevice);
    QString error;
    ASSERT_TRUE(PNGNormalizer::fixPNGFileAtPath(path, &error, true)) << error.toStdString();
    EXPECT_EQ(readFileBytes(path), *PNGNormalizer::dataFromPNGData(kDevice));
    EXPECT_EQ(readFileBytes(path + ".bak"), kDevice);

    // Fixed again, the backup of the original stays.
    ASSERT_TRUE(PNGNormalizer::fixPNGFileAtPath(path, &error, true));
    EXPECT_EQ(readFileBytes(path + ".bak"), kDevice);

    const QString plain = writeFile(tree, "plain.png", kDevice);
    ASSERT_TRUE(PNGNormalizer::fixPNGFileAtPath(plain, nullptr, false));
    EXPECT_FALSE(QFile::exists(plain + ".bak"));
}

TEST(PNGFile, FixRefusesWithoutTouchingTheFile)
{
    TempTree tree;
    const QByteArray rgb = testpng::kSignature + testpng::chunk("CgBI", "abcd") + testpng::ihdr(2, 2, 8, 2)
        + testpng::chunk("IDAT", testpng::deflateStream(QByteArray(14, '\0'), false)) + testpng::chunk("IEND", {});
    struct Case {
        QString name;
        QByteArray bytes;
        const char* says;
    };
    for (const Case& c : {Case {"notes.png", "just some text, long enough", "is not a PNG file"},
             Case {"rgb.png", rgb, "Only 8-bit RGBA"}}) {
        const QString path = writeFile(tree, c.name, c.bytes);
        QString error;
        EXPECT_FALSE(PNGNormalizer::fixPNGFileAtPath(path, &error, true));
        EXPECT_TRUE(error.contains(QLatin1String(c.says))) << error.toStdString();
        EXPECT_EQ(readFileBytes(path), c.bytes);
        EXPECT_FALSE(QFile::exists(path + ".bak"));
    }
    QString error;
    EXPECT_FALSE(PNGNormalizer::fixPNGFileAtPath(tree.path("missing.png"), &error, false));
    EXPECT_FALSE(error.isEmpty());
}

TEST(ImageFiles, NamesDecideWhatIsAnImageAndWhatIsPNG)
{
    const QStringList types {"png", "PNG", "jpg", "JPG"};
    EXPECT_TRUE(SupportFileAtPath("/Payload/App/iTunesArtwork", {}));
    EXPECT_TRUE(IsPNGFileAtPath("/Payload/App/iTunesArtwork", {}));
    EXPECT_FALSE(SupportFileAtPath("/itunesartwork", types));
    EXPECT_TRUE(IsPNGFileAtPath("/DCIM/a.PNG", types));
    EXPECT_TRUE(IsPNGFileAtPath("a.png", types));
    EXPECT_FALSE(SupportFileAtPath("a.Png", types));  // the type list is matched exactly
    EXPECT_TRUE(IsPNGFileAtPath("a.Png", {"Png"}));
    EXPECT_TRUE(SupportFileAtPath("/DCIM/IMG_0001.JPG", types));
    EXPECT_FALSE(IsPNGFileAtPath("/DCIM/IMG_0001.JPG", types));
    EXPECT_FALSE(SupportFileAtPath("notes.txt", types));
    EXPECT_FALSE(SupportFileAtPath("/folder/png", types) && IsPNGFileAtPath("/folder/pngs", types));

    // Qt's readers, as the front ends see them.
    EXPECT_TRUE(imageFileTypes().contains("png"));
    EXPECT_TRUE(imageFileTypes().contains("PNG"));
    EXPECT_TRUE(kestrap::IsPNGFileAtPath("/x/Default@2x.png"));
}

TEST(ImageFiles, SafeLoadFallsBackToTheDataAsGiven)
{
    EXPECT_EQ(safeImageData(kDevice, true), *PNGNormalizer::dataFromPNGData(kDevice));
    EXPECT_EQ(safeImageData(kDevice, false), kDevice);
    EXPECT_EQ(safeImageData("not png", true), "not png");

    EXPECT_EQ(safeImageWithData(kDevice, true).size(), QSize(6, 5));
    // Qt's own reader refuses the device variant.
    EXPECT_TRUE(safeImageWithData(kDevice, false).isNull());
    EXPECT_TRUE(safeImageWithData("not an image", true).isNull());
}
