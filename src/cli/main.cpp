// kestrap-cli: the headless front end for duplication stations and scripts.

#include "cli/Cli.h"

#include <QCoreApplication>
#include <algorithm>

using namespace kestrap::cli;

namespace {
int usage()
{
    std::vector<Command> all = commands();
    std::sort(all.begin(), all.end(), [](const Command& a, const Command& b) { return a.name < b.name; });
    QString text = QStringLiteral("usage: kestrap-cli COMMAND [ARGS...]\n\nCommands:\n");
    for (const Command& c : all)
        text += QStringLiteral("  %1%2\n").arg(c.name, -10).arg(c.summary);
    text += QStringLiteral("\nkestrap-cli COMMAND --help describes one command.");
    fail(text);
    return kExitUsage;
}
}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Kestrap"));
    QCoreApplication::setApplicationName(QStringLiteral("Kestrap"));
    QStringList args = QCoreApplication::arguments();
    args.removeFirst();
    if (args.isEmpty() || args.first() == QLatin1String("--help") || args.first() == QLatin1String("-h"))
        return usage();
    const QString name = args.takeFirst();
    for (const Command& c : commands())
        if (c.name == name)
            return c.run(args);
    fail(QStringLiteral("Unknown command \"%1\".").arg(name));
    return usage();
}
