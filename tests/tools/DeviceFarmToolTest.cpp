// Debian's libimobiledevice tools against kestrap-devicefarm: any libimobiledevice program
// must see the farm's devices as plugged-in ones.

#include "support/DeviceEmulator.h"
#include "support/TestFarm.h"

#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <gtest/gtest.h>

namespace {

class DeviceFarmTool : public ::testing::Test {
protected:
    TestFarm farm;
    std::unique_ptr<DeviceEmulator> emulator;

    void SetUp() override
    {
        for (const char* tool : {"idevice_id", "ideviceinfo", "ideviceinstaller"})
            if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
                GTEST_SKIP() << tool << " is not installed (scripts/setup installs it)";
    }

    void TearDown() override
    {
        if (HasFailure() && emulator)
            ADD_FAILURE() << "the emulator said:\n" << emulator->stop().constData();
    }

    void serve()
    {
        emulator = std::make_unique<DeviceEmulator>(farm.path());
        ASSERT_TRUE(emulator->start());
    }

    // The tool's output; fails the test when it does not end well.
    QString run(const QString& tool, const QStringList& args)
    {
        QProcess p;
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("USBMUXD_SOCKET_ADDRESS"), emulator->address());
        p.setProcessEnvironment(env);
        p.start(tool, args);
        EXPECT_TRUE(p.waitForFinished(20000)) << qPrintable(tool);
        EXPECT_EQ(p.exitCode(), 0) << qPrintable(tool) << ": " << p.readAllStandardError().constData();
        return QString::fromUtf8(p.readAllStandardOutput());
    }
};

}  // namespace

TEST_F(DeviceFarmTool, ListsDescribesAndBrowsesTheFarmsDevices)
{
    kestrap::sim::SimDeviceSpec phone;
    phone.name = QStringLiteral("Station Phone");
    phone.apps = {{QStringLiteral("com.example.notes"), QStringLiteral("Notes")},
        {QStringLiteral("com.example.maps"), QStringLiteral("Maps")}};
    const QString first = farm.addDevice(phone);
    const QString second = farm.addPhone();
    const QString unplugged = farm.addPhone();
    QString error;
    ASSERT_TRUE(kestrap::sim::setPlugged(farm.path(), unplugged, false, &error));
    serve();

    const QStringList ids = run(QStringLiteral("idevice_id"), {QStringLiteral("-l")}).split('\n', Qt::SkipEmptyParts);
    EXPECT_EQ(QSet<QString>(ids.begin(), ids.end()), (QSet<QString> {first, second}));

    EXPECT_EQ(run(QStringLiteral("ideviceinfo"), {"-u", first, "-k", "DeviceName"}).trimmed(), "Station Phone");
    EXPECT_EQ(run(QStringLiteral("ideviceinfo"), {"-u", second, "-k", "ProductType"}).trimmed(), "iPhone10,3");

    const QString apps = run(QStringLiteral("ideviceinstaller"), {"-u", first, "-l"});
    EXPECT_TRUE(apps.contains(QStringLiteral("com.example.notes, \"Notes\""))) << qPrintable(apps);
    EXPECT_TRUE(apps.contains(QStringLiteral("com.example.maps, \"Maps\""))) << qPrintable(apps);
}

TEST_F(DeviceFarmTool, ADeviceThatDoesNotTrustTheHostGivesNoSession)
{
    kestrap::sim::SimDeviceSpec phone;
    phone.faults.refusePairing = true;
    const QString udid = farm.addDevice(phone);
    serve();
    // Listed, since usbmuxd sees it; but lockdown refuses it, as a device that says no.
    EXPECT_TRUE(run(QStringLiteral("idevice_id"), {QStringLiteral("-l")}).contains(udid));
    QProcess p;
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("USBMUXD_SOCKET_ADDRESS"), emulator->address());
    p.setProcessEnvironment(env);
    p.start(QStringLiteral("ideviceinfo"), {"-u", udid, "-k", "DeviceName"});
    ASSERT_TRUE(p.waitForFinished(20000));
    EXPECT_NE(p.exitCode(), 0);
}

