// kestrap-cli run through the libimobiledevice backend, against the device emulator: the
// whole engine on the wire protocols a real device speaks.

#include "support/CliRun.h"
#include "support/DeviceEmulator.h"
#include "support/TempTree.h"

#include "device/ios/sim/SimFarm.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <gtest/gtest.h>

using namespace kestrap;

namespace {

class ImdRun : public ::testing::Test {
protected:
    TempTree tree;
    QString farm;
    QString jcf;
    std::unique_ptr<DeviceEmulator> emulator;
    std::map<QString, QByteArray> payload;  // relative path under the job's folder -> bytes
    QByteArray traces;  // the last run's stderr, with the device layer's traces

    void SetUp() override
    {
        farm = tree.folder(QStringLiteral("farm"));
        jcf = tree.path(QStringLiteral("job.jcf"));
        // Random bytes: a file delivered out of order or cut short cannot compare equal.
        for (const auto& [name, size] : std::vector<std::pair<QString, int>> {
                 {"Photos/a.jpg", 3000}, {"Photos/2012/b.jpg", 7 * 1024 * 1024 + 17}, {"Photos/2012/empty.txt", 0}}) {
            QByteArray bytes(size, Qt::Uninitialized);
            QRandomGenerator rng {quint32(size)};
            for (char& c : bytes)
                c = char(rng.generate());
            writeFileBytes(tree.file(QStringLiteral("src/") + name, 0), bytes);
            payload[name] = bytes;
        }
        ASSERT_EQ(runCli({"job", "create", jcf, "--app-id", "com.example.app", "--folder", "Documents",
                             tree.path(QStringLiteral("src/Photos"))})
                      .code,
            0);
    }

    void TearDown() override
    {
        if (HasFailure() && !traces.isEmpty())
            ADD_FAILURE() << "the run said:\n" << traces.constData();
        if (HasFailure() && emulator)
            ADD_FAILURE() << "the emulator said:\n" << emulator->stop().constData();
    }

    QStringList addDevices(int count, const QString& app, const sim::SimFaults& faults = {})
    {
        QStringList udids;
        for (int i = 0; i < count; ++i) {
            sim::SimDeviceSpec model;
            model.name = QStringLiteral("Phone %1").arg(sim::deviceIds(farm).size() + 1);
            model.apps = {{app, QStringLiteral("App")}};
            model.faults = faults;
            QString udid;
            QString error;
            EXPECT_TRUE(sim::createDevice(farm, model, &error, &udid)) << qPrintable(error);
            udids << udid;
        }
        return udids;
    }

    void serve()
    {
        if (!emulator)
            emulator = std::make_unique<DeviceEmulator>(farm);
        ASSERT_TRUE(emulator->start());
    }

    QMap<QString, QString> env() const
    {
        return {{QStringLiteral("KESTRAP_LOG_DIR"), tree.path(QStringLiteral("logs"))},
            {QStringLiteral("KESTRAP_SETTINGS"), tree.path(QStringLiteral("settings.ini"))},
            {QStringLiteral("USBMUXD_SOCKET_ADDRESS"), emulator->address()}};
    }

    // The run's summary: status text by device udid; with `failed`, its failed files too.
    std::map<QString, QString> run(int* code, std::map<QString, int>* failed = nullptr)
    {
        const CliResult r = runCli({"--verbose", "run", jcf, "--progress-pause", "0", "--json"}, env());
        *code = r.code;
        traces = r.err;
        // 0 and 1 are a run's answers; anything else is a crash or a sanitizer's report.
        if (r.code != 0 && r.code != 1)
            ADD_FAILURE() << "exit code " << r.code << ":\n" << r.err.constData();
        std::map<QString, QString> status;
        for (const auto& d : QJsonDocument::fromJson(r.out).object()["devices"].toArray()) {
            status[d.toObject()["uid"].toString()] = d.toObject()["statusText"].toString();
            if (failed)
                (*failed)[d.toObject()["uid"].toString()] = d.toObject()["files_failed"].toInt();
        }
        return status;
    }

    // kestrap-cli run of the job in the background, with the device layer's traces, reaching
    // usbmuxd through the emulator, started or not.
    void startRun(QProcess& run, const QStringList& options)
    {
        auto e = QProcessEnvironment::systemEnvironment();
        e.remove(QStringLiteral("KESTRAP_FARM"));
        const auto extra = env();
        for (auto it = extra.cbegin(); it != extra.cend(); ++it)
            e.insert(it.key(), it.value());
        run.setProcessEnvironment(e);
        run.start(QString::fromLocal8Bit(qgetenv("KESTRAP_CLI")),
            QStringList {"run", jcf, "--progress-pause", "0", "--json", "--verbose"} + options);
    }

