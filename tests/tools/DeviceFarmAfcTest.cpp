// The emulator's AFC beyond what Kestrap itself sends: the requests of a general client
// (a FUSE mount of a container opens in every mode, seeks, tells, truncates, sets times).

#include "support/DeviceEmulator.h"
#include "support/TestFarm.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <gtest/gtest.h>
#include <libimobiledevice/afc.h>
#include <libimobiledevice/house_arrest.h>
#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>
#include <sys/stat.h>
#include <thread>

namespace {

class DeviceFarmAfc : public ::testing::Test {
protected:
    TestFarm farm;
    QString udid;
    std::unique_ptr<DeviceEmulator> emulator;
    idevice_t device = nullptr;
    lockdownd_client_t lockdown = nullptr;
    afc_client_t afc = nullptr;  // the first of clients
    std::vector<afc_client_t> clients;
    std::vector<house_arrest_client_t> vendors;

    void SetUp() override
    {
        udid = farm.addPhone({{QStringLiteral("com.example.app"), QStringLiteral("App"), true}});
        emulator = std::make_unique<DeviceEmulator>(farm.path(), emulatorOptions());
        ASSERT_TRUE(emulator->start());
        qputenv("USBMUXD_SOCKET_ADDRESS", emulator->address().toLocal8Bit());
        ASSERT_EQ(idevice_new(&device, udid.toLatin1().constData()), IDEVICE_E_SUCCESS);
        ASSERT_EQ(lockdownd_client_new_with_handshake(device, &lockdown, "test"), LOCKDOWN_E_SUCCESS);
        afc = openContainer();
        ASSERT_TRUE(afc);
    }

    virtual QStringList emulatorOptions() const { return {}; }

    // A connection of its own to the app's container, freed with the fixture.
    afc_client_t openContainer()
    {
        lockdownd_service_descriptor_t service = nullptr;
        house_arrest_client_t vendor = nullptr;
        afc_client_t client = nullptr;
        plist_t result = nullptr;
        if (lockdownd_start_service(lockdown, "com.apple.mobile.house_arrest", &service) == LOCKDOWN_E_SUCCESS
            && house_arrest_client_new(device, service, &vendor) == HOUSE_ARREST_E_SUCCESS
            && house_arrest_send_command(vendor, "VendContainer", "com.example.app") == HOUSE_ARREST_E_SUCCESS
            && house_arrest_get_result(vendor, &result) == HOUSE_ARREST_E_SUCCESS
            && !plist_dict_get_item(result, "Error"))
            afc_client_new_from_house_arrest_client(vendor, &client);
        plist_free(result);
        lockdownd_service_descriptor_free(service);
        if (vendor)
            vendors.push_back(vendor);
        if (client)
            clients.push_back(client);
        return client;
    }

    void TearDown() override
    {
        for (afc_client_t client : clients)
            afc_client_free(client);
        for (house_arrest_client_t vendor : vendors)
            house_arrest_client_free(vendor);
        if (lockdown)
            lockdownd_client_free(lockdown);
        if (device)
            idevice_free(device);
        qunsetenv("USBMUXD_SOCKET_ADDRESS");
    }

    QString host(const char* path) const { return farm.container(udid, QStringLiteral("com.example.app")) + path; }

    QByteArray readAll(const char* path)
    {
        std::uint64_t f = 0;
        EXPECT_EQ(afc_file_open(afc, path, AFC_FOPEN_RDONLY, &f), AFC_E_SUCCESS);
        QByteArray bytes(1024, '\0');
        std::uint32_t n = 0;
        EXPECT_EQ(afc_file_read(afc, f, bytes.data(), std::uint32_t(bytes.size()), &n), AFC_E_SUCCESS);
        afc_file_close(afc, f);
        return bytes.left(n);
    }
};

}  // namespace

