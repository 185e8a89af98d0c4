// iPhoneDevice over simulated devices: opening, service changes, caches and file operations,
// checked by what reaches the device (call counts, files in the farm).

#include "support/TempTree.h"
#include "support/TestFarm.h"

#include <QFile>
#include <fcntl.h>
#include <future>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kestrap;
using namespace kestrap::sim;

namespace {

constexpr std::int64_t kMiB = 1024 * 1024;
const QString kNotes = QStringLiteral("com.example.notes");

struct Report {
    std::int64_t done;
    std::int64_t total;
    bool operator==(const Report&) const = default;
};

// Records the progress it is given; stops the copy after `allow` questions.
class RecordingDelegate : public iMobileDeviceCopyDelegate {
public:
    bool shouldContinue() override { return questions++ < allow; }
    void transferBytes(std::int64_t done, std::int64_t total) override { reports.push_back({done, total}); }

    int allow = 1 << 30;
    int questions = 0;
    std::vector<Report> reports;
};

// An upload whose progress is recorded, stopped after `allow` reports.
struct RecordedUpload {
    UploadResult send(iPhoneDevice& device, const QString& devicePath, const QString& localPath)
    {
        UploadRequest request {devicePath, localPath};
        request.progress = [this](std::int64_t done, std::int64_t total) {
            reports.push_back({done, total});
            return int(reports.size()) < allow;
        };
        return device.sendFile(request);
    }

    int allow = 1 << 30;
    std::vector<Report> reports;
};

class iPhoneDeviceTest : public ::testing::Test {
protected:
    QString readHost(const QString& path)
    {
        QFile f(path);
        f.open(QIODevice::ReadOnly);
        return QString::fromUtf8(f.readAll());
    }

    TestFarm farm;
    TempTree local;
};

}  // namespace

TEST_F(iPhoneDeviceTest, OpeningProbesAfc2ThenReopensOnTheMediaArea)
{
    const QString plain = farm.addPhone();
    const QString jailbroken = farm.addPhone({}, true);

    for (const QString& udid : {plain, jailbroken}) {
        iPhoneDevice device(farm.service());
        const AMDeviceRef record = farm.service()->currentRecord(udid);
        ASSERT_TRUE(device.createWithDevice(record, true));
        const bool isJailbroken = udid == jailbroken;
        EXPECT_EQ(device.isJailbreak(), isJailbroken);
        EXPECT_EQ(device.isAFC2Mode(), isJailbroken);
        // The probe reads no values; the reopening does, and leaves the whole file system.
        EXPECT_EQ(farm.calls(udid, "AMDeviceCopyValue"), 0);
        EXPECT_EQ(device.currentService(), isJailbroken ? kServiceAFC2 : QStringLiteral("/"));

        ASSERT_TRUE(device.connect(false));
        EXPECT_FALSE(device.isAFC2Mode());
        EXPECT_EQ(device.isJailbreak(), isJailbroken);
        EXPECT_EQ(device.currentService(), QStringLiteral("/"));
        EXPECT_EQ(farm.calls(udid, "AMDeviceConnect"), 2);
        EXPECT_EQ(farm.calls(udid, "AMDeviceStopSession"), 1);
        EXPECT_EQ(farm.calls(udid, "AMDeviceDisconnect"), 1);
        EXPECT_EQ(farm.calls(udid, "AFCConnectionClose"), 1);
        // Every value of the opening list, and the battery's level.
        EXPECT_EQ(farm.calls(udid, "AMDeviceCopyValue"), iPhoneDevice::lockdownKeys().size() + 1);
        EXPECT_EQ(farm.calls(udid, "AFCDeviceInfoOpen"), 1);
        EXPECT_EQ(device.uuid(), udid);
        EXPECT_EQ(device.capacity(), 32ull << 30);
        EXPECT_TRUE(device.isEqualToDevice(record));
    }

    SimDeviceSpec unpaired;
    unpaired.faults.refusePairing = true;
    const QString refusing = farm.addDevice(unpaired);
    iPhoneDevice device(farm.service());
    EXPECT_FALSE(device.createWithDevice(farm.service()->currentRecord(refusing), true));
    EXPECT_EQ(farm.calls(refusing, "AMDeviceStartService"), 0);
}