    // Two devices that write at `msPerMiB`, and kestrap-cli run on them in the background with
    // the device layer's traces (--verbose) saying which devices were lost. Answers their udids
    // once both are in the middle of the large file (written under a temporary name until it
    // is whole), or none, the run then ended.
    QStringList runUntilCopyingTheLargeFile(QProcess& run, int msPerMiB)
    {
        sim::SimFaults slow;
        slow.writeDelayMsPerMiB = msPerMiB;
        const QStringList udids = addDevices(2, QStringLiteral("com.example.app"), slow);
        serve();
        startRun(run, {});
        const auto copying = [&] {
            for (const QString& udid : udids) {
                const QDir folder(
                    QStringLiteral("%1/%2/Containers/com.example.app/Documents/Photos/2012").arg(farm, udid));
                if (folder.entryList({QStringLiteral(".b.jpg.*.kestrap-part")}, QDir::Files | QDir::Hidden).isEmpty())
                    return false;
            }
            return true;
        };
        const QDeadlineTimer deadline(30000);
        while (!copying() && !deadline.hasExpired())
            QThread::msleep(20);
        if (copying())
            return udids;
        // Ended, so that the caller can show what it said.
        run.kill();
        run.waitForFinished();
        return {};
    }

    // Every file of the job, byte for byte, in the device's container.
    bool delivered(const QString& udid) const
    {
        const QString documents = QStringLiteral("%1/%2/Containers/com.example.app/Documents/").arg(farm, udid);
        for (const auto& [name, bytes] : payload)
            if (readFileBytes(documents + name) != bytes || !QFileInfo::exists(documents + name))
                return false;
        return true;
    }
};

}  // namespace

TEST_F(ImdRun, DeliversEveryByteToEachDeviceAndFailsTheOneWithoutTheApp)
{
    const QStringList served = addDevices(3, QStringLiteral("com.example.app"));
    const QStringList other = addDevices(1, QStringLiteral("com.example.other"));
    serve();
    int code = -1;
    const auto status = run(&code);
    EXPECT_EQ(code, 1);
    ASSERT_EQ(status.size(), 4u);
    for (const QString& udid : served) {
        EXPECT_EQ(status.at(udid), "Finished");
        EXPECT_TRUE(delivered(udid)) << qPrintable(udid);
    }
    EXPECT_EQ(status.at(other.first()), "Failed");
    // Nothing went: a run that ends does not say its devices did.
    EXPECT_FALSE(traces.contains(" gone: "));
}

TEST_F(ImdRun, AnUnpluggedDeviceFailsAndTheOthersFinish)
{
    const QStringList steady = addDevices(2, QStringLiteral("com.example.app"));
    sim::SimFaults faults;
    faults.unplugAfterBytes = 2 * 1024 * 1024;
    const QStringList pulled = addDevices(1, QStringLiteral("com.example.app"), faults);
    serve();
    int code = -1;
    std::map<QString, int> failed;
    const auto status = run(&code, &failed);
    EXPECT_EQ(code, 1);
    EXPECT_EQ(status.at(pulled.first()), "Failed");
    EXPECT_GE(failed.at(pulled.first()), 1);
    EXPECT_FALSE(delivered(pulled.first()));
    for (const QString& udid : steady) {
        EXPECT_EQ(status.at(udid), "Finished");
        EXPECT_TRUE(delivered(udid));
    }
}

