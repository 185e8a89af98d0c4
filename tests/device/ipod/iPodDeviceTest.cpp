// File operations, copies and identity of a disk-mode iPod on fabricated volumes.

#include "device/ipod/iPodDevice.h"
#include "PodVolume.h"
#include "util/Plist.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

using kestrap::iMobileFileSystemNode;
using kestrap::iPodDevice;

namespace {

struct Progress : kestrap::iMobileDeviceCopyDelegate {
    using kestrap::iMobileDeviceCopyDelegate::transferBytes;
    std::vector<std::pair<std::int64_t, std::int64_t>> reports;
    void transferBytes(std::int64_t done, std::int64_t total) override { reports.emplace_back(done, total); }
};

QStringList names(const std::vector<iMobileFileSystemNode>& nodes)
{
    QStringList out;
    for (const auto& n : nodes)
        out << n.name();
    return out;
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    return f.readAll();
}

}  // namespace

TEST(iPodDevice, IdentityAnswers)
{
    PodVolume volume;
    iPodDevice device(volume.path() + "/");
    EXPECT_EQ(device.deviceType(), kestrap::DeviceTypePod);
    EXPECT_EQ(device.iTunesControlPath(), "iPod_Control");
    EXPECT_EQ(device.mountPath(), volume.path());
    EXPECT_TRUE(device.osVersion().isNull());
    EXPECT_TRUE(device.buildVersion().isNull());
    EXPECT_TRUE(device.modelNumber().isNull());
    EXPECT_TRUE(device.phoneNumber().isNull());
    EXPECT_GT(device.capacity(), 0u);
    EXPECT_LE(device.freeCapacity(), device.capacity());
    EXPECT_EQ(iPodDevice(volume.path("missing")).capacity(), 0u);
}

TEST(iPodDevice, FullPath)
{
    PodVolume volume;
    const QString mount = volume.path();
    iPodDevice device(mount);
    EXPECT_EQ(device.fullPath(mount + "/iPod_Control"), mount + "/iPod_Control");
    EXPECT_EQ(device.fullPath(mount), mount);
    EXPECT_EQ(device.fullPath("/Music/a.mp3"), mount + "/Music/a.mp3");
    EXPECT_EQ(device.fullPath("Music/a.mp3"), mount + "/Music/a.mp3");
    EXPECT_EQ(device.fullPath(device.fullPath("Music")), mount + "/Music");
    // A sibling whose name merely starts with the mount point's is not on this volume.
    EXPECT_EQ(device.fullPath(mount + "2/secret"), mount + "/" + mount.mid(1) + "2/secret");
}

TEST(iPodDevice, ListingByPathType)
{
    PodVolume volume;
    volume.file("Music/b.mp3", 3);
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
    EXPECT_FALSE(all[1].isDirectory());
    EXPECT_TRUE(device.contentsOfDirectory("Music", 300).empty());
    EXPECT_TRUE(device.contentsOfDirectory("Nowhere", kestrap::PathTypeAll).empty());

    EXPECT_TRUE(device.isLinkAtPath("Music/folderlink"));
    EXPECT_FALSE(device.isDirectoryAtPath("Music/folderlink"));
    bool isDir = false;
    EXPECT_TRUE(device.itemExistsAtPath("Music/folderlink", &isDir));
    EXPECT_TRUE(isDir);
    EXPECT_EQ(device.getSizeOfItemAtPath("Music/b.mp3"), 3u);
    EXPECT_EQ(device.getSizeOfItemAtPath("Music/none"), 0u);
    // Reading a pipe would block for ever; it is not a file to read.
    EXPECT_FALSE(device.contentsOfFileAtPath("Music/pipe"));
    EXPECT_FALSE(device.readFileAtPath("Music/pipe", 0, 10));
}

