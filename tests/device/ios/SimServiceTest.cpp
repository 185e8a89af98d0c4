// The simulated backend as a real device would answer: lockdown sequence, services, file
// information, capacity, path confinement and injected faults.

#include "support/TempTree.h"
#include "support/TestFarm.h"

#include <QFile>
#include <QThread>
#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

using namespace kestrap;
using namespace kestrap::sim;

namespace {

constexpr std::uint32_t kMiB = 1024 * 1024;

class SimServiceTest : public ::testing::Test {
protected:
    // Connected, paired, in a session: ready for a service start.
    AMDeviceRef session(const QString& udid)
    {
        AMDeviceRef d = farm.service()->currentRecord(udid);
        EXPECT_NE(d, nullptr);
        SimMobileDeviceService& s = *farm.service();
        EXPECT_EQ(s.AMDeviceConnect(d), MDSuccess);
        EXPECT_EQ(s.AMDeviceIsPaired(d), 1);
        EXPECT_EQ(s.AMDeviceValidatePairing(d), MDSuccess);
        EXPECT_EQ(s.AMDeviceStartSession(d), MDSuccess);
        return d;
    }

    AFCConnectionRef afc(
        const QString& udid, const QString& bundleId = {}, AMHouseArrestVend vend = AMHouseArrestVend::Container)
    {
        const AMDeviceRef d = session(udid);
        AMServiceHandle h = 0;
        const MDError started = bundleId.isEmpty()
            ? farm.service()->AMDeviceStartService(d, kServiceAFC, &h)
            : farm.service()->AMDeviceStartHouseArrestService(d, bundleId, vend, &h);
        EXPECT_EQ(started, MDSuccess);
        AFCConnectionRef c = nullptr;
        EXPECT_EQ(farm.service()->AFCConnectionOpen(h, 0, &c), MDSuccess);
        return c;
    }

    QMap<QByteArray, QByteArray> pairs(AFCKeyValueRef kv)
    {
        QMap<QByteArray, QByteArray> all;
        QByteArray k;
        QByteArray v;
        while (farm.service()->AFCKeyValueRead(kv, &k, &v) == MDSuccess && !k.isNull())
            all.insert(k, v);
        farm.service()->AFCKeyValueClose(kv);
        return all;
    }

    MDError write(AFCConnectionRef c, const QString& path, const QByteArray& bytes)
    {
        AFCFileRef f = 0;
        if (const MDError e = farm.service()->AFCFileRefOpen(c, path, AFCFileModeWrite, &f))
            return e;
        const MDError e = farm.service()->AFCFileRefWrite(c, f, bytes.constData(), std::uint32_t(bytes.size()));
        farm.service()->AFCFileRefClose(c, f);
        return e;
    }

    TestFarm farm;
};

}  // namespace

TEST_F(SimServiceTest, LockdownSequenceAndValuesFollowDevicePlist)
{
    const QString udid = farm.addPhone();
    SimMobileDeviceService& s = *farm.service();
    const AMDeviceRef d = s.currentRecord(udid);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(s.AMDeviceCopyDeviceIdentifier(d), udid);

    // Nothing works before the link is open, and services need a session.
    EXPECT_EQ(s.AMDeviceIsPaired(d), 0);
    EXPECT_FALSE(s.AMDeviceCopyValue(d, {}, QStringLiteral("DeviceName")).isValid());
    ASSERT_EQ(s.AMDeviceConnect(d), MDSuccess);
    AMServiceHandle h = 0;
    EXPECT_NE(s.AMDeviceStartService(d, kServiceAFC, &h), MDSuccess);

    EXPECT_EQ(s.AMDeviceCopyValue(d, {}, QStringLiteral("DeviceName")).toString(), QStringLiteral("Device 1"));
    EXPECT_EQ(s.AMDeviceCopyValue(d, {}, QStringLiteral("UniqueDeviceID")).toString(), udid);
    // The simulation's own keys are not lockdown values.
    EXPECT_FALSE(s.AMDeviceCopyValue(d, {}, QStringLiteral("FSTotalBytes")).isValid());
    EXPECT_FALSE(s.AMDeviceCopyValue(d, {}, QStringLiteral("PhoneNumber")).isValid());

    // Unpaired: the check answers 0 and neither validation nor a session goes through.
    auto plist = readDevicePlist(QDir(farm.path()).filePath(udid));
    plist->insert(kKeyPaired, false);
    ASSERT_TRUE(writeDevicePlist(QDir(farm.path()).filePath(udid), *plist));
    ASSERT_EQ(s.AMDeviceConnect(d), MDSuccess);
    EXPECT_EQ(s.AMDeviceIsPaired(d), 0);
    EXPECT_NE(s.AMDeviceValidatePairing(d), MDSuccess);
    EXPECT_NE(s.AMDeviceStartSession(d), MDSuccess);
}

