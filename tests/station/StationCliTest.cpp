// kestrap-cli run --station --listen over a device farm: the page, the JSON and the metrics
// as a technician's browser and Prometheus get them, and the run's end never held by them.

#include "station/HttpClient.h"
#include "support/CliRun.h"
#include "support/TempTree.h"

#include "device/ios/sim/SimFarm.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QThread>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

const QString kHostileName
    = QStringLiteral("<img src=x onerror=\"document.title='owned'\"><b id=\"injected\">Evil</b>");

bool waitUntil(const std::function<bool()>& done, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms)
            return false;
        QThread::msleep(50);
    }
    return true;
}

class StationCli : public ::testing::Test {
protected:
    TempTree tree;
    QString farm;
    QString jcf;
    QMap<QString, QString> env;
    QProcess station;
    quint16 port = 0;

    void SetUp() override
    {
        farm = tree.path(QStringLiteral("farm"));
        jcf = tree.path(QStringLiteral("job.jcf"));
        env = {{QStringLiteral("KESTRAP_LOG_DIR"), tree.path(QStringLiteral("logs"))},
            {QStringLiteral("KESTRAP_SETTINGS"), tree.path(QStringLiteral("settings.ini"))}};
        for (int i = 0; i < 4; ++i)
            tree.file(QStringLiteral("src/f%1.bin").arg(i), 200 * 1024);
        ASSERT_EQ(runCli({"job", "create", jcf, "--app-id", "com.example.app", "--folder", "Documents",
                             tree.path(QStringLiteral("src"))})
                      .code,
            0);
        ASSERT_EQ(runCli({"sim", "create", farm, "--devices", "3", "--app", "com.example.app"}).code, 0);
        ASSERT_EQ(runCli({"defaults", "set", "enableLoggingNormal", "true"}, env).code, 0);
        // One device names itself with markup, as anyone may name a phone.
        const QString first = kestrap::sim::deviceIds(farm).first();
        auto plist = kestrap::sim::readDevicePlist(QDir(farm).filePath(first));
        ASSERT_TRUE(plist);
        (*plist)[QStringLiteral("DeviceName")] = kHostileName;
        ASSERT_TRUE(kestrap::sim::writeDevicePlist(QDir(farm).filePath(first), *plist));
    }

    void TearDown() override
    {
        if (station.state() != QProcess::NotRunning) {
            station.kill();
            station.waitForFinished(5000);
        }
    }

    void slowDown(int msPerMiB)
    {
        for (const QString& udid : kestrap::sim::deviceIds(farm)) {
            auto plist = kestrap::sim::readDevicePlist(QDir(farm).filePath(udid));
            QVariantMap faults = (*plist)[QStringLiteral("Faults")].toMap();
            faults[QStringLiteral("WriteDelayMsPerMiB")] = msPerMiB;
            (*plist)[QStringLiteral("Faults")] = faults;
            kestrap::sim::writeDevicePlist(QDir(farm).filePath(udid), *plist);
        }
    }

    // Starts the station on a free loopback port and learns which from its first line.
    void startStation()
    {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.remove(QStringLiteral("KESTRAP_FARM"));
        for (auto it = env.cbegin(); it != env.cend(); ++it)
            e.insert(it.key(), it.value());
        station.setProcessEnvironment(e);
        station.start(QString::fromLocal8Bit(qgetenv("KESTRAP_CLI")),
            {"run", jcf, "--simulate", farm, "--station", "--json", "--progress-pause", "0", "--concurrency", "3",
                "--listen", "127.0.0.1:0"});
        static const QRegularExpression line(QStringLiteral("Station page on http://127\\.0\\.0\\.1:(\\d+)/"));
        QByteArray err;
        ASSERT_TRUE(waitUntil(
            [&] {
                station.waitForReadyRead(50);
                err += station.readAllStandardError();
                return line.match(QString::fromUtf8(err)).hasMatch() || station.state() == QProcess::NotRunning;
            },
            20000));
        port = quint16(line.match(QString::fromUtf8(err)).captured(1).toUInt());
        ASSERT_NE(port, 0) << err.constData();
    }

