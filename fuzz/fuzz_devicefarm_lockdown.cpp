// The device emulator's lockdown server against any bytes a client may send: it answers or
// closes the link, never faults or hangs, and what a client can make it hold stays bounded:
// descriptors, threads, services waiting for their connection, device records.

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

struct Bench {
    QTemporaryDir dir;
    QString farm;
    std::unique_ptr<FarmEmulator> emulator;
    std::shared_ptr<EmuDevice> device;
    int descriptors = 0;
    int threads = 0;
};

Bench* gBench = nullptr;

int entries(const char* folder)
{
    return int(
        QDir(QString::fromLatin1(folder)).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size());
}

void fail(const char* what, int before, int now)
{
    std::fprintf(stderr, "%s grew from %d to %d\n", what, before, now);
    __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication app(*argc, *argv);
    auto* b = new Bench;
    b->farm = b->dir.filePath(QStringLiteral("farm"));
    sim::SimDeviceSpec model;
    model.apps.push_back({QStringLiteral("com.example.app"), QStringLiteral("App")});
    model.jailbroken = true;
    QString error;
    if (!sim::createDevice(b->farm, model, &error)) {
        std::fprintf(stderr, "cannot make the farm: %s\n", qPrintable(error));
        std::abort();
    }
    b->emulator = std::make_unique<FarmEmulator>(EmulatorOptions {b->farm, b->dir.filePath(QStringLiteral("sock"))});
    if (!b->emulator->start(&error) || b->emulator->devices().size() != 1) {
        std::fprintf(stderr, "cannot serve the farm: %s\n", qPrintable(error));
        std::abort();
    }
    b->device = b->emulator->devices().front();
    gBench = b;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Bench& b = *gBench;
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
    {
        Connection connection(sv[1], {});
        connection.device = b.device;
        serveLockdown(*b.emulator, connection);
        ::shutdown(sv[1], SHUT_RDWR);
        client.join();
    }
    ::close(sv[0]);
    ::close(sv[1]);

    // Services a client started and never connected to wait for their time, within the limit.
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
    return 0;
}