TEST(iPodDevice, ReadingFiles)
{
    PodVolume volume;
    volume.writeFile("notes.txt", "0123456789");
    iPodDevice device(volume.path());
    EXPECT_EQ(device.contentsOfFileAtPath("/notes.txt"), QByteArray("0123456789"));
    EXPECT_EQ(device.readFileAtPath("notes.txt", 3, 4), QByteArray("3456"));
    EXPECT_EQ(device.readFileAtPath("notes.txt", 8, 100), QByteArray("89"));
    EXPECT_EQ(device.readFileAtPath("notes.txt", 10, 5), QByteArray());
    EXPECT_EQ(device.readFileAtPath("notes.txt", 4000000000u, 5), QByteArray());
    EXPECT_FALSE(device.readFileAtPath("missing.txt", 0, 5));
    EXPECT_FALSE(device.contentsOfFileAtPath("iPod_Control"));
}

TEST(iPodDevice, ChangingItems)
{
    PodVolume volume;
    volume.file("Notes/a.txt", 1);
    volume.file("Notes/b.txt", 1);
    volume.file("Notes/Deep/c.txt", 1);
    iPodDevice device(volume.path());

    EXPECT_TRUE(device.createDirectory("Photos/2024/June"));
    EXPECT_TRUE(QFileInfo(volume.path("Photos/2024/June")).isDir());
    EXPECT_TRUE(device.createDirectory("Photos/2024"));
    EXPECT_FALSE(device.createDirectory("Notes/a.txt"));

    EXPECT_FALSE(device.renameItemAtPath("Notes/a.txt", "b.txt"));  // taken
    EXPECT_EQ(readAll(volume.path("Notes/b.txt")), "x");
    EXPECT_FALSE(device.renameItemAtPath("Notes/a.txt", "../a.txt"));
    EXPECT_FALSE(device.renameItemAtPath("Notes/a.txt", ""));
    EXPECT_TRUE(device.renameItemAtPath("Notes/a.txt", "renamed.txt"));
    EXPECT_TRUE(QFile::exists(volume.path("Notes/renamed.txt")));

    EXPECT_TRUE(device.deleteItemAtPath("Notes"));
    EXPECT_FALSE(QFile::exists(volume.path("Notes")));
    EXPECT_FALSE(device.deleteItemAtPath("Notes"));
    // The mount point itself is not an item to remove.
    EXPECT_FALSE(device.deleteItemAtPath("/"));
    EXPECT_TRUE(QFileInfo(volume.path("iPod_Control")).isDir());

    const QDateTime before = QDateTime::currentDateTime().addSecs(-5);
    EXPECT_GE(device.modificationDateOfItemAtPath("missing"), before);
    EXPECT_GE(device.creationDateOfItemAtPath("missing"), before);
    QFile dated(volume.file("Photos/old.jpg"));
    ASSERT_TRUE(dated.open(QIODevice::ReadWrite));
    dated.setFileTime(QDateTime::fromSecsSinceEpoch(1000000000), QFileDevice::FileModificationTime);
    dated.close();
    EXPECT_EQ(device.modificationDateOfItemAtPath("Photos/old.jpg").toSecsSinceEpoch(), 1000000000);
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

    for (const QString& p : {QStringLiteral("../secret.txt"), QStringLiteral("Music/../../secret.txt"),
             QStringLiteral("Music/secret.txt"), QStringLiteral("Music/out/secret.txt")}) {
        EXPECT_FALSE(device.contentsOfFileAtPath(p)) << p.toStdString();
        EXPECT_FALSE(device.readFileAtPath(p, 0, 3)) << p.toStdString();
        EXPECT_FALSE(device.itemExistsAtPath(p)) << p.toStdString();
        EXPECT_FALSE(device.downloadFile(p, volume.path("copy.txt"))) << p.toStdString();
    }
    EXPECT_TRUE(device.contentsOfDirectory("Music/out", kestrap::PathTypeAll).empty());
    EXPECT_FALSE(device.uploadFile("Music/out/planted.txt", local));
    EXPECT_FALSE(device.uploadFile("Music/dangling", local));
    EXPECT_FALSE(device.createDirectory("Music/out/made"));
    EXPECT_FALSE(device.renameItemAtPath("Music/out/secret.txt", "moved.txt"));
    EXPECT_FALSE(device.deleteItemAtPath("Music/out/secret.txt"));
    EXPECT_FALSE(QFile::exists(outside.path("planted.txt")));
    EXPECT_FALSE(QFile::exists(outside.path("made")));

    // The link itself is on the volume: it can be seen and removed, and its target stays.
    EXPECT_TRUE(device.isLinkAtPath("Music/out"));
    EXPECT_TRUE(device.deleteItemAtPath("Music/out"));
    EXPECT_EQ(readAll(outside.path("secret.txt")), "secret");
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
    EXPECT_TRUE(progress.reports.empty());
    EXPECT_FALSE(device.uploadFile("Music/x.mp3", local.path("missing.mp3")));
    EXPECT_FALSE(device.uploadFile("Music/x.mp3", local.path()));
    EXPECT_TRUE(progress.reports.empty());

    ASSERT_TRUE(device.uploadFile("Music/song.mp3", local.path("song.mp3")));
    EXPECT_EQ(readAll(volume.path("Music/song.mp3")), content);
    EXPECT_EQ(device.getCopiedFileSize(), std::uint64_t(content.size()));
    ASSERT_FALSE(progress.reports.empty());
    EXPECT_EQ(progress.reports.back().first, content.size());
    EXPECT_EQ(progress.reports.back().second, content.size());
    for (size_t i = 0; i + 1 < progress.reports.size(); ++i)
        EXPECT_LT(progress.reports[i].first, progress.reports[i].second);

    // Downloads make the local folders they need.
    progress.reports.clear();
    ASSERT_TRUE(device.downloadFile("Music/song.mp3", local.path("back/up/song.mp3")));
    EXPECT_EQ(readAll(local.path("back/up/song.mp3")), content);
    EXPECT_EQ(progress.reports.back().first, progress.reports.back().second);

    // An empty file completes with 0 of 0.
    local.writeFile("empty", {});
    progress.reports.clear();
    ASSERT_TRUE(device.uploadFile("Music/empty", local.path("empty")));
    EXPECT_EQ(progress.reports, (std::vector<std::pair<std::int64_t, std::int64_t>> {{0, 0}}));
    device.setCopyDelegate(nullptr);
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

    // The kernel's device tree from the volume's block device up through the disk, the SCSI
    // host and the USB interface to the USB device, under a root hub of its own.
    void usbDevice(const QByteArray& serial)
    {
        struct stat st { };
        ASSERT_EQ(::stat(QFile::encodeName(volume.path()).constData(), &st), 0);
        const QString hub = QStringLiteral("devices/pci0000:00/0000:00:14.0/usb1");
        const QString usb = hub + "/1-2";
        const QString partition = usb + "/1-2:1.0/host6/target6:0:0/6:0:0:0/block/sdb/sdb1";
        sys.folder(partition);
        for (const QString& dev : {hub, usb}) {
            sys.writeFile(dev + "/idVendor", dev == hub ? "1d6b\n" : "05ac\n");
            sys.writeFile(dev + "/busnum", "1\n");
            sys.writeFile(dev + "/devnum", dev == hub ? "1\n" : "9\n");
        }
        sys.writeFile(hub + "/serial", "0000:00:14.0\n");
        sys.writeFile(usb + "/serial", serial + "\n");
        sys.writeFile(usb + "/1-2:1.0/bInterfaceClass", "08\n");
        sys.folder("dev/block");
        QFile::link(sys.path(partition),
            sys.path(QStringLiteral("dev/block/%1:%2").arg(major(st.st_dev)).arg(minor(st.st_dev))));
    }

    void preferences(const QVariantMap& devices)
    {
        const auto xml = kestrap::plist::toXml(QVariantMap {{"Devices", devices}});
        ASSERT_TRUE(xml);
        config.writeFile("Kestrap/com.apple.iPod.plist", *xml);
    }

    static QVariantMap entry(int family)
    {
        return {{"Serial Number", "8K1234ABCDE"}, {"Firmware Version String", "1.1.2"}, {"Family ID", family}};
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
    preferences({{"000A27001B2C3D4E", entry(11)}, {"OTHER", entry(3)}});
    iPodDevice device(volume.path(), sys.path());
    EXPECT_EQ(device.uuid(), "000A27001B2C3D4E");
    EXPECT_EQ(device.serialNumber(), "8K1234ABCDE");
    EXPECT_EQ(device.firmwareVersion(), "1.1.2");
    EXPECT_EQ(device.familyId(), 11);
    EXPECT_EQ(device.PodType(), 2);
    EXPECT_EQ(device.name(), "Kim's iPod");
}

TEST_F(iPodIdentity, MissingPreferencesLeaveTheFieldsEmpty)
{
    usbDevice("000A27001B2C3D4E");
    iPodDevice noFile(volume.path(), sys.path());
    EXPECT_EQ(noFile.uuid(), "000A27001B2C3D4E");
    EXPECT_TRUE(noFile.serialNumber().isNull());

    preferences({{"SOMEONE ELSE", entry(11)}});
    iPodDevice noEntry(volume.path(), sys.path());
    EXPECT_TRUE(noEntry.firmwareVersion().isNull());
    EXPECT_EQ(noEntry.familyId(), 0);

    config.writeFile("Kestrap/com.apple.iPod.plist", "not a property list");
    iPodDevice corrupt(volume.path(), sys.path());
    EXPECT_EQ(corrupt.uuid(), "000A27001B2C3D4E");
    EXPECT_TRUE(corrupt.serialNumber().isNull());
}

TEST_F(iPodIdentity, WithoutUSBDeviceNoIdentityButAName)
{
    // Preferences exist, but without a serial number nothing ties this iPod to them.
    preferences({{"000A27001B2C3D4E", entry(11)}});
    iPodDevice device(volume.path(), sys.path());
    EXPECT_TRUE(device.uuid().isNull());
    EXPECT_TRUE(device.serialNumber().isNull());
    EXPECT_EQ(device.familyId(), 0);
    EXPECT_EQ(device.name(), "Kim's iPod");
}

TEST_F(iPodIdentity, PodTypeFromFamily)
{
    usbDevice("S");
    const std::pair<int, int> table[]
        = {{0, 1}, {6, 1}, {-3, 1}, {7, 3}, {11, 2}, {12, 3}, {20, 3}, {21, 0}, {100, 0}, {101, 4}, {199, 4}, {200, 0}};
    for (auto [family, type] : table) {
        preferences({{"S", entry(family)}});
        EXPECT_EQ(iPodDevice(volume.path(), sys.path()).PodType(), type) << "family " << family;
    }
}

TEST(USBStringDescriptor, Decoding)
{
    using Bytes = std::vector<std::uint8_t>;
    auto decode = [](const Bytes& b) { return kestrap::getUSBStringDescriptor(b); };
    EXPECT_EQ(decode({0x0e, 0x03, '0', 0, '0', 0, '0', 0, 'A', 0, '2', 0, '7', 0}), "000A27");
    EXPECT_TRUE(decode({}).isNull());
    EXPECT_TRUE(decode({0x02, 0x03}).isNull());
    EXPECT_EQ(decode({0x03, 0x03, 'Z'}), "Z");
    EXPECT_EQ(decode({0x0a, 0x03, 'A', 0, 'B', 0, 0, 0, 'C', 0}), "AB");
    EXPECT_EQ(decode({0x06, 0x03, 0xe9, 0x00, 0xa9, 0x03}), QString::fromUtf8("éΩ"));
    Bytes full(128, 'x');
    full[0] = 128;
    full[1] = 3;
    for (size_t i = 3; i < full.size(); i += 2)
        full[i] = 0;
    EXPECT_EQ(decode(full), QString(63, u'x'));
}
