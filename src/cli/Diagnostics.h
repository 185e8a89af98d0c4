#pragma once

#include <QStringList>

namespace kestrap::cli {

// Takes the global --verbose out of a command line, wherever it stands before a "--" that
// ends the options; answers whether it was there.
bool takeVerbose(QStringList& args);

// Keeps Qt's debug and info messages (the device layer's traces) off stderr, where scripts
// read them as errors and where they break the in-place progress lines: only warnings and
// worse go through, unless verbose is true or QT_LOGGING_RULES chooses for itself. Call once
// from main before any thread starts; the installed handler is then safe from any thread.
void installDiagnosticsFilter(bool verbose);

}  // namespace kestrap::cli
