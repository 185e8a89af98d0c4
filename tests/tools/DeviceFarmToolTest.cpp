// Debian's libimobiledevice tools against kestrap-devicefarm: any libimobiledevice program
// must see the farm's devices as plugged-in ones.

#include "support/DeviceEmulator.h"
#include "support/TestFarm.h"

#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <gtest/gtest.h>

namespace {

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

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

    struct Outcome {
        int code = -1;
        QString said;  // standard output and error
    };

    // What the tool said and how it ended, whatever that was.
    Outcome attempt(const QString& tool, const QStringList& args)
    {
        QProcess p;
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("USBMUXD_SOCKET_ADDRESS"), emulator->address());
        p.setProcessEnvironment(env);
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(tool, args);
        EXPECT_TRUE(p.waitForFinished(20000)) << qPrintable(tool);
        return {p.exitCode(), QString::fromUtf8(p.readAll())};
    }

    // The tool's output; fails the test when it does not end well.
    QString run(const QString& tool, const QStringList& args)
    {
        const Outcome o = attempt(tool, args);
        EXPECT_EQ(o.code, 0) << qPrintable(tool) << ": " << qPrintable(o.said);
        return o.said;
    }

    // A simulated device whose user answers as device.plist says.
    QString addAnswering(const QString& trust, bool locked = false)
    {
        const QString udid = farm.addPhone({{QStringLiteral("com.example.app"), QStringLiteral("App")}});
        const QString folder = QDir(farm.path()).filePath(udid);
        auto plist = kestrap::sim::readDevicePlist(folder).value();
        plist.insert(kestrap::sim::kKeyTrust, trust);
        if (locked)
            plist.insert(kestrap::sim::kKeyPasscodeLocked, true);
        kestrap::sim::writeDevicePlist(folder, plist);
        return udid;
    }

    bool sim(const char* action, const QString& udid) { return runCliCode({"sim", action, farm.path(), udid}) == 0; }

    static int runCliCode(const QStringList& args)
    {
        return QProcess::execute(QString::fromLocal8Bit(qgetenv("KESTRAP_CLI")), args);
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

// --- pairing and trust: idevicepair against devices whose users answer ---------------------

TEST_F(DeviceFarmTool, IdevicepairPairsOnlyOnceTheUserTrustsAndSessionsAreEncrypted)
{
    if (QStandardPaths::findExecutable(QStringLiteral("idevicepair")).isEmpty())
        GTEST_SKIP() << "idevicepair is not installed (scripts/setup installs it)";
    const QString idevicepair = QStringLiteral("idevicepair");
    const QString pending = addAnswering(QStringLiteral("pending"));
    const QString denied = addAnswering(QStringLiteral("denied"));
    const QString locked = addAnswering(QStringLiteral("pending"), true);
    serve();

    // Nobody has tapped "Trust" yet: no session, however the host asks.
    Outcome o = attempt(idevicepair, {"-u", pending, "pair"});
    EXPECT_NE(o.code, 0);
    EXPECT_TRUE(o.said.contains(QStringLiteral("accept the trust dialog"))) << qPrintable(o.said);
    EXPECT_NE(attempt(QStringLiteral("ideviceinfo"), {"-u", pending, "-k", "DeviceName"}).code, 0);
    ASSERT_TRUE(sim("trust", pending));
    EXPECT_TRUE(run(idevicepair, {"-u", pending, "pair"}).contains(QStringLiteral("SUCCESS: Paired")));
    EXPECT_TRUE(run(idevicepair, {"-u", pending, "validate"}).contains(QStringLiteral("SUCCESS: Validated")));
    // A session with the new pairing: TLS with the record's certificates, or no answer at all.
    EXPECT_EQ(run(QStringLiteral("ideviceinfo"), {"-u", pending, "-k", "DeviceName"}).trimmed(), "Device 1");
    EXPECT_TRUE(run(idevicepair, {"-u", pending, "unpair"}).contains(QStringLiteral("SUCCESS: Unpaired")));
    o = attempt(idevicepair, {"-u", pending, "validate"});
    EXPECT_NE(o.code, 0) << "the device forgot this computer; it must ask its user again";

    // "Don't Trust" holds until the device is plugged in again; then it asks again.
    o = attempt(idevicepair, {"-u", denied, "pair"});
    EXPECT_NE(o.code, 0);
    EXPECT_TRUE(o.said.contains(QStringLiteral("denied the trust dialog"))) << qPrintable(o.said);
    ASSERT_TRUE(sim("unplug", denied));
    ASSERT_TRUE(TestFarm::waitFor([&] { return !run(QStringLiteral("idevice_id"), {"-l"}).contains(denied); }, 5000));
    ASSERT_TRUE(sim("plug", denied));
    ASSERT_TRUE(TestFarm::waitFor([&] { return run(QStringLiteral("idevice_id"), {"-l"}).contains(denied); }, 5000));
    o = attempt(idevicepair, {"-u", denied, "pair"});
    EXPECT_TRUE(o.said.contains(QStringLiteral("accept the trust dialog"))) << qPrintable(o.said);

    // Locked with a passcode: no pairing until it is unlocked, whatever its user would answer.
    o = attempt(idevicepair, {"-u", locked, "pair"});
    EXPECT_NE(o.code, 0);
    EXPECT_TRUE(o.said.contains(QStringLiteral("passcode is set"))) << qPrintable(o.said);
    ASSERT_TRUE(sim("unlock", locked));
    ASSERT_TRUE(sim("trust", locked));
    EXPECT_TRUE(run(idevicepair, {"-u", locked, "pair"}).contains(QStringLiteral("SUCCESS: Paired")));
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

// ifuse's mount of an app's files over house arrest, or nothing when it cannot mount here.
struct IfuseMount {
    QTemporaryDir dir;
    QString fusermount;
    bool mounted = false;
    QString said;
    ~IfuseMount()
    {
        if (mounted)
            QProcess::execute(fusermount, {QStringLiteral("-u"), dir.path()});
    }
};

TEST_F(DeviceFarmTool, IfuseMountsADevelopmentAppsContainerAndAnAppStoreAppsDocumentsOnly)
{
    const QString ifuse = QStandardPaths::findExecutable(QStringLiteral("ifuse"));
    QString fusermount = QStandardPaths::findExecutable(QStringLiteral("fusermount"));
    if (fusermount.isEmpty())  // ifuse takes FUSE 3 as well
        fusermount = QStandardPaths::findExecutable(QStringLiteral("fusermount3"));
    if (ifuse.isEmpty() || fusermount.isEmpty() || !QFileInfo::exists(QStringLiteral("/dev/fuse")))
        GTEST_SKIP() << "needs ifuse, fusermount and /dev/fuse (scripts/setup installs ifuse)";
    const QString app = QStringLiteral("com.example.app");
    const QString udid = farm.addPhone({{app, QStringLiteral("App"), true}});
    const QString store = farm.addPhone({{app, QStringLiteral("App")}});
    const QString documents = farm.container(udid, app) + QStringLiteral("/Documents");
    ASSERT_TRUE(QDir().mkpath(documents));
    QFile there(documents + QStringLiteral("/there.txt"));
    ASSERT_TRUE(there.open(QIODevice::WriteOnly));
    there.write("from the device");
    there.close();
    serve();
    const auto mount = [&](IfuseMount& m, const QString& device, const char* mode) {
        m.fusermount = fusermount;
        QProcess mounting;
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("USBMUXD_SOCKET_ADDRESS"), emulator->address());
        mounting.setProcessEnvironment(env);
        mounting.setProcessChannelMode(QProcess::MergedChannels);
        mounting.start(ifuse, {m.dir.path(), QStringLiteral("-u"), device, QString::fromLatin1(mode), app});
        EXPECT_TRUE(mounting.waitForFinished(20000));
        m.mounted = mounting.exitCode() == 0;
        m.said = QString::fromUtf8(mounting.readAll());
    };

    // An App Store app: its container is refused, its Documents folder is what a mount shows.
    IfuseMount refused;
    mount(refused, store, "--container");
    EXPECT_FALSE(refused.mounted);
    EXPECT_TRUE(refused.said.contains(QStringLiteral("InstallationLookupFailed"))) << qPrintable(refused.said);
    IfuseMount shared;
    mount(shared, store, "--documents");
    if (!shared.mounted)
        GTEST_SKIP() << "this machine does not let ifuse mount: " << qPrintable(shared.said);
    QFile sent(shared.dir.path() + QStringLiteral("/sent.txt"));
    ASSERT_TRUE(sent.open(QIODevice::WriteOnly));
    EXPECT_EQ(sent.write("into Documents"), 14);
    sent.close();
    EXPECT_EQ(readFile(farm.container(store, app) + QStringLiteral("/Documents/sent.txt")), "into Documents");

    // A development app: the whole container.
    IfuseMount whole;
    mount(whole, udid, "--container");
    ASSERT_TRUE(whole.mounted) << qPrintable(whole.said);
    QFile atRoot(whole.dir.path() + QStringLiteral("/at-root.txt"));
    ASSERT_TRUE(atRoot.open(QIODevice::WriteOnly));
    EXPECT_EQ(atRoot.write("beside Documents"), 16);
    atRoot.close();
    EXPECT_EQ(readFile(farm.container(udid, app) + QStringLiteral("/at-root.txt")), "beside Documents");
    const QString mounted = whole.dir.path() + QStringLiteral("/Documents");

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
