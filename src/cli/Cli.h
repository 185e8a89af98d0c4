#pragma once

#include <QCommandLineParser>
#include <QJsonDocument>
#include <QString>
#include <QStringList>
#include <functional>

// The pieces every kestrap-cli command shares: registration, argument parsing, output.
namespace kestrap::cli {

// A command gets its own words (without the program and the command name) and answers the
// process's exit code.
using CommandFn = std::function<int(const QStringList& args)>;

struct Command {
    QString name;
    QString summary;
    CommandFn run;
};

// Commands register themselves from their own source file with a static Registration.
struct Registration {
    Registration(const QString& name, const QString& summary, CommandFn run);
};
const std::vector<Command>& commands();

// Parses args for a command line "kestrap-cli <usage>". On a bad option, or with --help,
// prints to stderr/stdout and answers false with the exit code to use in *exitCode.
bool parse(QCommandLineParser& parser, const QString& usage, const QStringList& args, int* exitCode);

// Exit codes.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// The system's own message on stderr, with the detail, when there is one, on a line below.
int fail(const QString& message, const QString& detail = {});
// The message and the usage line on stderr; answers kExitUsage.
int usageError(const QString& message, const QString& usage);
// The answer of a command made of sub-commands (job, sim, png, ipod) to a word that names none of
// them: its usage on stdout for --help, else a usage error.
int unknownSubcommand(const QString& command, const QString& word, const QString& usage);
void printJson(const QJsonDocument& doc);
void printLine(const QString& line);

}  // namespace kestrap::cli
