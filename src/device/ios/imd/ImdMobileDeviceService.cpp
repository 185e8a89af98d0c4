// The lockdown side of the libimobiledevice backend: links, pairing, sessions, values,
// service starts and app lookups. Devices are followed in ImdDevices.cpp, files in ImdAfc.cpp.
#include "device/ios/imd/ImdMobileDeviceService.h"

#include "device/ios/imd/ImdErrors.h"
#include "device/ios/imd/ImdState.h"

#include <QDebug>

namespace kestrap::imd {

namespace {

const char* const kLabel = "kestrap";
const char* const kHouseArrest = "com.apple.mobile.house_arrest";
const char* const kInstallationProxy = "com.apple.mobile.installation_proxy";

// A device record, locked. `error` is set, and the lock not taken, when the record is not
// one of this backend's or its device has gone.
struct LockedRecord {
    ImdRecord* record = nullptr;
    std::unique_lock<std::mutex> lock;
    MDError error = MDSuccess;
};

LockedRecord lockRecord(AMDeviceRef device)
{
    LockedRecord r;
    r.record = dynamic_cast<ImdRecord*>(device);
    if (!r.record) {
        r.error = AMDInvalidArgumentError;
        return r;
    }
    if (!r.record->alive) {
        r.error = AMDDeviceDisconnectedError;
        return r;
    }
    r.lock = std::unique_lock(r.record->lock);
    return r;
}

// Service starts and app lookups need a connected link with a session.
MDError sessionError(const ImdRecord& record)
{
    if (!record.connected || !record.lockdown)
        return AMDNotConnectedError;
    return record.session ? MDSuccess : AMDSessionInactiveError;
}

// A failed call on the link: a device that has gone says so; a broken link is let go, so
// that the next connect opens a new one.
MDError linkFailure(ImdRecord& record, MDError error)
{
    if (!record.alive)
        return AMDDeviceDisconnectedError;
    if (error == AMDNotConnectedError) {
        record.lockdown.reset();
        record.connected = false;
        record.session = false;
        record.deviceSession = false;
    }
    return error;
}

}  // namespace

QString ImdMobileDeviceService::AMDeviceCopyDeviceIdentifier(AMDeviceRef device)
{
    const auto* record = dynamic_cast<ImdRecord*>(device);
    return record ? record->udid : QString();
}

MDError ImdMobileDeviceService::AMDeviceConnect(AMDeviceRef device)
{
    auto [record, lock, error] = lockRecord(device);
    if (error)
        return error;
    // The link the device was prepared on is used again: opening one costs round trips.
    if (!record->lockdown) {
        if (!record->device)
            return AMDNotConnectedError;
        lockdownd_client_t client = nullptr;
        if (const MDError failure = fromLockdown(lockdownd_client_new(record->device.get(), &client, kLabel)))
            return linkFailure(*record, failure);
        record->lockdown.reset(client);
        record->session = false;
        record->deviceSession = false;
    }
    record->connected = true;
    return MDSuccess;
}

MDError ImdMobileDeviceService::AMDeviceDisconnect(AMDeviceRef device)
{
    auto [record, lock, error] = lockRecord(device);
    if (error)
        return error;
    // The link and its session stay open for the next connect: the detector disconnects and
    // connects again at every opening, and a new session is a TLS handshake, which
    // libimobiledevice takes in steps of 100 ms, on the main thread.
    record->session = false;
    record->connected = false;
    lock.unlock();
    dropServicesOf(record);
    return MDSuccess;
}

std::int32_t ImdMobileDeviceService::AMDeviceIsPaired(AMDeviceRef device)
{
    auto [record, lock, error] = lockRecord(device);
    return !error && record->connected && record->paired ? 1 : 0;
}

MDError ImdMobileDeviceService::AMDeviceValidatePairing(AMDeviceRef device)
{
    auto [record, lock, error] = lockRecord(device);
    if (error)
        return error;
    if (!record->connected || !record->lockdown)
        return AMDNotConnectedError;
    // Checked when the device was prepared; devices since iOS 7 validate by the session.
    return record->validated ? MDSuccess : AMDPairingRefusedError;
}

MDError ImdMobileDeviceService::AMDeviceStartSession(AMDeviceRef device)
{
    auto [record, lock, error] = lockRecord(device);
    if (error)
        return error;
    if (!record->connected || !record->lockdown)
        return AMDNotConnectedError;
    if (record->session)
        return MDSuccess;
    if (record->deviceSession) {
        record->session = true;
        return MDSuccess;
    }
    if (record->hostId.isEmpty())
        return AMDPairingRefusedError;
    const lockdownd_error_t started
        = lockdownd_start_session(record->lockdown.get(), record->hostId.constData(), nullptr, nullptr);
    if (started != LOCKDOWN_E_SUCCESS) {
        qDebug("device %s: %s", qPrintable(record->udid), qPrintable(lockdownErrorText(started)));
        return linkFailure(*record, fromLockdown(started, AMDSessionRefusedError));
    }
    record->session = true;
    record->deviceSession = true;
    return MDSuccess;
}

MDError ImdMobileDeviceService::AMDeviceStopSession(AMDeviceRef device)
{
    auto [record, lock, error] = lockRecord(device);
    if (error)
        return error;
    if (!record->session || !record->lockdown)
        return AMDSessionInactiveError;
    // Ended on the device only when the link closes: see AMDeviceDisconnect.
    record->session = false;
    lock.unlock();
    dropServicesOf(record);
    return MDSuccess;
}

QVariant ImdMobileDeviceService::AMDeviceCopyValue(AMDeviceRef device, const QString& domain, const QString& key)
{
    auto [record, lock, error] = lockRecord(device);
    if (error || !record->connected || !record->lockdown)
        return {};
    if (domain.isEmpty() && record->values)
        return record->values->value(key);
    plist_t node = nullptr;
    const QByteArray d = domain.toUtf8();
    const QByteArray k = key.toUtf8();
    const lockdownd_error_t got
        = lockdownd_get_value(record->lockdown.get(), domain.isEmpty() ? nullptr : d.constData(), k.constData(), &node);
    PlistPtr owner(node);
    if (got != LOCKDOWN_E_SUCCESS) {
        linkFailure(*record, fromLockdown(got));
        return {};
    }
    return toVariant(node);
}

MDError ImdMobileDeviceService::startServiceLocked(
    ImdRecord& record, const char* name, lockdownd_service_descriptor** service)
{
    if (const MDError error = sessionError(record))
        return error;
    const lockdownd_error_t started = lockdownd_start_service(record.lockdown.get(), name, service);
    return started == LOCKDOWN_E_SUCCESS ? MDSuccess
                                         : linkFailure(record, fromLockdown(started, AMDServiceProhibitedError));
}

MDError ImdMobileDeviceService::AMDeviceStartService(
    AMDeviceRef device, const QString& serviceName, AMServiceHandle* service)
{
    if (!service || (serviceName != kServiceAFC && serviceName != kServiceAFC2))
        return AMDServiceProhibitedError;
    auto [record, lock, error] = lockRecord(device);
    if (error)
        return error;
    if (serviceName == kServiceAFC2 && record->afc2Refused && !sessionError(*record))
        return AMDServiceProhibitedError;
    lockdownd_service_descriptor_t descriptor = nullptr;
    if (const MDError failure = startServiceLocked(*record, serviceName.toLatin1().constData(), &descriptor))
        return failure;
    ImdPendingService pending;
    pending.record = record->shared_from_this();
    pending.service.reset(descriptor);
    lock.unlock();
    return registerService(std::move(pending), service);
}

namespace {

// Asks house arrest for the app's container ("VendContainer") or its documents
// ("VendDocuments"); the device closes a service whose vend it refused.
MDError vend(idevice_t device, lockdownd_service_descriptor_t service, const char* command, const QByteArray& bundleId,
    HouseArrestPtr* client)
{
    house_arrest_client_t raw = nullptr;
    if (house_arrest_client_new(device, service, &raw) != HOUSE_ARREST_E_SUCCESS)
        return AMDServiceProhibitedError;
    HouseArrestPtr owner(raw);
    plist_t answer = nullptr;
    if (house_arrest_send_command(raw, command, bundleId.constData()) != HOUSE_ARREST_E_SUCCESS
        || house_arrest_get_result(raw, &answer) != HOUSE_ARREST_E_SUCCESS)
        return AMDServiceProhibitedError;
    PlistPtr answerOwner(answer);
    const QVariantMap result = toVariant(answer).toMap();
    if (result.contains(QStringLiteral("Error")))
        return fromHouseArrest(result.value(QStringLiteral("Error")).toString().toUtf8().constData());
    *client = std::move(owner);
    return MDSuccess;
}

}  // namespace

MDError ImdMobileDeviceService::AMDeviceStartHouseArrestService(
    AMDeviceRef device, const QString& bundleId, AMHouseArrestVend asked, AMServiceHandle* service)
{
    if (!service || bundleId.isEmpty())
        return AMDInvalidArgumentError;
    auto [record, lock, error] = lockRecord(device);
    if (error)
        return error;
    lockdownd_service_descriptor_t descriptor = nullptr;
    if (const MDError failure = startServiceLocked(*record, kHouseArrest, &descriptor))
        return failure;
    // The vend goes over the service's own connection, not the lockdown link: the device's
    // other connections open meanwhile, where they took turns on it one round trip at a time.
    lock.unlock();
    ServicePtr descriptorOwner(descriptor);
    ImdPendingService pending;
    pending.record = record->shared_from_this();
    const char* command = asked == AMHouseArrestVend::Documents ? "VendDocuments" : "VendContainer";
    if (const MDError vended = vend(record->device.get(), descriptor, command, bundleId.toUtf8(), &pending.houseArrest))
        return record->alive ? vended : AMDDeviceDisconnectedError;
    return registerService(std::move(pending), service);
}

MDError ImdMobileDeviceService::AMDeviceLookupApplications(
    AMDeviceRef device, const QVariantMap& options, QVariantMap* apps)
{
    if (!apps)
        return AMDInvalidArgumentError;
    auto [record, lock, error] = lockRecord(device);
    if (error)
        return error;
    lockdownd_service_descriptor_t descriptor = nullptr;
    if (const MDError failure = startServiceLocked(*record, kInstallationProxy, &descriptor))
        return failure;
    ServicePtr descriptorOwner(descriptor);
    instproxy_client_t raw = nullptr;
    if (instproxy_client_new(record->device.get(), descriptor, &raw) != INSTPROXY_E_SUCCESS)
        return record->alive ? AMDServiceProhibitedError : AMDDeviceDisconnectedError;
    InstproxyPtr client(raw);
    lock.unlock();

    // Apps of every type, keyed by their bundle id, as the seam answers them.
    const QStringList wanted = options.value(QStringLiteral("ReturnAttributes")).toStringList();
    PlistPtr clientOptions(plist_new_dict());
    plist_dict_set_item(clientOptions.get(), "ApplicationType", plist_new_string("Any"));
    if (!wanted.isEmpty()) {
        plist_t attributes = plist_new_array();
        for (const QString& a : wanted + QStringList {QStringLiteral("CFBundleIdentifier")})
            plist_array_append_item(attributes, plist_new_string(a.toUtf8().constData()));
        plist_dict_set_item(clientOptions.get(), "ReturnAttributes", attributes);
    }
    plist_t result = nullptr;
    const instproxy_error_t browsed = instproxy_browse(client.get(), clientOptions.get(), &result);
    PlistPtr resultOwner(result);
    if (browsed != INSTPROXY_E_SUCCESS)
        return record->alive ? AMDUnknownError : AMDDeviceDisconnectedError;
    QVariantMap answer;
    for (const QVariant& app : toVariant(result).toList()) {
        QVariantMap attributes = app.toMap();
        const QString id = attributes.value(QStringLiteral("CFBundleIdentifier")).toString();
        if (id.isEmpty())
            continue;
        if (!wanted.isEmpty() && !wanted.contains(QStringLiteral("CFBundleIdentifier")))
            attributes.remove(QStringLiteral("CFBundleIdentifier"));
        answer.insert(id, attributes);
    }
    *apps = answer;
    return MDSuccess;
}

MDError ImdMobileDeviceService::registerService(ImdPendingService pending, AMServiceHandle* service)
{
    std::lock_guard guard(m_servicesLock);
    *service = m_nextService++;
    m_services[*service] = std::make_unique<ImdPendingService>(std::move(pending));
    return MDSuccess;
}

void ImdMobileDeviceService::dropServicesOf(ImdRecord* record)
{
    std::vector<std::unique_ptr<ImdPendingService>> dropped;
    std::lock_guard guard(m_servicesLock);
    for (auto it = m_services.begin(); it != m_services.end();) {
        if (it->second->record.get() == record) {
            dropped.push_back(std::move(it->second));
            it = m_services.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace kestrap::imd
