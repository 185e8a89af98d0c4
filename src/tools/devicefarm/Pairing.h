#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QVariantMap>
#include <memory>
#include <mutex>
#include <optional>

typedef struct evp_pkey_st EVP_PKEY;
typedef struct ssl_ctx_st SSL_CTX;

// Who trusts whom in a device farm served by the emulator, kept as a device and usbmuxd keep
// it, in files of the farm:
//
//   FARM/<udid>/Lockdown/DeviceKey.pem       the device's RSA key pair, made the first time
//                                           the emulator serves the device
//   FARM/<udid>/Lockdown/TrustedHosts.plist  HostID -> the certificates that host paired with:
//                                           the hosts the device trusts
//   FARM/.lockdown/<udid>.plist              usbmuxd's side: this computer's pair record for
//                                           the device (SavePairRecord, ReadPairRecord, ...)
//   FARM/.lockdown/SystemConfiguration.plist this computer's SystemBUID
//   FARM/.lockdown/HostIdentity.plist        the root and host keys and certificates the
//                                           farm's first pairings are made with
//
// A device that trusts this computer from the start ("Trust" "trusted", the default) gets a
// real pairing the first time it is asked for: its key, a root and host identity, the device
// certificate, the host in its trusted list and the record on usbmuxd's side. Once made, the
// pairing is the files': an unpaired device is not paired again behind the client's back.
//
// Threads: every member may be called from any connection thread. Files are written whole
// (a reader never sees half a record); m_lock guards the caches and orders the writes.
namespace kestrap::devicefarm {

using KeyPtr = std::shared_ptr<EVP_PKEY>;

class PairingStore {
public:
    explicit PairingStore(QString farm);
    ~PairingStore();
    PairingStore(const PairingStore&) = delete;
    PairingStore& operator=(const PairingStore&) = delete;

    // The device's key pair, read from its folder or made and kept there; null when the
    // folder cannot hold it.
    KeyPtr deviceKey(const QString& udid);
    // Its public half as a device answers GetValue "DevicePublicKey": PKCS#1 PEM.
    QByteArray devicePublicKey(const QString& udid);

    // --- usbmuxd's side ----------------------------------------------------------------
    QString systemBuid();
    // The record as it was saved (an XML property list); nothing when there is none.
    std::optional<QByteArray> readPairRecord(const QString& udid);
    bool savePairRecord(const QString& udid, const QByteArray& record);
    bool deletePairRecord(const QString& udid);

    // --- the device's side -------------------------------------------------------------
    // Whether the device trusts the host with that HostID.
    bool trusts(const QString& udid, const QString& hostId);
    // Checks a Pair request's record as a device does (its certificates parse, and its device
    // certificate carries the device's own public key) and trusts its host; *why says what was
    // wrong when it answers false.
    bool trustHost(const QString& udid, const QVariantMap& pairRecord, QString* why);
    bool forgetHost(const QString& udid, const QString& hostId);
    // A TLS server context for a lockdown session with that trusted host: the device
    // certificate it paired with and the device's key. Null when the host is not trusted.
    std::shared_ptr<SSL_CTX> sessionContext(const QString& udid, const QString& hostId);

    // Makes the pairing of a device that trusts this computer from the start, unless it has
    // had one already; the device.plist values decide (see trustAnswer).
    void ensureInitialPairing(const QString& udid, const QVariantMap& devicePlist);

private:
    QString deviceFolder(const QString& udid) const;
    QString hostFolder() const;
    QVariantMap trustedHostsLocked(const QString& udid);
    bool writeTrustedHostsLocked(const QString& udid, const QVariantMap& hosts);
    std::shared_ptr<std::mutex> keyLock(const QString& udid);
    std::optional<QVariantMap> hostIdentity();

    const QString m_farm;
    std::mutex m_lock;  // guards the members below and the pairing files' writes
    QHash<QString, KeyPtr> m_keys;
    QHash<QString, std::shared_ptr<std::mutex>> m_keyLocks;  // one a device: a key is made once
    QString m_systemBuid;
};

}  // namespace kestrap::devicefarm
