#include "tools/devicefarm/Pairing.h"

#include "device/ios/sim/SimFarm.h"
#include "util/Plist.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QUuid>
#include <openssl/bio.h>
#include <openssl/encoder.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace kestrap::devicefarm {

namespace {

const QString kLockdownFolder = QStringLiteral("Lockdown");
const QString kDeviceKeyFile = QStringLiteral("DeviceKey.pem");
const QString kTrustedHostsFile = QStringLiteral("TrustedHosts.plist");
const QString kHostFolder = QStringLiteral(".lockdown");
const QString kSystemConfiguration = QStringLiteral("SystemConfiguration.plist");

const QString kDeviceCertificate = QStringLiteral("DeviceCertificate");
const QString kHostCertificate = QStringLiteral("HostCertificate");
const QString kRootCertificate = QStringLiteral("RootCertificate");
const QString kHostPrivateKey = QStringLiteral("HostPrivateKey");
const QString kRootPrivateKey = QStringLiteral("RootPrivateKey");
const QString kHostId = QStringLiteral("HostID");
const QString kSystemBuid = QStringLiteral("SystemBUID");

// As libimobiledevice makes a host's keys.
constexpr int kHostKeyBits = 2048;
// A device's own key, of the size older devices have: a 2048-bit key takes a quarter of a
// second to make, and a farm of 64 devices made them all at its first start.
constexpr int kDeviceKeyBits = 1024;
const QString kHostIdentityFile = QStringLiteral("HostIdentity.plist");
constexpr long kTenYears = 10L * 365 * 24 * 3600;

using BioPtr = std::unique_ptr<BIO, decltype(&BIO_free)>;
using X509Ptr = std::unique_ptr<X509, decltype(&X509_free)>;

BioPtr memoryBio()
{
    return BioPtr(BIO_new(BIO_s_mem()), &BIO_free);
}

QByteArray bioBytes(BIO* bio)
{
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return size > 0 ? QByteArray(data, qsizetype(size)) : QByteArray();
}

KeyPtr newKey(int bits)
{
    EVP_PKEY* key = EVP_RSA_gen(bits);
    return key ? KeyPtr(key, &EVP_PKEY_free) : nullptr;
}

QByteArray privateKeyPem(EVP_PKEY* key)
{
    BioPtr bio = memoryBio();
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return {};
    return bioBytes(bio.get());
}

KeyPtr readPrivateKey(const QByteArray& pem)
{
    BioPtr bio(BIO_new_mem_buf(pem.constData(), int(pem.size())), &BIO_free);
    EVP_PKEY* key = bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr;
    return key ? KeyPtr(key, &EVP_PKEY_free) : nullptr;
}

// PKCS#1 ("BEGIN RSA PUBLIC KEY"), as a device gives its key and libimobiledevice reads it.
QByteArray publicKeyPkcs1(EVP_PKEY* key)
{
    OSSL_ENCODER_CTX* encoder
        = OSSL_ENCODER_CTX_new_for_pkey(key, OSSL_KEYMGMT_SELECT_PUBLIC_KEY, "PEM", "type-specific", nullptr);
    if (!encoder)
        return {};
    unsigned char* data = nullptr;
    std::size_t size = 0;
    const bool ok = OSSL_ENCODER_to_data(encoder, &data, &size) == 1;
    OSSL_ENCODER_CTX_free(encoder);
    QByteArray pem = ok ? QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)) : QByteArray();
    OPENSSL_free(data);
    return pem;
}

X509Ptr readCertificate(const QByteArray& pem)
{
    BioPtr bio(BIO_new_mem_buf(pem.constData(), int(pem.size())), &BIO_free);
    X509* cert = bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr;
    return X509Ptr(cert, &X509_free);
}

QByteArray certificatePem(X509* cert)
{
    BioPtr bio = memoryBio();
    if (!bio || PEM_write_bio_X509(bio.get(), cert) != 1)
        return {};
    return bioBytes(bio.get());
}

