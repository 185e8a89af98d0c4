// What "Finished" means for a device in a run: every file sent whole, skipped as unchanged,
// or counted failed with its cause; never a hang, an empty stand-in or half a job.

#include "support/TransferFixture.h"

#include <QDateTime>
#include <QDirIterator>
#include <QSet>
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
    // Queues every device row and runs the job until each has ended.
    bool runToTheEnd()
    {
        for (const DeviceRowPtr& row : rows) {
            row->status.reset();
            job.addDeviceToQueue(row);
        }
        if (!job.start())
            return false;
        const bool ended = waitFor([&] { return allEnded(); });
        job.stop();  // a job serves devices plugged in later until it is stopped
        return ended;
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
    job.addFilePaths({tree.path(QStringLiteral("src")), tree.path(QStringLiteral("src/pipe"))});
    auto a = device(QStringLiteral("A"));

    ASSERT_TRUE(job.prepareStarting());
    QStringList errors;
    for (const auto& e : job.sendPlan().errors())
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
    job.addFilePaths({tree.path(QStringLiteral("src"))});
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
    job.addFilePaths({tree.path(QStringLiteral("src"))});
    ASSERT_TRUE(job.prepareStarting());
    ASSERT_EQ(job.sendPlan().errors().size(), 1u);
    EXPECT_TRUE(job.sendPlan().errors()[0]->path.endsWith("src/locked"));
    EXPECT_TRUE(job.sendPlan().errors()[0]->error.startsWith("the folder cannot be read"));
    QFile::setPermissions(tree.path(QStringLiteral("src/locked")),
        QFileDevice::ReadOwner | QFileDevice::ExeOwner | QFileDevice::WriteOwner);
}

TEST_F(CopyGuarantees, ADeviceWithoutRoomForTheJobFailsAtOnceAndReceivesNothing)
{
    addFiles(3, 2 * kMiB);
    auto small = device(QStringLiteral("Small"), true, {}, 5 * kMiB);
    ASSERT_TRUE(runToTheEnd());
    const ProgressRecord r = recordOf(small);
    EXPECT_EQ(small->status, DeviceStatusFailed);
    EXPECT_EQ(r.phase, CopyPhase::Failed);
    EXPECT_EQ(r.errorDomain, ErrorDomain::Job);
    EXPECT_TRUE(r.error.startsWith("not enough space on the device: needs 8")) << r.error.toStdString();
    EXPECT_TRUE(containerFiles(small).isEmpty());
}

TEST_F(CopyGuarantees, ASecondRunWithSkipUnchangedSendsOnlyWhatDiffers)
{
    addFiles(4, 64 * 1024);
    const QString changed = job.filePaths()[2]->path;
    auto a = device(QStringLiteral("A"));
    ASSERT_TRUE(runToTheEnd());
    EXPECT_EQ(recordOf(a).files_sent, 4);

    // The device room check counts what the device holds already: 2 MiB free is plenty now.
    writeFileBytes(changed, QByteArray(64 * 1024, 'c'));
    const timespec later[2] = {{0, UTIME_OMIT}, {QDateTime::currentSecsSinceEpoch() + 10, 0}};
    ::utimensat(AT_FDCWD, QFile::encodeName(changed).constData(), later, 0);
    job.setSkipUnchangedOverride(true);
    ASSERT_TRUE(runToTheEnd());
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
    ASSERT_TRUE(job.start());
    ASSERT_TRUE(waitFor([&] { return recordOf(a).file_progress > 0; }));
    job.stop();
    EXPECT_LT(farm.calls(a->uid, "AFCFileRefWrite"), 20);
    EXPECT_EQ(recordOf(a).phase, CopyPhase::Cancelled);
    EXPECT_EQ(recordOf(a).files_failed, 0);
    EXPECT_TRUE(containerFiles(a).isEmpty());
}
