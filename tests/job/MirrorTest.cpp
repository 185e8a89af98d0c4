// Removal through runs on simulated devices: what a mirrored run takes off a device, when it
// takes nothing, and what taking a job back removes and leaves.

#include "support/TransferFixture.h"

#include <QDirIterator>

namespace {

// Photos/a.jpg, Photos/sub/b.jpg, Photos/Résumé.pdf (NFC), and a single file top.txt.
class Mirror : public Transfer {
protected:
    const QString kResume = QStringLiteral("R\u00e9sum\u00e9.pdf");  // NFC
    const QString kResumeNfd = QStringLiteral("Re\u0301sume\u0301.pdf");

    void SetUp() override
    {
        Transfer::SetUp();
        tree.file(QStringLiteral("src/Photos/a.jpg"), 10);
        tree.file(QStringLiteral("src/Photos/sub/b.jpg"), 20);
        tree.file(QStringLiteral("src/Photos/") + kResume, 30);
        doc.addFilePaths({tree.path(QStringLiteral("src/Photos")), tree.file(QStringLiteral("src/top.txt"), 5)});
    }

    // Every item below Documents on the device, folders with a trailing "/", links as "@".
    QStringList held(const DeviceRowPtr& row)
    {
        const QString top = containerFile(row, QStringLiteral("Documents"));
        QStringList items;
        QDirIterator it(
            top, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot | QDir::System, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QFileInfo info(it.next());
            QString rel = QDir(top).relativeFilePath(info.filePath());
            if (info.isSymLink())
                rel += u'@';
            else if (info.isDir())
                rel += u'/';
            items << rel;
        }
        items.sort();
        return items;
    }

    void plant(const DeviceRowPtr& row, const QString& rel, qint64 size = 3)
    {
        const QString p = containerFile(row, QStringLiteral("Documents/") + rel);
        QDir().mkpath(QFileInfo(p).path());
        writeFileBytes(p, QByteArray(size, 'o'));
    }
};

}  // namespace

TEST_F(Mirror, AMirroredRunRemovesExactlyWhatTheSentFoldersHoldBeyondTheJob)
{
    auto a = device(QStringLiteral("A"));
    ASSERT_TRUE(runToTheEnd());
    plant(a, QStringLiteral("Photos/old.jpg"));
    plant(a, QStringLiteral("Photos/A.JPG"));  // another name than a.jpg on a case-sensitive device
    plant(a, QStringLiteral("Photos/sub/gone/deeper/x.jpg"));
    plant(a, QStringLiteral("Photos/") + kResumeNfd);  // the same name as the job's, normalised otherwise
    plant(a, QStringLiteral("Photos/.a.jpg.Zq81.kestrap-part"));  // another writer's upload
    plant(a, QStringLiteral("Photos/sub/.b.jpg.Zq82.kestrap-part"));
    plant(a, QStringLiteral("beside.txt"));  // beside the single file, in the job's folder itself
    plant(a, QStringLiteral("Notes/n.txt"));  // a folder of the app's the job does not send
    plant(a, QStringLiteral("Notes/deep/m.txt"));
    // Links on the device: to a folder outside, and to a file outside; neither is followed.
    ASSERT_TRUE(QFile::link(containerFile(a, QStringLiteral("Documents/Notes")),
        containerFile(a, QStringLiteral("Documents/Photos/notes-link"))));
    ASSERT_TRUE(QFile::link(containerFile(a, QStringLiteral("Documents/beside.txt")),
        containerFile(a, QStringLiteral("Documents/Photos/sub/file-link"))));

    job.setMirrorOverride(true);
    job.setSkipUnchangedOverride(true);
    ASSERT_TRUE(runToTheEnd());

    EXPECT_EQ(held(a),
        QStringList({QStringLiteral("Notes/"), QStringLiteral("Notes/deep/"), QStringLiteral("Notes/deep/m.txt"),
            QStringLiteral("Notes/n.txt"), QStringLiteral("Photos/"), QStringLiteral("Photos/.a.jpg.Zq81.kestrap-part"),
            QStringLiteral("Photos/") + kResumeNfd, QStringLiteral("Photos/") + kResume, QStringLiteral("Photos/a.jpg"),
            QStringLiteral("Photos/sub/"), QStringLiteral("Photos/sub/.b.jpg.Zq82.kestrap-part"),
            QStringLiteral("Photos/sub/b.jpg"), QStringLiteral("beside.txt"), QStringLiteral("top.txt")}));
    const ProgressRecord r = recordOf(a);
    EXPECT_EQ(r.files_removed, 5);  // old.jpg, A.JPG, x.jpg and the two links; folders are not counted
    EXPECT_EQ(r.files_failed, 0);
    EXPECT_EQ(r.files_skipped, 4);
    EXPECT_EQ(a->status, DeviceStatusFinished);
    EXPECT_EQ(job.mirroredFolders(), QStringList {QStringLiteral("Documents/Photos")});
}

TEST_F(Mirror, ThroughSeveralConnectionsEveryExtraGoesOnceAndFoldersAfterWhatTheyHeld)
{
    farm.service()->setCallsWaitOnALink(true);  // as on a cable: a device is served through several connections
    job.setConnectionsOverride(4);
    auto a = device(QStringLiteral("A"));
    ASSERT_TRUE(runToTheEnd());
    for (int i = 0; i < 30; ++i)
        plant(a, QStringLiteral("Photos/old/%1/x%2.jpg").arg(i % 3).arg(i));
    plant(a, QStringLiteral("Photos/sub/stale.jpg"));

    job.setMirrorOverride(true);
    job.setSkipUnchangedOverride(true);
    ASSERT_TRUE(runToTheEnd());

    EXPECT_EQ(held(a),
        QStringList({QStringLiteral("Photos/"), QStringLiteral("Photos/") + kResume, QStringLiteral("Photos/a.jpg"),
            QStringLiteral("Photos/sub/"), QStringLiteral("Photos/sub/b.jpg"), QStringLiteral("top.txt")}));
    const ProgressRecord r = recordOf(a);
    EXPECT_EQ(r.files_removed, 31);
    EXPECT_EQ(r.files_failed, 0);
    EXPECT_EQ(a->status, DeviceStatusFinished);
}

