#pragma once

#include <QStringList>

namespace kestrap::cli {

// kestrap-cli device tree UDID ...: its own words after "tree"; answers the exit code.
int deviceTree(const QStringList& args);

}  // namespace kestrap::cli
