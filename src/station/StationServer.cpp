#include "station/StationServer.h"

#include "Version.h"
#include "logging/DBLogReader.h"
#include "station/RunJson.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaEnum>
#include <QRegularExpression>
#include <QSysInfo>
#include <QTcpSocket>
#include <QUrlQuery>

namespace kestrap::station {

namespace {

constexpr int kEventsPerRequest = 500;

// The hash of each inline script and style of the page, so the browser runs those and
// nothing else, whatever a device's name holds.
QByteArray policyFor(const QByteArray& page)
{
    QByteArray scripts;
    QByteArray styles;
    static const QRegularExpression inlineBlock(
        QStringLiteral("<(script|style)>(.*?)</\\1>"), QRegularExpression::DotMatchesEverythingOption);
    for (auto it = inlineBlock.globalMatch(QString::fromUtf8(page)); it.hasNext();) {
        const auto m = it.next();
        const QByteArray hash = QCryptographicHash::hash(m.captured(2).toUtf8(), QCryptographicHash::Sha256).toBase64();
        (m.captured(1) == QLatin1String("script") ? scripts : styles) += " 'sha256-" + hash + "'";
    }
    return "default-src 'none'; connect-src 'self'; img-src 'self'; script-src" + scripts + "; style-src" + styles
        + "; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
}

QJsonObject countsJson(const RunCounts& c)
{
    return QJsonObject {{QStringLiteral("finished"), c.finished}, {QStringLiteral("failed"), c.failed},
        {QStringLiteral("sending"), c.sending}, {QStringLiteral("waiting"), c.waiting},
        {QStringLiteral("excluded"), c.excluded}};
}

}  // namespace

StationServer::StationServer(StationJob job, StationFeed feed, QByteArray token, QObject* parent)
    : QAbstractHttpServer(parent), m_job(std::move(job)), m_feed(std::move(feed)), m_token(std::move(token))
{
    m_uptime.start();
    m_startedAt = double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
    QFile page(QStringLiteral(":/station/page/index.html"));
    if (page.open(QIODevice::ReadOnly))
        m_page = page.readAll();
    m_pagePolicy = policyFor(m_page);
    // Servings that begin and end between two scrapes are counted all the same.
    m_observe.setInterval(1000);
    connect(&m_observe, &QTimer::timeout, this, [this] { m_metrics.observe(m_feed.seen()); });
}

StationServer::~StationServer() = default;

bool StationServer::start(const ListenAddress& address, QString* error)
{
    if (address.needsToken() && m_token.isEmpty()) {
        *error = QStringLiteral("Listening on %1 needs --listen-token FILE: only loopback addresses are open "
                                "without one.")
                     .arg(address.text());
        return false;
    }
    auto* tcp = new BoundedTcpServer(m_limits, this);
    if (!tcp->listen(address.address, address.port)) {
        *error = QStringLiteral("Cannot listen on %1: %2").arg(address.text(), tcp->errorString());
        delete tcp;
        return false;
    }
    m_tcp = tcp;
    m_port = tcp->serverPort();
    bind(tcp);
    m_observe.start();
    return true;
}

StationReply StationServer::plain(int status, const QByteArray& text)
{
    return StationReply {status, "text/plain; charset=utf-8", text + '\n', {}};
}

StationReply StationServer::reply(const QByteArray& method, const QUrl& url, const QByteArray& authorization)
{
    const bool head = method == "HEAD";
    if (!head && method != "GET") {
        StationReply r = plain(405, "Only GET and HEAD are answered here.");
        r.headers.append(qMakePair(QByteArray("Allow"), QByteArray("GET, HEAD")));
        return r;
    }
    const QString path = url.path();
    if (!m_token.isEmpty() && !bearerMatches(authorization, m_token)) {
        // The page itself holds no data of the run: it asks for the token, then sends it.
        StationReply r = path == QLatin1String("/") ? page() : plain(401, "This station needs its token.");
        r.status = 401;
        r.headers.append(qMakePair(QByteArray("WWW-Authenticate"), QByteArray("Bearer realm=\"kestrap station\"")));
        return r;
    }
    if (path == QLatin1String("/"))
        return page();
    if (path == QLatin1String("/api/v1/status"))
        return StationReply {200, "application/json", statusJson(), {}};
    if (path == QLatin1String("/api/v1/events"))
        return events(url);
    if (path == QLatin1String("/metrics"))
        return StationReply {200, "text/plain; version=0.0.4; charset=utf-8", metricsText(), {}};
    return plain(404, "Nothing here.");
}

StationReply StationServer::page() const
{
    StationReply r {200, "text/html; charset=utf-8", m_page, {}};
    r.headers.append(qMakePair(QByteArray("Content-Security-Policy"), m_pagePolicy));
    return r;
}

const QByteArray& StationServer::Cached::orMake(const std::function<QByteArray()>& make)
{
    if (!made.isValid() || made.elapsed() >= kFreshFor.count()) {
        body = make();
        made.start();
    }
    return body;
}

QByteArray StationServer::statusJson()
{
    return m_status.orMake([this] { return makeStatusJson(); });
}

QByteArray StationServer::metricsText()
{
    return m_metricsText.orMake([this] { return makeMetricsText(); });
}

QByteArray StationServer::makeStatusJson()
{
    const RunStatus seen = m_feed.seen();
    m_metrics.observe(seen);
    QJsonArray devices;
    std::uint64_t speed = 0;
    for (const DeviceProgress& d : seen.devices) {
        devices.append(DeviceJson(d));
        if (d.state == DeviceState::Sending && d.record.speed)
            speed += *d.record.speed;
    }
    QJsonObject job {{QStringLiteral("file"), QFileInfo(m_job.path).fileName()}, {QStringLiteral("path"), m_job.path},
        {QStringLiteral("appId"), m_job.appId}, {QStringLiteral("folder"), m_job.folder},
        {QStringLiteral("files"), m_job.files}, {QStringLiteral("totalFileSize"), qint64(m_job.bytes)}};
    QJsonObject station {{QStringLiteral("host"), QSysInfo::machineHostName()},
        {QStringLiteral("uptime"), double(m_uptime.elapsed()) / 1000.0}, {QStringLiteral("version"), kVersion},
        {QStringLiteral("time"), QDateTime::currentDateTimeUtc().toString(Qt::ISODate)}};
    QJsonObject root {{QStringLiteral("job"), job}, {QStringLiteral("station"), station},
        {QStringLiteral("counts"), countsJson(seen.counts)}, {QStringLiteral("devices"), devices},
        {QStringLiteral("files"), m_job.files}, {QStringLiteral("totalFileSize"), qint64(m_job.bytes)},
        {QStringLiteral("speed"), qint64(speed)}};
    return QJsonDocument(root).toJson(QJsonDocument::Compact);
}

QByteArray StationServer::makeMetricsText()
{
    m_metrics.observe(m_feed.seen());
    return m_metrics.text(m_feed.attached(), QFileInfo(m_job.path).completeBaseName(), m_job.appId, m_startedAt);
}

StationReply StationServer::events(const QUrl& url)
{
    const QString since = QUrlQuery(url).queryItemValue(QStringLiteral("since"));
    bool ok = true;
    const qint64 after = since.isEmpty() ? 0 : since.toLongLong(&ok);
    if (!ok || after < 0)
        return plain(400, "since takes the id of an entry: a whole number of 0 or more.");
    if (!m_log)
        m_log = std::make_unique<DBLogReader>(m_logDirectory);
    QString error;
    const std::vector<DBLogEntry> entries = m_log->loadFrom(after, kEventsPerRequest, false, &error);
    QJsonArray list;
    qint64 id = after;
    for (const DBLogEntry& e : entries) {
        // The keys of `log --json`, and the entry's place in the log to ask again from.
        QJsonObject o {{QStringLiteral("id"), ++id}, {QStringLiteral("level"), e.level()},
            {QStringLiteral("levelString"), e.levelString()}, {QStringLiteral("message"), e.message()},
            {QStringLiteral("timestamp"), e.hasTimestamp() ? QJsonValue(e.TimeStamp()) : QJsonValue()}};
        if (e.hasTimestamp())
            o.insert(QStringLiteral("date"), e.timestampDate().toUTC().toString(Qt::ISODateWithMs));
        list.append(o);
    }
    QJsonObject root {{QStringLiteral("events"), list}, {QStringLiteral("next"), id}};
    if (!error.isEmpty())
        root.insert(QStringLiteral("error"), error);
    return StationReply {200, "application/json", QJsonDocument(root).toJson(QJsonDocument::Compact), {}};
}

bool StationServer::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket)
{
    const QByteArray method = QMetaEnum::fromType<QHttpServerRequest::Method>().valueToKey(int(request.method()));
    const StationReply r = reply(method.toUpper(), request.url(), request.value("authorization"));
    QHttpServerResponder responder = makeResponder(request, socket);
    responder.writeStatusLine(QHttpServerResponder::StatusCode(r.status));
    responder.writeHeader("Content-Type", r.contentType);
    responder.writeHeader("Content-Length", QByteArray::number(r.body.size()));
    responder.writeHeader("Cache-Control", "no-store");
    responder.writeHeader("X-Content-Type-Options", "nosniff");
    for (const auto& [key, value] : r.headers)
        responder.writeHeader(key, value);
    if (request.method() != QHttpServerRequest::Method::Head)
        responder.writeBody(r.body);
    else
        responder.writeBody(QByteArray());
    return true;
}

void StationServer::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket)
{
    makeResponder(request, socket).write(QHttpServerResponder::StatusCode::NotFound);
}

}  // namespace kestrap::station