TEST_F(iPhoneDeviceTest, LockdownValuesAndDeviceInfoAreCached)
{
    SimDeviceSpec model;
    model.productType = QStringLiteral("iPad7,5");
    const QString udid = farm.addDevice(model);
    const auto device = farm.open(udid);
    ASSERT_TRUE(device);
    farm.service()->resetCallCounts(udid);

    EXPECT_EQ(device->deviceType(), DeviceTypePad);
    EXPECT_EQ(device->name(), QStringLiteral("Device 1"));
    EXPECT_EQ(device->osVersion(), QStringLiteral("12.4"));
    device->capacity();
    device->freeCapacity();
    EXPECT_EQ(farm.calls(udid, "AMDeviceCopyValue"), 0);
    EXPECT_EQ(farm.calls(udid, "AFCDeviceInfoOpen"), 0);
    // Not read at opening: fetched once, then kept.
    EXPECT_FALSE(device->serialNumber().isEmpty());
    device->serialNumber();
    EXPECT_EQ(farm.calls(udid, "AMDeviceCopyValue"), 1);
    // A value the device does not give is "" and asked again every time.
    EXPECT_EQ(device->phoneNumber(), QStringLiteral(""));
    EXPECT_FALSE(device->phoneNumber().isNull());
    EXPECT_EQ(farm.calls(udid, "AMDeviceCopyValue"), 3);
}

TEST_F(iPhoneDeviceTest, ChangeServiceAttemptsTwiceWithOneReset)
{
    const QString udid = farm.addPhone({{kNotes, QStringLiteral("Notes"), true}});
    const auto device = farm.open(udid);
    ASSERT_TRUE(device);
    farm.service()->resetCallCounts(udid);

    ASSERT_TRUE(device->changeService(kNotes));
    ASSERT_TRUE(device->changeService(kNotes));
    EXPECT_EQ(farm.calls(udid, "AMDeviceStartHouseArrestService"), 1);
    EXPECT_EQ(farm.calls(udid, "AMDeviceConnect"), 0);

    ASSERT_TRUE(device->uploadFile(QStringLiteral("Documents/n.txt"), local.file(QStringLiteral("n.txt"), 3)));
    EXPECT_TRUE(QFile::exists(farm.container(udid, kNotes) + QStringLiteral("/Documents/n.txt")));

    EXPECT_FALSE(device->changeService(QStringLiteral("com.example.absent")));
    EXPECT_EQ(farm.calls(udid, "AMDeviceStartHouseArrestService"), 3);
    EXPECT_EQ(farm.calls(udid, "AMDeviceDisconnect"), 1);
    EXPECT_EQ(farm.calls(udid, "AMDeviceConnect"), 1);
    EXPECT_FALSE(device->hasConnection());
    EXPECT_EQ(device->currentService(), QStringLiteral("com.example.absent"));
    EXPECT_FALSE(device->createDirectory(QStringLiteral("x")));

    farm.service()->resetCallCounts(udid);
    EXPECT_FALSE(device->changeService(QString()));
    EXPECT_EQ(farm.calls(udid, "AMDeviceDisconnect"), 1);
    EXPECT_EQ(farm.calls(udid, "AMDeviceStartService") + farm.calls(udid, "AMDeviceStartHouseArrestService"), 0);

    // Back to the media area; a device that refuses the service fails after its reset.
    ASSERT_TRUE(device->changeService(QStringLiteral("/")));
    EXPECT_EQ(device->currentService(), QStringLiteral("/"));
    EXPECT_FALSE(device->changeService(kServiceAFC2));
    SimFaults faults;
    faults.refuseHouseArrest = true;
    farm.service()->setFaults(udid, faults);
    farm.service()->resetCallCounts(udid);
    EXPECT_FALSE(device->changeService(kNotes));
    EXPECT_EQ(farm.calls(udid, "AMDeviceStartHouseArrestService"), 2);
    EXPECT_EQ(farm.calls(udid, "AMDeviceStartSession"), 1);
}