TEST_F(SimServiceTest, ServicesOnlyWhereTheDeviceOffersThem)
{
    const QString plain = farm.addPhone({{QStringLiteral("com.example.notes"), QStringLiteral("Notes"), true}});
    const QString jailbroken = farm.addPhone({}, true);
    SimMobileDeviceService& s = *farm.service();
    AMServiceHandle h = 0;

    AMDeviceRef d = session(plain);
    EXPECT_NE(s.AMDeviceStartService(d, kServiceAFC2, &h), MDSuccess);
    EXPECT_NE(s.AMDeviceStartService(d, QStringLiteral("com.apple.mobilebackup2"), &h), MDSuccess);
    EXPECT_EQ(
        s.AMDeviceStartHouseArrestService(d, QStringLiteral("com.example.notes"), AMHouseArrestVend::Container, &h),
        MDSuccess);
    EXPECT_EQ(
        s.AMDeviceStartHouseArrestService(d, QStringLiteral("com.example.missing"), AMHouseArrestVend::Container, &h),
        AMDApplicationNotInstalledError);
    EXPECT_NE(s.AMDeviceStartHouseArrestService(d, QStringLiteral(".."), AMHouseArrestVend::Container, &h), MDSuccess);

    d = session(jailbroken);
    ASSERT_EQ(s.AMDeviceStartService(d, kServiceAFC2, &h), MDSuccess);
    AFCConnectionRef c = nullptr;
    ASSERT_EQ(s.AFCConnectionOpen(h, 0, &c), MDSuccess);
    ASSERT_EQ(write(c, QStringLiteral("/etc-like"), "x"), MDSuccess);
    EXPECT_TRUE(QFile::exists(QDir(farm.path()).filePath(jailbroken + QStringLiteral("/Root/etc-like"))));
    s.AFCConnectionClose(c);
    // A handle is good for one connection only.
    EXPECT_NE(s.AFCConnectionOpen(h, 0, &c), MDSuccess);

    QVariantMap apps;
    d = session(plain);
    ASSERT_EQ(s.AMDeviceLookupApplications(
                  d, {{QStringLiteral("ReturnAttributes"), QStringList {"CFBundleDisplayName"}}}, &apps),
        MDSuccess);
    EXPECT_EQ(apps.keys(), QStringList {"com.example.notes"});
    EXPECT_EQ(apps.first().toMap(), (QVariantMap {{"CFBundleDisplayName", "Notes"}}));
}

