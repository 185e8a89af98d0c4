// The emulator faces whatever a client sends: malformed or oversized frames end that one
// connection, never the emulator or its other clients.

#include "support/DeviceEmulator.h"
#include "support/TestFarm.h"
#include "tools/MuxClient.h"

#include <QScopeGuard>
#include <QtEndian>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <usbmuxd.h>

namespace {

// Sends the bytes (and, with endOfInput, nothing more) and answers whether the emulator
// closed the connection without a word.
bool closedAfter(const QString& path, const QByteArray& bytes, bool endOfInput = false)
{
    const int fd = muxclient::connectTo(path);
    if (fd < 0)
        return false;
    ::send(fd, bytes.constData(), std::size_t(bytes.size()), MSG_NOSIGNAL);
    if (endOfInput)
        ::shutdown(fd, SHUT_WR);
    timeval wait {5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    char c;
    const bool closed = ::recv(fd, &c, 1, 0) == 0;
    ::close(fd);
    return closed;
}

QByteArray muxHeader(std::uint32_t length, std::uint32_t version, std::uint32_t message)
{
    QByteArray h(16, '\0');
    qToLittleEndian<std::uint32_t>(length, h.data());
    qToLittleEndian<std::uint32_t>(version, h.data() + 4);
    qToLittleEndian<std::uint32_t>(message, h.data() + 8);
    return h;
}

}  // namespace

TEST(DeviceFarmWire, MalformedRequestsEndOnlyTheirOwnConnection)
{
    TestFarm farm;
    const QString udid = farm.addPhone();
    DeviceEmulator emulator(farm.path());
    ASSERT_TRUE(emulator.start());
    const QString socket = emulator.socketPath();

    EXPECT_TRUE(closedAfter(socket, muxHeader(0x7fffffff, 1, 8)));  // a length past any limit
    EXPECT_TRUE(closedAfter(socket, muxHeader(8, 1, 8)));  // shorter than its own header
    EXPECT_TRUE(closedAfter(socket, muxHeader(16 + 4, 0, 3) + "abcd"));  // the old binary protocol
    EXPECT_TRUE(closedAfter(socket, muxHeader(16 + 9, 1, 8) + "not plist"));
    EXPECT_TRUE(closedAfter(socket, muxHeader(16 + 3, 1, 8), true));  // cut short by a client that left

    // Still serving, and its device still there.
    qputenv("USBMUXD_SOCKET_ADDRESS", emulator.address().toLocal8Bit());
    usbmuxd_device_info_t* list = nullptr;
    EXPECT_EQ(usbmuxd_get_device_list(&list), 1);
    if (list) {
        EXPECT_EQ(QString::fromLatin1(list[0].udid), udid);
        usbmuxd_device_list_free(&list);
    }
    qunsetenv("USBMUXD_SOCKET_ADDRESS");
}

// --- sessions: encrypted from StartSession to StopSession, then plain text again ---------

namespace {

struct SslDeleter {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};

// A lockdown frame through TLS, as libimobiledevice sends and reads one.
bool sslSend(SSL* ssl, const QVariantMap& request)
{
    const QByteArray body = *kestrap::plist::toXml(request);
    QByteArray frame(4, Qt::Uninitialized);
    qToBigEndian<std::uint32_t>(std::uint32_t(body.size()), frame.data());
    frame += body;
    return SSL_write(ssl, frame.constData(), int(frame.size())) == frame.size();
}

std::optional<QVariantMap> sslReceive(SSL* ssl)
{
    const auto readAll = [ssl](char* p, int n) {
        while (n > 0) {
            const int got = SSL_read(ssl, p, n);
            if (got <= 0)
                return false;
            p += got;
            n -= got;
        }
        return true;
    };
    char length[4];
    if (!readAll(length, 4))
        return std::nullopt;
    QByteArray body(qFromBigEndian<std::uint32_t>(length), Qt::Uninitialized);
    if (!readAll(body.data(), int(body.size())))
        return std::nullopt;
    const auto value = kestrap::plist::parse(body);
    return value ? std::optional(value->toMap()) : std::nullopt;
}

// A link to the device's lockdown through the emulator's usbmuxd, and this computer's record.
int lockdownLink(const QString& udid, QVariantMap* record)
{
    char* data = nullptr;
    std::uint32_t size = 0;
    if (usbmuxd_read_pair_record(udid.toLatin1().constData(), &data, &size) != 0)
        return -1;
    *record = kestrap::plist::parse(QByteArray(data, qsizetype(size)))->toMap();
    free(data);
    usbmuxd_device_info_t device {};
    if (usbmuxd_get_device_by_udid(udid.toLatin1().constData(), &device) != 1)
        return -1;
    const int fd = usbmuxd_connect(device.handle, 62078);
    // libusbmuxd gives it non-blocking; the test's TLS calls wait.
    if (fd >= 0)
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

const kestrap::devicefarm::ReadTimeouts kAnswerWithin {
    std::chrono::milliseconds(5000), std::chrono::milliseconds(5000)};

// A lockdown link to a device of a farm the emulator serves, with the host's pair record.
class DeviceFarmLockdown : public ::testing::Test {
protected:
    TestFarm farm;
    std::unique_ptr<DeviceEmulator> emulator;
    QVariantMap record;
    int fd = -1;

    void open(const QStringList& options)
    {
        const QString udid = farm.addPhone();
        emulator = std::make_unique<DeviceEmulator>(farm.path(), options);
        ASSERT_TRUE(emulator->start());
        qputenv("USBMUXD_SOCKET_ADDRESS", emulator->address().toLocal8Bit());
        fd = lockdownLink(udid, &record);
        ASSERT_GE(fd, 0);
    }

    void TearDown() override
    {
        if (fd >= 0)
            ::close(fd);
        qunsetenv("USBMUXD_SOCKET_ADDRESS");
    }
};

}  // namespace

TEST_F(DeviceFarmLockdown, ASessionIsEncryptedUntilItStopsAndThenPlainTextAgain)
{
    ASSERT_NO_FATAL_FAILURE(open({}));
    using namespace kestrap::devicefarm;
    Link plain(fd);

    // A host the device does not know gets no session.
    ASSERT_TRUE(
        writePlistFrame(plain, {{"Request", "StartSession"}, {"HostID", "00000000-0000-0000-0000-000000000000"}}));
    EXPECT_EQ(readPlistFrame(plain, kAnswerWithin).value_or(QVariantMap()).value("Error").toString(), "InvalidHostID");

    ASSERT_TRUE(writePlistFrame(plain, {{"Request", "StartSession"}, {"HostID", record.value("HostID")}}));
    const auto started = readPlistFrame(plain, kAnswerWithin);
    ASSERT_TRUE(started);
    EXPECT_TRUE(started->value("EnableSessionSSL").toBool());

    // TLS as libimobiledevice speaks it: the record's root certificate, nothing verified.
    std::unique_ptr<SSL_CTX, SslDeleter> context(SSL_CTX_new(TLS_client_method()));
    SSL_CTX_set_security_level(context.get(), 0);
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_NONE, nullptr);
    const QByteArray rootCert = record.value("RootCertificate").toByteArray();
    const QByteArray rootKey = record.value("RootPrivateKey").toByteArray();
    BIO* certBio = BIO_new_mem_buf(rootCert.constData(), int(rootCert.size()));
    BIO* keyBio = BIO_new_mem_buf(rootKey.constData(), int(rootKey.size()));
    X509* cert = PEM_read_bio_X509(certBio, nullptr, nullptr, nullptr);
    EVP_PKEY* key = PEM_read_bio_PrivateKey(keyBio, nullptr, nullptr, nullptr);
    ASSERT_TRUE(cert && key);
    SSL_CTX_use_certificate(context.get(), cert);
    SSL_CTX_use_PrivateKey(context.get(), key);
    X509_free(cert);
    EVP_PKEY_free(key);
    BIO_free(certBio);
    BIO_free(keyBio);
    std::unique_ptr<SSL, SslDeleter> ssl(SSL_new(context.get()));
    SSL_set_fd(ssl.get(), fd);
    ASSERT_EQ(SSL_connect(ssl.get()), 1);
    EXPECT_EQ(SSL_version(ssl.get()), TLS1_2_VERSION);

