// What "Finished" means for a device in a run: every file sent whole, skipped as unchanged,
// or counted failed with its cause; never a hang, an empty stand-in or half a job.

#include "support/TransferFixture.h"

#include <QDateTime>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QSet>
#include <QThread>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr qint64 kMiB = 1024 * 1024;

class CopyGuarantees : public Transfer {
protected:
    // Asks for that many connections a device, from devices whose calls wait on a link as a
    // real device's do: a simulated device's run on the caller's thread and get one.
    void serveThrough(int connections)
    {
        job.setConnectionsOverride(connections);
        farm.service()->setCallsWaitOnALink(true);
    }
    QStringList containerFiles(const DeviceRowPtr& row)
    {
        QStringList names;
        QDirIterator it(farm.container(row->uid, kApp), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext())
            names << QDir(farm.container(row->uid, kApp)).relativeFilePath(it.next());
        names.sort();
        return names;
    }
};

}  // namespace

TEST_F(CopyGuarantees, SourcesThatCannotBeSentFailWithoutBlockingOrSendingAStandIn)
{
    tree.file(QStringLiteral("src/ok.bin"), 10);
    ASSERT_EQ(::mkfifo(QFile::encodeName(tree.path(QStringLiteral("src/pipe"))).constData(), 0600), 0);
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/zero"), tree.path(QStringLiteral("src/zero"))));
    ASSERT_TRUE(QFile::link(tree.path(QStringLiteral("nowhere")), tree.path(QStringLiteral("src/dangling"))));
    const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    const QByteArray socketPath = QFile::encodeName(tree.path(QStringLiteral("src/sock")));
    std::strncpy(address.sun_path, socketPath.constData(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    doc.addFilePaths({tree.path(QStringLiteral("src")), tree.path(QStringLiteral("src/pipe"))});
    auto a = device(QStringLiteral("A"));

    const SendPlan plan = SendPlan::collect(doc.settings());
    ASSERT_FALSE(plan.isEmpty());
    QStringList errors;
    for (const auto& e : plan.errors())
        errors << QFileInfo(e->path).fileName() + u' ' + e->error;
    errors.sort();
    EXPECT_EQ(errors.size(), 5);
    EXPECT_EQ(errors.filter(QStringLiteral("not a regular file")).size(), 4) << errors.join(u'\n').toStdString();
    EXPECT_TRUE(errors.filter(QStringLiteral("dangling the link leads nowhere")).size() == 1);

    ASSERT_TRUE(runToTheEnd());
    const ProgressRecord r = recordOf(a);
    EXPECT_EQ(r.files_sent, 1);
    EXPECT_EQ(r.files_failed, 5);
    EXPECT_EQ(r.errorDomain, ErrorDomain::LocalFile);
    EXPECT_EQ(containerFiles(a), QStringList {"Documents/src/ok.bin"});
    ::close(sock);
}

TEST_F(CopyGuarantees, TheRecordNamesTheFirstFailedFilesWithTheirCausesAndANewServingForgetsThem)
{
    tree.file(QStringLiteral("src/ok.bin"), 10);
    QStringList pipes;
    for (int i = 0; i < kFailedFilesKept + 3; ++i) {
        pipes << tree.path(QStringLiteral("src/pipe%1").arg(i, 2, 10, QLatin1Char('0')));
        ASSERT_EQ(::mkfifo(QFile::encodeName(pipes.last()).constData(), 0600), 0);
    }
    doc.addFilePaths({tree.path(QStringLiteral("src"))});
    auto a = device(QStringLiteral("A"));

    ASSERT_TRUE(runToTheEnd());
    ProgressRecord r = recordOf(a);
    EXPECT_EQ(r.files_failed, kFailedFilesKept + 3);
    ASSERT_EQ(r.failed_files.size(), std::size_t(kFailedFilesKept));
    QSet<QString> kept;
    for (const FileFailure& f : r.failed_files) {
        kept << f.path;
        EXPECT_TRUE(pipes.contains(f.path)) << f.path.toStdString();
        EXPECT_TRUE(f.cause.contains(QStringLiteral("not a regular file"))) << f.cause.toStdString();
        EXPECT_EQ(f.domain, ErrorDomain::LocalFile);
    }
    EXPECT_EQ(kept.size(), kFailedFilesKept);

    for (const QString& pipe : pipes)
        QFile::remove(pipe);
    ASSERT_TRUE(runToTheEnd());
    r = recordOf(a);
    EXPECT_EQ(r.files_failed, 0);
    EXPECT_TRUE(r.failed_files.empty());
}

TEST_F(CopyGuarantees, AFolderThatCannotBeReadIsAFailedEntry)
{
    tree.file(QStringLiteral("src/locked/a.bin"));
    tree.file(QStringLiteral("src/b.bin"));
    ASSERT_TRUE(QFile::setPermissions(tree.path(QStringLiteral("src/locked")), QFileDevice::Permissions {}));
    if (QDir(tree.path(QStringLiteral("src/locked"))).isReadable())
        GTEST_SKIP() << "this user reads folders whatever their mode (root)";
    doc.addFilePaths({tree.path(QStringLiteral("src"))});
    const SendPlan plan = SendPlan::collect(doc.settings());
    ASSERT_FALSE(plan.isEmpty());
    ASSERT_EQ(plan.errors().size(), 1u);
    EXPECT_TRUE(plan.errors()[0]->path.endsWith("src/locked"));
    EXPECT_TRUE(plan.errors()[0]->error.startsWith("the folder cannot be read"));
    QFile::setPermissions(tree.path(QStringLiteral("src/locked")),
        QFileDevice::ReadOwner | QFileDevice::ExeOwner | QFileDevice::WriteOwner);
}

TEST_F(CopyGuarantees, ADeviceWithoutRoomForTheJobFailsAtOnceAndReceivesNothing)
{
    addFiles(3, 2 * kMiB);
    serveThrough(2);
    auto small = device(QStringLiteral("Small"), true, {}, 5 * kMiB);
    ASSERT_TRUE(runToTheEnd());
    const ProgressRecord r = recordOf(small);
    EXPECT_EQ(small->status, DeviceStatusFailed);
    EXPECT_EQ(r.phase, CopyPhase::Failed);
    EXPECT_EQ(r.errorDomain, ErrorDomain::Job);
    // The files, and beside them the temporaries of the two sent at once.
    EXPECT_TRUE(r.error.startsWith("not enough space on the device: needs 10")) << r.error.toStdString();
    EXPECT_TRUE(containerFiles(small).isEmpty());
}

TEST_F(CopyGuarantees, TheRoomCheckCountsTheLargestFilesTemporariesBesideTheJob)
{
    // Served through one connection: the job's 5 MiB and the 2 MiB file's temporary beside them.
    doc.addFilePaths({tree.file(QStringLiteral("src/large.bin"), 2 * kMiB)});
    for (int i = 0; i < 3; ++i)
        doc.addFilePaths({tree.file(QStringLiteral("src/small%1.bin").arg(i), kMiB)});
    auto tight = device(QStringLiteral("Tight"), true, {}, 7 * kMiB - 1);
    auto exact = device(QStringLiteral("Exact"), true, {}, 7 * kMiB);
    ASSERT_TRUE(runToTheEnd());
    const ProgressRecord r = recordOf(tight);
    EXPECT_EQ(tight->status, DeviceStatusFailed);
    EXPECT_EQ(r.errorDomain, ErrorDomain::Job);
    EXPECT_TRUE(r.error.startsWith("not enough space on the device")) << r.error.toStdString();
    EXPECT_EQ(farm.calls(tight->uid, "AFCFileRefOpen"), 0);
    EXPECT_EQ(exact->status, DeviceStatusFinished);
    EXPECT_EQ(recordOf(exact).files_sent, 4);
}

namespace {

// A device that refuses to rename a new file's temporary onto a name, whether the name is
// taken or not, and renames everything else: the replace moves the old file aside, then
// cannot put the new one in its place.
class TemporariesKeepTheirNames : public SimMobileDeviceService {
public:
    using SimMobileDeviceService::SimMobileDeviceService;
    MDError AFCRenamePath(AFCConnectionRef connection, const QString& from, const QString& to) override
    {
        if (from.endsWith(QStringLiteral(".kestrap-part")))
            return AFCIOError;
        return SimMobileDeviceService::AFCRenamePath(connection, from, to);
    }
};

}  // namespace

TEST_F(CopyGuarantees, ANewFileThatCannotTakeTheNameOfTheOldOneMovedAsideGivesItBack)
{
    farm.useService(std::make_shared<TemporariesKeepTheirNames>(farm.path()));
    addFiles(1, 3 * kMiB);
    auto a = device(QStringLiteral("A"));
    const QByteArray old(kMiB + 7, 'o');
    writeFileBytes(containerFile(a, QStringLiteral("Documents/f0.bin")), old);
    ASSERT_TRUE(runToTheEnd());
    const ProgressRecord r = recordOf(a);
    EXPECT_EQ(r.files_sent, 0);
    EXPECT_EQ(r.files_failed, 1);
    EXPECT_EQ(r.errorDomain, ErrorDomain::AFC);
    EXPECT_EQ(readFileBytes(containerFile(a, QStringLiteral("Documents/f0.bin"))), old);
    EXPECT_EQ(containerFiles(a), QStringList {"Documents/f0.bin"});
}

TEST_F(CopyGuarantees, ARunThatVerifiesCatchesBytesTheDeviceStoredOtherwise)
{
    addFiles(2, 3 * kMiB);
    SimFaults corrupt;
    corrupt.corruptWriteAtByte = 3 * kMiB + 2 * kMiB + 11;  // in the second file's second write
    auto a = device(QStringLiteral("A"), true, corrupt);
    job.setVerifyOverride(true);
    ASSERT_TRUE(runToTheEnd());
    ProgressRecord r = recordOf(a);
    EXPECT_EQ(r.files_sent, 1);
    EXPECT_EQ(r.files_failed, 1);
    EXPECT_EQ(r.error, "verification failed: the device holds other bytes than were sent");
    EXPECT_FALSE(QFile::exists(containerFile(a, QStringLiteral("Documents/f1.bin"))));

    // Without it, the same device takes the same bytes wrong and the run calls it done.
    QDir(containerFile(a, QStringLiteral("Documents"))).removeRecursively();
    farm.service()->setFaults(a->uid, corrupt);
    job.setVerifyOverride(false);
    ASSERT_TRUE(runToTheEnd());
    r = recordOf(a);
    EXPECT_EQ(r.files_sent, 2);
    EXPECT_EQ(r.files_failed, 0);
    EXPECT_NE(
        readFileBytes(containerFile(a, QStringLiteral("Documents/f1.bin"))), readFileBytes(doc.filePaths()[1]->path));
}

TEST_F(CopyGuarantees, ASecondRunWithSkipUnchangedSendsOnlyWhatDiffers)
{
    addFiles(4, 64 * 1024);
    const QString changed = doc.filePaths()[2]->path;
    auto a = device(QStringLiteral("A"));
    ASSERT_TRUE(runToTheEnd());
    EXPECT_EQ(recordOf(a).files_sent, 4);

    // The device room check counts what the device holds already: 2 MiB free is plenty now.
    writeFileBytes(changed, QByteArray(64 * 1024, 'c'));
    const timespec later[2] = {{0, UTIME_OMIT}, {QDateTime::currentSecsSinceEpoch() + 10, 0}};
    ::utimensat(AT_FDCWD, QFile::encodeName(changed).constData(), later, 0);
    // A temporary a killed writer left two hours ago goes when the run writes into its folder.
    const QString abandoned = containerFile(a, QStringLiteral("Documents/.f9.bin.x7k2qa.kestrap-part"));
    writeFileBytes(abandoned, QByteArray(10, 'x'));
    const timespec old[2] = {{0, UTIME_OMIT}, {QDateTime::currentSecsSinceEpoch() - 2 * 3600, 0}};
    ::utimensat(AT_FDCWD, QFile::encodeName(abandoned).constData(), old, 0);
    job.setSkipUnchangedOverride(true);
    ASSERT_TRUE(runToTheEnd());
    EXPECT_FALSE(QFile::exists(abandoned));
    const ProgressRecord r = recordOf(a);
    EXPECT_EQ(r.files_sent, 1);
    EXPECT_EQ(r.files_skipped, 3);
    EXPECT_EQ(r.files_failed, 0);
    EXPECT_EQ(r.overall_progress, 100);
    EXPECT_EQ(r.transferred_size, 4u * 64 * 1024);  // skipped bytes count as done
    EXPECT_EQ(readFileBytes(containerFile(a, QStringLiteral("Documents/f2.bin"))), QByteArray(64 * 1024, 'c'));
}

TEST_F(CopyGuarantees, StopEndsTheFileInProgressAtItsNextWrite)
{
    // One file of 40 MiB at 100 ms a MiB would take four seconds to its end.
    addFiles(1, 40 * kMiB);
    auto a = device(QStringLiteral("A"), true, slowWrites(100));
    job.addDeviceToQueue(a);
    ASSERT_TRUE(start());
    ASSERT_TRUE(waitFor([&] { return recordOf(a).file_progress > 0; }));
    job.stop();
    EXPECT_LT(farm.calls(a->uid, "AFCFileRefWrite"), 20);
    EXPECT_EQ(recordOf(a).phase, CopyPhase::Cancelled);
    EXPECT_EQ(recordOf(a).files_failed, 0);
    EXPECT_TRUE(containerFiles(a).isEmpty());
}

namespace {

// A file of `size` bytes that differ from any other file's: a file landing in another's
// place, or pieces of two files mixed, shows.
QString distinctFile(const TempTree& tree, int number, qint64 size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        bytes[i] = char((i * 31 + number * 7 + i / 4096) & 0xff);
    const QString path = tree.path(QStringLiteral("src/d%1/f%2.bin").arg(number % 3).arg(number));
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(bytes);
    return path;
}

QByteArray contents(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

}  // namespace

TEST_F(CopyGuarantees, ADeviceServedThroughSeveralConnectionsHoldsEveryFileWhole)
{
    serveThrough(3);
    QStringList sources;
    for (int i = 0; i < 24; ++i)
        sources << distinctFile(tree, i, 1000 + qint64(i) * 37 * 1024);
    // A file of three writes, each unlike the others.
    const QString large = tree.path(QStringLiteral("src/large.bin"));
    QByteArray pieces(4 * kMiB + 321, Qt::Uninitialized);
    for (qsizetype i = 0; i < pieces.size(); ++i)
        pieces[i] = char((i * 31 + i / 4096 + i / kMiB * 101) & 0xff);
    writeFileBytes(large, pieces);
    sources << large;
    doc.addFilePaths({tree.path(QStringLiteral("src"))});
    auto a = device(QStringLiteral("A"), true, slowWrites(40));
    const int opened = farm.calls(a->uid, "AFCConnectionOpen");
    ASSERT_TRUE(runToTheEnd());
    const ProgressRecord r = recordOf(a);
    EXPECT_EQ(a->status, DeviceStatusFinished);
    EXPECT_EQ(r.files_sent, 25);
    EXPECT_EQ(r.overall_progress, 100);
    EXPECT_EQ(r.transferred_size, r.current_size);
    EXPECT_EQ(farm.calls(a->uid, "AFCConnectionOpen"), opened + 3);
    for (const QString& source : sources) {
        const QString rel = QDir(tree.path(QStringLiteral("src"))).relativeFilePath(source);
        EXPECT_EQ(contents(containerFile(a, QStringLiteral("Documents/src/") + rel)), contents(source))
            << rel.toStdString();
    }
    EXPECT_EQ(containerFiles(a).filter(".kestrap-part").size(), 0);
}

TEST_F(CopyGuarantees, ARowServedThroughSeveralConnectionsNamesTheFileWhoseProgressItShows)
{
    // Small files fit one write and go from 0 to 100 at once: a share in between is the large
    // file's, and the row must say so while other lanes start file after file.
    serveThrough(2);
    doc.addFilePaths({tree.file(QStringLiteral("src/a-large.bin"), 8 * kMiB)});
    for (int i = 0; i < 40; ++i)
        doc.addFilePaths({tree.file(QStringLiteral("src/small%1.bin").arg(i), 2000)});
    auto a = device(QStringLiteral("A"), true, slowWrites(20));
    int midway = 0;
    QStringList wrong;
    QObject::connect(&job, &PortJob::transferProgressChanged, [&](int index) {
        const ProgressRecord r = job.transferProgressAt(index);
        if (r.file_progress <= 0 || r.file_progress >= 100)
            return;
        ++midway;
        if (!r.current_file.endsWith(QStringLiteral("a-large.bin")))
            wrong << QStringLiteral("%1 at %2%").arg(r.current_file).arg(r.file_progress);
    });
    ASSERT_TRUE(runToTheEnd());
    EXPECT_EQ(recordOf(a).files_sent, 41);
    EXPECT_GT(midway, 0);
    EXPECT_TRUE(wrong.isEmpty()) << wrong.join(u'\n').toStdString();
}

TEST_F(CopyGuarantees, ADeviceWhoseCallsWaitOnNoLinkIsServedThroughOneConnection)
{
    job.setConnectionsOverride(4);
    addFiles(6, 1000);
    auto a = device(QStringLiteral("A"));
    const int opened = farm.calls(a->uid, "AFCConnectionOpen");
    ASSERT_TRUE(runToTheEnd());
    EXPECT_EQ(recordOf(a).files_sent, 6);
    EXPECT_EQ(farm.calls(a->uid, "AFCConnectionOpen"), opened + 1);
}

TEST_F(CopyGuarantees, ADevicePulledOutMidCopyFailsOnEveryConnectionAndHoldsNoFileInPart)
{
    serveThrough(3);
    QStringList sources;
    for (int i = 0; i < 9; ++i)
        sources << distinctFile(tree, i, kMiB);
    doc.addFilePaths({tree.path(QStringLiteral("src"))});
    SimFaults pulled = slowWrites(60);
    pulled.unplugAfterBytes = 4 * kMiB + kMiB / 2;
    auto a = device(QStringLiteral("A"), true, pulled);
    ASSERT_TRUE(runToTheEnd());
    const ProgressRecord r = recordOf(a);
    EXPECT_EQ(a->status, DeviceStatusFailed);
    EXPECT_EQ(r.error, "the device was disconnected");
    EXPECT_LT(r.files_sent, 9);
    EXPECT_GE(r.files_failed, 1);
    // Every file the device holds under its own name is whole.
    int held = 0;
    for (const QString& source : sources) {
        const QString rel = QDir(tree.path(QStringLiteral("src"))).relativeFilePath(source);
        const QString there = containerFile(a, QStringLiteral("Documents/src/") + rel);
        if (!QFile::exists(there))
            continue;
        ++held;
        EXPECT_EQ(contents(there), contents(source)) << rel.toStdString();
    }
    EXPECT_EQ(held, r.files_sent);
}

TEST_F(CopyGuarantees, BrowsingADeviceDuringItsCopyNeverWaitsForTheCopy)
{
    doc.addFilePaths({tree.file(QStringLiteral("src/big.bin"), 3 * kMiB)});
    auto a = device(QStringLiteral("A"), true, slowWrites(700));
    job.addDeviceToQueue(a);
    ASSERT_TRUE(start());
    ASSERT_TRUE(waitFor([&] { return recordOf(a).transferred_size > 0; }));
    // The window's calls go through the device object, the copy through a connection of its
    // own: a listing does not wait for the file in progress (seconds, here).
    EXPECT_TRUE(a->device->changeService(kApp));
    EXPECT_FALSE(a->device->contentsOfDirectory(QStringLiteral("/"), PathTypeAll).empty());
    EXPECT_TRUE(a->device->isDirectoryAtPath(QStringLiteral("Documents")));
    EXPECT_EQ(a->status, DeviceStatusTransferring);
    EXPECT_LT(recordOf(a).transferred_size, std::uint64_t(3 * kMiB));
    ASSERT_TRUE(waitFor([&] { return allEnded(); }));
    EXPECT_EQ(a->status, DeviceStatusFinished);
}

TEST_F(CopyGuarantees, AStopThatComesAfterTheLastFileLeavesTheDeviceFinished)
{
    // Paused while its only file is sent: the copy ends the file, then waits before looking
    // for another, and the stop finds it there with everything sent.
    doc.addFilePaths({tree.file(QStringLiteral("src/only.bin"), 3 * kMiB)});
    auto a = device(QStringLiteral("A"), true, slowWrites(300));
    job.addDeviceToQueue(a);
    ASSERT_TRUE(start());
    ASSERT_TRUE(waitFor([&] { return recordOf(a).transferred_size > 0; }));
    job.pause();
    ASSERT_TRUE(waitFor([&] { return recordOf(a).files_sent == 1; }));
    job.stop();
    EXPECT_EQ(a->status, DeviceStatusFinished);
    EXPECT_EQ(recordOf(a).phase, CopyPhase::Finished);
}

TEST_F(CopyGuarantees, ACopysConnectionsHoldTheDeviceRecordWhileTheyLiveAndNoLonger)
{
    serveThrough(3);
    addFiles(6, 1000);
    auto a = device(QStringLiteral("A"));
    ASSERT_TRUE(runToTheEnd());
    farm.service()->unplug(a->uid);
    // Gone, and still held by the row's device object: its calls fail, none touches freed memory.
    EXPECT_EQ(farm.service()->recordCount(), 1u);
    EXPECT_FALSE(a->device->itemExistsAtPath(QStringLiteral("Documents")));
    a->device.reset();
    EXPECT_EQ(farm.service()->recordCount(), 0u);
}

TEST_F(CopyGuarantees, ADevicePluggedInAgainLosesTheTemporariesWeLeftWhereverTheNextRunWrites)
{
    addFiles(2, 3 * kMiB);
    auto a = device(QStringLiteral("A"));
    SimFaults pulled;
    pulled.unplugAfterBytes = 4 * kMiB;  // in the second file
    farm.service()->setFaults(a->uid, pulled);
    ASSERT_TRUE(runToTheEnd());
    ASSERT_EQ(a->status, DeviceStatusFailed);
    const QDir documents(containerFile(a, QStringLiteral("Documents")));
    const QStringList left
        = documents.entryList({QStringLiteral(".f1.bin.*.kestrap-part")}, QDir::Files | QDir::Hidden);
    ASSERT_EQ(left.size(), 1);
    // Another writer's, written just now.
    const QString foreign = writeFileBytes(documents.filePath(QStringLiteral(".f0.bin.q8w2ez.kestrap-part")), "theirs");

    // Plugged in again, and served by a run that writes elsewhere.
    ASSERT_TRUE(setPlugged(farm.path(), a->uid, true, nullptr));
    a->device = farm.open(a->uid);
    ASSERT_TRUE(a->device);
    doc.setFolder(QStringLiteral("Documents/Elsewhere"));
    ASSERT_TRUE(runToTheEnd());
    EXPECT_EQ(a->status, DeviceStatusFinished);
    EXPECT_EQ(documents.entryList(QDir::Files | QDir::Hidden), (QStringList {".f0.bin.q8w2ez.kestrap-part", "f0.bin"}));
    EXPECT_EQ(readFileBytes(foreign), "theirs");
    EXPECT_EQ(containerFiles(a).filter(QStringLiteral("Elsewhere/")).size(), 2);
}

TEST_F(CopyGuarantees, ADeviceThatStopsAnsweringFailsAndTheRunEndsWithoutIt)
{
    addFiles(3, 3 * kMiB);
    auto healthy = device(QStringLiteral("Healthy"));
    SimFaults stalls;
    stalls.stallAfterBytes = 5 * kMiB + 100 * 1024;  // in the second file's second write
    auto stalled = device(QStringLiteral("Stalled"), true, stalls);
    QElapsedTimer timer;
    timer.start();
    ASSERT_TRUE(runToTheEnd());
    EXPECT_LT(timer.elapsed(), 15000);
    EXPECT_EQ(healthy->status, DeviceStatusFinished);
    EXPECT_EQ(recordOf(healthy).files_sent, 3);
    const ProgressRecord r = recordOf(stalled);
    EXPECT_EQ(stalled->status, DeviceStatusFailed);
    EXPECT_EQ(r.phase, CopyPhase::Failed);
    EXPECT_EQ(r.error, "the device stopped answering");
    EXPECT_EQ(r.errorDomain, ErrorDomain::Job);
    EXPECT_EQ(r.files_sent, 1);
    EXPECT_EQ(r.files_failed, 0);
    EXPECT_EQ(r.transferred_size, std::uint64_t(3 * kMiB));

    // Unplugged, the copy thread that was let go ends, changing nothing of the record.
    farm.service()->unplug(stalled->uid);
    QThread::msleep(100);
    EXPECT_EQ(recordOf(stalled).files_sent, 1);
    EXPECT_EQ(recordOf(stalled).error, "the device stopped answering");
}

TEST_F(CopyGuarantees, AStopNeverWaitsLongForADeviceThatStoppedAnswering)
{
    addFiles(2, 3 * kMiB);
    auto slow = device(QStringLiteral("Slow"), true, slowWrites(1500));
    SimFaults stalls;
    stalls.stallAfterBytes = 5 * kMiB + 100 * 1024;
    auto stalled = device(QStringLiteral("Stalled"), true, stalls);
    job.addDeviceToQueue(slow);
    job.addDeviceToQueue(stalled);
    ASSERT_TRUE(start());
    ASSERT_TRUE(waitFor([&] { return recordOf(stalled).files_sent == 1 && recordOf(slow).transferred_size > 0; }));
    QElapsedTimer timer;
    timer.start();
    job.stop();
    EXPECT_LT(timer.elapsed(), 15000);
    EXPECT_FALSE(job.isWorking());
    EXPECT_EQ(job.runningThreads(), 0);
    EXPECT_EQ(recordOf(slow).phase, CopyPhase::Cancelled);
    const ProgressRecord r = recordOf(stalled);
    EXPECT_EQ(stalled->status, DeviceStatusFailed);
    EXPECT_EQ(r.error, "the device stopped answering");
    EXPECT_EQ(r.files_sent, 1);
    EXPECT_EQ(r.transferred_size, std::uint64_t(3 * kMiB));
    farm.service()->unplug(stalled->uid);
}
