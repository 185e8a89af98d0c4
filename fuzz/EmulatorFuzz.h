// What the device emulator's fuzz targets share: one simulated device served by an
// emulator in the fuzzing process, a client that sends an input over a socket pair and reads
// every answer, and the checks that what a client can make the emulator hold stays bounded.
#pragma once

#include "device/ios/sim/SimFarm.h"
#include "device/ios/sim/SimMobileDeviceService.h"
#include "tools/devicefarm/FarmEmulator.h"

#include <QDir>
#include <QStringList>
#include <QTemporaryDir>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace kestrap::fuzz {

struct EmulatorBench {
    QTemporaryDir dir;
    QString farm;
    QString deviceFolder;
    std::unique_ptr<devicefarm::FarmEmulator> emulator;
    std::shared_ptr<devicefarm::EmuDevice> device;
    QStringList outside;  // what lies beside the app's container, which no request may change
    int descriptors = 0;  // of the process after the first input: 0 until then
    int threads = 0;
};

inline QStringList namesIn(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

// How many entries a folder of /proc has (descriptors, threads).
inline int entries(const char* folder)
{
    return int(namesIn(QString::fromLatin1(folder)).size());
}

// What lies beside the container: the services fuzzed serve only inside it.
inline QStringList entriesBesideTheContainer(const EmulatorBench& b)
{
    QStringList all;
    for (const QString& folder : {b.dir.path(), b.farm, b.deviceFolder, b.deviceFolder + QStringLiteral("/Containers")})
        for (const QString& name : namesIn(folder))
            all << folder + QLatin1Char('/') + name;
    return all;
}

[[noreturn]] inline void fail(const char* what, int before, int now)
{
    std::fprintf(stderr, "%s grew from %d to %d\n", what, before, now);
    __builtin_trap();
}

// A farm of the one device `model`, served; the process ends when either cannot be made.
inline EmulatorBench* startEmulatorBench(const sim::SimDeviceSpec& model)
{
    auto* b = new EmulatorBench;
    b->farm = b->dir.filePath(QStringLiteral("farm"));
    QString error;
    QString udid;
    if (!sim::createDevice(b->farm, model, &error, &udid) || udid.isEmpty()) {
        std::fprintf(stderr, "cannot make the farm: %s\n", qPrintable(error));
        std::abort();
    }
    b->deviceFolder = QDir(b->farm).filePath(udid);
    devicefarm::EmulatorOptions options {b->farm, b->dir.filePath(QStringLiteral("sock"))};
    // Every byte an input sends must reach the parsers, not a TLS record layer.
    options.plainSessions = true;
    b->emulator = std::make_unique<devicefarm::FarmEmulator>(options);
    if (!b->emulator->start(&error) || b->emulator->devices().size() != 1) {
        std::fprintf(stderr, "cannot serve the farm: %s\n", qPrintable(error));
        std::abort();
    }
    b->device = b->emulator->devices().front();
    b->outside = entriesBesideTheContainer(*b);
    return b;
}

// The client of one input on its end of a socket pair: sends the input, ends its side, and
// reads every answer until the server closes. Join the thread after the server is done.
inline std::thread sendAndDrain(int fd, const std::uint8_t* data, std::size_t size)
{
    return std::thread([fd, data, size] {
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
}

inline void checkOutsideUnchanged(const EmulatorBench& b)
{
    if (entriesBesideTheContainer(b) != b.outside) {
        std::fprintf(stderr, "a request changed what lies beside the container\n");
        __builtin_trap();
    }
}

// Services a client started and never connected to wait for their time, within the limit;
// records are one for the one device.
inline void checkEmulatorHolds(const EmulatorBench& b)
{
    std::size_t waiting = 0;
    {
        std::lock_guard guard(b.device->lock);
        waiting = b.device->services.size();
    }
    if (waiting > b.emulator->limits().servicesPerClient)
        fail("services waiting", int(b.emulator->limits().servicesPerClient), int(waiting));
    if (b.emulator->sim().recordCount() > 1)
        fail("device records", 1, int(b.emulator->sim().recordCount()));
}

// Descriptors (and, with threadsToo, threads) stay near what the first input left: the first
// inputs may open what stays for the process's life.
inline void checkProcessBounds(EmulatorBench& b, bool threadsToo)
{
    const int descriptors = entries("/proc/self/fd");
    const int threads = entries("/proc/self/task");
    if (b.descriptors == 0) {
        b.descriptors = descriptors;
        b.threads = threads;
    } else if (descriptors > b.descriptors + 8) {
        fail("descriptors", b.descriptors, descriptors);
    } else if (threadsToo && threads > b.threads + 4) {
        fail("threads", b.threads, threads);
    }
}

}  // namespace kestrap::fuzz