    ASSERT_TRUE(sslSend(ssl.get(), {{"Request", "GetValue"}, {"Key", "DeviceName"}}));
    EXPECT_EQ(sslReceive(ssl.get()).value_or(QVariantMap()).value("Value").toString(), "Device 1");
    ASSERT_TRUE(sslSend(ssl.get(), {{"Request", "StopSession"}, {"SessionID", started->value("SessionID")}}));
    EXPECT_EQ(sslReceive(ssl.get()).value_or(QVariantMap()).value("Request").toString(), "StopSession");
    // The host's close_notify, and no answer to it: then the same link in plain text.
    SSL_shutdown(ssl.get());
    ssl.reset();
    ASSERT_TRUE(writePlistFrame(plain, {{"Request", "QueryType"}}));
    EXPECT_EQ(readPlistFrame(plain, kAnswerWithin).value_or(QVariantMap()).value("Type").toString(),
        "com.apple.mobile.lockdown");
}

TEST_F(DeviceFarmLockdown, PlainSessionsAreOnlyForFuzzing)
{
    ASSERT_NO_FATAL_FAILURE(open({QStringLiteral("--plain-sessions")}));
    using namespace kestrap::devicefarm;
    Link plain(fd);
    ASSERT_TRUE(writePlistFrame(plain, {{"Request", "StartSession"}, {"HostID", record.value("HostID")}}));
    const auto started = readPlistFrame(plain, kAnswerWithin);
    ASSERT_TRUE(started);
    EXPECT_FALSE(started->value("EnableSessionSSL").toBool());
    ASSERT_TRUE(writePlistFrame(plain, {{"Request", "GetValue"}, {"Key", "DeviceName"}}));
    EXPECT_EQ(readPlistFrame(plain, kAnswerWithin).value_or(QVariantMap()).value("Value").toString(), "Device 1");
}
