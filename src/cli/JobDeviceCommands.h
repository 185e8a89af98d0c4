#pragma once

#include <QStringList>

namespace kestrap::cli {

// kestrap-cli job plan FILE --device UDID ...: what a run would do to one device.
int jobPlanOnDevice(const QStringList& args);
// kestrap-cli job remove FILE ...: takes the job's files back off every connected device.
int jobRemove(const QStringList& args);

}  // namespace kestrap::cli
