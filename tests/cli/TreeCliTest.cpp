// kestrap-cli device tree, run as a separate process the way scripts use it.

#include "support/CliRun.h"
#include "support/TestFarm.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

TEST(TreeCli, PrintsTheTreeWithSizesAndDatesAndRefusesWhatItCannotShow)
{
    TestFarm farm;
    const QString udid = farm.addPhone({{QStringLiteral("com.example.notes"), QStringLiteral("Notes")}});
    const auto write = [](const QString& path, const QByteArray& bytes) {
        QDir().mkpath(QFileInfo(path).path());
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write(bytes);
    };
    write(farm.media(udid) + "/DCIM/100APPLE/IMG_0001.JPG", QByteArray(2048, 'j'));
    write(farm.media(udid) + "/.iDisk/hidden.txt", "h");
    write(farm.media(udid) + "/readme.txt", "hello");
    write(farm.container(udid, "com.example.notes") + "/Documents/a.txt", "abc");
    const auto tree = [&](QStringList args) {
        return runCli(QStringList {"device", "tree", udid, "--simulate", farm.path()} + args);
    };

    CliResult r = tree({});
    ASSERT_EQ(r.code, 0) << r.err.constData();
    const QStringList out = QString::fromUtf8(r.out).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(out.size(), 5) << r.out.constData();
    EXPECT_TRUE(out[0].startsWith("/  "));
    EXPECT_TRUE(out[2].startsWith("    100APPLE/  "));
    EXPECT_TRUE(out[3].startsWith("      IMG_0001.JPG  2.00 KB  "));
    EXPECT_TRUE(out[4].startsWith("  readme.txt  5 bytes  20"));

    r = tree({"--apps", "--json"});
    ASSERT_EQ(r.code, 0) << r.err.constData();
    const QJsonObject apps = QJsonDocument::fromJson(r.out).object();
    EXPECT_TRUE(apps["rootPath"].isNull());
    const QJsonObject notes = apps["children"].toArray().first().toObject();
    EXPECT_EQ(notes["rootPath"].toString(), "com.example.notes");
    const QJsonObject file = notes["children"].toArray()[0].toObject()["children"].toArray()[0].toObject();
    EXPECT_EQ(file["displayPath"].toString(), "/Notes/Documents/a.txt");
    EXPECT_EQ(file["fileSize"].toInteger(), 3);
    EXPECT_TRUE(QDateTime::fromString(file["modifiedDate"].toString(), Qt::ISODate).isValid());

    r = tree({"--app", "com.example.notes", "--depth", "0"});
    EXPECT_TRUE(r.out.startsWith("/Notes  ")) << r.out.constData();

    r = tree({"--root"});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.err.contains("not jailbroken"));
    EXPECT_EQ(tree({"--app", "com.example.none"}).code, 1);
    EXPECT_EQ(tree({"--apps", "--root"}).code, 2);
    EXPECT_EQ(tree({"--depth", "-1"}).code, 2);
}
