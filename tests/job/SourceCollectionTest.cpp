#include "job/JobDocument.h"
#include "job/PortJob.h"
#include "job/SendPlan.h"
#include "support/TempTree.h"

#include <QElapsedTimer>
#include <QFile>
#include <gtest/gtest.h>

using namespace kestrap;

namespace {

class Collection : public ::testing::Test {
protected:
    TempTree tree;
    JobDocument job;
    SendPlan plan;  // of the last collect()

    void add(const QString& absolutePath) { job.addFilePaths({absolutePath}); }

    // Collects the send list of the job as it is now: true when there is something to send.
    bool collect()
    {
        plan = SendPlan::collect(job.settings());
        return !plan.isEmpty();
    }

    // The send list as "remote path" strings relative to the job's folder, sorted.
    QStringList sent()
    {
        QStringList out;
        if (!collect())
            return out;
        for (const auto& e : plan.files())
            out << SendPlan::remotePathOf(job.folder(), *e);
        out.sort();
        return out;
    }

    void SetUp() override { job.setFolder(QStringLiteral("Docs")); }
};

}  // namespace

TEST_F(Collection, ExtensionListsAreExactAndCaseSensitive)
{
    for (const char* name : {"a.jpg", "b.png", "c.JPG", "d.gif", "e", "f.tmp", "g.pngx", "h.tmpl"})
        add(tree.file(name));
    // An extension that begins with an allowed one is another extension.
    job.setAllowedPattern(QStringLiteral("jpg;png"));
    EXPECT_EQ(sent(), (QStringList {"/Docs/a.jpg", "/Docs/b.png"}));

    job.setAllowedPattern(QStringLiteral(" *\t"));
    job.setIgnoredPattern(QStringLiteral("tmp"));
    EXPECT_EQ(sent(),
        (QStringList {
            "/Docs/a.jpg", "/Docs/b.png", "/Docs/c.JPG", "/Docs/d.gif", "/Docs/e", "/Docs/g.pngx", "/Docs/h.tmpl"}));

    // An empty allowed pattern is one empty part: only files without an extension.
    job.setAllowedPattern(QStringLiteral(""));
    EXPECT_EQ(sent(), (QStringList {"/Docs/e"}));

    // Parts are not trimmed, and "*.jpg" is not a wildcard.
    job.setAllowedPattern(QStringLiteral("  "));
    EXPECT_EQ(sent(), QStringList());
    job.setAllowedPattern(QStringLiteral("*.jpg; png"));
    EXPECT_EQ(sent(), QStringList());

    job.setAllowedPattern(QStringLiteral(""));
    job.setIgnoredPattern(QStringLiteral(" "));
    EXPECT_EQ(sent().size(), 8);  // both blank: everything
}

TEST_F(Collection, RegexSearchesTheWholeLocalPath)
{
    add(tree.folder(QStringLiteral("Photos")));
    tree.file(QStringLiteral("Photos/x.bin"));
    tree.file(QStringLiteral("Photos/2012/y.bin"));
    add(tree.file(QStringLiteral("other.bin")));
    job.setIsAllowedPatternRegex(true);
    job.setAllowedPattern(QStringLiteral("Photos"));
    EXPECT_EQ(sent(), (QStringList {"/Docs/Photos/2012/y.bin", "/Docs/Photos/x.bin"}));

    job.setIsIgnoredPatternRegex(true);
    job.setIgnoredPattern(QStringLiteral("20\\d\\d/"));
    EXPECT_EQ(sent(), (QStringList {"/Docs/Photos/x.bin"}));

    job.setAllowedPattern(QStringLiteral("photos"));  // no options: case-sensitive
    EXPECT_EQ(sent(), QStringList());
}

TEST_F(Collection, APatternThatCannotMatchStopsTheRunInsteadOfSendingEverything)
{
    add(tree.folder(QStringLiteral("Photos")));
    tree.file(QStringLiteral("Photos/x.bin"));
    tree.file(QStringLiteral("Photos/") + QString(40, u'a') + QStringLiteral("!"));
    job.setIsIgnoredPatternRegex(true);
    job.setIgnoredPattern(QStringLiteral("(unclosed"));
    EXPECT_FALSE(collect());
    EXPECT_TRUE(plan.error().startsWith("The ignored pattern is not a valid regular expression"));
    PortJob runner;
    const JobResult started = runner.start(job.settings());
    ASSERT_FALSE(started);
    EXPECT_EQ(started.error().description, plan.error());

    // Catastrophic backtracking ends within its step limit.
    job.setIgnoredPattern(QString());
    job.setIsAllowedPatternRegex(true);
    job.setAllowedPattern(QStringLiteral("(a+)+$"));
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(collect());
    EXPECT_LT(clock.elapsed(), 10000);
    EXPECT_TRUE(plan.error().startsWith("The allowed pattern takes too long to match"));
}