TEST_F(iPhoneDeviceTest, ReopeningLeavesNoStaleAppRoot)
{
    const QString udid = farm.addPhone({{kNotes, QStringLiteral("Notes"), true}});
    const auto device = farm.open(udid);
    ASSERT_TRUE(device->changeService(kNotes));
    ASSERT_TRUE(device->connect(false));
    // The connection is on the media area again, and says so: changing back to the app
    // really opens its container instead of answering yes on the wrong root.
    EXPECT_EQ(device->currentService(), QStringLiteral("/"));
    ASSERT_TRUE(device->changeService(kNotes));
    EXPECT_TRUE(device->itemExistsAtPath(QStringLiteral("Documents")));
    EXPECT_EQ(farm.calls(udid, "AMDeviceStartHouseArrestService"), 2);
}

TEST_F(iPhoneDeviceTest, ItemInfoCache)
{
    const QString udid = farm.addPhone({{kNotes, QStringLiteral("Notes")}});
    const auto device = farm.open(udid);
    ASSERT_TRUE(device->uploadFile(QStringLiteral("f"), local.file(QStringLiteral("small"), 3)));
    EXPECT_EQ(device->getSizeOfItemAtPath(QStringLiteral("f")), 3u);

    // Rewritten behind the cache: the old size stands until refresh. An upload of its own
    // is no change behind its back.
    writeFileBytes(farm.media(udid) + QStringLiteral("/f"), QByteArray(5, 'x'));
    EXPECT_EQ(device->getSizeOfItemAtPath(QStringLiteral("/f/")), 3u);
    device->refresh();
    EXPECT_EQ(device->getSizeOfItemAtPath(QStringLiteral("f")), 5u);
    ASSERT_TRUE(device->uploadFile(QStringLiteral("/f"), local.file(QStringLiteral("large"), 7)));
    EXPECT_EQ(device->getSizeOfItemAtPath(QStringLiteral("f")), 7u);

    // A path cached under one root is another item under the next.
    ASSERT_TRUE(device->changeService(kNotes));
    EXPECT_EQ(device->getSizeOfItemAtPath(QStringLiteral("f")), 0u);

    // Unreadable items are not cached; a full cache stays at 50 entries.
    ASSERT_TRUE(device->changeService(QStringLiteral("/")));
    for (int i = 0; i <= 50; ++i)
        QDir().mkpath(farm.media(udid) + QStringLiteral("/d%1").arg(i));
    farm.service()->resetCallCounts(udid);
    device->itemInfoAtPath(QStringLiteral("/missing"));
    device->itemInfoAtPath(QStringLiteral("/missing"));
    EXPECT_EQ(farm.calls(udid, "AFCFileInfoOpen"), 2);
    EXPECT_EQ(device->itemInfoCacheSize(), 0u);
    for (int pass = 0; pass < 2; ++pass)
        for (int i = 0; i < 50; ++i)
            EXPECT_TRUE(device->isDirectoryAtPath(QStringLiteral("d%1").arg(i)));
    EXPECT_EQ(farm.calls(udid, "AFCFileInfoOpen"), 52);
    EXPECT_EQ(device->itemInfoCacheSize(), 50u);
    device->isDirectoryAtPath(QStringLiteral("d50"));
    device->isDirectoryAtPath(QStringLiteral("d50"));
    EXPECT_EQ(farm.calls(udid, "AFCFileInfoOpen"), 53);
    EXPECT_EQ(device->itemInfoCacheSize(), 50u);
    // "." and ".." are folders without asking.
    farm.service()->resetCallCounts(udid);
    EXPECT_TRUE(device->isDirectoryAtPath(QStringLiteral("nowhere/..")));
    EXPECT_EQ(farm.calls(udid, "AFCFileInfoOpen"), 0);
}

