// kestrap-cli sim, devices and device, run as a separate process the way scripts use them.

#include "device/ios/sim/SimFarm.h"
#include "support/CliRun.h"
#include "support/TempTree.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <gtest/gtest.h>

namespace {

CliResult cli(const QStringList& args, const QString& farmEnv = {})
{
    return runCli(args, {{QStringLiteral("KESTRAP_FARM"), farmEnv}});
}

}  // namespace

TEST(DeviceCli, SimCreateDevicesAndPlugging)
{
    TempTree tree;
    const QString farm = tree.path(QStringLiteral("farm"));
    CliResult r
        = cli({"sim", "create", farm, "--devices", "2", "--app", "com.example.notes=Notes", "--capacity", "5000"});
    ASSERT_EQ(r.code, 0) << r.err.constData();
    const QStringList ids = QString::fromUtf8(r.out).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(ids.size(), 2);
    r = cli({"sim", "create", farm, "--type", "iPad", "--jailbroken"});
    ASSERT_EQ(r.code, 0) << r.err.constData();

    r = cli({"devices", "--simulate", farm, "--json"});
    ASSERT_EQ(r.code, 0) << r.err.constData();
    const QJsonArray devices = QJsonDocument::fromJson(r.out).array();
    ASSERT_EQ(devices.size(), 3);
    QStringList names;
    for (const auto& d : devices) {
        const QJsonObject o = d.toObject();
        names << o["name"].toString();
        if (o["uid"].toString() == ids[0]) {
            EXPECT_EQ(o["deviceType"].toInt(), 514);
            EXPECT_EQ(o["capacity"].toInteger(), 5000);
            EXPECT_EQ(o["freeCapacity"].toInteger(), 5000);
            EXPECT_FALSE(o["isJailbreak"].toBool());
            EXPECT_EQ(o["apps"].toArray().first().toObject()["ID"].toString(), QStringLiteral("com.example.notes"));
            EXPECT_EQ(o["apps"].toArray().first().toObject()["name"].toString(), QStringLiteral("Notes"));
        }
        EXPECT_EQ(o["isJailbreak"].toBool(), o["deviceType"].toInt() == 515);
    }
    names.sort();
    EXPECT_EQ(names, (QStringList {"iPad 1", "iPhone 1", "iPhone 2"}));

    ASSERT_EQ(cli({"sim", "unplug", farm, ids[1]}).code, 0);
    r = cli({"devices", "--json"}, farm);
    EXPECT_EQ(QJsonDocument::fromJson(r.out).array().size(), 2);
    ASSERT_EQ(cli({"sim", "plug", farm, ids[1]}).code, 0);
    EXPECT_EQ(QJsonDocument::fromJson(cli({"devices", "--simulate", farm, "--json"}).out).array().size(), 3);

    EXPECT_EQ(cli({"sim", "unplug", farm, "nobody"}).code, 1);
    EXPECT_EQ(cli({"sim", "create", farm, "--type", "Walkman"}).code, 2);
    EXPECT_EQ(cli({"sim", "create", farm, "--app", "../evil"}).code, 2);
    r = cli({"devices"});
    EXPECT_EQ(r.code, 1);
    EXPECT_FALSE(r.err.isEmpty());
}

TEST(DeviceCli, FileWorkOnOneDevice)
{
    TempTree tree;
    const QString farm = tree.path(QStringLiteral("farm"));
    CliResult r = cli({"sim", "create", farm, "--app", "com.example.notes=Notes"});
    ASSERT_EQ(r.code, 0) << r.err.constData();
    const QString udid = QString::fromUtf8(r.out).trimmed();
    const QString local = tree.file(QStringLiteral("a.txt"), 4);
    const QStringList inApp {"--app", "com.example.notes", "--simulate", farm};

    ASSERT_EQ(cli(QStringList {"device", udid, "mkdir", "Documents/in"} + inApp).code, 0);
    r = cli(QStringList {"device", udid, "put", local, "Documents/in"} + inApp);
    ASSERT_EQ(r.code, 0) << r.err.constData();
    EXPECT_TRUE(QFile::exists(farm + "/" + udid + "/Containers/com.example.notes/Documents/in/a.txt"));
    r = cli(QStringList {"device", udid, "ls", "Documents/in"} + inApp);
    EXPECT_EQ(r.out, "a.txt\t4\n");
    ASSERT_EQ(cli(QStringList {"device", udid, "mv", "Documents/in/a.txt", "b.txt"} + inApp).code, 0);
    ASSERT_EQ(cli(QStringList {"device", udid, "get", "Documents/in/b.txt", tree.path("back.txt")} + inApp).code, 0);
    EXPECT_EQ(QFileInfo(tree.path("back.txt")).size(), 4);
    ASSERT_EQ(cli(QStringList {"device", udid, "rm", "Documents/in/b.txt"} + inApp).code, 0);

    // The media area without --app; an app that is not there; paths that climb out.
    ASSERT_EQ(cli({"device", udid, "put", local, "top.txt", "--simulate", farm}).code, 0);
    EXPECT_TRUE(QFile::exists(farm + "/" + udid + "/Media/top.txt"));
    r = cli({"device", udid, "ls", "--app", "com.example.none", "--simulate", farm});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.err.startsWith("Can't find 'com.example.none' on 'iPhone 1'"));
    EXPECT_EQ(cli(QStringList {"device", udid, "put", local, "../../escape.txt"} + inApp).code, 1);
    EXPECT_FALSE(QFile::exists(farm + "/" + udid + "/escape.txt"));
    EXPECT_EQ(cli({"device", "unknown", "ls", "--simulate", farm}).code, 1);
    EXPECT_EQ(cli({"device", udid, "chmod", "x", "--simulate", farm}).code, 2);
}