TEST_F(DeviceFarmTool, ServesSixtyFourDevicesAtOnce)
{
    QStringList udids;
    for (int i = 0; i < 64; ++i)
        udids << farm.addPhone({{QStringLiteral("com.example.app"), QStringLiteral("App")}});
    serve();
    const QStringList ids = run(QStringLiteral("idevice_id"), {QStringLiteral("-l")}).split('\n', Qt::SkipEmptyParts);
    EXPECT_EQ(ids.size(), 64);
    // Kestrap's own backend opens all of them, each on a thread of its own.
    QProcess cli;
    auto env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("KESTRAP_FARM"));
    env.insert(QStringLiteral("USBMUXD_SOCKET_ADDRESS"), emulator->address());
    cli.setProcessEnvironment(env);
    cli.start(QString::fromLocal8Bit(qgetenv("KESTRAP_CLI")), {QStringLiteral("--verbose"), QStringLiteral("devices")});
    ASSERT_TRUE(cli.waitForFinished(60000));
    const QString out = QString::fromUtf8(cli.readAllStandardOutput());
    const QString err = QString::fromUtf8(cli.readAllStandardError());
    ASSERT_EQ(cli.exitCode(), 0) << qPrintable(err);
    QStringList missing;
    for (const QString& udid : udids)
        if (!out.contains(udid + QStringLiteral("  iPhone")))
            missing << udid;
    EXPECT_TRUE(missing.isEmpty()) << missing.size() << " missing; printed:\n"
                                   << qPrintable(out) << "\nerrors:\n"
                                   << qPrintable(err);
}

TEST_F(DeviceFarmTool, IfuseMountsAContainerToReadCreateWriteAndRename)
{
    const QString ifuse = QStandardPaths::findExecutable(QStringLiteral("ifuse"));
    QString fusermount = QStandardPaths::findExecutable(QStringLiteral("fusermount"));
    if (fusermount.isEmpty())  // ifuse takes FUSE 3 as well
        fusermount = QStandardPaths::findExecutable(QStringLiteral("fusermount3"));
    if (ifuse.isEmpty() || fusermount.isEmpty() || !QFileInfo::exists(QStringLiteral("/dev/fuse")))
        GTEST_SKIP() << "needs ifuse, fusermount and /dev/fuse (scripts/setup installs ifuse)";
    const QString app = QStringLiteral("com.example.app");
    const QString udid = farm.addPhone({{app, QStringLiteral("App")}});
    const QString documents = farm.container(udid, app) + QStringLiteral("/Documents");
    ASSERT_TRUE(QDir().mkpath(documents));
    QFile there(documents + QStringLiteral("/there.txt"));
    ASSERT_TRUE(there.open(QIODevice::WriteOnly));
    there.write("from the device");
    there.close();
    serve();

    QTemporaryDir mount;
    QProcess mounting;
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("USBMUXD_SOCKET_ADDRESS"), emulator->address());
    mounting.setProcessEnvironment(env);
    mounting.start(ifuse, {mount.path(), QStringLiteral("-u"), udid, QStringLiteral("--container"), app});
    ASSERT_TRUE(mounting.waitForFinished(20000));
    if (mounting.exitCode() != 0)
        GTEST_SKIP() << "this machine does not let ifuse mount: " << mounting.readAllStandardError().constData();
    const auto unmount = qScopeGuard([&] { QProcess::execute(fusermount, {QStringLiteral("-u"), mount.path()}); });
    const QString mounted = mount.path() + QStringLiteral("/Documents");

    QFile read(mounted + QStringLiteral("/there.txt"));
    ASSERT_TRUE(read.open(QIODevice::ReadOnly));
    EXPECT_EQ(read.readAll(), "from the device");
    read.close();
    // Made as cp makes a file: without O_TRUNC, which ifuse asks AFC for as "r+".
    const QByteArray madePath = QFile::encodeName(mounted + QStringLiteral("/made.txt"));
    const int fd = ::open(madePath.constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    ASSERT_GE(fd, 0) << strerror(errno);
    EXPECT_EQ(::write(fd, "made here", 9), 9);
    ::close(fd);
    QFile made(madePath);
    ASSERT_TRUE(made.open(QIODevice::Append));
    EXPECT_EQ(made.write(", then more"), 11);
    made.close();
    EXPECT_TRUE(QFile::rename(mounted + QStringLiteral("/made.txt"), mounted + QStringLiteral("/renamed.txt")));

    QFile onDevice(documents + QStringLiteral("/renamed.txt"));
    ASSERT_TRUE(onDevice.open(QIODevice::ReadOnly));
    EXPECT_EQ(onDevice.readAll(), "made here, then more");
    EXPECT_FALSE(QFileInfo::exists(documents + QStringLiteral("/made.txt")));
}