TEST_F(iPhoneDeviceTest, UploadChunksAndProgress)
{
    const QString udid = farm.addPhone();
    const auto device = farm.open(udid);

    // The device is written at most 2 MiB at a time, and progress follows every write.
    const std::vector<std::int64_t> sizes {0, 5 * kMiB, 12 * kMiB + 7};
    for (const std::int64_t size : sizes)
        local.file(QStringLiteral("src%1").arg(size), size);
    // The folder does not exist: the upload fails and leaves no file.
    RecordedUpload upload;
    EXPECT_FALSE(upload.send(*device, QStringLiteral("up/f0"), local.path(QStringLiteral("src0"))).ok());
    EXPECT_FALSE(QFile::exists(farm.media(udid) + QStringLiteral("/up/f0")));
    ASSERT_TRUE(device->createDirectory(QStringLiteral("up")));
    for (const std::int64_t size : sizes) {
        SCOPED_TRACE(size);
        std::vector<Report> expected;
        for (std::int64_t done = 0; done < size;) {
            done = std::min(done + 2 * kMiB, size);
            expected.push_back({done, size});
        }
        upload.reports.clear();
        farm.service()->resetCallCounts(udid);
        ASSERT_TRUE(
            upload.send(*device, QStringLiteral("up/f%1").arg(size), local.path(QStringLiteral("src%1").arg(size)))
                .ok());
        EXPECT_EQ(farm.calls(udid, "AFCFileRefWrite"), int(expected.size()));
        EXPECT_EQ(upload.reports, expected);
        EXPECT_EQ(QFileInfo(farm.media(udid) + QStringLiteral("/up/f%1").arg(size)).size(), size);
        EXPECT_EQ(farm.calls(udid, "AFCFileRefClose"), 1);
    }
}

TEST_F(iPhoneDeviceTest, FailedUploadsLeaveTheOldFileWholeAndNoTemporaryFile)
{
    SimDeviceSpec model;
    model.capacity = 16 * kMiB;
    const QString udid = farm.addDevice(model);
    const auto device = farm.open(udid);
    const QString target = farm.media(udid) + QStringLiteral("/big");
    const QByteArray old("the old file");
    const auto oldFileStands = [&] {
        EXPECT_EQ(readFileBytes(target), old);
        EXPECT_EQ(QDir(farm.media(udid)).entryList(QDir::Files | QDir::Hidden), QStringList {"big"});
    };
    writeFileBytes(target, old);

    // Stopped after the first write: a partial file is no copy, and replaces nothing.
    RecordedUpload stopped;
    stopped.allow = 1;
    UploadResult result = stopped.send(*device, QStringLiteral("big"), local.file(QStringLiteral("big"), 12 * kMiB));
    EXPECT_EQ(stopped.reports, (std::vector<Report> {{2 * kMiB, 12 * kMiB}}));
    EXPECT_EQ(result.error.text, "the copy was stopped");
    EXPECT_EQ(result.error.domain, ErrorDomain::Job);
    oldFileStands();

    // A missing local file.
    result = device->sendFile({QStringLiteral("big"), local.path(QStringLiteral("absent"))});
    EXPECT_TRUE(result.error.text.startsWith("the local file cannot be read"));
    EXPECT_EQ(result.error.domain, ErrorDomain::LocalFile);
    EXPECT_EQ(result.error.code, ENOENT);
    oldFileStands();
    // A folder where a file was meant: its name says why.
    QDir().mkpath(local.path(QStringLiteral("folder")));
    result = device->sendFile({QStringLiteral("big"), local.path(QStringLiteral("folder"))});
    EXPECT_EQ(result.error.text, "the local file cannot be read: " + qt_error_string(EISDIR));
    oldFileStands();

    // A device that runs out of space mid-copy, leaving no file handle behind.
    farm.service()->resetCallCounts(udid);
    result = device->sendFile({QStringLiteral("big"), local.file(QStringLiteral("huge"), 20 * kMiB)});
    EXPECT_EQ(farm.calls(udid, "AFCFileRefOpen"), farm.calls(udid, "AFCFileRefClose"));
    EXPECT_EQ(result.error.domain, ErrorDomain::AFC);
    EXPECT_EQ(result.error.code, AFCNoSpaceLeftError);
    EXPECT_EQ(result.error.text, "no space left on the device");
    oldFileStands();

    // A write that fails inside the file's last, partial piece: the file is not renamed into
    // place short.
    SimFaults lastPiece;
    lastPiece.failWriteAfterBytes = 4 * kMiB + 100;
    farm.service()->setFaults(udid, lastPiece);
    result = device->sendFile({QStringLiteral("big"), local.file(QStringLiteral("odd"), 4 * kMiB + 1000)});
    EXPECT_EQ(result.error.code, AFCIOError);
    oldFileStands();

    // A pulled cable: the temporary file cannot be removed, the old file still stands.
    SimFaults faults;
    faults.unplugAfterBytes = 6 * kMiB;
    farm.service()->setFaults(udid, faults);
    result = device->sendFile({QStringLiteral("big"), local.path(QStringLiteral("big"))});
    EXPECT_EQ(result.error.text, "the device was disconnected");
    EXPECT_TRUE(result.error.deviceGone);
    EXPECT_EQ(readFileBytes(target), old);
}

