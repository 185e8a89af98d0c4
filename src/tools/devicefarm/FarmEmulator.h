#pragma once

#include "device/ios/MobileDeviceService.h"
#include "tools/devicefarm/Pairing.h"
#include "tools/devicefarm/Wire.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace kestrap::sim {
class SimMobileDeviceService;
}

namespace kestrap::devicefarm {

// What one client may hold of the emulator, and how long it may keep it waiting. The
// defaults leave room for a station of 64 devices with several links each; the tests
// shrink them.
struct EmulatorLimits {
    std::size_t connections = 1024;  // open at once; one more is closed at once
    // A usbmuxd request must come within `idle` of the connection's last one (a listener
    // and a link to a device service wait for ever), and the rest of any request within
    // `frame` of its first byte. A peer that takes no byte of an answer for `frame` is cut off.
    std::chrono::milliseconds idle {30000};
    std::chrono::milliseconds frame {30000};
    // A started service waits this long for its client to connect, then goes.
    std::chrono::milliseconds serviceWait {30000};
    std::size_t servicesPerClient = 64;  // waiting at once on one device, for one client
    std::size_t servicesPerDevice = 4096;  // a quarter of the dynamic ports
    std::size_t openFilesPerSession = 256;  // per AFC connection
    // Announcements a listener may fall behind by, in bytes, beyond what its socket holds;
    // past it the listener is dropped.
    std::size_t listenerBacklog = 256 * 1024;
};

struct EmulatorOptions {
    QString farm;
    QString socketPath;
    int latencyMs = 0;  // slept before every answer
    double writeRateMBps = 0;  // per device; 0 = no cap
    EmulatorLimits limits {};
    // Lockdown sessions stay in plain text (EnableSessionSSL false), as no real device does:
    // for protocol fuzzing, where every byte a fuzzer sends must reach the parsers.
    bool plainSessions = false;
};

// Who is at the other end of a connection: the process, as the kernel vouches for it.
struct Client {
    pid_t pid = 0;
    uid_t uid = 0;
    bool operator==(const Client&) const = default;
};

// A service started through lockdown and waiting for its connection.
struct PendingService {
    enum Kind { Afc, HouseArrest, InstallationProxy } kind = Afc;
    QString name;
    AMServiceHandle handle = 0;  // of the simulated backend, for Afc
    Client client;  // the only one that may connect to it
    std::chrono::steady_clock::time_point expires {};
};

// One attachment of a farm device as usbmuxd numbers it.
struct EmuDevice {
    EmuDevice(std::shared_ptr<MobileDeviceService> service, AMDeviceRef record);
    ~EmuDevice();  // gives the record back: connections still serving the device hold it till then
    EmuDevice(const EmuDevice&) = delete;
    EmuDevice& operator=(const EmuDevice&) = delete;

    const std::shared_ptr<MobileDeviceService> service;
    const AMDeviceRef record;
    std::uint32_t id = 0;
    QString udid;
    QString folder;
    std::atomic<bool> alive {true};

    std::mutex lock;  // guards the fields below
    std::map<std::uint16_t, PendingService> services;
    std::chrono::steady_clock::time_point linkFree {};  // when the write link is free again
};

// One client socket. The thread serving it alone reads, writes and closes the descriptor.
// Other threads reach the socket only through cut() and announce(), under `lock`, which
// close() takes too: no other thread ever uses a descriptor number the system has given to
// a newer connection.
class Connection {
public:
    Connection(int fd, Client client);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    int fd() const { return m_fd; }
    // What the serving thread reads and writes through: plain text, or TLS once a lockdown
    // session has switched it.
    Link& link() { return m_link; }
    const Client& client() const { return m_client; }

    // Breaks the link: the serving thread's reads and writes end. Any thread.
    void cut();
    // Gives the descriptor back; the serving thread, once it is done with it.
    void close();

    // A listener's messages, sent by its serving thread: `first` (the answer to Listen and
    // the devices present) now, announcements as they come. The serving thread.
    bool startListening(const QByteArray& first);
    bool listening() const;
    // Queues an announcement for a listener without waiting for it; a listener more than
    // `backlog` bytes behind is cut off instead. Any thread.
    void announce(const QByteArray& frame, std::size_t backlog);
    // For the serving thread of a listener: sends what is queued, until the peer closes, sends
    // anything (usbmuxd takes no request from a listener) or does not keep up.
    void serveListener();

    std::shared_ptr<EmuDevice> device;  // once connected through to a device; see bindDevice

private:
    int m_fd;
    Link m_link;
    const Client m_client;
    mutable std::mutex m_lock;  // guards the fields below and orders cut() and announce() before close()
    bool m_open = true;
    bool m_listening = false;
    QByteArray m_outbox;  // announcements not yet taken by the serving thread
    int m_wake = -1;  // an eventfd: announcements are queued
};

// The device emulator: serves a device farm over the usbmuxd protocol on a Unix socket.
// Device behaviour (pairing, apps, capacity, faults, path confinement, plug state) is the
// simulated backend's; this class and the protocol handlers only translate wire requests
// into calls of the mobile-device seam.
//
// Threads: start(), stop() and the farm's notifications run on the thread that created the
// object, which must run a Qt event loop; none of them waits for a client. An accept thread
// takes connections and each connection is served by a thread of its own; those threads use
// the accessors below. Lock order: m_devicesLock, m_connectionsLock, a Connection's lock;
// an EmuDevice's lock is taken alone.
class FarmEmulator : public QObject {
    Q_OBJECT
public:
    explicit FarmEmulator(EmulatorOptions options);
    ~FarmEmulator() override;