// A cable pulled while TLS is being set up: the run neither hangs nor counts the device done,
// and serves it again once it is back.
TEST_F(ImdRun, ADevicePulledOutAmidASessionHandshakeIsServedAgainOnceBack)
{
    const QString steady = addDevices(1, QStringLiteral("com.example.app")).first();
    const QString pulled = addDevices(1, QStringLiteral("com.example.app")).first();
    ASSERT_TRUE(sim::setPlugged(farm, pulled, false, nullptr));
    serve();
    // Whether usbmuxd lists the device: asked of it alone, so that no session is opened.
    const auto listed = [&] {
        QProcess p;
        auto e = QProcessEnvironment::systemEnvironment();
        e.insert(QStringLiteral("USBMUXD_SOCKET_ADDRESS"), emulator->address());
        p.setProcessEnvironment(e);
        p.start(QStringLiteral("idevice_id"), {QStringLiteral("-l")});
        return p.waitForFinished(5000) && p.readAllStandardOutput().contains(pulled.toLatin1());
    };
    const auto await = [&](bool wanted) {
        const QDeadlineTimer deadline(10000);
        while (listed() != wanted && !deadline.hasExpired())
            QThread::msleep(50);
        ASSERT_EQ(listed(), wanted);
    };
    // Plugs the device in with these faults, which a device takes up as it is plugged in.
    const auto plugIn = [&](const sim::SimFaults& faults) {
        const QString folder = farm + QLatin1Char('/') + pulled;
        auto plist = sim::readDevicePlist(folder);
        ASSERT_TRUE(plist);
        plist->insert(QStringLiteral("Faults"), faults.toPlist());
        ASSERT_TRUE(sim::writeDevicePlist(folder, *plist));
        ASSERT_TRUE(sim::setPlugged(farm, pulled, true, nullptr));
        await(true);
    };
    // Its one session, which later connections share, is the one that finds out what it is;
    // twice, so that a device pulled out a second time is no different.
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        for (const QString& udid : {steady, pulled})
            QDir(QStringLiteral("%1/%2/Containers/com.example.app/Documents/Photos").arg(farm, udid))
                .removeRecursively();
        sim::SimFaults faults;
        faults.unplugAtHandshake = 1;
        plugIn(faults);
        int code = -1;
        auto status = run(&code);
        EXPECT_TRUE(delivered(steady));
        EXPECT_FALSE(delivered(pulled));
        EXPECT_NE(status.count(pulled) ? status.at(pulled) : QString(), QStringLiteral("Finished"));
        ASSERT_FALSE(sim::isPlugged(farm, pulled));
        await(false);

        plugIn({});
        status = run(&code);
        EXPECT_EQ(code, 0);
        EXPECT_EQ(status.at(pulled), QStringLiteral("Finished"));
        EXPECT_TRUE(delivered(pulled));
        ASSERT_TRUE(sim::setPlugged(farm, pulled, false, nullptr));
        await(false);
    }
}

TEST_F(ImdRun, ADeviceThatRefusesPairingIsNeverServed)
{
    const QStringList trusted = addDevices(1, QStringLiteral("com.example.app"));
    sim::SimFaults faults;
    faults.refusePairing = true;
    const QStringList refusing = addDevices(1, QStringLiteral("com.example.app"), faults);
    serve();
    int code = -1;
    const auto status = run(&code);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(status.size(), 1u);
    EXPECT_EQ(status.count(refusing.first()), 0u);
    EXPECT_TRUE(delivered(trusted.first()));

    const CliResult devices = runCli({"devices"}, env());
    EXPECT_EQ(devices.code, 0) << devices.err.constData();
    EXPECT_TRUE(devices.out.contains(trusted.first().toLatin1()));
    EXPECT_TRUE(devices.out.contains(QStringLiteral("%1  waiting for trust").arg(refusing.first()).toLatin1()))
        << devices.out.constData();
}

TEST_F(ImdRun, AnEmulatorKilledAndRestartedMidRunEndsTheRunWithTheLostDevicesReported)
{
    QProcess run;
    // Killed while both devices are in the middle of the large file (7 s each at this rate).
    const QStringList udids = runUntilCopyingTheLargeFile(run, 1000);
    ASSERT_FALSE(udids.isEmpty()) << run.readAllStandardError().constData();
    emulator->kill();
    QThread::msleep(300);
    serve();
    ASSERT_TRUE(run.waitForFinished(60000));
    EXPECT_EQ(run.exitStatus(), QProcess::NormalExit);
    // Both devices were lost, and said so.
    EXPECT_EQ(run.readAllStandardError().count("phone disconnected"), 2);
    // They came back as new devices: a device announced again before the run ended is a row
    // of its own beside the lost one, left idle when the job had ended already. One that the
    // job took up again must have got all of it.
    const auto devices = QJsonDocument::fromJson(run.readAllStandardOutput()).object()["devices"].toArray();
    std::map<QString, int> rows;
    bool allFinished = true;
    for (const auto& d : devices) {
        const QString udid = d.toObject()["uid"].toString();
        const QString status = d.toObject()["statusText"].toString();
        const bool cameBack = ++rows[udid] > 1;
        allFinished = allFinished && status == QLatin1String("Finished");
        if (status == QLatin1String("Finished")) {
            EXPECT_TRUE(delivered(udid));
        } else if (!cameBack || status != QLatin1String("Idle")) {
            EXPECT_EQ(status, "Failed");
        }
    }
    EXPECT_EQ(rows.size(), 2u);
    for (const auto& [udid, count] : rows)
        EXPECT_LE(count, 2) << qPrintable(udid);
    EXPECT_EQ(run.exitCode() == 0, allFinished);
}

