// The device emulator's lockdown server against any bytes a client may send: it answers or
// closes the link, never faults or hangs, and what a client can make it hold stays bounded:
// descriptors, threads, services waiting for their connection, device records.

#include "EmulatorFuzz.h"

#include <QCoreApplication>

using namespace kestrap;
using namespace kestrap::devicefarm;
using namespace kestrap::fuzz;

namespace {

EmulatorBench* gBench = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication app(*argc, *argv);
    sim::SimDeviceSpec model;
    model.apps.push_back({QStringLiteral("com.example.app"), QStringLiteral("App")});
    model.jailbroken = true;
    gBench = startEmulatorBench(model);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    EmulatorBench& b = *gBench;
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
        std::abort();
    std::thread client = sendAndDrain(sv[0], data, size);
    {
        Connection connection(sv[1], {});
        connection.device = b.device;
        serveLockdown(*b.emulator, connection);
        ::shutdown(sv[1], SHUT_RDWR);
        client.join();
    }
    ::close(sv[0]);
    ::close(sv[1]);

    checkEmulatorHolds(b);
    checkProcessBounds(b, true);
    return 0;
}