TEST_F(Mirror, ADeviceWithAFailedFileLosesNothing)
{
    auto a = device(QStringLiteral("A"));
    plant(a, QStringLiteral("Photos/old.jpg"));
    // A listed file that is gone fails on every device.
    doc.addFilePaths({tree.file(QStringLiteral("src/vanishing.txt"))});
    QFile::remove(tree.path(QStringLiteral("src/vanishing.txt")));
    job.setMirrorOverride(true);
    ASSERT_TRUE(runToTheEnd());
    EXPECT_EQ(recordOf(a).files_failed, 1);
    EXPECT_EQ(recordOf(a).files_removed, 0);
    EXPECT_TRUE(QFile::exists(containerFile(a, QStringLiteral("Documents/Photos/old.jpg"))));
}

TEST_F(Mirror, AStoppedDeviceLosesNothing)
{
    auto a = device(QStringLiteral("A"));
    plant(a, QStringLiteral("Photos/old.jpg"));
    job.setMirrorOverride(true);
    job.pause();  // its copy waits before the first file, and is stopped there
    job.addDeviceToQueue(a);
    ASSERT_TRUE(start());
    ASSERT_TRUE(waitFor([&] { return a->status == DeviceStatusTransferring; }));
    job.stop();
    EXPECT_EQ(recordOf(a).phase, CopyPhase::Cancelled);
    EXPECT_EQ(recordOf(a).files_removed, 0);
    EXPECT_TRUE(QFile::exists(containerFile(a, QStringLiteral("Documents/Photos/old.jpg"))));
}

TEST_F(Mirror, TakingAJobBackRemovesItsFilesOfTheSameSizeAndTheFoldersTheyLeaveEmpty)
{
    auto a = device(QStringLiteral("A"));
    ASSERT_TRUE(runToTheEnd());
    plant(a, QStringLiteral("Photos/a.jpg"), 11);  // the user's own a.jpg now: another size
    plant(a, QStringLiteral("Photos/mine.jpg"));  // never the job's
    plant(a, QStringLiteral("beside.txt"));

    job.setRunKind(RunKind::Remove);
    ASSERT_TRUE(runToTheEnd());
    EXPECT_EQ(held(a),
        QStringList({QStringLiteral("Photos/"), QStringLiteral("Photos/a.jpg"), QStringLiteral("Photos/mine.jpg"),
            QStringLiteral("beside.txt")}));
    ProgressRecord r = recordOf(a);
    EXPECT_EQ(r.files_removed, 3);  // b.jpg, Résumé.pdf, top.txt; Photos/sub went with b.jpg
    EXPECT_EQ(r.files_skipped, 1);
    EXPECT_EQ(r.files_failed, 0);
    EXPECT_EQ(a->status, DeviceStatusFinished);

    job.setForce(true);
    ASSERT_TRUE(runToTheEnd());
    EXPECT_EQ(held(a),
        QStringList({QStringLiteral("Photos/"), QStringLiteral("Photos/mine.jpg"), QStringLiteral("beside.txt")}));
    EXPECT_EQ(recordOf(a).files_removed, 1);
}

TEST_F(Mirror, TakenBackThroughSeveralConnectionsEachFileGoesOnceAndFoldersAfterWhatTheyHeld)
{
    farm.service()->setCallsWaitOnALink(true);  // as on a cable: a device is served through several connections
    job.setConnectionsOverride(4);
    for (int i = 0; i < 30; ++i)
        tree.file(QStringLiteral("src/Photos/many/%1/x%2.jpg").arg(i % 3).arg(i), 7);
    auto a = device(QStringLiteral("A"));
    ASSERT_TRUE(runToTheEnd());
    plant(a, QStringLiteral("Photos/many/1/x4.jpg"), 11);  // the user's own x4.jpg now: another size

    // A file taken by two connections, or a folder removed before what it held, would be a
    // failed entry.
    job.setRunKind(RunKind::Remove);
    ASSERT_TRUE(runToTheEnd());
    EXPECT_EQ(held(a),
        QStringList({QStringLiteral("Photos/"), QStringLiteral("Photos/many/"), QStringLiteral("Photos/many/1/"),
            QStringLiteral("Photos/many/1/x4.jpg")}));
    const ProgressRecord r = recordOf(a);
    EXPECT_EQ(r.files_removed, 33);  // 29 of many/, a.jpg, b.jpg, Résumé.pdf, top.txt
    EXPECT_EQ(r.files_skipped, 1);
    EXPECT_EQ(r.files_failed, 0);
    EXPECT_EQ(a->status, DeviceStatusFinished);
}

TEST_F(Mirror, AFolderThatCannotBeListedIsNotTakenForAnEmptyOne)
{
    auto a = device(QStringLiteral("A"));
    QDir().mkpath(containerFile(a, QStringLiteral("Documents/Empty")));
    DeviceError why;
    const auto connection = a->device->openConnection(kApp, &why);
    ASSERT_TRUE(connection);
    EXPECT_EQ(connection->namesInDirectory(QStringLiteral("Documents/Empty")), QStringList());
    EXPECT_FALSE(connection->namesInDirectory(QStringLiteral("Documents/Missing")));
}
