// Writes the seed corpus of fuzz_devicefarm_services: the sessions libimobiledevice's clients
// open with usbmuxd, house arrest and the installation proxy, and a few a broken client sends.
// The first byte of each chooses the server, as the target reads it.

#include "SeedFolder.h"
#include "WireSeeds.h"

#include <QVariantMap>
#include <QtEndian>
#include <initializer_list>

using namespace wireseeds;

namespace {

enum Server : char { Mux = 0, HouseArrest = 1, InstallationProxy = 2 };

// The device and app the target's farm holds.
const QString kUdid = QStringLiteral("4b657374726170000000000000000000000000aa");
const QString kApp = QStringLiteral("com.example.app");

QByteArray muxRequest(std::uint32_t tag, const QString& type, QVariantMap more = {})
{
    more.insert(QStringLiteral("MessageType"), type);
    more.insert(QStringLiteral("ClientVersionString"), QStringLiteral("libusbmuxd 2.0.2"));
    more.insert(QStringLiteral("ProgName"), QStringLiteral("kestrap"));
    more.insert(QStringLiteral("kLibUSBMuxVersion"), qint64(3));
    return mux(tag, more);
}

QByteArray lockdown(const QString& request, QVariantMap more = {})
{
    more.insert(QStringLiteral("Request"), request);
    more.insert(QStringLiteral("Label"), QStringLiteral("kestrap"));
    return frame(more);
}

QByteArray path(const char* p)
{
    return QByteArray(p) + '\0';
}

QByteArray afc(std::uint64_t number, std::uint64_t operation, const QByteArray& parameters, const QByteArray& data = {})
{
    const std::uint64_t thisLength = 40 + std::uint64_t(parameters.size());
    return QByteArray("CFA6LPAA") + le64(thisLength + std::uint64_t(data.size())) + le64(thisLength) + le64(number)
        + le64(operation) + parameters + data;
}

QByteArray seed(Server server, std::initializer_list<QByteArray> parts)
{
    QByteArray all(1, char(server));
    for (const QByteArray& part : parts)
        all += part;
    return all;
}

QVariantMap houseArrest(const QString& command, const QString& app)
{
    return {{QStringLiteral("Command"), command}, {QStringLiteral("Identifier"), app}};
}

}  // namespace

int main(int argc, char** argv)
{
    SeedFolder seeds(argc, argv, "bin");
    if (!seeds.valid())
        return 2;
    const QVariantMap pairRecordId {{QStringLiteral("PairRecordID"), kUdid}};
    // What a device list and a pairing check ask of usbmuxd.
    bool ok = seeds.put(seed(Mux,
        {muxRequest(1, QStringLiteral("ListDevices")), muxRequest(2, QStringLiteral("ReadBUID")),
            muxRequest(3, QStringLiteral("ReadPairRecord"), pairRecordId),
            muxRequest(4, QStringLiteral("SavePairRecord"),
                {{QStringLiteral("PairRecordID"), kUdid}, {QStringLiteral("PairRecordData"), QByteArray("<plist/>")}}),
            muxRequest(5, QStringLiteral("DeletePairRecord"), pairRecordId)}));
    ok = seeds.put(seed(Mux, {muxRequest(1, QStringLiteral("Listen"))})) && ok;
    // A link through to lockdown (port 62078, in network byte order) and a session on it.
    const QVariantMap toLockdown {
        {QStringLiteral("DeviceID"), qint64(1)}, {QStringLiteral("PortNumber"), qint64(qToBigEndian<quint16>(62078))}};
    ok = seeds.put(seed(Mux,
             {muxRequest(1, QStringLiteral("Connect"), toLockdown), lockdown(QStringLiteral("QueryType")),
                 lockdown(QStringLiteral("GetValue"), {{QStringLiteral("Key"), QStringLiteral("DeviceName")}}),
                 lockdown(QStringLiteral("StartSession"),
                     {{QStringLiteral("HostID"), QStringLiteral("4B657374-7261-7045-6D75-6C61746F7221")}}),
                 lockdown(QStringLiteral("StartService"),
                     {{QStringLiteral("Service"), QStringLiteral("com.apple.mobile.house_arrest")}}),
                 lockdown(QStringLiteral("Goodbye"))}))
        && ok;
    // A device or port nobody has, a request usbmuxd does not know, the old binary protocol.
    // (A refused Connect ends the link, as usbmuxd's does.)
    for (const qint64 device : {7, 1})
        ok = seeds.put(seed(Mux,
                 {muxRequest(1, QStringLiteral("Connect"),
                     {{QStringLiteral("DeviceID"), device}, {QStringLiteral("PortNumber"), qint64(0x1234)}})}))
            && ok;
    ok = seeds.put(seed(Mux,
             {muxRequest(1, QStringLiteral("ReadPairRecord"), {{QStringLiteral("PairRecordID"), QStringLiteral("x")}}),
                 muxRequest(2, QStringLiteral("Shutdown")),
                 mux(3, {{QStringLiteral("MessageType"), QStringLiteral("ListDevices")}}, 0)}))
        && ok;
    // A container vended, and a file written into it, read back and removed.
    ok = seeds.put(seed(HouseArrest,
             {frame(houseArrest(QStringLiteral("VendContainer"), kApp)), afc(0, 0x09, path("Documents/In")),
                 afc(1, 0x0D, le64(3) + path("Documents/In/a")), afc(2, 0x10, le64(1), "hello, device"),
                 afc(3, 0x14, le64(1)), afc(4, 0x03, path("Documents/In")), afc(5, 0x08, path("Documents/In/a"))}))
        && ok;
    ok = seeds.put(
             seed(HouseArrest, {frame(houseArrest(QStringLiteral("VendDocuments"), kApp)), afc(0, 0x0A, path(".."))}))
        && ok;
    // An app the device does not have, one that names a folder elsewhere, a command it does not know.
    ok = seeds.put(seed(HouseArrest, {frame(houseArrest(QStringLiteral("VendContainer"), QStringLiteral("..")))}))
        && ok;
    ok = seeds.put(seed(HouseArrest, {frame(houseArrest(QStringLiteral("Uninstall"), kApp))})) && ok;
    // The apps listed as a station asks for them, and every kind.
    ok = seeds.put(seed(InstallationProxy,
             {frame({{QStringLiteral("Command"), QStringLiteral("Browse")},
                  {QStringLiteral("ClientOptions"),
                      QVariantMap {{QStringLiteral("ApplicationType"), QStringLiteral("User")},
                          {QStringLiteral("ReturnAttributes"),
                              QStringList {QStringLiteral("CFBundleIdentifier"), QStringLiteral("CFBundleDisplayName"),
                                  QStringLiteral("UIFileSharingEnabled")}}}}}),
                 frame({{QStringLiteral("Command"), QStringLiteral("Browse")}}),
                 frame({{QStringLiteral("Command"), QStringLiteral("Lookup")}})}))
        && ok;
    return ok ? 0 : 1;
}
