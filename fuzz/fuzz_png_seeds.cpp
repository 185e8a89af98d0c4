// Writes the seed corpus of fuzz_png: device-optimised PNG files of several sizes, filters and
// IDAT splits, a standard one, kinds left unconverted, and cut-off files.

#include "support/DevicePng.h"

#include <QDir>
#include <QFile>
#include <cstdio>

using namespace testpng;

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_png_seeds DIR\n");
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(dir);
    int n = 0;
    auto put = [&](const QByteArray& bytes) {
        QFile f(QDir(dir).filePath(QStringLiteral("seed-%1.png").arg(n++, 3, 10, QLatin1Char('0'))));
        return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
    };
    bool ok = true;
    struct Shape {
        int width, height, filter, parts;
    };
    for (const Shape s : {Shape {1, 1, 0, 1}, Shape {2, 1, 0, 1}, Shape {7, 5, -1, 1}, Shape {16, 16, -1, 4},
             Shape {32, 9, 4, 2}, Shape {3, 40, 1, 3}}) {
        DeviceImage image {s.width, s.height, samplePixels(s.width, s.height), s.filter, s.parts};
        if (s.parts == 2)
            image.afterImage = chunk("tEXt", QByteArray("Comment\0seed", 12));
        const QByteArray png = devicePng(image);
        ok = put(png) && ok;
        ok = put(png.left(png.size() * 2 / 3)) && ok;
    }
    const QByteArray rows = filterRows(samplePixels(4, 4), 4, 4, 0);
    const QByteArray standard = kSignature + ihdr(4, 4) + chunk("IDAT", deflateStream(rows, true)) + chunk("IEND", {});
    const QByteArray cgbi = kSignature + chunk("CgBI", QByteArray::fromHex("50002006"));
    const QByteArray tail = chunk("IDAT", deflateStream(rows, false)) + chunk("IEND", {});
    ok = put(standard) && ok;
    ok = put(cgbi + ihdr(4, 4, 8, 2) + tail) && ok;
    ok = put(cgbi + ihdr(4, 4, 8, 6, 1) + tail) && ok;
    ok = put(cgbi + tail) && ok;
    return ok ? 0 : 1;
}