TEST_F(SimServiceTest, FileInformationDirectoriesAndFiles)
{
    const QString udid = farm.addPhone();
    SimMobileDeviceService& s = *farm.service();
    const AFCConnectionRef c = afc(udid);
    ASSERT_EQ(s.AFCDirectoryCreate(c, QStringLiteral("/a/b")), MDSuccess);
    ASSERT_EQ(write(c, QStringLiteral("/a/f.txt"), "hello"), MDSuccess);
    ASSERT_EQ(::symlink("f.txt", QFile::encodeName(farm.media(udid) + "/a/link").constData()), 0);

    AFCKeyValueRef kv = nullptr;
    ASSERT_EQ(s.AFCFileInfoOpen(c, QStringLiteral("/a/f.txt"), &kv), MDSuccess);
    auto info = pairs(kv);
    EXPECT_EQ(info["st_size"], "5");
    EXPECT_EQ(info["st_ifmt"], "S_IFREG");
    const qint64 mtime = info["st_mtime"].toLongLong();
    EXPECT_NEAR(double(mtime / 1000000000),
        double(QFileInfo(farm.media(udid) + "/a/f.txt").lastModified().toSecsSinceEpoch()), 1.0);
    ASSERT_EQ(s.AFCFileInfoOpen(c, QStringLiteral("/a/b"), &kv), MDSuccess);
    EXPECT_EQ(pairs(kv)["st_ifmt"], "S_IFDIR");
    ASSERT_EQ(s.AFCFileInfoOpen(c, QStringLiteral("/a/link"), &kv), MDSuccess);
    EXPECT_EQ(pairs(kv)["st_ifmt"], "S_IFLNK");
    EXPECT_EQ(s.AFCFileInfoOpen(c, QStringLiteral("/a/none"), &kv), AFCObjectNotFoundError);

    AFCDirectoryRef dir = nullptr;
    ASSERT_EQ(s.AFCDirectoryOpen(c, QStringLiteral("/a"), &dir), MDSuccess);
    QList<QByteArray> names;
    QByteArray name;
    while (s.AFCDirectoryRead(c, dir, &name) == MDSuccess && !name.isNull())
        names << name;
    s.AFCDirectoryClose(c, dir);
    EXPECT_EQ(names, (QList<QByteArray> {".", "..", "b", "f.txt", "link"}));

    // Read through the link, seek from the start, count 0 at the end.
    AFCFileRef f = 0;
    ASSERT_EQ(s.AFCFileRefOpen(c, QStringLiteral("/a/link"), AFCFileModeRead, &f), MDSuccess);
    ASSERT_EQ(s.AFCFileRefSeek(c, f, 1, AFCSeekFromStart), MDSuccess);
    char buf[16];
    std::uint32_t count = sizeof buf;
    ASSERT_EQ(s.AFCFileRefRead(c, f, buf, &count), MDSuccess);
    EXPECT_EQ(QByteArray(buf, count), "ello");
    count = sizeof buf;
    ASSERT_EQ(s.AFCFileRefRead(c, f, buf, &count), MDSuccess);
    EXPECT_EQ(count, 0u);
    EXPECT_NE(s.AFCFileRefWrite(c, f, "x", 1), MDSuccess);
    s.AFCFileRefClose(c, f);
    EXPECT_EQ(s.AFCFileRefOpen(c, QStringLiteral("/a/none"), AFCFileModeRead, &f), AFCObjectNotFoundError);

    // A link goes by itself; what it leads to stays.
    EXPECT_EQ(s.AFCRemovePath(c, QStringLiteral("/a/link")), MDSuccess);
    EXPECT_FALSE(QFileInfo(farm.media(udid) + "/a/link").isSymLink());
    EXPECT_TRUE(QFile::exists(farm.media(udid) + "/a/f.txt"));
    EXPECT_EQ(s.AFCRemovePath(c, QStringLiteral("/a")), AFCDirNotEmptyError);
    EXPECT_EQ(s.AFCRenamePath(c, QStringLiteral("/a/f.txt"), QStringLiteral("/a/b/g.txt")), MDSuccess);
    EXPECT_TRUE(QFile::exists(farm.media(udid) + "/a/b/g.txt"));
    EXPECT_EQ(s.AFCRemovePath(c, QStringLiteral("/a/./b//g.txt")), MDSuccess);
    EXPECT_FALSE(QFile::exists(farm.media(udid) + "/a/b/g.txt"));
    EXPECT_EQ(s.AFCRemovePath(c, QStringLiteral("/a/b/g.txt")), AFCObjectNotFoundError);
    s.AFCConnectionClose(c);
}