TEST_F(ImdRun, AUsbmuxdThatMissesAFewListRequestsLosesNoDevice)
{
    QProcess run;
    const QStringList udids = runUntilCopyingTheLargeFile(run, 400);
    ASSERT_FALSE(udids.isEmpty()) << run.readAllStandardError().constData();
    // For a second no new client reaches usbmuxd (as when it is too busy to accept); the
    // links already open stay.
    const QString away = emulator->socketPath() + QStringLiteral(".away");
    ASSERT_TRUE(QFile::rename(emulator->socketPath(), away));
    QThread::msleep(1000);
    ASSERT_TRUE(QFile::rename(away, emulator->socketPath()));
    ASSERT_TRUE(run.waitForFinished(60000));
    EXPECT_EQ(run.exitCode(), 0);
    EXPECT_EQ(run.readAllStandardError().count("phone disconnected"), 0);
    for (const QString& udid : udids)
        EXPECT_TRUE(delivered(udid)) << qPrintable(udid);
}

TEST_F(ImdRun, AStationStartedBeforeUsbmuxdServesTheDevicesOnceItRuns)
{
    const QStringList udids = addDevices(2, QStringLiteral("com.example.app"));
    // No usbmuxd yet: the system starts it when the first device is plugged in.
    emulator = std::make_unique<DeviceEmulator>(farm);
    QProcess station;
    startRun(station, {"--station"});
    station.setReadChannel(QProcess::StandardError);
    const QDeadlineTimer told(10000);
    while (!traces.contains("usbmuxd is not running yet") && !told.hasExpired()
        && station.state() != QProcess::NotRunning) {
        station.waitForReadyRead(100);
        traces += station.readAllStandardError();
    }
    ASSERT_EQ(station.state(), QProcess::Running);
    ASSERT_TRUE(emulator->start());
    const QDeadlineTimer deadline(30000);
    while (!(delivered(udids[0]) && delivered(udids[1])) && !deadline.hasExpired())
        QThread::msleep(50);
    station.terminate();
    ASSERT_TRUE(station.waitForFinished(30000));
    traces += station.readAllStandardError();
    EXPECT_EQ(station.exitCode(), 0);
    for (const QString& udid : udids)
        EXPECT_TRUE(delivered(udid)) << qPrintable(udid);
}

TEST_F(ImdRun, WithoutAFarmOrAUsbmuxdToReachItSaysSoAndFails)
{
    const QMap<QString, QString> nowhere {
        {QStringLiteral("USBMUXD_SOCKET_ADDRESS"), QStringLiteral("UNIX:") + tree.path(QStringLiteral("no-usbmuxd"))}};
    const CliResult devices = runCli({"devices"}, nowhere);
    EXPECT_EQ(devices.code, 1);
    EXPECT_TRUE(devices.err.contains("usbmuxd is not reachable")) << devices.err.constData();
    EXPECT_EQ(devices.err.count('\n'), 1);
    const CliResult run = runCli({"run", jcf}, nowhere);
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(run.err.contains("usbmuxd is not reachable")) << run.err.constData();
}

TEST_F(ImdRun, ARunWithSkipUnchangedSendsOnlyWhatChangedAndReplacesItWhole)
{
    const QStringList udids = addDevices(2, QStringLiteral("com.example.app"));
    serve();
    int code = -1;
    run(&code);
    ASSERT_EQ(code, 0);
    // One file rewritten with other bytes and another size; its old copy is replaced on the
    // device, the others are left alone, through the modification times the first run set.
    const QByteArray changed(5000, 'c');
    writeFileBytes(tree.path(QStringLiteral("src/Photos/a.jpg")), changed);
    payload["Photos/a.jpg"] = changed;
    const CliResult again = runCli({"run", jcf, "--skip-unchanged", "--verify", "--connections", "2", "--json"}, env());
    traces = again.err;
    EXPECT_EQ(again.code, 0);
    const auto devices = QJsonDocument::fromJson(again.out).object()["devices"].toArray();
    ASSERT_EQ(devices.size(), 2);
    for (const auto& d : devices) {
        EXPECT_EQ(d.toObject()["statusText"].toString(), "Finished");
        EXPECT_EQ(d.toObject()["files_sent"].toInt(), 1);
        EXPECT_EQ(d.toObject()["files_skipped"].toInt(), 2);
    }
    for (const QString& udid : udids) {
        EXPECT_TRUE(delivered(udid)) << qPrintable(udid);
        const QDir folder(QStringLiteral("%1/%2/Containers/com.example.app/Documents/Photos").arg(farm, udid));
        EXPECT_TRUE(folder.entryList({QStringLiteral("*.kestrap-part")}, QDir::Files | QDir::Hidden).isEmpty());
    }
}

