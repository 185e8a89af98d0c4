// The device emulator's other servers against any bytes a client may send: usbmuxd itself,
// house arrest and the installation proxy. The first byte of an input chooses the server,
// the rest is what the client sends. Each server answers or closes the link, never faults or
// hangs; what a client can make it hold stays bounded (descriptors, threads, services
// waiting for their connection, device records), and nothing beside the app's container
// changes.

#include "EmulatorFuzz.h"

#include <QCoreApplication>

using namespace kestrap;
using namespace kestrap::devicefarm;
using namespace kestrap::fuzz;

namespace {

// The seeds name this device and app.
const QString kUdid = QStringLiteral("4b657374726170000000000000000000000000aa");
const QString kApp = QStringLiteral("com.example.app");

EmulatorBench* gBench = nullptr;

void serve(EmulatorBench& b, std::uint8_t server, int fd)
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

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication app(*argc, *argv);
    sim::SimDeviceSpec model;
    model.udid = kUdid;
    // Installed for development, so that both vends are given.
    model.apps.push_back({kApp, QStringLiteral("App"), true});
    model.jailbroken = true;
    gBench = startEmulatorBench(model);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    EmulatorBench& b = *gBench;
    const std::uint8_t server = data[0];
    ++data;
    --size;
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
        std::abort();
    std::thread client = sendAndDrain(sv[0], data, size);
    serve(b, server, sv[1]);
    ::shutdown(sv[1], SHUT_RDWR);
    client.join();
    ::close(sv[0]);
    ::close(sv[1]);
    checkOutsideUnchanged(b);
    checkEmulatorHolds(b);
    checkProcessBounds(b, true);
    return 0;
}
