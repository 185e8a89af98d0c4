// kestrap-devicefarm: serves a device farm over the usbmuxd protocol on a Unix socket, so
// that Kestrap's libimobiledevice backend, and any libimobiledevice program, reach the
// farm's simulated devices as if they were plugged in.
#include "tools/devicefarm/FarmEmulator.h"

#include "Version.h"
#include "util/ThreadPriority.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/resource.h>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto n = ::write(g_signalPipe[1], &byte, 1);
}

// The emulated devices' work stands in for work done on devices, not on the station: by
// default it runs ten nice levels down, as Kestrap's copies do, so that it neither keeps a
// window waiting nor takes the processor from the copies it answers (with the copies below
// it, a run of 8 devices on loopback took a quarter longer). Set before any thread starts:
// threads inherit it.
constexpr int kNiceLevels = 10;

// What stop() waits for connections stuck in the system before the process ends anyway: an
// operator's SIGTERM is always honoured.
constexpr std::chrono::seconds kStopGrace {3};

// Every link of a station's devices takes a descriptor or three; the soft limit of 1024 is
// less than the connections the emulator admits.
void raiseDescriptorLimit()
{
    rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

int fail(const QString& message)
{
    std::fprintf(stderr, "kestrap-devicefarm: %s\n", qPrintable(message));
    return 1;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kestrap-devicefarm"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(kestrap::kVersion));
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Serves the devices of a device farm over the usbmuxd protocol; point libimobiledevice programs at it "
        "with USBMUXD_SOCKET_ADDRESS=UNIX:PATH."));
    p.addHelpOption();
    p.addVersionOption();
    const QCommandLineOption socket(
        QStringLiteral("socket"), QStringLiteral("The Unix socket to listen on."), QStringLiteral("PATH"));
    const QCommandLineOption latency(QStringLiteral("latency-ms"),
        QStringLiteral("Delay every request by N milliseconds (default 0)."), QStringLiteral("N"), "0");
    const QCommandLineOption rate(QStringLiteral("write-rate"),
        QStringLiteral("Cap each device's write rate at this many megabytes per second (default: no cap)."),
        QStringLiteral("MB_PER_S"), "0");
    const QCommandLineOption nice(QStringLiteral("nice"),
        QStringLiteral("Run this many nice levels below the caller, 0 to 19 (default %1).").arg(kNiceLevels),
        QStringLiteral("N"), QString::number(kNiceLevels));
    const QCommandLineOption plain(QStringLiteral("plain-sessions"),
        QStringLiteral("Keep lockdown sessions in plain text, as no real device does (for protocol fuzzing)."));
    p.addOptions({socket, latency, rate, nice, plain});
    p.addPositionalArgument(QStringLiteral("FARM"), QStringLiteral("The device farm folder."));
    p.process(app);
    if (p.positionalArguments().size() != 1)
        return fail(QStringLiteral("One device farm folder is required (kestrap-devicefarm FARM --socket PATH)."));
    if (!p.isSet(socket))
        return fail(QStringLiteral("--socket PATH is required."));
    kestrap::devicefarm::EmulatorOptions options;
    options.farm = p.positionalArguments().first();
    options.socketPath = p.value(socket);
    options.plainSessions = p.isSet(plain);
    bool ok = false;
    options.latencyMs = p.value(latency).toInt(&ok);
    if (!ok || options.latencyMs < 0 || options.latencyMs > 10000)
        return fail(QStringLiteral("--latency-ms takes a number from 0 to 10000."));
    options.writeRateMBps = p.value(rate).toDouble(&ok);
    if (!ok || options.writeRateMBps < 0)
        return fail(QStringLiteral("--write-rate takes a positive number of megabytes per second."));
    const int niceLevels = p.value(nice).toInt(&ok);
    if (!ok || niceLevels < 0 || niceLevels > 19)
        return fail(QStringLiteral("--nice takes a number from 0 to 19."));
    kestrap::lowerCallingThreadPriority(niceLevels);
    raiseDescriptorLimit();

    if (::pipe(g_signalPipe) != 0)
        return fail(QStringLiteral("cannot set up signal handling"));
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::signal(SIGPIPE, SIG_IGN);
    QSocketNotifier stop(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&stop, &QSocketNotifier::activated, &app, &QCoreApplication::quit);

    kestrap::devicefarm::FarmEmulator emulator(options);
    QString error;
    if (!emulator.start(&error))
        return fail(error);
    std::fprintf(
        stderr, "kestrap-devicefarm: serving %s on %s\n", qPrintable(options.farm), qPrintable(options.socketPath));
    const int code = app.exec();
    emulator.stop();
    // Where a run's time went: with --latency-ms, each of these cost that much.
    std::fprintf(stderr, "kestrap-devicefarm: served %llu requests\n", (unsigned long long)emulator.requestsServed());
    return code;
}