// --- pairing and trust: devices that are not ready join once their user answers ---------

TEST_F(ImdRun, DevicesInJsonSayWhoIsReadyAndWhatTheOthersWaitFor)
{
    const QStringList udids = addDevices(4, QStringLiteral("com.example.app"));
    ASSERT_TRUE(sim::setTrustAnswer(farm, udids[1], sim::TrustAnswer::Pending, nullptr));
    ASSERT_TRUE(sim::setTrustAnswer(farm, udids[2], sim::TrustAnswer::Denied, nullptr));
    ASSERT_TRUE(sim::setTrustAnswer(farm, udids[3], sim::TrustAnswer::Pending, nullptr));
    ASSERT_TRUE(sim::setPasscodeLocked(farm, udids[3], true, nullptr));
    serve();
    const CliResult r = runCli({"devices", "--json"}, env());
    ASSERT_EQ(r.code, 0) << r.err.constData();
    std::map<QString, QJsonObject> byUid;
    for (const auto& d : QJsonDocument::fromJson(r.out).array())
        byUid[d.toObject()["uid"].toString()] = d.toObject();
    ASSERT_EQ(byUid.size(), 4u) << r.out.constData();
    const QJsonObject ready = byUid[udids[0]];
    EXPECT_EQ(ready["state"].toString(), "ready");
    EXPECT_EQ(ready["productType"].toString(), "iPhone10,3");
    EXPECT_EQ(ready["model"].toString(), "iPhone X");
    EXPECT_EQ(ready["osVersion"].toString(), "12.4");
    EXPECT_EQ(ready["serialNumber"].toString().size(), 12);
    EXPECT_GE(ready["batteryLevel"].toInt(), 35);
    EXPECT_TRUE(ready["hubPlace"].isNull());  // this computer's sysfs has no bus 101
    EXPECT_EQ(ready["apps"].toArray().first().toObject()["version"].toString(), "1.0");
    EXPECT_EQ(byUid[udids[1]]["state"].toString(), "awaitingTrust");
    EXPECT_EQ(byUid[udids[1]]["name"].toString(), "Phone 2");
    EXPECT_EQ(byUid[udids[2]]["state"].toString(), "trustDenied");
    EXPECT_EQ(byUid[udids[3]]["state"].toString(), "passcodeLocked");
    EXPECT_FALSE(byUid[udids[1]].contains("model"));
}

TEST_F(ImdRun, AStationServesADeviceOnceItsUserTapsTrustOrUnlocksIt)
{
    const QStringList udids = addDevices(3, QStringLiteral("com.example.app"));
    const QString& waiting = udids[1];
    const QString& locked = udids[2];
    ASSERT_TRUE(sim::setTrustAnswer(farm, waiting, sim::TrustAnswer::Pending, nullptr));
    ASSERT_TRUE(sim::setTrustAnswer(farm, locked, sim::TrustAnswer::Pending, nullptr));
    ASSERT_TRUE(sim::setPasscodeLocked(farm, locked, true, nullptr));
    serve();
    // What an operator is told about each while the station runs.
    const CliResult listed = runCli({"devices"}, env());
    EXPECT_TRUE(listed.out.contains((waiting + "  waiting for trust").toUtf8())) << listed.out.constData();
    EXPECT_TRUE(listed.out.contains((locked + "  locked: enter the passcode").toUtf8())) << listed.out.constData();

    QProcess station;
    startRun(station, {"--station"});
    const QDeadlineTimer first(30000);
    while (!delivered(udids[0]) && !first.hasExpired())
        QThread::msleep(50);
    ASSERT_TRUE(delivered(udids[0]));
    EXPECT_FALSE(delivered(waiting));
    EXPECT_FALSE(delivered(locked));
    // The users answer; nobody tells the station.
    ASSERT_TRUE(sim::setTrustAnswer(farm, waiting, sim::TrustAnswer::Trusted, nullptr));
    ASSERT_TRUE(sim::setPasscodeLocked(farm, locked, false, nullptr));
    ASSERT_TRUE(sim::setTrustAnswer(farm, locked, sim::TrustAnswer::Trusted, nullptr));
    const QDeadlineTimer deadline(30000);
    while (!(delivered(waiting) && delivered(locked)) && !deadline.hasExpired())
        QThread::msleep(50);
    station.terminate();
    ASSERT_TRUE(station.waitForFinished(30000));
    traces += station.readAllStandardError();
    EXPECT_EQ(station.exitCode(), 0);
    EXPECT_TRUE(delivered(waiting));
    EXPECT_TRUE(delivered(locked));
}