TEST_F(SimServiceTest, PathsStayInsideTheServiceRoot)
{
    const QString udid = farm.addPhone({{QStringLiteral("com.example.notes"), QStringLiteral("Notes"), true}});
    SimMobileDeviceService& s = *farm.service();
    const QString outside = farm.path() + QStringLiteral("/outside");
    QDir().mkpath(outside);
    QFile secret(outside + QStringLiteral("/secret"));
    ASSERT_TRUE(secret.open(QIODevice::WriteOnly));
    secret.write("secret");
    secret.close();
    const QString box = farm.container(udid, QStringLiteral("com.example.notes"));
    ASSERT_EQ(::symlink(QFile::encodeName(outside).constData(), QFile::encodeName(box + "/out").constData()), 0);
    ASSERT_EQ(
        ::symlink(QFile::encodeName(outside + "/secret").constData(), QFile::encodeName(box + "/s").constData()), 0);
    ASSERT_EQ(
        ::symlink(QFile::encodeName(outside + "/new").constData(), QFile::encodeName(box + "/dangling").constData()),
        0);
    // A sibling whose path begins with the container's own is outside it all the same.
    const QString sibling = box + QStringLiteral("-other");
    QDir().mkpath(sibling);
    writeFileBytes(sibling + QStringLiteral("/secret"), "sibling");
    ASSERT_EQ(::symlink(QFile::encodeName(sibling).constData(), QFile::encodeName(box + "/near").constData()), 0);

    const AFCConnectionRef c = afc(udid, QStringLiteral("com.example.notes"));
    AFCFileRef f = 0;
    AFCKeyValueRef kv = nullptr;
    AFCDirectoryRef dir = nullptr;
    // Climbing out by "..": refused, not clamped.
    EXPECT_EQ(
        s.AFCFileRefOpen(c, QStringLiteral("/../../outside/secret"), AFCFileModeRead, &f), AFCPermissionDeniedError);
    EXPECT_EQ(s.AFCFileRefOpen(c, QStringLiteral("Documents/../../x"), AFCFileModeWrite, &f), AFCPermissionDeniedError);
    EXPECT_EQ(s.AFCDirectoryOpen(c, QStringLiteral("/.."), &dir), AFCPermissionDeniedError);
    EXPECT_NE(s.AFCDirectoryCreate(c, QStringLiteral("/../escape")), MDSuccess);
    // A host path is just a path inside the root.
    EXPECT_EQ(s.AFCFileRefOpen(c, outside + QStringLiteral("/secret"), AFCFileModeRead, &f), AFCObjectNotFoundError);
    // Links that lead out: neither followed as folders nor as files, nor created through.
    EXPECT_EQ(s.AFCFileInfoOpen(c, QStringLiteral("/out/secret"), &kv), AFCPermissionDeniedError);
    EXPECT_EQ(s.AFCFileRefOpen(c, QStringLiteral("/s"), AFCFileModeRead, &f), AFCPermissionDeniedError);
    EXPECT_EQ(s.AFCFileRefOpen(c, QStringLiteral("/s"), AFCFileModeWrite, &f), AFCPermissionDeniedError);
    EXPECT_NE(s.AFCFileRefOpen(c, QStringLiteral("/dangling"), AFCFileModeWrite, &f), MDSuccess);
    EXPECT_EQ(s.AFCDirectoryOpen(c, QStringLiteral("/out"), &dir), AFCPermissionDeniedError);
    EXPECT_EQ(s.AFCDirectoryOpen(c, QStringLiteral("/near"), &dir), AFCPermissionDeniedError);
    EXPECT_EQ(s.AFCFileRefOpen(c, QStringLiteral("/near/secret"), AFCFileModeRead, &f), AFCPermissionDeniedError);
    EXPECT_EQ(
        s.AFCRenamePath(c, QStringLiteral("/Documents"), QStringLiteral("/out/Documents")), AFCPermissionDeniedError);
    EXPECT_EQ(s.AFCDirectoryCreate(c, QStringLiteral("/out/made")), AFCPermissionDeniedError);
    EXPECT_NE(s.AFCRemovePath(c, QStringLiteral("/")), MDSuccess);
    // The link itself may go; what it points to stays.
    EXPECT_EQ(s.AFCRemovePath(c, QStringLiteral("/s")), MDSuccess);
    EXPECT_TRUE(QFile::exists(outside + QStringLiteral("/secret")));
    EXPECT_FALSE(QFile::exists(outside + QStringLiteral("/new")));
    EXPECT_FALSE(QFile::exists(outside + QStringLiteral("/made")));
    EXPECT_FALSE(QFile::exists(farm.path() + QStringLiteral("/x")));
    s.AFCConnectionClose(c);
}

