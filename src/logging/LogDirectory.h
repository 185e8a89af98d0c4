#pragma once

#include <QString>

namespace kestrap {

// File name of the event log database inside the log directory.
inline constexpr char sqliteLogDBFilename[] = "kvq.xlog";

// The folder of the event log and the text logs, shared by the desktop application and
// kestrap-cli: $KESTRAP_LOG_DIR when set (tests and scripts), else $XDG_STATE_HOME/Kestrap,
// else ~/.local/state/Kestrap, else (no home folder) the temporary folder plus Logs/Kestrap.
QString defaultLogDirectory();

// Makes the folder with its parents. On failure answers false with the reason in *error.
bool makeLogDirectory(const QString& path, QString* error);

}  // namespace kestrap
