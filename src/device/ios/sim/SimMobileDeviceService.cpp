// The lockdown side of the simulated devices: attachments, pairing, sessions, values,
// service starts and app lookups. The file side is in SimAfc.cpp.

#include "device/ios/sim/SimMobileDeviceService.h"

#include <dirent.h>

#include "device/ios/sim/SimState.h"
#include "device/ios/sim/SimSubscription.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QThread>

namespace kestrap::sim {

namespace {

// Service starts and app lookups need a connected link with a lockdown session.
MDError sessionError(const SimRecord& record)
{
    if (!record.connected)
        return AMDNotConnectedError;
    return record.session ? MDSuccess : AMDSessionInactiveError;
}

// device.plist keys that describe the simulation and are not lockdown values.
const QSet<QString>& simulationKeys()
{
    static const QSet<QString> keys {kKeyFSTotalBytes, kKeyFSFreeBytes, kKeyPaired, kKeyAFC2, kKeyApplications,
        kKeyFaults, kKeyTrust, kKeyPasscodeLocked, kKeyLocationID};
    return keys;
}

}  // namespace

SimMobileDeviceService::SimMobileDeviceService(const QString& farmPath) : m_farm(QDir(farmPath).absolutePath())
{
    setUsbSysfsRoot(QDir(m_farm).filePath(kSysfsFolder));
}

SimMobileDeviceService::~SimMobileDeviceService()
{
    // Subscriptions left by their owners die with the service, which they point to.
    std::map<AMDeviceNotificationRef, SimSubscription*> left;
    {
        std::lock_guard guard(m_subscriptionsLock);
        left.swap(m_subscriptions);
    }
    for (auto& [ref, sub] : left)
        sub->cancel();
}

std::shared_ptr<SimDeviceState> SimMobileDeviceService::stateFor(const QString& udid)
{
    std::lock_guard guard(m_devicesLock);
    auto& state = m_states[udid];
    if (!state) {
        state = std::make_shared<SimDeviceState>();
        state->udid = udid;
        state->folder = QDir(m_farm).filePath(udid);
    }
    return state;
}

void SimMobileDeviceService::scanFarm()
{
    std::lock_guard scan(m_scanLock);
    // A farm that cannot be listed now (no descriptor left, say) says nothing of its devices:
    // taking it for empty would unplug every one of them.
    if (DIR* farm = ::opendir(QFile::encodeName(m_farm).constData()))
        ::closedir(farm);
    else
        return;
    const QStringList ids = deviceIds(m_farm);
    for (const QString& udid : ids) {
        const bool plugged = isPlugged(m_farm, udid);
        const auto state = stateFor(udid);
        if (plugged == state->plugged)
            continue;
        std::lock_guard guard(state->stateLock);
        if (plugged && !state->plugged) {
            QString error;
            const auto plist = readDevicePlist(state->folder, &error);
            if (!plist) {
                if (!state->unreadableReported)
                    qWarning("simulated device %s not plugged in: %s", qPrintable(udid), qPrintable(error));
                state->unreadableReported = true;
                continue;
            }
            state->unreadableReported = false;
            auto record = std::make_shared<SimRecord>();
            record->state = state;
            record->udid = udid;
            state->plist = *plist;
            state->faults = SimFaults::fromPlist(plist->value(kKeyFaults).toMap());
            state->faultBytes = 0;
            state->handshakes = 0;
            state->usedBytes.reset();
            state->plugged = true;
            state->current = record.get();
            std::lock_guard devices(m_devicesLock);
            m_records.emplace(record.get(), std::move(record));
        } else if (!plugged && state->plugged) {
            unplugLocked(*state);
        }
    }
    std::vector<std::shared_ptr<SimDeviceState>> all;
    {
        std::lock_guard devices(m_devicesLock);
        for (const auto& state : m_states)
            if (!ids.contains(state->udid))
                all.push_back(state);
    }
    for (const auto& state : all) {
        std::lock_guard guard(state->stateLock);
        if (state->plugged)
            unplugLocked(*state);
    }
}

void SimMobileDeviceService::unplugLocked(SimDeviceState& state)
{
    state.plugged = false;
    // Calls held by a device that stopped answering fail now, as for a pulled cable.
    state.stalled = false;
    state.stallEnded.notify_all();
    if (SimRecord* record = state.current.exchange(nullptr)) {
        record->alive = false;
        record->connected = false;
        record->session = false;
        AMDeviceRelease(record);
    }
}

void SimMobileDeviceService::AMDeviceRetain(AMDeviceRef device)
{
    std::lock_guard devices(m_devicesLock);
    const auto it = m_records.find(device);
    if (it != m_records.end())
        ++it->second->holds;
}

void SimMobileDeviceService::AMDeviceRelease(AMDeviceRef device)
{
    std::shared_ptr<SimRecord> forgotten;  // freed after the lock: it may hold the last link to its device
    std::lock_guard devices(m_devicesLock);
    const auto it = m_records.find(device);
    if (it == m_records.end() || --it->second->holds > 0)
        return;
    forgotten = std::move(it->second);
    m_records.erase(it);
}

std::size_t SimMobileDeviceService::recordCount() const
{
    std::lock_guard devices(m_devicesLock);
    return m_records.size();
}

std::map<QString, SimRecord*> SimMobileDeviceService::currentRecords()
{
    // An unplug gives up the attachment's hold only after it has cleared `current`, and
    // under m_devicesLock: a record seen here is held before it can be forgotten.
    std::map<QString, SimRecord*> current;
    std::lock_guard devices(m_devicesLock);
    for (const auto& state : m_states) {
        if (SimRecord* record = state->current) {
            ++record->holds;
            current[state->udid] = record;
        }
    }
    return current;
}

void SimMobileDeviceService::setFaults(const QString& udid, const SimFaults& faults)
{
    const auto state = stateFor(udid);
    std::lock_guard guard(state->stateLock);
    state->faults = faults;
    state->faultBytes = 0;
}

int SimMobileDeviceService::callCount(const QString& udid, const QString& call) const
{
    std::shared_ptr<SimDeviceState> state;
    {
        std::lock_guard devices(m_devicesLock);
        state = m_states.value(udid);
    }
    if (!state)
        return 0;
    std::lock_guard guard(state->stateLock);
    const QByteArray name = call.toLatin1();
    const auto it = state->calls.find(std::string_view(name.constData(), std::size_t(name.size())));
    return it == state->calls.end() ? 0 : it->second;
}

void SimMobileDeviceService::resetCallCounts(const QString& udid)
{
    const auto state = stateFor(udid);
    std::lock_guard guard(state->stateLock);
    state->calls.clear();
}

bool SimMobileDeviceService::takePairRecordDrop(const QString& udid)
{
    const auto state = stateFor(udid);
    std::lock_guard guard(state->stateLock);
    if (state->faults.dropPairRecordReads <= 0)
        return false;
    --state->faults.dropPairRecordReads;
    return true;
}

bool SimMobileDeviceService::takeHandshakeUnplug(const QString& udid)
{
    const auto state = stateFor(udid);
    std::lock_guard guard(state->stateLock);
    return ++state->handshakes == state->faults.unplugAtHandshake;
}

AMDeviceRef SimMobileDeviceService::currentRecord(const QString& udid)
{
    scanFarm();
    return stateFor(udid)->current;
}

AMDeviceRef SimMobileDeviceService::makeStrayRecord(const QString& udid)
{
    auto record = std::make_shared<SimRecord>();
    record->udid = udid;
    record->alive = false;
    SimRecord* stray = record.get();
    std::lock_guard devices(m_devicesLock);
    m_records.emplace(stray, std::move(record));
    return stray;
}

void SimMobileDeviceService::rescan()
{
    std::vector<SimSubscription*> subs;
    {
        std::lock_guard guard(m_subscriptionsLock);
        for (const auto& [ref, sub] : m_subscriptions)
            if (sub->thread() == QThread::currentThread())
                subs.push_back(sub);
    }
    for (SimSubscription* sub : subs)
        sub->poll();
}

void SimMobileDeviceService::deliverNotification(AMDeviceRef device, std::int32_t message)
{
    std::vector<SimSubscription*> subs;
    {
        std::lock_guard guard(m_subscriptionsLock);
        for (const auto& [ref, sub] : m_subscriptions)
            subs.push_back(sub);
    }
    for (SimSubscription* sub : subs)
        sub->deliver(device, message);
}

void SimMobileDeviceService::unplug(const QString& udid)
{
    const auto state = stateFor(udid);
    std::lock_guard guard(state->stateLock);
    unplugLocked(*state);
    QFile marker(QDir(state->folder).filePath(kUnpluggedMarker));
    marker.open(QIODevice::WriteOnly);
}

void SimMobileDeviceService::unplugAll()
{
    std::vector<std::shared_ptr<SimDeviceState>> states;
    {
        std::lock_guard devices(m_devicesLock);
        for (const auto& state : m_states)
            states.push_back(state);
    }
    for (const auto& state : states) {
        std::lock_guard guard(state->stateLock);
        if (state->plugged)
            unplugLocked(*state);
    }
}

MDError SimMobileDeviceService::AMDeviceNotificationSubscribe(
    AMDeviceNotificationCallback callback, AMDeviceNotificationRef* notification)
{
    if (!callback || !notification)
        return AMDInvalidArgumentError;
    auto* sub = new SimSubscription(this, std::move(callback));
    std::lock_guard guard(m_subscriptionsLock);
    *notification = m_nextSubscription++;
    m_subscriptions[*notification] = sub;
    return MDSuccess;
}

MDError SimMobileDeviceService::AMDeviceNotificationUnsubscribe(AMDeviceNotificationRef notification)
{
    SimSubscription* sub = nullptr;
    {
        std::lock_guard guard(m_subscriptionsLock);
        const auto it = m_subscriptions.find(notification);
        if (it == m_subscriptions.end())
            return AMDInvalidArgumentError;
        sub = it->second;
        m_subscriptions.erase(it);
    }
    sub->cancel();
    return MDSuccess;
}

std::shared_ptr<SimRecord> SimMobileDeviceService::findRecord(AMDeviceRef device) const
{
    // Records nobody holds are forgotten: a caller's pointer is looked up, never trusted.
    std::lock_guard devices(m_devicesLock);
    const auto it = m_records.find(device);
    return it == m_records.end() ? nullptr : it->second;
}

QString SimMobileDeviceService::AMDeviceCopyDeviceIdentifier(AMDeviceRef device)
{
    const auto record = findRecord(device);
    return record ? record->udid : QString();
}

namespace {

// A device record, its device locked and the call counted (even on a dead record: tests
// count what the device layer tried). `state` is null, with the reason in `error`, when the
// record is a stray, forgotten, or its device has gone.
struct LockedRecord {
    // The record is kept alive until its device's lock is given back.
    struct Held {
        std::shared_ptr<SimRecord> kept;
        std::unique_lock<std::mutex> lock;
    };
    SimRecord* record = nullptr;
    SimDeviceState* state = nullptr;
    Held held;
    MDError error = MDSuccess;
};

LockedRecord lockRecord(AMDeviceRef device, std::shared_ptr<SimRecord> found, const char* call)
{
    LockedRecord r;
    r.record = found.get();
    r.held.kept = std::move(found);
    if (!r.record) {
        r.error = device ? AMDDeviceDisconnectedError : AMDInvalidArgumentError;
        return r;
    }
    if (!r.record->state) {
        r.error = AMDDeviceDisconnectedError;
        return r;
    }
    r.held.lock = std::unique_lock(r.record->state->stateLock);
    waitWhileStalled(*r.record->state, r.held.lock);
    ++r.record->state->calls[call];
    if (!r.record->alive) {
        r.error = AMDDeviceDisconnectedError;
        return r;
    }
    r.state = r.record->state.get();
    return r;
}

}  // namespace

MDError SimMobileDeviceService::AMDeviceConnect(AMDeviceRef device)
{
    auto [record, state, lock, error] = lockRecord(device, findRecord(device), "AMDeviceConnect");
    if (!state)
        return error;
    // The description is read again at every connection, so a test or an operator can
    // change pairing, apps or capacity of a plugged device.
    if (const auto plist = readDevicePlist(state->folder))
        state->plist = *plist;
    record->connected = true;
    return MDSuccess;
}

MDError SimMobileDeviceService::AMDeviceDisconnect(AMDeviceRef device)
{
    auto [record, state, lock, error] = lockRecord(device, findRecord(device), "AMDeviceDisconnect");
    if (!state)
        return error;
    record->connected = false;
    record->session = false;
    return MDSuccess;
}

std::int32_t SimMobileDeviceService::AMDeviceIsPaired(AMDeviceRef device)
{
    auto [record, state, lock, error] = lockRecord(device, findRecord(device), "AMDeviceIsPaired");
    if (!state || !record->connected)
        return 0;
    return trustAnswer(state->plist) == TrustAnswer::Trusted ? 1 : 0;
}

MDError SimMobileDeviceService::AMDeviceValidatePairing(AMDeviceRef device)
{
    auto [record, state, lock, error] = lockRecord(device, findRecord(device), "AMDeviceValidatePairing");
    if (!state)
        return error;
    if (!record->connected)
        return AMDNotConnectedError;
    if (trustAnswer(state->plist) != TrustAnswer::Trusted || state->faults.refusePairing)
        return AMDPairingRefusedError;
    return MDSuccess;
}

MDError SimMobileDeviceService::AMDeviceStartSession(AMDeviceRef device)
{
    auto [record, state, lock, error] = lockRecord(device, findRecord(device), "AMDeviceStartSession");
    if (!state)
        return error;
    if (!record->connected)
        return AMDNotConnectedError;
    if (trustAnswer(state->plist) != TrustAnswer::Trusted || state->faults.refusePairing)
        return AMDPairingRefusedError;
    if (state->faults.refuseSession)
        return AMDSessionRefusedError;
    record->session = true;
    return MDSuccess;
}

MDError SimMobileDeviceService::AMDeviceStopSession(AMDeviceRef device)
{
    auto [record, state, lock, error] = lockRecord(device, findRecord(device), "AMDeviceStopSession");
    if (!state)
        return error;
    if (!record->session)
        return AMDSessionInactiveError;
    record->session = false;
    return MDSuccess;
}

QVariant SimMobileDeviceService::AMDeviceCopyValue(AMDeviceRef device, const QString& domain, const QString& key)
{
    auto [record, state, lock, error] = lockRecord(device, findRecord(device), "AMDeviceCopyValue");
    if (!state || !record->connected)
        return {};
    if (domain == kBatteryDomain) {
        const QString folder = state->folder;
        lock.lock.unlock();
        const auto plist = readDevicePlist(folder);
        return plist ? plist->value(domain).toMap().value(key) : QVariant();
    }
    if (!domain.isEmpty())
        return state->plist.value(domain).toMap().value(key);
    if (simulationKeys().contains(key) || isDomainKey(key))
        return {};
    return state->plist.value(key);
}

std::uint32_t SimMobileDeviceService::AMDeviceUSBLocationID(AMDeviceRef device)
{
    auto [record, state, lock, error] = lockRecord(device, findRecord(device), "AMDeviceUSBLocationID");
    return state ? std::uint32_t(state->plist.value(kKeyLocationID).toLongLong()) : 0;
}

MDError SimMobileDeviceService::startServiceOn(
    SimRecord* record, const QString& root, bool create, AMServiceHandle* service, bool documentsOnly)
{
    // An app's container always has its Documents folder; one made by hand may lack it.
    if (create && !QDir().mkpath(documentsOnly ? QDir(root).filePath(kDocumentsFolder) : root))
        return AMDUnknownError;
    std::lock_guard guard(m_servicesLock);
    *service = m_nextService++;
    m_services[*service] = {record->shared_from_this(), root, documentsOnly};
    return MDSuccess;
}

MDError SimMobileDeviceService::AMDeviceStartService(
    AMDeviceRef device, const QString& serviceName, AMServiceHandle* service)
{
    auto [record, state, lock, error] = lockRecord(device, findRecord(device), "AMDeviceStartService");
    if (!state)
        return error;
    if (const MDError failure = sessionError(*record))
        return failure;
    if (!service || state->faults.refuseServices.contains(serviceName))
        return AMDServiceProhibitedError;
    if (serviceName == kServiceAFC)
        return startServiceOn(record, QDir(state->folder).filePath(kMediaFolder), true, service);
    if (serviceName == kServiceAFC2 && state->plist.value(kKeyAFC2).toBool())
        return startServiceOn(record, QDir(state->folder).filePath(kRootFolder), true, service);
    return AMDServiceProhibitedError;
}

MDError SimMobileDeviceService::AMDeviceStartHouseArrestService(
    AMDeviceRef device, const QString& bundleId, AMHouseArrestVend vend, AMServiceHandle* service)
{
    auto [record, state, lock, error] = lockRecord(device, findRecord(device), "AMDeviceStartHouseArrestService");
    if (!state)
        return error;
    if (const MDError failure = sessionError(*record))
        return failure;
    if (!service || state->faults.refuseHouseArrest)
        return AMDServiceProhibitedError;
    const QVariantMap apps = state->plist.value(kKeyApplications).toMap();
    const auto app = apps.constFind(bundleId);
    if (!isValidBundleId(bundleId) || app == apps.constEnd())
        return AMDApplicationNotInstalledError;
    const QVariantMap attributes = app.value().toMap();
    const bool documents = vend == AMHouseArrestVend::Documents;
    const bool given = documents ? attributes.value(kAppFileSharing, true).toBool()
                                 : attributes.value(kAppDevelopment, false).toBool();
    if (!given)
        return AMDVendRefusedError;
    const QString root = QDir(state->folder).filePath(kContainersFolder + QLatin1Char('/') + bundleId);
    return startServiceOn(record, root, true, service, documents);
}

MDError SimMobileDeviceService::AMDeviceLookupApplications(
    AMDeviceRef device, const QVariantMap& options, QVariantMap* apps)
{
    auto [record, state, lock, error] = lockRecord(device, findRecord(device), "AMDeviceLookupApplications");
    if (!state)
        return error;
    if (const MDError failure = sessionError(*record))
        return failure;
    if (!apps)
        return AMDInvalidArgumentError;
    if (state->faults.refuseAppLookups > 0) {
        --state->faults.refuseAppLookups;
        return AMDUnknownError;
    }
    const QStringList wanted = options.value(QStringLiteral("ReturnAttributes")).toStringList();
    const QVariantMap installed = state->plist.value(kKeyApplications).toMap();
    QVariantMap answer;
    for (auto it = installed.begin(); it != installed.end(); ++it) {
        QVariantMap attributes = deviceAppAttributes(it.value().toMap());
        if (!wanted.isEmpty()) {
            for (auto a = attributes.begin(); a != attributes.end();)
                a = wanted.contains(a.key()) ? std::next(a) : attributes.erase(a);
        }
        answer.insert(it.key(), attributes);
    }
    *apps = answer;
    return MDSuccess;
}

}  // namespace kestrap::sim