TEST_F(SimServiceTest, ItemsLandWherePathsLeadNowAfterFoldersMoveOrAreReplaced)
{
    const QString udid = farm.addPhone();
    SimMobileDeviceService& s = *farm.service();
    const QString media = farm.media(udid);
    const AFCConnectionRef one = afc(udid);
    const AFCConnectionRef other = afc(udid);
    const auto exists = [&](const char* path) { return QFile::exists(media + QLatin1String(path)); };

    // A folder moved away by another connection, and made again.
    ASSERT_EQ(s.AFCDirectoryCreate(one, QStringLiteral("/a")), MDSuccess);
    ASSERT_EQ(write(one, QStringLiteral("/a/1"), "1"), MDSuccess);
    ASSERT_EQ(s.AFCRenamePath(other, QStringLiteral("/a"), QStringLiteral("/b")), MDSuccess);
    ASSERT_TRUE(QDir().mkpath(media + QStringLiteral("/a")));
    ASSERT_EQ(write(one, QStringLiteral("/a/2"), "2"), MDSuccess);
    EXPECT_TRUE(exists("/a/2"));
    EXPECT_FALSE(exists("/b/2"));
    ASSERT_EQ(s.AFCRenamePath(other, QStringLiteral("/a"), QStringLiteral("/b/a")), MDSuccess);
    ASSERT_TRUE(QDir().mkpath(media + QStringLiteral("/a")));
    ASSERT_EQ(write(one, QStringLiteral("/a/3"), "3"), MDSuccess);
    EXPECT_TRUE(exists("/a/3"));

    // A file this connection made, replaced by a folder that another connection works in,
    // then renamed: what was written into the old name's folder is gone from that name.
    ASSERT_EQ(write(one, QStringLiteral("/a/f"), "f"), MDSuccess);
    ASSERT_EQ(s.AFCRemovePath(other, QStringLiteral("/a/f")), MDSuccess);
    ASSERT_EQ(s.AFCDirectoryCreate(other, QStringLiteral("/a/f")), MDSuccess);
    ASSERT_EQ(write(other, QStringLiteral("/a/f/x"), "x"), MDSuccess);
    ASSERT_EQ(s.AFCRenamePath(one, QStringLiteral("/a/f"), QStringLiteral("/a/g")), MDSuccess);
    EXPECT_EQ(write(other, QStringLiteral("/a/f/y"), "y"), AFCObjectNotFoundError);
    EXPECT_TRUE(exists("/a/g/x"));
    EXPECT_FALSE(exists("/a/g/y"));

    // A folder removed and made again on the host.
    ASSERT_EQ(write(one, QStringLiteral("/a/h"), "h"), MDSuccess);
    ASSERT_TRUE(QDir(media + QStringLiteral("/a")).removeRecursively());
    ASSERT_TRUE(QDir().mkpath(media + QStringLiteral("/a")));
    ASSERT_EQ(write(one, QStringLiteral("/a/4"), "4"), MDSuccess);
    EXPECT_TRUE(exists("/a/4"));
    s.AFCConnectionClose(one);
    s.AFCConnectionClose(other);
}