TEST_F(Collection, DepthRecursionAndPlacement)
{
    add(tree.folder(QStringLiteral("Photos")));
    tree.file(QStringLiteral("Photos/l0.bin"));
    tree.file(QStringLiteral("Photos/2012/l1.bin"));
    tree.file(QStringLiteral("Photos/2012/jan/l2.bin"));
    tree.file(QStringLiteral("Photos/2012/jan/deep/l3.bin"));
    tree.file(QStringLiteral("Photos/.hidden"));
    tree.folder(QStringLiteral("Photos/empty"));

    EXPECT_EQ(sent(),
        (QStringList {"/Docs/Photos/.hidden", "/Docs/Photos/2012/jan/l2.bin", "/Docs/Photos/2012/l1.bin",
            "/Docs/Photos/l0.bin"}));
    job.setRecursiveDepth(1);
    EXPECT_EQ(sent(), (QStringList {"/Docs/Photos/.hidden", "/Docs/Photos/l0.bin"}));
    job.setRecursiveDepth(0);
    EXPECT_FALSE(collect());
    job.setRecursiveDepth(-4);
    EXPECT_FALSE(collect());
    job.setRecursiveDepth(3);
    job.setIsRecursive(false);
    EXPECT_FALSE(collect());
}

TEST_F(Collection, ListedFileInsideListedFolderIsSentTwice)
{
    add(tree.folder(QStringLiteral("Photos")));
    add(tree.file(QStringLiteral("Photos/a.jpg")));
    EXPECT_EQ(sent(), (QStringList {"/Docs/Photos/a.jpg", "/Docs/a.jpg"}));
}

TEST_F(Collection, LinksAreFollowedAndALoopOfThemEnds)
{
    add(tree.folder(QStringLiteral("Photos")));
    tree.file(QStringLiteral("elsewhere/kept.bin"), 7);
    ASSERT_TRUE(QFile::link(tree.path(QStringLiteral("elsewhere")), tree.path(QStringLiteral("Photos/link"))));
    ASSERT_TRUE(QFile::link(tree.path(QStringLiteral("Photos")), tree.path(QStringLiteral("Photos/up"))));
    ASSERT_TRUE(QFile::link(tree.path(QStringLiteral("elsewhere/kept.bin")), tree.path(QStringLiteral("Photos/f"))));
    // A folder given in the job through a link is walked like the folder.
    ASSERT_TRUE(QFile::link(tree.path(QStringLiteral("elsewhere")), tree.path(QStringLiteral("alias"))));
    add(tree.path(QStringLiteral("alias")));
    EXPECT_EQ(sent(), (QStringList {"/Docs/Photos/f", "/Docs/Photos/link/kept.bin", "/Docs/alias/kept.bin"}));
    // The link's target is measured, not the link.
    EXPECT_EQ(plan.totalFileSize(), 21u);
}

TEST_F(Collection, SizesAndVanishedFiles)
{
    add(tree.file(QStringLiteral("a.bin"), 1000));
    add(tree.file(QStringLiteral("b.bin"), 24));
    const QString gone = tree.file(QStringLiteral("gone.bin"), 50);
    add(gone);
    QFile::remove(gone);
    ASSERT_TRUE(collect());
    ASSERT_EQ(plan.files().size(), 3u);
    EXPECT_EQ(plan.totalFileSize(), 1024u);
    EXPECT_EQ(plan.files()[2]->filesize, 0u);
    // A listed file is its own send entry: the measured size stays with the file list.
    EXPECT_EQ(job.filePaths()[0]->filesize, 1000u);
    // The total is recomputed, not accumulated, on the next run.
    ASSERT_TRUE(collect());
    EXPECT_EQ(plan.totalFileSize(), 1024u);
}

TEST_F(Collection, InfoOfFileAndRemotePaths)
{
    const QString folder = tree.folder(QStringLiteral("Photos"));
    EXPECT_EQ(SendPlan::infoOfFile(folder)->directory, "Photos");
    EXPECT_EQ(SendPlan::infoOfFile(tree.file(QStringLiteral("a.jpg")))->directory, "");
    EXPECT_EQ(SendPlan::infoOfFile(tree.path(QStringLiteral("missing")))->directory, "");
    ASSERT_TRUE(QFile::link(folder, tree.path(QStringLiteral("alias"))));
    EXPECT_EQ(SendPlan::infoOfFile(tree.path(QStringLiteral("alias")))->directory, "alias");

    SendEntry e {QStringLiteral("/data/Photos/2012/a.jpg"), QStringLiteral("Photos/2012"), {}, {}};
    job.setFolder(QStringLiteral("Documents"));
    EXPECT_EQ(SendPlan::remoteFolderOf(job.folder(), e), "Documents/Photos/2012");
    EXPECT_EQ(SendPlan::remotePathOf(job.folder(), e), "/Documents/Photos/2012/a.jpg");
    job.setFolder(QStringLiteral("/Documents//in/"));
    e.directory = QString();
    EXPECT_EQ(SendPlan::remotePathOf(job.folder(), e), "/Documents/in/a.jpg");
}
