#pragma once

#include "job/PortJob.h"
#include "job/RunStatus.h"

#include <QHash>
#include <QString>
#include <vector>

namespace kestrap::cli {

// What `kestrap-cli run` shows: while it runs, one line per device being served (redrawn in
// place on a terminal, plain lines otherwise), and one when a device's serving ends; at the
// end a summary per device.
// Main thread only.
class RunDisplay {
public:
    RunDisplay(PortJob& job, const std::vector<DeviceRowPtr>& rows, bool json);

    // Shows the progress as it is now.
    void refresh();
    // Clears the live lines of a terminal.
    void finish();
    // Prints the summary; true when every device that was not excluded finished with no
    // failed file.
    bool printSummary();

private:
    struct Seen {
        QString file;
        int fileStep = -1;
    };

    RunStatus status() const;
    QString lineFor(const DeviceProgress& device) const;

    PortJob& m_job;
    const std::vector<DeviceRowPtr>& m_rows;
    bool m_json;
    bool m_terminal;
    int m_drawnLines = 0;
    QHash<QString, Seen> m_seen;  // by device uid, for plain lines
    QHash<QString, double> m_saidEnded;  // by device uid: the end of its serving said on a terminal
};

}  // namespace kestrap::cli
