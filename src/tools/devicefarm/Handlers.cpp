// usbmuxd, lockdown, house arrest and the installation proxy, as a device farm answers them.
#include "device/ios/sim/SimFarm.h"
#include "device/ios/sim/SimMobileDeviceService.h"
#include "tools/devicefarm/FarmEmulator.h"
#include "tools/devicefarm/Wire.h"
#include "util/Plist.h"

#include <QDir>
#include <QSet>
#include <QUuid>
#include <QtEndian>
#include <cstdio>

namespace kestrap::devicefarm {

namespace {

constexpr std::uint16_t kLockdownPort = 62078;

// usbmuxd's result numbers.
enum MuxResult : qint64 {
    MuxOk = 0,
    MuxBadCommand = 1,
    MuxBadDevice = 2,
    MuxConnectionRefused = 3,
};

const QString kMessageType = QStringLiteral("MessageType");
const QString kRequest = QStringLiteral("Request");
const QString kError = QStringLiteral("Error");

// The host the emulator pretends every device is paired with. A pair record needs a host
// id; the certificates are never used, since sessions do not switch to SSL.
const QString kHostId = QStringLiteral("4B657374-7261-7045-6D75-6C61746F7221");
const QString kSystemBuid = QStringLiteral("4B657374-7261-7042-5549-440000000001");

bool reply(Connection& c, std::uint32_t tag, const QVariantMap& payload)
{
    return writeMuxMessage(c.fd(), tag, payload);
}

// A link to a device's service waits for its client's requests for as long as the client
// keeps it: an idle link is a client between jobs.
ReadTimeouts serviceTimeouts(const FarmEmulator& emulator)
{
    return {std::chrono::milliseconds(-1), emulator.limits().frame};
}

bool result(Connection& c, std::uint32_t tag, qint64 number)
{
    return reply(c, tag, {{kMessageType, QStringLiteral("Result")}, {QStringLiteral("Number"), number}});
}

QVariantMap pairRecord()
{
    const QByteArray certificate("-----BEGIN CERTIFICATE-----\nemulated\n-----END CERTIFICATE-----\n");
    return {
        {QStringLiteral("HostID"), kHostId},
        {QStringLiteral("SystemBUID"), kSystemBuid},
        {QStringLiteral("DeviceCertificate"), certificate},
        {QStringLiteral("HostCertificate"), certificate},
        {QStringLiteral("RootCertificate"), certificate},
    };
}

std::shared_ptr<EmuDevice> deviceByUdid(FarmEmulator& emulator, const QString& udid)
{
    for (const auto& d : emulator.devices())
        if (d->udid == udid)
            return d;
    return nullptr;
}

bool isPaired(FarmEmulator& emulator, EmuDevice& device)
{
    return emulator.sim().AMDeviceConnect(device.record) == MDSuccess
        && emulator.sim().AMDeviceIsPaired(device.record) == 1;
}

// Connect: the socket becomes a link to the device's port.
void connectThrough(FarmEmulator& emulator, Connection& c, const MuxMessage& m)
{
    const auto device = emulator.device(std::uint32_t(m.payload.value(QStringLiteral("DeviceID")).toLongLong()));
    // The port travels in network byte order, as in the first usbmuxd protocol.
    const auto port = qFromBigEndian(std::uint16_t(m.payload.value(QStringLiteral("PortNumber")).toUInt()));
    if (!device || !device->alive) {
        result(c, m.tag, MuxBadDevice);
        return;
    }
    std::optional<PendingService> service;
    if (port != kLockdownPort && !(service = emulator.takeService(*device, port, c.client()))) {
        result(c, m.tag, MuxConnectionRefused);
        return;
    }
    if (!emulator.bindDevice(c, device) || !result(c, m.tag, MuxOk))
        return;
    if (!service) {
        serveLockdown(emulator, c);
        return;
    }
    switch (service->kind) {
    case PendingService::Afc: {
        AFCConnectionRef afc = nullptr;
        if (emulator.service().AFCConnectionOpen(service->handle, 0, &afc) != MDSuccess)
            return;
        const QString root
            = QDir(device->folder).filePath(service->name == kServiceAFC2 ? sim::kRootFolder : sim::kMediaFolder);
        serveAfc(emulator, c, afc, root);
        return;
    }
    case PendingService::HouseArrest:
        serveHouseArrest(emulator, c);
        return;
    case PendingService::InstallationProxy:
        serveInstallationProxy(emulator, c);
        return;
    }
}

void listen(FarmEmulator& emulator, Connection& c, std::uint32_t tag)
{
    const QByteArray answer
        = muxFrame(tag, {{kMessageType, QStringLiteral("Result")}, {QStringLiteral("Number"), qint64(0)}});
    if (emulator.listen(c, answer))
        c.serveListener();
}

}  // namespace

void serveMux(FarmEmulator& emulator, const std::shared_ptr<Connection>& connection)
{
    Connection& c = *connection;
    const ReadTimeouts timeouts {emulator.limits().idle, emulator.limits().frame};
    while (auto m = readMuxMessage(c.fd(), timeouts)) {
        emulator.beginRequest();
        const QString type = m->payload.value(kMessageType).toString();
        if (type == QStringLiteral("Listen")) {
            // A listener only receives from now on.
            listen(emulator, c, m->tag);
            return;
        }
        if (type == QStringLiteral("ListDevices")) {
            QVariantList list;
            for (const auto& d : emulator.devices())
                if (!sim::takeUnlisted(emulator.farm(), d->udid))
                    list.append(FarmEmulator::attachedMessage(*d));
            reply(c, m->tag, {{QStringLiteral("DeviceList"), list}});
        } else if (type == QStringLiteral("Connect")) {
            connectThrough(emulator, c, *m);
            return;
        } else if (type == QStringLiteral("ReadBUID")) {
            reply(c, m->tag, {{QStringLiteral("BUID"), kSystemBuid}});
        } else if (type == QStringLiteral("ReadPairRecord")) {
            const auto d = deviceByUdid(emulator, m->payload.value(QStringLiteral("PairRecordID")).toString());
            // A usbmuxd too busy to answer: the client's wait ends with the connection.
            if (d && emulator.sim().takePairRecordDrop(d->udid))
                return;
            const auto record = plist::toXml(pairRecord());
            if (d && isPaired(emulator, *d) && record)
                reply(c, m->tag, {{QStringLiteral("PairRecordData"), *record}});
            else
                result(c, m->tag, MuxBadDevice);
        } else if (type == QStringLiteral("SavePairRecord") || type == QStringLiteral("DeletePairRecord")) {
            // Pairing is the farm's to decide (device.plist); what a client saves is let go.
            result(c, m->tag, MuxOk);
        } else {
            result(c, m->tag, MuxBadCommand);
        }
    }
}

// --- lockdown -------------------------------------------------------------------------

namespace {

// device.plist keys that describe the simulation, not the device.
bool isSimulationKey(const QString& key)
{
    static const QSet<QString> keys {sim::kKeyFSTotalBytes, sim::kKeyFSFreeBytes, sim::kKeyPaired, sim::kKeyAFC2,
        sim::kKeyApplications, sim::kKeyFaults};
    return keys.contains(key);
}

QVariantMap lockdownError(const QString& request, const QString& error)
{
    return {{kRequest, request}, {kError, error}};
}

QVariantMap getValue(FarmEmulator& emulator, EmuDevice& device, const QVariantMap& request)
{
    const QString domain = request.value(QStringLiteral("Domain")).toString();
    const QString key = request.value(QStringLiteral("Key")).toString();
    QVariantMap answer {{kRequest, QStringLiteral("GetValue")}};
    if (!domain.isEmpty())
        answer.insert(QStringLiteral("Domain"), domain);
    if (emulator.sim().AMDeviceConnect(device.record) != MDSuccess)
        return lockdownError(QStringLiteral("GetValue"), QStringLiteral("InvalidService"));
    if (key.isEmpty() && domain.isEmpty()) {
        // The whole default domain: every lockdown value of the description.
        QVariantMap values;
        if (const auto plist = sim::readDevicePlist(device.folder))
            for (auto it = plist->begin(); it != plist->end(); ++it)
                if (!isSimulationKey(it.key()))
                    values.insert(it.key(), it.value());
        answer.insert(QStringLiteral("Value"), values);
        return answer;
    }
    const QVariant value = emulator.sim().AMDeviceCopyValue(device.record, domain, key);
    if (!value.isValid()) {
        answer.insert(kError, QStringLiteral("MissingValue"));
        return answer;
    }
    answer.insert(QStringLiteral("Key"), key);
    answer.insert(QStringLiteral("Value"), value);
    return answer;
}

QVariantMap startSession(FarmEmulator& emulator, EmuDevice& device, bool* session)
{
    const QString request = QStringLiteral("StartSession");
    auto& s = emulator.sim();
    if (s.AMDeviceConnect(device.record) != MDSuccess)
        return lockdownError(request, QStringLiteral("InvalidService"));
    if (s.AMDeviceIsPaired(device.record) != 1 || s.AMDeviceValidatePairing(device.record) != MDSuccess)
        return lockdownError(request, QStringLiteral("InvalidHostID"));
    if (const MDError error = s.AMDeviceStartSession(device.record))
        return lockdownError(request,
            error == AMDPairingRefusedError ? QStringLiteral("InvalidHostID") : QStringLiteral("SessionInactive"));
    *session = true;
    return {{kRequest, request}, {QStringLiteral("SessionID"), QUuid::createUuid().toString(QUuid::WithoutBraces)},
        {QStringLiteral("EnableSessionSSL"), false}};
}

QVariantMap startService(
    FarmEmulator& emulator, EmuDevice& device, const Client& client, const QString& name, bool session)
{
    const QString request = QStringLiteral("StartService");
    if (!session)
        return lockdownError(request, QStringLiteral("NoRunningSession"));
    if (emulator.ensureSession(device) != MDSuccess)
        return lockdownError(request, QStringLiteral("InvalidHostID"));
    PendingService service;
    service.name = name;
    service.client = client;
    if (name == kServiceAFC || name == kServiceAFC2) {
        if (emulator.sim().AMDeviceStartService(device.record, name, &service.handle) != MDSuccess)
            return lockdownError(request, QStringLiteral("InvalidService"));
    } else if (name == QStringLiteral("com.apple.mobile.house_arrest")) {
        service.kind = PendingService::HouseArrest;
    } else if (name == QStringLiteral("com.apple.mobile.installation_proxy")) {
        service.kind = PendingService::InstallationProxy;
    } else {
        return lockdownError(request, QStringLiteral("InvalidService"));
    }
    const auto port = emulator.registerService(device, service);
    if (!port)
        return lockdownError(request, QStringLiteral("ServiceLimit"));
    return {{kRequest, request}, {QStringLiteral("Service"), name}, {QStringLiteral("Port"), qint64(*port)},
        {QStringLiteral("EnableServiceSSL"), false}};
}

}  // namespace

void serveLockdown(FarmEmulator& emulator, Connection& c)
{
    EmuDevice& device = *c.device;
    bool session = false;
    while (auto request = readPlistFrame(c.fd(), serviceTimeouts(emulator))) {
        emulator.beginRequest();
        const QString name = request->value(kRequest).toString();
        QVariantMap answer;
        if (name == QStringLiteral("QueryType")) {
            answer = {{kRequest, name}, {QStringLiteral("Type"), QStringLiteral("com.apple.mobile.lockdown")}};
        } else if (name == QStringLiteral("GetValue")) {
            answer = getValue(emulator, device, *request);
        } else if (name == QStringLiteral("Pair")) {
            // A device that does not trust the host yet shows its dialog and answers this; one
            // that does is asked to trust a new host identity. Either way its user would see it.
            std::fprintf(stderr, "kestrap-devicefarm: %s was asked to pair\n", qPrintable(device.udid));
            answer = isPaired(emulator, device) ? QVariantMap {{kRequest, name}}
                                                : lockdownError(name, QStringLiteral("PairingDialogResponsePending"));
        } else if (name == QStringLiteral("ValidatePair")) {
            const bool valid
                = isPaired(emulator, device) && emulator.sim().AMDeviceValidatePairing(device.record) == MDSuccess;
            answer = valid ? QVariantMap {{kRequest, name}} : lockdownError(name, QStringLiteral("InvalidHostID"));
        } else if (name == QStringLiteral("StartSession")) {
            answer = startSession(emulator, device, &session);
        } else if (name == QStringLiteral("StopSession")) {
            answer = session ? QVariantMap {{kRequest, name}} : lockdownError(name, QStringLiteral("NoRunningSession"));
            session = false;
        } else if (name == QStringLiteral("StartService")) {
            answer = startService(
                emulator, device, c.client(), request->value(QStringLiteral("Service")).toString(), session);
        } else if (name == QStringLiteral("Goodbye")) {
            writePlistFrame(c.fd(), {{kRequest, name}});
            return;
        } else {
            answer = lockdownError(name, QStringLiteral("InvalidRequest"));
        }
        if (!writePlistFrame(c.fd(), answer))
            return;
    }
}

// --- house arrest and installation proxy -----------------------------------------------

void serveHouseArrest(FarmEmulator& emulator, Connection& c)
{
    EmuDevice& device = *c.device;
    const auto request = readPlistFrame(c.fd(), serviceTimeouts(emulator));
    if (!request)
        return;
    emulator.beginRequest();
    const QString command = request->value(QStringLiteral("Command")).toString();
    const QString bundleId = request->value(QStringLiteral("Identifier")).toString();
    if (command != QStringLiteral("VendContainer") && command != QStringLiteral("VendDocuments")) {
        writePlistFrame(c.fd(), {{kError, QStringLiteral("UnknownCommand")}});
        return;
    }
    const AMHouseArrestVend vend
        = command == QStringLiteral("VendDocuments") ? AMHouseArrestVend::Documents : AMHouseArrestVend::Container;
    AMServiceHandle handle = 0;
    MDError error = emulator.ensureSession(device);
    if (!error)
        error = emulator.sim().AMDeviceStartHouseArrestService(device.record, bundleId, vend, &handle);
    if (error) {
        // A vend refused for the app and a farm refusing house arrest look alike on a device.
        const QString reason = error == AMDApplicationNotInstalledError ? QStringLiteral("ApplicationLookupFailed")
                                                                        : QStringLiteral("InstallationLookupFailed");
        writePlistFrame(c.fd(), {{kError, reason}});
        return;
    }
    AFCConnectionRef afc = nullptr;
    if (emulator.service().AFCConnectionOpen(handle, 0, &afc) != MDSuccess) {
        writePlistFrame(c.fd(), {{kError, QStringLiteral("InstallationLookupFailed")}});
        return;
    }
    if (!writePlistFrame(c.fd(), {{QStringLiteral("Status"), QStringLiteral("Complete")}})) {
        emulator.service().AFCConnectionClose(afc);
        return;
    }
    const QString root = QDir(device.folder).filePath(sim::kContainersFolder + QLatin1Char('/') + bundleId);
    serveAfc(emulator, c, afc, root);
}

namespace {

// Browse: the apps of the type asked for ("User" by default, "System" or "Any"), with the
// attributes asked for, in one batch and a closing "Complete".
bool browse(FarmEmulator& emulator, Connection& c, const QVariantMap& options)
{
    const QString type = options.value(QStringLiteral("ApplicationType"), QStringLiteral("Any")).toString();
    QStringList wanted = options.value(QStringLiteral("ReturnAttributes")).toStringList();
    QVariantMap lookup;
    if (!wanted.isEmpty())
        lookup.insert(QStringLiteral("ReturnAttributes"),
            wanted + QStringList {QStringLiteral("ApplicationType"), QStringLiteral("CFBundleIdentifier")});
    QVariantMap apps;
    EmuDevice& device = *c.device;
    MDError error = emulator.ensureSession(device);
    if (!error)
        error = emulator.sim().AMDeviceLookupApplications(device.record, lookup, &apps);
    if (error)
        return writePlistFrame(c.fd(), {{kError, QStringLiteral("InstallationLookupFailed")}});
    QVariantList list;
    for (auto it = apps.begin(); it != apps.end(); ++it) {
        QVariantMap attributes = it.value().toMap();
        const QString appType = attributes.value(QStringLiteral("ApplicationType")).toString();
        if (type != QStringLiteral("Any") && appType != type)
            continue;
        attributes.insert(QStringLiteral("CFBundleIdentifier"), it.key());
        if (!wanted.isEmpty() && !wanted.contains(QStringLiteral("ApplicationType")))
            attributes.remove(QStringLiteral("ApplicationType"));
        list.append(attributes);
    }
    const QVariantMap batch {
        {QStringLiteral("Status"), QStringLiteral("BrowsingApplications")},
        {QStringLiteral("CurrentIndex"), qint64(0)},
        {QStringLiteral("CurrentAmount"), qint64(list.size())},
        {QStringLiteral("Total"), qint64(list.size())},
        {QStringLiteral("CurrentList"), list},
    };
    return (list.isEmpty() || writePlistFrame(c.fd(), batch))
        && writePlistFrame(c.fd(), {{QStringLiteral("Status"), QStringLiteral("Complete")}});
}

}  // namespace

void serveInstallationProxy(FarmEmulator& emulator, Connection& c)
{
    while (auto request = readPlistFrame(c.fd(), serviceTimeouts(emulator))) {
        emulator.beginRequest();
        const QString command = request->value(QStringLiteral("Command")).toString();
        const QVariantMap options = request->value(QStringLiteral("ClientOptions")).toMap();
        bool ok = false;
        if (command == QStringLiteral("Browse"))
            ok = browse(emulator, c, options);
        else
            ok = writePlistFrame(c.fd(), {{kError, QStringLiteral("UnknownCommand")}});
        if (!ok)
            return;
    }
}

}  // namespace kestrap::devicefarm