    QJsonObject status()
    {
        return QJsonDocument::fromJson(
            exchangeBlocking(QHostAddress::LocalHost, port, requestFor("GET", "/api/v1/status")).body)
            .object();
    }

    bool allFinished()
    {
        const QJsonObject s = status();
        return s["counts"]["finished"].toInt() == 3;
    }
};

QString chromium()
{
    for (const char* name : {"chromium", "chromium-browser", "google-chrome"})
        if (const QString path = QStandardPaths::findExecutable(QString::fromLatin1(name)); !path.isEmpty())
            return path;
    return {};
}

QString dumpDom(const QString& browser, quint16 port, int virtualMs)
{
    QProcess p;
    p.start(browser,
        {"--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-extensions",
            QStringLiteral("--user-data-dir=%1").arg(QDir::tempPath() + "/kestrap-station-chromium"),
            QStringLiteral("--virtual-time-budget=%1").arg(virtualMs), "--dump-dom",
            QStringLiteral("http://127.0.0.1:%1/").arg(port)});
    p.waitForFinished(60000);
    return QString::fromUtf8(p.readAllStandardOutput());
}

}  // namespace

TEST_F(StationCli, ServesTheRunItsMetricsAndItsEventsAndEndsDespiteAnIdleClient)
{
    startStation();
    ASSERT_TRUE(waitUntil([&] { return allFinished(); }, 30000)) << QJsonDocument(status()).toJson().constData();
    const QJsonObject s = status();
    EXPECT_EQ(s["job"]["file"].toString(), "job.jcf");
    EXPECT_EQ(s["job"]["files"].toInt(), 4);
    EXPECT_EQ(s["job"]["totalFileSize"].toInt(), 4 * 200 * 1024);
    QStringList names;
    for (const QJsonValue& d : s["devices"].toArray()) {
        names << d["name"].toString();
        EXPECT_EQ(d["files_sent"].toInt(), 4);
        EXPECT_EQ(d["phase"].toString(), "finished");
    }
    EXPECT_TRUE(names.contains(kHostileName));

    const HttpAnswer metrics = exchangeBlocking(QHostAddress::LocalHost, port, requestFor("GET", "/metrics"));
    ASSERT_EQ(metrics.status, 200);
    EXPECT_TRUE(metrics.body.contains("kestrap_files_sent_total 12\n")) << metrics.body.constData();
    EXPECT_TRUE(metrics.body.contains("kestrap_devices_served_total{result=\"finished\"} 3\n"));
    EXPECT_TRUE(metrics.body.contains("kestrap_run_info{job=\"job\",app_id=\"com.example.app\"} 1\n"));
    EXPECT_TRUE(metrics.body.contains("kestrap_device_seconds_count 3\n"));
    if (const QString promtool = QStandardPaths::findExecutable(QStringLiteral("promtool")); !promtool.isEmpty()) {
        QProcess check;
        check.start(promtool, {"check", "metrics"});
        check.write(metrics.body);
        check.closeWriteChannel();
        ASSERT_TRUE(check.waitForFinished(30000));
        EXPECT_EQ(check.exitCode(), 0) << check.readAllStandardError().constData()
                                       << check.readAllStandardOutput().constData();
    }

    // The event log, and from where the last answer ended nothing seen twice.
    // The event log, and from where the last answer ended nothing seen twice. Its writer
    // saves about once a second.
    QJsonObject events;
    waitUntil(
        [&] {
            events = QJsonDocument::fromJson(
                exchangeBlocking(QHostAddress::LocalHost, port, requestFor("GET", "/api/v1/events?since=0")).body)
                         .object();
            return events["next"].toInt() > 0;
        },
        5000);
    const QJsonArray entries = events["events"].toArray();
    ASSERT_FALSE(entries.isEmpty());
    EXPECT_EQ(entries.first()["id"].toInt(), 1);
    EXPECT_EQ(events["next"].toInt(), entries.size());
    bool copied = false;
    for (const QJsonValue& e : entries)
        copied = copied || e["message"].toString().startsWith(QStringLiteral("Successfully copied"));
    EXPECT_TRUE(copied);
    const QByteArray after = "/api/v1/events?since=" + QByteArray::number(events["next"].toInt());
    EXPECT_TRUE(QJsonDocument::fromJson(exchangeBlocking(QHostAddress::LocalHost, port, requestFor("GET", after)).body)
                    .object()["events"]
                    .toArray()
                    .isEmpty());
    EXPECT_EQ(exchangeBlocking(QHostAddress::LocalHost, port, requestFor("GET", "/api/v1/events?since=x")).status, 400);

    // A client that connects and says nothing holds neither the station nor its end.
    QTcpSocket idle;
    idle.connectToHost(QHostAddress::LocalHost, port);
    ASSERT_TRUE(idle.waitForConnected(2000));
    QElapsedTimer t;
    t.start();
    ::kill(pid_t(station.processId()), SIGTERM);
    ASSERT_TRUE(station.waitForFinished(8000));
    EXPECT_LT(t.elapsed(), 5000);
    const QJsonObject summary = QJsonDocument::fromJson(station.readAllStandardOutput()).object();
    const QJsonArray devices = summary["devices"].toArray();
    ASSERT_EQ(devices.size(), 3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(devices[i]["name"], s["devices"][i]["name"]);
        EXPECT_EQ(devices[i]["files_sent"], s["devices"][i]["files_sent"]);
        EXPECT_EQ(devices[i]["device_file"], s["devices"][i]["device_file"]);
    }
}

