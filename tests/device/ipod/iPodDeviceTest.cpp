// File operations, copies and identity of a disk-mode iPod on fabricated volumes.

#include "device/ipod/iPodDevice.h"
#include "PodVolume.h"
#include "util/Plist.h"

#include <QDir>
#include <QFileInfo>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

using kestrap::iPodDevice;

namespace {

struct Progress : kestrap::iMobileDeviceCopyDelegate {
    using kestrap::iMobileDeviceCopyDelegate::transferBytes;
    std::vector<std::pair<std::int64_t, std::int64_t>> reports;
    void transferBytes(std::int64_t done, std::int64_t total) override { reports.emplace_back(done, total); }
};

QStringList names(const std::vector<kestrap::iMobileFileSystemNode>& nodes)
{
    QStringList out;
    for (const auto& n : nodes)
        out << n.name();
    return out;
}

}  // namespace

TEST(iPodDevice, FullPath)
{
    PodVolume volume;
    const QString mount = volume.path();
    iPodDevice device(mount + "/");
    EXPECT_EQ(device.fullPath(mount + "/iPod_Control"), mount + "/iPod_Control");
    EXPECT_EQ(device.fullPath("/Music/a.mp3"), mount + "/Music/a.mp3");
    EXPECT_EQ(device.fullPath("Music/a.mp3"), mount + "/Music/a.mp3");
    // A sibling whose name merely starts with the mount point's is not on this volume.
    EXPECT_EQ(device.fullPath(mount + "2/x"), mount + "/" + mount.mid(1) + "2/x");
}

TEST(iPodDevice, ListingAndReading)
{
    PodVolume volume;
    volume.writeFile("Music/b.mp3", "0123456789");
    volume.file("Music/a.mp3", 2);
    volume.folder("Music/Album");
    QFile::link(volume.path("Music/a.mp3"), volume.path("Music/link.mp3"));
    QFile::link(volume.path("Music/Album"), volume.path("Music/folderlink"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(volume.path("Music/pipe")).constData(), 0600), 0);
    iPodDevice device(volume.path());

    QStringList files = names(device.contentsOfDirectory("Music", kestrap::PathTypeFiles));
    files.sort();
    EXPECT_EQ(files, (QStringList {"a.mp3", "b.mp3"}));
    EXPECT_EQ(names(device.contentsOfDirectory("/Music", kestrap::PathTypeFolders)), QStringList {"Album"});
    const auto all = device.contentsOfDirectory("Music", kestrap::PathTypeAll);
    ASSERT_EQ(all.size(), 3u);
    EXPECT_TRUE(all[0].isDirectory());
    EXPECT_EQ(all[0].parentDirectory(), volume.path("Music"));
    EXPECT_TRUE(device.contentsOfDirectory("Music", 300).empty());
    EXPECT_TRUE(device.isLinkAtPath("Music/folderlink"));
    EXPECT_FALSE(device.isDirectoryAtPath("Music/folderlink"));

    EXPECT_EQ(device.readFileAtPath("Music/b.mp3", 3, 4), QByteArray("3456"));
    EXPECT_EQ(device.readFileAtPath("Music/b.mp3", 8, 100), QByteArray("89"));
    EXPECT_EQ(device.readFileAtPath("Music/b.mp3", 4000000000u, 5), QByteArray());
    EXPECT_FALSE(device.readFileAtPath("Music/none", 0, 5));
    // Reading a pipe would block for ever; it is not a file to read.
    EXPECT_FALSE(device.contentsOfFileAtPath("Music/pipe"));
    // A preview reads no more than its limit: a file one byte larger is refused, by name.
    ASSERT_TRUE(QFile(volume.path("Music/big.m4v")).open(QIODevice::WriteOnly));
    ASSERT_TRUE(QFile(volume.path("Music/big.m4v")).resize(kestrap::kPreviewLimit));
    EXPECT_EQ(device.contentsOfFileAtPath("Music/big.m4v")->size(), kestrap::kPreviewLimit);
    ASSERT_TRUE(QFile(volume.path("Music/big.m4v")).resize(kestrap::kPreviewLimit + 1));
    kestrap::DeviceError why;
    EXPECT_FALSE(device.contentsOfFileAtPath("Music/big.m4v", &why));
    EXPECT_EQ(why.text, "Music/big.m4v is larger than 16 MiB, the most a preview reads.");
}