TEST_F(iPhoneDeviceTest, AGoneDeviceLetsGoOfItsConnectionOnceTheCallUsingItEnds)
{
    const QString udid = farm.addPhone();
    const auto device = farm.open(udid);
    // Told from another thread in the middle of an upload, which holds the connection: the
    // telling does not wait for the upload.
    bool told = false;
    bool toldWithoutWaiting = false;
    UploadRequest request {QStringLiteral("f"), local.file(QStringLiteral("f"), 12 * kMiB)};
    request.progress = [&](std::int64_t, std::int64_t) {
        if (!told) {
            told = true;
            auto telling = std::async(std::launch::async, [&] { device->deviceGone(); });
            toldWithoutWaiting = telling.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
        }
        return true;
    };
    const UploadResult cut = device->sendFile(request);
    EXPECT_TRUE(toldWithoutWaiting);
    EXPECT_TRUE(cut.error.deviceGone);
    EXPECT_FALSE(device->hasConnection());
    const UploadResult later = device->sendFile({QStringLiteral("later"), local.file(QStringLiteral("later"), 10)});
    EXPECT_EQ(later.error.text, "the device was disconnected");
    EXPECT_TRUE(later.error.deviceGone);

    // Told while nobody uses it: closed at once.
    const auto idle = farm.open(udid);
    ASSERT_TRUE(idle->hasConnection());
    idle->deviceGone();
    EXPECT_FALSE(idle->hasConnection());
}

