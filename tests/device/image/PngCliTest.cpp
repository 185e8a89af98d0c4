// kestrap-cli png normalize|fix, run as a separate process the way scripts use it.

#include "support/CliRun.h"
#include "support/DevicePng.h"
#include "support/TempTree.h"

#include <QImage>
#include <QProcess>
#include <gtest/gtest.h>

namespace {

CliResult cli(const QStringList& args)
{
    return runCli(QStringList {"png"} + args);
}

QString write(const TempTree& tree, const QString& name, const QByteArray& bytes)
{
    return writeFileBytes(tree.path(name), bytes);
}

}  // namespace

TEST(PngCli, NormalizeAndFixWriteStandardPng)
{
    TempTree tree;
    const QByteArray pixels = testpng::samplePixels(8, 8);
    const QString in = write(tree, "Icon.png", testpng::devicePng({8, 8, pixels, -1, 2}));
    const QString out = tree.path("out.png");
    CliResult r = cli({"normalize", in, out});
    ASSERT_EQ(r.code, 0) << r.err.constData();
    const QImage image(out);
    ASSERT_EQ(image.size(), QSize(8, 8));
    EXPECT_EQ(image.pixel(0, 0), qRgba(pixels[0] & 0xFF, pixels[1] & 0xFF, pixels[2] & 0xFF, pixels[3] & 0xFF));

    // A standard file is copied as it is.
    const QString again = tree.path("again.png");
    ASSERT_EQ(cli({"normalize", out, again}).code, 0);
    EXPECT_EQ(readFileBytes(again), readFileBytes(out));

    const QByteArray before = readFileBytes(in);
    r = cli({"fix", in, "--backup"});
    ASSERT_EQ(r.code, 0) << r.err.constData();
    EXPECT_EQ(readFileBytes(in), readFileBytes(out));
    EXPECT_EQ(readFileBytes(in + ".bak"), before);
}

TEST(PngCli, FailuresWriteNothing)
{
    TempTree tree;
    const QString text = write(tree, "a.png", "this is plain text, not a picture");
    const QString rgb = write(tree, "rgb.png",
        testpng::kSignature + testpng::chunk("CgBI", "abcd") + testpng::ihdr(1, 1, 8, 2)
            + testpng::chunk("IDAT", testpng::deflateStream(QByteArray(4, '\0'), false)) + testpng::chunk("IEND", {}));
    const QString out = tree.path("out.png");

    CliResult r = cli({"normalize", text, out});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.err.contains("is not a PNG file")) << r.err.constData();
    r = cli({"normalize", rgb, out});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.err.contains("colour type 2")) << r.err.constData();
    EXPECT_EQ(cli({"normalize", tree.path("missing.png"), out}).code, 1);
    EXPECT_FALSE(QFile::exists(out));

    r = cli({"fix", text});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.err.contains("is not a PNG file"));

    EXPECT_EQ(cli({"normalize", text}).code, 2);
    EXPECT_EQ(cli({"fix"}).code, 2);
    EXPECT_EQ(cli({"shrink", text}).code, 2);
}
