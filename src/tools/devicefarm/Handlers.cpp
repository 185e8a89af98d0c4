// usbmuxd, lockdown, house arrest and the installation proxy, as a device farm answers them.
#include "device/ios/sim/SimFarm.h"
#include "device/ios/sim/SimMobileDeviceService.h"
#include "tools/devicefarm/FarmEmulator.h"
#include "tools/devicefarm/Wire.h"
#include "util/Plist.h"

#include <QDir>
#include <QRandomGenerator>
#include <QSet>
#include <QUuid>
#include <QtEndian>
#include <algorithm>
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

bool reply(Connection& c, std::uint32_t tag, const QVariantMap& payload)
{
    return writeMuxMessage(c.link(), tag, payload);
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

// usbmuxd's answers to a pair record request: 0, or an errno.
constexpr qint64 kNoSuchRecord = 2;  // ENOENT
constexpr qint64 kInvalidRecord = 22;  // EINVAL

// A pair record's id names a file of the farm: as a device folder's name, it may not climb
// out of its folder (usbmuxd itself takes any id as a file name).
bool isRecordId(const QString& id)
{
    return id.size() <= 255 && !id.contains(QChar(0)) && sim::isValidBundleId(id);
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

// A record, or ENOENT: libimobiledevice takes any other answer without data for a record
// it then reads from nowhere. False when the connection is to close unanswered.
bool readPairRecord(FarmEmulator& emulator, Connection& c, const MuxMessage& m)
{
    const QString id = m.payload.value(QStringLiteral("PairRecordID")).toString();
    if (!isRecordId(id))
        return result(c, m.tag, kNoSuchRecord);
    if (const auto d = deviceByUdid(emulator, id)) {
        // A usbmuxd too busy to answer: the client's wait ends with the connection.
        if (emulator.sim().takePairRecordDrop(d->udid))
            return false;
        if (const auto plist = sim::readDevicePlist(d->folder))
            emulator.pairing().ensureInitialPairing(d->udid, *plist);
    }
    const auto record = emulator.pairing().readPairRecord(id);
    if (record && !record->isEmpty())
        return reply(c, m.tag, {{QStringLiteral("PairRecordData"), *record}});
    return result(c, m.tag, kNoSuchRecord);
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
    while (auto m = readMuxMessage(c.link(), timeouts)) {
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
                    list.append(emulator.attachedMessage(*d));
            reply(c, m->tag, {{QStringLiteral("DeviceList"), list}});
        } else if (type == QStringLiteral("Connect")) {
            connectThrough(emulator, c, *m);
            return;
        } else if (type == QStringLiteral("ReadBUID")) {
            reply(c, m->tag, {{QStringLiteral("BUID"), emulator.pairing().systemBuid()}});
        } else if (type == QStringLiteral("ReadPairRecord")) {
            if (!readPairRecord(emulator, c, *m))
                return;
        } else if (type == QStringLiteral("SavePairRecord")) {
            const QString id = m->payload.value(QStringLiteral("PairRecordID")).toString();
            const QByteArray data = m->payload.value(QStringLiteral("PairRecordData")).toByteArray();
            const bool saved = isRecordId(id) && !data.isEmpty() && emulator.pairing().savePairRecord(id, data);
            result(c, m->tag, saved ? MuxOk : kInvalidRecord);
        } else if (type == QStringLiteral("DeletePairRecord")) {
            const QString id = m->payload.value(QStringLiteral("PairRecordID")).toString();
            result(c, m->tag, isRecordId(id) && emulator.pairing().deletePairRecord(id) ? MuxOk : kNoSuchRecord);
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
        sim::kKeyApplications, sim::kKeyFaults, sim::kKeyTrust, sim::kKeyPasscodeLocked, sim::kKeyLocationID};
    return keys.contains(key) || sim::isDomainKey(key);
}

// An error as a device answers it: "Error" without "Result", which libimobiledevice turns
// into the code of that error, where "Result" "Failure" would hide it.
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
    // Asked before any pairing, as the host needs it for the device's certificate: PEM in a
    // data value.
    QVariant value;
    if (domain.isEmpty() && key == QLatin1String("DevicePublicKey")) {
        const QByteArray pem = emulator.pairing().devicePublicKey(device.udid);
        if (!pem.isEmpty())
            value = pem;
    } else {
        value = emulator.sim().AMDeviceCopyValue(device.record, domain, key);
    }
    if (!value.isValid()) {
        answer.insert(kError, QStringLiteral("MissingValue"));
        return answer;
    }
    answer.insert(QStringLiteral("Key"), key);
    answer.insert(QStringLiteral("Value"), value);
    return answer;
}

// What the lockdown link of one client knows.
struct LockdownState {
    bool session = false;
    QString hostId;  // of the session
};

// Pair: the device's user decides, through device.plist; with "Trust" the host's record is
// checked as a device checks it and its host trusted from then on.
QVariantMap pair(FarmEmulator& emulator, EmuDevice& device, const QVariantMap& request)
{
    const QString name = QStringLiteral("Pair");
    // A device asked to pair shows its dialog, and its user would see it.
    std::fprintf(stderr, "kestrap-devicefarm: %s was asked to pair\n", qPrintable(device.udid));
    const auto plist = sim::readDevicePlist(device.folder);
    if (!plist)
        return lockdownError(name, QStringLiteral("InvalidService"));
    if (sim::passcodeLocked(*plist))
        return lockdownError(name, QStringLiteral("PasswordProtected"));
    switch (sim::trustAnswer(*plist)) {
    case sim::TrustAnswer::Denied:
        return lockdownError(name, QStringLiteral("UserDeniedPairing"));
    case sim::TrustAnswer::Pending:
        return lockdownError(name, QStringLiteral("PairingDialogResponsePending"));
    case sim::TrustAnswer::Trusted:
        break;
    }
    QString why;
    if (!emulator.pairing().trustHost(device.udid, request.value(QStringLiteral("PairRecord")).toMap(), &why)) {
        std::fprintf(
            stderr, "kestrap-devicefarm: %s refused the pair record: %s\n", qPrintable(device.udid), qPrintable(why));
        return lockdownError(name, QStringLiteral("InvalidPairRecord"));
    }
    // What a device gives the host to unlock it with later; a host keeps it in its record.
    QByteArray escrowBag(32, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(escrowBag.data()), escrowBag.size() / 4);
    return {{kRequest, name}, {QStringLiteral("EscrowBag"), escrowBag}};
}

QString hostIdOf(const QVariantMap& request)
{
    return request.value(QStringLiteral("PairRecord")).toMap().value(QStringLiteral("HostID")).toString();
}

QVariantMap validatePair(FarmEmulator& emulator, EmuDevice& device, const QVariantMap& request)
{
    const QString name = QStringLiteral("ValidatePair");
    if (!emulator.pairing().trusts(device.udid, hostIdOf(request)) || !isPaired(emulator, device)
        || emulator.sim().AMDeviceValidatePairing(device.record) != MDSuccess)
        return lockdownError(name, QStringLiteral("InvalidHostID"));
    return {{kRequest, name}};
}

// Unpair: the device forgets the host; its user would be asked again at the next Pair.
QVariantMap unpair(FarmEmulator& emulator, EmuDevice& device, const QVariantMap& request)
{
    const QString name = QStringLiteral("Unpair");
    if (!emulator.pairing().forgetHost(device.udid, hostIdOf(request)))
        return lockdownError(name, QStringLiteral("InvalidHostID"));
    const auto plist = sim::readDevicePlist(device.folder);
    if (plist && sim::trustAnswer(*plist) == sim::TrustAnswer::Trusted)
        sim::setTrustAnswer(emulator.farm(), device.udid, sim::TrustAnswer::Pending, nullptr);
    return {{kRequest, name}};
}

// StartSession: the answer, and the TLS context the link switches to once it has gone (none
// in plain text).
std::pair<QVariantMap, std::shared_ptr<SSL_CTX>> startSession(
    FarmEmulator& emulator, EmuDevice& device, const QVariantMap& request, LockdownState* state)
{
    const QString name = QStringLiteral("StartSession");
    const QString hostId = request.value(QStringLiteral("HostID")).toString();
    auto& s = emulator.sim();
    if (hostId.isEmpty())
        return {lockdownError(name, QStringLiteral("MissingHostID")), nullptr};
    if (s.AMDeviceConnect(device.record) != MDSuccess)
        return {lockdownError(name, QStringLiteral("InvalidService")), nullptr};
    if (!emulator.pairing().trusts(device.udid, hostId) || s.AMDeviceIsPaired(device.record) != 1
        || s.AMDeviceValidatePairing(device.record) != MDSuccess)
        return {lockdownError(name, QStringLiteral("InvalidHostID")), nullptr};
    std::shared_ptr<SSL_CTX> tls;
    if (!emulator.plainSessions()) {
        tls = emulator.pairing().sessionContext(device.udid, hostId);
        if (!tls)
            return {lockdownError(name, QStringLiteral("InvalidHostID")), nullptr};
    }
    if (const MDError error = s.AMDeviceStartSession(device.record))
        return {
            lockdownError(name,
                error == AMDPairingRefusedError ? QStringLiteral("InvalidHostID") : QStringLiteral("SessionInactive")),
            nullptr};
    state->session = true;
    state->hostId = hostId;
    return {{{kRequest, name}, {QStringLiteral("SessionID"), QUuid::createUuid().toString(QUuid::WithoutBraces)},
                {QStringLiteral("EnableSessionSSL"), tls != nullptr}},
        tls};
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
    // Over USB a device's file services stay in plain text.
    return {{kRequest, request}, {QStringLiteral("Service"), name}, {QStringLiteral("Port"), qint64(*port)},
        {QStringLiteral("EnableServiceSSL"), false}};
}

}  // namespace

