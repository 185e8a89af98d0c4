// What an upload promises, whatever goes wrong on the way: the device holds the old item or
// the whole new file, never a part, a mix or bytes other than were sent.

#include "support/TempTree.h"
#include "support/TestFarm.h"

#include <QDateTime>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>

using namespace kestrap;
using namespace kestrap::sim;

namespace {

constexpr std::int64_t kMiB = 1024 * 1024;

class UploadGuarantees : public ::testing::Test {
protected:
    void SetUp() override
    {
        udid = farm.addPhone();
        device = farm.open(udid);
        ASSERT_TRUE(device);
    }

    QString onDevice(const QString& name) const { return farm.media(udid) + u'/' + name; }
    QStringList deviceFiles() const
    {
        return QDir(farm.media(udid)).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
    }
    // A local file whose modification time lies well in the past, as a prepared job's files do.
    QString oldLocalFile(const QString& name, const QByteArray& bytes)
    {
        const QString path = writeFileBytes(local.path(name), bytes);
        setTime(path, QDateTime(QDate(2020, 5, 1), QTime(12, 0, 0), Qt::UTC).toSecsSinceEpoch());
        return path;
    }
    static void setTime(const QString& path, std::int64_t seconds)
    {
        const timespec times[2] = {{seconds, 0}, {seconds, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0), 0);
    }
    static std::int64_t timeOf(const QString& path) { return QFileInfo(path).lastModified().toSecsSinceEpoch(); }

    TestFarm farm;
    TempTree local;
    QString udid;
    std::shared_ptr<iPhoneDevice> device;
};

}  // namespace

TEST_F(UploadGuarantees, AFileChangedWhileSentIsSentAgainOnceThenFails)
{
    const QString source = oldLocalFile(QStringLiteral("log.txt"), QByteArray(5 * kMiB, 'a'));
    writeFileBytes(onDevice(QStringLiteral("log.txt")), "old");

    // Rewritten in place during the first attempt: the device gets the new content whole.
    int rewrites = 0;
    UploadRequest request {QStringLiteral("log.txt"), source};
    request.progress = [&](std::int64_t done, std::int64_t) {
        if (done == 2 * kMiB && rewrites++ == 0)
            writeFileBytes(source, QByteArray(5 * kMiB, 'b'));
        return true;
    };
    ASSERT_TRUE(device->sendFile(request).ok());
    EXPECT_EQ(readFileBytes(onDevice(QStringLiteral("log.txt"))), QByteArray(5 * kMiB, 'b'));

    // Changing during every attempt (growing, as a log does): it fails, and the device keeps
    // what it had.
    request.progress = [&](std::int64_t done, std::int64_t) {
        if (done == 2 * kMiB) {
            QFile f(source);
            f.open(QIODevice::Append);
            f.write("more");
        }
        return true;
    };
    const UploadResult result = device->sendFile(request);
    EXPECT_EQ(result.error.text, "the local file changed while it was sent");
    EXPECT_EQ(result.error.domain, ErrorDomain::LocalFile);
    EXPECT_EQ(readFileBytes(onDevice(QStringLiteral("log.txt"))), QByteArray(5 * kMiB, 'b'));
    EXPECT_EQ(deviceFiles(), QStringList {"log.txt"});
}

TEST_F(UploadGuarantees, ADeviceThatRefusesToRenameOverAFileKeepsOneWholeCopy)
{
    const QString source = oldLocalFile(QStringLiteral("a.bin"), "new content");
    writeFileBytes(onDevice(QStringLiteral("a.bin")), "old content");

    // The rename over the file fails: the old one goes aside, the new one in, the old one away.
    SimFaults once;
    once.failRenames = 1;
    farm.service()->setFaults(udid, once);
    ASSERT_TRUE(device->sendFile({QStringLiteral("a.bin"), source}).ok());
    EXPECT_EQ(readFileBytes(onDevice(QStringLiteral("a.bin"))), "new content");
    EXPECT_EQ(deviceFiles(), QStringList {"a.bin"});

    // Moving the old one aside fails too: nothing moved, the temporary gone, the error said.
    writeFileBytes(onDevice(QStringLiteral("a.bin")), "old content");
    SimFaults always;
    always.failRenames = 1000;
    farm.service()->setFaults(udid, always);
    const UploadResult result = device->sendFile({QStringLiteral("a.bin"), source});
    EXPECT_EQ(result.error.domain, ErrorDomain::AFC);
    EXPECT_EQ(result.error.code, AFCIOError);
    EXPECT_EQ(readFileBytes(onDevice(QStringLiteral("a.bin"))), "old content");
    EXPECT_EQ(deviceFiles(), QStringList {"a.bin"});

    // A folder in the way is never moved aside.
    QDir().mkpath(onDevice(QStringLiteral("box/inside")));
    farm.service()->setFaults(udid, SimFaults {});
    EXPECT_FALSE(device->sendFile({QStringLiteral("box"), source}).ok());
    EXPECT_TRUE(QFileInfo(onDevice(QStringLiteral("box/inside"))).isDir());
}

