#include "job/JobDocument.h"
#include "job/SendPlan.h"
#include "support/StubDevice.h"
#include "support/TempTree.h"
#include "util/Crc32.h"
#include "util/Paths.h"
#include "util/Plist.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QtEndian>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/resource.h>

using namespace kestrap;

namespace {

// A job file holding any payload, with a correct checksum.
QByteArray withCrc(const QByteArray& payload)
{
    QByteArray out(4, '\0');
    qToLittleEndian<quint32>(crc32(payload), out.data());
    return out + payload;
}

class JobFile : public ::testing::Test {
protected:
    TempTree tree;
    QString jcf;

    void SetUp() override { jcf = tree.path(QStringLiteral("job.jcf")); }

    // A job with every setting away from its default.
    void fill(JobDocument& job)
    {
        job.setAppId(QStringLiteral("com.example.reader"));
        job.setFolder(QStringLiteral("Documents/In"));
        job.setAllowedPattern(QStringLiteral("pdf;epub"));
        job.setIgnoredPattern(QStringLiteral("^tmp"));
        job.setIsIgnoredPatternRegex(true);
        job.setRecursiveDepth(5);
        job.setIsRecursive(false);
        job.addFilePaths({tree.folder(QStringLiteral("Books"))});
        job.addFilePaths({tree.file(QStringLiteral("cover.pdf"))});
        DeviceRow row;
        row.device = std::make_shared<StubDevice>(QStringLiteral("U1"), QStringLiteral("Pad"), DeviceTypePad);
        row.uid = QStringLiteral("U1");
        row.name = QStringLiteral("Pad");
        row.status = DeviceStatusExcluded;
        job.excludeDevice(row);
    }

    // A good file of the filled job.
    QByteArray goodFile()
    {
        JobDocument job;
        fill(job);
        EXPECT_TRUE(job.writeToFile(jcf));
        return readFileBytes(jcf);
    }

    // Reads bytes into a job that had settings of its own; on failure the settings must stand.
    JobResult readsInto(const QByteArray& bytes, JobDocument& job, bool noChecksum = false)
    {
        writeFileBytes(jcf, bytes);
        job.setAppId(QStringLiteral("keep.me"));
        const JobResult read = job.readFromFile(jcf, noChecksum);
        if (!read) {
            EXPECT_EQ(job.appId(), "keep.me");
            EXPECT_TRUE(job.filePaths().empty());
            EXPECT_TRUE(job.excludedDevices().empty());
            EXPECT_FALSE(read.error().description.isEmpty());
        }
        return read;
    }

    // Why bytes do not read: the error of a read that must fail.
    JobError readError(const QByteArray& bytes, bool noChecksum = false)
    {
        JobDocument job;
        const JobResult read = readsInto(bytes, job, noChecksum);
        EXPECT_FALSE(read);
        return read ? JobError {} : read.error();
    }
};

}  // namespace

TEST_F(JobFile, RoundTripKeepsEverySetting)
{
    JobDocument original;
    fill(original);
    ASSERT_TRUE(original.writeToFile(jcf));
    EXPECT_EQ(original.savedFilePath(), jcf);
    const QByteArray bytes = readFileBytes(jcf);
    EXPECT_EQ(bytes.mid(4, 8), "bplist00");
    EXPECT_EQ(qFromLittleEndian<quint32>(bytes.constData()), crc32(bytes.mid(4)));

    JobDocument loaded;
    ASSERT_TRUE(loaded.readFromFile(jcf, false));
    EXPECT_EQ(loaded.toPropertyList(), original.toPropertyList());
    EXPECT_EQ(loaded.savedFilePath(), jcf);
    EXPECT_EQ(loaded.filePaths()[0]->directory, "Books");
    EXPECT_EQ(loaded.excludedDevices()[0].icon, "iPad");  // rebuilt from "type"
    EXPECT_EQ(loaded.excludedDevices()[0].status.toLongLong(), DeviceStatusExcluded);
}

