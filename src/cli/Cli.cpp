#include "cli/Cli.h"
#include "util/Helpers.h"

#include <QTextStream>
#include <cstdint>
#include <cstdio>

namespace kestrap::cli {

namespace {
std::vector<Command>& registry()
{
    static std::vector<Command> all;
    return all;
}

// Qt escapes the C0 controls in JSON strings but writes DEL and the C1 controls as they
// are, and a terminal may act on them. Escaped, the strings stay the same.
QByteArray withoutRawControls(const QByteArray& json)
{
    QByteArray out;
    out.reserve(json.size());
    for (qsizetype i = 0; i < json.size(); ++i) {
        const auto byte = std::uint8_t(json[i]);
        // U+0080..U+009F are C2 80..C2 9F in UTF-8, the second byte naming the code point;
        // C2 is only ever a lead byte.
        if (byte == 0x7f)
            out += "\\u007f";
        else if (byte == 0xc2 && i + 1 < json.size() && std::uint8_t(json[i + 1]) <= 0x9f)
            out += "\\u00" + QByteArray::number(std::uint8_t(json[++i]), 16);
        else
            out += char(byte);
    }
    return out;
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
    err << printableMessage(message) << '\n';
    if (!detail.isEmpty())
        err << printableMessage(detail) << '\n';
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
    const QByteArray bytes = withoutRawControls(doc.toJson(QJsonDocument::Indented));
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

void printLine(const QString& line)
{
    // Lines name devices, their apps and their files: text a device chose.
    const QByteArray bytes = printableMessage(line).toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
}

}  // namespace kestrap::cli
