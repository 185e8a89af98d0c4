#pragma once

#include <QTcpServer>
#include <chrono>

namespace kestrap::station {

// A TCP server whose connections cannot pile up: at most maxConnections are open at once
// (one more is closed as soon as it is accepted), a connection that sends nothing for
// idleTimeout is closed, none lives longer than lifetime, and one that sends more than
// maxBytesIn in all is closed. So no client, however slow, idle or many, holds the station.
//
// Threads: the thread the server lives on, whose event loop serves it.
class BoundedTcpServer : public QTcpServer {
    Q_OBJECT

public:
    struct Limits {
        int maxConnections = 32;
        std::chrono::milliseconds idleTimeout {10000};
        std::chrono::milliseconds lifetime {60000};
        qint64 maxBytesIn = 256 * 1024;
    };

    explicit BoundedTcpServer(Limits limits, QObject* parent = nullptr);

    int openConnections() const { return m_open; }
    // Connections closed for going over a limit, for tests and the log.
    int dropped() const { return m_dropped; }

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    void watch(class QTcpSocket* socket);

    Limits m_limits;
    int m_open = 0;
    int m_dropped = 0;
};

}  // namespace kestrap::station
