// Writes the seed corpus of fuzz_png: device-optimised PNG files of several sizes, filters and
// IDAT splits, a standard one, kinds left unconverted, and cut-off files.

#include "SeedFolder.h"
#include "support/DevicePng.h"

using namespace testpng;

int main(int argc, char** argv)
{
    SeedFolder seeds(argc, argv, "png");
    if (!seeds.valid())
        return 2;
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
        ok = seeds.put(png) && ok;
        ok = seeds.put(png.left(png.size() * 2 / 3)) && ok;
    }
    const QByteArray rows = filterRows(samplePixels(4, 4), 4, 4, 0);
    const QByteArray standard = kSignature + ihdr(4, 4) + chunk("IDAT", deflateStream(rows, true)) + chunk("IEND", {});
    const QByteArray cgbi = kSignature + chunk("CgBI", QByteArray::fromHex("50002006"));
    const QByteArray tail = chunk("IDAT", deflateStream(rows, false)) + chunk("IEND", {});
    ok = seeds.put(standard) && ok;
    ok = seeds.put(cgbi + ihdr(4, 4, 8, 2) + tail) && ok;
    ok = seeds.put(cgbi + ihdr(4, 4, 8, 6, 1) + tail) && ok;
    ok = seeds.put(cgbi + tail) && ok;
    return ok ? 0 : 1;
}