bool addExtension(X509* cert, X509* issuer, int nid, const char* value)
{
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    if (!extension)
        return false;
    const bool ok = X509_add_ext(cert, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return ok;
}

// A certificate over subjectKey, signed by issuerKey (the issuer's certificate, or none for a
// root signing itself), as libimobiledevice's pairing makes them: no names, ten years.
X509Ptr makeCertificate(EVP_PKEY* subjectKey, EVP_PKEY* issuerKey, X509* issuer, bool authority)
{
    X509Ptr cert(X509_new(), &X509_free);
    if (!cert || X509_set_version(cert.get(), 2) != 1)
        return X509Ptr(nullptr, &X509_free);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 0);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), kTenYears);
    X509_set_pubkey(cert.get(), subjectKey);
    X509_set_issuer_name(cert.get(), X509_get_subject_name(issuer ? issuer : cert.get()));
    const bool extended = addExtension(cert.get(), issuer ? issuer : cert.get(), NID_basic_constraints,
                              authority ? "critical,CA:TRUE" : "critical,CA:FALSE")
        && addExtension(cert.get(), issuer ? issuer : cert.get(), NID_subject_key_identifier, "hash");
    if (!extended || X509_sign(cert.get(), issuerKey, EVP_sha256()) == 0)
        return X509Ptr(nullptr, &X509_free);
    return cert;
}

// This computer's identity towards the farm's devices: a root and a host key with their
// certificates, and a HostID, as libimobiledevice makes them for a pairing.
std::optional<QVariantMap> makeHostIdentity(const QString& systemBuid)
{
    const KeyPtr rootKey = newKey(kHostKeyBits);
    const KeyPtr hostKey = newKey(kHostKeyBits);
    if (!rootKey || !hostKey)
        return std::nullopt;
    const X509Ptr root = makeCertificate(rootKey.get(), rootKey.get(), nullptr, true);
    if (!root)
        return std::nullopt;
    const X509Ptr host = makeCertificate(hostKey.get(), rootKey.get(), root.get(), false);
    if (!host)
        return std::nullopt;
    return QVariantMap {
        {kHostCertificate, certificatePem(host.get())},
        {kRootCertificate, certificatePem(root.get())},
        {kHostPrivateKey, privateKeyPem(hostKey.get())},
        {kRootPrivateKey, privateKeyPem(rootKey.get())},
        {kHostId, QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper()},
        {kSystemBuid, systemBuid},
    };
}

// The whole record of a pairing with the device of that key, private keys included: the
// device's certificate, signed by the host's root.
std::optional<QVariantMap> makePairRecord(EVP_PKEY* deviceKey, const QVariantMap& identity)
{
    const KeyPtr rootKey = readPrivateKey(identity.value(kRootPrivateKey).toByteArray());
    const X509Ptr root = readCertificate(identity.value(kRootCertificate).toByteArray());
    if (!rootKey || !root)
        return std::nullopt;
    const X509Ptr device = makeCertificate(deviceKey, rootKey.get(), root.get(), false);
    if (!device)
        return std::nullopt;
    QVariantMap record = identity;
    record.insert(kDeviceCertificate, certificatePem(device.get()));
    return record;
}

bool writeWhole(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit();
}

std::optional<QVariantMap> readDictionary(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const auto value = plist::parse(file.readAll());
    if (!value || value->typeId() != QMetaType::QVariantMap)
        return std::nullopt;
    return value->toMap();
}

bool writeDictionary(const QString& path, const QVariantMap& map)
{
    const auto bytes = plist::toXml(map);
    return bytes && writeWhole(path, *bytes);
}

// Devices do not check the host's certificate against anything; the handshake only needs
// one, so any is taken.
int acceptAnyCertificate(int, X509_STORE_CTX*)
{
    return 1;
}

}  // namespace

PairingStore::PairingStore(QString farm) : m_farm(std::move(farm)) { }

PairingStore::~PairingStore() = default;

QString PairingStore::deviceFolder(const QString& udid) const
{
    return QDir(m_farm).filePath(udid + QLatin1Char('/') + kLockdownFolder);
}

QString PairingStore::hostFolder() const
{
    return QDir(m_farm).filePath(kHostFolder);
}

