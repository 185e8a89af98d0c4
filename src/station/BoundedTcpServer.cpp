#include "station/BoundedTcpServer.h"

#include <QPointer>
#include <QTcpSocket>
#include <QTimer>
#include <unistd.h>

namespace kestrap::station {

BoundedTcpServer::BoundedTcpServer(Limits limits, QObject* parent) : QTcpServer(parent), m_limits(limits) { }

void BoundedTcpServer::incomingConnection(qintptr descriptor)
{
    if (m_open >= m_limits.maxConnections) {
        ::close(int(descriptor));
        ++m_dropped;
        return;
    }
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        ::close(int(descriptor));
        return;
    }
    watch(socket);
    addPendingConnection(socket);
}

void BoundedTcpServer::watch(QTcpSocket* socket)
{
    ++m_open;
    connect(socket, &QObject::destroyed, this, [this] { --m_open; });
    // Closed from the event loop, never from inside a read: the HTTP server may be using it.
    const auto drop = [this, s = QPointer<QTcpSocket>(socket)] {
        if (!s)
            return;
        ++m_dropped;
        s->abort();
        s->deleteLater();
    };
    auto* idle = new QTimer(socket);
    idle->setSingleShot(true);
    idle->setInterval(m_limits.idleTimeout);
    connect(idle, &QTimer::timeout, socket, drop);
    idle->start();
    QTimer::singleShot(m_limits.lifetime, socket, drop);
    // Connected before the HTTP server's own reader, so this sees each arrival's size first.
    auto bytesIn = std::make_shared<qint64>(0);
    connect(socket, &QTcpSocket::readyRead, socket, [this, socket, idle, bytesIn, drop] {
        idle->start();
        *bytesIn += socket->bytesAvailable();
        if (*bytesIn > m_limits.maxBytesIn)
            QTimer::singleShot(0, socket, drop);
    });
    connect(socket, &QTcpSocket::bytesWritten, idle, [idle] { idle->start(); });
}

}  // namespace kestrap::station