TEST_F(JobFile, UnsetStringsAreLeftOutAndReadBackAsUnset)
{
    JobDocument job;
    job.setAllowedPattern(QString());
    ASSERT_TRUE(job.writeToFile(jcf));
    const QVariantMap root = plist::parse(readFileBytes(jcf).mid(4))->toMap();
    EXPECT_FALSE(root["transConfig"].toMap().contains("appId"));
    EXPECT_FALSE(root["fileConfig"].toMap().contains("allowedPattern"));
    EXPECT_TRUE(root["fileConfig"].toMap().contains("ignoredPattern"));
    JobDocument loaded;
    ASSERT_TRUE(loaded.readFromFile(jcf, false));
    EXPECT_TRUE(loaded.appId().isNull());
    EXPECT_TRUE(loaded.allowedPattern().isNull());
}

TEST_F(JobFile, CorruptionClasses)
{
    const QByteArray good = goodFile();

    for (qsizetype i = 4; i < good.size(); i += 7) {
        QByteArray bad = good;
        bad[i] = char(bad[i] ^ 0x01);
        const JobError error = readError(bad);
        EXPECT_EQ(error.code, kestrap::JobFile::ChecksumMismatch) << "flipped byte " << i;
        EXPECT_EQ(error.description, "Corrupted file!");
        EXPECT_EQ(error.domain, "Read Config File");
    }

    QByteArray crcChanged = good;
    crcChanged[0] = char(crcChanged[0] + 1);
    EXPECT_EQ(readError(crcChanged).code, kestrap::JobFile::ChecksumMismatch);
    JobDocument unchecked;
    EXPECT_TRUE(readsInto(crcChanged, unchecked, true));
    EXPECT_EQ(unchecked.appId(), "com.example.reader");

    for (const QByteArray& tooShort : {QByteArray(), QByteArray("\x01"), QByteArray(3, '\0')}) {
        const JobError error = readError(tooShort, true);
        EXPECT_EQ(error.code, kestrap::JobFile::Unreadable);
        EXPECT_EQ(error.description, "This is not a valid file!");
    }

    // Four zero bytes: the checksum of nothing is 0, so the check passes and parsing fails.
    EXPECT_NE(readError(QByteArray(4, '\0')).code, kestrap::JobFile::ChecksumMismatch);

    readError(good.left(good.size() / 2), true);

    JobDocument missing;
    const JobResult read = missing.readFromFile(tree.path(QStringLiteral("nope.jcf")), false);
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error().code, kestrap::JobFile::Unreadable);
}

TEST_F(JobFile, WrongShapesFailAndChangeNothing)
{
    const QVariantMap goodRoot = plist::parse(goodFile().mid(4))->toMap();
    auto edited = [&](auto edit) {
        QVariantMap root = goodRoot;
        edit(root);
        return withCrc(*plist::toBinary(root));
    };
    auto fileConfigEdit = [&](auto edit) {
        return edited([&](QVariantMap& root) {
            QVariantMap fc = root["fileConfig"].toMap();
            edit(fc);
            root["fileConfig"] = fc;
        });
    };

    const QList<QPair<const char*, QByteArray>> cases = {
        {"top level array", withCrc(*plist::toBinary(QVariantList {1, 2}))},
        {"top level string", withCrc(*plist::toBinary(QStringLiteral("job")))},
        {"fileConfig string", edited([](QVariantMap& r) { r["fileConfig"] = QStringLiteral("x"); })},
        {"transConfig array", edited([](QVariantMap& r) { r["transConfig"] = QVariantList {}; })},
        {"appId number", edited([](QVariantMap& r) {
             r["transConfig"] = QVariantMap {{"appId", 5}};
         })},
        {"excluded not array", edited([](QVariantMap& r) { r["excludedDevices"] = QVariantMap {}; })},
        {"excluded entry string", edited([](QVariantMap& r) { r["excludedDevices"] = QVariantList {"x"}; })},
        {"excluded type string", edited([](QVariantMap& r) {
             r["excludedDevices"] = QVariantList {QVariantMap {{"type", "iPad"}}};
         })},
        {"filePaths dict", fileConfigEdit([](QVariantMap& fc) { fc["filePaths"] = QVariantMap {}; })},
        {"file entry without directory", fileConfigEdit([](QVariantMap& fc) {
             fc["filePaths"] = QVariantList {QVariantMap {{"path", "/x"}}};
         })},
        {"file entry without path", fileConfigEdit([](QVariantMap& fc) {
             fc["filePaths"] = QVariantList {QVariantMap {{"directory", ""}}};
         })},
        {"path number", fileConfigEdit([](QVariantMap& fc) {
             fc["filePaths"] = QVariantList {QVariantMap {{"path", 1}, {"directory", ""}}};
         })},
        // Where the file lands would be beside or above the job's folder.
        {"directory leading up", fileConfigEdit([](QVariantMap& fc) {
             fc["filePaths"] = QVariantList {QVariantMap {{"path", "/x"}, {"directory", "in/../../up"}}};
         })},
        {"path naming no file", fileConfigEdit([](QVariantMap& fc) {
             fc["filePaths"] = QVariantList {QVariantMap {{"path", "/gone/.."}, {"directory", ""}}};
         })},
        {"relative path", fileConfigEdit([](QVariantMap& fc) {
             fc["filePaths"] = QVariantList {QVariantMap {{"path", ""}, {"directory", ""}}};
         })},
        {"depth string", fileConfigEdit([](QVariantMap& fc) { fc["recursiveDepth"] = "3"; })},
        {"flag string", fileConfigEdit([](QVariantMap& fc) { fc["isRecursive"] = "YES"; })},
        {"pattern data", fileConfigEdit([](QVariantMap& fc) { fc["allowedPattern"] = QByteArray("jpg"); })},
    };
    for (const auto& [name, bytes] : cases) {
        const JobError error = readError(bytes);
        EXPECT_EQ(error.code, kestrap::JobFile::Unreadable) << name;
        EXPECT_FALSE(error.reason.isEmpty()) << name;
    }
}

