#include "station/ListenAddress.h"

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace kestrap::station {

bool ListenAddress::needsToken() const
{
    return !address.isLoopback();
}

QString ListenAddress::text() const
{
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
        ? QStringLiteral("[%1]").arg(address.toString())
        : address.toString();
    return QStringLiteral("%1:%2").arg(host).arg(port);
}

std::optional<ListenAddress> parseListenAddress(const QString& text, QString* error)
{
    ListenAddress listen;
    QString host;
    QString port = text;
    if (text.startsWith(u'[')) {
        const qsizetype close = text.indexOf(QStringLiteral("]:"));
        if (close < 0) {
            *error = QStringLiteral("An IPv6 address is written [ADDRESS]:PORT.");
            return std::nullopt;
        }
        host = text.mid(1, close - 1);
        port = text.mid(close + 2);
    } else if (const qsizetype colon = text.lastIndexOf(u':'); colon >= 0) {
        host = text.left(colon);
        port = text.mid(colon + 1);
    }
    bool ok = false;
    const uint number = port.toUInt(&ok);
    if (!ok || number > 65535) {
        *error = QStringLiteral("The port must be a number from 0 to 65535, not \"%1\".").arg(port);
        return std::nullopt;
    }
    listen.port = quint16(number);
    if (!host.isEmpty()) {
        if (host == QLatin1String("localhost"))
            host = QStringLiteral("127.0.0.1");
        if (!listen.address.setAddress(host)) {
            *error = QStringLiteral("\"%1\" is not an IP address.").arg(host);
            return std::nullopt;
        }
    }
    return listen;
}

std::optional<QByteArray> readTokenFile(const QString& path, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("Cannot read the token file %1: %2").arg(path, file.errorString());
        return std::nullopt;
    }
    // Checked on the open file, so the file read is the file checked.
    struct stat st { };
    if (::fstat(file.handle(), &st) != 0) {
        *error = QStringLiteral("Cannot read the token file %1: %2").arg(path, QString::fromLocal8Bit(strerror(errno)));
        return std::nullopt;
    }
    if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        *error = QStringLiteral("The token file %1 can be read by others; make it readable only by its owner "
                                "(chmod 600 %1).")
                     .arg(path);
        return std::nullopt;
    }
    const QByteArray token = file.read(4096).trimmed();
    if (token.isEmpty()) {
        *error = QStringLiteral("The token file %1 is empty.").arg(path);
        return std::nullopt;
    }
    return token;
}

bool bearerMatches(const QByteArray& authorization, const QByteArray& token)
{
    const QByteArray expected = QByteArrayLiteral("Bearer ") + token;
    // Every byte of the longer one is looked at, whatever the lengths and contents.
    const qsizetype n = std::max(authorization.size(), expected.size());
    unsigned difference = authorization.size() == expected.size() ? 0 : 1;
    for (qsizetype i = 0; i < n; ++i) {
        const unsigned char a = i < authorization.size() ? uchar(authorization[i]) : 0;
        const unsigned char b = i < expected.size() ? uchar(expected[i]) : 0;
        difference |= unsigned(a ^ b);
    }
    return difference == 0 && !token.isEmpty();
}

}  // namespace kestrap::station
