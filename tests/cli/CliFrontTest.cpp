// kestrap-cli's own surface: version, help, usage errors, and a stderr that carries only
// warnings and errors unless asked for more.

#include "Version.h"
#include "support/CliRun.h"
#include "support/TempTree.h"

#include <QRegularExpression>
#include <gtest/gtest.h>

namespace {

const QStringList kCommands = {"defaults", "device", "devices", "ipod", "job", "log", "png", "run", "sim"};

TEST(CliFront, VersionIsTheProjects)
{
    const CliResult r = runCli({"--version"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, QByteArray("kestrap-cli ") + kestrap::kVersion + '\n');
    EXPECT_TRUE(r.err.isEmpty()) << r.err.constData();
}

TEST(CliFront, OverviewListsEveryCommandInOneStyle)
{
    for (const QStringList& asked : {QStringList {"--help"}, QStringList {"help"}, QStringList {"--verbose", "-h"}}) {
        const CliResult r = runCli(asked);
        EXPECT_EQ(r.code, 0) << asked.join(' ').toStdString();
        EXPECT_TRUE(r.err.isEmpty());
        const QString out = QString::fromUtf8(r.out);
        for (const QString& name : kCommands) {
            // Name, padding, a lower-case summary without a closing full stop.
            const QRegularExpression line(
                QStringLiteral("^  %1 +[a-z][^\\n]*[^.\\n]$").arg(name), QRegularExpression::MultilineOption);
            EXPECT_TRUE(line.match(out).hasMatch()) << name.toStdString() << " in\n" << out.toStdString();
        }
        EXPECT_TRUE(out.contains("--version"));
        EXPECT_TRUE(out.contains("--verbose"));
    }

    // Bad usage keeps its exit code and goes to stderr, with the overview.
    const CliResult none = runCli({});
    EXPECT_EQ(none.code, 2);
    EXPECT_TRUE(none.out.isEmpty());
    EXPECT_TRUE(none.err.contains("  run "));
    for (const QStringList& unknown : {QStringList {"frobnicate"}, QStringList {"help", "frobnicate"}}) {
        const CliResult r = runCli(unknown);
        EXPECT_EQ(r.code, 2);
        EXPECT_TRUE(r.err.contains("Unknown command \"frobnicate\"."));
    }
}

TEST(CliFront, EveryCommandAnswersHelp)
{
    for (const QString& name : kCommands) {
        const CliResult direct = runCli({name, "--help"});
        EXPECT_EQ(direct.code, 0) << name.toStdString() << ": " << direct.err.constData();
        EXPECT_TRUE(direct.out.startsWith("usage: kestrap-cli " + name.toUtf8())) << direct.out.constData();
        const CliResult viaHelp = runCli({"help", name});
        EXPECT_EQ(viaHelp.code, 0);
        EXPECT_EQ(viaHelp.out, direct.out);
    }
    const CliResult bare = runCli({"job"});
    EXPECT_EQ(bare.code, 2);
    EXPECT_TRUE(bare.err.contains("usage: kestrap-cli job create|show|plan"));
    const CliResult wrong = runCli({"sim", "melt"});
    EXPECT_EQ(wrong.code, 2);
    EXPECT_TRUE(wrong.err.contains("Unknown sim command \"melt\"."));
}

class QuietCli : public ::testing::Test {
protected:
    TempTree tree;
    QString farm = tree.path(QStringLiteral("farm"));
    QString jcf = tree.path(QStringLiteral("job.jcf"));
    QMap<QString, QString> env = {{"KESTRAP_LOG_DIR", tree.path(QStringLiteral("logs"))},
        {"KESTRAP_SETTINGS", tree.path(QStringLiteral("settings.ini"))}, {"QT_LOGGING_RULES", ""}};
    QString udid;

    void SetUp() override
    {
        tree.file(QStringLiteral("src/a.jpg"), 5000);
        const CliResult made = runCli({"sim", "create", farm, "--devices", "2", "--app", "com.example.app"}, env);
        ASSERT_EQ(made.code, 0);
        udid = QString::fromUtf8(made.out).split('\n').first();
        ASSERT_EQ(runCli({"defaults", "set", "enableLoggingNormal", "YES"}, env).code, 0);
        ASSERT_EQ(runCli({"job", "create", jcf, "--app-id", "com.example.app", "--folder", "Documents",
                             tree.path(QStringLiteral("src"))},
                      env)
                      .code,
            0);
    }

    CliResult runJob(const QStringList& extra = {}, const QMap<QString, QString>& more = {})
    {
        QMap<QString, QString> e = env;
        e.insert(more);
        return runCli(QStringList {"run", jcf, "--simulate", farm, "--progress-pause", "0"} + extra, e);
    }
};

TEST_F(QuietCli, SuccessfulCommandsWriteNothingToStderr)
{
    const CliResult run = runJob();
    EXPECT_EQ(run.code, 0);
    EXPECT_TRUE(run.err.isEmpty()) << run.err.constData();
    EXPECT_TRUE(run.out.contains("Summary:")) << run.out.constData();
    for (const QStringList& args :
        {QStringList {"devices", "--simulate", farm}, QStringList {"device", udid, "ls", "--simulate", farm},
            QStringList {"device", "tree", udid, "--simulate", farm}, QStringList {"log", "--tail", "5"}}) {
        const CliResult r = runCli(args, env);
        EXPECT_EQ(r.code, 0) << args.join(' ').toStdString();
        EXPECT_TRUE(r.err.isEmpty()) << args.join(' ').toStdString() << ": " << r.err.constData();
    }
    // The event log still has every copy the run made.
    EXPECT_EQ(runCli({"log"}, env).out.count("Successfully copied"), 2);
}

TEST_F(QuietCli, VerboseOrLoggingRulesBringTheTracesBack)
{
    const CliResult verbose = runJob({"--verbose"});
    EXPECT_EQ(verbose.code, 0);
    EXPECT_TRUE(verbose.err.contains("Started")) << verbose.err.constData();
    EXPECT_TRUE(verbose.err.contains("iPhone recognized."));
    const CliResult ruled = runJob({}, {{"QT_LOGGING_RULES", "default.debug=true"}});
    EXPECT_EQ(ruled.code, 0);
    EXPECT_TRUE(ruled.err.contains("new phone connected:iPhone"));

    // After "--" the word is an argument, not the option.
    const CliResult literal = runCli({"job", "show", "--", "--verbose"}, env);
    EXPECT_NE(literal.code, 0);
    EXPECT_FALSE(literal.err.contains("Started"));
}

TEST_F(QuietCli, WarningsStillShow)
{
    const QString broken = tree.folder(QStringLiteral("farm/broken-device"));
    writeFileBytes(broken + QStringLiteral("/device.plist"), "not a property list");
    const CliResult r = runCli({"devices", "--simulate", farm}, env);
    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(r.err.contains("simulated device broken-device not plugged in")) << r.err.constData();
    EXPECT_FALSE(r.err.contains("Started"));
}

}  // namespace
