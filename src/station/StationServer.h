#pragma once

#include "job/RunStatus.h"
#include "station/BoundedTcpServer.h"
#include "station/ListenAddress.h"
#include "station/StationMetrics.h"

#include <QAbstractHttpServer>
#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QPair>
#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>

namespace kestrap {
class DBLogReader;
}

namespace kestrap::station {

// The job a station runs, fixed when the run starts.
struct StationJob {
    QString path;  // the job file
    QString appId;
    QString folder;
    qint64 files = 0;  // files of the send list
    std::uint64_t bytes = 0;  // their sizes together
};

// Where the server reads the run from, whenever a request comes.
struct StationFeed {
    std::function<RunStatus()> seen;  // every device the run has listed, gone ones too
    std::function<RunStatus()> attached;  // the devices plugged in now
};

// One answer of the server, before it is written.
struct StationReply {
    int status = 200;
    QByteArray contentType;
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers;
};

// The station page: a read-only HTTP front end of a run. "/" is a page for people, which
// fetches "/api/v1/status" (the run as JSON) every second; "/api/v1/events?since=ID" gives the
// event log after an entry; "/metrics" is for Prometheus. With a token every request must
// carry "Authorization: Bearer TOKEN"; anything but GET and HEAD is refused.
//
// Threads: the thread it lives on, whose event loop serves it (the run's). A request is
// answered from values read at once, never by waiting for a copy, so serving pages costs the
// copies nothing but the reading of their records.
class StationServer : public QAbstractHttpServer {
    Q_OBJECT

public:
    StationServer(StationJob job, StationFeed feed, QByteArray token = {}, QObject* parent = nullptr);
    ~StationServer() override;

    // Before start(): the bounds of the connections (tests make them short).
    void setLimits(BoundedTcpServer::Limits limits) { m_limits = limits; }
    void setLogDirectory(const QString& directory) { m_logDirectory = directory; }

    // Listens; false with *error saying why not. A non-loopback address needs a token.
    bool start(const ListenAddress& address, QString* error);
    quint16 port() const { return m_port; }
    const BoundedTcpServer* tcpServer() const { return m_tcp; }

    // What a request is answered, without the network: method as the request line says it,
    // authorization the header's value.
    StationReply reply(const QByteArray& method, const QUrl& url, const QByteArray& authorization);

    // The bodies, for callers other than HTTP. Each is made at most once per kFreshFor and
    // answered from then until it is older: clients polling many times a second cost the
    // copies, which share the computer's cores, no more than one that polls that often.
    static constexpr std::chrono::milliseconds kFreshFor {250};
    QByteArray statusJson();
    QByteArray metricsText();

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
    struct Cached {
        QByteArray body;
        QElapsedTimer made;
        const QByteArray& orMake(const std::function<QByteArray()>& make);
    };

    StationReply page() const;
    QByteArray makeStatusJson();
    QByteArray makeMetricsText();
    StationReply events(const QUrl& url);
    static StationReply plain(int status, const QByteArray& text);

    StationJob m_job;
    StationFeed m_feed;
    QByteArray m_token;
    BoundedTcpServer::Limits m_limits;
    BoundedTcpServer* m_tcp = nullptr;
    quint16 m_port = 0;
    QElapsedTimer m_uptime;
    double m_startedAt = 0;  // seconds since 1970
    QByteArray m_page;
    QByteArray m_pagePolicy;  // Content-Security-Policy naming the page's own script and style
    StationMetrics m_metrics;
    Cached m_status;
    Cached m_metricsText;
    QTimer m_observe;
    QString m_logDirectory;
    std::unique_ptr<DBLogReader> m_log;
};

}  // namespace kestrap::station
