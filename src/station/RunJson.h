#pragma once

#include "job/RunStatus.h"

#include <QJsonObject>
#include <QString>

namespace kestrap::station {

// A device of a run as JSON, with the key names `run --json` has always used ("device_file",
// "files_sent", "statusText"...) and the run's typed values beside them ("state", "phase",
// "current_file", "speed" in bytes per second). Every machine-readable front end prints this.
QJsonObject DeviceJson(const DeviceProgress& device);

// "device_file" as it always read: "NAME << FILE" while a file is sent, "NAME - Finished"
// (or Cancelled, Failed) once the serving ended, empty before it began.
QString DeviceFileText(const DeviceProgress& device);

}  // namespace kestrap::station