// The App ID reaches the device as the name of an app's container.
TEST_F(JobFile, AnAppIdThatIsNoBundleIdentifierIsRefused)
{
    const QVariantMap goodRoot = plist::parse(goodFile().mid(4))->toMap();
    const auto withAppId = [&](const QString& appId) {
        QVariantMap root = goodRoot;
        QVariantMap trans = root["transConfig"].toMap();
        trans["appId"] = appId;
        root["transConfig"] = trans;
        return withCrc(*plist::toBinary(root));
    };
    for (const QString& refused : {QStringLiteral("../etc"), QStringLiteral("com.example/../../x"),
             QStringLiteral("com example.app"), QStringLiteral("com..example"), QStringLiteral(".com.example"),
             QStringLiteral("com.example."), QStringLiteral("."), QStringLiteral("com.example.app\n"),
             QStringLiteral("\x1b[2J"), QStringLiteral("com.exämple"), QString(256, u'a')}) {
        const JobError error = readError(withAppId(refused));
        EXPECT_EQ(error.code, kestrap::JobFile::Unreadable) << refused.toStdString();
        EXPECT_TRUE(error.reason.startsWith(QStringLiteral("transConfig.appId "))) << error.reason.toStdString();
        // Nor is it written by a job create.
        EXPECT_FALSE(kestrap::JobFile::appIdFault(refused).isEmpty());
    }
    // "/" is the media area; empty is no app chosen yet.
    for (const QString& accepted : {QStringLiteral("/"), QStringLiteral(""), QStringLiteral("com.apple.afc2"),
             QStringLiteral("com.Example.My-App_2"), QStringLiteral("Notes")}) {
        JobDocument job;
        EXPECT_TRUE(readsInto(withAppId(accepted), job)) << accepted.toStdString();
        EXPECT_EQ(job.appId(), accepted);
    }
}

// Every input fuzz_jobfile found a fault with: read with and without the checksum, it ends
// without a crash, and what it would send lands below the job's folder.
TEST_F(JobFile, FuzzFindingsReadSafely)
{
    const QDir folder(QStringLiteral(KESTRAP_JOB_FUZZ_REGRESSIONS));
    const QStringList inputs = folder.entryList(QDir::Files);
    ASSERT_FALSE(inputs.isEmpty());
    for (const QString& name : inputs) {
        const QByteArray bytes = readFileBytes(folder.filePath(name));
        for (const bool noChecksum : {false, true}) {
            JobError error;
            const auto settings = kestrap::JobFile::fromBytes(bytes, noChecksum, &error);
            if (!settings) {
                EXPECT_FALSE(error.description.isEmpty()) << name.toStdString();
                continue;
            }
            const QString root = PathJoin(QStringLiteral("/"), settings->folder);
            for (const FileEntryPtr& entry : settings->filePaths) {
                const QString remote = SendPlan::remotePathOf(settings->folder, *entry);
                EXPECT_TRUE(remote.startsWith(root) && !remote.split(u'/').contains(QStringLiteral("..")))
                    << name.toStdString() << ": " << remote.toStdString();
            }
        }
    }
}

