// The device emulator's AFC server against any bytes a client may send on a vended
// container: it answers or closes the link, never faults, hangs or leaks a descriptor, and
// nothing appears outside the container.

#include "device/ios/sim/SimFarm.h"
#include "device/ios/sim/SimMobileDeviceService.h"
#include "tools/devicefarm/FarmEmulator.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace kestrap;
using namespace kestrap::devicefarm;

namespace {

const QString kApp = QStringLiteral("com.example.app");

struct Bench {
    QTemporaryDir dir;
    QString farm;
    QString deviceFolder;
    std::unique_ptr<FarmEmulator> emulator;
    std::shared_ptr<EmuDevice> device;
    QStringList outside;  // what lies beside the container, which no request may change
    int descriptors = 0;
};

Bench* gBench = nullptr;

QStringList entriesBesideTheContainer(const Bench& b)
{
    QStringList all;
    for (const QString& folder : {b.dir.path(), b.farm, b.deviceFolder, b.deviceFolder + QStringLiteral("/Containers")})
        for (const QString& name :
            QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot))
            all << folder + QLatin1Char('/') + name;
    return all;
}

int openDescriptors()
{
    return int(
        QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication app(*argc, *argv);
    auto* b = new Bench;
    b->farm = b->dir.filePath(QStringLiteral("farm"));
    sim::SimDeviceSpec model;
    model.apps.push_back({kApp, QStringLiteral("App")});
    QString error;
    QString udid;
    if (!sim::createDevice(b->farm, model, &error, &udid) || !udid.size()) {
        std::fprintf(stderr, "cannot make the farm: %s\n", qPrintable(error));
        std::abort();
    }
    b->deviceFolder = QDir(b->farm).filePath(udid);
    b->emulator = std::make_unique<FarmEmulator>(EmulatorOptions {b->farm, b->dir.filePath(QStringLiteral("sock"))});
    if (!b->emulator->start(&error) || b->emulator->devices().size() != 1) {
        std::fprintf(stderr, "cannot serve the farm: %s\n", qPrintable(error));
        std::abort();
    }
    b->device = b->emulator->devices().front();
    b->outside = entriesBesideTheContainer(*b);
    gBench = b;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Bench& b = *gBench;
    AMServiceHandle handle = 0;
    AFCConnectionRef afc = nullptr;
    if (b.emulator->ensureSession(*b.device) != MDSuccess
        || b.emulator->sim().AMDeviceStartHouseArrestService(b.device->record, kApp, &handle) != MDSuccess
        || b.emulator->service().AFCConnectionOpen(handle, 0, &afc) != MDSuccess)
        std::abort();
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
        std::abort();
    // The client: sends the input and ends its side, and reads every answer until the
    // server closes.
    std::thread client([&, fd = sv[0]] {
        std::thread reader([fd] {
            char sink[65536];
            while (::read(fd, sink, sizeof sink) > 0) { }
        });
        for (std::size_t sent = 0; sent < size;) {
            const ssize_t n = ::send(fd, data + sent, size - sent, MSG_NOSIGNAL);
            if (n <= 0)
                break;
            sent += std::size_t(n);
        }
        ::shutdown(fd, SHUT_WR);
        reader.join();
    });
    Connection connection(sv[1], {});
    connection.device = b.device;
    serveAfc(*b.emulator, connection, afc, QDir(b.deviceFolder).filePath(QStringLiteral("Containers/") + kApp));
    ::shutdown(sv[1], SHUT_RDWR);
    client.join();
    ::close(sv[0]);
    ::close(sv[1]);

    if (entriesBesideTheContainer(b) != b.outside) {
        std::fprintf(stderr, "a request changed what lies beside the container\n");
        __builtin_trap();
    }
    // The first inputs may open what stays for the process's life.
    const int descriptors = openDescriptors();
    if (b.descriptors == 0)
        b.descriptors = descriptors;
    else if (descriptors > b.descriptors + 8) {
        std::fprintf(stderr, "descriptors grew from %d to %d\n", b.descriptors, descriptors);
        __builtin_trap();
    }
    return 0;
}
