// kestrap-cli job create|show|plan, run as a separate process the way scripts use it.

#include "support/CliRun.h"
#include "support/TempTree.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

TEST(JobCli, CreateShowPlan)
{
    TempTree tree;
    tree.file(QStringLiteral("Photos/a.jpg"), 10);
    tree.file(QStringLiteral("Photos/2012/b.jpg"), 20);
    tree.file(QStringLiteral("Photos/2012/c.tmp"), 5);
    const QString single = tree.file(QStringLiteral("notes.txt"), 3);
    const QString jcf = tree.path(QStringLiteral("job.jcf"));

    CliResult r = runCli({"job", "create", jcf, "--app-id", "com.example.app", "--folder", "Documents", "--ignore",
        "tmp", tree.path(QStringLiteral("Photos")), single});
    ASSERT_EQ(r.code, 0) << r.err.constData();

    r = runCli({"job", "show", jcf});
    ASSERT_EQ(r.code, 0) << r.err.constData();
    const QJsonObject shown = QJsonDocument::fromJson(r.out).object();
    EXPECT_EQ(shown["transConfig"].toObject()["appId"].toString(), "com.example.app");
    EXPECT_EQ(shown["fileConfig"].toObject()["ignoredPattern"].toString(), "tmp");
    EXPECT_EQ(shown["fileConfig"].toObject()["filePaths"].toArray()[0].toObject()["directory"].toString(), "Photos");
    EXPECT_TRUE(shown["excludedDevices"].toArray().isEmpty());

    r = runCli({"job", "plan", jcf});
    ASSERT_EQ(r.code, 0) << r.err.constData();
    const QJsonObject plan = QJsonDocument::fromJson(r.out).object();
    EXPECT_EQ(plan["totalFileSize"].toInt(), 33);
    QStringList remote;
    for (const auto& f : plan["files"].toArray())
        remote << f.toObject()["remotePath"].toString();
    remote.sort();
    EXPECT_EQ(
        remote, (QStringList {"/Documents/Photos/2012/b.jpg", "/Documents/Photos/a.jpg", "/Documents/notes.txt"}));
}

TEST(JobCli, ErrorsUseTheSystemsMessagesAndFail)
{
    TempTree tree;
    const QString jcf = tree.path(QStringLiteral("job.jcf"));
    ASSERT_EQ(runCli({"job", "create", jcf, "--app-id", "a", "--folder", "f", "--allow", "jpg",
                         tree.file(QStringLiteral("x.png"))})
                  .code,
        0);
    CliResult r = runCli({"job", "plan", jcf});
    EXPECT_NE(r.code, 0);
    EXPECT_TRUE(r.err.contains("No files to copy, please check the filter settings."));

    QFile f(jcf);
    f.open(QIODevice::ReadWrite);
    f.seek(10);
    f.write("Z");
    f.close();
    r = runCli({"job", "show", jcf});
    EXPECT_NE(r.code, 0);
    EXPECT_TRUE(r.err.contains("Corrupted file!"));
    EXPECT_TRUE(r.out.isEmpty());

    r = runCli({"job", "show", tree.path(QStringLiteral("missing.jcf"))});
    EXPECT_NE(r.code, 0);
    EXPECT_TRUE(r.err.contains("This is not a valid file!"));

    EXPECT_EQ(runCli({"job", "create", jcf, "--folder", "f"}).code, 2);
    r = runCli({"job", "create", jcf, "--app-id", "../etc", "--folder", "f"});
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(r.err.startsWith("--app-id takes a bundle identifier")) << r.err.constData();
    EXPECT_TRUE(r.err.contains("\"../etc\"")) << r.err.constData();
    EXPECT_EQ(runCli({"job", "create", jcf, "--app-id", "/", "--folder", "f"}).code, 0);
    EXPECT_EQ(runCli({"job", "create", jcf, "--app-id", "a", "--folder", "f", tree.path("nothing-here")}).code, 1);
    EXPECT_EQ(runCli({"job", "frobnicate"}).code, 2);
    EXPECT_EQ(runCli({"job", "show", "--bogus", jcf}).code, 2);
}
