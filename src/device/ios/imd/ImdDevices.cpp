// The libimobiledevice backend's device list: usbmuxd's attachments followed, each new one
// prepared on a worker thread, announcements handed to the subscribing threads in order.
#include "device/ios/imd/ImdErrors.h"
#include "device/ios/imd/ImdMobileDeviceService.h"
#include "device/ios/imd/ImdState.h"
#include "device/ios/imd/ImdSubscription.h"
#include "util/Plist.h"

#include <QDebug>
#include <QThread>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <set>
#include <usbmuxd.h>

namespace kestrap::imd {

namespace {

using namespace std::chrono_literals;

// How often usbmuxd's list is read even without an event: a usbmuxd that restarts between
// two looks is not seen by its events alone.
constexpr auto kListInterval = 250ms;
// How often a device that does not trust this computer is tried again.
constexpr auto kTrustRetry = 1s;
// How long announceAttachedDevices() waits for the devices present to be prepared.
constexpr auto kAnnounceWait = 10s;
// How long usbmuxd may fail to answer for its list before its devices count as lost. A
// usbmuxd busy with many devices opening at once can miss one request; one that went away
// is known sooner, by the detach events libusbmuxd sends when its link to it breaks.
constexpr auto kUnansweredListGrace = 2s;
// How many answered lists in a row must leave a device out before it counts as gone, when
// usbmuxd did not say it was detached. After one list request that goes unanswered,
// libusbmuxd makes every later list of the process from a new connection's announcements,
// ended by the first pause of 100 ms, which a busy usbmuxd can leave short.
constexpr int kUnlistedListsForGone = 2;

// Deadlines on the system clock: waits against it go through pthread_cond_timedwait, which
// ThreadSanitizer follows; a steady-clock wait does not, and every wake-up would look like
// a race. A clock step at most shortens or stretches one short wait.
std::chrono::system_clock::time_point after(std::chrono::system_clock::duration wait)
{
    return std::chrono::system_clock::now() + wait;
}

const char* const kLabel = "kestrap";

// What keeps a device that could not be opened, by the cause of its last try.
DeviceReadiness readinessOf(MDError error)
{
    switch (error) {
    case AMDPairingRefusedError:
        return DeviceReadiness::AwaitingTrust;
    case AMDTrustDeniedError:
        return DeviceReadiness::TrustDenied;
    case AMDPasscodeLockedError:
        return DeviceReadiness::PasscodeLocked;
    default:
        return DeviceReadiness::NotAnswering;
    }
}

// On libusbmuxd's own thread: the monitor reads the list itself; a detach is kept, since the
// list may show the same attachment again once usbmuxd is back.
void onUsbmuxEvent(const usbmuxd_event_t* event, void* self)
{
    auto* service = static_cast<ImdMobileDeviceService*>(self);
    if (event->event == UE_DEVICE_REMOVE)
        service->detached(QString::fromLatin1(event->device.udid), event->device.handle);
    else
        service->wakeMonitor();
}

// OpenSSL writes on a device's encrypted link with plain write(): a device that goes in the
// middle of a session would end the process with SIGPIPE instead of failing the request. A
// handler the program installed itself stays.
void ignoreBrokenPipes()
{
    struct sigaction current { };
    if (::sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
        std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace

QVariant toVariant(plist_t node)
{
    if (!node)
        return {};
    char* bytes = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(node, &bytes, &length);
    if (!bytes)
        return {};
    const QByteArray data(bytes, qsizetype(length));
    free(bytes);
    return plist::parse(data).value_or(QVariant());
}

ImdMobileDeviceService::ImdMobileDeviceService(Start start) : m_listed(start == UsbmuxdAbsent)
{
    ignoreBrokenPipes();
    // libusbmuxd fills some globals of its own at its first request, without a lock; made
    // here, before the monitor and libusbmuxd's event thread both make their first.
    usbmuxdReachable();
    m_monitor = std::thread([this] { monitor(); });
    usbmuxd_subscription_context_t context = nullptr;
    if (usbmuxd_events_subscribe(&context, &onUsbmuxEvent, this) == 0)
        m_usbmuxSubscription = context;
}

ImdMobileDeviceService::~ImdMobileDeviceService()
{
    // Stopping first: libusbmuxd reports every device detached as the subscription ends,
    // and the devices have not gone anywhere.
    {
        std::lock_guard guard(m_devicesLock);
        m_stopping = true;
        for (const auto& [key, record] : m_records)
            record->alive = false;
    }
    m_devicesChanged.notify_all();
    if (m_usbmuxSubscription)
        usbmuxd_events_unsubscribe(static_cast<usbmuxd_subscription_context_t>(m_usbmuxSubscription));
    m_monitor.join();
    for (auto& [id, worker] : m_workers)
        worker.join();
    // Subscriptions left by their owners die with the service, which they point to.
    std::map<AMDeviceNotificationRef, ImdSubscription*> left;
    {
        std::lock_guard guard(m_subscriptionsLock);
        left.swap(m_subscriptions);
    }
    for (auto& [ref, sub] : left)
        sub->cancel();
    std::map<AMDeviceNotificationRef, ImdNotReadyWatch*> watches;
    {
        std::lock_guard guard(m_subscriptionsLock);
        watches.swap(m_notReadyWatches);
    }
    for (auto& [ref, watch] : watches)
        watch->cancel();
    std::lock_guard services(m_servicesLock);
    m_services.clear();
}

bool ImdMobileDeviceService::usbmuxdReachable()
{
    usbmuxd_device_info_t* list = nullptr;
    const int count = usbmuxd_get_device_list(&list);
    if (list)
        usbmuxd_device_list_free(&list);
    return count >= 0;
}

void ImdMobileDeviceService::wakeMonitor()
{
    {
        std::lock_guard guard(m_devicesLock);
        m_wake = true;
    }
    m_devicesChanged.notify_all();
}

void ImdMobileDeviceService::detached(const QString& udid, std::uint32_t handle)
{
    {
        std::lock_guard guard(m_devicesLock);
        m_detached.emplace(udid, handle);
        m_wake = true;
    }
    m_devicesChanged.notify_all();
}

void ImdMobileDeviceService::monitor()
{
    std::unique_lock guard(m_devicesLock);
    while (!m_stopping) {
        m_wake = false;
        guard.unlock();
        reconcile();
        guard.lock();
        m_devicesChanged.wait_until(guard, after(kListInterval), [this] { return m_wake || m_stopping; });
    }
}

void ImdMobileDeviceService::reconcile()
{
    usbmuxd_device_info_t* list = nullptr;
    const int count = usbmuxd_get_device_list(&list);
    std::set<std::pair<QString, std::uint32_t>> present;
    for (int i = 0; i < count; ++i) {
        // Devices on the network are not served: only USB links are fast and stable enough.
        if (list[i].conn_type == CONNECTION_TYPE_USB)
            present.emplace(QString::fromLatin1(list[i].udid), list[i].handle);
    }
    if (list)
        usbmuxd_device_list_free(&list);
    const auto now = std::chrono::steady_clock::now();
    if (count >= 0)
        m_listFailingSince.reset();
    else if (!m_listFailingSince)
        m_listFailingSince = now;
    // Unanswered for long enough, usbmuxd has lost every device; until then, those it
    // listed last stay.
    const bool keepUnlisted = count < 0 && now - *m_listFailingSince < kUnansweredListGrace;
    std::vector<ImdRecord*> gone;  // each held until its link is let go
    std::vector<std::shared_ptr<ImdRecord>> forgotten;
    {
        std::lock_guard guard(m_devicesLock);
        if (m_stopping)
            return;
        forgotten.swap(m_forgotten);
        for (const auto& [key, record] : m_records) {
            if (record->stage == ImdRecord::Stage::Gone)
                continue;
            const std::pair<QString, std::uint32_t> attachment {record->udid, record->muxHandle};
            const bool detached = m_detached.count(attachment) != 0;
            const bool listed = present.erase(attachment) != 0;
            if (listed)
                record->unlistedLists = 0;
            else if (count >= 0)
                ++record->unlistedLists;
            const bool lostFromLists = count >= 0 ? record->unlistedLists >= kUnlistedListsForGone : !keepUnlisted;
            if (detached || (!listed && lostFromLists)) {
                qDebug("device %s gone: %s", qPrintable(record->udid),
                    detached        ? "usbmuxd says it was detached"
                        : count < 0 ? "usbmuxd has not answered for its list"
                                    : "usbmuxd no longer lists it");
                holdLocked(record.get());
                gone.push_back(record.get());
            }
        }
        m_detached.clear();
        std::vector<std::pair<QString, std::uint32_t>> arrived(present.begin(), present.end());
        // usbmuxd numbers attachments in the order they came.
        std::sort(arrived.begin(), arrived.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
        // Marked gone only now: it may give up the record's last hold, and the loop above
        // walks the records.
        for (ImdRecord* record : gone)
            markGone(record);
        for (const auto& [udid, handle] : arrived)
            arriveLocked(udid, handle);
        trimEventsLocked();
        // Only now, and only for a list usbmuxd answered: announceAttachedDevices() waits
        // for the devices of the first list. A busy usbmuxd that missed the first request
        // made a one-shot command list no device at all.
        if (count >= 0) {
            m_listed = true;
            m_devicesChanged.notify_all();
        }
    }
    notifySubscribers();
    // usbmuxd has closed a gone device's links at its end: letting go of ours waits for
    // nothing.
    for (ImdRecord* record : gone)
        releaseLink(record);
    {
        std::lock_guard guard(m_devicesLock);
        for (ImdRecord* record : gone)
            releaseLocked(record);
    }
    reapWorkers();
}

void ImdMobileDeviceService::holdLocked(ImdRecord* record)
{
    ++record->holds;
}

void ImdMobileDeviceService::releaseLocked(ImdRecord* record)
{
    if (--record->holds > 0)
        return;
    const auto it = m_records.find(record);
    if (it == m_records.end())
        return;
    m_forgotten.push_back(std::move(it->second));
    m_records.erase(it);
}

void ImdMobileDeviceService::trimEventsLocked()
{
    std::size_t taken = m_eventsBase + m_events.size();
    {
        std::lock_guard subs(m_subscriptionsLock);
        for (const auto& [ref, sub] : m_subscriptions)
            taken = std::min(taken, sub->cursor());
    }
    for (; m_eventsBase < taken; ++m_eventsBase) {
        releaseLocked(m_events.front().first);
        m_events.pop_front();
    }
}

void ImdMobileDeviceService::delivered(const std::vector<AMDeviceRef>& records)
{
    std::lock_guard guard(m_devicesLock);
    for (AMDeviceRef device : records)
        releaseLocked(static_cast<ImdRecord*>(device));
    trimEventsLocked();
}

void ImdMobileDeviceService::AMDeviceRetain(AMDeviceRef device)
{
    std::lock_guard guard(m_devicesLock);
    const auto it = m_records.find(device);
    if (it != m_records.end())
        holdLocked(it->second.get());
}

void ImdMobileDeviceService::AMDeviceRelease(AMDeviceRef device)
{
    std::lock_guard guard(m_devicesLock);
    const auto it = m_records.find(device);
    if (it != m_records.end())
        releaseLocked(it->second.get());
}

std::size_t ImdMobileDeviceService::recordCount() const
{
    std::lock_guard guard(m_devicesLock);
    return m_records.size();
}

void ImdMobileDeviceService::releaseLink(ImdRecord* record)
{
    std::lock_guard guard(record->lock);
    record->lockdown.reset();
    record->connected = false;
    record->session = false;
    record->deviceSession = false;
}

void ImdMobileDeviceService::reapWorkers()
{
    std::vector<std::thread::id> finished;
    {
        std::lock_guard guard(m_devicesLock);
        finished.swap(m_finishedWorkers);
    }
    for (const std::thread::id id : finished) {
        const auto it = m_workers.find(id);
        if (it == m_workers.end())
            continue;
        it->second.join();
        m_workers.erase(it);
    }
}

void ImdMobileDeviceService::arriveLocked(const QString& udid, std::uint32_t handle)
{
    if (m_stopping)
        return;
    auto record = std::make_shared<ImdRecord>();
    record->udid = udid;
    record->muxHandle = handle;
    ImdRecord* r = record.get();
    m_records.emplace(r, std::move(record));
    holdLocked(r);
    m_arrivals.push_back(r);
    holdLocked(r);
    std::thread worker([this, r] {
        prepareLoop(r);
        // Gone while it was being prepared: the last attempt may have opened a link.
        if (!r->alive)
            releaseLink(r);
        std::lock_guard guard(m_devicesLock);
        releaseLocked(r);
        m_finishedWorkers.push_back(std::this_thread::get_id());
    });
    const std::thread::id id = worker.get_id();
    m_workers.emplace(id, std::move(worker));
}

void ImdMobileDeviceService::markGone(ImdRecord* record)
{
    record->alive = false;
    record->stage = ImdRecord::Stage::Gone;
    if (record->announced) {
        holdLocked(record);
        m_events.emplace_back(record, AMDeviceMessageDisconnected);
    }
    record->announced = false;
    dropServicesOf(record);
    publishLocked();
    releaseLocked(record);  // the attachment's own
    m_devicesChanged.notify_all();
}

void ImdMobileDeviceService::publishLocked()
{
    while (!m_arrivals.empty()) {
        ImdRecord* front = m_arrivals.front();
        if (front->stage == ImdRecord::Stage::Preparing)
            break;
        m_arrivals.pop_front();
        if (front->stage == ImdRecord::Stage::Ready && !front->announced) {
            front->announced = true;
            holdLocked(front);
            m_events.emplace_back(front, AMDeviceMessageConnected);
        }
        releaseLocked(front);  // the queue's
    }
}

void ImdMobileDeviceService::notifySubscribers()
{
    std::lock_guard guard(m_subscriptionsLock);
    for (const auto& [ref, sub] : m_subscriptions)
        sub->post();
    for (const auto& [ref, watch] : m_notReadyWatches)
        watch->post();
}

void ImdMobileDeviceService::prepareLoop(ImdRecord* record)
{
    learnLocation(*record);
    for (;;) {
        const MDError error = prepare(*record);
        // Only this worker writes the name, so it reads it without the lock.
        if (error && readinessOf(error) != DeviceReadiness::NotAnswering && record->nameBeforeTrust.isEmpty())
            learnNameBeforeTrust(*record);
        {
            std::unique_lock guard(m_devicesLock);
            if (!record->alive || m_stopping)
                return;
            if (!error) {
                record->stage = ImdRecord::Stage::Ready;
                // A device that waited for trust comes now, after those that did not.
                if (!std::count(m_arrivals.begin(), m_arrivals.end(), record)) {
                    record->announced = true;
                    holdLocked(record);
                    m_events.emplace_back(record, AMDeviceMessageConnected);
                }
                publishLocked();
                m_devicesChanged.notify_all();
            } else {
                // Not trusted yet, or not answering yet: the devices behind it in the
                // queue must not wait for its user.
                const DeviceReadiness readiness = readinessOf(error);
                if (readiness == DeviceReadiness::NotAnswering && error != record->lastPrepareError)
                    qDebug("device %s not ready, tried again: %s", qPrintable(record->udid),
                        qPrintable(amdErrorText(error)));
                record->lastPrepareError = error;
                record->stage = ImdRecord::Stage::NotReady;
                record->readiness = readiness;
                publishLocked();
                m_devicesChanged.notify_all();
            }
        }
        notifySubscribers();
        if (!error)
            return;
        std::unique_lock guard(m_devicesLock);
        m_devicesChanged.wait_until(guard, after(kTrustRetry), [&] { return !record->alive || m_stopping; });
        if (!record->alive || m_stopping)
            return;
    }
}

namespace {

// A device that answers "InvalidHostID" has forgotten this computer (its user reset its trust
// settings): the record is no use, and the next try asks the device to pair again. Once an
// attachment: a device that refuses every session would be paired again and again.
void forgetRecordIfUnknown(ImdRecord& r, lockdownd_error_t error)
{
    if (error != LOCKDOWN_E_INVALID_HOST_ID || r.recordDropped)
        return;
    usbmuxd_delete_pair_record(r.udid.toLatin1().constData());
    r.recordDropped = true;
}

}  // namespace

MDError ImdMobileDeviceService::prepare(ImdRecord& r)
{
    std::lock_guard guard(r.lock);
    if (!r.device) {
        idevice_t device = nullptr;
        const QByteArray udid = r.udid.toLatin1();
        if (const MDError error
            = fromDevice(idevice_new_with_options(&device, udid.constData(), IDEVICE_LOOKUP_USBMUX)))
            return error;
        r.device.reset(device);
    }
    // The pair record: the host's identity towards this device, kept by usbmuxd.
    const QByteArray udid = r.udid.toLatin1();
    char* record = nullptr;
    std::uint32_t length = 0;
    int read = usbmuxd_read_pair_record(udid.constData(), &record, &length);
    free(record);
    record = nullptr;
    // usbmuxd answers ENOENT for a device it has no record of. Anything else is a usbmuxd
    // that did not answer (libusbmuxd waits 5 s): the device is not ready, which is not the
    // same as a device that waits for its user, and asking it to pair would fail as well.
    if (read < 0 && read != -ENOENT) {
        qDebug("device %s: usbmuxd did not give its pair record: %s", qPrintable(r.udid), strerror(-read));
        return AMDNotConnectedError;
    }
    if (!r.versionKnown || read < 0) {
        // libimobiledevice's handshake reads the device's version, which its sessions need to
        // offer more than TLS 1.0, and pairs a device it has no record of: the device shows its
        // "Trust" dialog, and the answer stays pending until its user taps it.
        lockdownd_client_t client = nullptr;
        const lockdownd_error_t shaken = lockdownd_client_new_with_handshake(r.device.get(), &client, kLabel);
        LockdownPtr shook(client);
        if (shaken != LOCKDOWN_E_SUCCESS) {
            qDebug("device %s: %s", qPrintable(r.udid), qPrintable(lockdownErrorText(shaken)));
            forgetRecordIfUnknown(r, shaken);
            r.lockdown.reset();
            r.session = r.deviceSession = false;
            return fromLockdown(shaken, AMDNotConnectedError);
        }
        // Its session is the device's: a second would be a second TLS handshake.
        r.lockdown = std::move(shook);
        r.session = r.deviceSession = true;
        r.versionKnown = true;
    }
    read = usbmuxd_read_pair_record(udid.constData(), &record, &length);
    if (!r.lockdown) {
        lockdownd_client_t client = nullptr;
        if (const MDError error = fromLockdown(lockdownd_client_new(r.device.get(), &client, kLabel))) {
            free(record);
            return error;
        }
        r.lockdown.reset(client);
    }
    const auto pairRecord = read >= 0 && record ? plist::parse(QByteArray(record, qsizetype(length))) : std::nullopt;
    free(record);
    r.hostId = pairRecord ? pairRecord->toMap().value(QStringLiteral("HostID")).toString().toLatin1() : QByteArray();
    if (r.hostId.isEmpty())
        return AMDPairingRefusedError;
    r.paired = true;
    if (!r.session) {
        const lockdownd_error_t started
            = lockdownd_start_session(r.lockdown.get(), r.hostId.constData(), nullptr, nullptr);
        if (started != LOCKDOWN_E_SUCCESS) {
            qDebug("device %s: %s", qPrintable(r.udid), qPrintable(lockdownErrorText(started)));
            forgetRecordIfUnknown(r, started);
            // The device closes a link whose session it refused.
            r.lockdown.reset();
            return fromLockdown(started, AMDSessionRefusedError);
        }
        r.session = true;
        r.deviceSession = true;
    }
    r.validated = true;
    // The detector probes "com.apple.afc2" at every opening; most devices refuse it, and
    // they do so for as long as they stay attached.
    lockdownd_service_descriptor_t afc2 = nullptr;
    const lockdownd_error_t probed = lockdownd_start_service(r.lockdown.get(), "com.apple.afc2", &afc2);
    ServicePtr afc2Owner(afc2);
    if (probed == LOCKDOWN_E_MUX_ERROR || probed == LOCKDOWN_E_RECEIVE_TIMEOUT || probed == LOCKDOWN_E_PLIST_ERROR) {
        r.lockdown.reset();
        r.session = r.deviceSession = false;
        return AMDNotConnectedError;
    }
    r.afc2Refused = probed != LOCKDOWN_E_SUCCESS;
    plist_t values = nullptr;
    if (lockdownd_get_value(r.lockdown.get(), nullptr, nullptr, &values) == LOCKDOWN_E_SUCCESS) {
        PlistPtr owner(values);
        const QVariant all = toVariant(values);
        if (all.typeId() == QMetaType::QVariantMap)
            r.values = all.toMap();
    }
    return MDSuccess;
}

void ImdMobileDeviceService::announceAttachedDevices()
{
    {
        std::unique_lock guard(m_devicesLock);
        // A device that failed to open for another reason than trust is usually only slow
        // (a busy machine, a device still starting): it gets the rest of the wait to open.
        const auto retrying = [this] {
            return std::any_of(m_records.begin(), m_records.end(), [](const auto& r) {
                return r.second->alive && r.second->stage == ImdRecord::Stage::NotReady
                    && r.second->readiness == DeviceReadiness::NotAnswering;
            });
        };
        m_devicesChanged.wait_until(
            guard, after(kAnnounceWait), [&] { return m_stopping || (m_listed && m_arrivals.empty() && !retrying()); });
    }
    std::vector<ImdSubscription*> mine;
    {
        std::lock_guard guard(m_subscriptionsLock);
        for (const auto& [ref, sub] : m_subscriptions)
            if (sub->thread() == QThread::currentThread())
                mine.push_back(sub);
    }
    for (ImdSubscription* sub : mine)
        sub->drain();
}

std::vector<NotReadyDevice> ImdMobileDeviceService::devicesNotReady()
{
    std::vector<std::pair<std::uint32_t, NotReadyDevice>> found;
    {
        std::lock_guard guard(m_devicesLock);
        for (const auto& [key, record] : m_records)
            if (record->alive && record->stage == ImdRecord::Stage::NotReady)
                found.push_back({record->muxHandle, {record->udid, record->readiness, record->nameBeforeTrust}});
    }
    // usbmuxd numbers attachments in the order they came.
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<NotReadyDevice> devices;
    for (auto& [handle, device] : found)
        devices.push_back(std::move(device));
    return devices;
}

MDError ImdMobileDeviceService::AMDeviceNotificationSubscribe(
    AMDeviceNotificationCallback callback, AMDeviceNotificationRef* notification)
{
    if (!callback || !notification)
        return AMDInvalidArgumentError;
    std::vector<AMDeviceRef> present;
    std::size_t cursor = 0;
    {
        std::lock_guard guard(m_devicesLock);
        for (const auto& [key, record] : m_records) {
            if (record->announced) {
                holdLocked(record.get());
                present.push_back(record.get());
            }
        }
        cursor = m_eventsBase + m_events.size();
    }
    // Devices that came before the subscription are announced in the order they came.
    auto* sub = new ImdSubscription(this, std::move(callback), cursor, std::move(present));
    {
        std::lock_guard guard(m_subscriptionsLock);
        *notification = m_nextSubscription++;
        m_subscriptions[*notification] = sub;
    }
    sub->post();
    return MDSuccess;
}

MDError ImdMobileDeviceService::AMDeviceNotificationUnsubscribe(AMDeviceNotificationRef notification)
{
    ImdSubscription* sub = nullptr;
    {
        std::lock_guard guard(m_subscriptionsLock);
        const auto it = m_subscriptions.find(notification);
        if (it == m_subscriptions.end())
            return AMDInvalidArgumentError;
        sub = it->second;
        m_subscriptions.erase(it);
    }
    sub->cancel();
    // What only this subscription still had to take goes now.
    std::lock_guard guard(m_devicesLock);
    trimEventsLocked();
    return MDSuccess;
}

}  // namespace kestrap::imd