TEST_F(SimServiceTest, CapacityIsReportedAndAFullDeviceFailsTheWrite)
{
    SimDeviceSpec model;
    model.capacity = 3 * kMiB;
    const QString udid = farm.addDevice(model);
    SimMobileDeviceService& s = *farm.service();
    const AFCConnectionRef c = afc(udid);
    ASSERT_EQ(write(c, QStringLiteral("/one"), QByteArray(2 * kMiB, 'a')), MDSuccess);

    AFCKeyValueRef kv = nullptr;
    ASSERT_EQ(s.AFCDeviceInfoOpen(c, &kv), MDSuccess);
    auto info = pairs(kv);
    EXPECT_EQ(info["FSTotalBytes"].toLongLong(), 3 * kMiB);
    EXPECT_EQ(info["FSFreeBytes"].toLongLong(), 1 * kMiB);

    // Does not fit: the write fails and the file does not grow past what fits.
    EXPECT_EQ(write(c, QStringLiteral("/two"), QByteArray(2 * kMiB, 'b')), AFCNoSpaceLeftError);
    EXPECT_EQ(QFileInfo(farm.media(udid) + "/two").size(), 0);
    // A file renamed over another frees the other's bytes.
    EXPECT_EQ(s.AFCRemovePath(c, QStringLiteral("/two")), MDSuccess);
    ASSERT_EQ(write(c, QStringLiteral("/small"), QByteArray(kMiB / 2, 'd')), MDSuccess);
    ASSERT_EQ(s.AFCRenamePath(c, QStringLiteral("/small"), QStringLiteral("/one")), MDSuccess);
    ASSERT_EQ(s.AFCDeviceInfoOpen(c, &kv), MDSuccess);
    EXPECT_EQ(pairs(kv)["FSFreeBytes"].toLongLong(), 3 * kMiB - kMiB / 2);
    // A file renamed onto its own name frees nothing.
    ASSERT_EQ(s.AFCRenamePath(c, QStringLiteral("/one"), QStringLiteral("//one")), MDSuccess);
    ASSERT_EQ(s.AFCDeviceInfoOpen(c, &kv), MDSuccess);
    EXPECT_EQ(pairs(kv)["FSFreeBytes"].toLongLong(), 3 * kMiB - kMiB / 2);
    EXPECT_TRUE(QFile::exists(farm.media(udid) + "/one"));
    // Rewriting a file frees its old bytes first; removing frees them too.
    EXPECT_EQ(write(c, QStringLiteral("/one"), QByteArray(3 * kMiB, 'c')), MDSuccess);
    EXPECT_EQ(s.AFCRemovePath(c, QStringLiteral("/one")), MDSuccess);
    ASSERT_EQ(s.AFCDeviceInfoOpen(c, &kv), MDSuccess);
    EXPECT_EQ(pairs(kv)["FSFreeBytes"].toLongLong(), 3 * kMiB);
    // A file grows by what is written past its end, wherever reads and seeks left the writer.
    ASSERT_EQ(write(c, QStringLiteral("/one"), QByteArray(kMiB, 'e')), MDSuccess);
    AFCFileRef f = 0;
    ASSERT_EQ(s.AFCFileRefOpen(c, QStringLiteral("/one"), AFCFileModeReadWrite, &f), MDSuccess);
    char head[16];
    std::uint32_t count = sizeof head;
    ASSERT_EQ(s.AFCFileRefRead(c, f, head, &count), MDSuccess);
    const QByteArray block(kMiB, 'f');
    ASSERT_EQ(s.AFCFileRefWrite(c, f, block.constData(), kMiB), MDSuccess);
    ASSERT_EQ(s.AFCFileRefSeek(c, f, 0, AFCSeekFromStart), MDSuccess);
    ASSERT_EQ(s.AFCFileRefWrite(c, f, block.constData(), kMiB), MDSuccess);
    s.AFCFileRefClose(c, f);
    ASSERT_EQ(s.AFCDeviceInfoOpen(c, &kv), MDSuccess);
    EXPECT_EQ(pairs(kv)["FSFreeBytes"].toLongLong(), 2 * kMiB - 16);
    s.AFCConnectionClose(c);
}

TEST_F(SimServiceTest, ConnectionsWritingAtOnceNeverTakeMoreRoomThanTheDeviceHas)
{
    SimDeviceSpec model;
    model.capacity = 5 * kMiB;
    const QString udid = farm.addDevice(model);
    SimMobileDeviceService& s = *farm.service();
    // Eight connections each write 1 MiB in pieces at the same time: five files fit.
    std::vector<AFCConnectionRef> connections;
    for (int i = 0; i < 8; ++i)
        connections.push_back(afc(udid));
    std::atomic<int> written {0};
    std::atomic<int> refused {0};
    std::vector<std::thread> writers;
    for (int i = 0; i < 8; ++i)
        writers.emplace_back([&, i] {
            AFCFileRef f = 0;
            ASSERT_EQ(
                s.AFCFileRefOpen(connections[std::size_t(i)], QStringLiteral("/f%1").arg(i), AFCFileModeWrite, &f),
                MDSuccess);
            const QByteArray piece(kMiB / 4, char('a' + i));
            MDError result = MDSuccess;
            for (int p = 0; p < 4 && result == MDSuccess; ++p)
                result
                    = s.AFCFileRefWrite(connections[std::size_t(i)], f, piece.constData(), std::uint32_t(piece.size()));
            s.AFCFileRefClose(connections[std::size_t(i)], f);
            ++(result == MDSuccess ? written : refused);
            EXPECT_TRUE(result == MDSuccess || result == AFCNoSpaceLeftError) << result;
        });
    for (std::thread& w : writers)
        w.join();
    EXPECT_EQ(written + refused, 8);
    EXPECT_GE(written, 1);
    EXPECT_LE(written, 5);
    std::int64_t stored = 0;
    for (int i = 0; i < 8; ++i)
        stored += QFileInfo(farm.media(udid) + QStringLiteral("/f%1").arg(i)).size();
    EXPECT_LE(stored, std::int64_t(5 * kMiB));
    // What the device says is free is what the files left, pieces of refused ones included.
    AFCKeyValueRef kv = nullptr;
    ASSERT_EQ(s.AFCDeviceInfoOpen(connections[0], &kv), MDSuccess);
    EXPECT_EQ(pairs(kv)["FSFreeBytes"].toLongLong(), 5 * std::int64_t(kMiB) - stored);
    for (AFCConnectionRef c : connections)
        s.AFCConnectionClose(c);
}

