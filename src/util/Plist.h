#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>
#include <optional>

// Property lists through libplist, carried in the program as QVariant trees:
// dictionary = QVariantMap, array = QVariantList, string = QString, boolean = bool,
// integer = qint64 (or quint64 above its range), real = double, date = QDateTime (UTC), data = QByteArray.
namespace kestrap::plist {

// The error a failed parse is reported under: the property-list reader's domain and its
// "corrupt data" code.
inline const QString kErrorDomain = QStringLiteral("PropertyList");
constexpr int kReadCorruptError = 3840;

// Parses binary ("bplist00") or XML property lists. On failure returns nothing and,
// when error is given, a one-line reason.
std::optional<QVariant> parse(const QByteArray& bytes, QString* error = nullptr);

// Serialises in the binary format, version 1.0. Nothing for a value that has no
// property-list form (an invalid QVariant anywhere in the tree).
std::optional<QByteArray> toBinary(const QVariant& value);

// The XML form, for tools and tests.
std::optional<QByteArray> toXml(const QVariant& value);

}  // namespace kestrap::plist
