#pragma once

#include "util/Plist.h"

#include <QByteArray>
#include <QVariantMap>
#include <QtEndian>
#include <cstdint>

// Frames as the device emulator's protocols carry them, for the seed writers.
namespace wireseeds {

inline QByteArray le32(std::uint32_t value)
{
    QByteArray bytes(4, '\0');
    qToLittleEndian(value, bytes.data());
    return bytes;
}

inline QByteArray le64(std::uint64_t value)
{
    QByteArray bytes(8, '\0');
    qToLittleEndian(value, bytes.data());
    return bytes;
}

inline QByteArray be32(std::uint32_t value)
{
    QByteArray bytes(4, '\0');
    qToBigEndian(value, bytes.data());
    return bytes;
}

inline QByteArray xml(const QVariantMap& payload)
{
    return kestrap::plist::toXml(payload).value_or(QByteArray());
}

// usbmuxd: a 16-byte header and the property list.
inline QByteArray mux(std::uint32_t tag, const QVariantMap& payload, std::uint32_t version = 1)
{
    const QByteArray body = xml(payload);
    return le32(16 + std::uint32_t(body.size())) + le32(version) + le32(8) + le32(tag) + body;
}

// Lockdown and the services built like it: a 4-byte big-endian length and the list.
inline QByteArray frame(const QVariantMap& payload)
{
    const QByteArray body = xml(payload);
    return be32(std::uint32_t(body.size())) + body;
}

}  // namespace wireseeds
