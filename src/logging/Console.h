#pragma once

#include <QString>
#include <functional>

// The process's diagnostic console (stderr): for diagnostics that are not events, such as
// the database errors of the event log writer. Nothing written here goes through the log
// pipeline, so a broken logger cannot feed on its own complaints.
namespace kestrap {

void consoleMessage(const QString& message);

// Writes the message only the first time this key is reported in the process: a log folder
// that cannot be used is said once, not once per logger or per message.
void consoleMessageOnce(const QString& key, const QString& message);

// Replaces where console messages go (tests capture them); answers the previous sink.
// An empty sink restores stderr. Thread-safe.
using ConsoleSink = std::function<void(const QString&)>;
ConsoleSink setConsoleSink(ConsoleSink sink);

}  // namespace kestrap
