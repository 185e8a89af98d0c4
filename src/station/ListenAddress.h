#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <optional>

namespace kestrap::station {

// Where the station page listens: "[ADDR:]PORT", an IPv6 address in brackets ("[::1]:8080").
// Without an address it is 127.0.0.1: nothing outside this computer sees a station that was
// not told to show itself.
struct ListenAddress {
    QHostAddress address {QHostAddress::LocalHost};
    quint16 port = 0;

    // True unless the address is a loopback one: then requests must carry the token.
    bool needsToken() const;
    QString text() const;  // "127.0.0.1:8080", "[::1]:8080"
};

// The address, or none with *error saying what is wrong.
std::optional<ListenAddress> parseListenAddress(const QString& text, QString* error);

// The secret in the file, trimmed of surrounding white space. A file others may read is
// refused: a token anyone on the computer can read guards nothing.
std::optional<QByteArray> readTokenFile(const QString& path, QString* error);

// Whether an Authorization header carries "Bearer TOKEN", compared in time that does not
// depend on where the two first differ.
bool bearerMatches(const QByteArray& authorization, const QByteArray& token);

}  // namespace kestrap::station