TEST_F(JobFile, MissingKeysReadAsAbsentAndStoredDirectoryWins)
{
    const QVariantMap root {{"fileConfig",
                                QVariantMap {{"filePaths",
                                    QVariantList {QVariantMap {{"path", tree.folder(QStringLiteral("Local"))},
                                        {"directory", "Edited"}, {"filesize", 99}}}}}},
        {"excludedDevices", QVariantList {QVariantMap {{"uid", "P"}, {"type", 512}, {"colour", "red"}}}}};
    JobDocument job;
    ASSERT_TRUE(readsInto(withCrc(*plist::toBinary(root)), job));
    EXPECT_FALSE(job.isRecursive());
    EXPECT_EQ(job.recursiveDepth(), 0);
    EXPECT_TRUE(job.appId().isNull());
    EXPECT_TRUE(job.allowedPattern().isNull());
    ASSERT_EQ(job.filePaths().size(), 1u);
    EXPECT_EQ(job.filePaths()[0]->directory, "Edited");
    EXPECT_FALSE(job.filePaths()[0]->filesize);  // a stored size is not taken over
    EXPECT_EQ(job.excludedDevices()[0].icon, "iPhone");
    // Keys this program does not know survive a save.
    ASSERT_TRUE(job.writeToFile(jcf));
    const QVariantMap again = plist::parse(readFileBytes(jcf).mid(4))->toMap();
    EXPECT_EQ(again["excludedDevices"].toList()[0].toMap()["colour"], "red");
}

TEST_F(JobFile, XmlPayloadIsAccepted)
{
    JobDocument original;
    fill(original);
    JobDocument job;
    ASSERT_TRUE(readsInto(withCrc(*plist::toXml(original.toPropertyList())), job));
    EXPECT_EQ(job.toPropertyList(), original.toPropertyList());
}

TEST_F(JobFile, RandomGarbageNeverCrashes)
{
    QRandomGenerator rng(2024);
    const QByteArray good = goodFile();
    for (int round = 0; round < 3000; ++round) {
        QByteArray bytes;
        if (round % 2) {
            bytes.resize(rng.bounded(1, 600));
            for (char& c : bytes)
                c = char(rng.bounded(256));
            if (round % 4 == 1)
                bytes.replace(4, 8, "bplist00");
        } else {
            bytes = good.left(rng.bounded(4, int(good.size()) + 1));
            for (int flips = rng.bounded(1, 6); flips > 0; --flips)
                bytes[rng.bounded(4, int(bytes.size()) > 4 ? int(bytes.size()) : 5) % bytes.size()]
                    = char(rng.bounded(256));
        }
        JobDocument job;
        writeFileBytes(jcf, bytes);
        (void)job.readFromFile(jcf, true);  // any answer, but no crash, hang or sanitizer report
    }
}

TEST_F(JobFile, FailedWriteLeavesTheOldFileAndSavedPath)
{
    const QByteArray before = goodFile();
    JobDocument job;
    job.setAppId(QStringLiteral("other"));
    const QString intoMissingFolder = tree.path(QStringLiteral("no/such/dir/job.jcf"));
    const JobResult written = job.writeToFile(intoMissingFolder);
    ASSERT_FALSE(written);
    EXPECT_TRUE(job.savedFilePath().isNull());
    EXPECT_FALSE(written.error().description.isEmpty());

    // A write that fails half-way (the file-size limit stands in for a full disk) must
    // leave the previous file as it was.
    JobDocument big;
    fill(big);
    for (int i = 0; i < 2000; ++i)
        big.addFilePaths({QStringLiteral("/data/some/long/path/file-%1.bin").arg(i)});
    struct rlimit old;
    getrlimit(RLIMIT_FSIZE, &old);
    const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 4096;
    setrlimit(RLIMIT_FSIZE, &small);
    const bool bigWritten = bool(big.writeToFile(jcf));
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(bigWritten);
    EXPECT_EQ(readFileBytes(jcf), before);
}
