// The device emulator's AFC server against any bytes a client may send on a vended
// container: it answers or closes the link, never faults, hangs or leaks a descriptor, and
// nothing appears outside the container.

#include "EmulatorFuzz.h"

#include <QCoreApplication>

using namespace kestrap;
using namespace kestrap::devicefarm;
using namespace kestrap::fuzz;

namespace {

const QString kApp = QStringLiteral("com.example.app");

EmulatorBench* gBench = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication app(*argc, *argv);
    sim::SimDeviceSpec model;
    // Installed for development: the whole container is there to reach, and to stay in.
    model.apps.push_back({kApp, QStringLiteral("App"), true});
    gBench = startEmulatorBench(model);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    EmulatorBench& b = *gBench;
    AMServiceHandle handle = 0;
    AFCConnectionRef afc = nullptr;
    if (b.emulator->ensureSession(*b.device) != MDSuccess
        || b.emulator->sim().AMDeviceStartHouseArrestService(
               b.device->record, kApp, AMHouseArrestVend::Container, &handle)
            != MDSuccess
        || b.emulator->service().AFCConnectionOpen(handle, 0, &afc) != MDSuccess)
        std::abort();
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
        std::abort();
    std::thread client = sendAndDrain(sv[0], data, size);
    Connection connection(sv[1], {});
    connection.device = b.device;
    serveAfc(*b.emulator, connection, afc, QDir(b.deviceFolder).filePath(QStringLiteral("Containers/") + kApp));
    ::shutdown(sv[1], SHUT_RDWR);
    client.join();
    ::close(sv[0]);
    ::close(sv[1]);

    checkOutsideUnchanged(b);
    checkProcessBounds(b, false);
    return 0;
}
