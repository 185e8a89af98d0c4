// The station's HTTP front end in this process, over a run the test makes up: what it
// answers, to whom, and that no client can hold it.

#include "station/HttpClient.h"
#include "support/TempTree.h"

#include "device/DeviceTypes.h"
#include "station/ListenAddress.h"
#include "station/StationMetrics.h"
#include "station/StationServer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkInterface>
#include <QThread>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace kestrap;
using namespace kestrap::station;

namespace {

DeviceRowPtr row(const QString& name, const QString& uid, std::optional<int> status)
{
    auto r = std::make_shared<DeviceRow>();
    r->name = name;
    r->uid = uid;
    r->icon = QStringLiteral("iPhone");
    r->productType = QStringLiteral("iPhone14,5");
    r->status = status;
    return r;
}

ProgressRecord record(const QString& uid, CopyPhase phase)
{
    ProgressRecord r;
    r.deviceid = uid;
    r.phase = phase;
    r.started = 100;
    return r;
}

class Station : public ::testing::Test {
protected:
    std::vector<DeviceRowPtr> rows;
    std::vector<ProgressRecord> records;
    std::unique_ptr<StationServer> server;

    void SetUp() override
    {
        rows = {row(QStringLiteral("Sender"), QStringLiteral("u1"), DeviceStatusTransferring),
            row(QStringLiteral("Broken"), QStringLiteral("u2"), DeviceStatusFailed),
            row(QStringLiteral("New"), QStringLiteral("u3"), std::nullopt)};
        ProgressRecord sending = record(QStringLiteral("u1"), CopyPhase::Sending);
        sending.current_file = QStringLiteral("/data/a.jpg");
        sending.file_progress = 40;
        sending.speed = 2000000;
        sending.files_sent = 3;
        sending.current_size = 3000;
        ProgressRecord failed = record(QStringLiteral("u2"), CopyPhase::Failed);
        failed.error = QStringLiteral("app not installed");
        failed.errorDomain = ErrorDomain::HouseArrest;
        failed.errorCode = -1;
        failed.ended = 103;
        records = {sending, failed};
    }

    StationFeed feed()
    {
        return {[this] { return RunStatusOf(rows, records); }, [this] { return RunStatusOf(rows, records); }};
    }

    StationJob job()
    {
        return {QStringLiteral("/etc/kestrap/photos.jcf"), QStringLiteral("com.example.app"),
            QStringLiteral("Documents"), 12, 34567};
    }

    quint16 start(const QByteArray& token = {}, BoundedTcpServer::Limits limits = {})
    {
        server = std::make_unique<StationServer>(job(), feed(), token);
        server->setLimits(limits);
        QString error;
        EXPECT_TRUE(server->start({}, &error)) << error.toStdString();
        return server->port();
    }
};

}  // namespace

TEST_F(Station, StatusIsTheRunWithTheKeysOfRunJson)
{
    const quint16 port = start();
    const HttpAnswer a = get(port, "/api/v1/status");
    ASSERT_EQ(a.status, 200) << a.head.constData();
    EXPECT_TRUE(a.head.contains("Content-Type: application/json"));
    const QJsonObject s = QJsonDocument::fromJson(a.body).object();
    EXPECT_EQ(s["job"]["file"].toString(), "photos.jcf");
    EXPECT_EQ(s["job"]["appId"].toString(), "com.example.app");
    EXPECT_EQ(s["files"].toInt(), 12);
    EXPECT_EQ(s["totalFileSize"].toInt(), 34567);
    EXPECT_EQ(s["counts"]["sending"].toInt(), 1);
    EXPECT_EQ(s["counts"]["failed"].toInt(), 1);
    EXPECT_EQ(s["counts"]["waiting"].toInt(), 1);
    EXPECT_FALSE(s["station"]["host"].toString().isEmpty());
    const QJsonArray devices = s["devices"].toArray();
    ASSERT_EQ(devices.size(), 3);
    const QJsonObject sender = devices[0].toObject();
    EXPECT_EQ(sender["name"].toString(), "Sender");
    EXPECT_EQ(sender["statusText"].toString(), "Transferring");
    EXPECT_EQ(sender["device_file"].toString(), "Sender << /data/a.jpg");
    EXPECT_EQ(sender["current_file"].toString(), "/data/a.jpg");
    EXPECT_EQ(sender["speed"].toInt(), 2000000);
    EXPECT_EQ(sender["model"].toString(), MarketingName(QStringLiteral("iPhone14,5")));
    const QJsonObject broken = devices[1].toObject();
    EXPECT_EQ(broken["device_file"].toString(), "Broken - Failed");
    EXPECT_EQ(broken["error"].toString(), "app not installed");
    EXPECT_EQ(broken["errorDomain"].toString(), errorDomainName(ErrorDomain::HouseArrest));
    EXPECT_EQ(broken["seconds"].toDouble(), 3.0);
    EXPECT_EQ(devices[2].toObject()["state"].toString(), "waiting");
}

