// The libimobiledevice backend against a hostile usbmuxd. Between the backend and the device
// emulator sits a relay that spoils the emulator's answers as the input says: each byte of
// the input decides the fate of the next piece of an answer (passed, a byte changed, cut
// short with the link closed, replaced by bytes of the input, its length field rewritten, or
// the peer falls silent and then hangs up). The backend then does what a station does: the
// device list, the device opened, lockdown values, house arrest, and AFC folders, writes and
// reads. Oracles: no fault, no hang, every failure an error code the user is told in words,
// and threads and descriptors back where they were once the backend is gone.

#include "EmulatorFuzz.h"
#include "device/ios/imd/ImdMobileDeviceService.h"
#include "device/ios/sim/SimFarm.h"
#include "tools/devicefarm/FarmEmulator.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <set>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace kestrap;
using kestrap::fuzz::entries;

namespace {

const QString kApp = QStringLiteral("com.example.app");

// The input, read by every relayed link in the order their answers come.
class Script {
public:
    void reset(const std::uint8_t* data, std::size_t size)
    {
        std::lock_guard guard(m_lock);
        m_data = data;
        m_size = size;
        m_at = 0;
    }
    // The next byte; nothing once the input is spent, and from then on answers pass.
    int next()
    {
        std::lock_guard guard(m_lock);
        return m_at < m_size ? m_data[m_at++] : -1;
    }
    QByteArray take(std::size_t count)
    {
        std::lock_guard guard(m_lock);
        count = std::min(count, m_size - m_at);
        QByteArray bytes(reinterpret_cast<const char*>(m_data + m_at), qsizetype(count));
        m_at += count;
        return bytes;
    }

private:
    std::mutex m_lock;
    const std::uint8_t* m_data = nullptr;
    std::size_t m_size = 0;
    std::size_t m_at = 0;
};

bool sendAll(int fd, const char* bytes, std::size_t count)
{
    while (count > 0) {
        const ssize_t n = ::send(fd, bytes, count, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        count -= std::size_t(n);
    }
    return true;
}

int connectTo(const QByteArray& path)
{
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), std::size_t(path.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        return fd;
    if (fd >= 0)
        ::close(fd);
    return -1;
}

// What becomes of one piece of an answer: passed as it came, passed spoiled, cut short with
// the link closed, or never passed, the peer falling silent.
enum class Fate { Pass, Spoiled, Close, Silence };

Fate spoil(Script& script, QByteArray* chunk)
{
    const int op = script.next();
    if (op < 0)
        return Fate::Pass;
    switch (op % 8) {
    case 3:  // one byte changed
        if (!chunk->isEmpty())
            (*chunk)[std::max(0, script.next()) % chunk->size()] ^= char(script.next() | 1);
        return Fate::Spoiled;
    case 4:  // cut short, and the link closed
        chunk->truncate(std::max(0, script.next()) % (chunk->size() + 1));
        return Fate::Close;
    case 5: {  // something else entirely
        const auto high = std::size_t(std::max(0, script.next()));
        *chunk = script.take(high << 8 | std::size_t(std::max(0, script.next())));
        return Fate::Spoiled;
    }
    case 6:  // silence, then the link closed
        return Fate::Silence;
    case 7:  // a length field that lies (both protocols start a frame with one)
        if (chunk->size() >= 4)
            chunk->replace(0, 4, script.take(4).leftJustified(4, char(0xff)));
        return Fate::Spoiled;
    default:
        return Fate::Pass;
    }
}

// How long a link stays quiet after an answer was spoiled or held back before the peer hangs
// up: long enough for the client to wait on it, short enough for thousands of inputs. Were
// the link kept, the client would wait for libimobiledevice's own receive timeouts (tens of
// seconds for each frame a length announces and the peer never sends).
constexpr int kQuietMs = 100;

// A usbmuxd socket that forwards each link to the emulator and spoils what comes back.
class Relay {
public:
    Relay(QString path, QString upstream) : m_path(QFile::encodeName(path)), m_upstream(QFile::encodeName(upstream)) { }

    bool start()
    {
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, m_path.constData(), std::size_t(m_path.size()));
        m_listen = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (m_listen < 0 || ::bind(m_listen, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0
            || ::listen(m_listen, 64) != 0)
            return false;
        m_accept = std::thread([this] { acceptLoop(); });
        return true;
    }

    Script& script() { return m_script; }

    // Ends every link and waits for their threads: one input's links never serve the next.
    void cutAll()
    {
        std::vector<std::thread> threads;
        {
            std::lock_guard guard(m_lock);
            for (const auto& [client, upstream] : m_links) {
                ::shutdown(client, SHUT_RDWR);
                ::shutdown(upstream, SHUT_RDWR);
            }
            threads.swap(m_threads);
        }
        for (std::thread& t : threads)
            t.join();
    }

private:
    void acceptLoop()
    {
        for (;;) {
            const int client = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) {
                if (errno == EINTR || errno == ECONNABORTED)
                    continue;
                return;
            }
            const int upstream = connectTo(m_upstream);
            if (upstream < 0) {
                ::close(client);
                continue;
            }
            std::lock_guard guard(m_lock);
            m_links.insert({client, upstream});
            m_threads.emplace_back([this, client, upstream] { relay(client, upstream); });
        }
    }

    void relay(int client, int upstream)
    {
        bool silent = false;
        bool spoiled = false;
        // libusbmuxd 2.0.2 leaks the socket of every listening link that breaks (its monitor
        // thread connects anew without closing the old one): those links pass untouched.
        bool listener = false;
        for (;;) {
            pollfd fds[2] = {{client, POLLIN, 0}, {upstream, POLLIN, 0}};
            const int ready = ::poll(fds, 2, silent || spoiled ? kQuietMs : -1);
            if (ready == 0 || (ready < 0 && errno != EINTR))
                break;
            if (ready < 0)
                continue;
            char buffer[65536];
            if (fds[0].revents) {
                const ssize_t n = ::read(client, buffer, sizeof buffer);
                if (n <= 0 || !sendAll(upstream, buffer, std::size_t(n)))
                    break;
                listener |= QByteArray::fromRawData(buffer, n).contains("<string>Listen</string>");
            }
            if (fds[1].revents) {
                const ssize_t n = ::read(upstream, buffer, sizeof buffer);
                if (n <= 0)
                    break;
                if (silent)
                    continue;
                QByteArray chunk(buffer, n);
                const Fate fate = listener ? Fate::Pass : spoil(m_script, &chunk);
                silent = fate == Fate::Silence;
                spoiled |= fate == Fate::Spoiled;
                if (!silent && !sendAll(client, chunk.constData(), std::size_t(chunk.size())))
                    break;
                if (fate == Fate::Close)
                    break;
            }
        }
        std::lock_guard guard(m_lock);
        m_links.erase({client, upstream});
        ::close(client);
        ::close(upstream);
    }

    const QByteArray m_path;
    const QByteArray m_upstream;
    Script m_script;
    int m_listen = -1;
    std::thread m_accept;
    std::mutex m_lock;  // guards the two below
    std::set<std::pair<int, int>> m_links;
    std::vector<std::thread> m_threads;
};

struct Bench {
    QTemporaryDir dir;
    std::unique_ptr<devicefarm::FarmEmulator> emulator;
    std::unique_ptr<Relay> relay;
    int descriptors = 0;
    int threads = 0;
};

Bench* gBench = nullptr;

// The emulator's side of a link the relay closed goes when its thread notices, a moment later.
bool settles(int descriptors, int threads)
{
    for (int i = 0; i < 40; ++i) {
        if (entries("/proc/self/fd") <= descriptors && entries("/proc/self/task") <= threads)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// A failure must come as a code the user is told in words.
bool failed(MDError error, QString (*text)(MDError))
{
    if (error != MDSuccess && text(error).isEmpty()) {
        std::fprintf(stderr, "error %d has no words\n", int(error));
        __builtin_trap();
    }
    return error != MDSuccess;
}

bool amdFailed(MDError error)
{
    return failed(error, amdErrorText);
}

bool afcFailed(MDError error)
{
    return failed(error, afcErrorText);
}

// What a station does with a device's files: a folder, a file written and read back, the
// folder listed, and the file's facts.
void files(imd::ImdMobileDeviceService& service, AFCConnectionRef afc)
{
    if (afcFailed(service.AFCDirectoryCreate(afc, QStringLiteral("Documents/In"))))
        return;
    AFCFileRef file = 0;
    if (!afcFailed(service.AFCFileRefOpen(afc, QStringLiteral("Documents/In/a"), AFCFileModeWrite, &file))) {
        const QByteArray bytes(70000, 'k');
        afcFailed(service.AFCFileRefWrite(afc, file, bytes.constData(), std::uint32_t(bytes.size())));
        afcFailed(service.AFCFileRefClose(afc, file));
    }
    if (!afcFailed(service.AFCFileRefOpen(afc, QStringLiteral("Documents/In/a"), AFCFileModeRead, &file))) {
        char buffer[4096];
        std::uint32_t count = sizeof buffer;
        afcFailed(service.AFCFileRefSeek(afc, file, 16, AFCSeekFromStart));
        afcFailed(service.AFCFileRefRead(afc, file, buffer, &count));
        if (count > sizeof buffer)
            __builtin_trap();
        afcFailed(service.AFCFileRefClose(afc, file));
    }
    AFCDirectoryRef dir = nullptr;
    if (!afcFailed(service.AFCDirectoryOpen(afc, QStringLiteral("Documents/In"), &dir))) {
        QByteArray name;
        for (int i = 0; i < 1000 && !afcFailed(service.AFCDirectoryRead(afc, dir, &name)) && !name.isEmpty(); ++i) { }
        afcFailed(service.AFCDirectoryClose(afc, dir));
    }
    AFCKeyValueRef info = nullptr;
    if (!afcFailed(service.AFCFileInfoOpen(afc, QStringLiteral("Documents/In/a"), &info))) {
        QByteArray key;
        QByteArray value;
        for (int i = 0; i < 1000 && !afcFailed(service.AFCKeyValueRead(info, &key, &value)) && !key.isEmpty(); ++i) { }
        afcFailed(service.AFCKeyValueClose(info));
    }
    afcFailed(service.AFCRenamePath(afc, QStringLiteral("Documents/In/a"), QStringLiteral("Documents/In/b")));
    afcFailed(service.AFCRemovePath(afc, QStringLiteral("Documents/In/b")));
}

void station(imd::ImdMobileDeviceService& service, AMDeviceRef device)
{
    if (amdFailed(service.AMDeviceConnect(device)) || service.AMDeviceIsPaired(device) != 1
        || amdFailed(service.AMDeviceValidatePairing(device)) || amdFailed(service.AMDeviceStartSession(device)))
        return;
    service.AMDeviceCopyValue(device, {}, QStringLiteral("DeviceName"));
    service.AMDeviceCopyValue(device, QStringLiteral("com.apple.disk_usage"), QStringLiteral("TotalDataAvailable"));
    QVariantMap apps;
    amdFailed(service.AMDeviceLookupApplications(device, {}, &apps));
    AMServiceHandle handle = 0;
    AFCConnectionRef afc = nullptr;
    if (!amdFailed(service.AMDeviceStartHouseArrestService(device, kApp, AMHouseArrestVend::Container, &handle))
        && !afcFailed(service.AFCConnectionOpen(handle, 0, &afc))) {
        files(service, afc);
        afcFailed(service.AFCConnectionClose(afc));
    }
    amdFailed(service.AMDeviceStopSession(device));
    amdFailed(service.AMDeviceDisconnect(device));
}

}  // namespace

// libimobiledevice and libusbmuxd allocate whatever length a peer announces, up to 4 GiB a
// frame, before reading it; the sanitizer fills such a block for seconds. Over the bound the
// allocation fails instead, which the libraries answer as a broken link; anything of ours
// that asks that much fails loudly as before. Leaks are left to the backend's tests: libusbmuxd
// 2.0.2 keeps a device list's answer when the list has the wrong shape, and the libraries,
// built without frame pointers, leave no stack a suppression could tell from ours.
extern "C" const char* __asan_default_options()
{
    return "allocator_may_return_null=1:max_allocation_size_mb=256:detect_leaks=0";
}

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication app(*argc, *argv);
    auto* b = new Bench;
    const QString farm = b->dir.filePath(QStringLiteral("farm"));
    sim::SimDeviceSpec model;
    model.apps.push_back({kApp, QStringLiteral("App"), true});
    QString error;
    if (!sim::createDevice(farm, model, &error)) {
        std::fprintf(stderr, "cannot make the farm: %s\n", qPrintable(error));
        std::abort();
    }
    const QString upstream = b->dir.filePath(QStringLiteral("emulator"));
    b->emulator = std::make_unique<devicefarm::FarmEmulator>(devicefarm::EmulatorOptions {farm, upstream});
    if (!b->emulator->start(&error)) {
        std::fprintf(stderr, "cannot serve the farm: %s\n", qPrintable(error));
        std::abort();
    }
    const QString relay = b->dir.filePath(QStringLiteral("usbmuxd"));
    b->relay = std::make_unique<Relay>(relay, upstream);
    if (!b->relay->start())
        std::abort();
    qputenv("USBMUXD_SOCKET_ADDRESS", "UNIX:" + QFile::encodeName(relay));
    gBench = b;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Bench& b = *gBench;
    b.relay->script().reset(data, size);
    {
        imd::ImdMobileDeviceService service;
        std::vector<AMDeviceRef> present;
        AMDeviceNotificationRef subscription = 0;
        service.AMDeviceNotificationSubscribe(
            [&](const AMDeviceNotificationInfo& info) {
                if (info.message == AMDeviceMessageConnected) {
                    service.AMDeviceRetain(info.device);
                    present.push_back(info.device);
                }
            },
            &subscription);
        service.announceAttachedDevices();
        for (AMDeviceRef device : present) {
            station(service, device);
            service.AMDeviceRelease(device);
        }
        service.AMDeviceNotificationUnsubscribe(subscription);
    }
    b.relay->cutAll();
    b.relay->script().reset(nullptr, 0);

    // The first input may open what stays for the process's life (libusbmuxd's own thread).
    if (b.descriptors == 0) {
        b.descriptors = entries("/proc/self/fd");
        b.threads = entries("/proc/self/task");
    } else if (!settles(b.descriptors + 8, b.threads + 4)) {
        std::fprintf(stderr, "descriptors %d -> %d, threads %d -> %d\n", b.descriptors, entries("/proc/self/fd"),
            b.threads, entries("/proc/self/task"));
        std::system(qPrintable(QStringLiteral("ls -l /proc/%1/fd >&2").arg(::getpid())));
        __builtin_trap();
    }
    return 0;
}
