// iPhoneDevice: opening, services, lockdown values, device information and apps. The file
// operations are in iPhoneDeviceFiles.cpp.

#include "device/ios/iPhoneDevice.h"

#include "device/UsbPorts.h"
#include "util/Helpers.h"
#include "util/Paths.h"

#include <QDebug>
#include <limits>

namespace kestrap {

namespace {

// Closing a connection never fails for the caller: whatever the close says, the
// connection is gone afterwards.
std::int8_t safeCloseConnection(MobileDeviceService& service, AFCConnectionRef connection)
{
    return std::int8_t(service.AFCConnectionClose(connection) == MDSuccess ? 0 : 1);
}

// Apps built and installed from Xcode carry a developer's signature ("Apple Development: ...",
// before 2019 "iPhone Developer: ..."); App Store apps "Apple iPhone OS Application Signing",
// ad hoc and enterprise builds "iPhone Distribution: ...". Only the first are development
// installs, whose whole container a device vends.
bool installedForDevelopment(const QVariantMap& attributes)
{
    const QString signer = attributes.value(QStringLiteral("SignerIdentity")).toString();
    return signer.startsWith(QLatin1String("Apple Development"))
        || signer.startsWith(QLatin1String("iPhone Developer"));
}

}  // namespace

iPhoneDevice::iPhoneDevice(std::shared_ptr<MobileDeviceService> service) : m_service(std::move(service)) { }

iPhoneDevice::~iPhoneDevice()
{
    const Access access(*this);
    closeConnectionLocked();
    if (const AMDeviceRef device = m_phoneDevice)
        m_service->AMDeviceRelease(device);
}

const QStringList& iPhoneDevice::lockdownKeys()
{
    static const QStringList keys {
        QStringLiteral("DeviceName"),
        QStringLiteral("ActivationState"),
        QStringLiteral("ActivationStateAcknowledged"),
        QStringLiteral("BasebandBootloaderVersion"),
        QStringLiteral("BasebandVersion"),
        QStringLiteral("BluetoothAddress"),
        QStringLiteral("BuildVersion"),
        QStringLiteral("DeviceCertificate"),
        QStringLiteral("DeviceClass"),
        QStringLiteral("DevicePublicKey"),
        QStringLiteral("FirmwareVersion"),
        QStringLiteral("HostAttached"),
        QStringLiteral("IntegratedCircuitCardIdentity"),
        QStringLiteral("InternationalMobileEquipmentIdentity"),
        QStringLiteral("InternationalMobileSubscriberIdentity"),
        QStringLiteral("ModelNumber"),
        QStringLiteral("PhoneNumber"),
        QStringLiteral("ProductType"),
        QStringLiteral("ProductVersion"),
        QStringLiteral("ProtocolVersion"),
        QStringLiteral("RegionInfo"),
        QStringLiteral("SBLockdownEverRegisteredKey"),
        QStringLiteral("SIMStatus"),
        QStringLiteral("SomebodySetTimeZone"),
        QStringLiteral("TimeIntervalSince1970"),
        QStringLiteral("TimeZone"),
        QStringLiteral("TimeZoneOffsetFromUTC"),
        QStringLiteral("TrustedHostAttached"),
        QStringLiteral("UniqueDeviceID"),
        QStringLiteral("Uses24HourClock"),
        QStringLiteral("WiFiAddress"),
        QStringLiteral("iTunesHasConnected"),
    };
    return keys;
}

const QStringList& iPhoneDevice::defaultReturnAttributes()
{
    static const QStringList keys {
        QStringLiteral("CFBundleIdentifier"),
        QStringLiteral("ApplicationDSID"),
        QStringLiteral("ApplicationType"),
        QStringLiteral("CFBundleExecutable"),
        QStringLiteral("CFBundleDisplayName"),
        QStringLiteral("CFBundleIconFile"),
        QStringLiteral("CFBundleName"),
        QStringLiteral("CFBundleShortVersionString"),
        QStringLiteral("CFBundleSupportedPlatforms"),
        QStringLiteral("CFBundleURLTypes"),
        QStringLiteral("Container"),
        QStringLiteral("MinimumOSVersion"),
        QStringLiteral("UIDeviceFamily"),
        QStringLiteral("UIFileSharingEnabled"),
        QStringLiteral("UIStatusBarHidden"),
        QStringLiteral("UISupportedInterfaceOrientations"),
        // The icon path of an app record is built from its "Path"; a device answers only the
        // attributes asked for.
        QStringLiteral("Path"),
        // Who signed the app: a developer's certificate marks an app installed for
        // development, whose whole container a device vends.
        QStringLiteral("SignerIdentity"),
    };
    return keys;
}

void iPhoneDevice::closeConnectionLocked()
{
    if (!m_connection)
        return;
    safeCloseConnection(*m_service, m_connection);
    m_connection = nullptr;
}

void iPhoneDevice::forgetItemInfo()
{
    std::lock_guard caches(m_cachesLock);
    m_itemInfoCaches.clear();
}

bool iPhoneDevice::createWithDevice(AMDeviceRef device, bool enableAfc2, DeviceError* why)
{
    const auto failed = [why](DeviceError error) {
        if (why)
            *why = std::move(error);
        return false;
    };
    {
        const Access access(*this);
        m_isAFC2Mode = false;
        {
            std::lock_guard caches(m_cachesLock);
            m_deviceInfo.reset();
        }
        // Opening twice must not leak the first connection.
        closeConnectionLocked();
        MobileDeviceService& s = *m_service;
        if (const MDError e = s.AMDeviceConnect(device))
            return failed(amdError(e));
        if (s.AMDeviceIsPaired(device) != 1)
            return failed(amdError(AMDPairingRefusedError));
        if (const MDError e = s.AMDeviceValidatePairing(device))
            return failed(amdError(e));
        if (const MDError e = s.AMDeviceStartSession(device))
            return failed(amdError(e));
        AMServiceHandle service = 0;
        bool afc2 = false;
        if (enableAfc2) {
            afc2 = s.AMDeviceStartService(device, kServiceAFC2, &service) == MDSuccess;
            m_isAFC2Mode = afc2;
            m_isJailbreak = afc2;
        }
        if (!afc2)
            if (const MDError e = s.AMDeviceStartService(device, kServiceAFC, &service))
                return failed(amdError(e));
        AFCConnectionRef connection = nullptr;
        if (const MDError e = s.AFCConnectionOpen(service, 0, &connection))
            return failed(afcError(e));
        // Held for as long as this object may use it: the job keeps a device that has gone
        // until its row is cleared.
        if (const AMDeviceRef previous = m_phoneDevice.exchange(device); previous != device) {
            s.AMDeviceRetain(device);
            if (previous)
                s.AMDeviceRelease(previous);
        }
        m_connection = connection;
        // The new connection is on the media area or the whole file system, whatever root
        // was current before: paths must be taken against the root that is really open.
        m_currentService = afc2 ? kServiceAFC2 : QStringLiteral("/");
        forgetItemInfo();
    }
    if (enableAfc2)
        return true;
    {
        std::lock_guard caches(m_cachesLock);
        m_attributes.clear();
    }
    for (const QString& key : lockdownKeys())
        attributeForKey(key);
    getDeviceInfo();
    readPlace();
    const std::optional<int> battery = readBatteryLevel();
    std::lock_guard caches(m_cachesLock);
    m_batteryLevel = battery;
    return true;
}

void iPhoneDevice::readPlace()
{
    const std::uint32_t location = m_service->AMDeviceUSBLocationID(m_phoneDevice);
    const QString place = usbPortPath(usbAddressOfLocation(location), m_service->usbSysfsRoot());
    std::lock_guard caches(m_cachesLock);
    m_hubPlace = place;
}

std::optional<int> iPhoneDevice::readBatteryLevel()
{
    const QVariant level = m_service->AMDeviceCopyValue(
        m_phoneDevice, QStringLiteral("com.apple.mobile.battery"), QStringLiteral("BatteryCurrentCapacity"));
    bool ok = false;
    const int percent = level.toInt(&ok);
    // A device answers an integer; anything else, or a value no battery has, is not a level.
    if (!level.isValid() || !ok || percent < 0 || percent > 100)
        return std::nullopt;
    return percent;
}

bool iPhoneDevice::refreshDetails()
{
    if (m_gone)
        return false;
    const std::optional<int> battery = readBatteryLevel();
    const std::optional<std::uint64_t> free = freeSpaceNow();
    std::lock_guard caches(m_cachesLock);
    bool changed = false;
    // A device that does not answer now keeps what it told last.
    if (battery && battery != m_batteryLevel) {
        m_batteryLevel = battery;
        changed = true;
    }
    if (free && m_deviceInfo && m_deviceInfo->value(QStringLiteral("FSFreeBytes"), -1) != std::int64_t(*free)) {
        m_deviceInfo->insert(QStringLiteral("FSFreeBytes"), std::int64_t(*free));
        changed = true;
    }
    return changed;
}

QString iPhoneDevice::productType()
{
    return stringAttribute(QStringLiteral("ProductType"));
}

QString iPhoneDevice::hubPlace()
{
    std::lock_guard caches(m_cachesLock);
    return m_hubPlace;
}

std::optional<int> iPhoneDevice::batteryLevel()
{
    std::lock_guard caches(m_cachesLock);
    return m_batteryLevel;
}

bool iPhoneDevice::connect(bool enableAfc2)
{
    {
        const Access access(*this);
        if (m_connection) {
            closeConnectionLocked();
            m_service->AMDeviceStopSession(m_phoneDevice);
            m_service->AMDeviceDisconnect(m_phoneDevice);
        }
    }
    const AMDeviceRef device = m_phoneDevice;
    return device && createWithDevice(device, enableAfc2);
}

DeviceError iPhoneDevice::openService(const QString& serviceName)
{
    const Access access(*this);
    DeviceError error = tryStartService(serviceName, 1);
    if (error.isEmpty() && (!m_connection || !m_phoneDevice.load()))
        error = afcError(AFCServiceNotConnectedError);
    return error;
}

// A gone device's connection may be closed under a call: whatever that call then answers,
// the cause is the device's going.
DeviceError iPhoneDevice::amdError(MDError code, ErrorDomain domain) const
{
    if (m_gone)
        code = AMDDeviceDisconnectedError;
    return {domain, code, amdErrorText(code), code == AMDDeviceDisconnectedError};
}

DeviceError iPhoneDevice::afcError(MDError code) const
{
    if (m_gone)
        code = AFCServiceNotConnectedError;
    return {ErrorDomain::AFC, code, afcErrorText(code), code == AFCServiceNotConnectedError};
}

void iPhoneDevice::deviceGone()
{
    m_gone = true;
    std::vector<std::shared_ptr<iPhoneDevice>> connections;
    {
        std::lock_guard guard(m_connectionsLock);
        for (const auto& weak : m_connections)
            if (auto connection = weak.lock())
                connections.push_back(std::move(connection));
        m_connections.clear();
    }
    for (const auto& connection : connections)
        connection->deviceGone();
    std::unique_lock access(accessLock, std::try_to_lock);
    if (access)
        closeConnectionLocked();
}

int iPhoneDevice::usefulConnections() const
{
    return m_service->callsWaitOnALink() ? std::numeric_limits<int>::max() : 1;
}

std::shared_ptr<iMobileDevice> iPhoneDevice::openConnection(const QString& serviceName, DeviceError* why)
{
    auto connection = std::make_shared<iPhoneDevice>(m_service);
    // Held by the connection as by any device object: it is released when the connection goes.
    if (const AMDeviceRef device = m_phoneDevice.load()) {
        m_service->AMDeviceRetain(device);
        connection->m_phoneDevice = device;
    }
    connection->m_isJailbreak = m_isJailbreak.load();
    connection->m_refusedContainers = m_refusedContainers;
    {
        std::lock_guard caches(m_cachesLock);
        connection->m_attributes = m_attributes;
    }
    bool others = false;
    {
        std::lock_guard guard(m_connectionsLock);
        std::erase_if(m_connections, [](const std::weak_ptr<iPhoneDevice>& weak) { return weak.expired(); });
        others = !m_connections.empty();
    }
    DeviceError error;
    {
        const Access access(*connection);
        // Resetting the device's session would end the other connections' services: only a
        // first connection may try that.
        error
            = m_gone ? afcError(AFCServiceNotConnectedError) : connection->tryStartService(serviceName, others ? 0 : 1);
        if (error.isEmpty() && !connection->m_connection)
            error = afcError(AFCServiceNotConnectedError);
    }
    if (!error.isEmpty()) {
        if (why)
            *why = error;
        return nullptr;
    }
    {
        std::lock_guard guard(m_connectionsLock);
        m_connections.push_back(connection);
    }
    // Gone while it opened: deviceGone() did not see it.
    if (m_gone)
        connection->deviceGone();
    if (why)
        *why = {};
    return connection;
}

QString iPhoneDevice::currentService()
{
    const Access access(*this);
    return m_currentService;
}

bool iPhoneDevice::hasConnection()
{
    const Access access(*this);
    return m_connection != nullptr;
}

DeviceError iPhoneDevice::tryStartService(const QString& serviceName, std::int32_t tryTimes)
{
    DeviceError error = DeviceError::job(QStringLiteral("no service named"));
    if (!serviceName.isEmpty()) {
        if (serviceName == m_currentService && m_connection)
            return {};
        closeConnectionLocked();
        m_currentService = serviceName;
        m_documentsOnly = false;
        // Paths cached under the old root mean other items under the new one.
        forgetItemInfo();
        const AMDeviceRef device = m_phoneDevice;
        AMServiceHandle service = 0;
        MDError started = MDSuccess;
        ErrorDomain domain = ErrorDomain::Lockdown;
        bool documents = false;
        if (serviceName == QLatin1String("/") || serviceName == kServiceAFC) {
            started = m_service->AMDeviceStartService(device, kServiceAFC, &service);
        } else if (serviceName == kServiceAFC2) {
            started = m_service->AMDeviceStartService(device, kServiceAFC2, &service);
        } else {
            domain = ErrorDomain::HouseArrest;
            RefusedContainers& refused = *m_refusedContainers;
            {
                std::lock_guard guard(refused.lock);
                documents = refused.ids.contains(serviceName);
            }
            if (!documents) {
                started = m_service->AMDeviceStartHouseArrestService(
                    device, serviceName, AMHouseArrestVend::Container, &service);
                if (started == AMDVendRefusedError) {
                    std::lock_guard guard(refused.lock);
                    refused.ids.insert(serviceName);
                    documents = true;
                }
            }
            if (documents)
                started = m_service->AMDeviceStartHouseArrestService(
                    device, serviceName, AMHouseArrestVend::Documents, &service);
        }
        if (started == MDSuccess) {
            AFCConnectionRef connection = nullptr;
            const MDError opened = m_service->AFCConnectionOpen(service, 0, &connection);
            if (opened == MDSuccess) {
                m_connection = connection;
                m_documentsOnly = documents;
                return {};
            }
            m_connection = nullptr;
            error = afcError(opened);
        } else {
            error = amdError(started, domain);
            // Refused the documents too: the app keeps its files to itself.
            if (started == AMDVendRefusedError && !error.deviceGone)
                error.text = QStringLiteral("the app does not share its files with a computer");
        }
    }
    if (tryTimes <= 0 || !ResetConnection())
        return error;
    return tryStartService(serviceName, tryTimes - 1);
}

bool iPhoneDevice::ResetConnection()
{
    const AMDeviceRef device = m_phoneDevice;
    MobileDeviceService& s = *m_service;
    s.AMDeviceDisconnect(device);
    return s.AMDeviceConnect(device) == MDSuccess && s.AMDeviceIsPaired(device) == 1
        && s.AMDeviceValidatePairing(device) == MDSuccess && s.AMDeviceStartSession(device) == MDSuccess;
}

QVariant iPhoneDevice::attributeForKey(const QString& key)
{
    std::lock_guard caches(m_cachesLock);
    const auto it = m_attributes.constFind(key);
    if (it != m_attributes.constEnd())
        return it.value();
    const QVariant value = m_service->AMDeviceCopyValue(m_phoneDevice, QString(), key);
    if (!value.isValid())
        return QString(QLatin1String(""));
    m_attributes.insert(key, value);
    return value;
}

QString iPhoneDevice::stringAttribute(const QString& key)
{
    const QVariant value = attributeForKey(key);
    // The device chose these texts: they are shown on terminals and written to logs.
    return value.canConvert<QString>() ? printableText(value.toString()) : QString(QLatin1String(""));
}

std::optional<QMap<QString, std::int64_t>> iPhoneDevice::getDeviceInfo()
{
    {
        std::lock_guard caches(m_cachesLock);
        if (m_deviceInfo)
            return m_deviceInfo;
    }
    const Access access(*this);
    std::lock_guard caches(m_cachesLock);
    if (m_deviceInfo)
        return m_deviceInfo;
    AFCKeyValueRef handle = nullptr;
    if (!m_connection || m_service->AFCDeviceInfoOpen(m_connection, &handle) != MDSuccess)
        return std::nullopt;
    QMap<QString, std::int64_t> info;
    QByteArray key;
    QByteArray value;
    while (m_service->AFCKeyValueRead(handle, &key, &value) == MDSuccess && !key.isNull())
        info.insert(QString::fromUtf8(key), QString::fromUtf8(value).toLongLong());
    m_service->AFCKeyValueClose(handle);
    m_deviceInfo = info;
    return m_deviceInfo;
}

std::optional<std::uint64_t> iPhoneDevice::freeSpaceNow()
{
    const Access access(*this);
    AFCKeyValueRef handle = nullptr;
    if (!m_connection || m_service->AFCDeviceInfoOpen(m_connection, &handle) != MDSuccess)
        return std::nullopt;
    std::optional<std::uint64_t> free;
    QByteArray key;
    QByteArray value;
    while (m_service->AFCKeyValueRead(handle, &key, &value) == MDSuccess && !key.isNull())
        if (key == "FSFreeBytes")
            free = value.toULongLong();
    m_service->AFCKeyValueClose(handle);
    return free;
}

std::int64_t iPhoneDevice::deviceInfoValue(const QString& key)
{
    const auto info = getDeviceInfo();
    return info ? info->value(key, 0) : 0;
}

std::vector<AppBundle> iPhoneDevice::appBundles()
{
    {
        std::lock_guard caches(m_cachesLock);
        if (!m_bundles.empty())
            return m_bundles;
    }
    // The lookup takes accessLock, which must not be taken while the monitor is held.
    const QVariantMap apps = GetAllAppBundlesOnDevice(m_phoneDevice);
    std::vector<AppBundle> bundles;
    for (auto it = apps.begin(); it != apps.end(); ++it) {
        const QVariantMap attributes = it.value().toMap();
        if (attributes.value(QStringLiteral("ApplicationType")).toString() != QLatin1String("User"))
            continue;
        AppBundle app;
        // An app without a display name still names its bundle id, so that it can be chosen.
        app.ID = it.key();
        const QVariant displayName = attributes.value(QStringLiteral("CFBundleDisplayName"));
        if (displayName.isValid()) {
            app.name = printableText(displayName.toString());
            app.iconPath
                = QStringLiteral("/%1/%2").arg(LastPathComponent(attributes.value(QStringLiteral("Path")).toString()),
                    attributes.value(QStringLiteral("CFBundleIconFile")).toString());
        }
        const QVariant version = attributes.value(QStringLiteral("CFBundleShortVersionString"));
        if (version.isValid())
            app.version = printableText(version.toString());
        // An app that does not say shares nothing: file sharing is a key an app must set.
        app.sharesFiles = attributes.value(QStringLiteral("UIFileSharingEnabled"), false).toBool();
        app.development = installedForDevelopment(attributes);
        bundles.push_back(app);
    }
    std::lock_guard caches(m_cachesLock);
    m_bundles = bundles;
    return m_bundles;
}

QVariantMap iPhoneDevice::GetAllAppBundlesOnDevice(AMDeviceRef device)
{
    const QVariantMap options {{QStringLiteral("ReturnAttributes"), defaultReturnAttributes()}};
    QVariantMap apps;
    {
        const Access access(*this);
        if (m_service->AMDeviceLookupApplications(device, options, &apps) == MDSuccess)
            return apps;
    }
    const bool wasAfc2 = m_isAFC2Mode;
    connect(false);
    apps.clear();
    const bool found = m_service->AMDeviceLookupApplications(device, options, &apps) == MDSuccess;
    if (!found)
        qWarning("Failed to read app bundles!");
    if (wasAfc2)
        connect(true);
    return found ? apps : QVariantMap();
}

QString iPhoneDevice::uuid()
{
    return stringAttribute(QStringLiteral("UniqueDeviceID"));
}

QString iPhoneDevice::buildVersion()
{
    return stringAttribute(QStringLiteral("BuildVersion"));
}

QString iPhoneDevice::osVersion()
{
    return stringAttribute(QStringLiteral("ProductVersion"));
}

QString iPhoneDevice::firmwareVersion()
{
    return stringAttribute(QStringLiteral("FirmwareVersion"));
}

QString iPhoneDevice::modelNumber()
{
    return stringAttribute(QStringLiteral("ModelNumber"));
}

QString iPhoneDevice::phoneNumber()
{
    return stringAttribute(QStringLiteral("PhoneNumber"));
}

QString iPhoneDevice::serialNumber()
{
    return stringAttribute(QStringLiteral("SerialNumber"));
}

QString iPhoneDevice::name()
{
    return stringAttribute(QStringLiteral("DeviceName"));
}

std::int32_t iPhoneDevice::deviceType()
{
    return DeviceTypeFromProductType(stringAttribute(QStringLiteral("ProductType")));
}

std::uint64_t iPhoneDevice::capacity()
{
    return std::uint64_t(std::max<std::int64_t>(0, deviceInfoValue(QStringLiteral("FSTotalBytes"))));
}

std::uint64_t iPhoneDevice::freeCapacity()
{
    return std::uint64_t(std::max<std::int64_t>(0, deviceInfoValue(QStringLiteral("FSFreeBytes"))));
}

QString iPhoneDevice::iTunesControlPath()
{
    return QStringLiteral("iTunes_Control");
}

}  // namespace kestrap