TEST_F(Station, AnswersOnlyGetAndHeadAndOnlyItsOwnPaths)
{
    const quint16 port = start();
    for (const QByteArray method : {"POST", "PUT", "DELETE", "PATCH", "OPTIONS"}) {
        const HttpAnswer a = exchange(QHostAddress::LocalHost, port, requestFor(method, "/api/v1/status"));
        EXPECT_EQ(a.status, 405) << method.constData();
        EXPECT_TRUE(a.head.contains("Allow: GET, HEAD")) << method.constData();
    }
    EXPECT_EQ(get(port, "/etc/passwd").status, 404);
    EXPECT_EQ(get(port, "/api/v2/status").status, 404);
    const HttpAnswer head = exchange(QHostAddress::LocalHost, port, requestFor("HEAD", "/metrics"));
    EXPECT_EQ(head.status, 200);
    EXPECT_TRUE(head.body.isEmpty());
    const HttpAnswer page = get(port, "/");
    EXPECT_EQ(page.status, 200);
    EXPECT_TRUE(page.body.contains("<!DOCTYPE html>"));
    // The page runs its own script and style only, and loads nothing from elsewhere.
    EXPECT_TRUE(page.head.contains("Content-Security-Policy: default-src 'none'"));
    EXPECT_FALSE(page.body.contains("http://"));
    EXPECT_FALSE(page.body.contains("https://"));
    EXPECT_FALSE(page.body.contains("innerHTML"));
}

TEST_F(Station, WithATokenEveryRequestWithoutItIsRefused)
{
    const quint16 port = start("s3cret");
    EXPECT_EQ(get(port, "/api/v1/status").status, 401);
    EXPECT_EQ(get(port, "/metrics", "Authorization: Bearer wrong\r\n").status, 401);
    EXPECT_EQ(get(port, "/metrics", "Authorization: Bearer s3cret-and-more\r\n").status, 401);
    EXPECT_EQ(get(port, "/metrics", "Authorization: Basic s3cret\r\n").status, 401);
    // The page without data, so a browser can ask its user for the token.
    const HttpAnswer page = get(port, "/");
    EXPECT_EQ(page.status, 401);
    EXPECT_FALSE(page.body.contains("Sender"));
    EXPECT_EQ(get(port, "/metrics", "Authorization: Bearer s3cret\r\n").status, 200);
    EXPECT_EQ(get(port, "/api/v1/status", "Authorization: Bearer s3cret\r\n").status, 200);
}

TEST(StationRules, AnyAddressButLoopbackNeedsAToken)
{
    QString error;
    EXPECT_FALSE(parseListenAddress(QStringLiteral("8080"), &error)->needsToken());
    EXPECT_FALSE(parseListenAddress(QStringLiteral("[::1]:8080"), &error)->needsToken());
    EXPECT_FALSE(parseListenAddress(QStringLiteral("localhost:1"), &error)->needsToken());
    EXPECT_TRUE(parseListenAddress(QStringLiteral("0.0.0.0:8080"), &error)->needsToken());
    EXPECT_TRUE(parseListenAddress(QStringLiteral("192.168.1.5:80"), &error)->needsToken());
    EXPECT_EQ(parseListenAddress(QStringLiteral("192.168.1.5:80"), &error)->port, 80);
    EXPECT_FALSE(parseListenAddress(QStringLiteral("host:80"), &error));
    EXPECT_FALSE(parseListenAddress(QStringLiteral("70000"), &error));
    EXPECT_FALSE(parseListenAddress(QStringLiteral("[::1]8080"), &error));

    StationServer server({}, {}, {});
    EXPECT_FALSE(server.start(*parseListenAddress(QStringLiteral("0.0.0.0:0"), &error), &error));
    EXPECT_TRUE(error.contains(QStringLiteral("--listen-token"))) << error.toStdString();

    EXPECT_TRUE(bearerMatches("Bearer abc", "abc"));
    EXPECT_FALSE(bearerMatches("Bearer abd", "abc"));
    EXPECT_FALSE(bearerMatches("Bearer ab", "abc"));
    EXPECT_FALSE(bearerMatches("Bearer ", ""));
}