    // Binds the socket (replacing a stale socket nobody listens on, never anything else) and
    // starts serving.
    bool start(QString* error);
    // Closes every connection and waits up to `grace` for their threads; false when some are
    // still running (a thread stuck in the system), in which case the object must not go.
    bool stop(std::chrono::milliseconds grace = std::chrono::milliseconds::max());

    // --- For the connection threads ---------------------------------------------------
    sim::SimMobileDeviceService& sim() { return *m_sim; }
    MobileDeviceService& service();
    const EmulatorLimits& limits() const { return m_options.limits; }
    std::shared_ptr<EmuDevice> device(std::uint32_t id);
    std::vector<std::shared_ptr<EmuDevice>> devices();
    // Ties the connection to a device, so that it breaks when the device goes; false when
    // the device has gone already.
    bool bindDevice(Connection& connection, const std::shared_ptr<EmuDevice>& device);
    // Makes the connection a listener: the answer to Listen, then every device present, then
    // every change, with no announcement lost or doubled between them.
    bool listen(Connection& connection, const QByteArray& answer);
    // Called once at every request: counts it and waits the configured latency.
    void beginRequest();
    // Counts a request and answers when its answer is due, without waiting: a write waits
    // once, for the later of that and its turn on the link (see throttleWrite).
    std::chrono::steady_clock::time_point requestDue(
        std::chrono::steady_clock::time_point arrived = std::chrono::steady_clock::now());
    std::uint64_t requestsServed() const { return m_requests; }
    // Waits until the device's write link has carried `bytes` more at the capped rate, counted
    // from when they began to arrive, and at least until `due`. One link a device: its
    // connections take turns on it.
    void throttleWrite(EmuDevice& device, std::size_t bytes, std::chrono::steady_clock::time_point arrived,
        std::chrono::steady_clock::time_point due) const;
    // A random free port for a started service, which only its client can take (takeService)
    // until it expires; nothing when that client has too many services waiting on the device,
    // or the device has.
    std::optional<std::uint16_t> registerService(EmuDevice& device, PendingService service);
    std::optional<PendingService> takeService(EmuDevice& device, std::uint16_t port, const Client& client);
    // Connects the simulated record and starts its session, as a wire session needs.
    MDError ensureSession(EmuDevice& device);
    const QString& farm() const { return m_options.farm; }
    bool plainSessions() const { return m_options.plainSessions; }
    // Who trusts whom: the devices' keys and trusted hosts, usbmuxd's pair records.
    PairingStore& pairing() { return m_pairing; }

    // usbmuxd's "Attached" message, with the device's place as its "LocationID".
    QVariantMap attachedMessage(const EmuDevice& device);

private:
    std::uint32_t locationOf(const EmuDevice& device);
    void onNotification(AMDeviceRef record, std::int32_t message);
    void broadcast(const QVariantMap& message);
    void acceptLoop();
    int acceptOne();
    void serve(std::shared_ptr<Connection> connection);
    // Gives the simulated backend's handle of services nobody will take back.
    void release(std::vector<PendingService> services);

    const EmulatorOptions m_options;
    std::atomic<std::uint64_t> m_requests {0};
    std::shared_ptr<sim::SimMobileDeviceService> m_sim;
    PairingStore m_pairing;
    AMDeviceNotificationRef m_subscription = 0;
    bool m_started = false;  // the devices present at the start have been announced
    int m_listenFd = -1;
    // Held free for the moment descriptors run out: closed, it lets the accept thread take
    // the waiting connection and close it, instead of finding it waiting again at once.
    int m_reserveFd = -1;
    std::thread m_acceptThread;

    std::mutex m_devicesLock;  // guards m_devices and m_nextId
    std::map<std::uint32_t, std::shared_ptr<EmuDevice>> m_devices;
    std::uint32_t m_nextId = 1;

    std::mutex m_connectionsLock;  // guards m_connections and m_stopping
    std::condition_variable m_connectionsDone;
    std::set<std::shared_ptr<Connection>> m_connections;
    bool m_stopping = false;
};

// The protocol handlers, one per kind of connection (Handlers.cpp, Afc.cpp). Each returns
// when the peer closes, misbehaves or the device goes.
void serveMux(FarmEmulator& emulator, const std::shared_ptr<Connection>& connection);
void serveLockdown(FarmEmulator& emulator, Connection& connection);
void serveHouseArrest(FarmEmulator& emulator, Connection& connection);
void serveInstallationProxy(FarmEmulator& emulator, Connection& connection);
// Serves AFC on an open connection of the simulated backend rooted at hostRoot; closes it.
void serveAfc(FarmEmulator& emulator, Connection& connection, AFCConnectionRef afc, const QString& hostRoot);

}  // namespace kestrap::devicefarm