TEST_F(UploadGuarantees, VerificationCatchesBytesTheDeviceStoredOtherwise)
{
    const QString source = oldLocalFile(QStringLiteral("a.bin"), QByteArray(3 * kMiB, 'v'));
    writeFileBytes(onDevice(QStringLiteral("a.bin")), "old content");
    SimFaults corrupt;
    corrupt.corruptWriteAtByte = 2 * kMiB + 5;  // in the second write
    farm.service()->setFaults(udid, corrupt);
    UploadRequest request {QStringLiteral("a.bin"), source};
    request.verify = true;
    const UploadResult result = device->sendFile(request);
    EXPECT_EQ(result.error.text, "verification failed: the device holds other bytes than were sent");
    EXPECT_EQ(readFileBytes(onDevice(QStringLiteral("a.bin"))), "old content");
    EXPECT_EQ(deviceFiles(), QStringList {"a.bin"});

    // Without verification the same fault goes unseen: what the setting buys.
    farm.service()->setFaults(udid, corrupt);
    request.verify = false;
    ASSERT_TRUE(device->sendFile(request).ok());
    EXPECT_NE(readFileBytes(onDevice(QStringLiteral("a.bin"))), readFileBytes(source));
    // A sound device passes.
    farm.service()->setFaults(udid, SimFaults {});
    request.verify = true;
    ASSERT_TRUE(device->sendFile(request).ok());
    EXPECT_EQ(readFileBytes(onDevice(QStringLiteral("a.bin"))), readFileBytes(source));
}

TEST_F(UploadGuarantees, AnUnchangedFileIsSkippedByItsSizeAndTime)
{
    const QString source = oldLocalFile(QStringLiteral("a.bin"), "same bytes");
    UploadRequest request {QStringLiteral("a.bin"), source};
    request.skipUnchanged = true;
    UploadResult result = device->sendFile(request);
    ASSERT_TRUE(result.ok());
    EXPECT_FALSE(result.skipped);
    // The device file takes the local file's time.
    EXPECT_EQ(timeOf(onDevice(QStringLiteral("a.bin"))), timeOf(source));

    farm.service()->resetCallCounts(udid);
    result = device->sendFile(request);
    EXPECT_TRUE(result.ok());
    EXPECT_TRUE(result.skipped);
    EXPECT_EQ(farm.calls(udid, "AFCFileRefOpen"), 0);

    // Another time, or another size, is another file; and without the setting, every file goes.
    setTime(source, timeOf(source) + 5);
    EXPECT_FALSE(device->sendFile(request).skipped);
    writeFileBytes(source, "other bytes, longer");
    setTime(source, timeOf(onDevice(QStringLiteral("a.bin"))));
    EXPECT_FALSE(device->sendFile(request).skipped);
    EXPECT_EQ(readFileBytes(onDevice(QStringLiteral("a.bin"))), "other bytes, longer");
    request.skipUnchanged = false;
    EXPECT_FALSE(device->sendFile(request).skipped);
}

TEST_F(UploadGuarantees, TemporariesAreUniqueShortAndCleanedUpOnlyWhenAbandoned)
{
    const QString a = iPhoneDevice::temporaryUploadPath(QStringLiteral("/Documents/a.bin"));
    EXPECT_TRUE(a.startsWith("/Documents/.a.bin."));
    EXPECT_TRUE(a.endsWith(".kestrap-part"));
    EXPECT_NE(a, iPhoneDevice::temporaryUploadPath(QStringLiteral("/Documents/a.bin")));
    for (const QString& name :
        {QString(250, u'n'), QString(200, QChar(0xe9)), QStringLiteral("\U0001F600").repeated(100)}) {
        const QString t = QFileInfo(iPhoneDevice::temporaryUploadPath(QStringLiteral("/D/") + name)).fileName();
        EXPECT_LE(t.toUtf8().size(), 255);
        EXPECT_TRUE(t.endsWith(".kestrap-part"));
        EXPECT_EQ(QString::fromUtf8(t.toUtf8()), t);  // never cut inside a character
    }

    // Two writers of one file, on two connections: each whole file lands, neither removes
    // the other's temporary.
    const auto other = farm.open(udid);
    const QString first = oldLocalFile(QStringLiteral("1"), QByteArray(6 * kMiB, '1'));
    const QString second = oldLocalFile(QStringLiteral("2"), QByteArray(6 * kMiB, '2'));
    bool okFirst = false;
    bool okSecond = false;
    std::thread t1([&] { okFirst = device->sendFile({QStringLiteral("shared.bin"), first}).ok(); });
    std::thread t2([&] { okSecond = other->sendFile({QStringLiteral("shared.bin"), second}).ok(); });
    t1.join();
    t2.join();
    EXPECT_TRUE(okFirst && okSecond);
    const QByteArray landed = readFileBytes(onDevice(QStringLiteral("shared.bin")));
    EXPECT_TRUE(landed == readFileBytes(first) || landed == readFileBytes(second));
    EXPECT_EQ(deviceFiles(), QStringList {"shared.bin"});

    // Left by a killed writer an hour ago: removed. Written just now, or not ours: kept.
    const QString stale = writeFileBytes(onDevice(QStringLiteral(".x.bin.abc123.kestrap-part")), "x");
    setTime(stale, QDateTime::currentSecsSinceEpoch() - 2 * 3600);
    writeFileBytes(onDevice(QStringLiteral(".y.bin.def456.kestrap-part")), "y");
    const QString mine = writeFileBytes(onDevice(QStringLiteral(".notes.kestrap-partial")), "z");
    setTime(mine, QDateTime::currentSecsSinceEpoch() - 2 * 3600);
    device->removeStaleTemporaries(QStringLiteral("/"), std::chrono::hours(1));
    EXPECT_EQ(deviceFiles(), (QStringList {".notes.kestrap-partial", ".y.bin.def456.kestrap-part", "shared.bin"}));
}
