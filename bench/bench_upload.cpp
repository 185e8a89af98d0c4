// Uploading a 256 MiB file through iPhoneDevice to a simulated device, against a plain
// buffered copy of the same file on the same disk. Target: at least 80% of the plain copy's
// throughput, i.e. a time of at most 1.25 times the copy's.

#include "BenchSupport.h"
#include "device/ios/iPhoneDevice.h"
#include "device/ios/sim/SimMobileDeviceService.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <cstdio>
#include <vector>

using namespace kestrap;

namespace {

constexpr qint64 kFileSize = 256ll * 1024 * 1024;
constexpr int kRuns = 9;

}  // namespace

int main()
{
    QTemporaryDir dir;
    const QString source = dir.filePath(QStringLiteral("source.bin"));
    {
        QFile f(source);
        if (!f.open(QIODevice::WriteOnly))
            return 1;
        std::vector<quint32> block(1024 * 1024 / 4);
        for (qint64 written = 0; written < kFileSize; written += qint64(block.size() * 4)) {
            QRandomGenerator::global()->fillRange(block.data(), qsizetype(block.size()));
            f.write(reinterpret_cast<const char*>(block.data()), qint64(block.size() * 4));
        }
    }

    const QString farm = dir.filePath(QStringLiteral("farm"));
    sim::SimDeviceSpec model;
    model.udid = QStringLiteral("bench");
    model.capacity = 4 * kFileSize;
    QString error;
    if (!sim::createDevice(farm, model, &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    auto service = std::make_shared<sim::SimMobileDeviceService>(farm);
    iPhoneDevice device(service);
    if (!device.createWithDevice(service->currentRecord(model.udid), false)) {
        std::fprintf(stderr, "cannot open the simulated device\n");
        return 1;
    }

    // Alternated, so that both meet the same state of the disk and its cache.
    bool ok = true;
    double plainMs = 1e300;
    double uploadMs = 1e300;
    for (int i = 0; i < kRuns; ++i) {
        QFile::remove(dir.filePath(QStringLiteral("copy.bin")));
        plainMs = std::min(
            plainMs, bestOfMs(1, [&] { ok = plainCopy(source, dir.filePath(QStringLiteral("copy.bin"))) && ok; }));
        device.deleteItemAtPath(QStringLiteral("upload.bin"));
        uploadMs = std::min(
            uploadMs, bestOfMs(1, [&] { ok = device.uploadFile(QStringLiteral("upload.bin"), source) && ok; }));
    }
    ok = ok && QFileInfo(farm + QStringLiteral("/bench/Media/upload.bin")).size() == kFileSize;
    reportRatio("upload of 256 MiB through iPhoneDevice", uploadMs, "plain buffered copy", plainMs, 1.25);
    std::printf("throughput: upload %.0f MiB/s, plain copy %.0f MiB/s (%.0f%%)%s\n", 256 / (uploadMs / 1000),
        256 / (plainMs / 1000), 100 * plainMs / uploadMs, ok ? "" : " (a run FAILED)");
    return ok ? 0 : 1;
}
