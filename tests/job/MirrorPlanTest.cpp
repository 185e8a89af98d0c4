// Which folders a mirrored run may touch, and how a device's names are matched to the job's.

#include "job/MirrorPlan.h"
#include "job/SendPlan.h"
#include "support/TempTree.h"
#include "util/Paths.h"

#include <gtest/gtest.h>

using namespace kestrap;

TEST(MirrorPlan, ContainmentIsComponentWiseAndStrictlyBelow)
{
    EXPECT_TRUE(PathIsInside(QStringLiteral("/Documents/Photos/a.jpg"), QStringLiteral("Documents/Photos")));
    EXPECT_TRUE(PathIsInside(QStringLiteral("Documents/Photos/sub/"), QStringLiteral("/Documents//Photos/")));
    EXPECT_FALSE(PathIsInside(QStringLiteral("Documents/Photos"), QStringLiteral("Documents/Photos")));
    EXPECT_FALSE(PathIsInside(QStringLiteral("Documents/PhotosX/a"), QStringLiteral("Documents/Photos")));
    EXPECT_FALSE(PathIsInside(QStringLiteral("Documents/Photos/../a"), QStringLiteral("Documents/Photos")));
    EXPECT_FALSE(PathIsInside(QStringLiteral("Documents/Photos/../../x"), QStringLiteral("Documents/Photos")));
    EXPECT_FALSE(PathIsInside(QStringLiteral("Documents/a"), QStringLiteral("/")));
    EXPECT_FALSE(PathIsInside(QStringLiteral("Documents/a"), QString()));
    EXPECT_FALSE(PathIsInside(QStringLiteral("../Documents/a"), QStringLiteral("Documents")));
}

TEST(MirrorPlan, OnlyListedFoldersInsideTheJobsFolderAreMirrored)
{
    TempTree tree;
    tree.file(QStringLiteral("Photos/a.jpg"));
    tree.file(QStringLiteral("Manuals/m.pdf"));
    JobSettings settings;
    settings.folder = QStringLiteral("Documents/Inbox");
    settings.filePaths = {SendPlan::infoOfFile(tree.path(QStringLiteral("Photos"))),
        SendPlan::infoOfFile(tree.path(QStringLiteral("Photos"))),  // listed twice: mirrored once
        SendPlan::infoOfFile(tree.path(QStringLiteral("Manuals"))),
        SendPlan::infoOfFile(tree.file(QStringLiteral("single.txt")))};
    // A folder entry edited to land in the job's folder itself, or above it, is never mirrored.
    auto itself = SendPlan::infoOfFile(tree.path(QStringLiteral("Manuals")));
    itself->directory = QStringLiteral(".");
    auto above = SendPlan::infoOfFile(tree.path(QStringLiteral("Manuals")));
    above->directory = QStringLiteral("../..");
    settings.filePaths.push_back(itself);
    settings.filePaths.push_back(above);

    EXPECT_EQ(MirrorPlan::mirroredFolders(settings),
        QStringList({QStringLiteral("Documents/Inbox/Photos"), QStringLiteral("Documents/Inbox/Manuals")}));
    settings.isRecursive = false;
    EXPECT_TRUE(MirrorPlan::mirroredFolders(settings).isEmpty());
}

TEST(MirrorPlan, NamesMatchCaseSensitivelyButWhateverTheirNormalisation)
{
    EXPECT_EQ(MirrorPlan::matchKey(QStringLiteral("/Documents/R\u00e9sum\u00e9.pdf")),
        MirrorPlan::matchKey(QStringLiteral("Documents//Re\u0301sume\u0301.pdf")));
    EXPECT_NE(MirrorPlan::matchKey(QStringLiteral("Documents/a.jpg")),
        MirrorPlan::matchKey(QStringLiteral("Documents/A.JPG")));
    const MirrorPlan plan({QStringLiteral("Documents/Photos")}, {QStringLiteral("/Documents/Photos/a.jpg")});
    EXPECT_TRUE(plan.holds(QStringLiteral("Documents/Photos/b.jpg")));
    EXPECT_FALSE(plan.holds(QStringLiteral("Documents/Photos")));
    EXPECT_FALSE(plan.holds(QStringLiteral("Documents/other.jpg")));
}
