#pragma once

#include <QString>

namespace kestrap {

// Joins two path parts with exactly one "/" between them, as path-component rules do:
// an empty part adds nothing, a trailing "/" of the first part is not doubled.
QString PathJoin(const QString& a, const QString& b);

// The text after the last "." of the last path component; empty when there is none.
QString PathExtension(const QString& path);
QStringView PathExtensionView(const QString& path);

// The last path component, ignoring trailing slashes.
QString LastPathComponent(const QString& path);

// Whether path names the folder `top` (one component, "Documents") or something below it,
// comparing components once "", "." and ".." are resolved: "Documents", "/Documents/x" and
// "Documents/" are within "Documents"; "Documentsx", "", "/" and "Documents/../x" are not.
bool PathIsWithin(const QString& path, QStringView top);

}  // namespace kestrap