TEST(iPodDevice, ChangingItems)
{
    PodVolume volume;
    volume.file("Notes/a.txt", 1);
    volume.file("Notes/b.txt", 1);
    volume.file("Notes/Deep/c.txt", 1);
    iPodDevice device(volume.path());

    EXPECT_TRUE(device.createDirectory("Photos/2024/June"));
    EXPECT_TRUE(device.createDirectory("Photos/2024"));
    EXPECT_FALSE(device.createDirectory("Notes/a.txt"));

    EXPECT_FALSE(device.renameItemAtPath("Notes/a.txt", "b.txt"));  // taken
    EXPECT_FALSE(device.renameItemAtPath("Notes/a.txt", "../a.txt"));
    EXPECT_TRUE(device.renameItemAtPath("Notes/a.txt", "renamed.txt"));
    EXPECT_TRUE(QFile::exists(volume.path("Notes/renamed.txt")));

    EXPECT_TRUE(device.deleteItemAtPath("Notes"));
    EXPECT_FALSE(QFile::exists(volume.path("Notes")));
    // The mount point is not an item: removing it would empty the whole iPod.
    EXPECT_FALSE(device.deleteItemAtPath("/"));
    EXPECT_TRUE(QFileInfo(volume.path("iPod_Control")).isDir());
}

TEST(iPodDevice, PathsNeverLeaveTheVolume)
{
    PodVolume volume;
    FileTree outside;
    outside.writeFile("secret.txt", "secret");
    volume.folder("Music");
    QFile::link(outside.path(), volume.path("Music/out"));
    QFile::link(outside.path("secret.txt"), volume.path("Music/secret.txt"));
    QFile::link(outside.path("planted.txt"), volume.path("Music/dangling"));
    QFile::link(volume.path("iPod_Control"), volume.path("Music/control"));
    const QString local = outside.file("local.txt", 4);
    iPodDevice device(volume.path());

    for (const char* p : {"../secret.txt", "Music/../../secret.txt", "Music/secret.txt", "Music/out/secret.txt"}) {
        EXPECT_FALSE(device.contentsOfFileAtPath(p)) << p;
        EXPECT_FALSE(device.itemExistsAtPath(p)) << p;
        EXPECT_FALSE(device.downloadFile(p, volume.path("copy.txt"))) << p;
    }
    EXPECT_TRUE(device.contentsOfDirectory("Music/out", kestrap::PathTypeAll).empty());
    EXPECT_FALSE(device.uploadFile("Music/out/planted.txt", local));
    EXPECT_FALSE(device.uploadFile("Music/dangling", local));
    EXPECT_FALSE(device.createDirectory("Music/out/made"));
    EXPECT_FALSE(device.renameItemAtPath("Music/out/secret.txt", "moved.txt"));
    EXPECT_FALSE(device.deleteItemAtPath("Music/out/secret.txt"));
    EXPECT_FALSE(device.deleteItemAtPath("../" + QFileInfo(outside.path()).fileName()));
    EXPECT_EQ(QDir(outside.path()).entryList(QDir::Files), (QStringList {"local.txt", "secret.txt"}));

    // The link itself is on the volume: removing it leaves its target alone.
    EXPECT_TRUE(device.deleteItemAtPath("Music/out"));
    EXPECT_EQ(readFileBytes(outside.path("secret.txt")), "secret");
    // Links that stay inside the volume work as usual.
    EXPECT_EQ(names(device.contentsOfDirectory("Music/control", kestrap::PathTypeFolders)), QStringList {"iTunes"});
}

TEST(iPodDevice, UploadAndDownload)
{
    PodVolume volume;
    FileTree local;
    QByteArray content(3 * 1024 * 1024 + 17, '\0');
    for (qsizetype i = 0; i < content.size(); ++i)
        content[i] = char(i * 31 % 251);
    local.writeFile("song.mp3", content);
    volume.writeFile("Music/song.mp3", "old");
    iPodDevice device(volume.path());
    Progress progress;
    device.setCopyDelegate(&progress);

    // A missing folder on the device fails before anything is reported.
    EXPECT_FALSE(device.uploadFile("Nowhere/song.mp3", local.path("song.mp3")));
    EXPECT_FALSE(device.uploadFile("Music/x.mp3", local.path()));
    EXPECT_TRUE(progress.reports.empty());

    ASSERT_TRUE(device.uploadFile("Music/song.mp3", local.path("song.mp3")));
    EXPECT_EQ(readFileBytes(volume.path("Music/song.mp3")), content);
    ASSERT_FALSE(progress.reports.empty());
    EXPECT_EQ(progress.reports.back().first, content.size());
    EXPECT_EQ(progress.reports.back().second, content.size());
    for (size_t i = 0; i + 1 < progress.reports.size(); ++i)
        EXPECT_LT(progress.reports[i].first, progress.reports[i].second);

    // Downloads make the local folders they need; an empty file completes with 0 of 0.
    volume.writeFile("Music/empty", {});
    progress.reports.clear();
    ASSERT_TRUE(device.downloadFile("Music/empty", local.path("back/up/empty")));
    EXPECT_TRUE(QFile::exists(local.path("back/up/empty")));
    EXPECT_EQ(progress.reports, (std::vector<std::pair<std::int64_t, std::int64_t>> {{0, 0}}));
}