// A write knows how much it grows its file without asking the host, until somebody else may
// have changed the file's size: then it asks again.
TEST_F(SimServiceTest, FreeSpaceStaysTrueWhenAFileChangesUnderAnOpenHandle)
{
    SimDeviceSpec model;
    model.capacity = 8 * kMiB;
    const QString udid = farm.addDevice(model);
    SimMobileDeviceService& s = *farm.service();
    const AFCConnectionRef writer = afc(udid);
    const AFCConnectionRef other = afc(udid);
    const QByteArray piece(kMiB, 'w');
    AFCFileRef f = 0;
    ASSERT_EQ(s.AFCFileRefOpen(writer, QStringLiteral("/g"), AFCFileModeWrite, &f), MDSuccess);
    ASSERT_EQ(s.AFCFileRefWrite(writer, f, piece.constData(), std::uint32_t(piece.size())), MDSuccess);
    ASSERT_EQ(s.AFCFileSetSize(other, QStringLiteral("/g"), 0), MDSuccess);
    // Written at 1 MiB into an emptied file: it is 2 MiB long now, not 1 MiB more than it was.
    ASSERT_EQ(s.AFCFileRefWrite(writer, f, piece.constData(), std::uint32_t(piece.size())), MDSuccess);
    s.AFCFileRefClose(writer, f);
    const std::int64_t stored = QFileInfo(farm.media(udid) + QStringLiteral("/g")).size();
    EXPECT_EQ(stored, 2 * std::int64_t(kMiB));
    AFCKeyValueRef kv = nullptr;
    ASSERT_EQ(s.AFCDeviceInfoOpen(writer, &kv), MDSuccess);
    EXPECT_EQ(pairs(kv)["FSFreeBytes"].toLongLong(), 8 * std::int64_t(kMiB) - stored);
    s.AFCConnectionClose(writer);
    s.AFCConnectionClose(other);
}

TEST_F(SimServiceTest, InjectedFaults)
{
    SimDeviceSpec model;
    model.faults.refuseSession = true;
    const QString noSession = farm.addDevice(model);
    const QString udid = farm.addPhone({{QStringLiteral("com.example.notes"), QStringLiteral("Notes")}});
    SimMobileDeviceService& s = *farm.service();

    AMDeviceRef d = s.currentRecord(noSession);
    ASSERT_EQ(s.AMDeviceConnect(d), MDSuccess);
    EXPECT_EQ(s.AMDeviceValidatePairing(d), MDSuccess);
    EXPECT_EQ(s.AMDeviceStartSession(d), AMDSessionRefusedError);

    SimFaults faults;
    faults.refusePairing = true;
    s.setFaults(udid, faults);
    d = s.currentRecord(udid);
    ASSERT_EQ(s.AMDeviceConnect(d), MDSuccess);
    EXPECT_EQ(s.AMDeviceValidatePairing(d), AMDPairingRefusedError);

    faults = {};
    faults.refuseServices = QStringList {kServiceAFC};
    faults.refuseHouseArrest = true;
    s.setFaults(udid, faults);
    d = session(udid);
    AMServiceHandle h = 0;
    EXPECT_EQ(s.AMDeviceStartService(d, kServiceAFC, &h), AMDServiceProhibitedError);
    EXPECT_EQ(
        s.AMDeviceStartHouseArrestService(d, QStringLiteral("com.example.notes"), AMHouseArrestVend::Container, &h),
        AMDServiceProhibitedError);

    // Writes fail past a count of bytes: the bytes before it land, the rest does not.
    s.setFaults(udid, {});
    const AFCConnectionRef c = afc(udid);
    faults = {};
    faults.failWriteAfterBytes = 10;
    s.setFaults(udid, faults);
    EXPECT_EQ(write(c, QStringLiteral("/a"), QByteArray(8, 'a')), MDSuccess);
    EXPECT_EQ(write(c, QStringLiteral("/b"), QByteArray(8, 'b')), AFCIOError);
    EXPECT_EQ(QFileInfo(farm.media(udid) + "/b").size(), 2);

    // Unplugged mid-write: everything on the device dies, and the marker tells the farm. A
    // record held past its device's going answers, and fails.
    s.AMDeviceRetain(d);
    faults = {};
    faults.unplugAfterBytes = 4;
    s.setFaults(udid, faults);
    EXPECT_EQ(write(c, QStringLiteral("/c"), QByteArray(8, 'c')), AFCServiceNotConnectedError);
    EXPECT_TRUE(QFile::exists(QDir(farm.path()).filePath(udid + "/.unplugged")));
    AFCKeyValueRef kv = nullptr;
    EXPECT_EQ(s.AFCDeviceInfoOpen(c, &kv), AFCServiceNotConnectedError);
    EXPECT_EQ(s.AMDeviceConnect(d), AMDDeviceDisconnectedError);
    EXPECT_EQ(s.currentRecord(udid), nullptr);
    s.AFCConnectionClose(c);

    // Plugged in again: a new record, and the device works.
    ASSERT_TRUE(setPlugged(farm.path(), udid, true, nullptr));
    const AMDeviceRef again = s.currentRecord(udid);
    ASSERT_NE(again, nullptr);
    EXPECT_NE(again, d);
    EXPECT_EQ(s.AMDeviceConnect(again), MDSuccess);
    EXPECT_GE(farm.calls(udid, "AFCFileRefWrite"), 3);
    s.AMDeviceRelease(d);
    EXPECT_EQ(s.recordCount(), 2u);
}