void serveLockdown(FarmEmulator& emulator, Connection& c)
{
    EmuDevice& device = *c.device;
    LockdownState state;
    const auto deadline = [&] { return Clock::now() + emulator.limits().frame; };
    while (auto request = readPlistFrame(c.link(), serviceTimeouts(emulator))) {
        emulator.beginRequest();
        const QString name = request->value(kRequest).toString();
        QVariantMap answer;
        if (name == QStringLiteral("QueryType")) {
            answer = {{kRequest, name}, {QStringLiteral("Type"), QStringLiteral("com.apple.mobile.lockdown")}};
        } else if (name == QStringLiteral("GetValue")) {
            answer = getValue(emulator, device, *request);
        } else if (name == QStringLiteral("Pair")) {
            answer = pair(emulator, device, *request);
        } else if (name == QStringLiteral("ValidatePair")) {
            answer = validatePair(emulator, device, *request);
        } else if (name == QStringLiteral("Unpair")) {
            answer = unpair(emulator, device, *request);
        } else if (name == QStringLiteral("StartSession")) {
            if (state.session)
                answer = lockdownError(name, QStringLiteral("SessionActive"));
            else {
                auto [started, tls] = startSession(emulator, device, *request, &state);
                // The answer goes in the clear; the handshake follows it at once.
                if (!writePlistFrame(c.link(), started))
                    return;
                if (tls && emulator.sim().takeHandshakeUnplug(device.udid)) {
                    awaitRequest(c.link(), std::chrono::seconds(5));  // the host's hello
                    emulator.sim().unplug(device.udid);
                    return;
                }
                if (tls && !c.link().startTls(tls.get(), deadline()))
                    return;
                continue;
            }
        } else if (name == QStringLiteral("StopSession")) {
            answer = state.session ? QVariantMap {{kRequest, name}}
                                   : lockdownError(name, QStringLiteral("NoRunningSession"));
            state = {};
            // The answer still goes encrypted; then the link is back in the clear.
            if (!writePlistFrame(c.link(), answer) || !c.link().stopTls(deadline()))
                return;
            continue;
        } else if (name == QStringLiteral("StartService")) {
            answer = startService(
                emulator, device, c.client(), request->value(QStringLiteral("Service")).toString(), state.session);
        } else if (name == QStringLiteral("Goodbye")) {
            writePlistFrame(c.link(), {{kRequest, name}});
            return;
        } else {
            answer = lockdownError(name, QStringLiteral("InvalidRequest"));
        }
        if (!writePlistFrame(c.link(), answer))
            return;
    }
}

