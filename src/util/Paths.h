#pragma once

#include <QString>
#include <QStringList>
#include <optional>

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

// The components of a path once "", "." and ".." are resolved; nothing when ".." climbs
// above the root. "/a/./b/../c/" gives a, c.
std::optional<QStringList> PathComponents(const QString& path);

// Whether path lies strictly below folder, component by component once both are resolved:
// "Documents/Photos/a" is inside "Documents/Photos" and "/Documents/Photos/"; "Documents/Photos",
// "Documents/PhotosX/a", "Documents/Photos/../a" and anything inside "" or "/" are not.
bool PathIsInside(const QString& path, const QString& folder);

}  // namespace kestrap
