// kestrap-cli ipod info and devices --support, run as separate processes the way scripts use them.

#include "PodVolume.h"
#include "device/ipod/MountMonitor.h"

#include <QJsonArray>
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

Result run(const QString& program, const QStringList& args)
{
    QProcess p;
    p.start(program, args);
    p.waitForFinished(30000);
    return {p.exitCode(), p.readAllStandardOutput(), p.readAllStandardError()};
}

Result cli(const QStringList& args)
{
    return run(QString::fromLocal8Bit(qgetenv("KESTRAP_CLI")), args);
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
    EXPECT_EQ(cli({"devices", "--simulate", plain.path(), "--support", "pods"}).code, 2);
    EXPECT_EQ(cli({"ipod", "list"}).code, 2);
}

// devices takes iPods in only with the pod flag; the iPod is bind-mounted in a user and
// mount namespace of the command's own, so the real mount table lists it.
TEST(iPodCli, DevicesWithThePodFlag)
{
    if (QProcess::execute("unshare", {"-rm", "true"}) != 0)
        GTEST_SKIP() << "no user namespaces here";
    PodVolume volume;
    volume.recordDatabase(records::typical(QStringLiteral("Kim's iPod")));
    FileTree mountPoint;
    FileTree farm;
    const QString script = QStringLiteral(
        "mount --bind \"$1\" \"$2\" && cat /proc/self/mountinfo > \"$4/table\" && \"$3\" devices --simulate \"$4\" "
        "--support \"$5\" --json");
    QJsonArray seen[2];
    const char* flags[] = {"1", "10"};
    for (int i = 0; i < 2; ++i) {
        const Result r = run("unshare",
            {"-rm", "sh", "-c", script, "sh", volume.path(), mountPoint.path(),
                QString::fromLocal8Bit(qgetenv("KESTRAP_CLI")), farm.path(), flags[i]});
        ASSERT_EQ(r.code, 0) << r.err.constData();
        QFile table(farm.path("table"));
        table.open(QIODevice::ReadOnly);
        bool listed = false;
        for (const auto& m : kestrap::ProcMountMonitor::parseMountInfo(table.readAll()))
            listed = listed || m.mountPoint == mountPoint.path();
        if (!listed)
            GTEST_SKIP() << "the temporary folder is not on a device-backed volume";
        seen[i] = QJsonDocument::fromJson(r.out).array();
    }
    ASSERT_EQ(seen[0].size(), 1);
    EXPECT_EQ(seen[0][0].toObject()["name"].toString(), "Kim's iPod");
    EXPECT_EQ(seen[0][0].toObject()["deviceType"].toInt(), 512);
    EXPECT_TRUE(seen[1].isEmpty());
}