// A volume whose block device sits on a made-up USB device, and made-up iPod preferences.
class iPodIdentity : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_savedConfig = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
        volume.recordDatabase(records::typical(QStringLiteral("Kim's iPod")));
    }
    void TearDown() override
    {
        if (m_savedConfig.isNull())
            qunsetenv("XDG_CONFIG_HOME");
        else
            qputenv("XDG_CONFIG_HOME", m_savedConfig);
    }

    // From the volume's partition up through the disk, the SCSI host and the USB interface
    // to the USB device, below a root hub that has a serial number of its own.
    void usbDevice(const QByteArray& serial)
    {
        struct stat st { };
        ASSERT_EQ(::stat(QFile::encodeName(volume.path()).constData(), &st), 0);
        const QString hub = "devices/pci0000:00/0000:00:14.0/usb1", usb = hub + "/1-2";
        const QString partition = usb + "/1-2:1.0/host6/target6:0:0/6:0:0:0/block/sdb/sdb1";
        sys.folder(partition);
        for (const QString& dev : {hub, usb}) {
            sys.writeFile(dev + "/idVendor", "05ac\n");
            sys.writeFile(dev + "/devnum", "1\n");
            sys.writeFile(dev + "/serial", (dev == hub ? "0000:00:14.0" : serial) + "\n");
        }
        sys.folder("dev/block");
        QFile::link(
            sys.path(partition), sys.path(QString("dev/block/%1:%2").arg(major(st.st_dev)).arg(minor(st.st_dev))));
    }

    void preferences(const QString& serial, int family)
    {
        const QVariantMap entry {
            {"Serial Number", "8K1234ABCDE"}, {"Firmware Version String", "1.1.2"}, {"Family ID", family}};
        config.writeFile("Kestrap/com.apple.iPod.plist",
            *kestrap::plist::toXml(QVariantMap {{"Devices", QVariantMap {{serial, entry}}}}));
    }

    PodVolume volume;
    FileTree sys;
    FileTree config;

private:
    QByteArray m_savedConfig;
};

TEST_F(iPodIdentity, FromUSBSerialAndPreferences)
{
    usbDevice("000A27001B2C3D4E");
    preferences("000A27001B2C3D4E", 11);
    iPodDevice device(volume.path(), sys.path());
    EXPECT_EQ(device.uuid(), "000A27001B2C3D4E");
    EXPECT_EQ(device.hubPlace(), "1-2");  // its USB device's folder, not the root hub's
    EXPECT_EQ(device.serialNumber(), "8K1234ABCDE");
    EXPECT_EQ(device.firmwareVersion(), "1.1.2");
    EXPECT_EQ(device.PodType(), 2);

    preferences("SOMEONE ELSE", 11);
    iPodDevice noEntry(volume.path(), sys.path());
    EXPECT_EQ(noEntry.uuid(), "000A27001B2C3D4E");
    EXPECT_TRUE(noEntry.serialNumber().isNull());
    EXPECT_EQ(noEntry.familyId(), 0);
}

TEST_F(iPodIdentity, WithoutUSBDeviceNoIdentityButAName)
{
    preferences("000A27001B2C3D4E", 11);
    iPodDevice device(volume.path(), sys.path());
    EXPECT_TRUE(device.uuid().isNull());
    EXPECT_TRUE(device.hubPlace().isNull());
    EXPECT_TRUE(device.serialNumber().isNull());
    EXPECT_EQ(device.name(), "Kim's iPod");
}

TEST_F(iPodIdentity, PodTypeFromFamily)
{
    usbDevice("S");
    const std::pair<int, int> table[]
        = {{-3, 1}, {6, 1}, {7, 3}, {11, 2}, {20, 3}, {21, 0}, {100, 0}, {101, 4}, {199, 4}, {200, 0}};
    for (auto [family, type] : table) {
        preferences("S", family);
        EXPECT_EQ(iPodDevice(volume.path(), sys.path()).PodType(), type) << "family " << family;
    }
}

TEST(USBStringDescriptor, Decoding)
{
    using Bytes = std::vector<std::uint8_t>;
    auto decode = [](const Bytes& b) { return kestrap::getUSBStringDescriptor(b); };
    EXPECT_EQ(decode({0x0e, 0x03, '0', 0, '0', 0, '0', 0, 'A', 0, '2', 0, '7', 0}), "000A27");
    EXPECT_TRUE(decode({0x02, 0x03}).isNull());
    EXPECT_EQ(decode({0x03, 0x03, 'Z'}), "Z");
    EXPECT_EQ(decode({0x0a, 0x03, 'A', 0, 'B', 0, 0, 0, 'C', 0}), "AB");
    EXPECT_EQ(decode({0x06, 0x03, 0xe9, 0x00, 0xa9, 0x03}), QString::fromUtf8("éΩ"));
    Bytes full(128, 0);
    for (size_t i = 2; i < full.size(); i += 2)
        full[i] = 'x';
    EXPECT_EQ(decode(full), QString(63, u'x'));
}
