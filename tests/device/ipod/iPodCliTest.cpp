// kestrap-cli ipod info, run as a separate process the way scripts use it.

#include "PodVolume.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <gtest/gtest.h>

namespace {

struct Result {
    int code;
    QByteArray out;
    QByteArray err;
};

Result cli(const QStringList& args)
{
    QProcess p;
    p.start(QString::fromLocal8Bit(qgetenv("KESTRAP_CLI")), args);
    p.waitForFinished(30000);
    return {p.exitCode(), p.readAllStandardOutput(), p.readAllStandardError()};
}

}  // namespace

TEST(iPodCli, Info)
{
    PodVolume volume;
    volume.recordDatabase(records::typical(QStringLiteral("Kim’s iPod")));

    Result r = cli({"ipod", "info", volume.path(), "--json"});
    ASSERT_EQ(r.code, 0) << r.err.constData();
    const QJsonObject o = QJsonDocument::fromJson(r.out).object();
    EXPECT_EQ(o["name"].toString(), QStringLiteral("Kim’s iPod"));
    EXPECT_EQ(o["mountPath"].toString(), volume.path());
    EXPECT_TRUE(o["uuid"].isNull());
    EXPECT_TRUE(o["serialNumber"].isNull());
    EXPECT_EQ(o["familyId"].toInt(), 0);
    EXPECT_EQ(o["podType"].toInt(), 1);
    EXPECT_GT(o["capacity"].toDouble(), 0);
    EXPECT_LE(o["freeCapacity"].toDouble(), o["capacity"].toDouble());

    r = cli({"ipod", "info", volume.path()});
    ASSERT_EQ(r.code, 0) << r.err.constData();
    EXPECT_TRUE(QString::fromUtf8(r.out).startsWith(QStringLiteral("name: Kim’s iPod\n")));
    EXPECT_TRUE(r.out.contains("PodType: 1\n"));
}

TEST(iPodCli, Errors)
{
    FileTree plain;
    plain.file("iPod_Control");  // a file, not the folder an iPod has
    Result r = cli({"ipod", "info", plain.path()});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.err.startsWith("Not a disk-mode iPod:")) << r.err.constData();

    r = cli({"ipod", "info", plain.path("missing")});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.err.startsWith("No such folder:")) << r.err.constData();

    EXPECT_EQ(cli({"ipod", "info"}).code, 2);
    EXPECT_EQ(cli({"ipod", "list"}).code, 2);
}
