// kestrap-cli device tree, run as a separate process the way scripts use it.

#include "support/CliRun.h"
#include "support/TestFarm.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

namespace {

void write(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(bytes);
}

QStringList lines(const QByteArray& out)
{
    return QString::fromUtf8(out).split('\n', Qt::SkipEmptyParts);
}

}  // namespace

TEST(TreeCli, PrintsTheTreeWithSizesAndDates)
{
    TestFarm farm;
    const QString udid = farm.addPhone({{QStringLiteral("com.example.notes"), QStringLiteral("Notes")}});
    write(farm.media(udid) + "/DCIM/100APPLE/IMG_0001.JPG", QByteArray(2048, 'j'));
    write(farm.media(udid) + "/.iDisk/hidden.txt", "h");
    write(farm.media(udid) + "/readme.txt", "hello");
    write(farm.container(udid, "com.example.notes") + "/Documents/a.txt", "abc");
    const QString farmPath = farm.path();

    CliResult r = runCli({"device", "tree", udid, "--simulate", farmPath});
    ASSERT_EQ(r.code, 0) << r.err.constData();
    QStringList out = lines(r.out);
    ASSERT_EQ(out.size(), 5) << r.out.constData();
    EXPECT_TRUE(out[0].startsWith("/  "));
    EXPECT_TRUE(out[1].startsWith("  DCIM/  "));
    EXPECT_TRUE(out[2].startsWith("    100APPLE/  "));
    EXPECT_TRUE(out[3].startsWith("      IMG_0001.JPG  2.00 KB  "));
    EXPECT_TRUE(out[4].startsWith("  readme.txt  5 bytes  20"));

    r = runCli({"device", "tree", udid, "--depth", "1", "--camera-roll", "--simulate", farmPath});
    ASSERT_EQ(r.code, 0) << r.err.constData();
    EXPECT_EQ(lines(r.out).size(), 2);
    EXPECT_TRUE(lines(r.out)[0].startsWith("/DCIM  "));

    r = runCli({"device", "tree", udid, "--apps", "--json"}, {{"KESTRAP_FARM", farmPath}});
    ASSERT_EQ(r.code, 0) << r.err.constData();
    const QJsonObject apps = QJsonDocument::fromJson(r.out).object();
    EXPECT_EQ(apps["fsType"].toInt(), 2);
    EXPECT_TRUE(apps["rootPath"].isNull());
    const QJsonObject notes = apps["children"].toArray().first().toObject();
    EXPECT_EQ(notes["displayPath"].toString(), "/Notes");
    EXPECT_EQ(notes["rootPath"].toString(), "com.example.notes");
    const QJsonObject file = notes["children"].toArray().first().toObject()["children"].toArray().first().toObject();
    EXPECT_EQ(file["displayPath"].toString(), "/Notes/Documents/a.txt");
    EXPECT_EQ(file["fullPath"].toString(), "/Documents/a.txt");
    EXPECT_EQ(file["fileSize"].toInteger(), 3);
    EXPECT_TRUE(QDateTime::fromString(file["modifiedDate"].toString(), Qt::ISODate).isValid());
    EXPECT_FALSE(file.contains("children"));

    r = runCli({"device", "tree", udid, "--app", "com.example.notes", "--simulate", farmPath});
    ASSERT_EQ(r.code, 0) << r.err.constData();
    EXPECT_TRUE(lines(r.out).value(0).startsWith("/Notes  "));
}

TEST(TreeCli, RefusesWhatItCannotShow)
{
    TestFarm farm;
    const QString udid = farm.addPhone();
    const QString farmPath = farm.path();

    CliResult r = runCli({"device", "tree", udid, "--root", "--simulate", farmPath});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.err.contains("not jailbroken"));
    r = runCli({"device", "tree", udid, "--camera-roll", "--simulate", farmPath});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.err.contains("No folder '/DCIM'"));
    r = runCli({"device", "tree", udid, "--app", "com.example.none", "--simulate", farmPath});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(runCli({"device", "tree", "nobody", "--simulate", farmPath}).code, 1);
    EXPECT_EQ(runCli({"device", "tree", udid, "--apps", "--root", "--simulate", farmPath}).code, 2);
    EXPECT_EQ(runCli({"device", "tree", udid, "--depth", "-1", "--simulate", farmPath}).code, 2);
    EXPECT_EQ(runCli({"device", "tree", "--simulate", farmPath}).code, 2);
}
