#pragma once

#include "device/ios/MobileDeviceService.h"

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
#include <thread>
#include <vector>

namespace kestrap::sim {
class SimMobileDeviceService;
}

namespace kestrap::devicefarm {

struct EmulatorOptions {
    QString farm;
    QString socketPath;
    int latencyMs = 0;  // slept before every answer
    double writeRateMBps = 0;  // per device; 0 = no cap
};

// A service started through lockdown and waiting for its connection.
struct PendingService {
    enum Kind { Afc, HouseArrest, InstallationProxy } kind = Afc;
    QString name;
    AMServiceHandle handle = 0;  // of the simulated backend, for Afc
};

// One attachment of a farm device as usbmuxd numbers it.
struct EmuDevice {
    std::uint32_t id = 0;
    QString udid;
    QString folder;
    AMDeviceRef record = nullptr;
    std::atomic<bool> alive {true};

    std::mutex lock;  // guards the fields below
    std::map<std::uint16_t, PendingService> services;
    std::uint16_t nextPort = 49152;
    std::chrono::steady_clock::time_point linkFree {};  // when the write link is free again
};

// One client socket. Writes may come from the connection's own thread and, for listeners,
// from the main thread announcing devices; writeLock orders them.
struct Connection {
    int fd = -1;
    std::mutex writeLock;
    std::shared_ptr<EmuDevice> device;  // once connected through to a device; see bindDevice
    std::atomic<bool> listening {false};  // set under writeLock
};

// The device emulator: serves a device farm over the usbmuxd protocol on a Unix socket.
// Device behaviour (pairing, apps, capacity, faults, path confinement, plug state) is the
// simulated backend's; this class and the protocol handlers only translate wire requests
// into calls of the mobile-device seam.
//
// Threads: start(), stop() and the farm's notifications run on the thread that created the
// object, which must run a Qt event loop. An accept thread takes connections and each
// connection is served by a thread of its own; those threads use the accessors below.
class FarmEmulator : public QObject {
    Q_OBJECT
public:
    explicit FarmEmulator(EmulatorOptions options);
    ~FarmEmulator() override;

    // Binds the socket (replacing a stale one nobody listens on) and starts serving.
    bool start(QString* error);
    // Closes every connection and waits for their threads.
    void stop();

    // --- For the connection threads ---------------------------------------------------
    sim::SimMobileDeviceService& sim() { return *m_sim; }
    MobileDeviceService& service();
    std::shared_ptr<EmuDevice> device(std::uint32_t id);
    std::vector<std::shared_ptr<EmuDevice>> devices();
    // Ties the connection to a device, so that it breaks when the device goes; false when
    // the device has gone already.
    bool bindDevice(Connection& connection, const std::shared_ptr<EmuDevice>& device);
    // Called once at every request: counts it and waits the configured latency.
    void beginRequest();
    // Counts a request and answers when its answer is due, without waiting: a write waits
    // once, for the later of that and its turn on the link (see throttleWrite).
    std::chrono::steady_clock::time_point requestDue();
    std::uint64_t requestsServed() const { return m_requests; }
    // Waits until the device's write link has carried `bytes` more at the capped rate, and
    // at least until `due`.
    void throttleWrite(EmuDevice& device, std::size_t bytes, std::chrono::steady_clock::time_point due) const;
    // A port for a started service; takeService hands it to the connection that comes.
    std::uint16_t registerService(EmuDevice& device, PendingService service);
    std::optional<PendingService> takeService(EmuDevice& device, std::uint16_t port);
    // Connects the simulated record and starts its session, as a wire session needs.
    MDError ensureSession(EmuDevice& device);
    const QString& farm() const { return m_options.farm; }

    static QVariantMap attachedMessage(const EmuDevice& device);

private:
    void onNotification(AMDeviceRef record, std::int32_t message);
    void broadcast(const QVariantMap& message);
    void acceptLoop();
    void serve(std::shared_ptr<Connection> connection);

    const EmulatorOptions m_options;
    std::atomic<std::uint64_t> m_requests {0};
    std::shared_ptr<sim::SimMobileDeviceService> m_sim;
    AMDeviceNotificationRef m_subscription = 0;
    int m_listenFd = -1;
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