TEST_F(iPhoneDeviceTest, DownloadAndReads)
{
    const QString udid = farm.addPhone();
    const auto device = farm.open(udid);
    QByteArray content(11 * kMiB, 0);
    for (qsizetype i = 0; i < content.size(); ++i)
        content[i] = char(i * 7 % 251);
    QFile f(farm.media(udid) + QStringLiteral("/data.bin"));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(content);
    f.close();

    RecordingDelegate delegate;
    device->setCopyDelegate(&delegate);
    const QString target = local.path(QStringLiteral("deep/er/data.bin"));
    ASSERT_TRUE(device->downloadFile(QStringLiteral("/data.bin"), target));
    QFile got(target);
    ASSERT_TRUE(got.open(QIODevice::ReadOnly));
    EXPECT_EQ(got.readAll(), content);
    const std::int64_t total = content.size();
    EXPECT_EQ(delegate.reports,
        (std::vector<Report> {{5 * kMiB, total}, {10 * kMiB, total}, {total, total}, {total, total}}));

    delegate.allow = 1;
    delegate.questions = 0;
    // A stopped download leaves the local file as it was.
    writeFileBytes(local.path(QStringLiteral("part.bin")), "before");
    EXPECT_FALSE(device->downloadFile(QStringLiteral("data.bin"), local.path(QStringLiteral("part.bin"))));
    EXPECT_EQ(readFileBytes(local.path(QStringLiteral("part.bin"))), "before");
    EXPECT_EQ(QDir(local.path()).entryList(QDir::Files | QDir::Hidden).filter(QStringLiteral("part")),
        QStringList {"part.bin"});
    EXPECT_FALSE(device->downloadFile(QStringLiteral("absent"), local.path(QStringLiteral("absent"))));

    EXPECT_EQ(device->contentsOfFileAtPath(QStringLiteral("data.bin")), content);
    DeviceError why;
    EXPECT_FALSE(device->contentsOfFileAtPath(QStringLiteral("absent"), &why).has_value());
    EXPECT_EQ(why.domain, ErrorDomain::AFC);
    // A preview reads no more than its limit: a file one byte larger is refused, by name.
    {
        QFile big(QDir(farm.media(udid)).filePath(QStringLiteral("big.mov")));
        ASSERT_TRUE(big.open(QIODevice::WriteOnly) && big.resize(kPreviewLimit));
    }
    EXPECT_EQ(device->contentsOfFileAtPath(QStringLiteral("big.mov"), &why)->size(), kPreviewLimit);
    ASSERT_TRUE(QFile(QDir(farm.media(udid)).filePath(QStringLiteral("big.mov"))).resize(kPreviewLimit + 1));
    EXPECT_FALSE(device->contentsOfFileAtPath(QStringLiteral("big.mov"), &why).has_value());
    EXPECT_EQ(why.text, "big.mov is larger than 16 MiB, the most a preview reads.");
    EXPECT_EQ(device->readFileAtPath(QStringLiteral("data.bin"), 3, 4), content.mid(3, 4));
    EXPECT_EQ(device->readFileAtPath(QStringLiteral("data.bin"), 6 * kMiB, 6 * kMiB), content.mid(6 * kMiB));
    EXPECT_EQ(device->readFileAtPath(QStringLiteral("data.bin"), 1, 0), QByteArray());
    // Every file opened is closed; the two absent files were each tried read-only, then read-write.
    EXPECT_EQ(farm.calls(udid, "AFCFileRefOpen"), farm.calls(udid, "AFCFileRefClose") + 4);
}