TEST_F(DeviceFarmAfc, OpensInEveryModeSeeksTellsAndTruncates)
{
    std::uint64_t f = 0;
    std::uint32_t n = 0;
    // "w+": made, written, read back through the same handle.
    ASSERT_EQ(afc_file_open(afc, "/Documents/a.txt", AFC_FOPEN_WR, &f), AFC_E_SUCCESS);
    ASSERT_EQ(afc_file_write(afc, f, "hello world", 11, &n), AFC_E_SUCCESS);
    std::uint64_t position = 0;
    EXPECT_EQ(afc_file_tell(afc, f, &position), AFC_E_SUCCESS);
    EXPECT_EQ(position, 11u);
    EXPECT_EQ(afc_file_seek(afc, f, -5, SEEK_END), AFC_E_SUCCESS);
    char word[5];
    EXPECT_EQ(afc_file_read(afc, f, word, 5, &n), AFC_E_SUCCESS);
    EXPECT_EQ(QByteArray(word, int(n)), "world");
    EXPECT_EQ(afc_file_truncate(afc, f, 5), AFC_E_SUCCESS);
    EXPECT_EQ(afc_file_close(afc, f), AFC_E_SUCCESS);
    EXPECT_EQ(readAll("/Documents/a.txt"), "hello");

    // "a": writes go after what is there.
    ASSERT_EQ(afc_file_open(afc, "/Documents/a.txt", AFC_FOPEN_APPEND, &f), AFC_E_SUCCESS);
    EXPECT_EQ(afc_file_write(afc, f, "!", 1, &n), AFC_E_SUCCESS);
    afc_file_close(afc, f);
    EXPECT_EQ(readAll("/Documents/a.txt"), "hello!");

    // Truncating frees room and growing takes it, as writing does.
    const auto freeBytes = [&] {
        char* value = nullptr;
        EXPECT_EQ(afc_get_device_info_key(afc, "FSFreeBytes", &value), AFC_E_SUCCESS);
        const qint64 bytes = value ? QByteArray(value).toLongLong() : -1;
        free(value);
        return bytes;
    };
    const qint64 before = freeBytes();
    EXPECT_EQ(afc_truncate(afc, "/Documents/a.txt", 2), AFC_E_SUCCESS);
    EXPECT_EQ(readAll("/Documents/a.txt"), "he");
    EXPECT_EQ(freeBytes(), before + 4);
    EXPECT_EQ(afc_truncate(afc, "/Documents/a.txt", 1000), AFC_E_SUCCESS);
    EXPECT_EQ(freeBytes(), before + 6 - 1000);
    EXPECT_EQ(afc_truncate(afc, "/Documents/a.txt", 2), AFC_E_SUCCESS);
    EXPECT_EQ(afc_set_file_time(afc, "/Documents/a.txt", 1000000000ull * 1234567890), AFC_E_SUCCESS);
    struct stat st;
    ASSERT_EQ(::stat(QFile::encodeName(host("/Documents/a.txt")).constData(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1234567890);

    // Errors carry the protocol's codes; a path out of the container reaches nothing.
    EXPECT_EQ(afc_file_open(afc, "/Documents/none", AFC_FOPEN_RDONLY, &f), AFC_E_OBJECT_NOT_FOUND);
    EXPECT_EQ(afc_truncate(afc, "/../../device.plist", 0), AFC_E_PERM_DENIED);
    EXPECT_EQ(afc_make_link(afc, AFC_SYMLINK, "/etc/passwd", "/Documents/link"), AFC_E_OP_NOT_SUPPORTED);
    char** list = nullptr;
    ASSERT_EQ(afc_read_directory(afc, "/Documents", &list), AFC_E_SUCCESS);
    QStringList names;
    for (char** p = list; *p; ++p)
        names << QString::fromUtf8(*p);
    afc_dictionary_free(list);
    EXPECT_EQ(names, (QStringList {".", "..", "a.txt"}));
}

TEST_F(DeviceFarmAfc, EveryModeButReadOnlyCreatesAMissingFileAndAppendsGoAtTheEnd)
{
    std::uint64_t f = 0;
    std::uint32_t n = 0;
    EXPECT_EQ(afc_file_open(afc, "/Documents/r", AFC_FOPEN_RDONLY, &f), AFC_E_OBJECT_NOT_FOUND);
    // "r+", as a FUSE mount creates a file: made, written and read through one handle.
    ASSERT_EQ(afc_file_open(afc, "/Documents/r+", AFC_FOPEN_RW, &f), AFC_E_SUCCESS);
    EXPECT_EQ(afc_file_write(afc, f, "abc", 3, &n), AFC_E_SUCCESS);
    EXPECT_EQ(afc_file_seek(afc, f, 0, SEEK_SET), AFC_E_SUCCESS);
    char bytes[3];
    EXPECT_EQ(afc_file_read(afc, f, bytes, 3, &n), AFC_E_SUCCESS);
    EXPECT_EQ(QByteArray(bytes, int(n)), "abc");
    afc_file_close(afc, f);
    // "r+" on a file that is there keeps what it holds.
    ASSERT_EQ(afc_file_open(afc, "/Documents/r+", AFC_FOPEN_RW, &f), AFC_E_SUCCESS);
    EXPECT_EQ(afc_file_write(afc, f, "A", 1, &n), AFC_E_SUCCESS);
    afc_file_close(afc, f);
    EXPECT_EQ(readAll("/Documents/r+"), "Abc");

    for (const auto mode : {AFC_FOPEN_WRONLY, AFC_FOPEN_WR, AFC_FOPEN_APPEND, AFC_FOPEN_RDAPPEND}) {
        const QByteArray path = "/Documents/mode" + QByteArray::number(int(mode));
        ASSERT_EQ(afc_file_open(afc, path.constData(), mode, &f), AFC_E_SUCCESS) << mode;
        EXPECT_EQ(afc_file_write(afc, f, "xy", 2, &n), AFC_E_SUCCESS) << mode;
        afc_file_close(afc, f);
        EXPECT_EQ(readAll(path.constData()), "xy") << mode;
    }
    // "a": a write goes at the end wherever the handle was moved.
    ASSERT_EQ(afc_file_open(afc, "/Documents/r+", AFC_FOPEN_APPEND, &f), AFC_E_SUCCESS);
    EXPECT_EQ(afc_file_seek(afc, f, 0, SEEK_SET), AFC_E_SUCCESS);
    EXPECT_EQ(afc_file_write(afc, f, "!", 1, &n), AFC_E_SUCCESS);
    afc_file_close(afc, f);
    EXPECT_EQ(readAll("/Documents/r+"), "Abc!");
}

TEST_F(DeviceFarmAfc, ASeekPastWhatAnOffsetHoldsIsRefused)
{
    std::uint64_t f = 0;
    std::uint32_t n = 0;
    ASSERT_EQ(afc_file_open(afc, "/Documents/a.txt", AFC_FOPEN_WR, &f), AFC_E_SUCCESS);
    ASSERT_EQ(afc_file_write(afc, f, "hello", 5, &n), AFC_E_SUCCESS);
    EXPECT_EQ(afc_file_seek(afc, f, INT64_MAX, SEEK_CUR), AFC_E_INVALID_ARG);
    EXPECT_EQ(afc_file_seek(afc, f, INT64_MAX, SEEK_END), AFC_E_INVALID_ARG);
    EXPECT_EQ(afc_file_seek(afc, f, -6, SEEK_END), AFC_E_INVALID_ARG);
    std::uint64_t position = 0;
    EXPECT_EQ(afc_file_tell(afc, f, &position), AFC_E_SUCCESS);
    EXPECT_EQ(position, 5u);
    afc_file_close(afc, f);
}

TEST_F(DeviceFarmAfc, ASessionHoldsABoundedNumberOfOpenFiles)
{
    std::uint64_t f = 0;
    std::uint32_t n = 0;
    ASSERT_EQ(afc_file_open(afc, "/Documents/a.txt", AFC_FOPEN_WR, &f), AFC_E_SUCCESS);
    ASSERT_EQ(afc_file_write(afc, f, "hello", 5, &n), AFC_E_SUCCESS);
    std::vector<std::uint64_t> open {f};
    afc_error_t error = AFC_E_SUCCESS;
    while (
        open.size() < 1000 && (error = afc_file_open(afc, "/Documents/a.txt", AFC_FOPEN_RDONLY, &f)) == AFC_E_SUCCESS)
        open.push_back(f);
    EXPECT_EQ(error, AFC_E_NO_RESOURCES);
    EXPECT_EQ(open.size(), 256u);
    // Closing one makes room for one; the others still read.
    EXPECT_EQ(afc_file_close(afc, open.back()), AFC_E_SUCCESS);
    open.pop_back();
    EXPECT_EQ(afc_file_open(afc, "/Documents/a.txt", AFC_FOPEN_RDONLY, &f), AFC_E_SUCCESS);
    char bytes[5];
    EXPECT_EQ(afc_file_read(afc, f, bytes, 5, &n), AFC_E_SUCCESS);
    EXPECT_EQ(n, 5u);
}

TEST_F(DeviceFarmAfc, ALargeRequestLeavesNoBufferOfItsSizeBehind)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's allocator holds on to what was freed";
#endif
    const auto residentKiB = [&] {
        QFile status(QStringLiteral("/proc/%1/status").arg(emulator->pid()));
        if (!status.open(QIODevice::ReadOnly))
            return qint64(-1);
        for (const QByteArray& line : status.readAll().split('\n'))
            if (line.startsWith("VmRSS:"))
                return line.mid(6).trimmed().split(' ').first().toLongLong();
        return qint64(-1);
    };
    std::uint64_t f = 0;
    ASSERT_EQ(afc_file_open(afc, "/Documents/large", AFC_FOPEN_WRONLY, &f), AFC_E_SUCCESS);
    const qint64 before = residentKiB();
    const QByteArray data(48 << 20, 'x');
    std::uint32_t n = 0;
    ASSERT_EQ(afc_file_write(afc, f, data.constData(), std::uint32_t(data.size()), &n), AFC_E_SUCCESS);
    EXPECT_EQ(n, std::uint32_t(data.size()));
    afc_file_close(afc, f);
    // A thousand idle links must not each hold the largest request they once sent.
    EXPECT_LT(residentKiB() - before, 16 << 10);
}

namespace {

// Devices on USB: 4 MB/s and 20 ms a request.
class DeviceFarmAfcOnASlowLink : public DeviceFarmAfc {
protected:
    QStringList emulatorOptions() const override { return {"--write-rate", "4", "--latency-ms", "20"}; }
};

}  // namespace

TEST_F(DeviceFarmAfcOnASlowLink, ADevicesConnectionsShareItsLinkAndEachRequestWaitsItsRoundTrip)
{
    afc_client_t second = openContainer();
    ASSERT_TRUE(second);
    // Two connections writing 2 MB each: one link carries 4 MB, a second's worth at its rate.
    // Only bounds from below: a busy machine is slower, never faster.
    const QByteArray bytes(2'000'000, 'x');
    const auto write = [&](afc_client_t client, const char* path) {
        std::uint64_t f = 0;
        std::uint32_t n = 0;
        EXPECT_EQ(afc_file_open(client, path, AFC_FOPEN_WRONLY, &f), AFC_E_SUCCESS);
        EXPECT_EQ(afc_file_write(client, f, bytes.constData(), std::uint32_t(bytes.size()), &n), AFC_E_SUCCESS);
        EXPECT_EQ(afc_file_close(client, f), AFC_E_SUCCESS);
    };
    QElapsedTimer clock;
    clock.start();
    std::thread other([&] { write(second, "/Documents/b.bin"); });
    write(afc, "/Documents/a.bin");
    other.join();
    EXPECT_GE(clock.elapsed(), 950);
    EXPECT_EQ(QFileInfo(host("/Documents/a.bin")).size(), bytes.size());
    EXPECT_EQ(QFileInfo(host("/Documents/b.bin")).size(), bytes.size());

    // Ten requests on one connection wait ten round trips, whatever the other does meanwhile.
    clock.restart();
    std::thread asking([&] {
        for (int i = 0; i < 10; ++i) {
            char** info = nullptr;
            afc_get_file_info(second, "/Documents", &info);
            afc_dictionary_free(info);
        }
    });
    for (int i = 0; i < 10; ++i) {
        char** info = nullptr;
        EXPECT_EQ(afc_get_file_info(afc, "/Documents", &info), AFC_E_SUCCESS);
        afc_dictionary_free(info);
    }
    asking.join();
    EXPECT_GE(clock.elapsed(), 10 * 20 - 5);
}