std::shared_ptr<std::mutex> PairingStore::keyLock(const QString& udid)
{
    std::lock_guard guard(m_lock);
    auto& lock = m_keyLocks[udid];
    if (!lock)
        lock = std::make_shared<std::mutex>();
    return lock;
}

KeyPtr PairingStore::deviceKey(const QString& udid)
{
    {
        std::lock_guard guard(m_lock);
        if (const KeyPtr key = m_keys.value(udid))
            return key;
    }
    // Made outside m_lock: a 2048-bit key takes a while, and other devices need not wait.
    const auto lock = keyLock(udid);
    std::lock_guard making(*lock);
    const QString path = QDir(deviceFolder(udid)).filePath(kDeviceKeyFile);
    KeyPtr key;
    QFile file(path);
    if (file.open(QIODevice::ReadOnly))
        key = readPrivateKey(file.readAll());
    if (!key) {
        key = newKey(kDeviceKeyBits);
        if (!key || !writeWhole(path, privateKeyPem(key.get())))
            return nullptr;
    }
    std::lock_guard guard(m_lock);
    m_keys.insert(udid, key);
    return key;
}

QByteArray PairingStore::devicePublicKey(const QString& udid)
{
    const KeyPtr key = deviceKey(udid);
    return key ? publicKeyPkcs1(key.get()) : QByteArray();
}

std::optional<QVariantMap> PairingStore::hostIdentity()
{
    const QString buid = systemBuid();
    // Under the first device's key lock, not m_lock: two 2048-bit keys take a while.
    const auto lock = keyLock(QString());
    std::lock_guard making(*lock);
    const QString path = QDir(hostFolder()).filePath(kHostIdentityFile);
    if (auto identity = readDictionary(path))
        return identity;
    auto identity = makeHostIdentity(buid);
    if (!identity || !writeDictionary(path, *identity))
        return std::nullopt;
    return identity;
}

QString PairingStore::systemBuid()
{
    std::lock_guard guard(m_lock);
    if (!m_systemBuid.isEmpty())
        return m_systemBuid;
    const QString path = QDir(hostFolder()).filePath(kSystemConfiguration);
    m_systemBuid = readDictionary(path).value_or(QVariantMap()).value(kSystemBuid).toString();
    if (m_systemBuid.isEmpty()) {
        m_systemBuid = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
        writeDictionary(path, {{kSystemBuid, m_systemBuid}});
    }
    return m_systemBuid;
}

std::optional<QByteArray> PairingStore::readPairRecord(const QString& udid)
{
    std::lock_guard guard(m_lock);
    QFile file(QDir(hostFolder()).filePath(udid + QStringLiteral(".plist")));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.readAll();
}

bool PairingStore::savePairRecord(const QString& udid, const QByteArray& record)
{
    // usbmuxd keeps what it is given, but only a property list: the next reader parses it.
    const auto parsed = plist::parse(record);
    if (!parsed || parsed->typeId() != QMetaType::QVariantMap)
        return false;
    const auto xml = plist::toXml(parsed->toMap());
    std::lock_guard guard(m_lock);
    return xml && writeWhole(QDir(hostFolder()).filePath(udid + QStringLiteral(".plist")), *xml);
}

bool PairingStore::deletePairRecord(const QString& udid)
{
    std::lock_guard guard(m_lock);
    return QFile::remove(QDir(hostFolder()).filePath(udid + QStringLiteral(".plist")));
}

QVariantMap PairingStore::trustedHostsLocked(const QString& udid)
{
    return readDictionary(QDir(deviceFolder(udid)).filePath(kTrustedHostsFile)).value_or(QVariantMap());
}

bool PairingStore::writeTrustedHostsLocked(const QString& udid, const QVariantMap& hosts)
{
    return writeDictionary(QDir(deviceFolder(udid)).filePath(kTrustedHostsFile), hosts);
}

bool PairingStore::trusts(const QString& udid, const QString& hostId)
{
    std::lock_guard guard(m_lock);
    return !hostId.isEmpty() && trustedHostsLocked(udid).contains(hostId);
}

