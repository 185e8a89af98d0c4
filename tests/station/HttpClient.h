#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpSocket>
#include <future>

// One HTTP exchange over a socket of its own, on a thread of its own, so that a server on
// the calling thread keeps serving meanwhile.
struct HttpAnswer {
    int status = 0;  // 0: no answer
    QByteArray head;  // status line and headers
    QByteArray body;
};

inline HttpAnswer parseAnswer(const QByteArray& raw)
{
    HttpAnswer a;
    const qsizetype end = raw.indexOf("\r\n\r\n");
    if (!raw.startsWith("HTTP/1.") || end < 0)
        return a;
    a.head = raw.left(end);
    a.body = raw.mid(end + 4);
    a.status = raw.mid(9, 3).toInt();
    return a;
}

// Sends the request as given and reads until the answer's Content-Length is in, or the
// server closes the connection.
inline HttpAnswer exchangeBlocking(const QHostAddress& address, quint16 port, const QByteArray& request)
{
    QTcpSocket socket;
    socket.connectToHost(address, port);
    if (!socket.waitForConnected(5000))
        return {};
    socket.write(request);
    socket.waitForBytesWritten(5000);
    QByteArray raw;
    while (socket.waitForReadyRead(5000) || socket.bytesAvailable()) {
        raw += socket.readAll();
        const HttpAnswer a = parseAnswer(raw);
        const qsizetype at = a.head.toLower().indexOf("content-length: ");
        if (a.status && at >= 0) {
            const qsizetype length = a.head.mid(at + 16, a.head.indexOf('\r', at) - at - 16).toLongLong();
            if (a.body.size() >= length || request.startsWith("HEAD"))
                return a;
        }
        if (socket.state() != QAbstractSocket::ConnectedState)
            break;
    }
    return parseAnswer(raw);
}

inline QByteArray requestFor(const QByteArray& method, const QByteArray& path, const QByteArray& extraHeaders = {})
{
    return method + ' ' + path + " HTTP/1.1\r\nHost: station\r\n" + extraHeaders + "\r\n";
}

// Serves the calling thread's events until the exchange is over.
inline HttpAnswer exchange(const QHostAddress& address, quint16 port, const QByteArray& request)
{
    auto answer = std::async(std::launch::async, [=] { return exchangeBlocking(address, port, request); });
    while (answer.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return answer.get();
}

inline HttpAnswer get(quint16 port, const QByteArray& path, const QByteArray& extraHeaders = {})
{
    return exchange(QHostAddress::LocalHost, port, requestFor("GET", path, extraHeaders));
}