TEST_F(SimServiceTest, ADeviceThatStopsAnsweringHoldsEveryCallUntilItIsUnplugged)
{
    const QString udid = farm.addPhone();
    SimMobileDeviceService& s = *farm.service();
    const AFCConnectionRef writer = afc(udid);
    const AFCConnectionRef other = afc(udid);
    const AMDeviceRef record = s.currentRecord(udid);
    SimFaults faults;
    faults.stallAfterBytes = 5;
    s.setFaults(udid, faults);

    std::atomic<int> answered {0};
    MDError written = MDSuccess;
    MDError listed = MDSuccess;
    MDError connected = MDSuccess;
    std::thread w([&] {
        written = write(writer, QStringLiteral("/a"), QByteArray(8, 'a'));
        ++answered;
    });
    ASSERT_TRUE(TestFarm::waitFor([&] { return QFileInfo(farm.media(udid) + "/a").size() == 5; }, 5000, false));
    std::thread l([&] {
        AFCDirectoryRef dir = nullptr;
        listed = s.AFCDirectoryOpen(other, QStringLiteral("/"), &dir);
        ++answered;
    });
    std::thread c([&] {
        connected = s.AMDeviceConnect(record);
        ++answered;
    });
    QThread::msleep(200);
    EXPECT_EQ(answered, 0);

    // The server's going pulls every cable, and leaves the farm as it is.
    s.unplugAll();
    w.join();
    l.join();
    c.join();
    EXPECT_EQ(written, AFCServiceNotConnectedError);
    EXPECT_EQ(listed, AFCServiceNotConnectedError);
    EXPECT_EQ(connected, AMDDeviceDisconnectedError);
    EXPECT_FALSE(QFile::exists(QDir(farm.path()).filePath(udid + "/.unplugged")));
    s.AFCConnectionClose(writer);
    s.AFCConnectionClose(other);

    // Plugged in again (the farm says it is), it answers.
    const AMDeviceRef again = s.currentRecord(udid);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(s.AMDeviceConnect(again), MDSuccess);
}

TEST_F(SimServiceTest, SlowWritesTakeTheirTime)
{
    const QString udid = farm.addPhone();
    const AFCConnectionRef c = afc(udid);
    SimFaults faults;
    faults.writeDelayMsPerMiB = 40;
    farm.service()->setFaults(udid, faults);
    QElapsedTimer t;
    t.start();
    EXPECT_EQ(write(c, QStringLiteral("/slow"), QByteArray(kMiB, 's')), MDSuccess);
    EXPECT_GE(t.elapsed(), 40);
    farm.service()->AFCConnectionClose(c);
}
