// The device emulator's other servers against any bytes a client may send: usbmuxd itself,
// house arrest and the installation proxy. The first byte of an input chooses the server,
// the rest is what the client sends. Each server answers or closes the link, never faults or
// hangs; what a client can make it hold stays bounded (descriptors, threads, services
// waiting for their connection, device records), and nothing beside the app's container
// changes.

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

// The seeds name this device and app.
const QString kUdid = QStringLiteral("4b657374726170000000000000000000000000aa");
const QString kApp = QStringLiteral("com.example.app");

struct Bench {
    QTemporaryDir dir;
    QString farm;
    QString deviceFolder;
    std::unique_ptr<FarmEmulator> emulator;
    std::shared_ptr<EmuDevice> device;
    QStringList outside;
    int descriptors = 0;
    int threads = 0;
};

Bench* gBench = nullptr;

QStringList names(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

// What lies beside the container: house arrest serves only inside it.
QStringList entriesBesideTheContainer(const Bench& b)
{
    QStringList all;
    for (const QString& folder : {b.dir.path(), b.farm, b.deviceFolder, b.deviceFolder + QStringLiteral("/Containers")})
        for (const QString& name : names(folder))
            all << folder + QLatin1Char('/') + name;
    return all;
}

int entries(const char* folder)
{
    return int(names(QString::fromLatin1(folder)).size());
}

void fail(const char* what, int before, int now)
{
    std::fprintf(stderr, "%s grew from %d to %d\n", what, before, now);
    __builtin_trap();
}

void serve(Bench& b, std::uint8_t server, int fd)
{
    auto connection = std::make_shared<Connection>(fd, Client {});
    switch (server % 3) {
    case 0:
        serveMux(*b.emulator, connection);
        break;
    case 1:
        connection->device = b.device;
        serveHouseArrest(*b.emulator, *connection);
        break;
    default:
        connection->device = b.device;
        serveInstallationProxy(*b.emulator, *connection);
        break;
    }
}

void checkBounds(Bench& b)
{
    if (entriesBesideTheContainer(b) != b.outside) {
        std::fprintf(stderr, "a request changed what lies beside the container\n");
        __builtin_trap();
    }
    std::size_t waiting = 0;
    {
        std::lock_guard guard(b.device->lock);
        waiting = b.device->services.size();
    }
    if (waiting > b.emulator->limits().servicesPerClient)
        fail("services waiting", int(b.emulator->limits().servicesPerClient), int(waiting));
    if (b.emulator->sim().recordCount() > 1)
        fail("device records", 1, int(b.emulator->sim().recordCount()));
    // The first inputs may open what stays for the process's life.
    const int descriptors = entries("/proc/self/fd");
    const int threads = entries("/proc/self/task");
    if (b.descriptors == 0) {
        b.descriptors = descriptors;
        b.threads = threads;
    } else if (descriptors > b.descriptors + 8) {
        fail("descriptors", b.descriptors, descriptors);
    } else if (threads > b.threads + 4) {
        fail("threads", b.threads, threads);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication app(*argc, *argv);
    auto* b = new Bench;
    b->farm = b->dir.filePath(QStringLiteral("farm"));
    sim::SimDeviceSpec model;
    model.udid = kUdid;
    model.apps.push_back({kApp, QStringLiteral("App")});
    model.jailbroken = true;
    QString error;
    if (!sim::createDevice(b->farm, model, &error)) {
        std::fprintf(stderr, "cannot make the farm: %s\n", qPrintable(error));
        std::abort();
    }
    b->deviceFolder = QDir(b->farm).filePath(kUdid);
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
    if (size == 0)
        return 0;
    Bench& b = *gBench;
    const std::uint8_t server = data[0];
    ++data;
    --size;
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
    serve(b, server, sv[1]);
    ::shutdown(sv[1], SHUT_RDWR);
    client.join();
    ::close(sv[0]);
    ::close(sv[1]);
    checkBounds(b);
    return 0;
}