TEST_F(StationCli, AStationOpenBeyondThisComputerNeedsAPrivateToken)
{
    CliResult r = runCli({"run", jcf, "--simulate", farm, "--listen", "0.0.0.0:0"}, env);
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(r.err.contains("needs --listen-token FILE")) << r.err.constData();
    const QString token = writeFileBytes(tree.path(QStringLiteral("token")), "s3cret\n");
    ::chmod(QFile::encodeName(token).constData(), 0644);
    r = runCli({"run", jcf, "--simulate", farm, "--listen", "0.0.0.0:0", "--listen-token", token}, env);
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(r.err.contains("can be read by others")) << r.err.constData();
    r = runCli({"run", jcf, "--simulate", farm, "--listen", "nowhere:80"}, env);
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(r.err.contains("is not an IP address")) << r.err.constData();
}

TEST_F(StationCli, ThePageInABrowserShowsEveryDeviceAsTextAndFollowsTheRun)
{
    const QString browser = chromium();
    if (browser.isEmpty())
        GTEST_SKIP() << "no Chromium installed";
    slowDown(4000);  // about 3 s a device
    startStation();
    const QString during = dumpDom(browser, port, 1500);
    EXPECT_EQ(during.count(QStringLiteral("class=\"device ")), 3) << during.toStdString();
    EXPECT_TRUE(during.contains(QStringLiteral("class=\"device sending\""))) << during.toStdString();
    // The hostile name is shown as the text it is; it made no element and ran no script.
    EXPECT_TRUE(during.contains(QStringLiteral("&lt;b id=\"injected\"&gt;Evil&lt;/b&gt;"))) << during.toStdString();
    EXPECT_FALSE(during.contains(QStringLiteral("<b id=\"injected\">")));
    EXPECT_FALSE(during.contains(QStringLiteral("<img src=\"x\"")));
    EXPECT_FALSE(during.contains(QStringLiteral("<title>owned")));
    ASSERT_TRUE(waitUntil([&] { return allFinished(); }, 60000));
    // The page follows the run by itself: a browser left open sees the devices finish.
    const QString after = dumpDom(browser, port, 3500);
    static const QRegularExpression updates(QStringLiteral("data-updates=\"(\\d+)\""));
    EXPECT_GE(updates.match(after).captured(1).toInt(), 3) << after.toStdString();
    EXPECT_EQ(after.count(QStringLiteral("class=\"device finished\"")), 3) << after.toStdString();
    EXPECT_TRUE(after.contains(QStringLiteral("id=\"n-finished\">3<"))) << after.toStdString();
}