// A device names itself: a name that is an escape sequence must not retitle or clear the
// terminal that lists it or shows a run. Nor may the names of its files.
TEST(DeviceCli, ControlCharactersFromADeviceNeverReachTheTerminal)
{
    TempTree tree;
    const QString farm = tree.path(QStringLiteral("farm"));
    CliResult r = cli({"sim", "create", farm, "--app", "com.example.notes=Notes"});
    ASSERT_EQ(r.code, 0) << r.err.constData();
    const QString udid = QString::fromUtf8(r.out).trimmed();
    const QString deviceFolder = QDir(farm).filePath(udid);
    std::optional<QVariantMap> plist = kestrap::sim::readDevicePlist(deviceFolder);
    ASSERT_TRUE(plist);
    const QString hostile = QStringLiteral("\x1b]0;pwned\x07iPhone\x1b[2J");
    (*plist)[QStringLiteral("DeviceName")] = hostile;
    ASSERT_TRUE(kestrap::sim::writeDevicePlist(deviceFolder, *plist));
    tree.folder(QStringLiteral("farm/%1/Containers/com.example.notes/Documents").arg(udid));
    tree.file(QStringLiteral("farm/%1/Containers/com.example.notes/Documents/\x1b[2Jnote.txt").arg(udid), 1);
    const QString fffd(QChar::ReplacementCharacter);
    const QString shown = fffd + "]0;pwned" + fffd + "iPhone" + fffd + "[2J";
    const auto raw = [](const QByteArray& bytes) { return bytes.contains('\x1b') || bytes.contains('\x07'); };

    r = cli({"devices", "--simulate", farm});
    ASSERT_EQ(r.code, 0) << r.err.constData();
    EXPECT_FALSE(raw(r.out)) << r.out.constData();
    EXPECT_TRUE(QString::fromUtf8(r.out).startsWith(shown)) << r.out.constData();
    r = cli({"devices", "--simulate", farm, "--json"});
    EXPECT_FALSE(raw(r.out)) << r.out.constData();
    EXPECT_EQ(QJsonDocument::fromJson(r.out).array().first().toObject()["name"].toString(), shown);
    r = cli({"device", udid, "ls", "Documents", "--app", "com.example.notes", "--simulate", farm});
    ASSERT_EQ(r.code, 0) << r.err.constData();
    EXPECT_FALSE(raw(r.out)) << r.out.constData();
    EXPECT_TRUE(r.out.contains((fffd + "[2Jnote.txt").toUtf8())) << r.out.constData();

    const QString jcf = tree.path(QStringLiteral("job.jcf"));
    const QMap<QString, QString> env {{QStringLiteral("KESTRAP_LOG_DIR"), tree.path(QStringLiteral("logs"))},
        {QStringLiteral("KESTRAP_SETTINGS"), tree.path(QStringLiteral("settings.ini"))}};
    ASSERT_EQ(runCli({"job", "create", jcf, "--app-id", "com.example.notes", "--folder", "Documents",
                         tree.file(QStringLiteral("a.txt"), 4)})
                  .code,
        0);
    r = runCli({"run", jcf, "--simulate", farm, "--progress-pause", "0"}, env);
    EXPECT_EQ(r.code, 0) << r.err.constData();
    EXPECT_FALSE(raw(r.out)) << r.out.constData();
    EXPECT_FALSE(raw(r.err)) << r.err.constData();
    EXPECT_TRUE(r.out.contains(shown.toUtf8())) << r.out.constData();
}