TEST_F(iPhoneDeviceTest, ListingRenamingRemovingAndDates)
{
    const QString udid = farm.addPhone();
    const auto device = farm.open(udid);
    ASSERT_TRUE(device->createDirectory(QStringLiteral("box/sub")));
    ASSERT_TRUE(device->uploadFile(QStringLiteral("box/b.txt"), local.file(QStringLiteral("b"), 2)));
    ASSERT_TRUE(device->uploadFile(QStringLiteral("box/a.txt"), local.file(QStringLiteral("a"), 2)));

    const auto names = [](const std::vector<iMobileFileSystemNode>& nodes) {
        QStringList all;
        for (const auto& n : nodes)
            all << n.name() + (n.isDirectory() ? QStringLiteral("/") : QString());
        return all;
    };
    EXPECT_EQ(names(device->contentsOfDirectory(QStringLiteral("box"), PathTypeAll)),
        (QStringList {"./", "../", "sub/", "a.txt", "b.txt"}));
    EXPECT_EQ(
        names(device->contentsOfDirectory(QStringLiteral("//box/"), PathTypeFiles)), (QStringList {"a.txt", "b.txt"}));
    EXPECT_EQ(names(device->contentsOfDirectory(QStringLiteral("box"), PathTypeFolders)),
        (QStringList {"./", "../", "sub/"}));
    EXPECT_TRUE(device->contentsOfDirectory(QStringLiteral("box"), 300).empty());
    EXPECT_TRUE(device->contentsOfDirectory(QStringLiteral("nothing"), PathTypeAll).empty());
    EXPECT_EQ(device->contentsOfDirectory(QStringLiteral("box"), PathTypeFiles).front().fullpath(),
        QStringLiteral("/box/a.txt"));

    // Renaming stays in the folder; a "name" that is a path is refused.
    ASSERT_TRUE(device->renameItemAtPath(QStringLiteral("box/a.txt"), QStringLiteral("c.txt")));
    EXPECT_TRUE(QFile::exists(farm.media(udid) + QStringLiteral("/box/c.txt")));
    EXPECT_FALSE(device->renameItemAtPath(QStringLiteral("box/c.txt"), QStringLiteral("../c.txt")));
    EXPECT_FALSE(device->renameItemAtPath(QStringLiteral("box/c.txt"), QStringLiteral("sub/c.txt")));
    EXPECT_FALSE(device->renameItemAtPath(QStringLiteral("box/c.txt"), QStringLiteral("..")));
    EXPECT_TRUE(QFile::exists(farm.media(udid) + QStringLiteral("/box/c.txt")));

    bool isDir = false;
    EXPECT_TRUE(device->itemExistsAtPath(QStringLiteral("box/sub"), &isDir));
    EXPECT_TRUE(isDir);
    EXPECT_TRUE(device->itemExistsAtPath(QStringLiteral("box/c.txt"), &isDir));
    EXPECT_FALSE(isDir);
    EXPECT_FALSE(device->createDirectory(QStringLiteral("box/c.txt")));
    EXPECT_FALSE(device->deleteItemAtPath(QStringLiteral("box")));
    EXPECT_TRUE(device->deleteItemAtPath(QStringLiteral("box/c.txt")));
    EXPECT_FALSE(device->itemExistsAtPath(QStringLiteral("box/c.txt"), &isDir));

    // Nanoseconds, whole seconds kept; the current time when the device gives none.
    const QString host = farm.media(udid) + QStringLiteral("/box/b.txt");
    ASSERT_EQ(::truncate(QFile::encodeName(host).constData(), 2), 0);
    struct timespec times[2] = {{1, 999999999}, {1, 999999999}};
    ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(host).constData(), times, 0), 0);
    device->refresh();
    EXPECT_EQ(device->modificationDateOfItemAtPath(QStringLiteral("box/b.txt")).toMSecsSinceEpoch(), 1000);
    const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
    EXPECT_GE(device->creationDateOfItemAtPath(QStringLiteral("gone")), before);
    EXPECT_FALSE(device->isLinkAtPath(QStringLiteral("box/b.txt")));
    EXPECT_EQ(device->fullPath(QStringLiteral("a//b/")), QStringLiteral("/a/b"));
    EXPECT_EQ(device->fullPath(device->fullPath(QStringLiteral("a//b/"))), QStringLiteral("/a/b"));
    EXPECT_EQ(device->fullPath(QString()), QStringLiteral("/"));
}

TEST_F(iPhoneDeviceTest, AppList)
{
    const QString udid = farm.addPhone({{kNotes, QStringLiteral("Notes")}, {QStringLiteral("com.example.maps"), {}}});
    // An app without a display name, as many real ones are.
    const QString folder = QDir(farm.path()).filePath(udid);
    auto plist = *readDevicePlist(folder);
    QVariantMap apps = plist[kKeyApplications].toMap();
    QVariantMap maps = apps[QStringLiteral("com.example.maps")].toMap();
    maps.remove(QStringLiteral("CFBundleDisplayName"));
    apps[QStringLiteral("com.example.maps")] = maps;
    apps[QStringLiteral("com.apple.mobilesafari")] = QVariantMap {{"ApplicationType", "System"}};
    plist[kKeyApplications] = apps;
    ASSERT_TRUE(writeDevicePlist(folder, plist));

    const auto device = farm.open(udid);
    farm.service()->resetCallCounts(udid);
    const auto bundles = device->appBundles();
    ASSERT_EQ(bundles.size(), 2u);
    EXPECT_EQ(bundles[0].ID, QStringLiteral("com.example.maps"));
    EXPECT_TRUE(bundles[0].name.isNull());
    EXPECT_EQ(bundles[1].ID, kNotes);
    EXPECT_EQ(bundles[1].name, QStringLiteral("Notes"));
    EXPECT_TRUE(bundles[1].iconPath.endsWith(QStringLiteral(".app/Icon.png")));
    device->appBundles();
    EXPECT_EQ(farm.calls(udid, "AMDeviceLookupApplications"), 1);

    // A failed lookup reopens the device and asks once more.
    SimFaults faults;
    faults.refuseAppLookups = 1;
    farm.service()->setFaults(udid, faults);
    farm.service()->resetCallCounts(udid);
    EXPECT_EQ(device->GetAllAppBundlesOnDevice(device->phoneDevice()).size(), 3);
    EXPECT_EQ(farm.calls(udid, "AMDeviceLookupApplications"), 2);
    EXPECT_EQ(farm.calls(udid, "AMDeviceConnect"), 1);
    faults.refuseAppLookups = 2;
    farm.service()->setFaults(udid, faults);
    EXPECT_TRUE(device->GetAllAppBundlesOnDevice(device->phoneDevice()).isEmpty());
}

