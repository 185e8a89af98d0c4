// kestrap-cli: the headless front end for duplication stations and scripts.

#include "Version.h"
#include "cli/Cli.h"
#include "cli/Diagnostics.h"

#include <QCoreApplication>
#include <algorithm>

using namespace kestrap::cli;

namespace {
QString overview()
{
    std::vector<Command> all = commands();
    std::sort(all.begin(), all.end(), [](const Command& a, const Command& b) { return a.name < b.name; });
    QString text = QStringLiteral("usage: kestrap-cli [--verbose] COMMAND [ARGS...]\n\nCommands:\n");
    for (const Command& c : all)
        text += QStringLiteral("  %1%2\n").arg(c.name, -10).arg(c.summary);
    text += QStringLiteral("\nOptions:\n"
                           "  --verbose  also show the device layer's traces on stderr\n"
                           "  --version  print the version\n"
                           "  --help     print this overview\n"
                           "\nkestrap-cli COMMAND --help describes one command.");
    return text;
}

const Command* find(const QString& name)
{
    for (const Command& c : commands())
        if (c.name == name)
            return &c;
    return nullptr;
}

bool isHelp(const QString& word)
{
    return word == QLatin1String("--help") || word == QLatin1String("-h") || word == QLatin1String("help");
}
}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Kestrap"));
    QCoreApplication::setApplicationName(QStringLiteral("Kestrap"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(kestrap::kVersion));
    QStringList args = QCoreApplication::arguments();
    args.removeFirst();
    installDiagnosticsFilter(takeVerbose(args));

    if (args.isEmpty()) {
        fail(overview());
        return kExitUsage;
    }
    if (args.first() == QLatin1String("--version")) {
        printLine(QStringLiteral("kestrap-cli ") + QCoreApplication::applicationVersion());
        return kExitOk;
    }
    if (isHelp(args.first())) {
        if (args.size() == 1) {
            printLine(overview());
            return kExitOk;
        }
        // "help COMMAND" is that command's own --help.
        args = QStringList {args[1], QStringLiteral("--help")};
    }
    const QString name = args.takeFirst();
    if (const Command* c = find(name))
        return c->run(args);
    fail(QStringLiteral("Unknown command \"%1\".").arg(name), overview());
    return kExitUsage;
}
