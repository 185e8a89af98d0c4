#include "cli/Diagnostics.h"

#include <QtGlobal>

namespace kestrap::cli {

namespace {
// Written once in main before any thread starts; only read afterwards.
QtMessageHandler g_next = nullptr;

void quietHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (type == QtDebugMsg || type == QtInfoMsg)
        return;
    g_next(type, context, message);
}
}  // namespace

bool takeVerbose(QStringList& args)
{
    qsizetype end = args.indexOf(QStringLiteral("--"));
    if (end < 0)
        end = args.size();
    bool found = false;
    for (qsizetype i = end - 1; i >= 0; --i) {
        if (args[i] == QLatin1String("--verbose") || args[i] == QLatin1String("-verbose")) {
            args.removeAt(i);
            found = true;
        }
    }
    return found;
}

void installDiagnosticsFilter(bool verbose)
{
    // Rules the user set in the environment say which categories speak; they are not
    // second-guessed here.
    if (verbose || !qEnvironmentVariableIsEmpty("QT_LOGGING_RULES"))
        return;
    g_next = qInstallMessageHandler(quietHandler);
}

}  // namespace kestrap::cli