// --- app kinds: how an app's files are reached -------------------------------------------

TEST_F(iPhoneDeviceTest, AnAppIsOpenedByItsContainerElseByItsDocuments)
{
    const QString store = QStringLiteral("com.example.store");
    const QString secretive = QStringLiteral("com.example.private");
    const QString udid = farm.addPhone({{kNotes, {}, true}, {store, {}}, {secretive, {}, false, false}});
    const auto device = farm.open(udid);
    ASSERT_TRUE(device);
    farm.service()->resetCallCounts(udid);
    DeviceError why;

    const auto whole = device->openConnection(kNotes, &why);
    ASSERT_TRUE(whole);
    EXPECT_FALSE(whole->servesDocumentsOnly());
    EXPECT_TRUE(whole->createDirectory(QStringLiteral("/Library/Caches")));
    EXPECT_EQ(farm.calls(udid, "AMDeviceStartHouseArrestService"), 1);

    // Refused the container, given the documents; its further connections ask for those only.
    const auto first = device->openConnection(store, &why);
    ASSERT_TRUE(first) << qPrintable(why.text);
    EXPECT_TRUE(first->servesDocumentsOnly());
    EXPECT_EQ(farm.calls(udid, "AMDeviceStartHouseArrestService"), 3);
    const auto second = device->openConnection(store, &why);
    ASSERT_TRUE(second);
    EXPECT_TRUE(second->servesDocumentsOnly());
    EXPECT_EQ(farm.calls(udid, "AMDeviceStartHouseArrestService"), 4);
    EXPECT_TRUE(second->createDirectory(QStringLiteral("/Documents/In")));
    EXPECT_FALSE(second->createDirectory(QStringLiteral("/Inbox")));
    EXPECT_TRUE(QFileInfo(farm.container(udid, store) + QStringLiteral("/Documents/In")).isDir());
    EXPECT_FALSE(QFileInfo::exists(farm.container(udid, store) + QStringLiteral("/Inbox")));

    // The device object's own root says so too, and forgets it on another root.
    ASSERT_TRUE(device->changeService(store));
    EXPECT_TRUE(device->servesDocumentsOnly());
    ASSERT_TRUE(device->changeService(QStringLiteral("/")));
    EXPECT_FALSE(device->servesDocumentsOnly());

    // Neither given: the app shares nothing. Not there at all: not installed.
    EXPECT_FALSE(device->openConnection(secretive, &why));
    EXPECT_EQ(why.domain, ErrorDomain::HouseArrest);
    EXPECT_EQ(why.code, AMDVendRefusedError);
    EXPECT_EQ(why.text, QStringLiteral("the app does not share its files with a computer"));
    EXPECT_FALSE(device->openConnection(QStringLiteral("com.example.absent"), &why));
    EXPECT_EQ(why.domain, ErrorDomain::HouseArrest);
    EXPECT_EQ(why.code, AMDApplicationNotInstalledError);
    EXPECT_EQ(why.text, QStringLiteral("app not installed"));
}