TEST(StationRules, ATokenFileOthersCanReadIsRefused)
{
    TempTree tree;
    const QString path = writeFileBytes(tree.path(QStringLiteral("token")), "  s3cret\n");
    ::chmod(QFile::encodeName(path).constData(), 0640);
    QString error;
    EXPECT_FALSE(readTokenFile(path, &error));
    EXPECT_TRUE(error.contains(QStringLiteral("chmod 600"))) << error.toStdString();
    ::chmod(QFile::encodeName(path).constData(), 0604);
    EXPECT_FALSE(readTokenFile(path, &error));
    ::chmod(QFile::encodeName(path).constData(), 0600);
    EXPECT_EQ(readTokenFile(path, &error).value_or("none"), "s3cret");
    writeFileBytes(path, "\n");
    EXPECT_FALSE(readTokenFile(path, &error));
    EXPECT_FALSE(readTokenFile(tree.path(QStringLiteral("missing")), &error));
}

TEST_F(Station, OnANonLoopbackAddressARequestWithoutTheTokenGets401)
{
    QHostAddress outside;
    for (const QHostAddress& a : QNetworkInterface::allAddresses())
        if (!a.isLoopback() && a.protocol() == QAbstractSocket::IPv4Protocol)
            outside = a;
    if (outside.isNull())
        GTEST_SKIP() << "no non-loopback address on this computer";
    server = std::make_unique<StationServer>(job(), feed(), "s3cret");
    QString error;
    ASSERT_TRUE(server->start({outside, 0}, &error)) << error.toStdString();
    EXPECT_EQ(exchange(outside, server->port(), requestFor("GET", "/metrics")).status, 401);
    EXPECT_EQ(
        exchange(outside, server->port(), requestFor("GET", "/metrics", "Authorization: Bearer s3cret\r\n")).status,
        200);
}

TEST_F(Station, IdleSlowAndSurplusConnectionsAreDropped)
{
    BoundedTcpServer::Limits limits;
    limits.maxConnections = 3;
    limits.idleTimeout = std::chrono::milliseconds(300);
    limits.lifetime = std::chrono::milliseconds(1500);
    limits.maxBytesIn = 8 * 1024;
    const quint16 port = start({}, limits);
    // Three connections that send nothing: the station keeps answering no more than three,
    // and lets all go when they stay silent.
    std::vector<std::unique_ptr<QTcpSocket>> idle;
    for (int i = 0; i < 3; ++i) {
        idle.push_back(std::make_unique<QTcpSocket>());
        idle.back()->connectToHost(QHostAddress::LocalHost, port);
        ASSERT_TRUE(idle.back()->waitForConnected(2000));
    }
    QElapsedTimer t;
    t.start();
    while (server->tcpServer()->openConnections() < 3 && t.elapsed() < 2000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_EQ(get(port, "/metrics").status, 0);  // a fourth is closed at once
    while (server->tcpServer()->openConnections() > 0 && t.elapsed() < 3000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_EQ(server->tcpServer()->openConnections(), 0);
    EXPECT_LT(t.elapsed(), 1500);
    EXPECT_EQ(get(port, "/metrics").status, 200);

    // A request that never ends is cut off at the byte limit, not held for ever.
    const HttpAnswer flood
        = exchange(QHostAddress::LocalHost, port, "GET / HTTP/1.1\r\nHost: x\r\nX-Pad: " + QByteArray(64 * 1024, 'a'));
    EXPECT_EQ(flood.status, 0);
    t.restart();
    while (server->tcpServer()->openConnections() > 0 && t.elapsed() < 3000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_EQ(server->tcpServer()->openConnections(), 0);
}

TEST(StationMetrics, RemovedFilesAddUpOverServingsAndNeverGoBack)
{
    StationMetrics metrics;
    RunStatus run;
    DeviceProgress& d = run.devices.emplace_back();
    d.uid = QStringLiteral("A");
    d.served = true;
    d.record.started = 100;
    d.record.files_removed = 3;
    metrics.observe(run);
    // The same serving seen again half-way through its record's reset counts nothing back.
    d.record.files_removed = 0;
    metrics.observe(run);
    // Served again, the record starts from zero; the first serving's removals stay counted.
    d.record.started = 200;
    d.record.files_removed = 2;
    metrics.observe(run);
    const QByteArray text = metrics.text(run, QStringLiteral("job"), QStringLiteral("app"), 0);
    EXPECT_TRUE(text.contains("kestrap_files_removed_total 5\n")) << text.constData();
}