bool PairingStore::trustHost(const QString& udid, const QVariantMap& pairRecord, QString* why)
{
    const QString hostId = pairRecord.value(kHostId).toString();
    if (hostId.isEmpty()) {
        *why = QStringLiteral("the record has no HostID");
        return false;
    }
    const KeyPtr key = deviceKey(udid);
    if (!key) {
        *why = QStringLiteral("the device has no key");
        return false;
    }
    for (const QString& name : {kDeviceCertificate, kHostCertificate, kRootCertificate}) {
        if (!readCertificate(pairRecord.value(name).toByteArray())) {
            *why = name + QStringLiteral(" is not a certificate");
            return false;
        }
    }
    const X509Ptr device = readCertificate(pairRecord.value(kDeviceCertificate).toByteArray());
    if (EVP_PKEY_eq(X509_get0_pubkey(device.get()), key.get()) != 1) {
        *why = QStringLiteral("the device certificate does not carry the device's public key");
        return false;
    }
    const QVariantMap kept {
        {kDeviceCertificate, pairRecord.value(kDeviceCertificate)},
        {kHostCertificate, pairRecord.value(kHostCertificate)},
        {kRootCertificate, pairRecord.value(kRootCertificate)},
    };
    std::lock_guard guard(m_lock);
    QVariantMap hosts = trustedHostsLocked(udid);
    hosts.insert(hostId, kept);
    if (!writeTrustedHostsLocked(udid, hosts)) {
        *why = QStringLiteral("the device could not keep the pairing");
        return false;
    }
    return true;
}

bool PairingStore::forgetHost(const QString& udid, const QString& hostId)
{
    std::lock_guard guard(m_lock);
    QVariantMap hosts = trustedHostsLocked(udid);
    if (!hosts.remove(hostId))
        return false;
    return writeTrustedHostsLocked(udid, hosts);
}

std::shared_ptr<SSL_CTX> PairingStore::sessionContext(const QString& udid, const QString& hostId)
{
    QByteArray certificate;
    {
        std::lock_guard guard(m_lock);
        certificate = trustedHostsLocked(udid).value(hostId).toMap().value(kDeviceCertificate).toByteArray();
    }
    const KeyPtr key = deviceKey(udid);
    const X509Ptr cert = readCertificate(certificate);
    if (!key || !cert)
        return nullptr;
    std::shared_ptr<SSL_CTX> context(SSL_CTX_new(TLS_server_method()), &SSL_CTX_free);
    if (!context)
        return nullptr;
    // As a device: TLS 1.2, whatever certificate the host shows (libimobiledevice's are
    // SHA-1 signed on older hosts, below OpenSSL's default security level).
    SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(context.get(), TLS1_2_VERSION);
    SSL_CTX_set_security_level(context.get(), 0);
    SSL_CTX_set_options(context.get(), SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_TICKET);
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER, &acceptAnyCertificate);
    if (SSL_CTX_use_certificate(context.get(), cert.get()) != 1 || SSL_CTX_use_PrivateKey(context.get(), key.get()) != 1
        || SSL_CTX_check_private_key(context.get()) != 1) {
        ERR_clear_error();
        return nullptr;
    }
    return context;
}

void PairingStore::ensureInitialPairing(const QString& udid, const QVariantMap& devicePlist)
{
    if (sim::trustAnswer(devicePlist) != sim::TrustAnswer::Trusted)
        return;
    {
        std::lock_guard guard(m_lock);
        if (QFile::exists(QDir(deviceFolder(udid)).filePath(kTrustedHostsFile)))
            return;
    }
    const KeyPtr key = deviceKey(udid);
    const auto identity = hostIdentity();
    const auto lock = keyLock(udid);
    std::lock_guard making(*lock);
    {
        std::lock_guard guard(m_lock);
        if (QFile::exists(QDir(deviceFolder(udid)).filePath(kTrustedHostsFile)))
            return;  // another connection made it meanwhile
    }
    const auto record = key && identity ? makePairRecord(key.get(), *identity) : std::nullopt;
    if (!record)
        return;
    QString why;
    const auto xml = plist::toXml(*record);
    if (xml && trustHost(udid, *record, &why))
        savePairRecord(udid, *xml);
}

}  // namespace kestrap::devicefarm