// --- house arrest and installation proxy -----------------------------------------------

void serveHouseArrest(FarmEmulator& emulator, Connection& c)
{
    EmuDevice& device = *c.device;
    const auto request = readPlistFrame(c.link(), serviceTimeouts(emulator));
    if (!request)
        return;
    emulator.beginRequest();
    const QString command = request->value(QStringLiteral("Command")).toString();
    const QString bundleId = request->value(QStringLiteral("Identifier")).toString();
    if (command != QStringLiteral("VendContainer") && command != QStringLiteral("VendDocuments")) {
        writePlistFrame(c.link(), {{kError, QStringLiteral("UnknownCommand")}});
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
        writePlistFrame(c.link(), {{kError, reason}});
        return;
    }
    AFCConnectionRef afc = nullptr;
    if (emulator.service().AFCConnectionOpen(handle, 0, &afc) != MDSuccess) {
        writePlistFrame(c.link(), {{kError, QStringLiteral("InstallationLookupFailed")}});
        return;
    }
    if (!writePlistFrame(c.link(), {{QStringLiteral("Status"), QStringLiteral("Complete")}})) {
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
        return writePlistFrame(c.link(), {{kError, QStringLiteral("InstallationLookupFailed")}});
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
    return (list.isEmpty() || writePlistFrame(c.link(), batch))
        && writePlistFrame(c.link(), {{QStringLiteral("Status"), QStringLiteral("Complete")}});
}

}  // namespace

void serveInstallationProxy(FarmEmulator& emulator, Connection& c)
{
    while (auto request = readPlistFrame(c.link(), serviceTimeouts(emulator))) {
        emulator.beginRequest();
        const QString command = request->value(QStringLiteral("Command")).toString();
        const QVariantMap options = request->value(QStringLiteral("ClientOptions")).toMap();
        bool ok = false;
        if (command == QStringLiteral("Browse"))
            ok = browse(emulator, c, options);
        else
            ok = writePlistFrame(c.link(), {{kError, QStringLiteral("UnknownCommand")}});
        if (!ok)
            return;
    }
}

}  // namespace kestrap::devicefarm
