#include "cli/Cli.h"

#include <QTextStream>
#include <cstdio>

namespace kestrap::cli {

namespace {
std::vector<Command>& registry()
{
    static std::vector<Command> all;
    return all;
}
}  // namespace

Registration::Registration(const QString& name, const QString& summary, CommandFn run)
{
    registry().push_back({name, summary, std::move(run)});
}

const std::vector<Command>& commands()
{
    return registry();
}

bool parse(QCommandLineParser& parser, const QString& usage, const QStringList& args, int* exitCode)
{
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help(
        QStringList {QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help."));
    parser.addOption(help);
    QStringList argv = args;
    argv.prepend(QStringLiteral("kestrap-cli"));
    if (!parser.parse(argv)) {
        *exitCode = usageError(parser.errorText(), usage);
        return false;
    }
    if (parser.isSet(help)) {
        // Qt's first line names the program by the path it was started with; the usage line
        // of every command reads the same instead.
        const QString text = parser.helpText();
        printLine((QStringLiteral("usage: kestrap-cli ") + usage + text.mid(text.indexOf(u'\n'))).trimmed());
        *exitCode = kExitOk;
        return false;
    }
    return true;
}

int fail(const QString& message, const QString& detail)
{
    QTextStream err(stderr);
    err << message << '\n';
    if (!detail.isEmpty())
        err << detail << '\n';
    return kExitFailure;
}

int usageError(const QString& message, const QString& usage)
{
    fail(message, QStringLiteral("usage: kestrap-cli ") + usage);
    return kExitUsage;
}

int unknownSubcommand(const QString& command, const QString& word, const QString& usage)
{
    if (word == QLatin1String("--help") || word == QLatin1String("-h")) {
        printLine(QStringLiteral("usage: kestrap-cli %1\n\nkestrap-cli %2 COMMAND --help describes one command.")
                      .arg(usage, command));
        return kExitOk;
    }
    if (word.isEmpty())
        return usageError(QStringLiteral("A %1 command is required.").arg(command), usage);
    return usageError(QStringLiteral("Unknown %1 command \"%2\".").arg(command, word), usage);
}

void printJson(const QJsonDocument& doc)
{
    const QByteArray bytes = doc.toJson(QJsonDocument::Indented);
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

void printLine(const QString& line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
}

}  // namespace kestrap::cli
