#pragma once

#include "station/ListenAddress.h"

#include <QByteArray>
#include <QCommandLineParser>
#include <QString>
#include <memory>
#include <optional>

namespace kestrap {
class JobDocument;
class MobileDeviceService;
class PortJob;
}  // namespace kestrap

// What `run` and `job remove` share: serving a job on every connected device, with a
// progress line per device, a summary, a report and the exit code.
namespace kestrap::cli {

// Where a run serves its status page, and the token its requests must carry (empty: none).
struct StationOptions {
    station::ListenAddress address;
    QByteArray token;
};

struct ServeOptions {
    bool station = false;  // go on serving devices as they are plugged in, until interrupted
    bool json = false;  // the summary as JSON
    QString report;  // where to write a report of who got what; empty for none
    std::optional<StationOptions> page;  // serve the status page while the run lasts
    QString jobPath;  // the job file, as the page names it
};

// --concurrency N, as `run` and `job remove` take it.
extern const QCommandLineOption kConcurrency;
// Sets the runner's concurrency from --concurrency when it is given. Answers the usage error
// when its value is not a whole number of 1 or more, else nothing.
QString takeConcurrency(const QCommandLineParser& parser, PortJob& job);

// The devices of a farm, or the computer's; null with why in *reason. A station waits for
// usbmuxd, which its first device starts; *reason may then say so on a good answer too.
std::shared_ptr<MobileDeviceService> serviceFor(const QString& farm, bool station, QString* reason);

// Serves the job, as the runner is set up, on every connected device until each has ended
// (or, for a station, until SIGINT or SIGTERM); answers the exit code: 0 when every device
// that was not excluded ended with no failed entry and the report, if any, was written.
int serveJob(JobDocument& document, PortJob& job, const std::shared_ptr<MobileDeviceService>& service,
    const ServeOptions& options);

}  // namespace kestrap::cli
